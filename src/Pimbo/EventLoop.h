// Pimbo::EventLoop: the process's event loop, on epoll. Components register file descriptors
// with a callback that runs when the descriptor is readable; the owner of the loop runs the
// callbacks by polling it (poll, run) or by adding the loop's own descriptor to its poll set.
//
// Concurrency contract:
//   - Single-threaded by design: callbacks run only inside poll() or run(), on the thread that
//     calls them, which is the thread that owns the components (the entity tree's thread).
//   - addFd and removeFd may be called from inside a callback. The registrations are kept
//     under a mutex, so they may also be changed from another thread without corrupting the
//     loop, but a callback may then still be running on the owner's thread.
//   - stop() may be called from any thread; it wakes a blocked poll.
// Invariants:
//   1. A callback runs only while its descriptor is registered: once removeFd returns, that
//      registration's callback is never started again (a callback already running finishes).
//   2. A callback is destroyed only when no poll is running it.
//   3. Descriptors are level-triggered: a callback that does not drain its descriptor is called
//      again at the next poll.
#pragma once

#include "Pimbo/Fd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Pimbo {

class EventLoop {
  public:
    // Throws Pimbo::RuntimeException naming the reason when the kernel refuses the loop.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A descriptor that is readable whenever poll(0) would run something.
    int fd() const { return epollFd_.get(); }

    // Calls onReadable whenever `fd` is readable. Throws Pimbo::RuntimeException when `fd` is
    // already registered or cannot be watched.
    void addFd(int fd, std::function<void()> onReadable);
    // Stops watching `fd`; an unregistered descriptor is ignored.
    void removeFd(int fd);
    size_t fds() const;

    // Waits up to timeoutMs (0: not at all, -1: until something is ready) and runs the
    // callbacks of the ready descriptors once. True when a callback ran. Exceptions of a
    // callback pass to the caller; the other ready descriptors stay ready for the next poll.
    bool poll(int timeoutMs);
    // Polls until stop() is called. A stop() that came before run() ends the next run() at
    // once; each stop ends one run.
    void run();
    void stop();

  private:
    struct Registration {
        int fd;
        std::function<void()> onReadable;
    };
    static constexpr uint64_t kWakeId = 0;

    std::shared_ptr<Registration> registration(uint64_t id) const;
    void drainWake();

    Pimbo::Fd epollFd_;
    Pimbo::Fd wakeFd_;
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Registration>> byId_;
    std::unordered_map<int, uint64_t> idOfFd_;
    uint64_t nextId_ = kWakeId + 1;
    std::atomic<bool> stopRequested_{false};
};

// The process's event loop (created on first use, never destroyed; a forked child makes its own).
EventLoop& eventLoop();

}  // namespace Pimbo
