// Read-only looks at the files of a table, for the commands that only inspect: which tables a
// root holds, what one table's headers, owner and generation say, and read-only mappings of its
// files.
//
// Nothing here writes, creates or locks anything: every file is opened read-only through
// Mem::TableDir and mapped PROT_READ, small files are read with a size limit, the owner and
// cinder files are read through their read-only handles, and whether the writer lives is asked
// without taking its lock. The writer may change the files at any
// moment: headers are copied with the seqlock rule of the file format (copy between two equal
// loads of the header's versioned count), and the copies are what the commands print.
#pragma once

#include "Mem/TableDir.h"
#include "Plinth/CinderId.h"
#include "Vesk/SlotTable.h"
#include "VeskCore/BucketTable.h"

#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace Pimbo::Platform {
class DebugHandler;
}

namespace VeskTool {

// The debug handler of the tool and of every table it opens.
Pimbo::Platform::DebugHandler& toolHandler();

// The deepest table name (in components) that every command accepts and `vesk ls` finds.
inline constexpr size_t kMaxTableDepth = 16;

// Refuses a TABLE argument that is not a relative path of at most kMaxTableDepth plain,
// printable names ("bad table name").
void checkTableName(const std::string& name);

// Throws ToolError(kTable) for a file or directory of table `table` that Mem::TableDir refused,
// naming the cause first: "no such table", "permission denied", "not a table" (not a directory,
// not a regular file), "refusing untrusted directory", ...
[[noreturn]] void throwFileError(const std::string& table, const Mem::FileError& error);

// One file of a table mapped read-only, at the size it had when mapped, opened through the
// table's directory (Mem::TableDir: no symbolic link, FIFO or device is ever opened). Another
// process that may write the file can still shorten it: the mapping is registered with
// Mem::MappingRegistry, so the tool's SIGBUS handler names the file (Signals.h).
class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile() { unmap(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens the file `name` of `dir` read-only and maps all of it. False, with error() set,
    // when it cannot.
    bool open(const Mem::TableDir& dir, const std::string& name);
    void unmap();

    const char* data() const { return data_; }
    uint64_t size() const { return size_; }
    const Mem::FileError& error() const { return error_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    const char* data_ = nullptr;
    uint64_t size_ = 0;
    Mem::FileError error_;
};

// A private copy of a slot file header, made from the live header by copySlotHeader.
struct SlotHeaderCopy {
    alignas(8) unsigned char bytes[sizeof(Vesk::SlotTableHeader)];
    // The bytes hold a header copied from a file.
    const Vesk::SlotTableHeader& header() const {
        return *std::launder(reinterpret_cast<const Vesk::SlotTableHeader*>(bytes));
    }
};

// Consistent copies of the live headers: every byte belongs to one version of the header's
// versioned count (numSlots, numBuckets). `live` must be mapped for the whole header.
void copySlotHeader(const void* live, SlotHeaderCopy& out);
void copyBucketHeader(const void* live, VeskCore::BucketHeader& out);

// What the files of one table say, read once.
struct TableProbe {
    std::string name;       // as the user named it
    std::string directory;  // root + "/" + name
    int kind = -1;          // position in kKindNames; -1 while the record type is unknown
    std::string valueType;  // the slot header's record type name

    SlotHeaderCopy slots;
    bool haveBuckets = false;
    VeskCore::BucketHeader buckets{};

    Plinth::CinderId cinder;   // of the cinder file; none when missing or damaged
    bool ownerValid = false;   // the owner file validates
    std::string ownerConduit;  // "PID:STARTTIME" of the writer, empty when it detached
    uint64_t writerPid = 0;    // from ownerConduit, 0 when none
    bool writerAlive = false;  // the recorded writer runs, or someone holds the writer lock
    bool haveMarker = false;   // a "corruption-detected" marker is present
    std::string markerText;

    const Vesk::SlotTableHeader& slotHeader() const { return slots.header(); }
    // "pid 1234, alive", "pid 1234, not running", "none (detached)".
    std::string writerText() const;
    // "simple", or the stored type name when the tool does not know it.
    std::string typeText() const;
};

// Reads the files of table `name` under the process's root. Throws ToolError naming the problem:
// "no such table", "not a table", "permission denied", "wrong record type" (a record type this
// tool does not know).
TableProbe probeTable(const std::string& name);

// The tables below table directory `name` ("" for the root itself), by name, sorted, at most
// `limit`. Directories that cannot be opened or trusted are skipped.
std::vector<std::string> tablesBelow(const std::string& name, size_t limit = SIZE_MAX);

// The tables under the process's root. Throws ToolError when the root is missing or cannot be
// read.
std::vector<std::string> findTables();

// A directory that holds a table's files ("slots" or "owner").
bool isTableDirectory(const Mem::TableDir& dir);

}  // namespace VeskTool
