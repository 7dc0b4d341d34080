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
// table); a queue that stays unusable, or a resync that fails, is retried at every poll. Any
// exception out of a batch (a damaged queue or table, a follower that ran out of memory, a
// callback of its client that threw) lets go of the queue: the entry that failed is applied by
// the resync at the next poll, and the process goes on. The first run after start() attaches
// and resyncs too; it runs from the loop, never inside start().
//
// Following can be paused (notifyingIs(false)): the syncer then applies nothing and asks the
// writer for no wake-up, until notifyingIs(true). Its wake-up connection stays open meanwhile,
// so that a writer that goes away is still heard of.
//
// A flush (flush()) ends the following: the syncer lets go of its wake-up connection and, from
// the loop, calls `flushSlot` for the slots [0, count) a batch at a time, then `complete`
// (which may destroy the syncer: nothing of it is touched afterwards). forceSyncCompletion()
// finishes a pending flush at once. start() follows again.
//
// Who calls what: the owner's thread only (start, stop, the setters and the loop's callbacks).
#pragma once

#include "Pimbo/EventLoop.h"
#include "Pimbo/Fd.h"
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
    // True when the follower is current again; false leaves the queue to be attached again and
    // the resync retried at the next poll.
    using Resync = std::function<bool()>;
    using FlushSlot = std::function<void(uint32_t slot)>;
    using Complete = std::function<void()>;
    // Following the queue, or flushing the follower's copy.
    enum class Mode : uint8_t { follow, flush };
    static constexpr uint64_t kPollMs = 50;
    static constexpr uint32_t kBatchSize = 1024;
    static constexpr uint32_t kBusyEntries = 2;
    static constexpr uint64_t kLingerUs = 50;

    // `disconnected`, when given, hears that the writer closed the wake-up connection.
    Syncer(Reader& reader, const RootPath& rootPath, Apply apply, Resync resync,
           Pimbo::EventLoop& loop = Pimbo::eventLoop(), std::function<void()> disconnected = {});
    ~Syncer() { stop(); }
    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;

    // Registers on the loop, connects to the wake-up socket and has the loop run the first
    // batch; after a flush, follows again. Throws Pimbo::RuntimeException when the loop or the
    // timer cannot be set up.
    void start();
    void stop();
    // Stops following and flushes slots [0, count) from the loop (see the top of this file).
    void flush(uint32_t count, FlushSlot flushSlot, Complete complete);
    void forceSyncCompletion();
    Mode mode() const { return mode_; }
    // "follow" or "flush".
    static const char* modeText(Mode mode);
    // No flush is pending (its completion has run, or there was none).
    bool done() const { return mode_ == Mode::follow || !complete_; }

    // A batch yields to the loop once it has run this long (0: only after batchSize entries).
    void yieldTimeIs(uint64_t microseconds) { yieldTime_ = microseconds; }
    void batchSizeIs(uint32_t entries) { batchSize_ = entries == 0 ? 1 : entries; }
    // Pauses (false) or resumes (true) the following; a resumed syncer runs from the loop.
    void notifyingIs(bool notifying);
    bool notifying() const { return notifying_; }
    // Connects to the writer's wake-up socket when following, notifying and not connected (a
    // writer that restarted listens anew).
    void reconnect();

    // Wake-ups received from the writer, resyncs done, and why the last attach failed.
    uint64_t wakeups() const { return wakeups_; }
    uint64_t resyncs() const { return resyncs_; }
    const std::string& lastFailure() const { return why_; }
    bool woken() const { return static_cast<bool>(wake_); }

  private:
    // Applies one batch; then arms the timer for the next one or for the next poll.
    void run();
    // Flushes up to `slots` slots; the last one completes the flush.
    void runFlush(uint32_t slots);
    bool reattach();
    void connect();
    // Lets go of the wake-up connection (the loop stops watching it).
    void closeWake();
    // A batch failed with `why`: lets go of the queue and polls again.
    void lose(std::string why);
    void onWake();
    void arm(uint64_t microseconds);

    Reader& reader_;
    RootPath rootPath_;
    Apply apply_;
    Resync resync_;
    Pimbo::EventLoop& loop_;
    std::function<void()> disconnected_;
    Pimbo::Fd timer_;
    Ruxa::WakeReceiver wake_;
    uint64_t yieldTime_ = 0;
    uint32_t batchSize_ = kBatchSize;
    uint64_t wakeups_ = 0;
    uint64_t resyncs_ = 0;
    std::string why_;
    bool started_ = false;
    bool notifying_ = true;
    Mode mode_ = Mode::follow;
    FlushSlot flushSlot_;
    Complete complete_;
    uint32_t flushNext_ = 0;
    uint32_t flushEnd_ = 0;
};

}  // namespace Vesk
