// RuxaReader: a follower of a table's change-notification queue (Ruxa/RuxaQueue.h).
//
// Who calls what: one thread of a reader process (a shadow's processing thread). It maps the
// queue read-only; the writer process appends to it concurrently. What a follower does:
//   attach()   from the writer's latest entry on; the follower then reads the whole table once
//              (changes published before attach are in the table, later ones come as entries);
//   next()     the next entry in sequence order: its slot index and 64-bit sequence;
//   overrun / replaced: the queue no longer holds the next entry (the writer lapped the ring)
//              or is no longer the queue this reader attached to (a writer restart, a new
//              generation). Both are sticky until the next attach(): the follower must attach
//              again and re-read the whole table, never skip on.
// validateNotif() and quiesced() are the checks a shadow asks while it applies an entry.
//
// What a concurrent reader may see, and why each case is safe (invariants Q1 to Q6 of
// doc/file-format.md):
//   - a count that covers an entry: the entry is complete (Q2);
//   - an entry copied while its buffer was being recycled: the first sequence re-read after
//     the copy (behind an acquire fence) moved, so the copy is dropped as an overrun (Q3);
//   - the next buffer of the ring still holding the previous turn (first sequence lower than
//     the one expected, or unused): nothing new yet; higher: the writer lapped this reader;
//   - generation 0 or another generation in the mapped header: the file was replaced (Q5);
//     the mapping still shows the old file, whose buffers no longer change.
// No count, index or sequence from the file is trusted: counts above the capacity, entries
// whose sequence is not the one their place implies, and header fields out of bounds raise
// Pimbo::CorruptionDetectedException or refuse the attach; every loop is bounded.
#pragma once

#include "Mem/Atomic.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "Ruxa/RuxaQueue.h"
#include "VeskBase/Counters.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Ruxa {

template <class Slot>
class RuxaReader : public Pimbo::Debuggable {
  public:
    enum class Next {
        entry,     // slot and sequence hold the next change
        none,      // nothing new
        overrun,   // the writer recycled entries this reader had not read: resync
        replaced,  // not attached, or the queue was replaced: attach again and resync
    };

    // One notification buffer of the mapped ring: its address and capacity in entries.
    struct RuxaNotifications {
        const char* buffer = nullptr;
        uint32_t capacity = 0;

        uint64_t firstSequence() const {
            return Mem::loadAcquire64(&QueueLayout::bufferHead(buffer)->firstSequence);
        }
        uint32_t count() const {
            return Mem::loadAcquire32(&QueueLayout::bufferHead(buffer)->count);
        }
        // The entry at `position`; throws when it lies beyond the buffer.
        const QueueEntry* entry(uint32_t position) const {
            if (position >= capacity) [[unlikely]] {
                Pimbo::throwException<Pimbo::CorruptionDetectedException>(
                    __FILE__, "RuxaReader::RuxaNotifications", __LINE__,
                    fmt::format("out-of-range index:{} max:{}", position, capacity));
            }
            return QueueLayout::entry(buffer, position);
        }
    };

    RuxaReader(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
               Vesk::Reader::Counters& counters);
    ~RuxaReader() { detach(); }
    RuxaReader(const RuxaReader&) = delete;
    RuxaReader& operator=(const RuxaReader&) = delete;

    // Why the last attach() found no usable queue: none (it attached), no file (the writer does
    // not publish), a queue its writer withdrew (generation 0: being replaced, or left so by a
    // writer that did not start again), or a file that cannot be used otherwise.
    enum class Refusal : uint8_t { none, missing, withdrawn, unusable };

    // Maps the table's queue and starts after its latest entry; the counters' last applied
    // sequence becomes that entry's. False with `why` (the file and what is wrong with it) and
    // refusal() when there is no usable queue; a damaged file never gets further than here.
    bool attach(std::string& why);
    void detach();
    bool attached() const { return attached_; }
    Refusal refusal() const { return refusal_; }

    // The next entry in sequence order. Entries the writer tombstoned are passed over.
    // Entries are copied up to kBatch at a time and vouched for by one re-read of their
    // buffer's first sequence (Q3): the buffer's head, which the writer stores at every change,
    // is read once per batch, not once per entry.
    Next next(Slot& slot, uint64_t& sequence) {
        if (!attached_ || loadGeneration() != generation_)
            return lost(Next::replaced);
        if (lost_ != Next::none)
            return lost_;
        // Bounded: a pass over a buffer, entry by entry and batch by batch, and one move on.
        for (uint64_t step = 0; step <= 2 * uint64_t(capacity_) + 2; ++step) {
            if (batchAt_ < batchSize_) {
                const auto [relative, s] = batch_[batchAt_++];
                const uint64_t expected = expectedFirst_ + nextPosition_;
                if (sequenceBase_ + relative != expected) {
                    PIMBO_THROW(Pimbo::CorruptionDetectedException,
                                "notification queue {}: entry {} of buffer {} holds sequence {} "
                                "instead of {}",
                                rootPath_, nextPosition_, readBuffer_, sequenceBase_ + relative,
                                expected);
                }
                currentBuffer_ = readBuffer_;
                currentPosition_ = nextPosition_++;
                if (s == QueueLayout::kTombstone)
                    continue;
                slot = Slot(s);
                sequence = expected;
                return Next::entry;
            }
            const RuxaNotifications& n = buffers_[readBuffer_];
            if (n.firstSequence() != expectedFirst_)
                return lost(Next::overrun);
            const uint32_t count = n.count();
            if (count > capacity_) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "notification queue {}: count {} of buffer {} above its capacity {}",
                            rootPath_, count, readBuffer_, capacity_);
            }
            if (nextPosition_ < count) {
                const uint32_t end = std::min(count, nextPosition_ + kBatch);
                for (uint32_t p = nextPosition_; p < end; ++p) {
                    const QueueEntry* e = n.entry(p);
                    batch_[p - nextPosition_] = {Mem::loadAcquire32(&e->sequence),
                                                 Mem::loadAcquire32(&e->slot)};
                }
                Mem::readFence();
                if (n.firstSequence() != expectedFirst_)
                    return lost(Next::overrun);
                batchAt_ = 0;
                batchSize_ = end - nextPosition_;
                continue;
            }
            if (nextPosition_ < capacity_)
                return Next::none;
            // This buffer is done: the next one of the ring holds the following turn, an older
            // one (nothing new yet) or a newer one (this reader was lapped).
            const uint32_t b = (readBuffer_ + 1) % uint32_t(buffers_.size());
            const uint64_t first = expectedFirst_ + capacity_;
            const uint64_t found = buffers_[b].firstSequence();
            if (found == QueueLayout::kUnused || found < first)
                return Next::none;
            if (found > first)
                return lost(Next::overrun);
            readBuffer_ = b;
            expectedFirst_ = first;
            nextPosition_ = 0;
        }
        return Next::none;
    }

    // The entry being applied may still be applied: the queue is the one attached to and the
    // writer has not tombstoned the entry. Throws when the current position lies beyond its
    // buffer.
    bool validateNotif() {
        if (!attached_ || loadGeneration() != generation_)
            return false;
        const RuxaNotifications& n = buffers_[currentBuffer_];
        return Mem::loadAcquire32(&n.entry(currentPosition_)->slot) != QueueLayout::kTombstone;
    }

    // The sequence of the writer's latest entry: the first sequence of the writer's current
    // buffer, less one, plus that buffer's count (a new queue without entries: its sequence
    // base). Empty when not attached, when the queue was replaced, or when the header holds
    // what no writer stores (a buffer index, count or first sequence out of bounds).
    std::optional<uint64_t> latestSequence() const {
        if (!attached_ || loadGeneration() != generation_)
            return std::nullopt;
        for (int attempt = 0; attempt < kLatestAttempts; ++attempt) {
            uint32_t b = 0;
            uint64_t first = 0;
            uint32_t count = 0;
            if (!readLatest(header_, b, first, count))
                continue;
            if (b >= buffers_.size() || count > capacity_ || first == QueueLayout::kUnused ||
                first <= sequenceBase_ || loadGeneration() != generation_) {
                return std::nullopt;
            }
            return first - 1 + count;
        }
        return std::nullopt;
    }

    // Everything the writer published has been applied: the writer's latest sequence equals
    // the counters' last applied sequence.
    bool quiesced() const {
        if (!attached_) {
            PIMBO_TRACE(5, "not attached");
            return false;
        }
        if (loadGeneration() != generation_) {
            PIMBO_TRACE(5, "ruxa swapped");
            return false;
        }
        const std::optional<uint64_t> writerSeq = latestSequence();
        if (!writerSeq) {
            PIMBO_TRACE(5, "latest notification out-of-range");
            return false;
        }
        const uint64_t shadowSeq = counters_.lastAppliedSequence;
        PIMBO_TRACE(5, "writerSeq:{} shadowSeq:{}", *writerSeq, shadowSeq);
        return *writerSeq == shadowSeq;
    }

    uint32_t generation() const { return generation_; }
    // The followers the writer says are connected (advisory; 0 when not attached).
    uint32_t followers() const {
        return attached_ ? Mem::loadAcquire32(&QueueLayout::header(header_)->followers) : 0;
    }
    // The connections the writer's wake-up socket refused (advisory; 0 when not attached).
    uint32_t refusedFollowers() const {
        return attached_ ? Mem::loadAcquire32(&QueueLayout::header(header_)->refused) : 0;
    }
    uint64_t sequenceBase() const { return sequenceBase_; }
    uint32_t numBuffers() const { return uint32_t(buffers_.size()); }
    uint32_t bufferEntries() const { return capacity_; }
    uint32_t currentBuffer() const { return currentBuffer_; }
    uint32_t currentPosition() const { return currentPosition_; }
    Vesk::Reader::Counters& counters() const { return counters_; }

  private:
    friend struct RuxaReaderTestAccess;

    // Makes the entry at (buffer, position) the one being applied.
    void currentIs(uint32_t buffer, uint32_t position) {
        currentBuffer_ = buffer < buffers_.size() ? buffer : 0;
        currentPosition_ = position;
    }

    static constexpr int kLatestAttempts = 8;

    uint32_t loadGeneration() const {
        return Mem::loadAcquire32(&QueueLayout::header(header_)->generation);
    }
    // One reading of the writer's latest entry from the mapped `header`: the current buffer b
    // and, when b is one of the ring's, that buffer's first sequence and count. False when the
    // buffer's turn moved during the reading (the writer recycled it): read again.
    bool readLatest(const char* header, uint32_t& b, uint64_t& first, uint32_t& count) const {
        b = Mem::loadAcquire32(&QueueLayout::header(header)->currentBuffer);
        if (b >= buffers_.size())
            return true;
        first = buffers_[b].firstSequence();
        count = buffers_[b].count();
        Mem::readFence();
        return buffers_[b].firstSequence() == first;
    }
    Next lost(Next why) {
        if (lost_ == Next::none && attached_)
            PIMBO_TRACE(1, "{}: {}; resync needed", rootPath_,
                        why == Next::overrun ? "overrun" : "queue replaced");
        lost_ = why;
        return why;
    }

    // The fields a shadow's checks read, in this order.
    uint32_t generation_ = 0;
    uint64_t sequenceBase_ = 0;
    const char* header_ = nullptr;
    uint32_t currentBuffer_ = 0;
    bool attached_ = false;
    std::vector<RuxaNotifications> buffers_;
    uint32_t currentPosition_ = 0;
    Vesk::Reader::Counters& counters_;
    // The follower's cursor: the buffer being read, the first sequence it must hold, the
    // position of the next entry, and whether the reader lost its place.
    uint32_t readBuffer_ = 0;
    uint64_t expectedFirst_ = 0;
    uint32_t nextPosition_ = 0;
    uint32_t capacity_ = 0;
    Next lost_ = Next::none;
    Refusal refusal_ = Refusal::none;
    // Entries copied from the read buffer and vouched for, from position nextPosition_ on:
    // (relative sequence, slot) pairs batch_[batchAt_, batchSize_).
    static constexpr uint32_t kBatch = 64;
    std::pair<uint32_t, uint32_t> batch_[kBatch];
    uint32_t batchAt_ = 0;
    uint32_t batchSize_ = 0;
    Vesk::RootPath rootPath_;
    Mem::PlinthWrapper region_;
};

extern template class RuxaReader<BasicSlot>;

}  // namespace Ruxa
