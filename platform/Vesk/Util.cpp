#include "Vesk/Util.h"

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

// Writes all of `text` to `fd`; false with errno set on failure.
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

}  // namespace

bool validateFile(Pimbo::Platform::DebugHandler& handler, const std::string& fileName,
                  uint64_t size) {
    struct stat st;
    if (::stat(fileName.c_str(), &st) != 0) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} cannot be checked: {}", fileName,
                       std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} is not a regular file (mode {:#o})", fileName,
                       unsigned(st.st_mode));
        return false;
    }
    if (uint64_t(st.st_size) < size) {
        PIMBO_TRACE_TO(handler, kClass, 0, "file {} holds {} bytes, fewer than the {} expected",
                       fileName, uint64_t(st.st_size), size);
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

void writeCorruptionFile(Pimbo::Platform::DebugHandler& handler, const std::string& directory,
                         const std::string& reason) noexcept {
    try {
        const std::string path = directory + "/" + kCorruptionFileName;
        const std::string temp = path + ".tmp." + std::to_string(::getpid());
        const char* step = "open";
        int error = 0;
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = errno;
        } else {
            if (!writeAll(fd, reason + "\n")) {
                step = "write";
                error = errno;
            }
            if (::close(fd) != 0 && error == 0) {
                step = "close";
                error = errno;
            }
            if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
                step = "rename";
                error = errno;
            }
            if (error != 0) {
                ::unlink(temp.c_str());
            }
        }
        if (error != 0) {
            PIMBO_TRACE_TO(handler, kClass, 0, "cannot write {} ({} of {}: {}); corruption: {}",
                           path, step, temp, std::strerror(error), reason);
            return;
        }
        PIMBO_TRACE_TO(handler, kClass, 1, "wrote {}: {}", path, reason);
    } catch (...) {
        // Reporting corruption must not turn into a second failure; nothing more can be said.
    }
}

}  // namespace Vesk::Util
