#include "Orlo/Alloc.h"

#include "Orlo/Text.h"
#include "Pimbo/Assert.h"

#include <mutex>
#include <new>

namespace Orlo {

namespace {

struct TrackerList {
    std::mutex mutex;
    AllocTrackTypeInfo* head = nullptr;
    AllocTrackTypeInfo* tail = nullptr;
};

TrackerList& trackerList() {
    static TrackerList* list = new TrackerList;  // never destroyed: objects die during exit
    return *list;
}

}  // namespace

void* orloMemAlloc(size_t size) {
    return ::operator new(size == 0 ? 1 : size);
}

void orloMemFree(void* p) noexcept {
    ::operator delete(p);
}

void AllocTrackTypeInfo::trackAllocation(AllocTrackTypeInfo& tracker, const std::type_info& type,
                                         size_t size) {
    const std::type_info* bound = tracker.type_.load(std::memory_order_acquire);
    if (bound == nullptr) {
        TrackerList& list = trackerList();
        std::lock_guard<std::mutex> lock(list.mutex);
        bound = tracker.type_.load(std::memory_order_relaxed);
        if (bound == nullptr) {
            tracker.size_.store(size, std::memory_order_relaxed);
            if (list.tail != nullptr) {
                list.tail->next_ = &tracker;
            } else {
                list.head = &tracker;
            }
            list.tail = &tracker;
            tracker.type_.store(&type, std::memory_order_release);
            bound = &type;
        }
    }
    if (*bound != type) {
        PIMBO_ASSERT_FAIL("AllocTrackTypeInfo",
                          "the allocation tracker of {} at {} was asked to record a {}; each type "
                          "needs its own tracker",
                          demangleStdString(bound->name()), static_cast<const void*>(&tracker),
                          demangleStdString(type.name()));
    }
    tracker.allocations_.fetch_add(1, std::memory_order_relaxed);
    tracker.live_.fetch_add(1, std::memory_order_relaxed);
}

void AllocTrackTypeInfo::trackDeallocation(AllocTrackTypeInfo& tracker) {
    const std::type_info* bound = tracker.type_.load(std::memory_order_acquire);
    if (bound == nullptr) {
        PIMBO_ASSERT_FAIL("AllocTrackTypeInfo",
                          "deallocation recorded with the tracker at {}, which never recorded an "
                          "allocation; the object was allocated without tracking or with "
                          "another type's tracker",
                          static_cast<const void*>(&tracker));
    }
    const uint64_t before = tracker.live_.fetch_sub(1, std::memory_order_relaxed);
    if (before == 0) {
        PIMBO_ASSERT_FAIL("AllocTrackTypeInfo",
                          "more deallocations than allocations of {} ({} allocated); an object "
                          "was freed twice",
                          demangleStdString(bound->name()),
                          tracker.allocations_.load(std::memory_order_relaxed));
    }
}

std::string AllocTrackTypeInfo::typeName() const {
    const std::type_info* bound = type_.load(std::memory_order_acquire);
    return bound == nullptr ? std::string() : demangleStdString(bound->name());
}

uint64_t AllocTrackTypeInfo::liveCount(const std::type_info& type) {
    TrackerList& list = trackerList();
    std::lock_guard<std::mutex> lock(list.mutex);
    uint64_t n = 0;
    for (const AllocTrackTypeInfo* t = list.head; t != nullptr; t = t->next_) {
        if (*t->type_.load(std::memory_order_relaxed) == type) {
            n += t->live();
        }
    }
    return n;
}

std::vector<AllocTrackTypeInfo::Stats> AllocTrackTypeInfo::snapshot() {
    TrackerList& list = trackerList();
    std::lock_guard<std::mutex> lock(list.mutex);
    std::vector<Stats> out;
    for (const AllocTrackTypeInfo* t = list.head; t != nullptr; t = t->next_) {
        const uint64_t live = t->live();
        out.push_back(Stats{t->typeName(), live, t->allocations(),
                            live * t->size_.load(std::memory_order_relaxed)});
    }
    return out;
}

}  // namespace Orlo
