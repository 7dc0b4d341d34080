// Vesk::Util: file checks, process-wide validation settings and corruption reporting of the
// table machinery.
#pragma once

#include "Pimbo/Debug.h"
#include "Plinth/RootPath.h"

#include <cstdint>
#include <string>

namespace Vesk::Util {

// The marker file a table's directory holds while corruption has been found in the table and
// not yet repaired by a writer.
inline constexpr const char* kCorruptionFileName = "corruption-detected";

// The file `file` of the table is a regular file of at least `size` bytes; otherwise traces the
// reason at level 0 and returns false.
bool validateFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                  const std::string& file, uint64_t size);

// The process runs on a physical device (false unless the program says otherwise).
bool runningOnPhysicalDut();
void runningOnPhysicalDutIs(bool physical);

// Whether an inconsistent table found on a physical device stops the writer (default true).
bool strictValidation();
void strictValidationIs(bool strict);

// The longest marker text kept (longer reasons are cut), and so the most a marker is read.
inline constexpr size_t kCorruptionTextLimit = 4096;

// Writes `reason` (followed by a newline) as the file kCorruptionFileName in the table's
// directory, through an O_EXCL temporary and a rename so that no reader sees a partial text.
// Only a process that owns the directory writes there (the writer, or a reader of its own
// table); any other process, and one that cannot (no such directory, a full file system), only
// traces at level 0 that it did not, with the reason. Returns whether the marker was written.
// Never throws.
bool writeCorruptionFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                         const std::string& reason) noexcept;

}  // namespace Vesk::Util
