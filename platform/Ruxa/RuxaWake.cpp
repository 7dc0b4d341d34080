#include "Ruxa/RuxaWake.h"

#include "Pimbo/Format.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Ruxa {
namespace {

// The socket's address through the trusted directory descriptor (RuxaWake.h).
sockaddr_un wakeAddress(int dirFd) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    fmt::format_to_n(a.sun_path, sizeof(a.sun_path) - 1, "/proc/self/fd/{}/{}", dirFd,
                     WakeSender::kFileName);
    return a;
}

std::string failure(const Mem::TableDir& dir, const char* step) {
    return fmt::format("wake-up socket {}: cannot {}: {}", dir.filePath(WakeSender::kFileName),
                       step, std::strerror(errno));
}

}  // namespace

bool WakeSender::open(const Vesk::RootPath& rootPath, std::string& why) {
    close();
    Mem::FileError error;
    dir_ = Mem::TableDir::open(rootPath, Mem::TableDir::Access::writerExisting, error);
    if (!dir_.valid()) {
        why = error.text;
        return false;
    }
    // A stale socket of an earlier writer goes; anything else at the name stays and is refused.
    removeSocket(dir_);
    struct stat st;
    Mem::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_un a = wakeAddress(dir_.fd());
    if (!s) {
        why = failure(dir_, "create");
    } else if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        why = failure(dir_, "bind");
    } else if (!dir_.statEntry(kFileName, st) || !S_ISSOCK(st.st_mode) ||
               ::fchmodat(dir_.fd(), kFileName, dir_.fileMode().mode, 0) != 0 ||
               (dir_.fileMode().group != Mem::FileMode::kNoGroup &&
                ::fchownat(dir_.fd(), kFileName, uid_t(-1), gid_t(dir_.fileMode().group),
                           AT_SYMLINK_NOFOLLOW) != 0)) {
        // Between bind and chmod only the directory's owner can change the name (TableDir).
        why = failure(dir_, "set the mode of");
    } else if (::listen(s.get(), 64) != 0) {
        why = failure(dir_, "listen on");
    } else {
        listener_ = std::move(s);
        return true;
    }
    close();
    return false;
}

void WakeSender::close() {
    followers_.clear();
    if (listener_) {
        listener_.reset();
        removeSocket(dir_);
    }
    dir_ = Mem::TableDir();
    pending_ = false;
    lastAccept_ = 0;
}

void WakeSender::removeSocket(const Mem::TableDir& dir) {
    struct stat st;
    if (dir.statEntry(kFileName, st) && S_ISSOCK(st.st_mode))
        ::unlinkat(dir.fd(), kFileName, 0);
}

bool WakeSender::wake() {
    if (!pending_ || !listener_)
        return false;
    pending_ = false;
    const size_t before = followers_.size();
    // New followers are taken at most once a millisecond (a coarse clock, no system call):
    // probing the listener at every change would cost the writer a system call per change.
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    if (ms != lastAccept_) {
        lastAccept_ = ms;
        for (int fd; (fd = ::accept4(listener_.get(), nullptr, nullptr,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            followers_.emplace_back(fd);
        }
    }
    const char byte = 1;
    for (size_t i = 0; i < followers_.size();) {
        const ssize_t n = ::send(followers_[i].get(), &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            followers_[i] = std::move(followers_.back());  // the follower is gone
            followers_.pop_back();
        } else {
            ++i;
        }
    }
    return followers_.size() != before;
}

Mem::Fd connectWake(const Vesk::RootPath& rootPath, std::string& why) {
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    if (!dir.valid()) {
        why = error.text;
        return Mem::Fd();
    }
    // connect() would follow a symbolic link at the name: only a socket is used, and only the
    // directory's owner (trusted, TableDir) could swap it in between.
    struct stat st;
    if (!dir.statEntry(WakeSender::kFileName, st) || !S_ISSOCK(st.st_mode)) {
        why = fmt::format("wake-up socket {}: none", dir.filePath(WakeSender::kFileName));
        return Mem::Fd();
    }
    Mem::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_un a = wakeAddress(dir.fd());
    if (!s) {
        why = failure(dir, "create");
        return s;
    }
    // Non-blocking: a connect the writer has not accepted yet completes later (EINPROGRESS is
    // not reported for Unix sockets; EAGAIN means the backlog is full).
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        why = failure(dir, "connect to");
        s.reset();
    }
    return s;
}

int drainWake(int fd, bool& closed) {
    char bytes[256];
    int total = 0;
    closed = false;
    for (;;) {
        const ssize_t n = ::recv(fd, bytes, sizeof(bytes), MSG_DONTWAIT);
        if (n > 0) {
            total += int(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return total;
        } else {
            closed = true;  // by the writer, or failed
            return total;
        }
    }
}

}  // namespace Ruxa
