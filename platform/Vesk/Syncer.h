// Vesk::Syncer: the loop that keeps a follower current with a table's notification queue, on
// the process's event loop (Pimbo/EventLoop.h), on the thread that owns the follower.
//
// It watches two descriptors: its connection to the writer's wake-up socket (Ruxa/RuxaWake.h),
// readable when the writer published something after the follower asked for a wake-up, and a
// timer that runs the next batch after a yield, or polls the queue at kPollMs when no wake-up
// comes (no socket, no wake word, a writer gone, a lost wake-up). A run that finds nothing new
// asks for a wake-up and looks once more before it sleeps (Q7), unless it applied kBusyEntries
// or more: the writer is busy, and a look after kLingerUs costs it nothing where a wake-up
// costs it a system call per sleep of its follower. Each run applies up to one batch of entries
// through `apply` (slot index, sequence), then yields to the loop: after batchSize entries, or once
// the batch has run for the time given to yieldTimeIs. When the queue was overrun or replaced, or
// does not attach (yet), it attaches again and calls `resync` (the follower re-reads the whole
// table); a queue that stays unusable is retried at every poll. A damaged queue detaches the
// reader, never the process. The first start() attaches and resyncs too.
//
// Who calls what: the owner's thread only (start, stop, the setters and the loop's callbacks).
#pragma once

#include "Mem/Fd.h"
#include "Pimbo/EventLoop.h"
#include "Ruxa/RuxaReader.h"
#include "Ruxa/RuxaWake.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Vesk {

class Syncer {
  public:
    using Reader = Ruxa::RuxaReader<Ruxa::BasicSlot>;
    using Apply = std::function<void(Ruxa::BasicSlot slot, uint64_t sequence)>;
    using Resync = std::function<void()>;
    static constexpr uint64_t kPollMs = 50;
    static constexpr uint32_t kBatchSize = 1024;
    static constexpr uint32_t kBusyEntries = 2;
    static constexpr uint64_t kLingerUs = 50;

    Syncer(Reader& reader, const RootPath& rootPath, Apply apply, Resync resync,
           Pimbo::EventLoop& loop = Pimbo::eventLoop());
    ~Syncer() { stop(); }
    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;

    // Registers on the loop and runs the first batch. Throws Pimbo::RuntimeException when the
    // loop or the timer cannot be set up.
    void start();
    void stop();

    // A batch yields to the loop once it has run this long (0: only after batchSize entries).
    void yieldTimeIs(uint64_t microseconds) { yieldTime_ = microseconds; }
    void batchSizeIs(uint32_t entries) { batchSize_ = entries == 0 ? 1 : entries; }

    // Wake-ups received from the writer, resyncs done, and why the last attach failed.
    uint64_t wakeups() const { return wakeups_; }
    uint64_t resyncs() const { return resyncs_; }
    const std::string& lastFailure() const { return why_; }
    bool woken() const { return static_cast<bool>(wake_); }

  private:
    // Applies one batch; then arms the timer for the next one or for the next poll.
    void run();
    bool reattach();
    void connect();
    void onWake();
    void arm(uint64_t microseconds);

    Reader& reader_;
    RootPath rootPath_;
    Apply apply_;
    Resync resync_;
    Pimbo::EventLoop& loop_;
    Mem::Fd timer_;
    Ruxa::WakeReceiver wake_;
    uint64_t yieldTime_ = 0;
    uint32_t batchSize_ = kBatchSize;
    uint64_t wakeups_ = 0;
    uint64_t resyncs_ = 0;
    std::string why_;
    bool started_ = false;
};

}  // namespace Vesk
