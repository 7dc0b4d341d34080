// SlotReaderTable: a reader process's view of a table's slot file ("slots").
//
// Who may call what: the one thread of a reader process that owns the VeskReader. The file
// belongs to the table's single writer (SlotWriterTable); this class maps it read-only
// (Mem::PlinthWrapper mode 1: PROT_READ, with a PROT_NONE guard page right after the mapping)
// and never stores into it. Any store through the mapping faults.
//
// What the reader relies on (doc/file-format.md): an in-place copy goes through the lookaside
// slot (P3); numSlots is one word whose version moves on every change of the count (a grow adds
// 2, a shrink 1 before its moves and 1 after them, a re-format takes the next even version) and
// is published after the slots it announces (P5 to P7); the file is never shortened (P10); a
// re-format publishes a new cinder id and hash seed (P12).
//
// What this class guarantees:
//  1. getValue returns a record and rhash that the slot held at one moment: a seqlock read that
//     copies between two acquire loads of flags and repeats until they agree.
//  2. No slot index is turned into an address unless it is below the mapped slot count, so no
//     read leaves the mapping; the mapping is re-sized only between reads (doResize).
//  3. The cache anchor never points outside the current mapping: a re-size re-bases it or
//     invalidates it, a detach invalidates it.
#pragma once

#include "Mem/Atomic.h"
#include "Mem/VersionAnchor.h"
#include "Mem/VersionedRef.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderId.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "Plinth/SafeHeaderCopy.h"
#include "VeskBase/Counters.h"
#include "VeskBase/SlotTable.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace Vesk {

template <class Ops>
class SlotReaderTable : public SlotTable<Ops>, public Pimbo::Debuggable {
  public:
    using Base = SlotTable<Ops>;
    using Header = SlotTableHeader;
    using Value = typename Ops::Value;
    using Count = Mem::VersionedRef<uint32_t>;
    using Base::headerSize;
    using Base::slotSize;
    using Base::valueSize;

    static_assert(valueSize % 8 == 0 && headerSize % 8 == 0 && slotSize % 8 == 0,
                  "records and slots are copied as whole 8-byte words");

    // The slot array as mapped: every index is checked against count before use.
    struct Slots {
        const char* base = nullptr;
        uint32_t count = 0;

        const char* operator[](uint32_t i) const {
            if (i >= count) [[unlikely]]
                outOfRange(i, count);
            return base + uint64_t(i) * slotSize;
        }
        [[noreturn]] static void outOfRange(uint32_t i, uint32_t count) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "out-of-range index:{} numSlots:{}", i,
                        count);
        }
    };

    // What getValue saw: the slot's stable flags and the rhash copied with the record.
    struct Copied {
        uint32_t flags;
        uint32_t rhash;
    };

    // A private copy of the header and the lookaside slot (headerSize bytes).
    struct HeaderCopy {
        alignas(8) unsigned char bytes[headerSize];
        // The header is trivially copyable: the bytes copied in hold one.
        const Header& header() const {
            return *std::launder(reinterpret_cast<const Header*>(bytes));
        }
    };

    // hashOps receives the header's hash seed at attach; counters may not be null.
    SlotReaderTable(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                    Ops* hashOps, Reader::Counters* counters)
        : Base(handler, rootPath, false),
          Pimbo::Debuggable(handler, "SlotReaderTable"),
          rootPath_(rootPath),
          hashOps_(hashOps),
          counters_(counters) {}

    // Maps the header read-only, copies it consistently and takes its hash seed. The slot array
    // is mapped by the first doResize. False, after a level-0 trace, when the file is missing or
    // cannot be mapped.
    bool attach() {
        if (this->region_.memSize() == 0) {
            PIMBO_TRACE(0, "no shared memory region");
            return false;
        }
        void* base = this->region_.attach(headerSize, Mem::PlinthWrapper::kReader);
        if (base == nullptr) {
            PIMBO_TRACE(0, "cannot attach to shmem size:{}", headerSize);
            PIMBO_TRACE(0, "{}", this->region_.errorText());
            return false;
        }
        this->header_ = static_cast<Header*>(base);
        // A new mapping: nothing read before is vouched for any more.
        if (anchor_.isSet())
            anchor_.invalidate();
        HeaderCopy copy;
        headerCopy(copy);
        if (debugHandler().enabled(3))
            PIMBO_TRACE(3, "{}", copy.header().toString());
        // Stale until the first doResize maps the slots.
        numSlots_ = Count{0xFFFFFFFF, 0};
        mapped_ = false;
        slots_ = Slots{};
        generationIs(copy.header());
        return true;
    }

    // Re-maps the file when the writer's slot count changed since the mapping was made. True
    // when it re-mapped. Throws Pimbo::CorruptionDetectedException when the announced count
    // does not fit the file, Pimbo::MemoryResourceException when the mapping cannot be resized
    // (the old mapping then stays valid).
    bool doResize() {
        if (this->header_ == nullptr || !countMoved())
            return false;
        return remap();
    }

    // Whether the writer's slot count moved since the mapping was made (or nothing is mapped
    // yet). Only the version is compared: it moves on every change of the count.
    bool countMoved() const {
        return !mapped_ || Count::load(&this->header_->numSlots).version != numSlots_.version;
    }

  private:
    // The seqlock read of getValue's comment, from the slot at s whose flags read seq: copies the
    // record (and its rhash) into out until the flags read the same before and after.
    //
    // A copy from the lookaside slot is checked against the slot's own key and rhash, read
    // inside the same window: an in-place copy never changes either (the writer copies the
    // slot's rhash into the lookaside slot and refuses a direct commit that would change the
    // key), so a lookaside slot that holds another record under stable flags means a LOOKASIDE
    // bit left set (a writer killed inside a copy and a later one, or damage). That is reported,
    // never taken for the slot's record: the slot's own record would be lost and another's
    // visited twice.
    [[gnu::always_inline]] Copied copyStable(const char* s, uint32_t seq, Value& out) {
        for (;;) {
            if ((seq & LOOKASIDE) != 0) [[unlikely]]
                return copyAside(s, seq, out);
            const uint32_t rhash = loadRhash(s);
            Mem::copyRelaxed(&out, slotValue(s), valueSize);
            Mem::readFence();
            const uint32_t now = loadFlags(s);
            if (now == seq)
                return Copied{seq, rhash};
            seq = now;
            Mem::spinPause();
        }
    }

    // copyStable while the slot's flags have LOOKASIDE set, out of the common path's way.
    [[gnu::noinline]] Copied copyAside(const char* s, uint32_t seq, Value& out) {
        for (;;) {
            const bool aside = (seq & LOOKASIDE) != 0;
            const char* from = aside ? static_cast<const char*>(this->header_->lookaside()) : s;
            counters_->lookasideReads += aside;
            const uint64_t own = slotKey(s);
            const uint32_t ownRhash = loadRhash(s);
            const uint32_t rhash = loadRhash(from);
            Mem::copyRelaxed(&out, slotValue(from), valueSize);
            Mem::readFence();
            const uint32_t now = loadFlags(s);
            if (now == seq) {
                if (aside && (own != Ops::key(out).value() || ownRhash != rhash))
                    stuckLookaside(s, seq, own, out);
                return Copied{seq, rhash};
            }
            seq = now;
            Mem::spinPause();
        }
    }

    [[gnu::cold, gnu::noinline]] void stuckLookaside(const char* s, uint32_t flags, uint64_t own,
                                                     const Value& copied) const {
        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                    "slot:{} has LOOKASIDE set (flags {:#x}) but the lookaside slot holds key:{}, "
                    "not its record (key:{})",
                    uint64_t(s - slots_.base) / slotSize, flags, Ops::key(copied).value(), own);
    }

    // doResize's re-map, out of the lookups' way.
    [[gnu::noinline]] bool remap() {
        HeaderCopy copy;
        const uint64_t realSize = headerCopy(copy);
        const Count wanted = copy.header().numSlots;
        const uint32_t newNumSlots = wanted.value;
        uint64_t needed = 0;
        try {
            needed = Pimbo::Util::fileSizeHelper(newNumSlots, slotSize, headerSize);
        } catch (const Pimbo::RuntimeException& e) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "bad newNumSlots:{} message:{}",
                        newNumSlots, e.msg());
        }
        if (realSize < needed) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "requesting to map {} {} slots. Requested file resize to {} but real file "
                        "size is {}",
                        this->fileName(), newNumSlots, needed, realSize);
        }
        PIMBO_TRACE(2, "{} from {} slots to {}", rootPath_, numSlots_, newNumSlots);
        const void* oldBase = this->header_;
        void* base = this->region_.resize(needed);
        if (base == nullptr) {
            PIMBO_THROW(Pimbo::MemoryResourceException,
                        "failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                        this->fileName(), numSlots_, newNumSlots, needed,
                        this->region_.errorText());
        }
        if (base != oldBase) {
            PIMBO_TRACE(5, "changed base address mapping from {} to {}", oldBase, base);
            ++counters_->baseChanges;
        }
        // The anchor keeps its offset only while the word lies inside the new mapping.
        anchor_.rebase(base, this->region_.mappedSize());
        ++counters_->resizes;
        onResize(copy);
        this->header_ = static_cast<Header*>(base);
        slots_ = Slots{static_cast<const char*>(base) + headerSize, newNumSlots};
        numSlots_ = wanted;
        mapped_ = true;
        PIMBO_TRACE(5, "successful");
        return true;
    }

  public:
    void detach() override {
        PIMBO_TRACE(5, "delegating to SlotTable::detach()");
        // Never validate an anchor against a word that is no longer mapped.
        if (anchor_.isSet())
            anchor_.invalidate();
        Base::detach();
        numSlots_ = Count{0, 0};
        mapped_ = false;
        slots_ = Slots{};
    }

    uint32_t capacity() override { return slots_.count; }

    // Copies slot's record into out; the seqlock read of a record. The last argument is unused.
    //
    // What the loop can see, and why each is handled:
    //  - flags equal before and after the copy, LOOKASIDE clear: the slot's own bytes were not
    //    being rewritten; the copy is whole.
    //  - flags equal, LOOKASIDE set: the writer is inside an in-place copy; the lookaside slot
    //    holds this slot's complete new record (filled before flags moved), so it is copied
    //    from there. The lookaside slot is only rewritten for another copy, which starts after
    //    this slot's flags moved on, so the re-load catches it.
    //  - flags changed: a copy started or ended in between; the copy may be torn. Repeat.
    //  - a slot being punched by a shrink reads as zero; its flags change to 0 and the copy is
    //    repeated once; the caller sees OCCUPIED clear and re-checks the link it came through.
    // The loop has no limit: each further pass is caused by one step of the writer.
    Copied getValue(uint32_t slot, Value& out, void* = nullptr) {
        const char* s = slots_[slot];
        const Copied got = copyStable(s, loadFlags(s), out);
        anchor_.set(got.flags, slotFlagsWord(s), this->header_);
        return got;
    }

    // One pass of the seqlock read of the slot at s (an address taken from slots()), for the
    // quick walks: flags, rhash and record between two loads of the flags, the flags and rhash
    // into got. True when the copy is a whole record: the flags did not move, OCCUPIED is set
    // and LOOKASIDE clear. Anything else is for the full walks, with copyStable's repeats.
    [[gnu::always_inline]] static bool copyOnce(const char* s, Value& out, Copied& got) {
        got.flags = loadFlags(s);
        got.rhash = loadRhash(s);
        Mem::copyRelaxed(&out, slotValue(s), valueSize);
        Mem::readFence();
        return loadFlags(s) == got.flags && (got.flags & (OCCUPIED | LOOKASIDE)) == OCCUPIED;
    }

    // getValue of a slot whose address the caller took from slots() (so checked), without
    // touching the anchor: a walk copies every slot it passes, and only the one it answers with
    // is anchored (anchorAt).
    Copied copySlot(const char* s, Value& out) { return copyStable(s, loadFlags(s), out); }
    void anchorAt(const char* s, uint32_t flags) {
        anchor_.set(flags, slotFlagsWord(s), this->header_);
    }

    // Copies the records of the occupied slots in [from, to) into out, in slot order, each with
    // getValue's seqlock read; returns how many. The range is checked against the mapping once.
    // The cache anchor is left alone: a scan vouches for no single record.
    uint32_t copyOccupied(uint32_t from, uint32_t to, Value* out) {
        if (to > slots_.count || from > to) [[unlikely]]
            Slots::outOfRange(to, slots_.count);
        const char* s = slots_.base + uint64_t(from) * slotSize;
        uint32_t n = 0;
        for (uint32_t i = from; i < to; ++i, s += slotSize) {
            const uint32_t seq = loadFlags(s);
            // Into the next free place: it counts only once the copy held a record (a slot
            // emptied while it was copied holds nothing to report).
            if ((seq & OCCUPIED) != 0)
                n += (copyStable(s, seq, out[n]).flags & OCCUPIED) != 0;
        }
        return n;
    }

    // The writer's numSlots word now (version and count); zero when the header is not mapped.
    Count liveCount() const {
        return this->header_ ? Count::load(&this->header_->numSlots) : Count{};
    }

    // True when the slot still has exactly `flags` and holds the record of `key`: a seqlock read
    // of the key alone, for a caller that wants to continue from a slot it returned earlier.
    // rhash, when given, receives the slot's rhash read in the same window.
    bool holds(uint32_t slot, uint32_t flags, uint64_t key, uint32_t* rhash = nullptr) const {
        const char* s = slots_[slot];
        if (loadFlags(s) != flags)
            return false;
        // The key bytes never change while a slot holds a record, but a torn read during a
        // recycle must still be caught: bracket it with the flags.
        const char* from =
            (flags & LOOKASIDE) != 0 ? static_cast<const char*>(this->header_->lookaside()) : s;
        const uint64_t k = slotKey(from);
        if (rhash != nullptr)
            *rhash = loadRhash(from);
        Mem::readFence();
        return loadFlags(s) == flags && k == key;
    }

    // A consistent copy of the live header; returns the file size read inside the same window.
    uint64_t headerCopy(HeaderCopy& copy) const {
        return Mem::safeHeaderCopy(this->header_, copy.bytes, headerSize, &this->header_->numSlots,
                                   this->region_);
    }

    // Takes the generation (cinder id and hash seed) of a validated header copy; the hash seed
    // goes to the key hash so that bucket placement matches the writer's.
    void generationIs(const Header& h) {
        cinder_ = Plinth::CinderId(h.cinder);
        hashSeed_ = h.hashSeed;
        hashOps_->hashSeedIs(h.hashSeed);
    }

    // The live header now names another generation than the one attached: the writer
    // re-formatted the file in place.
    bool generationChanged() const {
        if (this->header_ == nullptr)
            return false;
        return Mem::loadAcquire32(&this->header_->cinder) != cinder_.value ||
               Mem::loadAcquire32(&this->header_->hashSeed) != hashSeed_;
    }
    // generationChanged() and countMoved() as one number, zero when neither moved, for a caller
    // that read a slot through the mapping (so the header and the slots are mapped).
    uint64_t movedSinceMapped() const {
        const Header* h = this->header_;
        const uint32_t cinder = cinder_.value, seed = hashSeed_, version = numSlots_.version;
        return (Mem::loadAcquire32(&h->cinder) ^ cinder) |
               (Mem::loadAcquire32(&h->hashSeed) ^ seed) |
               (Count::load(&h->numSlots).version ^ version);
    }
    Plinth::CinderId liveCinder() const {
        return this->header_ ? Plinth::CinderId(Mem::loadAcquire32(&this->header_->cinder))
                             : Plinth::CinderId();
    }
    uint32_t liveHashSeed() const {
        return this->header_ ? Mem::loadAcquire32(&this->header_->hashSeed) : 0;
    }
    Plinth::CinderId attachedCinder() const { return cinder_; }
    uint32_t attachedHashSeed() const { return hashSeed_; }

    // Live counters of the header (hints, for members() and maxSize()).
    uint32_t liveOccupiedSlots() const {
        return this->header_ ? Mem::loadAcquire32(&this->header_->occupiedSlots) : 0;
    }
    // The writer's slot count now (0 when the header is not mapped).
    uint32_t liveNumSlots() const {
        return this->header_ ? Count::load(&this->header_->numSlots).value : 0;
    }
    // Moves an anchor taken on an earlier mapping of this file onto the current one (it is
    // invalidated when its word lies beyond it).
    void rebaseAnchor(Mem::VersionAnchor& anchor) const {
        if (this->header_ == nullptr)
            anchor.invalidate();
        else if (anchor.isSet())
            anchor.rebase(this->header_, this->region_.mappedSize());
    }
    uint32_t liveMaxSlots() const {
        return this->header_ ? Mem::loadRelaxed32(&this->header_->maxSlots) : 0;
    }

    // "slots detached" or the text of a consistent copy of the header.
    std::string headerText() const {
        if (this->header_ == nullptr)
            return "slots detached";
        HeaderCopy copy;
        headerCopy(copy);
        return copy.header().toString();
    }

    const Slots& slots() const { return slots_; }
    Count mappedNumSlots() const { return numSlots_; }
    Mem::VersionAnchor& cacheAnchor() { return anchor_; }
    // After an answer without a record: the anchor vouches for nothing, so validating it throws
    // Mem::VersionMismatchException (a never-set anchor would stop the process instead).
    void forgetRecord() {
        anchor_.reset();
        anchor_.invalidate();
    }
    const Mem::VersionAnchor& cacheAnchor() const { return anchor_; }

  private:
    void onResize(const HeaderCopy& copy) {
        if (debugHandler().enabled(3))
            PIMBO_TRACE(3, "{}", copy.header().toString());
    }

    const Vesk::RootPath& rootPath_;
    Mem::VersionAnchor anchor_;
    Ops* hashOps_;
    Reader::Counters* counters_;
    Count numSlots_{0, 0};
    bool mapped_ = false;
    Slots slots_;
    Plinth::CinderId cinder_;
    uint32_t hashSeed_ = 0;
};

}  // namespace Vesk
