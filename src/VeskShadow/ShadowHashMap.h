// ShadowHashMap: the private key index of a shadow, over its local slot array.
//
// A shadow keeps its own array of local slots that mirrors the writer's slot table position by
// position: local slot i holds what shared slot i held when its last change was applied. This
// map threads those slots into hash chains, so that a key is found, iterated and removed
// without touching shared memory. It never allocates an entry: the links are fields of the
// slots, and the only memory it owns is its bucket array.
//
//  - A chain is sorted by (rhash, key): rhash is the key's hash reversed bit for bit, keys are
//    compared as unsigned 64-bit numbers. A slot lives in bucket rhash >> (32 - bucketFactor),
//    so the buckets in order, each chain in order, are the whole map in (rhash, key) order: the
//    bucket array doubles by splitting chains and halves by joining them, in place, and the
//    iteration order never changes with the size.
//  - `next` is the slot's first field, so a slot's address is also the address of its next
//    link; `prev` holds the address of the link that points at the slot (a bucket cell or the
//    previous slot's next). A slot outside the index has both links null.
//  - When the writer moves a key to another slot, write() puts the new slot in the old one's
//    place in the chain and clears the old slot: a key is never indexed twice.
//  - When the store moves its slot array, patch() shifts every link by the distance moved.
//
// Single-threaded: the shadow's processing thread alone uses it (no locks, no atomics). The
// store removes a slot from the index before it writes another key into it.
#pragma once

#include "Mem/Local.h"
#include "Mem/Util.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "VeskBase/Counters.h"
#include "VeskBase/SlotCounters.h"
#include "VeskBase/SplitOrder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Vesk {

// A local slot of a key-only shadow: the key alone.
template <class Ops>
struct KeyShadowSlot {
    using Key = typename Ops::Key;
    KeyShadowSlot* next = nullptr;
    KeyShadowSlot** prev = nullptr;
    uint32_t rhash = 0;
    Key key{};

    const Key& slotKey() const { return key; }
    void clearPayload(const Ops&) { key = Key(); }
    // A moved key is always news to a key-only shadow's client.
    static bool movedChanged(const KeyShadowSlot&, const KeyShadowSlot&) { return true; }
};

// A local slot of a value shadow: the whole record as the writer stored it (key first).
template <class Ops>
struct ValueShadowSlot {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    ValueShadowSlot* next = nullptr;
    ValueShadowSlot** prev = nullptr;
    uint32_t rhash = 0;
    Value value{};

    const Key& slotKey() const { return Ops::key(value); }
    void clearPayload(const Ops& ops) { Ops::copyValue(value, ops.defaultValue); }
    // A moved record is news only when a word of it changed.
    static bool movedChanged(const ValueShadowSlot& from, const ValueShadowSlot& to) {
        return std::memcmp(&from.value, &to.value, sizeof(Value)) != 0;
    }
};

// The store's local slot array, which the map indexes (slot i is base[i]).
template <class Slot>
struct ShadowSlots {
    Slot* base = nullptr;
    uint32_t count = 0;
};

template <class Ops, class Slot>
class ShadowHashMap : public Pimbo::Debuggable {
    static_assert(offsetof(Slot, next) == 0, "a slot's address is the address of its next link");

  public:
    using Key = typename Ops::Key;

    ShadowHashMap(Pimbo::Platform::DebugHandler& handler, Reader::Counters& counters,
                  SlotCounters& occupancy, const Ops& ops, ShadowSlots<Slot>& slots)
        : Pimbo::Debuggable(handler, "ShadowHashMap"),
          counters_(counters),
          occupancy_(occupancy),
          ops_(ops),
          slots_(slots) {}
    ShadowHashMap(const ShadowHashMap&) = delete;
    ShadowHashMap& operator=(const ShadowHashMap&) = delete;

    // Obtains the two first buckets and empties the map and the store's slot array. False when
    // no memory could be had. A second call does nothing.
    bool initialize();
    bool initialized() const { return initialized_; }
    // Forgets every slot and releases the buckets (the store drops its slot array with it);
    // initialize() starts over.
    void disable();

    // Indexes `slot` (local slot `index`) under its key. True when the client must hear of the
    // key: a new member, or a key the writer moved here from another slot (a key-only shadow:
    // always; a value shadow: when the record differs); a slot already indexed under its key
    // answers `changed`. May grow the buckets (which throws Pimbo::MemoryResourceException when
    // no memory can be had; the map stays as it was).
    bool write(uint32_t index, Slot& slot, bool changed);
    // Takes `slot` out of the index; false when it was not in it. Halves the buckets when at
    // most a quarter of them would be used.
    bool remove(uint32_t index, Slot& slot);
    // Doubles the buckets.
    void grow();
    // The slot array moved by `offset` bytes (new address minus old): shifts every link.
    void patch(std::ptrdiff_t offset);

    // The slot that holds `key`, or null. A map without buckets (before initialize, after
    // disable) holds nothing: find, first and next answer null.
    Slot* find(const Key& key) const;
    // The first slot in iteration order, or null.
    Slot* first() const { return initialized_ ? headFrom(0) : nullptr; }
    // The slot after `key` in iteration order (whether `key` is indexed or not), or null.
    // `hint`, when it holds `key`, saves the hashing.
    Slot* next(const Key& key, const Slot* hint) const;

    uint32_t numBuckets() const { return numBuckets_; }
    uint32_t bucketFactor() const { return bucketFactor_; }
    uint64_t members() const { return counters_.shadow.members; }
    Slot* bucket(uint32_t b) const { return buckets()[b]; }
    uint32_t rhashOf(const Key& key) const { return VeskCore::orderKey(ops_.hashKey(key)); }
    uint32_t bucketOf(uint32_t rhash) const {
        return VeskCore::orderedBucketOf(rhash, bucketFactor_);
    }

  private:
    Slot** buckets() const { return static_cast<Slot**>(bucketsMem_.base()); }
    uint32_t indexOf(const Slot* slot) const { return uint32_t(slot - slots_.base); }
    // For traces: the slot whose next link `link` is, or -1 for a bucket cell.
    int64_t linkOwner(Slot** link) const {
        const bool cell = link >= buckets() && link < buckets() + numBuckets_;
        return cell ? -1 : int64_t(indexOf(reinterpret_cast<Slot*>(link)));
    }
    // (rhash, key) of `s` is below (rhash, key).
    static bool before(const Slot& s, uint32_t rhash, const Key& key) {
        return VeskCore::sortsBefore(s.rhash, s.slotKey().value(), rhash, key.value());
    }
    static bool holds(const Slot* s, uint32_t rhash, const Key& key) {
        return s != nullptr && s->rhash == rhash && s->slotKey().value() == key.value();
    }
    // From `link` on along its chain: the link to the first slot not before (rhash, key).
    static Slot** lowerBound(Slot** link, uint32_t rhash, const Key& key) {
        while (*link != nullptr && before(**link, rhash, key))
            link = &(*link)->next;
        return link;
    }
    // The head of the first non-empty bucket from b on, or null.
    Slot* headFrom(uint64_t b) const {
        for (; b < numBuckets_; ++b) {
            if (buckets()[b] != nullptr)
                return buckets()[b];
        }
        return nullptr;
    }
    // A new member in slot `index`.
    bool added(uint32_t index);
    // The cells [n, 2n) are empty: each chain of the n first cells is split into its two halves
    // for bucketFactor_ + 1, from the top down so that no cell is overwritten before it is read.
    void split(uint32_t n);
    // Throws the failure to re-size the buckets to `cells`.
    [[noreturn]] void resizeFailed(uint64_t cells) const {
        PIMBO_THROW(Pimbo::MemoryResourceException,
                    "failed to resize {} from {} to {} buckets : {}", bucketsMem_.kind(),
                    numBuckets_, cells, bucketsMem_.errorText());
    }
    // Shifts a pointer by `offset` bytes.
    template <class P>
    static P* shifted(P* p, std::ptrdiff_t offset) {
        return reinterpret_cast<P*>(reinterpret_cast<uintptr_t>(p) + uintptr_t(offset));
    }

    Reader::Counters& counters_;
    SlotCounters& occupancy_;
    const Ops& ops_;
    ShadowSlots<Slot>& slots_;
    uint32_t loadShift_ = 0;  // log2 of the average chain length allowed before growing
    uint32_t bucketFactor_ = 1;
    uint32_t numBuckets_ = 2;
    Mem::Local bucketsMem_;
    bool initialized_ = false;
};

template <class Ops, class Slot>
bool ShadowHashMap<Ops, Slot>::initialize() {
    if (initialized_)
        return true;
    numBuckets_ = 2;
    bucketFactor_ = 1;
    if (bucketsMem_.attach(Mem::multiplyOverflowCheck(numBuckets_, sizeof(Slot*))) == nullptr) {
        PIMBO_TRACE(0, "bucketsMem_.attachAs() failed");
        return false;
    }
    std::memset(bucketsMem_.base(), 0, numBuckets_ * sizeof(Slot*));
    counters_.shadow.members = 0;
    occupancy_.clear();
    slots_ = ShadowSlots<Slot>();
    initialized_ = true;
    return true;
}

template <class Ops, class Slot>
void ShadowHashMap<Ops, Slot>::disable() {
    bucketsMem_.detach();
    numBuckets_ = 2;
    bucketFactor_ = 1;
    counters_.shadow.members = 0;
    occupancy_.clear();
    initialized_ = false;
}

template <class Ops, class Slot>
bool ShadowHashMap<Ops, Slot>::write(uint32_t index, Slot& slot, bool changed) {
    ++counters_.shadow.writes;
    const Key& key = slot.slotKey();
    slot.rhash = rhashOf(key);
    PIMBO_TRACE(8, "slotIndex:{} key:{}", index, key.value());
    Slot** link = &buckets()[bucketOf(slot.rhash)];
    if (*link == nullptr) {
        PIMBO_TRACE(8, "value inserted in fresh bucket");
    } else {
        link = lowerBound(link, slot.rhash, key);
        Slot* found = *link;
        if (found == nullptr) {
            PIMBO_TRACE(8, "add slot to end of chain");
        } else if (!holds(found, slot.rhash, key)) {
            PIMBO_TRACE(8, "value inserted");
        } else if (found == &slot) {
            PIMBO_TRACE(8, "no index update needed");
            return changed;
        } else {
            // The writer moved the key: this slot takes the old one's place in the chain.
            ++counters_.shadow.movedKeys;
            const bool tell = Slot::movedChanged(*found, slot);
            slot.next = found->next;
            slot.prev = found->prev;
            *slot.prev = &slot;
            if (slot.next != nullptr)
                slot.next->prev = &slot.next;
            occupancy_.remove(indexOf(found));
            occupancy_.add(index);
            found->next = nullptr;
            found->prev = nullptr;
            found->clearPayload(ops_);
            PIMBO_TRACE(8, "value updated");
            return tell;
        }
    }
    // In front of *link (null at the end of the chain).
    slot.next = *link;
    slot.prev = link;
    if (slot.next != nullptr)
        slot.next->prev = &slot.next;
    *link = &slot;
    return added(index);
}

template <class Ops, class Slot>
bool ShadowHashMap<Ops, Slot>::added(uint32_t index) {
    occupancy_.add(index);
    if (++counters_.shadow.members > (uint64_t(numBuckets_) << loadShift_))
        grow();
    return true;
}

template <class Ops, class Slot>
bool ShadowHashMap<Ops, Slot>::remove(uint32_t index, Slot& slot) {
    if (slot.prev == nullptr) {
        PIMBO_TRACE(9, "dead slot {}", index);
        return false;
    }
    PIMBO_TRACE(8, "slot:{} prev->next:{} next:{} occupied:{} key:{}", index, linkOwner(slot.prev),
                slot.next != nullptr ? int64_t(indexOf(slot.next)) : -1, counters_.shadow.members,
                slot.slotKey().value());
    *slot.prev = slot.next;
    if (slot.next != nullptr)
        slot.next->prev = slot.prev;
    slot.next = nullptr;
    slot.prev = nullptr;
    occupancy_.remove(index);
    --counters_.shadow.members;
    if (counters_.shadow.members > (uint64_t(numBuckets_) << loadShift_) / 4 || bucketFactor_ < 2)
        return true;

    // Halve: bucket j takes the chain of 2j followed by the chain of 2j + 1.
    const uint32_t half = numBuckets_ / 2;
    Slot** b = buckets();
    for (uint32_t j = 0; j < half; ++j) {
        Slot* low = b[2 * j];
        Slot* high = b[2 * j + 1];
        b[j] = low != nullptr ? low : high;
        if (b[j] != nullptr)
            b[j]->prev = &b[j];
        if (low != nullptr && high != nullptr) {
            Slot* last = low;
            while (last->next != nullptr)
                last = last->next;
            last->next = high;
            high->prev = &last->next;
        }
    }
    if (bucketsMem_.resize(Mem::multiplyOverflowCheck(half, sizeof(Slot*))) == nullptr) {
        // The memory stays as it was: split the joined chains again before reporting.
        std::memset(static_cast<void*>(b + half), 0, half * sizeof(Slot*));
        --bucketFactor_;
        split(half);
        ++bucketFactor_;
        resizeFailed(half);
    }
    --bucketFactor_;
    numBuckets_ = half;
    ++counters_.shadow.bucketShrinks;
    PIMBO_TRACE(2, "shrunk to numBuckets_:{} bucketFactor_:{}", numBuckets_, bucketFactor_);
    if (buckets() != b) {
        PIMBO_TRACE(2, "base address moved from {} to {}", static_cast<void*>(b),
                    static_cast<void*>(buckets()));
        for (uint32_t j = 0; j < numBuckets_; ++j) {
            if (buckets()[j] != nullptr)
                buckets()[j]->prev = &buckets()[j];
        }
    }
    return true;
}

template <class Ops, class Slot>
void ShadowHashMap<Ops, Slot>::grow() {
    const uint32_t n = numBuckets_;
    PIMBO_TRACE(2, "buckets growing from:{} to:{}", n, 2 * n);
    Slot** old = buckets();
    if (bucketsMem_.resize(Mem::multiplyOverflowCheck(2 * uint64_t(n), sizeof(Slot*))) == nullptr) {
        resizeFailed(2 * uint64_t(n));
    }
    std::memset(static_cast<void*>(buckets() + n), 0, n * sizeof(Slot*));
    if (buckets() != old) {
        PIMBO_TRACE(2, "base address moved from {} to {}", static_cast<void*>(old),
                    static_cast<void*>(buckets()));
    }
    split(n);
    numBuckets_ = 2 * n;
    ++bucketFactor_;
    ++counters_.shadow.bucketGrows;
}

template <class Ops, class Slot>
void ShadowHashMap<Ops, Slot>::split(uint32_t n) {
    Slot** b = buckets();
    for (uint32_t i = n; i-- > 0;) {
        Slot* head = b[i];
        if (head == nullptr)
            continue;
        b[i] = nullptr;
        const uint32_t low = 2 * i;
        if (VeskCore::orderedBucketOf(head->rhash, bucketFactor_ + 1) !=
            low) {  // the whole chain belongs to 2i + 1
            b[low + 1] = head;
            head->prev = &b[low + 1];
            continue;
        }
        b[low] = head;
        head->prev = &b[low];
        Slot* s = head;
        while (s->next != nullptr &&
               VeskCore::orderedBucketOf(s->next->rhash, bucketFactor_ + 1) == low)
            s = s->next;
        if (s->next != nullptr) {
            PIMBO_TRACE(8, "splitting bucket {} to buckets {} and {}", i, low, low + 1);
            b[low + 1] = s->next;
            s->next->prev = &b[low + 1];
            s->next = nullptr;
        }
    }
}

template <class Ops, class Slot>
void ShadowHashMap<Ops, Slot>::patch(std::ptrdiff_t offset) {
    PIMBO_TRACE(5, "address offset is {}", offset);
    for (uint32_t b = 0; initialized_ && b < numBuckets_; ++b) {
        if (buckets()[b] == nullptr)
            continue;
        PIMBO_TRACE(9, "Patching slots in bucket {}", b);
        buckets()[b] = shifted(buckets()[b], offset);
        for (Slot* s = buckets()[b]; s != nullptr; s = s->next) {
            if (s != buckets()[b])
                s->prev = shifted(s->prev, offset);
            if (s->next != nullptr)
                s->next = shifted(s->next, offset);
        }
    }
    ++counters_.shadow.patches;
}

template <class Ops, class Slot>
Slot* ShadowHashMap<Ops, Slot>::find(const Key& key) const {
    if (!initialized_)
        return nullptr;
    const uint32_t rhash = rhashOf(key);
    Slot* const s = *lowerBound(&buckets()[bucketOf(rhash)], rhash, key);
    return holds(s, rhash, key) ? s : nullptr;
}

template <class Ops, class Slot>
Slot* ShadowHashMap<Ops, Slot>::next(const Key& key, const Slot* hint) const {
    if (!initialized_)
        return nullptr;
    if (hint != nullptr && hint->slotKey().value() == key.value()) {
        if (hint->next != nullptr)
            return hint->next;
        if (hint->prev != nullptr)
            return headFrom(uint64_t(bucketOf(hint->rhash)) + 1);
    }
    ++counters_.shadow.hashedLookups;
    const uint32_t rhash = rhashOf(key);
    const uint32_t b = bucketOf(rhash);
    Slot* s = *lowerBound(&buckets()[b], rhash, key);
    if (holds(s, rhash, key))
        s = s->next;
    return s != nullptr ? s : headFrom(uint64_t(b) + 1);
}

}  // namespace Vesk
