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

// The successor of bucket b in bit-reversed bucket order over 2^bits buckets (the bucket whose
// reversed index is one greater); the last bucket's successor is 0. 0xFFFFFFFF for bits outside
// 1..31.
constexpr uint32_t bitReversePermute(uint32_t b, uint32_t bits) {
    if (bits < 1 || bits > 31)
        return 0xFFFFFFFF;
    const uint32_t mask = (1u << bits) - 1;
    const uint32_t reversed = Pimbo::Util::reverse(b & mask) >> (32 - bits);
    const uint32_t successor = (reversed + 1) & mask;
    return Pimbo::Util::reverse(successor) >> (32 - bits);
}

// The bucket of an order key among 2^bits buckets numbered in list order (bits in 1..31).
constexpr uint32_t orderedBucketOf(uint32_t rhash, uint32_t bits) {
    return rhash >> (32 - bits);
}

}  // namespace VeskCore
