#include "VeskShadow/Syncer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace Vesk {

Syncer::Syncer(Reader& reader, const RootPath& rootPath, Apply apply, Resync resync,
               Pimbo::EventLoop& loop, std::function<void()> disconnected)
    : reader_(reader),
      rootPath_(rootPath),
      apply_(std::move(apply)),
      resync_(std::move(resync)),
      loop_(loop),
      disconnected_(std::move(disconnected)) {}

void Syncer::start() {
    if (started_) {
        if (mode_ == Mode::flush) {
            mode_ = Mode::follow;
            flushSlot_ = nullptr;
            complete_ = nullptr;
            connect();
            arm(1);
        }
        return;
    }
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer_) {
        PIMBO_THROW(Pimbo::RuntimeException, "syncer of {}: cannot create a timer: {}", rootPath_,
                    std::strerror(errno));
    }
    loop_.addFd(timer_.get(), [this] {
        uint64_t expirations;
        if (::read(timer_.get(), &expirations, sizeof(expirations)) <= 0)
            return;
        if (mode_ == Mode::flush) {
            runFlush(batchSize_);
            return;
        }
        reconnect();  // the writer may listen again
        run();
    });
    started_ = true;
    mode_ = Mode::follow;
    connect();
    arm(1);
}

void Syncer::flush(uint32_t count, FlushSlot flushSlot, Complete complete) {
    if (!started_)
        start();
    closeWake();
    mode_ = Mode::flush;
    flushSlot_ = std::move(flushSlot);
    complete_ = std::move(complete);
    flushNext_ = 0;
    flushEnd_ = count;
    arm(1);
}

const char* Syncer::modeText(Mode mode) {
    return mode == Mode::flush ? "flush" : "follow";
}

void Syncer::notifyingIs(bool notifying) {
    const bool resumed = notifying && !notifying_;
    notifying_ = notifying;
    if (resumed && started_ && mode_ == Mode::follow)
        arm(1);
}

void Syncer::reconnect() {
    if (started_ && mode_ == Mode::follow && notifying_ && !wake_)
        connect();
}

void Syncer::forceSyncCompletion() {
    if (!done())
        runFlush(flushEnd_ - flushNext_);
}

void Syncer::runFlush(uint32_t slots) {
    for (uint32_t n = 0; n < slots && flushNext_ < flushEnd_; ++n)
        flushSlot_(flushNext_++);
    if (flushNext_ < flushEnd_) {
        arm(1);
        return;
    }
    // The flush is over; the completion may destroy this syncer.
    Complete complete = std::move(complete_);
    complete_ = nullptr;
    complete();
}

void Syncer::stop() {
    if (!started_)
        return;
    closeWake();
    loop_.removeFd(timer_.get());
    timer_.reset();
    started_ = false;
}

void Syncer::connect() {
    std::string why;
    if (wake_.connect(rootPath_, why))
        loop_.addFd(wake_.fd(), [this] { onWake(); });
}

void Syncer::closeWake() {
    if (wake_)
        loop_.removeFd(wake_.fd());
    wake_.close();
}

void Syncer::onWake() {
    bool closed = false;
    if (wake_.drain(closed) > 0)
        ++wakeups_;
    if (closed) {
        // The writer went: poll until it (or another) listens again.
        closeWake();
        if (disconnected_)
            disconnected_();
    }
    run();
}

bool Syncer::reattach() {
    if (!reader_.attach(why_))
        return false;
    ++resyncs_;
    if (resync_())
        return true;
    why_ = "resync failed";
    reader_.detach();
    return false;
}

void Syncer::arm(uint64_t microseconds) {
    itimerspec t{};
    t.it_value.tv_sec = time_t(microseconds / 1000000);
    t.it_value.tv_nsec = long(microseconds % 1000000 * 1000);
    ::timerfd_settime(timer_.get(), 0, &t, nullptr);
}

void Syncer::lose(std::string why) {
    why_ = std::move(why);
    reader_.detach();  // attached again, and resynced, at the next poll
    arm(kPollMs * 1000);
}

void Syncer::run() {
    if (!notifying_ || mode_ != Mode::follow)
        return;  // paused (notifyingIs(true) arms the timer again), or flushing
    const auto start = std::chrono::steady_clock::now();
    bool asked = false;
    uint32_t applied = 0;
    try {
        for (uint32_t n = 0; n < batchSize_; ++n) {
            Ruxa::BasicSlot slot{};
            uint64_t sequence = 0;
            switch (reader_.next(slot, sequence)) {
                case Reader::Next::entry:
                    ++applied;
                    apply_(slot, sequence);
                    reader_.counters().lastAppliedSequence = sequence;
                    break;
                case Reader::Next::none:
                    // Several entries came in while this follower woke up: the writer is busy.
                    // Looking again shortly costs it nothing; asking would cost it a send().
                    if (applied >= kBusyEntries) {
                        arm(kLingerUs);
                        return;
                    }
                    // Before sleeping: ask the writer for a wake-up, then look once more (Q7,
                    // Ruxa/RuxaWake.h); an entry the writer published before it could see the
                    // request is found now. Without a word (yet) the poll finds it.
                    if (!asked && wake_.ask()) {
                        asked = true;
                        break;
                    }
                    arm(kPollMs * 1000);
                    return;
                case Reader::Next::overrun:
                case Reader::Next::replaced:
                    if (!reattach()) {
                        arm(kPollMs * 1000);
                        return;
                    }
                    break;
            }
            if (yieldTime_ != 0 && n % 64 == 63 &&
                std::chrono::steady_clock::now() - start >= std::chrono::microseconds(yieldTime_))
                break;
        }
    } catch (const std::exception& e) {
        lose(e.what());
        return;
    } catch (...) {
        lose("an exception that is no std::exception");
        return;
    }
    arm(1);  // more to come: the next batch after the loop's other work
}

}  // namespace Vesk
