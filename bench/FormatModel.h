// What this file format costs a table-order walk, lookups and overwrites that check nothing (the
// Floor/... benchmarks): the table's files reduced to the memory a reader or the writer touches,
// in memory of this process. An array of 8-byte bucket entries (the first slot of a chain in the
// upper half) and an array of slots of the table's size (link, flags, rhash, the record), as many
// buckets as the table has, the records in the slots the table put them in, each chain in the
// table's order under the table's hash. Both live in shared anonymous memory, paged as the
// table's files are. The model is nobody's table: no other process maps it, so its words are read
// and written as plain memory.
#pragma once

#include "FlexCounters2/CounterTables.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/SplitOrder.h"
#include "VeskBase/Types.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace VeskBench {

class FormatModel {
  public:
    using Record = DravoCounters::FlexCounters2::CounterEntrySimple;

    // A table of `buckets` buckets whose slot s holds make(keyAt(s)), s in [0, n), under the
    // table's hash(key).
    template <class KeyAt, class Hash, class Make>
    FormatModel(uint32_t buckets, uint64_t n, KeyAt keyAt, Hash hash, Make make)
        : buckets_(buckets), records_(n) {
        if (buckets_ < 2 || (buckets_ & (buckets_ - 1)) != 0) {
            std::fprintf(stderr, "bench: a table of %u buckets\n", buckets_);
            std::abort();
        }
        bits_ = uint32_t(__builtin_ctz(buckets_));
        entries_ = mapShared<uint64_t>(buckets_);
        slots_ = mapShared<Slot>(n);
        std::vector<std::pair<uint64_t, uint32_t>> order(n);  // (bucket and order key, slot)
        for (uint32_t s = 0; s < n; ++s) {
            const uint64_t k = keyAt(s);
            const uint32_t h = hash(k);
            const uint32_t r = VeskCore::orderKey(h);
            order[s] = {uint64_t(h & (buckets_ - 1)) << 32 | r, s};
            const Record rec = make(k);
            slots_[s] = Slot{0, kEnd, 1, r, k, rec.packets(), rec.octets()};
        }
        std::sort(order.begin(), order.end(), [this](const auto& a, const auto& b) {
            return a.first < b.first ||
                   (a.first == b.first && slots_[a.second].key < slots_[b.second].key);
        });
        for (uint32_t b = 0; b < buckets_; ++b)
            entries_[b] = uint64_t(kEnd) << 32;
        // Each chain linked from its last record back to the entry.
        for (uint64_t i = n; i-- > 0;) {
            const uint32_t b = uint32_t(order[i].first >> 32);
            const uint32_t s = order[i].second;
            slots_[s].next = uint32_t(entries_[b] >> 32);
            entries_[b] = uint64_t(s) << 32;
        }
        // The slots in table order, each bucket's chain ended by kEnd (walkKnown's list).
        known_.reserve(n + buckets_);
        for (uint32_t p = 0; p < buckets_; ++p) {
            for (uint32_t s = uint32_t(entries_[bucketAt(p)] >> 32); s != kEnd; s = slots_[s].next)
                known_.push_back(s);
            known_.push_back(kEnd);
        }
    }
    ~FormatModel() {
        ::munmap(entries_, uint64_t(buckets_) * sizeof(uint64_t));
        ::munmap(slots_, records_ * sizeof(Slot));
    }
    FormatModel(const FormatModel&) = delete;
    FormatModel& operator=(const FormatModel&) = delete;

    // Aborts with a message unless table's own first/next walk meets every record of the model
    // in the slot and the bucket the model put it in (hash: the table's).
    template <class Table, class Hash>
    void checkLayout(Table& table, Hash hash) const {
        Record v;
        Vesk::IterHint hint;
        uint64_t seen = 0;
        for (bool more = table.first(v, hint); more; more = table.next(v.key(), v, hint)) {
            const uint64_t k = v.key().value();
            if (hint.slot >= records_ || slots_[hint.slot].key != k ||
                hint.bucket != (hash(k) & (buckets_ - 1))) {
                std::fprintf(stderr, "bench: key %lu lies in slot %u, bucket %u\n", k, hint.slot,
                             hint.bucket);
                std::abort();
            }
            ++seen;
        }
        if (seen != records_) {
            std::fprintf(stderr, "bench: the table's walk met %lu of %lu records\n", seen,
                         records_);
            std::abort();
        }
    }

    // The records in table order, with the reader's look-ahead: a bucket's entry asked for
    // kEntryAhead places on, the first slot its chain names kSlotAhead places on, the second
    // kSecondAhead places on, the third kThirdAhead places on. Returns the sum of packets and
    // counts the records.
    uint64_t walk(uint64_t& records) const {
        constexpr uint32_t kEntryAhead = 30, kSlotAhead = 18, kSecondAhead = 9, kThirdAhead = 3,
                           kRing = 32;
        uint32_t bucket[kRing];
        uint32_t first[kRing];
        uint32_t second[kRing];
        uint64_t sum = 0;
        const uint32_t places = buckets_ + kEntryAhead;
        for (uint32_t p = 0; p < places; ++p) {
            if (p < buckets_) {
                bucket[p % kRing] = bucketAt(p);
                __builtin_prefetch(&entries_[bucket[p % kRing]]);
            }
            if (p >= kEntryAhead - kSlotAhead && p - (kEntryAhead - kSlotAhead) < buckets_) {
                const uint32_t q = (p - (kEntryAhead - kSlotAhead)) % kRing;
                first[q] = uint32_t(entries_[bucket[q]] >> 32);
                bring(first[q]);
            }
            if (p >= kEntryAhead - kSecondAhead && p - (kEntryAhead - kSecondAhead) < buckets_) {
                const uint32_t q = (p - (kEntryAhead - kSecondAhead)) % kRing;
                second[q] = first[q] != kEnd ? slots_[first[q]].next : kEnd;
                bring(second[q]);
            }
            if (p >= kEntryAhead - kThirdAhead && p - (kEntryAhead - kThirdAhead) < buckets_) {
                const uint32_t f = second[(p - (kEntryAhead - kThirdAhead)) % kRing];
                if (f != kEnd)
                    bring(slots_[f].next);
            }
            if (p < kEntryAhead)
                continue;
            for (uint32_t s = first[(p - kEntryAhead) % kRing]; s != kEnd; s = slots_[s].next) {
                sum += slots_[s].packets;
                ++records;
            }
        }
        return sum;
    }

    // walk's lines in walk's order, every slot id known before the walk starts (a list made
    // when the model was): each bucket's entry is read and each record's packets, but no address
    // waits for a link, so the processor overlaps the misses of many records by itself (asking
    // for lines ahead only slows it down here). What the host's memory gives a walk of this table
    // when nothing depends on the link just read; walk shows what the links cost. Returns the sum
    // of packets and counts the records.
    uint64_t walkKnown(uint64_t& records) const {
        uint64_t sum = 0;
        uint64_t i = 0;
        for (uint32_t p = 0; p < buckets_; ++p) {
            sum += entries_[bucketAt(p)] & 1;
            for (; known_[i] != kEnd; ++i) {
                sum += slots_[known_[i]].packets;
                ++records;
            }
            ++i;
        }
        return sum;
    }

    // The packets of key k (hash: its hash); null when the table has no k.
    const uint64_t* lookup(uint64_t k, uint32_t hash) const {
        const Slot* s = find(k, hash);
        return s != nullptr ? &s->packets : nullptr;
    }

    // lookup behind a call of the reader's shape: the key and the found flag by reference, and
    // never inlined into the caller's loop.
    [[gnu::noinline]] const uint64_t* lookupCall(const uint64_t& k, uint32_t hash,
                                                 bool& found) const {
        const uint64_t* packets = lookup(k, hash);
        found = packets != nullptr;
        return packets;
    }

    // Puts r in the place of its key's record (hash: its hash); false when the table has none.
    bool overwrite(const Record& r, uint32_t hash) {
        Slot* s = find(r.key().value(), hash);
        if (s == nullptr)
            return false;
        s->packets = r.packets();
        s->octets = r.octets();
        return true;
    }

  private:
    struct Slot {
        uint32_t marker;
        uint32_t next;
        uint32_t flags;
        uint32_t rhash;
        uint64_t key;
        uint64_t packets;
        uint64_t octets;
    };
    static_assert(
        sizeof(Slot) ==
            Vesk::SlotTable<DravoCounters::FlexCounters2::CounterEntrySimpleOps>::slotSize,
        "the table's slots");
    static constexpr uint32_t kEnd = 0xFFFFFFFF;

    // The bucket at place p in bucket order.
    uint32_t bucketAt(uint32_t p) const { return Pimbo::Util::reverse(p) >> (32 - bits_); }

    Slot* find(uint64_t k, uint32_t hash) const {
        for (uint32_t s = uint32_t(entries_[hash & (buckets_ - 1)] >> 32); s != kEnd;
             s = slots_[s].next) {
            if (slots_[s].key == k)
                return &slots_[s];
        }
        return nullptr;
    }

    template <class T>
    static T* mapShared(uint64_t count) {
        void* p = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            std::perror("bench: mmap");
            std::abort();
        }
        return static_cast<T*>(p);
    }
    void bring(uint32_t s) const {
        if (s != kEnd) {
            __builtin_prefetch(&slots_[s]);
            __builtin_prefetch(reinterpret_cast<const char*>(&slots_[s]) + sizeof(Slot) - 1);
        }
    }

    uint32_t buckets_;
    uint32_t bits_ = 0;
    uint64_t records_;
    uint64_t* entries_ = nullptr;
    Slot* slots_ = nullptr;
    std::vector<uint32_t> known_;
};

}  // namespace VeskBench
