// VeskShadowBase: what keeps a shadow (VeskShadow/VeskShadow.h) current with its table: the
// follower of the table's notification queue (Ruxa::RuxaReader) and the loop that drives it
// (Vesk::Syncer), and the decisions of when to apply an entry, when a resync is complete and
// when a flush is over. The shadow implements the operations those decisions call.
//
// What the base promises the shadow:
//   1. doSlot(slot, sequence, true) for each queue entry, in sequence order, on the owner's
//      thread, from the process's event loop (syncFromRuxa), while the shadow is notifying.
//   2. After every (re-)attach of the queue (the first one, an overrun, a replaced queue): one
//      resync. The shadow's prepare step brings its table view to the table's current generation
//      and names how many slots to look at; each is applied with the sequence kNoSequence (no
//      queue check); then syncComplete(). The queue's position was taken before the pass, so a
//      change made during the pass is seen by the pass or by a later entry, never by neither.
//   3. flush(): the following stops; doFlushSlot(i) for every local slot, then flushComplete().
//   4. handleDisconnect() when the writer closed the wake-up connection (it went away; the loop
//      polls from then on).
//   5. An exception out of an entry or a resync (a damaged table, a local copy that cannot grow,
//      a client callback that threw) lets go of the queue; it is attached again, and the table
//      read again, at the next poll. That resync reports every record again (compare false):
//      the client may have missed the one whose report failed. A Pimbo::CorruptionDetectedException
//      goes to corruptionDetected() first.
// Who calls what: the owner's thread only.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/RootPath.h"
#include "Ruxa/RuxaReader.h"
#include "VeskBase/Counters.h"
#include "VeskShadow/Syncer.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Vesk {

class VeskShadowBase : public Pimbo::Debuggable {
  public:
    // The option word's bits.
    static constexpr uint32_t kKeyOnly = 1;      // the key-only store (type keyshadow)
    static constexpr uint32_t kNotInitial = 2;   // attached by a later event than the first
    static constexpr uint32_t kFlushNotify = 4;  // keys removed by a flush are reported
    static constexpr uint64_t kNoSequence = ~uint64_t(0);
    // Brings the shadow's view of the table to the writer's current generation before a resync
    // and sets how many slots the resync applies; false when the table cannot be read now.
    using PrepareSync = std::function<bool(uint32_t& slots)>;

    VeskShadowBase(Pimbo::Platform::DebugHandler& handler, const std::string& name, uint32_t flags,
                   PrepareSync prepareSync);
    virtual ~VeskShadowBase() = default;
    VeskShadowBase(const VeskShadowBase&) = delete;
    VeskShadowBase& operator=(const VeskShadowBase&) = delete;

    // ----- in the order of the shadow's operations -----
    virtual bool doSlot(uint32_t slot, uint64_t sequence, bool compare) = 0;
    virtual void handleQuiesced(bool quiesced) = 0;
    // The table's headers and the queue's, as text.
    virtual std::string dumpHeaders() const = 0;
    virtual void corruptionDetected(const std::string& message) = 0;
    virtual void handleDisconnect() = 0;
    // The resync of promise 2; false when the table cannot be read now (retried at the next
    // poll).
    virtual bool resync();
    // After a resync: a notifying shadow asks the writer for wake-ups again (a restarted writer
    // listens on a new socket).
    virtual void maybeEnableRuxa();
    // Applies one queue entry (promise 1); an entry the queue no longer vouches for is counted.
    virtual void syncFromRuxa(Ruxa::BasicSlot slot, uint64_t sequence);
    virtual void syncComplete() = 0;
    virtual void flushComplete() = 0;
    virtual void doFlushSlot(uint32_t slot) = 0;
    virtual uint32_t localCapacity() = 0;
    // Re-maps the table to the writer's current sizes; true when anything changed.
    virtual bool resize() = 0;
    // The shadow is initialized.
    virtual bool runtime() = 0;

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
    // Runs `op`; an exception is traced (a corruption handed to corruptionDetected) and passed
    // on to the syncer, which lets go of the queue; the next resync reports every record.
    template <class Op>
    void guarded(const char* what, Op&& op) {
        try {
            op();
        } catch (const Pimbo::CorruptionDetectedException& e) {
            reportAll_ = true;
            corruptionDetected(e.msg());
            throw;
        } catch (const std::exception& e) {
            reportAll_ = true;
            PIMBO_TRACE(0, "{}: {} failed, resync at the next poll: {}", rootPath_, what, e.what());
            throw;
        }
    }

    Reader::Counters counters_;
    RootPath rootPath_;
    uint32_t flags_;
    Ruxa::RuxaReader<Ruxa::BasicSlot> queue_;
    Syncer syncer_;
    PrepareSync prepareSync_;
    bool notifying_ = false;
    uint64_t syncSequence_ = 0;
    bool syncedOnce_ = false;
    // A failure interrupted an entry or a resync: the next resync reports every record.
    bool reportAll_ = false;
};

}  // namespace Vesk
