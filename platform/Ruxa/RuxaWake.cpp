#include "Ruxa/RuxaWake.h"

#include "Pimbo/Format.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
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

size_t pageSize() {
    static const size_t bytes = size_t(::sysconf(_SC_PAGESIZE));
    return bytes;
}

void* mapPage(int fd) {
    void* p = ::mmap(nullptr, pageSize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// Dead followers are looked for at most once a second (one poll() for all of them): a follower
// that never asks for a wake-up is never sent one, so no failed send() reports it gone.
constexpr uint64_t kHangUpCheckMs = 1000;

}  // namespace

WakeWord WakeWord::create(Mem::Fd& fd) {
    WakeWord w;
    fd.reset(::memfd_create("vesk-wake", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd && ::ftruncate(fd.get(), off_t(pageSize())) == 0 &&
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
        w.page_ = mapPage(fd.get());
    return w;
}

WakeWord WakeWord::adopt(int fd) {
    WakeWord w;
    // The seals first: once shrinking is sealed, the size checked after cannot drop.
    const int seals = ::fcntl(fd, F_GET_SEALS);
    struct stat st;
    if (seals >= 0 && (seals & F_SEAL_SHRINK) != 0 && ::fstat(fd, &st) == 0 &&
        S_ISREG(st.st_mode) && uint64_t(st.st_size) >= pageSize())
        w.page_ = mapPage(fd);
    return w;
}

void WakeWord::reset() {
    if (page_ != nullptr)
        ::munmap(page_, pageSize());
    page_ = nullptr;
}

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
    untilLook_ = 1;
    lastAccept_ = 0;
    lastHangUpCheck_ = 0;
}

void WakeSender::removeSocket(const Mem::TableDir& dir) {
    struct stat st;
    if (dir.statEntry(kFileName, st) && S_ISSOCK(st.st_mode))
        ::unlinkat(dir.fd(), kFileName, 0);
}

bool WakeSender::welcome(Follower& f) {
    Mem::Fd page;  // closed once passed: the two mappings keep the page
    f.word = WakeWord::create(page);
    if (!f.word)
        return false;
    char byte = 1;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = page.get();
    std::memcpy(CMSG_DATA(c), &fd, sizeof(fd));
    return ::sendmsg(f.socket.get(), &m, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
}

bool WakeSender::wakeFollowers() {
    const size_t before = followers_.size();
    // New followers are taken at most once a millisecond (a coarse clock, no system call):
    // probing the listener at every change would cost the writer a system call per change.
    uint64_t ms = lastAccept_;
    if (untilLook_ == 0) {
        untilLook_ = kLookEvery;
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    }
    if (ms != lastAccept_ && listener_) {
        lastAccept_ = ms;
        for (int fd; (fd = ::accept4(listener_.get(), nullptr, nullptr,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            Follower f{Mem::Fd(fd), WakeWord()};
            if (welcome(f))  // its word came with its first wake-up
                followers_.push_back(std::move(f));
        }
        if (ms - lastHangUpCheck_ >= kHangUpCheckMs && !followers_.empty()) {
            lastHangUpCheck_ = ms;
            dropHungUp();
        }
    }
    if (followers_.empty())
        return followers_.size() != before;
    // Q7: the counts stored before this fence are visible before any word is loaded.
    Mem::fullFence();
    const char byte = 1;
    for (size_t i = 0; i < followers_.size();) {
        Follower& f = followers_[i];
        if (!f.word.take()) {
            ++i;  // awake: it reads the queue before it asks again
            continue;
        }
        const ssize_t n = ::send(f.socket.get(), &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            f = std::move(followers_.back());  // the follower is gone
            followers_.pop_back();
        } else {
            ++i;
        }
    }
    return followers_.size() != before;
}

void WakeSender::dropHungUp() {
    std::vector<pollfd> fds(followers_.size());
    for (size_t i = 0; i < fds.size(); ++i)
        fds[i] = {followers_[i].socket.get(), POLLRDHUP, 0};
    if (::poll(fds.data(), fds.size(), 0) <= 0)
        return;
    size_t kept = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
            followers_[kept++] = std::move(followers_[i]);
    }
    followers_.resize(kept);
}

bool WakeReceiver::connect(const Vesk::RootPath& rootPath, std::string& why) {
    close();
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    if (!dir.valid()) {
        why = error.text;
        return false;
    }
    // connect() would follow a symbolic link at the name: only a socket is used, and only the
    // directory's owner (trusted, TableDir) could swap it in between.
    struct stat st;
    if (!dir.statEntry(WakeSender::kFileName, st) || !S_ISSOCK(st.st_mode)) {
        why = fmt::format("wake-up socket {}: none", dir.filePath(WakeSender::kFileName));
        return false;
    }
    Mem::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_un a = wakeAddress(dir.fd());
    if (!s) {
        why = failure(dir, "create");
        return false;
    }
    // Non-blocking: a connect the writer has not accepted yet completes later (EINPROGRESS is
    // not reported for Unix sockets; EAGAIN means the backlog is full).
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        why = failure(dir, "connect to");
        return false;
    }
    socket_ = std::move(s);
    return true;
}

void WakeReceiver::close() {
    socket_.reset();
    word_ = WakeWord();
}

int WakeReceiver::drain(bool& closed) {
    char bytes[256];
    int total = 0;
    closed = false;
    for (;;) {
        iovec iov{bytes, sizeof(bytes)};
        // Room for a few descriptors: the one expected and any others, which are closed.
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(socket_.get(), &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        for (cmsghdr* c = n >= 0 ? CMSG_FIRSTHDR(&m) : nullptr; c != nullptr;
             c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            for (size_t k = 0; k < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++k) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof(fd));
                const Mem::Fd page(fd);  // closed here: a mapping keeps the page
                if (!word_)
                    word_ = WakeWord::adopt(fd);  // stays invalid unless sealed and a page
            }
        }
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
