// Named accessors for words that another process reads or writes concurrently.
//
// Shared-memory words are never touched with plain loads or stores where a concurrent process
// may be involved. The writer publishes with release stores; readers load with acquire, and a
// seqlock-style copy (copyRelaxed between two acquire loads of a sequence word, with an acquire
// fence before the re-load) reads a record without tearing it.
//
// Every pointer passed here must be naturally aligned for its width.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Mem {

namespace Detail {
template <class T>
inline std::atomic_ref<T> ref(const void* p) {
    return std::atomic_ref<T>(*static_cast<T*>(const_cast<void*>(p)));
}
}  // namespace Detail

// Pairs with storeRelease64 of the writer: everything written before that store is visible.
inline uint64_t loadAcquire64(const void* p) {
    return Detail::ref<uint64_t>(p).load(std::memory_order_acquire);
}
inline uint64_t loadRelaxed64(const void* p) {
    return Detail::ref<uint64_t>(p).load(std::memory_order_relaxed);
}
// Publishes one 8-byte word (a link, a versioned count): all earlier stores become visible first.
inline void storeRelease64(void* p, uint64_t v) {
    Detail::ref<uint64_t>(p).store(v, std::memory_order_release);
}
inline uint32_t loadAcquire32(const void* p) {
    return Detail::ref<uint32_t>(p).load(std::memory_order_acquire);
}
inline uint32_t loadRelaxed32(const void* p) {
    return Detail::ref<uint32_t>(p).load(std::memory_order_relaxed);
}
inline void storeRelease32(void* p, uint32_t v) {
    Detail::ref<uint32_t>(p).store(v, std::memory_order_release);
}
inline void storeRelaxed32(void* p, uint32_t v) {
    Detail::ref<uint32_t>(p).store(v, std::memory_order_relaxed);
}
inline uint16_t loadRelaxed16(const void* p) {
    return Detail::ref<uint16_t>(p).load(std::memory_order_relaxed);
}
inline void storeRelaxed16(void* p, uint16_t v) {
    Detail::ref<uint16_t>(p).store(v, std::memory_order_relaxed);
}

// Copies n bytes (a multiple of 8, the source 8-aligned) with relaxed 8-byte loads, as the
// middle of a seqlock read: the caller brackets it with acquire loads of the sequence word and
// issues an acquire fence (readFence) before the second load. dst may be any object (a record):
// each word is stored into it as bytes, so the copy goes straight to where it is read from.
inline void copyRelaxed(void* dst, const void* src, size_t n) {
#pragma GCC unroll 8
    for (size_t i = 0; i < n / 8; ++i) {
        const uint64_t w = loadRelaxed64(static_cast<const uint64_t*>(src) + i);
        std::memcpy(static_cast<char*>(dst) + 8 * i, &w, 8);
    }
}

// Writes n bytes (a multiple of 8, 8-aligned) with relaxed 8-byte stores: the writer's side of a
// copy that readers may be reading at the same moment.
inline void storeRelaxedCopy(void* dst, const void* src, size_t n) {
#pragma GCC unroll 8
    for (size_t i = 0; i < n / 8; ++i) {
        uint64_t w;
        std::memcpy(&w, static_cast<const char*>(src) + 8 * i, 8);
        Detail::ref<uint64_t>(static_cast<uint64_t*>(dst) + i).store(w, std::memory_order_relaxed);
    }
}

// Zeroes n bytes (a multiple of 8, 8-aligned) with relaxed 8-byte stores: the writer clearing
// memory that readers may be reading.
inline void storeRelaxedZero(void* dst, size_t n) {
    for (size_t i = 0; i < n / 8; ++i)
        Detail::ref<uint64_t>(static_cast<uint64_t*>(dst) + i).store(0, std::memory_order_relaxed);
}

// Asks the processor to bring the cache line at p closer; reads nothing the caller sees, so a
// line that changes before it is loaded properly costs time, never correctness.
inline void prefetch(const void* p) {
    __builtin_prefetch(p, 0, 3);
}

// Orders the relaxed loads of a seqlock copy before the re-load of the sequence word.
inline void readFence() {
    std::atomic_thread_fence(std::memory_order_acquire);
}
// Orders a sequence-word store before the relaxed stores of the copy that follows it.
inline void writeFence() {
    std::atomic_thread_fence(std::memory_order_release);
}
// Orders every earlier store before every later load (the store-load order acquire and release
// do not give): each side of a handshake stores its own word, fences, then loads the other's,
// so at least one of the two sees the other's store (Ruxa/RuxaWake.h, Q7).
inline void fullFence() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace Mem
