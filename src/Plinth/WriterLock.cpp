#include "Plinth/WriterLock.h"

#include "Pimbo/Exception.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/TableDir.h"
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

// Takes the exclusive lock on all of the file without waiting; false with errno set when it
// cannot (EAGAIN or EACCES: somebody holds a lock on it).
bool lockWhole(int fd) {
    struct flock fl = wholeFile(F_WRLCK);
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The writer the table's owner file records (none when it records none or cannot be read).
struct RecordedOwner {
    std::string name;
    bool alive = false;

    // " (owner file names {}, alive)" or "... not running)", for error texts; "" for none.
    std::string text() const {
        return name.empty() ? ""
                            : fmt::format(" (owner file names {}, {})", name,
                                          alive ? "alive" : "not running");
    }
};

RecordedOwner recordedOwner(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath) {
    RecordedOwner owner;
    try {
        const Plinth::ConduitInfo info = Plinth::OwnerFile(handler, rootPath, false).conduitInfo();
        if (!info.empty())
            owner.alive = WriterLock::ownerIsAlive(handler, info.socketName, owner.name);
    } catch (const Pimbo::Exception&) {
        owner = RecordedOwner();
    }
    return owner;
}

}  // namespace

WriterLock::WriterLock(Pimbo::Platform::DebugHandler& handler, std::string path, Pimbo::Fd fd)
    : Pimbo::Debuggable(handler, "WriterLock"), path_(std::move(path)), fd_(std::move(fd)) {}

WriterLock::~WriterLock() {
    release();
}

void WriterLock::release() {
    if (!fd_) {
        return;
    }
    // Closing the description drops its OFD lock; no explicit unlock is needed.
    fd_.reset();
    PIMBO_TRACE(5, "released {}", path_);
}

std::unique_ptr<WriterLock> WriterLock::acquireWriterLock(Pimbo::Platform::DebugHandler& handler,
                                                          const Mem::RootPath& rootPath,
                                                          std::string& error, bool* heldByOther) {
    const std::string path = rootPath.filePath(kFileName);
    if (heldByOther != nullptr)
        *heldByOther = false;
    FileError fe;
    const TableDir dir = TableDir::open(
        rootPath,
        rootPath.mayCreate() ? TableDir::Access::writer : TableDir::Access::writerExisting, fe);
    if (!dir.valid()) {
        error = fmt::format("cannot take writer lock {}: {}", path, fe.text);
        return nullptr;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A lock file that others could open (one made before the file was private to its
        // owner) may carry anybody's lock: unless a live writer is recorded, it is replaced by
        // a private one, and the old file's locks exclude nobody any more.
        struct stat st;
        if (dir.statEntry(kFileName, st) && S_ISREG(st.st_mode) &&
            ((st.st_mode & 07777) != kFileMode || st.st_uid != ::geteuid())) {
            const RecordedOwner owner = recordedOwner(handler, rootPath);
            if (owner.alive) {
                error =
                    fmt::format("writer lock {} is held by another writer{}", path, owner.text());
                if (heldByOther != nullptr)
                    *heldByOther = true;
                return nullptr;
            }
            // The new file is locked before it takes the old one's place, and the swap is undone
            // when another writer replaced the old file first: two writers that both saw the old
            // file never both hold a lock on the file at the path.
            PIMBO_TRACE_TO(handler, "WriterLock", 1, "replacing writer lock {} of mode {:04o}",
                           path, unsigned(st.st_mode & 07777));
            Pimbo::Fd fd = dir.replaceUnchanged(kFileName, st, kFileMode, lockWhole, fe);
            if (fd) {
                PIMBO_TRACE_TO(handler, "WriterLock", 5, "acquired {}", path);
                return std::unique_ptr<WriterLock>(new WriterLock(handler, path, std::move(fd)));
            }
            if (fe.errnum == EAGAIN)
                continue;  // replaced by another writer: take the lock on its file
            error = fmt::format("cannot replace writer lock {}: {}", path, fe.text);
            return nullptr;
        }
        Pimbo::Fd fd = dir.openFile(
            kFileName,
            rootPath.mayCreate() ? TableDir::FileAccess::create : TableDir::FileAccess::readWrite,
            fe, kFileMode);
        if (!fd) {
            error = fmt::format("cannot open writer lock {}: {}", path, fe.text);
            return nullptr;
        }
        if (!lockWhole(fd.get())) {
            const int saved = errno;
            if (saved == EAGAIN || saved == EACCES) {
                error = fmt::format("writer lock {} is held by another writer{}", path,
                                    recordedOwner(handler, rootPath).text());
                if (heldByOther != nullptr)
                    *heldByOther = true;
            } else {
                error = fmt::format("cannot lock writer lock {}: {}", path, std::strerror(saved));
            }
            PIMBO_TRACE_TO(handler, "WriterLock", 2, "{}", error);
            return nullptr;
        }
        struct stat held;
        if (::fstat(fd.get(), &held) == 0 && dir.statEntry(kFileName, st) &&
            held.st_dev == st.st_dev && held.st_ino == st.st_ino) {
            PIMBO_TRACE_TO(handler, "WriterLock", 5, "acquired {}", path);
            return std::unique_ptr<WriterLock>(new WriterLock(handler, path, std::move(fd)));
        }
        // The file was replaced between open and lock: lock the one at the path now.
    }
    error = fmt::format("writer lock {} keeps being replaced", path);
    return nullptr;
}

bool WriterLock::heldByOther(const Mem::RootPath& rootPath) {
    FileError fe;
    const TableDir dir = TableDir::open(rootPath, TableDir::Access::reader, fe);
    const Pimbo::Fd fd =
        dir.valid() ? dir.openFile(kFileName, TableDir::FileAccess::read, fe) : Pimbo::Fd();
    if (!fd) {
        return false;  // missing, or private to its owner: unknown to this process
    }
    struct flock fl = wholeFile(F_WRLCK);
    return ::fcntl(fd.get(), F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool WriterLock::writerRuns(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath) {
    // A writer that is attaching holds the lock before it records itself.
    return recordedOwner(handler, rootPath).alive || heldByOther(rootPath);
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
