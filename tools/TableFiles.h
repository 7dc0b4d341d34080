// What the tool's commands (and the other front ends built on this layer: the endpoint, the
// Python module) need to read tables, on the library's one read-only way in
// (Vesk/TableAccess.h): a table name the user gave checked, the probe of a table's files with
// the tool's name for its record type, the tables under the root. Every failure is a ToolError
// whose message begins with the reason's text and which carries the reason as a value.
#pragma once

#include "Plinth/TableDir.h"
#include "Vesk/TableAccess.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Pimbo::Platform {
class DebugHandler;
}

namespace VeskTool {

// The debug handler of the tool and of every table it opens.
Pimbo::Platform::DebugHandler& toolHandler();

// The deepest table name (in components) that every command accepts and `vesk ls` finds.
using Vesk::kMaxTableDepth;

// Refuses a TABLE argument that is not a relative path of at most kMaxTableDepth plain,
// printable names ("bad table name").
void checkTableName(const std::string& name);

// Throws ToolError(kTable) for a file or directory of table `table` that Mem::TableDir refused,
// naming the cause first: "no such table", "permission denied", "not a table" (not a directory,
// not a regular file), "untrusted directory", ...
[[noreturn]] void throwFileError(const std::string& table, const Mem::FileError& error);

// What the files of one table say (Vesk::TableProbe), with the record type as this tool knows
// it.
struct TableProbe : Vesk::TableProbe {
    int kind = -1;  // position in kKindNames

    // "simple", ...
    std::string typeText() const;
};

// Reads the files of table `name` under the process's root (Vesk::probeTable), after checking
// the name. Throws ToolError naming the problem: "no such table", "not a table", "permission
// denied", "wrong record type" (also a record type this tool does not know), ...
TableProbe probeTable(const std::string& name);

// The tables below table directory `name` ("" for the root itself), by name, sorted, at most
// `limit`. Directories that cannot be opened or trusted are skipped.
using Vesk::tablesBelow;

// The tables under the process's root; the directories whose names break the name rule go to
// `unnamed`, the owner stamps to `owners` (see Vesk::tablesBelow). Throws ToolError when the root
// is missing or cannot be read.
std::vector<std::string> findTables(std::vector<std::string>* unnamed = nullptr,
                                    std::map<std::string, Vesk::OwnerStamp>* owners = nullptr);

// A directory that holds a table's files ("slots" or "owner").
using Vesk::isTableDirectory;

}  // namespace VeskTool
