// ReaderHashMap: lock-free lookup and iteration of a reader process over the split-ordered list
// that one writer process keeps changing (see WriterHashMap.h for the structure).
//
// Who may call what: the one thread of a reader process that owns the VeskReader. Nothing here
// stores into shared memory; every shared word is read through a named helper (loadLink for
// links, SlotReaderTable::getValue for records, the bucket reader for bucket entries).
//
// What the walk relies on (doc/file-format.md): whole links and versions that move on every
// relink (P1); a slot linked only once complete (P2), losing OCCUPIED only after it was
// unlinked (P4) or linked elsewhere (P6); bucket counts that change one doubling or halving at
// a time under a new numBuckets version (P8, P9), while a chain may hold keys of the bucket's
// half-level or double-level neighbour, which the bucket check tolerates.
//
// What the walk guarantees (its side of P13):
//  1. After copying a slot it reads the slot's own link, then re-reads the link it came through,
//     once per hop; a changed link restarts the bucket (counted as a retry). A slot reached
//     through an unchanged link is trusted, and so is its own link: it must be occupied and its
//     copied rhash must lie in the bucket, otherwise the table is corrupt. Bucket membership is
//     read from the rhash copied in the same seqlock window as the key, not by hashing the key
//     again: the writer stores the key's rhash with it and never changes either while the slot
//     holds the record, so the two agree in every file a writer wrote; a file damaged in just
//     that word can misplace that one record's answers but never lead a walk out of bounds, and
//     the writer's validation and `vesk check` hash every key.
//  2. Every chain walk is bounded by the mapped slot count and every bucket hop sequence by the
//     bucket count; every index is bounds-checked before use. A corrupt or concurrently rebuilt
//     structure ends in Pimbo::CorruptionDetectedException, never in a loop or a stray read.
//  3. An unsuccessful lookup re-checks the bucket count version, so "absent" is only answered
//     from a mapping that matches the writer's count; when it moved, or a key of another bucket
//     met under a moved count ended the walk, the lookup (or next) answers Walk::retry (no
//     exception).
//  4. Iteration answers strictly ascend in (rhash, key) as the walk copied them, so an iteration
//     over links that lead back ends in "iteration went back".
//  5. Look-ahead (prefetch*) only reads links, rhash and key words through the helpers, checks
//     every index against the mapping before it becomes an address, keeps slot ids rather than
//     addresses across calls, and never throws: what it reads only chooses which lines are
//     asked for.
//  6. quickLookup, the first try of every lookup, makes the checks of 1 and 2 in the same order
//     and leaves every other state to the full walk (it answers unsure rather than throw). It
//     answers found at the first whole, linked copy of the key itself, without comparing the
//     copied rhash: keys are unique in a table, so that copy is the key's record wherever the
//     rhash word says it sorts. The reader's check of the header words follows either answer.
// Restarts are not limited: each one is caused by one writer step.
#pragma once

#include "Mem/Atomic.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/RootPath.h"
#include "Plinth/SafeHeaderCopy.h"
#include "VeskBase/BucketReader.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/Counters.h"
#include "VeskBase/SlotLink.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/SplitOrder.h"
#include "VeskBase/Types.h"

#include <cstdint>

namespace VeskCore {

// How a lookup's walk ended: at the key's record, with the key absent, or at a state that the
// writer's bucket resize under way explains (a key of another bucket, a moved bucket count),
// which the reader answers by re-mapping and walking again. A state that no writer step explains
// is corruption and throws Pimbo::CorruptionDetectedException where it is found.
enum class Walk { found, absent, retry };

template <class Reader>
class ReaderHashMap {
  public:
    using Ops = typename Reader::OpsType;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using SlotLink = Vesk::SlotLink;

    ReaderHashMap(Pimbo::Platform::DebugHandler& handler, Reader& reader,
                  const Vesk::RootPath& rootPath, Vesk::Reader::Counters* counters)
        : handler_(&handler), buckets_(handler, rootPath, counters), reader_(&reader) {}

    BucketReader<SlotLink>& buckets() { return buckets_; }
    const BucketReader<SlotLink>& buckets() const { return buckets_; }

    // Looks key up. found: its record copied into buffer (or the reader's scratch value when
    // buffer is null), at result. absent: result is the reader's default value.
    Walk lookup(const Key& key, const Value*& result, void* buffer) const {
        result = &reader_->defaultValue();
        const uint32_t n = buckets_.numBuckets();
        if (n == 0) {
            trace(5, "bucket table detached");
            return Walk::absent;
        }
        Value& dest = buffer != nullptr ? *static_cast<Value*>(buffer) : reader_->scratch();
        const Stop stop = walkBucket(key, false, n, dest, kLookupTexts);
        if (stop.exact) {
            result = &dest;
            return Walk::found;
        }
        // "Absent" is only answered from a mapping that matches the writer's bucket count.
        if (stop.resized || buckets_.stale())
            return Walk::retry;
        // A chain that ended in a bucket marker or the end of the table must name the bucket's
        // successor, or the bucket file is damaged and "absent" would be a guess.
        if (!SlotLink::isSlot(stop.next)) {
            verifyNextBucket(stop.bucket,
                             SlotLink::isEnd(stop.next) ? 0 : SlotLink::bucketOf(stop.next));
        }
        return Walk::absent;
    }

    // How quickLookup ended: found (the record copied and anchored), absent (the walk ended at a
    // later record of key's bucket; the caller's check of the header words makes sure that the
    // bucket count did not move), or unsure: lookup decides.
    enum class Quick { found, absent, unsure };

    // lookup's common case, in few enough instructions that the processor overlaps the cache
    // misses of consecutive lookups. It makes walkPass's checks in walkPass's order on a walk that
    // meets nothing unusual, and answers unsure at anything else: an index outside the mapping
    // (bucket markers and the end included), a slot with LOOKASIDE set or OCCUPIED clear, flags
    // that moved during the copy, a link that moved, a key of another bucket, a long chain. Then
    // lookup's walk decides, with its findings and texts. It never throws and reads only through
    // the helpers.
    // hash is k's hashKeyValue.
    [[gnu::always_inline]] Quick quickLookup(uint64_t k, uint32_t hash, Value& out) const {
        const uint32_t n = buckets_.numBuckets();
        if (n == 0) [[unlikely]]
            return Quick::unsure;
        auto& table = reader_->slotTable();
        const auto& slots = table.slots();
        uint32_t b = 0;
        const SlotLink* prevPtr = buckets_.entryOfHash(hash, b);
        const char* prevSlot = nullptr;
        SlotLink prev = Vesk::loadLink(prevPtr);
        for (uint32_t hop = 0; hop < kQuickHops; ++hop) {
            // Slot counts stay below 2^31, so this also sends markers and the end to lookup.
            if (prev.next >= slots.count)
                return Quick::unsure;
            const char* slot = slots.base + uint64_t(prev.next) * Reader::Table::slotSize;
            typename Reader::Table::Copied got;
            const bool whole = Reader::Table::copyOnce(slot, out, got);
            const SlotLink next = Vesk::loadLink(Vesk::slotLink(slot));
            if (!whole || linkMoved(prevPtr, prev, prevSlot))
                return Quick::unsure;
            // Keys are unique in a table: a linked, whole copy of key's record is the answer, so
            // the order key is only worked out to pass another record.
            const uint64_t sk = Ops::key(out).value();
            if (sk == k) [[likely]] {
                table.anchorAt(slot, got.flags);
                return Quick::found;
            }
            const uint32_t r = orderKey(hash);
            if (!BucketPrefix::ofOrderKey(r, b, n).holds(got.rhash))
                return Quick::unsure;
            if (sortsBefore(r, k, got.rhash, sk))
                return Quick::absent;
            prevPtr = Vesk::slotLink(slot);
            prevSlot = slot;
            prev = next;
        }
        return Quick::unsure;
    }

    // The three steps of a lookup's memory accesses, for a caller that overlaps those of many
    // keys (hash: the key's hashKeyValue): bring the key's bucket entry closer; once it had time
    // to arrive, read it and bring the first slot its chain names closer, both lines of it; once
    // that had time to arrive, bring the second slot closer when the first sorts before the key
    // (the walk goes on to it). Only links, rhash and key words are read, through the helpers,
    // and every index is checked before it becomes an address; what they read only chooses which
    // lines are asked for.
    void prefetchEntry(uint32_t hash) const {
        uint32_t b = 0;
        if (buckets_.numBuckets() != 0)
            Mem::prefetch(buckets_.entryOfHash(hash, b));
    }
    void prefetchFirstSlot(uint32_t hash) const { bring(firstSlot(hash)); }
    void prefetchSecondSlot(uint32_t hash, const Key& key) const {
        const char* first = firstSlot(hash);
        if (first == nullptr)
            return;
        const uint32_t r = orderKey(hash);
        if (sortsBefore(Vesk::loadRhash(first), Vesk::slotKey(first), r, key.value()))
            bring(slotAt(Vesk::loadLink(Vesk::slotLink(first)).next));
    }

    // The table-order walk's look-ahead, from the bucket of the record it just answered with: the
    // chains it walks next lie in the buckets that follow in bucket order, whose places are known
    // without reading anything. Four stages overlap the walk's memory accesses with those of the
    // records ahead: each step asks for the entry of the bucket kEntryAhead places on, the first
    // slot of the chain kSlotAhead places on (its entry arrived since), the second slot of the
    // chain kSecondAhead places on (its first slot arrived since) and the third kThirdAhead places
    // on (about one record in ten sits third or later in its chain). Each place is taken once, in
    // order, whatever the steps skip (empty buckets); a walk elsewhere (another iteration, a new
    // bucket count) starts the window again. Only links are read, through loadLink, and every
    // index is checked before it becomes an address: a stale view only brings in other lines.
    // rb is the bucket's order key (reverse(bucket)). A table whose buckets fit the caches gains
    // nothing from it but its work, so it only runs from kAheadFromBuckets buckets on.
    void prefetchAhead(uint32_t bucket, uint32_t rb) const {
        const uint32_t n = buckets_.numBuckets();
        const uint32_t bits = buckets_.bucketBits();
        if (n < kAheadFromBuckets || bits == 0 || bits > 31 || bucket >= n)
            return;
        const uint32_t at = rb >> (32 - bits);  // its place in bucket order
        Ahead& a = ahead_;
        if (a.bits != bits || at + 1 < a.low || a.next <= at || a.next > at + kEntryAhead + 1) {
            a.bits = bits;
            a.low = a.next = at + 1;
        }
        for (; a.next <= at + kEntryAhead; ++a.next) {
            const uint32_t p = a.next;
            const uint32_t b = reverseLow(p & (n - 1), bits);
            a.bucket[p % kRing] = b;
            Mem::prefetch(buckets_[b]);
            // The places each later stage's distance before p, when they lie ahead of the walk
            // and inside the window (compared without underflow).
            constexpr uint32_t kToSlot = kEntryAhead - kSlotAhead;
            constexpr uint32_t kToSecond = kEntryAhead - kSecondAhead;
            constexpr uint32_t kToThird = kEntryAhead - kThirdAhead;
            if (p > at + kToSlot && p >= a.low + kToSlot) {
                const uint32_t q = p - kToSlot;
                a.first[q % kRing] = Vesk::loadLink(buckets_[a.bucket[q % kRing]]).next;
                bring(slotAt(a.first[q % kRing]));
            }
            // Slot ids, not addresses, are kept: the mapping may have moved since.
            if (p > at + kToSecond && p >= a.low + kToSecond) {
                const uint32_t q = (p - kToSecond) % kRing;
                const char* first = slotAt(a.first[q]);
                a.second[q] =
                    first != nullptr ? Vesk::loadLink(Vesk::slotLink(first)).next : SlotLink::kEnd;
                bring(slotAt(a.second[q]));
            }
            if (p > at + kToThird && p >= a.low + kToThird) {
                if (const char* second = slotAt(a.second[(p - kToThird) % kRing]))
                    bring(slotAt(Vesk::loadLink(Vesk::slotLink(second)).next));
            }
        }
    }

    // Copies the first record at or after bucket (in bucket order) into out.
    bool first(uint32_t bucket, Value& out, Vesk::IterHint& hint) const {
        const uint32_t n = buckets_.numBuckets();
        if (n == 0) {
            trace(5, "bucket table detached");
            return false;
        }
        auto& table = reader_->slotTable();
        uint32_t hops = 0;
        const SlotLink* entry = buckets_[bucket];
        SlotLink link = Vesk::loadLink(entry);
        for (;;) {
            if (SlotLink::isSlot(link.next)) {
                const uint32_t s = link.next;
                const auto got = table.getValue(s, out);
                const SlotLink again = Vesk::loadLink(entry);
                if (again != link) {
                    retried();
                    link = again;
                    continue;
                }
                if ((got.flags & Vesk::OCCUPIED) == 0)
                    notOccupied(kFirstTexts, s, out, 1);
                if (!BucketPrefix(bucket, n).holds(got.rhash))
                    corruptKey(kFirstTexts, out, bucket);
                hint = Vesk::IterHint{got.flags, s, bucket};
                lastRhash_ = got.rhash;
                trace(9, "{} found at bucket {}, saving {}", Ops::key(out), bucket, hint);
                prefetchAhead(bucket, Pimbo::Util::reverse(bucket));
                return true;
            }
            if (SlotLink::isEnd(link.next)) {
                // Only the last bucket in bucket order may end the table.
                verifyNextBucket(bucket, 0);
                trace(8, "none found!");
                return false;
            }
            if (++hops >= n) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "has bucket cycle detected, bucketCount: {} numBuckets: {}", hops, n);
            }
            const uint32_t nb = SlotLink::bucketOf(link.next);
            verifyNextBucket(bucket, nb);
            bucket = nb;
            entry = buckets_[bucket];
            link = Vesk::loadLink(entry);
        }
    }

    // Copies the record that follows after (in table order) into out: found, or absent at the
    // end of the table. after need not be in the table any more. hint is a shortcut only: it is
    // used when its slot still holds after, unchanged. retry: the walk met a bucket resize under
    // way, and the reader re-maps and asks again.
    Walk next(const Key& after, Value& out, Vesk::IterHint& hint) const {
        uint32_t ra = 0;
        const Walk walk = walkNext(after, out, hint, ra);
        if (walk != Walk::found)
            return walk;
        // Every answer lies after `after` in list order ((rhash, key) ascending), so an
        // iteration ends even over files whose links lead back. The order keys are the ones the
        // walk went by: after's as copied from its slot (or computed from its key when the walk
        // searched for it), the answer's as copied with it.
        const uint64_t a = after.value();
        const uint64_t k = Ops::key(out).value();
        if (!sortsBefore(ra, a, lastRhash_, k)) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "iteration went back: after key:{} rhash:{:#x} came key:{} rhash:{:#x}", a,
                        ra, k, lastRhash_);
        }
        return Walk::found;
    }

    // next without its order check; ra receives the order key of after that the walk went by.
    Walk walkNext(const Key& after, Value& out, Vesk::IterHint& hint, uint32_t& ra) const {
        const uint32_t n = buckets_.numBuckets();
        if (n == 0) {
            trace(5, "bucket table detached");
            return Walk::absent;
        }
        auto& table = reader_->slotTable();
        const uint64_t a = after.value();
        if (hint.slot < table.capacity() && hint.bucket < n &&
            table.holds(hint.slot, hint.version, a, &ra)) {
            // Fast path. The hint slot still holds after (same flags, same key), so it is linked
            // and its link leads to after's successor. A removed slot's link is rewritten (free
            // list) only after its flags changed, and every change of the slot moves its flags:
            // equal flags after the link load (and after the successor's copy) prove that the
            // link was the chain's then.
            const char* own = table.slots()[hint.slot];
            const SlotLink link = Vesk::loadLink(Vesk::slotLink(own));
            if (SlotLink::isSlot(link.next)) {
                const uint32_t s = link.next;
                const auto got = table.getValue(s, out);
                const bool moved = Vesk::loadLink(Vesk::slotLink(own)) != link ||
                                   Vesk::loadFlags(own) != hint.version;
                if (!moved) {
                    if ((got.flags & Vesk::OCCUPIED) == 0)
                        notOccupied(kFirstTexts, s, out, 1);
                    if (!BucketPrefix(hint.bucket, n).holds(got.rhash))
                        corruptKey(kNextTexts, out, hint.bucket);
                    trace(9, "{} success {} using {}, saving new slot hint {}", after,
                          Ops::key(out), hint, s);
                    hint.version = got.flags;
                    hint.slot = s;
                    lastRhash_ = got.rhash;
                    prefetchAhead(hint.bucket, Pimbo::Util::reverse(hint.bucket));
                    return Walk::found;
                }
                // The successor moved under us: find it again by order.
            } else if (Vesk::loadFlags(own) == hint.version) {
                if (SlotLink::isEnd(link.next)) {
                    verifyNextBucket(hint.bucket, 0);
                    trace(9, "{} failed", after);
                    return Walk::absent;
                }
                const uint32_t nb = SlotLink::bucketOf(link.next);
                verifyNextBucket(hint.bucket, nb);
                trace(9, "{} next bucket {} using {}", after, nb, hint);
                return first(nb, out, hint) ? Walk::found : Walk::absent;
            }
        }
        ra = orderKey(reader_->hashKeyValue(a));
        return slowNext(after, out, hint);
    }

    // Throws unless nb is bucket's successor in bucket order at the mapped count, at half of it
    // or at double it (the writer may be halving or doubling at this moment).
    void verifyNextBucket(uint32_t bucket, uint32_t nb) const {
        if (!mayFollow(Pimbo::Util::reverse(bucket), Pimbo::Util::reverse(nb), nb)) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException,
                        "has bucket: {} with next bucket: {} and numBuckets: {}", bucket, nb,
                        buckets_.numBuckets());
        }
    }

    // verifyNextBucket's test, from the order keys of both buckets (rb, rn) and nb itself.
    bool mayFollow(uint32_t rb, uint32_t rn, uint32_t nb) const {
        const uint32_t k = buckets_.bucketBits();
        if (buckets_.numBuckets() == 0 || k == 0 || k > 30)
            return false;
        // At half a count of 2 there is one bucket, which every bucket is followed by.
        return followsInOrder(rb, rn, k) || (k == 1 ? nb == 0 : followsInOrder(rb, rn, k - 1)) ||
               followsInOrder(rb, rn, k + 1);
    }

    // next's common case, as quickLookup is lookup's: the hint slot still holds after, and its
    // link leads to the successor's slot, either straight on (the same chain) or through the
    // bucket markers that end after's chain and the chains of empty buckets after it. It makes
    // walkNext's fast-path checks, first's and next's order check in the same order, and
    // answers unsure at anything else (the end of the table included), for next to decide. The
    // answer's hint goes to `answer`, not to `hint`: the caller takes it once the header words
    // are checked.
    [[gnu::always_inline]] Quick quickNext(uint64_t a, Value& out, const Vesk::IterHint& hint,
                                           Vesk::IterHint& answer) const {
        const uint32_t n = buckets_.numBuckets();
        auto& table = reader_->slotTable();
        const auto& slots = table.slots();
        uint32_t ra = 0;
        if (n == 0 || hint.bucket >= n || hint.slot >= slots.count ||
            !table.holds(hint.slot, hint.version, a, &ra))
            return Quick::unsure;
        const char* own = slots.base + uint64_t(hint.slot) * Reader::Table::slotSize;
        uint32_t bucket = hint.bucket;
        uint32_t rb = lastBucket_ == bucket ? lastBucketKey_ : Pimbo::Util::reverse(bucket);
        // The link the answer is reached through, and the slot that owns it (none for an entry).
        const SlotLink* via = Vesk::slotLink(own);
        const char* viaSlot = own;
        SlotLink link = Vesk::loadLink(via);
        if (!SlotLink::isSlot(link.next)) {
            // After's chain ends here: equal flags after the link load prove the link was the
            // chain's. The walk goes on at the entries of the buckets that follow.
            if (Vesk::loadFlags(own) != hint.version)
                return Quick::unsure;
            viaSlot = nullptr;
            for (uint32_t hop = 0; !SlotLink::isSlot(link.next); ++hop) {
                const uint32_t nb = SlotLink::bucketOf(link.next);
                if (SlotLink::isEnd(link.next) || nb >= n || hop == kQuickHops)
                    return Quick::unsure;
                const uint32_t rn = Pimbo::Util::reverse(nb);
                if (!mayFollow(rb, rn, nb))
                    return Quick::unsure;
                bucket = nb;
                rb = rn;
                via = buckets_[nb];
                link = Vesk::loadLink(via);
            }
        }
        if (link.next >= slots.count)
            return Quick::unsure;
        const char* slot = slots.base + uint64_t(link.next) * Reader::Table::slotSize;
        typename Reader::Table::Copied got;
        const bool whole = Reader::Table::copyOnce(slot, out, got);
        const bool moved = Vesk::loadLink(via) != link ||
                           (viaSlot != nullptr && Vesk::loadFlags(viaSlot) != hint.version);
        if (!whole || moved || !BucketPrefix::ofOrderKey(rb, bucket, n).holds(got.rhash) ||
            !sortsBefore(ra, a, got.rhash, Ops::key(out).value()))
            return Quick::unsure;
        table.anchorAt(slot, got.flags);
        answer = Vesk::IterHint{got.flags, link.next, bucket};
        lastRhash_ = got.rhash;
        lastBucket_ = bucket;
        lastBucketKey_ = rb;
        prefetchAhead(bucket, rb);
        return Quick::found;
    }

  private:
    // The slot a link names, when it names one inside the mapping; null otherwise.
    const char* slotAt(uint32_t id) const {
        const auto& slots = reader_->slotTable().slots();
        return SlotLink::isSlot(id) && id < slots.count
                   ? slots.base + uint64_t(id) * Reader::Table::slotSize
                   : nullptr;
    }
    // The first slot of the chain of hash's bucket, as its entry names it now.
    const char* firstSlot(uint32_t hash) const {
        uint32_t b = 0;
        return buckets_.numBuckets() == 0
                   ? nullptr
                   : slotAt(Vesk::loadLink(buckets_.entryOfHash(hash, b)).next);
    }
    // Asks for both lines of a slot (null: nothing).
    static void bring(const char* slot) {
        if (slot != nullptr) {
            Mem::prefetch(slot);
            Mem::prefetch(slot + Reader::Table::slotSize - 1);
        }
    }

    // The successor of after found by walking after's bucket from its entry.
    Walk slowNext(const Key& after, Value& out, Vesk::IterHint& hint) const {
        ++reader_->counters().slowPaths;
        const Stop stop = walkBucket(after, true, buckets_.numBuckets(), out, kNextTexts);
        if (stop.resized)
            return Walk::retry;
        if (SlotLink::isSlot(stop.next)) {
            hint = Vesk::IterHint{stop.flags, stop.next, stop.bucket};
            lastRhash_ = stop.rhash;
            trace(9, "{} success {}, saving {}", after, Ops::key(out), hint);
            return Walk::found;
        }
        if (SlotLink::isEnd(stop.next)) {
            verifyNextBucket(stop.bucket, 0);
            trace(9, "{} failed", after);
            return Walk::absent;
        }
        const uint32_t nb = SlotLink::bucketOf(stop.next);
        verifyNextBucket(stop.bucket, nb);
        trace(9, "{} next bucket {}", after, nb);
        return first(nb, out, hint) ? Walk::found : Walk::absent;
    }

    // Where a bucket walk stopped: `next` is the id of the slot it stopped at (copied into the
    // caller's value, with its flags as copied), or the link that ended the chain (a bucket
    // marker or the end of the table).
    struct Stop {
        uint32_t bucket;
        uint32_t next = SlotLink::kEnd;
        uint32_t flags = 0;
        uint32_t rhash = 0;    // the slot's rhash as copied
        bool exact = false;    // the slot holds the key walked to
        bool resized = false;  // a key of another bucket under a moved bucket count: walk again
    };

    // The texts a walk reports its findings with: each operation names them its own way, and
    // passes its own to the walk it shares (fmt texts; a text may leave the last value out).
    struct Texts {
        const char* corruptKey;   // the key in hex, the bucket
        const char* notOccupied;  // the slot, the key in hex, the slots walked
    };
    static constexpr Texts kLookupTexts{"corrupt key detected. key:{} bucketIndex:{}",
                                        "slot:{} not marked as occupied key:{}"};
    static constexpr Texts kFirstTexts{"corrupt key detected, key:{} bucket:{}",
                                       "slot:{} not marked as occupied key:{}"};
    static constexpr Texts kNextTexts{"corrupt key detected. key:{} bucketIndex {}",
                                      "slow-path slot:{} not marked as occupied key:{} "
                                      "slotCount:{}"};

    // The one walk of a chain, shared by lookup and the slow path of next: from the entry of
    // key's bucket to the first slot whose (rhash, key) is at key's, or strictly after it when
    // `after`, copying each slot into out. The bucket is walked again (a retry) whenever a link
    // it came through moved; restarts are not limited, each is caused by one writer step.
    // Findings are reported with the caller's texts.
    Stop walkBucket(const Key& key, bool after, uint32_t n, Value& out, const Texts& texts) const {
        const uint32_t hash = reader_->hashKeyValue(key.value());
        Stop stop{bucketOf(hash, n)};
        while (!walkPass(key, after, orderKey(hash), n, out, stop, texts))
            retried();
        return stop;
    }

    // One pass of walkBucket over stop.bucket; false when it must start again.
    //
    // What a pass can meet after copying slot s, and why each is handled:
    //  - the link it came through unchanged and its owner alive, s occupied: s was in the
    //    chain when it was copied; compare it.
    //  - that link moved (an insert, remove or move right there) or its owner died (a
    //    shrink moved it): s may be anything; restart the bucket.
    //  - s not occupied behind an unchanged, live link: no writer step leaves that;
    //    corruption.
    //  - a key of the bucket's half-level or double-level neighbour: a split or join in
    //    progress; tolerated. Membership is read from the copied order key (rhash), which the
    //    writer stores with the key and which the same seqlock window copied with it; a file
    //    whose rhash does not match its key misplaces that record for lookups but cannot make a
    //    walk leave its bounds (the writer's validation and `vesk check` hash every key). Any other
    //    bucket is corruption, or a stale bucket count that the reader's retry loop re-maps.
    //  - a marker naming a bucket beyond the mapped count: the writer doubled; out of range
    //    makes the reader re-map.
    [[gnu::always_inline]] bool walkPass(const Key& key, bool after, uint32_t r, uint32_t n,
                                         Value& out, Stop& stop, const Texts& texts) const {
        auto& table = reader_->slotTable();
        const uint64_t k = key.value();
        const uint32_t b = stop.bucket;
        const BucketPrefix inBucket(b, n);
        const SlotLink* prevPtr = buckets_[b];
        const char* prevSlot = nullptr;  // the slot that owns prevPtr; null for the entry
        SlotLink prev = Vesk::loadLink(prevPtr);
        const auto& slots = table.slots();
        for (uint32_t count = 1; SlotLink::isSlot(prev.next); ++count) {
            if (count > slots.count)
                cycle(count, slots.count);
            const uint32_t s = prev.next;
            const char* slot = slots[s];
            const auto got = table.copySlot(slot, out);
            // s's own link, read before the one re-check of the link we came through: when that
            // link did not move, s was in the chain from before the copy until after this read,
            // so both the copy and this link are the chain's (a removed slot's link is rewritten
            // only after it was unlinked).
            const SlotLink* own = Vesk::slotLink(slot);
            const SlotLink next = Vesk::loadLink(own);
            if (linkMoved(prevPtr, prev, prevSlot))
                return false;
            if ((got.flags & Vesk::OCCUPIED) == 0)
                notOccupied(texts, s, out, count);
            const uint64_t sk = Ops::key(out).value();
            if (after)
                trace(9, "{} comparing slot {} {}", key, s, Ops::key(out));
            const bool exact = got.rhash == r && sk == k;
            if (sortsBefore(r, k, got.rhash, sk) || (exact && !after)) {
                // The chain is sorted: the walk ends here.
                if (!exact && !inBucket.holds(got.rhash))
                    return outsideBucket(texts, out, stop);
                table.anchorAt(slot, got.flags);
                stop = Stop{b, s, got.flags, got.rhash, exact};
                return true;
            }
            if (!inBucket.holds(got.rhash))
                return outsideBucket(texts, out, stop);
            if (after && SlotLink::isSlot(next.next))
                trace(9, "{} next slot {} success", key, next.next);
            prevPtr = own;
            prevSlot = slot;
            prev = next;
        }
        stop = Stop{b, prev.next};
        return true;
    }

    // The link a walk came through no longer vouches for where it led: it was relinked, or the
    // slot that owns it is dead. A shrink moves a record to a lower slot and clears OCCUPIED on
    // the old one, whose link keeps its value; OCCUPIED is cleared there before anything after
    // it moves, so checking it closes that window.
    static bool linkMoved(const SlotLink* prevPtr, const SlotLink& prev, const char* prevSlot) {
        if (Vesk::loadLink(prevPtr) != prev)
            return true;
        return prevSlot != nullptr && (Vesk::loadFlags(prevSlot) & Vesk::OCCUPIED) == 0;
    }

    // The walk of stop.bucket met a key of another bucket: the end of the walk, to be walked again
    // on the writer's count when it moved, otherwise corruption.
    bool outsideBucket(const Texts& texts, const Value& copied, Stop& stop) const {
        if (!buckets_.stale())
            corruptKey(texts, copied, stop.bucket);
        stop.resized = true;
        return true;
    }

    void retried() const {
        ++reader_->counters().retries;
        Mem::spinPause();
    }

    [[noreturn]] static void cycle(uint32_t count, uint32_t capacity) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                    "hash chain cycle detected, slotCount:{} capacity:{}", count, capacity);
    }

    [[noreturn]] static void corruptKey(const Texts& texts, const Value& copied, uint32_t b) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, fmt::runtime(texts.corruptKey),
                    Pimbo::dumpHex(&copied, 8), b);
    }

    [[noreturn]] static void notOccupied(const Texts& texts, uint32_t s, const Value& copied,
                                         uint32_t count) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, fmt::runtime(texts.notOccupied), s,
                    Pimbo::dumpHex(&copied, 8), count);
    }

    template <class... Args>
    void trace(unsigned level, fmt::format_string<Args...> text, Args&&... args) const {
        PIMBO_TRACE_TO(*handler_, "ReaderHashMap", level, text, std::forward<Args>(args)...);
    }

    // quickLookup's walk leaves chains longer than this to lookup (at most one bucket per
    // record, so a chain is short but for an unlucky bucket).
    static constexpr uint32_t kQuickHops = 8;
    static constexpr uint32_t kAheadFromBuckets = 1u << 15;
    static constexpr uint32_t kEntryAhead = 30, kSlotAhead = 18, kSecondAhead = 9, kThirdAhead = 3,
                              kRing = 32;
    static_assert(kEntryAhead < kRing && kThirdAhead < kSecondAhead && kSecondAhead < kSlotAhead &&
                  kSlotAhead < kEntryAhead);
    static_assert(kAheadFromBuckets >= 2 * kRing, "the window's places wrap round the count");
    // prefetchAhead's window: the places in bucket order [low, next) asked for at this bucket
    // count, and for the last kRing of them their bucket, the link of its entry (the first slot
    // of its chain, or a marker) and the link of that first slot (the second, or a marker).
    struct Ahead {
        uint32_t bits = 0;
        uint32_t low = 0;
        uint32_t next = 0;
        uint32_t bucket[kRing] = {};
        uint32_t first[kRing] = {};
        uint32_t second[kRing] = {};
    };

    Pimbo::Platform::DebugHandler* handler_;
    BucketReader<SlotLink> buckets_;
    Reader* reader_;
    mutable Ahead ahead_;  // the owning thread's walk only: it changes which lines are asked for
    // The rhash copied with the record that first or next answered with last (next's order check).
    mutable uint32_t lastRhash_ = 0;
    // The bucket quickNext answered from last and its order key, which the next step starts from.
    mutable uint32_t lastBucket_ = 0xFFFFFFFF;
    mutable uint32_t lastBucketKey_ = 0;
};

}  // namespace VeskCore
