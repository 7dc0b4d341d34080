#include "Pimbo/EventLoop.h"

#include "Pimbo/Exception.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace Pimbo {

// A constructor that throws closes the descriptors it made (Pimbo::Fd).
EventLoop::EventLoop() {
    epollFd_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epollFd_) {
        PIMBO_THROW(RuntimeException, "event loop: epoll_create1 failed: {}", std::strerror(errno));
    }
    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_) {
        PIMBO_THROW(RuntimeException, "event loop: eventfd failed: {}", std::strerror(errno));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    if (::epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, wakeFd_.get(), &ev) != 0) {
        PIMBO_THROW(RuntimeException, "event loop: cannot watch its wake-up descriptor: {}",
                    std::strerror(errno));
    }
}

EventLoop::~EventLoop() = default;

void EventLoop::addFd(int fd, std::function<void()> onReadable) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idOfFd_.count(fd) != 0) {
        PIMBO_THROW(RuntimeException, "event loop: descriptor {} is already registered", fd);
    }
    const uint64_t id = nextId_++;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;  // an id, not the fd: a stale event of a re-registered fd finds nothing
    if (::epoll_ctl(epollFd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        PIMBO_THROW(RuntimeException, "event loop: cannot watch descriptor {}: {}", fd,
                    std::strerror(errno));
    }
    byId_.emplace(id, std::make_shared<Registration>(Registration{fd, std::move(onReadable)}));
    idOfFd_.emplace(fd, id);
}

void EventLoop::removeFd(int fd) {
    std::shared_ptr<Registration> gone;  // destroyed after the lock, maybe after its own call
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = idOfFd_.find(fd);
        if (it == idOfFd_.end()) {
            return;
        }
        auto r = byId_.find(it->second);
        gone = std::move(r->second);
        byId_.erase(r);
        idOfFd_.erase(it);
        // The descriptor may already be closed (and then left the epoll set by itself).
        ::epoll_ctl(epollFd_.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
}

size_t EventLoop::fds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byId_.size();
}

std::shared_ptr<EventLoop::Registration> EventLoop::registration(uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

void EventLoop::drainWake() {
    uint64_t n;
    while (::read(wakeFd_.get(), &n, sizeof n) == ssize_t(sizeof n)) {
    }
}

bool EventLoop::poll(int timeoutMs) {
    constexpr int kMaxEvents = 64;
    epoll_event events[kMaxEvents];
    const int n = ::epoll_wait(epollFd_.get(), events, kMaxEvents, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) {
            return false;
        }
        PIMBO_THROW(RuntimeException, "event loop: epoll_wait failed: {}", std::strerror(errno));
    }
    bool ran = false;
    for (int i = 0; i < n; ++i) {
        const uint64_t id = events[i].data.u64;
        if (id == kWakeId) {
            drainWake();
            continue;
        }
        // Looked up again for each event: an earlier callback may have removed this one.
        std::shared_ptr<Registration> r = registration(id);
        if (r) {
            r->onReadable();
            ran = true;
        }
    }
    return ran;
}

void EventLoop::run() {
    while (!stopRequested_.exchange(false)) {
        poll(-1);
    }
}

void EventLoop::stop() {
    stopRequested_.store(true);
    const uint64_t one = 1;
    // A full counter already wakes the loop; nothing else can fail here.
    [[maybe_unused]] ssize_t w = ::write(wakeFd_.get(), &one, sizeof one);
}

namespace {
EventLoop* processLoop = nullptr;  // never destroyed: sentries may go during exit
}  // namespace

EventLoop& eventLoop() {
    // A forked child makes a loop of its own at its first use: the parent's epoll instance is
    // shared across the fork, and the child's descriptors registered in it would wake the
    // parent's polls. The first loop of the process is made once, whichever thread asks first.
    [[maybe_unused]] static const bool made = [] {
        ::pthread_atfork(nullptr, nullptr, [] { processLoop = nullptr; });
        processLoop = new EventLoop;
        return true;
    }();
    if (processLoop == nullptr)
        processLoop = new EventLoop;
    return *processLoop;
}

}  // namespace Pimbo
