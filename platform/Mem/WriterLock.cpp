#include "Mem/WriterLock.h"

#include "Pimbo/Exception.h"
#include "Plinth/OwnerFile.h"
#include "Zolt/ConduitAcceptSm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Mem {
namespace {

struct flock wholeFile(short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // to the end of the file, however long it grows
    fl.l_pid = 0;  // must be 0 for OFD locks
    return fl;
}

bool sameFile(int fd, const std::string& path) {
    struct stat held;
    struct stat atPath;
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &atPath) == 0 &&
           held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}

// " (owner file names ...)" when the table's owner file records an owner, for error texts.
std::string recordedOwner(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath) {
    try {
        Plinth::OwnerFile ownerFile(handler, rootPath, false);
        const Plinth::ConduitInfo info = ownerFile.conduitInfo();
        if (info.empty()) {
            return "";
        }
        std::string name;
        const bool alive = WriterLock::ownerIsAlive(handler, info.socketName, name);
        return fmt::format(" (owner file names {}, {})", name, alive ? "alive" : "not running");
    } catch (const Pimbo::Exception&) {
        return "";
    }
}

}  // namespace

WriterLock::WriterLock(Pimbo::Platform::DebugHandler& handler, std::string path, int fd)
    : Pimbo::Debuggable(handler, "WriterLock"), path_(std::move(path)), fd_(fd) {}

WriterLock::~WriterLock() {
    release();
}

void WriterLock::release() {
    if (fd_ < 0) {
        return;
    }
    // Closing the description drops its OFD lock; no explicit unlock is needed.
    ::close(fd_);
    fd_ = -1;
    PIMBO_TRACE(5, "released {}", path_);
}

std::unique_ptr<WriterLock> WriterLock::acquireWriterLock(Pimbo::Platform::DebugHandler& handler,
                                                          const Mem::RootPath& rootPath,
                                                          std::string& error) {
    const std::string path = rootPath.filePath(kFileName);
    if (rootPath.mayCreate()) {
        try {
            rootPath.ensureDirectory();
        } catch (const Pimbo::Exception& e) {
            error = fmt::format("cannot take writer lock {}: {}", path, e.msg());
            return nullptr;
        }
    }
    const int flags = O_RDWR | O_CLOEXEC | (rootPath.mayCreate() ? O_CREAT : 0);
    for (;;) {
        const int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0) {
            error = fmt::format("cannot open writer lock {}: {}", path, std::strerror(errno));
            return nullptr;
        }
        struct stat st;
        if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0644) {
            // Another umask; a failure here only affects who may probe the lock.
            [[maybe_unused]] int rc = ::fchmod(fd, 0644);
        }
        struct flock fl = wholeFile(F_WRLCK);
        int rc;
        do {
            rc = ::fcntl(fd, F_OFD_SETLK, &fl);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int saved = errno;
            ::close(fd);
            if (saved == EAGAIN || saved == EACCES) {
                error = fmt::format("writer lock {} is held by another writer{}", path,
                                    recordedOwner(handler, rootPath));
            } else {
                error = fmt::format("cannot lock writer lock {}: {}", path, std::strerror(saved));
            }
            PIMBO_TRACE_TO(handler, "WriterLock", 2, "{}", error);
            return nullptr;
        }
        if (sameFile(fd, path)) {
            PIMBO_TRACE_TO(handler, "WriterLock", 5, "acquired {}", path);
            return std::unique_ptr<WriterLock>(new WriterLock(handler, path, fd));
        }
        // The file was replaced between open and lock: lock the one at the path now.
        ::close(fd);
    }
}

bool WriterLock::heldByOther(const Mem::RootPath& rootPath) {
    const std::string path = rootPath.filePath(kFileName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct flock fl = wholeFile(F_WRLCK);
    const int rc = ::fcntl(fd, F_OFD_GETLK, &fl);
    ::close(fd);
    return rc == 0 && fl.l_type != F_UNLCK;
}

bool WriterLock::ownerIsAlive(Pimbo::Platform::DebugHandler& handler, const std::string& socketName,
                              std::string& ownerName) {
    ownerName = socketName;
    uint64_t pid = 0;
    uint64_t recordedStart = 0;
    try {
        const Plinth::ConduitName name = Plinth::ConduitName::ConduitNameIs(socketName);
        pid = name.first();
        recordedStart = name.second();
    } catch (const Pimbo::CorruptionDetectedException& e) {
        PIMBO_TRACE_TO(handler, "WriterLock", 1, "{}", e.msg());
        return false;
    }
    uint64_t startTime = 0;
    std::string error;
    if (!Zolt::processStartTime(pid, startTime, error)) {
        PIMBO_TRACE_TO(handler, "WriterLock", 5, "owner {} is gone: {}", socketName, error);
        return false;
    }
    if (startTime != recordedStart) {
        PIMBO_TRACE_TO(handler, "WriterLock", 5,
                       "owner {} is gone: pid {} now belongs to a process started at {}",
                       socketName, pid, startTime);
        return false;
    }
    return true;
}

bool WriterLock::ownerIsMe(Pimbo::Platform::DebugHandler& handler, const std::string& socketName) {
    const bool me = socketName == Zolt::ConduitAcceptSm::socketName();
    PIMBO_TRACE_TO(handler, "WriterLock", 9, "owner {} is {}this process", socketName,
                   me ? "" : "not ");
    return me;
}

}  // namespace Mem
