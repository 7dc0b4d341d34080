// Runtime memory and the allocation tracker that counts live runtime objects per type.
//
// Objects the runtime owns (entities, collection controls) are allocated with orloMemAlloc and
// recorded with a tracker of their type; freeing un-records them first. A tracker is an object
// with static storage duration, one per type (forType<T>() gives one). Tools and tests read the
// counts through the tracker or by type.
//
// Concurrency: every count is an atomic, so allocation and freeing may happen on any thread;
// the list of trackers is guarded by a mutex taken only on a tracker's first use and by the
// readers that walk it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace Orlo {

// Storage for a runtime object of `size` bytes, aligned for any scalar; throws std::bad_alloc.
void* orloMemAlloc(size_t size);
// Frees storage from orloMemAlloc; null is ignored.
void orloMemFree(void* p) noexcept;

class AllocTrackTypeInfo {
  public:
    struct Stats {
        std::string typeName;  // demangled
        uint64_t live;         // allocated and not yet freed
        uint64_t allocations;  // ever recorded
        uint64_t bytes;        // bytes of the live objects
    };

    constexpr AllocTrackTypeInfo() = default;
    AllocTrackTypeInfo(const AllocTrackTypeInfo&) = delete;
    AllocTrackTypeInfo& operator=(const AllocTrackTypeInfo&) = delete;

    // Records one object of `type` and `size` bytes. The first call binds the tracker to the
    // type; using one tracker for two types stops the process.
    static void trackAllocation(AllocTrackTypeInfo& tracker, const std::type_info& type,
                                size_t size);
    // Un-records one object. More deallocations than allocations stop the process (a double
    // free, or an object freed by the tracker of another type).
    static void trackDeallocation(AllocTrackTypeInfo& tracker);

    // The tracker of T (one per type per process).
    template <class T>
    static AllocTrackTypeInfo& forType() {
        static AllocTrackTypeInfo tracker;
        return tracker;
    }

    uint64_t live() const { return live_.load(std::memory_order_relaxed); }
    uint64_t allocations() const { return allocations_.load(std::memory_order_relaxed); }
    // The demangled name of the tracked type; empty before the first allocation.
    std::string typeName() const;

    // Live objects of `type`, over every tracker bound to it.
    static uint64_t liveCount(const std::type_info& type);
    // One entry per tracker that has recorded something, in order of first use.
    static std::vector<Stats> snapshot();

  private:
    std::atomic<const std::type_info*> type_{nullptr};
    std::atomic<uint64_t> live_{0};
    std::atomic<uint64_t> allocations_{0};
    std::atomic<uint64_t> size_{0};       // size of one object, from the first allocation
    AllocTrackTypeInfo* next_ = nullptr;  // list of bound trackers, under the list's mutex
};

// Runtime memory for one T, recorded with T's tracker: what a class's own operator new and
// operator delete call, so that `new T` and the deleting destructor (also the one a failed
// constructor runs) keep the count right.
template <class T>
void* orloTrackedAlloc(size_t size) {
    void* p = orloMemAlloc(size);
    AllocTrackTypeInfo::trackAllocation(AllocTrackTypeInfo::forType<T>(), typeid(T), size);
    return p;
}
template <class T>
void orloTrackedFree(void* p) noexcept {
    if (p != nullptr) {
        AllocTrackTypeInfo::trackDeallocation(AllocTrackTypeInfo::forType<T>());
        orloMemFree(p);
    }
}

}  // namespace Orlo
