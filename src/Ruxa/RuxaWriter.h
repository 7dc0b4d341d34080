// RuxaWriter: the change-notification queue writer of a table that publishes its changes (the
// descriptor option `notify`). The table's writer hands it the slot index of every insert,
// overwrite, removal and record move, after the change itself is published; it appends one
// entry per change to the queue file "notifications" (Ruxa/RuxaQueue.h) and keeps the
// sequence of the last entry in the writer's counters (what the table's sequence() reports).
//
// Who calls what: the table's writer thread only. Readers in other processes follow the file
// through Ruxa::RuxaReader. The publication invariants Q1 to Q7 of doc/file-format.md hold:
//  - attach() replaces the queue (Q1, Q5): a new file of the next generation, sequence base
//    the counters' sequence, is renamed over the one in place, which gets generation 0 only
//    then. Until the new one is in place the old one stays whole for its followers; when no new
//    one can be made, it stays as it is if it was made for this generation of the table (a
//    restart that reuses the table's files changed no record), and is withdrawn otherwise;
//  - publish() stores the entry, then its count (Q2); a full buffer moves the writer to the
//    next one in the ring, recycled as Q3 says, and currentBuffer follows its first entry (Q4);
//    before the relative sequences run out it replaces the queue; when that fails (no space, the
//    directory gone) it withdraws the queue and publishes no more until the next start: its
//    followers see a replaced queue and resync, and the failure is traced and counted
//    (Writer::Counters::queueFailures), never thrown into the change that published;
//  - tombstone() withdraws an entry the ring still holds (Q6);
//  - wake() ends a batch of changes: each follower connected to the wake-up socket that asked
//    for a wake-up gets one, without blocking the writer and at a cost per change that does
//    not grow with the followers (Q7, Ruxa/RuxaWake.h).
#pragma once

#include "Mem/Atomic.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderId.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "Ruxa/RuxaQueue.h"
#include "Ruxa/RuxaWake.h"
#include "VeskBase/Counters.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace Ruxa {

class RuxaWriter : public Pimbo::Debuggable {
  public:
    using Geometry = QueueGeometry;

    RuxaWriter(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
               Vesk::Writer::Counters& counters, Geometry geometry = Geometry());
    ~RuxaWriter();
    RuxaWriter(const RuxaWriter&) = delete;
    RuxaWriter& operator=(const RuxaWriter&) = delete;

    // Replaces the table's queue by a new, empty one of the next generation for the table
    // generation `cinder`. Throws Pimbo::InvalidInitializeException naming the file when it
    // cannot (the old queue then stays unless it was made for another table generation).
    void attach(Plinth::CinderId cinder);
    // Unmaps the queue; the file stays for readers until a writer replaces or removes it.
    void detach();
    // Withdraws (generation 0) and removes the queue file; false when it stays.
    bool remove();
    // Withdraws and removes the queue file of `rootPath`, whoever made it (the cleanup of a
    // table whose writer does not publish). False when it stays.
    static bool removeQueue(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath);

    // Appends the change of `slot` as the next sequence (nothing once publishing stopped).
    void publish(BasicSlot slot) {
        const uint64_t sequence = counters_.sequence + 1;
        if (base_ == nullptr || sequence - header_.sequenceBase > kMaxRelative) [[unlikely]] {
            if (renew())
                publish(slot);
            return;
        }
        bool moved = false;
        if (count_ == header_.bufferEntries) {
            recycle((current_ + 1) % header_.numBuffers, sequence);
            moved = true;
        }
        char* buffer = bufferAt(current_);
        QueueEntry* entry = QueueLayout::entry(buffer, count_);
        Mem::storeRelease32(&entry->sequence, uint32_t(sequence - header_.sequenceBase));
        Mem::storeRelease32(&entry->slot, slot);
        Mem::storeRelease32(&QueueLayout::bufferHead(buffer)->count, ++count_);  // Q2
        if (moved)
            Mem::storeRelease32(&QueueLayout::header(base_)->currentBuffer, current_);  // Q4
        counters_.sequence = sequence;
        wake_.pending();
    }

    // The end of a batch of publish() calls: wakes the followers that asked, once, when
    // something was published since the last call, and keeps the header's follower count
    // current.
    void wake() {
        if (wake_.wake())
            storeFollowers();
    }
    size_t followers() const { return wake_.followers(); }
    uint64_t refusedFollowers() const { return wake_.refused(); }
    bool wakeListening() const { return wake_.listening(); }
    // A look at the followers is owed (Ruxa/RuxaWake.h): the event loop's timer or the next
    // change makes it.
    bool wakeOwed() const { return wake_.owed(); }
    // Publishing stopped after a failed renewal (until the next attach).
    bool stopped() const { return stopped_; }

    // Marks the entry of `sequence` as withdrawn when the ring still holds it; false otherwise.
    bool tombstone(uint64_t sequence);

    bool attached() const { return base_ != nullptr; }
    const QueueHeader& header() const { return header_; }
    uint32_t currentBuffer() const { return current_; }
    std::string path() const { return region_.getFilename(); }

  private:
    // Relative sequences are u32; a generation ends before they would wrap.
    static constexpr uint64_t kMaxRelative = 0xFFFFFFFEull;

    char* bufferAt(uint32_t b) const { return base_ + QueueLayout::kHeaderSize + b * bufferSize_; }
    // Q3: buffer b starts the turn whose first sequence is `first`.
    void recycle(uint32_t b, uint64_t first) {
        char* buffer = bufferAt(b);
        Mem::storeRelease64(&QueueLayout::bufferHead(buffer)->firstSequence, first);
        Mem::writeFence();
        Mem::storeRelease32(&QueueLayout::bufferHead(buffer)->count, 0);
        current_ = b;
        count_ = 0;
    }
    void storeFollowers() {
        if (base_ == nullptr)
            return;
        Mem::storeRelease32(&QueueLayout::header(base_)->followers, uint32_t(wake_.followers()));
        Mem::storeRelease32(&QueueLayout::header(base_)->refused,
                            uint32_t(std::min<uint64_t>(wake_.refused(), UINT32_MAX)));
    }
    // A new generation when the relative sequences are used up (or after a failed attach);
    // false, with publishing stopped, when none can be made.
    bool renew();
    // Writes the new queue of the next generation beside the old one (held mapped in region_)
    // and renames it into place, then withdraws the old one and maps the new one. False with
    // `why` when the new file cannot be made; region_ then still holds the old one, if any.
    bool replace(Plinth::CinderId cinder, std::string& why);
    // Maps the header of the queue in place into region_ unless it is mapped; the generation and
    // the table generation it holds (0 when there is no valid queue).
    void holdOld(uint32_t& generation, uint32_t& cinder);
    // Stores generation 0 into the queue held in region_, if any, and unmaps it (Q5).
    void withdrawHeld();
    // Stores generation 0 into the queue file in place (mapped or not); returns the generation
    // it held (0 when there was no valid queue).
    static uint32_t withdraw(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                             Mem::PlinthWrapper& region);

    Vesk::RootPath rootPath_;
    Vesk::Writer::Counters& counters_;
    Geometry geometry_;
    Mem::PlinthWrapper region_;
    char* base_ = nullptr;
    QueueHeader header_;
    uint64_t bufferSize_ = 0;
    uint32_t current_ = 0;
    uint32_t count_ = 0;  // entries of the current buffer
    Plinth::CinderId cinder_;
    bool stopped_ = false;
    WakeSender wake_;
};

}  // namespace Ruxa
