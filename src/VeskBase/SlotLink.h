// SlotLink: the 8-byte link that chains slots into buckets and into the free list, and the
// element type of the bucket file.
//
// Concurrency contract (one writer process, any number of reader processes): only the writer
// stores links (publishLink, resetLink); anyone reads them with loadLink. A link is one word as
// P1 of doc/file-format.md says, so nobody sees a half-updated (version, next) pair, and a
// reader that re-reads a link and finds the same version knows nothing was relinked there.
#pragma once

#include "Mem/Atomic.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Vesk {

struct alignas(8) SlotLink {
    // `next` with bit 31 clear: the id of the next slot. kEnd: end of the whole table (or of the
    // free list). kBucketMarker | b: end of this bucket's chain, continued by bucket b.
    static constexpr uint32_t kEnd = 0xFFFFFFFF;
    static constexpr uint32_t kBucketMarker = 0x80000000;
    static constexpr uint32_t kIdMask = 0x7FFFFFFF;

    uint32_t version = 0;
    uint32_t next = kEnd;

    static bool isSlot(uint32_t next) { return (next & kBucketMarker) == 0; }
    static bool isEnd(uint32_t next) { return next == kEnd; }
    static bool isBucketMarker(uint32_t next) { return !isSlot(next) && next != kEnd; }
    static uint32_t bucketOf(uint32_t next) { return next & kIdMask; }

    // Both halves at once: one 64-bit compare.
    friend bool operator==(const SlotLink& a, const SlotLink& b) {
        return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
    }
};

static_assert(sizeof(SlotLink) == 8);
static_assert(std::is_standard_layout_v<SlotLink>);
static_assert(offsetof(SlotLink, version) == 0);
static_assert(offsetof(SlotLink, next) == 4);

// Reads a link as one 8-byte acquire load; pairs with publishLink.
inline SlotLink loadLink(const SlotLink* link) {
    const uint64_t w = Mem::loadAcquire64(link);
    return SlotLink{uint32_t(w), uint32_t(w >> 32)};
}

// Writer only: the slot id or marker one of its links holds. Only the writer stores links, so
// its own reads need no ordering: one relaxed 4-byte load.
inline uint32_t nextOf(const SlotLink* link) {
    return Mem::loadRelaxed32(&link->next);
}

// Writer only: stores (version + 4, next) as one 8-byte release store. Everything the writer
// stored before (the slot's record, rhash, flags) is visible to a reader that loads the new link.
inline void publishLink(SlotLink* link, uint32_t next) {
    const uint64_t old = Mem::loadRelaxed64(link);
    const uint32_t version = uint32_t(old) + 4;
    Mem::storeRelease64(link, uint64_t(version) | (uint64_t(next) << 32));
}

// Writer only: a fresh link (version 0, end) for a slot being formatted.
inline void resetLink(SlotLink* link) {
    Mem::storeRelease64(link, uint64_t(0) | (uint64_t(SlotLink::kEnd) << 32));
}

}  // namespace Vesk
