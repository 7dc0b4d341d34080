#include "Mem/MappingRegistry.h"

#include <algorithm>
#include <atomic>

namespace Mem::MappingRegistry {
namespace {

constexpr uint64_t kFree = 0;
constexpr uint64_t kClaimed = 1;

struct Entry {
    std::atomic<uint64_t> stamp{kFree};  // kFree, kClaimed, or the stamp it was published with
    std::atomic<uintptr_t> start{0};
    std::atomic<uint64_t> length{0};
    std::atomic<char> path[kPathSize] = {};
};

Entry entries[kCapacity];
std::atomic<uint64_t> nextStamp{kClaimed + 1};

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<char>::is_always_lock_free,
              "find runs in signal handlers");

}  // namespace

void add(const void* base, uint64_t length, const std::string& path) noexcept {
    for (Entry& e : entries) {
        uint64_t expected = kFree;
        if (!e.stamp.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire))
            continue;
        e.start.store(reinterpret_cast<uintptr_t>(base), std::memory_order_relaxed);
        e.length.store(length, std::memory_order_relaxed);
        const size_t n = std::min(path.size(), kPathSize - 1);
        for (size_t i = 0; i < kPathSize; ++i)
            e.path[i].store(i < n ? path[i] : '\0', std::memory_order_relaxed);
        // Release: a find that sees the stamp sees the range and the path (invariant 1).
        e.stamp.store(nextStamp.fetch_add(1, std::memory_order_relaxed), std::memory_order_release);
        return;
    }
}

void remove(const void* base) noexcept {
    const uintptr_t start = reinterpret_cast<uintptr_t>(base);
    for (Entry& e : entries) {
        if (e.stamp.load(std::memory_order_acquire) > kClaimed &&
            e.start.load(std::memory_order_relaxed) == start) {
            e.stamp.store(kFree, std::memory_order_release);
            return;
        }
    }
}

bool find(const void* addr, char* out, size_t size) noexcept {
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    for (Entry& e : entries) {
        const uint64_t stamp = e.stamp.load(std::memory_order_acquire);
        if (stamp <= kClaimed)
            continue;
        const uintptr_t start = e.start.load(std::memory_order_relaxed);
        if (a < start || a - start >= e.length.load(std::memory_order_relaxed) || size == 0)
            continue;
        size_t i = 0;
        for (; i + 1 < size && i < kPathSize; ++i) {
            out[i] = e.path[i].load(std::memory_order_relaxed);
            if (out[i] == '\0')
                break;
        }
        out[std::min(i, size - 1)] = '\0';
        // The copies above are ordered before the re-load of the stamp.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (e.stamp.load(std::memory_order_relaxed) == stamp)
            return true;
    }
    return false;
}

}  // namespace Mem::MappingRegistry
