// VersionedRef<uint32_t>: a (u32 version, u32 value) pair stored and loaded as one aligned
// 8-byte word. Lives in shared memory (numSlots, numBuckets). The writer moves the version on
// every change of the value, by the steps of the word's own rule (numSlots: P7 of
// doc/file-format.md, grows by 2 or by 1 twice; numBuckets: P9, grows by 1), so a reader that
// compares versions knows whether the value changed under it.
#pragma once

#include "Mem/Atomic.h"

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace Mem {

template <class T>
struct VersionedRef;

template <>
struct alignas(8) VersionedRef<uint32_t> {
    uint32_t version = 0;  // little-endian: low half of the 8-byte word
    uint32_t value = 0;

    uint64_t packed() const { return uint64_t(version) | (uint64_t(value) << 32); }
    static VersionedRef fromPacked(uint64_t w) {
        return VersionedRef{uint32_t(w), uint32_t(w >> 32)};
    }

    // Reader side: one acquire load of both halves.
    static VersionedRef load(const VersionedRef* p) { return fromPacked(loadAcquire64(p)); }
    // Writer side: one release store of both halves.
    static void publish(VersionedRef* p, VersionedRef v) { storeRelease64(p, v.packed()); }

    // "{:#x}:{}" of version and value.
    std::string toString() const { return fmt::format("{:#x}:{}", version, value); }

    friend bool operator==(const VersionedRef&, const VersionedRef&) = default;
};

static_assert(sizeof(VersionedRef<uint32_t>) == 8);
static_assert(std::is_standard_layout_v<VersionedRef<uint32_t>>);
static_assert(offsetof(VersionedRef<uint32_t>, version) == 0);
static_assert(offsetof(VersionedRef<uint32_t>, value) == 4);

}  // namespace Mem
