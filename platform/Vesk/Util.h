// Vesk::Util: file checks, process-wide validation settings and corruption reporting of the
// table machinery.
#pragma once

#include "Pimbo/Debug.h"

#include <cstdint>
#include <string>

namespace Vesk::Util {

// The marker file a table's directory holds while corruption has been found in the table and
// not yet repaired by a writer.
inline constexpr const char* kCorruptionFileName = "corruption-detected";

// `fileName` is a regular file of at least `size` bytes; otherwise traces the reason at level 0
// and returns false.
bool validateFile(Pimbo::Platform::DebugHandler& handler, const std::string& fileName,
                  uint64_t size);

// The process runs on a physical device (false unless the program says otherwise).
bool runningOnPhysicalDut();
void runningOnPhysicalDutIs(bool physical);

// Whether an inconsistent table found on a physical device stops the writer (default true).
bool strictValidation();
void strictValidationIs(bool strict);

// Writes `reason` (followed by a newline) as the file kCorruptionFileName in `directory`,
// through a temporary file and a rename so that no reader sees a partial text. When the
// process may not (no such directory, no permission, a full file system) it only traces at
// level 0 that it could not, with the reason. Never throws.
void writeCorruptionFile(Pimbo::Platform::DebugHandler& handler, const std::string& directory,
                         const std::string& reason) noexcept;

}  // namespace Vesk::Util
