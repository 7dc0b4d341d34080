// SplitOrder: the order of a split-ordered list and the bucket arithmetic over it, shared by the
// writer's and the reader's maps over a table's files and by a shadow's local index.
//
// A record's order key is its hash reversed bit for bit (rhash); a list is sorted by
// (rhash, key), keys compared as unsigned 64-bit numbers. With a power-of-two bucket count a
// record lies in bucket hash mod count, and the buckets follow each other in bit-reversed index
// order, so their chains end to end are the whole list in (rhash, key) order. Doubling the count
// splits bucket b into b and b + count at one point of its chain; halving joins them again.
// A shadow numbers the same buckets in list order instead (orderedBucketOf).
#pragma once

#include "Pimbo/Util.h"

#include <cstdint>

namespace VeskCore {

// A table's bucket count: a power of two in [kMinBuckets, kMaxBuckets]. Bucket counts stay below
// 2^31 because slot ids with bit 31 set are bucket markers.
inline constexpr uint32_t kMinBuckets = 2;
inline constexpr uint32_t kMaxBuckets = 0x40000000;

constexpr bool validBucketCount(uint64_t n) {
    return n >= kMinBuckets && n <= kMaxBuckets && (n & (n - 1)) == 0;
}

// The order key of a hash.
constexpr uint32_t orderKey(uint32_t hash) {
    return Pimbo::Util::reverse(hash);
}

// (ra, ka) sorts before (rb, kb).
constexpr bool sortsBefore(uint32_t ra, uint64_t ka, uint32_t rb, uint64_t kb) {
    return ra < rb || (ra == rb && ka < kb);
}

// The bucket of a hash (or any number) among count buckets, count a power of two: a mask; 0 for
// a count below 2.
constexpr uint32_t bucketOf(uint64_t hash, uint64_t count) {
    return count < 2 ? 0 : uint32_t(hash & (count - 1));
}

// Which order keys may lie in bucket b of n buckets (n a power of two) while the count may be
// moving to n / 2 or 2 x n: those whose hash mod n, n / 2 or 2 x n is b. Over order keys that is
// one prefix test, decided once per bucket: a hash's low bits are its order key's high bits
// reversed, so "hash mod n is b" reads "rhash's top log2(n) bits are b reversed". The double
// count's test (log2(n) + 1 bits) implies the single's; for b below n / 2 the half count's test
// (one bit fewer) is implied by the single's, so it alone decides; for b at n / 2 or above no key
// lies in b at the half count.
class BucketPrefix {
  public:
    [[gnu::always_inline]] constexpr BucketPrefix(uint32_t b, uint32_t n)
        : mask_(maskOf(b, n)), prefix_(Pimbo::Util::reverse(b) & mask_) {}
    // The prefix of the bucket that hash's order key r lies in (b = bucketOf(hash, n)): r's own
    // top bits, so the bucket need not be reversed again.
    [[gnu::always_inline]] static constexpr BucketPrefix ofOrderKey(uint32_t r, uint32_t b,
                                                                    uint32_t n) {
        BucketPrefix p;
        p.mask_ = maskOf(b, n);
        p.prefix_ = r & p.mask_;
        return p;
    }
    constexpr bool holds(uint32_t rhash) const { return (rhash & mask_) == prefix_; }

  private:
    constexpr BucketPrefix() = default;
    static constexpr uint32_t maskOf(uint32_t b, uint32_t n) {
        const uint32_t bits = uint32_t(__builtin_ctz(n < 2 ? 1 : n)) - (b < n / 2 ? 1 : 0);
        return bits == 0 ? 0 : ~0u << (32 - bits);
    }

    uint32_t mask_ = 0;
    uint32_t prefix_ = 0;
};

// The low `bits` bits of v (below 2^bits) in reverse order (bits in 1..31). It maps a bucket to
// its place in bucket order, and a place back to its bucket.
constexpr uint32_t reverseLow(uint32_t v, uint32_t bits) {
    return Pimbo::Util::reverse(v) >> (32 - bits);
}

// The successor of bucket b in bit-reversed bucket order over 2^bits buckets (the bucket whose
// reversed index is one greater); the last bucket's successor is 0. 0xFFFFFFFF for bits outside
// 1..31.
constexpr uint32_t bitReversePermute(uint32_t b, uint32_t bits) {
    if (bits < 1 || bits > 31)
        return 0xFFFFFFFF;
    const uint32_t mask = (1u << bits) - 1;
    return reverseLow((reverseLow(b & mask, bits) + 1) & mask, bits);
}

// Whether nb is bitReversePermute(b, bits) (bits in 1..31), from the two buckets' order keys
// rb = reverse(b) and rnb = reverse(nb): the successor's order key is b's, cut to its top `bits`
// bits, plus one step of 2^(32 - bits) (the last bucket's wraps round to bucket 0's). A walk that
// has both order keys at hand decides it without reversing anything again.
constexpr bool followsInOrder(uint32_t rb, uint32_t rnb, uint32_t bits) {
    return rnb == (rb & (~0u << (32 - bits))) + (1u << (32 - bits));
}

// The bucket of an order key among 2^bits buckets numbered in list order (bits in 1..31).
constexpr uint32_t orderedBucketOf(uint32_t rhash, uint32_t bits) {
    return rhash >> (32 - bits);
}

}  // namespace VeskCore
