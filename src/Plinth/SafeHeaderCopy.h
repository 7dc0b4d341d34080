// Reader-side helpers for copying shared-memory words that a writer in another process keeps
// changing: a polite spin for retry loops, and a consistent copy of a file header.
//
// Who may call what: any reader process, on memory it maps read-only. Nothing here stores into
// shared memory.
//
// What a copy guarantees: safeHeaderCopy returns a private copy whose bytes were all read while
// the header's versioned count (numSlots of a slot file, numBuckets of a bucket file) kept one
// version. The writer publishes a new count with one 8-byte release store (Mem::VersionedRef)
// after the fields that belong to it, and moves the version on every change (P7, P9 of
// doc/file-format.md), so a copy bracketed by two equal versions never mixes two resizes (P13).
// Fields the writer changes without touching the version (counts, the free-list head) are hints in
// the copy, never trusted for addressing.
#pragma once

#include "Mem/Atomic.h"
#include "Mem/VersionedRef.h"
#include "Plinth/PlinthWrapper.h"

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Mem {

// One pass of a spin that waits for another process: tells the processor this is a busy-wait
// loop (saves power, and frees the pipeline for a sibling hyper-thread).
inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Copies `bytes` (a multiple of 8, both ends 8-aligned) of the live header at `live` into
// `copy` so that every byte belongs to one version of the count at `count` (which lies inside
// the header). Returns the region's memSize() read inside the same window, so the caller can
// compare the copy's counts with the real file size.
//
// There is no retry limit: each further pass is caused by one step of the writer, which
// publishes a new version at most twice per resize (a shrink: once before its moves, once
// after).
inline uint64_t safeHeaderCopy(const void* live, void* copy, size_t bytes,
                               const VersionedRef<uint32_t>* count, const PlinthWrapper& region) {
    // Acquire: the fields the writer stored before publishing this version are visible.
    uint32_t version = VersionedRef<uint32_t>::load(count).version;
    for (;;) {
        // Word by word with relaxed 8-byte loads; memcpy into the copy, whatever its type.
        for (size_t i = 0; i < bytes / 8; ++i) {
            const uint64_t word = loadRelaxed64(static_cast<const char*>(live) + 8 * i);
            std::memcpy(static_cast<char*>(copy) + 8 * i, &word, 8);
        }
        const uint64_t size = region.memSize();
        // The copy's loads are ordered before the re-load of the version.
        readFence();
        const uint32_t now = VersionedRef<uint32_t>::load(count).version;
        if (now == version)
            return size;
        version = now;
        spinPause();
    }
}

}  // namespace Mem
