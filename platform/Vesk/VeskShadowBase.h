// VeskShadowBase: what keeps a shadow (Vesk/VeskShadow.h) current with its table: the follower
// of the table's notification queue (Ruxa::RuxaReader) and the loop that drives it
// (Vesk::Syncer), and the decisions of when to apply an entry, when a resync is complete and
// when a flush is over. The shadow implements the operations those decisions call.
//
// What the base promises the shadow:
//   1. doSlot(slot, sequence, true) for each queue entry, in sequence order, on the owner's
//      thread, from the process's event loop.
//   2. After every (re-)attach of the queue (the first one, an overrun, a replaced queue): one
//      resync. prepareSync() brings the shadow's table view to the table's current generation
//      and names how many slots to look at; each is applied with the sequence kNoSequence (no
//      queue check); then syncComplete(). The queue's position was taken before the pass, so a
//      change made during the pass is seen by the pass or by a later entry, never by neither.
//   3. flush(): the following stops; doFlushSlot(i) for every local slot, then flushComplete().
//   4. handleDisconnect() when the writer closed the wake-up connection (it went away; the loop
//      polls from then on).
//   5. A Pimbo::CorruptionDetectedException from the table during an entry or a resync goes to
//      corruptionDetected(); the queue is then let go and attached again (and the table read
//      again) at the next poll.
// Who calls what: the owner's thread only.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Ruxa/RuxaReader.h"
#include "Vesk/Counters.h"
#include "Vesk/RootPath.h"
#include "Vesk/Syncer.h"

#include <cstdint>
#include <string>

namespace Vesk {

class VeskShadowBase : public Pimbo::Debuggable {
  public:
    // The option word's bits.
    static constexpr uint32_t kKeyOnly = 1;      // the key-only store (type keyshadow)
    static constexpr uint32_t kNotInitial = 2;   // attached by a later event than the first
    static constexpr uint32_t kFlushNotify = 4;  // keys removed by a flush are reported
    static constexpr uint64_t kNoSequence = ~uint64_t(0);

    VeskShadowBase(Pimbo::Platform::DebugHandler& handler, const std::string& name, uint32_t flags);
    virtual ~VeskShadowBase() = default;
    VeskShadowBase(const VeskShadowBase&) = delete;
    VeskShadowBase& operator=(const VeskShadowBase&) = delete;

    // ----- the shadow's side -----
    virtual bool doSlot(uint32_t slot, uint64_t sequence, bool compare) = 0;
    virtual void handleQuiesced(bool quiesced) = 0;
    virtual void corruptionDetected(const std::string& message) = 0;
    virtual void handleDisconnect() = 0;
    // ----- the base's own -----
    // The resync of promise 2; false when the table cannot be read now (retried at the next
    // poll).
    virtual bool resync();
    virtual void syncComplete() = 0;
    virtual void flushComplete() = 0;
    virtual void doFlushSlot(uint32_t slot) = 0;
    virtual uint32_t localCapacity() = 0;
    // Brings the table view to the current generation; `slots` is how many slots the resync
    // applies. False when the table cannot be read now.
    virtual bool prepareSync(uint32_t& slots) = 0;

    uint32_t flags() const { return flags_; }
    const RootPath& shadowRootPath() const { return rootPath_; }
    Syncer& syncer() { return syncer_; }
    Ruxa::RuxaReader<Ruxa::BasicSlot>& queue() { return queue_; }
    Reader::Counters& counters() { return counters_; }

  protected:
    // Starts following the queue; the first resync runs from the loop.
    bool initializeRuxa();
    // An initialized shadow asked to initialize again: follow again if a flush had stopped it.
    void maybeConnect() { syncer_.start(); }
    // Stops following and flushes every local slot from the loop.
    void startFlush() {
        syncer_.flush(
            localCapacity(), [this](uint32_t slot) { doFlushSlot(slot); },
            [this] { flushComplete(); });
    }
    // Runs `op`, handing a corruption of the table to corruptionDetected before the syncer lets
    // go of the queue.
    template <class Op>
    void guarded(Op&& op) {
        try {
            op();
        } catch (const Pimbo::CorruptionDetectedException& e) {
            corruptionDetected(e.msg());
            throw;
        }
    }

    Reader::Counters counters_;
    RootPath rootPath_;
    uint32_t flags_;
    Ruxa::RuxaReader<Ruxa::BasicSlot> queue_;
    Syncer syncer_;
    bool notifying_ = false;
    uint64_t syncSequence_ = 0;
    bool syncedOnce_ = false;
};

}  // namespace Vesk
