// RuxaWriter: the change-notification queue writer of a table that publishes its changes (the
// descriptor option `notify`). The table's writer hands it the slot index of every insert,
// overwrite, removal and record move, after the change itself is published; it appends one
// entry per change to the queue file "notifications" (Ruxa/RuxaQueue.h) and keeps the
// sequence of the last entry in the writer's counters (what the table's sequence() reports).
//
// Who calls what: the table's writer thread only. Readers in other processes follow the file
// through Ruxa::RuxaReader. The publication invariants Q1 to Q7 of Ruxa/RuxaQueue.h hold:
//  - attach() replaces the queue (Q1, Q5): the file in place, if any, gets generation 0, and a
//    new file of the next generation, sequence base the counters' sequence, is renamed over it;
//  - publish() stores the entry, then its count (Q2); a full buffer moves the writer to the
//    next one in the ring, recycled as Q3 says, and currentBuffer follows its first entry (Q4);
//  - tombstone() withdraws an entry the ring still holds (Q6);
//  - wake() ends a batch of changes: each follower connected to the wake-up socket that asked
//    for a wake-up gets one, without blocking the writer; one that did not costs it a load of
//    its wake word after one full fence (Q7, Ruxa/RuxaWake.h).
#pragma once

#include "Mem/Atomic.h"
#include "Mem/PlinthWrapper.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderId.h"
#include "Ruxa/RuxaQueue.h"
#include "Ruxa/RuxaWake.h"
#include "Vesk/Counters.h"
#include "Vesk/RootPath.h"

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
    // cannot.
    void attach(Plinth::CinderId cinder);
    // Unmaps the queue; the file stays for readers until a writer replaces or removes it.
    void detach();
    // Withdraws (generation 0) and removes the queue file; false when it stays.
    bool remove();
    // Withdraws and removes the queue file of `rootPath`, whoever made it (the cleanup of a
    // table whose writer does not publish). False when it stays.
    static bool removeQueue(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath);

    // Appends the change of `slot` as the next sequence.
    void publish(BasicSlot slot) {
        const uint64_t sequence = counters_.sequence + 1;
        if (base_ == nullptr || sequence - header_.sequenceBase > kMaxRelative) [[unlikely]] {
            renew();
            return publish(slot);
        }
        bool moved = false;
        if (count_ == header_.bufferEntries) {
            recycle((current_ + 1) % header_.numBuffers, sequence);
            moved = true;
        }
        char* buffer = bufferAt(current_);
        char* entry = buffer + QueueLayout::kOffEntries + QueueLayout::kEntrySize * count_;
        Mem::storeRelease32(entry + QueueLayout::kOffEntrySequence,
                            uint32_t(sequence - header_.sequenceBase));
        Mem::storeRelease32(entry + QueueLayout::kOffEntrySlot, slot);
        Mem::storeRelease32(buffer + QueueLayout::kOffCount, ++count_);  // Q2
        if (moved)
            Mem::storeRelease32(base_ + QueueLayout::kOffCurrentBuffer, current_);  // Q4
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
    bool wakeListening() const { return wake_.listening(); }

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
        Mem::storeRelease64(buffer + QueueLayout::kOffFirstSequence, first);
        Mem::writeFence();
        Mem::storeRelease32(buffer + QueueLayout::kOffCount, 0);
        current_ = b;
        count_ = 0;
    }
    void storeFollowers() {
        if (base_ != nullptr)
            Mem::storeRelease32(base_ + QueueLayout::kOffFollowers, uint32_t(wake_.followers()));
    }
    // A new generation when the relative sequences are used up (or after a failed attach).
    void renew();
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
    WakeSender wake_;
};

}  // namespace Ruxa
