#include "VeskBase/Util.h"

#include "Plinth/TableDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace Vesk::Util {
namespace {

std::atomic<bool> physicalDut{false};
std::atomic<bool> strict{true};

constexpr const char* kClass = "VeskUtil";

}  // namespace

bool validateFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                  const std::string& file, uint64_t size) {
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    struct stat st;
    if (!dir.valid() || !dir.statEntry(file, st)) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} cannot be checked: {}", rootPath.filePath(file),
                       dir.valid() ? std::strerror(errno) : error.text);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} is {}, not a regular file",
                       rootPath.filePath(file), Mem::fileKindText(st.st_mode));
        return false;
    }
    if (uint64_t(st.st_size) < size) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} holds {} bytes, fewer than the {} expected",
                       rootPath.filePath(file), uint64_t(st.st_size), size);
        return false;
    }
    return true;
}

bool runningOnPhysicalDut() {
    return physicalDut.load(std::memory_order_relaxed);
}

void runningOnPhysicalDutIs(bool physical) {
    physicalDut.store(physical, std::memory_order_relaxed);
}

bool strictValidation() {
    return strict.load(std::memory_order_relaxed);
}

void strictValidationIs(bool value) {
    strict.store(value, std::memory_order_relaxed);
}

bool writeCorruptionFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                         const std::string& reason) noexcept {
    try {
        const std::string path = rootPath.filePath(kCorruptionFileName);
        Mem::FileError error;
        const Mem::TableDir dir =
            Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
        if (dir.valid() && !dir.ownedByMe()) {
            PIMBO_TRACE_TO(handler, kClass, 0,
                           "not writing {}: the directory belongs to uid {}; corruption: {}", path,
                           unsigned(dir.owner()), reason);
            return false;
        }
        const std::string text = reason.substr(0, kCorruptionTextLimit - 1) + "\n";
        if (!dir.valid() ||
            !dir.replaceFile(kCorruptionFileName, text.data(), text.size(), error)) {
            PIMBO_TRACE_TO(handler, kClass, 0, "cannot write {} ({}); corruption: {}", path,
                           error.text, reason);
            return false;
        }
        PIMBO_TRACE_TO(handler, kClass, 1, "wrote {}: {}", path, reason);
        return true;
    } catch (...) {
        // Reporting corruption must not turn into a second failure; nothing more can be said.
        return false;
    }
}

}  // namespace Vesk::Util
