// SlotWriterTable: the writer's view of the slot table file. It formats or reuses the file,
// keeps the free list, hands out and takes back slots, grows and shrinks the slot array and
// copies records out for the writer's own reads.
//
// Concurrency contract: only the writer thread calls this class. Readers in other processes see
// its effects in the order of doc/file-format.md: dealloc keeps a removed slot's successor until
// OCCUPIED is clear (P4), grow() publishes numSlots after the new slots are free (P5), shrink()
// moves records under an odd version (P6), numSlots and the hints are stored as P7 says,
// resize() never shortens the file (P10), CriticalSectionAnchor keeps P11, and attach()
// reuses or re-formats the file as P12 says.
// The version anchor never points outside the live slot array: every resize re-bases it (or
// invalidates it when its slot is gone) and detach invalidates it.
// Any slot or link address held across grow() or resize() must be turned into an offset from
// the header first: the mapping may move.
#pragma once

#include "Mem/Atomic.h"
#include "Mem/Local.h"
#include "Mem/Util.h"
#include "Mem/VersionAnchor.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Util.h"
#include "VeskBase/Counters.h"
#include "VeskBase/SlotTable.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <type_traits>

namespace Vesk {

template <class Ops>
class SlotWriterTable : public SlotTable<Ops>, public Pimbo::Debuggable {
  public:
    using Base = SlotTable<Ops>;
    using Header = SlotTableHeader;
    using Value = typename Ops::Value;
    using Base::headerSize;
    using Base::slotSize;
    using Base::valueSize;

    // Bounds-checked slot array: no index is valid while numSlots is 0.
    struct Slots {
        char* base = nullptr;
        uint32_t count = 0;

        char* operator[](uint32_t i) const {
            if (i >= count) [[unlikely]]
                outOfRange(i, count);
            return base + uint64_t(i) * slotSize;
        }
        [[noreturn]] static void outOfRange(uint32_t i, uint32_t count) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "out-of-range index: {} max:{}", i,
                        int64_t(count) - 1);
        }
    };

    // The critical-section bit of one mutation (see critical()): set while it runs, cleared when
    // it returns, or at once by release() when it refuses cleanly before its first store.
    class CriticalSectionAnchor {
      public:
        // Clears the bit now, unless kept or cleared already: a mutation that stops before
        // touching shared memory calls it (the table is as it was), and critical() when the
        // mutation returns.
        void release() {
            if (armed_ && table_.header() != nullptr)
                table_.header()->criticalSectionIs(false);
            armed_ = false;
        }
        // The bit stays set beyond this mutation (a direct operation keeps it until its commit).
        void keep() { armed_ = false; }
        CriticalSectionAnchor(const CriticalSectionAnchor&) = delete;
        CriticalSectionAnchor& operator=(const CriticalSectionAnchor&) = delete;

      private:
        friend class SlotWriterTable;
        explicit CriticalSectionAnchor(SlotWriterTable& table) : table_(table) {
            table_.header()->criticalSectionIs(true);
        }
        SlotWriterTable& table_;
        bool armed_ = true;
    };

    // Runs mutation(anchor) with the critical-section bit set and clears the bit when the
    // mutation returns (unless it kept or released it); returns what the mutation returns. An
    // exception that leaves the mutation passes the clearing by, so the bit stays set and the
    // next writer finds the table suspect and re-formats it. (No destructor decides this: asking
    // whether an exception is unwinding costs more than the rest of an overwrite.)
    template <class Mutation>
    decltype(auto) critical(Mutation&& mutation) {
        CriticalSectionAnchor anchor(*this);
        if constexpr (std::is_void_v<decltype(mutation(anchor))>) {
            mutation(anchor);
            anchor.release();
        } else {
            decltype(auto) result = mutation(anchor);
            anchor.release();
            return result;
        }
    }

    // The largest power of two n such that headerSize + n x slotSize fits one page; at least 1.
    static uint32_t pageCapacity() {
        uint32_t n = 1;
        while (uint64_t(headerSize) + uint64_t(2 * n) * slotSize <= Mem::pageSize_)
            n *= 2;
        return n;
    }

    // The slot count a new or re-formatted file starts with, which is also the floor of a
    // shrink: maxSlots for a fixed-size table; otherwise the capacity hint, at least one page.
    // Throws Pimbo::InvalidInitializeException for a hint the table can never hold.
    static uint32_t initialCapacityFor(const std::string& tableName, uint32_t maxSlots,
                                       bool fixedSize, uint32_t capacityHint) {
        if (capacityHint >= kMaxSlots) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "Vesk table {}: capacity hint {} is beyond the limit of {} slots",
                        tableName, capacityHint, kMaxSlots - 1);
        }
        if (fixedSize && capacityHint > maxSlots) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "Vesk table {}: capacity hint {} is above its fixed size of {} slots",
                        tableName, capacityHint, maxSlots);
        }
        return fixedSize ? maxSlots : std::max(pageCapacity(), capacityHint);
    }

    SlotWriterTable(Pimbo::Platform::DebugHandler& handler, const std::string& tableName,
                    const Mem::RootPath& rootPath, bool local, Ops& hashOps, uint32_t maxSlots,
                    bool fixedSize, bool shrinkSlots, uint32_t capacityHint,
                    Writer::Counters& counters)
        : Base(handler, rootPath, local),
          Pimbo::Debuggable(handler, "SlotWriterTable"),
          tableName_(tableName),
          maxSlots_(maxSlots),
          hashOps_(hashOps),
          initialCapacity_(initialCapacityFor(tableName, maxSlots, fixedSize, capacityHint)),
          counters_(counters),
          fixedSize_(fixedSize),
          shrinkSlots_(shrinkSlots) {}

    ~SlotWriterTable() override { detachRegion(); }

    // Maps the file and reuses (2), formats (1) or re-formats (4) it. Defined in
    // VeskCore/SlotWriterImpl.h, compiled once per record type with the writer.
    uint32_t attach(Plinth::CinderId cinderId);

    void detach() override {
        PIMBO_TRACE(5, "detach");
        anchor_.rebase(nullptr, 0);  // nothing is mapped: a set anchor becomes invalid
        numSlots_ = 0;
        slots_ = Slots{};
        Base::detach();
    }

    uint32_t capacity() override { return numSlots_; }
    uint32_t initialCapacity() const { return initialCapacity_; }
    uint32_t maxSlots() const { return maxSlots_; }
    bool fixedSize() const { return fixedSize_; }
    const Slots& slots() const { return slots_; }
    uint32_t shrinkThresholdValue() const { return shrinkThreshold_; }
    Mem::VersionAnchor& versionAnchor() { return anchor_; }
    Writer::Counters& counters() { return counters_; }

    // Takes the head of the free list for a new record (the caller has made sure the list is
    // not empty) and counts it.
    uint32_t takeFreeSlot() {
        Header* h = this->header_;
        const uint32_t s = h->freeHead();
        char* slot = slots_[s];
        if ((loadFlags(slot) & OCCUPIED) != 0) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "free slot {} of {} is marked as occupied", s, tableName_);
        }
        h->freeHeadIs(Vesk::nextOf(slotLink(slot)));
        h->occupiedIs(h->occupied() + 1);
        ++counters_.slotAllocations;
        return s;
    }

    // Returns an unlinked slot to the free list; returns the shrink target or 0.
    uint32_t dealloc(uint32_t slotId) {
        Header* h = this->header_;
        char* slot = slots_[slotId];
        setFlags(slot, loadFlags(slot) & ~OCCUPIED);
        const uint32_t previousHead = h->freeHead();
        h->freeHeadIs(slotId);
        publishLink(slotLink(slot), previousHead);
        h->occupiedIs(h->occupied() - 1);
        ++counters_.slotFrees;
        PIMBO_TRACE(7, "freed slot {} next free {}", slotId, previousHead);
        if (shrinkThreshold_ != 0 && h->occupied() < shrinkThreshold_ / 2)
            return shrinkThreshold_;
        return 0;
    }

    // Enlarges the slot array; false for a fixed-size table.
    bool grow() {
        Header* h = this->header_;
        const auto count = h->numSlots;
        if (h->occupied() != count.value) {
            PIMBO_THROW(
                Pimbo::CorruptionDetectedException,
                "the slot table is full but numSlots: {} and occupiedSlots: {} are not equal",
                count, h->occupied());
        }
        if (fixedSize_)
            return false;
        const uint32_t old = count.value;
        uint32_t next;
        if (old < maxSlots_) {
            // Doubling in single precision, as the file's growth rule has always been computed.
            next = std::min(maxSlots_, uint32_t(2.0f * float(old)));
        } else {
            next = uint32_t(std::ceil(float(old) * 1.1f));
        }
        if (next <= old)
            next = old + 1;
        if (next >= kMaxSlots) {
            PIMBO_THROW(Pimbo::MemoryResourceException, "cannot grow {} beyond {} slots (limit {})",
                        tableName_, old, kMaxSlots);
        }
        resize(next);
        h = this->header_;
        slots_.count = next;
        for (uint32_t i = old; i < next; ++i)
            buildFreshSlot(slots_[i], slotSize);
        if (h->freeHead() != kNoSlot)
            PIMBO_FAIL("free-list is not empty");
        pushFree(old, next);
        if (h->most() < next)
            h->mostIs(next);
        Mem::VersionedRef<uint32_t>::publish(&h->numSlots, {count.version + 2, next});
        PIMBO_TRACE(2, "{} from {} slots to {}", tableName_, count, h->numSlots);
        loadCounts();
        ++counters_.slotGrows;
        return true;
    }

    // Shrinks the slot array, asked for by a remove below `target` (the shrink threshold): to
    // four times the occupied count rounded down to a power of two, at least the initial
    // capacity (one page, or the capacity hint). The free slots beyond the new end leave the free
    // list first; then every record beyond it moves to a free slot below, complete (rhash, record,
    // flags with OCCUPIED, own link) before it is linked there through linkTo(id, key) (the link
    // that leads to slot id in its chain), and its old slot loses OCCUPIED only after that;
    // moved(to, from) and then yield() run after each move. numSlots shrinks last, before the
    // file's tail is released.
    template <class LinkTo, class Moved, class Yield>
    void shrink(uint32_t target, LinkTo&& linkTo, Moved&& moved, Yield&& yield) {
        Header* h = this->header_;
        const uint32_t occupied = h->occupied();
        uint64_t n = occupied == 0 ? 0 : 4ull << (31 - __builtin_clz(occupied));
        if (n < initialCapacity_)
            n = initialCapacity_;
        PIMBO_TRACE(5, "threshold:{} shrinkThreshold:{}{}", n, target,
                    n < target ? " SUPER SHRINK!" : "");
        const uint32_t numSlots = numSlots_;
        if (!(n < numSlots))
            PIMBO_FAIL("bad threshold: {} numSlots:{}", n, numSlots);
        const uint32_t newSize = uint32_t(n);
        purgeFreeSlots(newSize);
        // An odd version tells a slot-order scan that records are moving: the fence keeps every
        // move's stores after it.
        const auto old = h->numSlots;
        Mem::VersionedRef<uint32_t>::publish(&h->numSlots, {old.version + 1, old.value});
        Mem::writeFence();
        uint64_t moves = 0;
        for (uint32_t id = newSize; id < numSlots; ++id) {
            char* from = slots_[id];
            const uint32_t fromFlags = loadFlags(from);
            if ((fromFlags & OCCUPIED) == 0) {
                PIMBO_TRACE(9, "skipping not occupied slot:{}", id);
                continue;
            }
            SlotLink* prev = linkTo(id, slotKey(from));
            const uint32_t to = h->freeHead();
            if (to == kNoSlot)
                PIMBO_FAIL("not valid toSlotId:{}", to);
            if (to >= id) {
                PIMBO_FAIL("should always move entries to lower section fromSlotId:{} toSlotId:{}",
                           id, to);
            }
            char* toSlot = slots_[to];
            setRhash(toSlot, loadRhash(from));
            h->freeHeadIs(Vesk::nextOf(slotLink(toSlot)));
            const uint32_t toFlags = loadFlags(toSlot);
            Mem::storeRelaxedCopy(slotValue(toSlot), slotValue(from), valueSize);
            setFlags(toSlot, (toFlags + 4) | OCCUPIED);
            publishLink(slotLink(toSlot), Vesk::nextOf(slotLink(from)));
            PIMBO_TRACE(7, "moving fromSlot:{} toSlot:{}", id, to);
            PIMBO_TRACE(9, "fromSlotId:{} toSlotId:{}", id, to);
            publishLink(prev, to);
            setFlags(from, fromFlags & ~OCCUPIED);
            ++moves;
            moved(to, id);
            yield();
        }
        PIMBO_TRACE(5, "newNumSlots:{}", newSize);
        Mem::VersionedRef<uint32_t>::publish(&h->numSlots, {old.version + 2, newSize});
        resize(newSize);
        loadCounts();
        ++counters_.slotShrinks;
        counters_.movedSlots += moves;
        PIMBO_TRACE(2, "{} from {} slots to {}", tableName_, old, this->header_->numSlots);
        PIMBO_TRACE(5, "at threshold:{} done", newSize);
    }

    // Unlinks every free slot at or above n from the free list, checking that the list and the
    // occupied count add up to the slot count. The walk is bounded by the slot count.
    void purgeFreeSlots(uint32_t n) {
        Header* h = this->header_;
        if (h->freeHead() == kNoSlot)
            PIMBO_FAIL("free-list is empty");
        uint32_t length = 0;
        SlotLink* prevLink = nullptr;  // null: the head (freeSlots)
        for (uint32_t id = h->freeHead(); id != kNoSlot;) {
            if (++length > numSlots_) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "free-list of {} longer than numSlots: {}", tableName_, numSlots_);
            }
            char* slot = slots_[id];
            const uint32_t next = Vesk::nextOf(slotLink(slot));
            if (id >= n) {
                PIMBO_TRACE(7, "removing slot id {} from free-list", id);
                if (prevLink == nullptr) {
                    h->freeHeadIs(next);
                } else {
                    publishLink(prevLink, next);
                }
            } else {
                prevLink = slotLink(slot);
            }
            id = next;
        }
        if (uint64_t(length) + h->occupied() != numSlots_) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add "
                        "up to numSlots: {}",
                        length, h->occupied(), numSlots_);
        }
    }

    // Re-maps the file for newNumSlots slots. Never shortens the file: the tail beyond a smaller
    // size is released instead, so readers still mapping it never fault.
    void resize(uint32_t newNumSlots) {
        PIMBO_TRACE(5, "{} from {} to {} slots", tableName_, numSlots_, newNumSlots);
        const uint64_t size = Pimbo::Util::fileSizeHelper(newNumSlots, slotSize, headerSize);
        if (newNumSlots > maxSlots_)
            PIMBO_TRACE(5, "overflowing by {} slots", newNumSlots - maxSlots_);
        void* oldBase = this->header_;
        void* base = this->region_.resize(size);
        if (base == nullptr) {
            PIMBO_THROW(Pimbo::MemoryResourceException,
                        "failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
                        this->fileName(), numSlots_, newNumSlots, size, this->region_.errorText());
        }
        if (base != oldBase) {
            PIMBO_TRACE(5, "remap base address changed from {} to {}", oldBase, base);
            ++counters_.slotFileRemaps;
        }
        // Moved or cut in place: an anchor whose slot lies beyond the new array is invalid.
        anchor_.rebase(base, size);
        this->header_ = static_cast<Header*>(base);
        slots_.base = static_cast<char*>(base) + headerSize;
        if (newNumSlots < numSlots_)
            this->region_.punchHole(size);
        PIMBO_TRACE(5, "to {} successfully", newNumSlots);
    }

    // Recomputes the slot count below which a remove asks for a shrink (0: never).
    void shrinkThreshold() {
        if (shrinkSlots_ && !fixedSize_ && numSlots_ > initialCapacity_) {
            shrinkThreshold_ = 1u << (31 - __builtin_clz(numSlots_ - 1));
        } else {
            shrinkThreshold_ = 0;
        }
        PIMBO_TRACE(5, "shrinkThreshold_:{}", shrinkThreshold_);
    }

    // Copies a slot's record for the writer's own reads and remembers its version anchor.
    void copySlotValue(uint32_t slotId, Value& value) {
        const char* slot = slots_[slotId];
        anchor_.set(loadFlags(slot), slotFlagsWord(slot), this->header_);
        Mem::copyRelaxed(&value, slotValue(slot), valueSize);
    }

    // Reloads numSlots and the slot array from the header.
    void loadCounts() {
        numSlots_ = this->header_->numSlots.value;
        slots_.base = reinterpret_cast<char*>(this->header_) + headerSize;
        slots_.count = numSlots_;
        shrinkThreshold();
    }

    // Pushes slots [start, end) on the (empty) free list so that it reads start, start + 1, ...
    void pushFree(uint32_t start, uint32_t end) {
        if (!(end > start))
            PIMBO_FAIL("bad index range, start: {} end: {}", start, end);
        if (this->header_->freeHead() != kNoSlot)
            PIMBO_FAIL("free-list is not empty");
        uint32_t head = kNoSlot;
        for (uint32_t i = end; i-- > start;) {
            publishLink(slotLink(slots_[i]), head);
            head = i;
        }
        this->header_->freeHeadIs(start);
    }

    const std::string& tableName() const { return tableName_; }

  private:
    void format(Plinth::CinderId cinderId, uint32_t numSlotsVersion, bool existed) {
        const uint32_t seed = std::random_device{}();
        const uint64_t size = Pimbo::Util::fileSizeHelper(initialCapacity_, slotSize, headerSize);
        Header::format(this->header_, debugHandler(), initialCapacity_, maxSlots_, 0, cinderId,
                       Ops::typeName(), valueSize, seed, numSlotsVersion);
        hashOps_.hashSeedIs(seed);
        // A re-format keeps the file length; the old tail is released once the new generation
        // is in the header, so a mapped reader meets zeroed slots only under the new cinder id.
        if (existed)
            this->region_.punchHole(size);
        loadCounts();
        if (initialCapacity_ > 0)
            pushFree(0, initialCapacity_);
    }

    void traceHeader() {
        if (debugHandler().enabled(3))
            PIMBO_TRACE(3, "{}", this->header_->toString());
    }

    void detachRegion() {
        if (this->header_ != nullptr)
            detach();
    }

    const std::string& tableName_;
    Mem::VersionAnchor anchor_;
    uint32_t numSlots_ = 0;
    uint32_t maxSlots_;
    Ops& hashOps_;
    uint32_t initialCapacity_;
    Slots slots_;
    Writer::Counters& counters_;
    bool fixedSize_;
    bool shrinkSlots_;
    uint32_t shrinkThreshold_ = 0;
};

}  // namespace Vesk
