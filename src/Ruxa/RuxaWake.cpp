#include "Ruxa/RuxaWake.h"

#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

uint64_t nowNs(clockid_t clock = CLOCK_MONOTONIC) {
    timespec t;
    ::clock_gettime(clock, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}
// The writer thread's own time: what a look costs it, whoever else runs meanwhile.
uint64_t cpuNs() {
    return nowNs(CLOCK_THREAD_CPUTIME_ID);
}

// New followers are taken at most once a millisecond; connections that went (and send buffers
// that have room again) are looked for once a second, with one poll() for all of them: a
// follower that never asks for a wake-up is never sent one, so no failed send() reports it gone.
constexpr uint64_t kAcceptNs = 1000000;
constexpr uint64_t kCheckNs = 1000000000;
// However slow the last look, the next one comes after at most this many batches or this time.
constexpr int64_t kMaxUntilLook = int64_t(1) << 24;
constexpr uint64_t kMaxOwedNs = 1000000000;
// Without followers a look only checks whether taking new ones is due: every kIdleLook batches.
constexpr int64_t kIdleLook = 64;

// The mode of the wake-up socket: the table's file mode with a write bit beside each read bit
// (connecting needs write permission), so that whoever may read the table may follow it awake.
unsigned socketMode(unsigned fileMode) {
    return fileMode | ((fileMode & 0444) >> 1);
}

}  // namespace

WakeWord WakeWord::create(Pimbo::Fd& fd) {
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
    Pimbo::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_un a = wakeAddress(dir_.fd());
    if (!s) {
        why = failure(dir_, "create");
    } else if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        why = failure(dir_, "bind");
    } else if (!dir_.statEntry(kFileName, st) || !S_ISSOCK(st.st_mode) ||
               ::fchmodat(dir_.fd(), kFileName, socketMode(dir_.fileMode().mode), 0) != 0 ||
               (dir_.fileMode().group != Mem::FileMode::kNoGroup &&
                ::fchownat(dir_.fd(), kFileName, uid_t(-1), gid_t(dir_.fileMode().group),
                           AT_SYMLINK_NOFOLLOW) != 0)) {
        // Between bind and chmod only the directory's owner can change the name (TableDir).
        why = failure(dir_, "set the mode of");
    } else if (::listen(s.get(), 64) != 0) {
        why = failure(dir_, "listen on");
    } else {
        listener_ = std::move(s);
        self_ = ::geteuid();
        refused_ = 0;
        // The timer of an owed look; without it (no event loop) an owed look waits for a change.
        timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        try {
            if (timer_)
                Pimbo::eventLoop().addFd(timer_.get(), [this] {
                    uint64_t expirations;
                    while (::read(timer_.get(), &expirations, sizeof expirations) > 0) {
                    }
                    timerArmed_ = false;
                    if (owed_ && look() && changed_)
                        changed_();
                });
        } catch (const Pimbo::Exception&) {
            timer_.reset();
        }
        return true;
    }
    close();
    return false;
}

void WakeSender::close() {
    if (timer_)
        Pimbo::eventLoop().removeFd(timer_.get());
    timer_.reset();
    timerArmed_ = false;
    followers_.clear();
    perUser_.clear();
    if (listener_) {
        listener_.reset();
        removeSocket(dir_);
    }
    dir_ = Mem::TableDir();
    pending_ = false;
    owed_ = false;
    untilLook_ = 1;
    batches_ = 0;
    lastLookNs_ = 0;
    lookNs_ = 0;
    lastAcceptNs_ = 0;
    lastCheckNs_ = 0;
}

void WakeSender::removeSocket(const Mem::TableDir& dir) {
    struct stat st;
    if (dir.statEntry(kFileName, st) && S_ISSOCK(st.st_mode))
        ::unlinkat(dir.fd(), kFileName, 0);
}

bool WakeSender::welcome(Follower& f) {
    Pimbo::Fd page;  // closed once passed: the two mappings keep the page
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

void WakeSender::accept() {
    for (int fd;
         (fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        Follower f{Pimbo::Fd(fd), WakeWord(), 0, false};
        ucred peer{};
        socklen_t length = sizeof peer;
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
        f.user = peer.uid;
        const auto mine = perUser_.find(f.user);
        const bool capped = f.user != self_ && f.user != 0 && mine != perUser_.end() &&
                            mine->second >= kMaxFollowersPerUser;
        if (!known || followers_.size() >= kMaxFollowers || capped) {
            ++refused_;  // closed here: the follower polls
            continue;
        }
        // The smallest send buffer: a few unread wake-ups, a few kilobytes of the kernel's.
        const int smallest = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
        if (welcome(f)) {  // its word came with its first wake-up
            ++perUser_[f.user];
            followers_.push_back(std::move(f));
        }
    }
}

void WakeSender::drop(size_t i) {
    if (--perUser_[followers_[i].user] == 0)
        perUser_.erase(followers_[i].user);
    followers_[i] = std::move(followers_.back());
    followers_.pop_back();
}

bool WakeSender::look() {
    owed_ = false;
    const uint64_t wall = nowNs();
    const bool acceptDue = listener_ && wall - lastAcceptNs_ >= kAcceptNs;
    if (followers_.empty() && !acceptDue) {
        untilLook_ = kIdleLook;  // nobody to wake, nobody to take yet
        return false;
    }
    const uint64_t start = cpuNs();
    const size_t before = followers_.size();
    const uint64_t refusedBefore = refused_;
    if (acceptDue) {
        lastAcceptNs_ = wall;
        accept();
        if (wall - lastCheckNs_ >= kCheckNs && !followers_.empty()) {
            lastCheckNs_ = wall;
            checkConnections();
        }
    }
    if (!followers_.empty()) {
        // Q7: the counts stored before this fence are visible before any word is loaded.
        Mem::fullFence();
        const char byte = 1;
        for (size_t i = 0; i < followers_.size();) {
            Follower& f = followers_[i];
            if (f.full || !f.word.take()) {
                ++i;  // awake (it reads the queue before it asks again), or unread wake-ups
                continue;
            }
            const ssize_t n = ::send(f.socket.get(), &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop(i);  // the follower is gone
                continue;
            }
            f.full = n < 0 && errno != EINTR;
            ++i;
        }
    }
    // Pacing: the next look once kIdleShare times this one has passed, in batches at the pace of
    // those since the last look. The look's cost is the writer thread's own time (others that
    // run meanwhile do not inflate it); the pace is the clock's, so a writer that waits between
    // its changes looks after each.
    lookNs_ = cpuNs() - start;
    const uint64_t batchNs = (wall - lastLookNs_) / std::max<uint64_t>(batches_, 1);
    untilLook_ = std::clamp<int64_t>(int64_t(lookNs_ * kIdleShare / std::max<uint64_t>(batchNs, 1)),
                                     1, kMaxUntilLook);
    batches_ = 0;
    lastLookNs_ = wall + lookNs_;
    return followers_.size() != before || refused_ != refusedBefore;
}

void WakeSender::armTimer() {
    if (!timer_ || timerArmed_ || followers_.empty())
        return;
    // Once the writer would have looked, had it gone on: about kIdleShare times the last look.
    const uint64_t ns = std::clamp<uint64_t>(lookNs_ * kIdleShare, 1000, kMaxOwedNs);
    itimerspec t{};
    t.it_value.tv_sec = time_t(ns / 1000000000);
    t.it_value.tv_nsec = long(ns % 1000000000);
    timerArmed_ = ::timerfd_settime(timer_.get(), 0, &t, nullptr) == 0;
}

void WakeSender::checkConnections() {
    std::vector<pollfd> fds(followers_.size());
    for (size_t i = 0; i < fds.size(); ++i)
        fds[i] = {followers_[i].socket.get(), short(POLLRDHUP | POLLOUT), 0};
    if (::poll(fds.data(), fds.size(), 0) <= 0)
        return;
    // Backwards: drop() moves the last follower into the place it empties.
    for (size_t i = fds.size(); i-- > 0;) {
        if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            drop(i);
        else if ((fds[i].revents & POLLOUT) != 0)
            followers_[i].full = false;
    }
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
    Pimbo::Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
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
                const Pimbo::Fd page(fd);  // closed here: a mapping keeps the page
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
