// Nebo::Local<T>: a growable array of small values in this process's own memory.
//
// The elements lie as consecutive T in a Mem::Local region (an anonymous mapping by default,
// so its room is rounded up to a page). push grows the region by growthFactor; capacityIs sets
// the number of elements exactly, new ones default (zero). Nothing is shared with other
// processes. The writer's validation keeps its per-slot marks in a Local<bool>.
//
// Invariants:
//   1. members() <= capacity, and data() has room for capacity elements.
//   2. A failed growth throws Pimbo::MemoryResourceException "n:{} unable to resize" and leaves
//      the store as it was: the region keeps its old memory, so data() and every element stay
//      valid.
//
// A store belongs to one thread; it takes no locks.
#pragma once

#include "Mem/Local.h"
#include "Mem/Util.h"
#include "Nebo/Interface.h"
#include "Orlo/Text.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace Nebo {

template <class T>
class Local : public Interface<T>, public Pimbo::Debuggable {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved bytewise by the region");

  public:
    // Empty, with room for at least one element.
    Local() : Local(Unsized{}) { doResize(1); }
    // n elements of value v (no memory at all when n is 0).
    Local(unsigned n, const T& v) : Local(Unsized{}) {
        if (n > 0) {
            doResize(n);
            for (unsigned i = 0; i < n; ++i) {
                data_[i] = v;
            }
        }
        size_ = n;
    }

    const T* data() const override { return data_; }
    T* data() override { return data_; }
    RootPath rootPath() const override { return rootPath_; }
    uint32_t mode() const override { return 0; }
    Plinth::CinderId cinderId() const override { return Plinth::CinderId(); }
    uint32_t mountStatus() const override { return 0; }

    void push(const T& value) override {
        if (size_ == capacity_) {
            doResize(grownCapacity());
        }
        data_[size_] = value;
        ++size_;
    }
    void pop() override {
        if (size_ == 0) {
            PIMBO_FAIL("pop on an empty store (capacity:{})", capacity_);
        }
        --size_;
    }
    T get(unsigned i) const override { return i < size_ ? data_[i] : T{}; }
    T* get(unsigned i) override { return data_ + i; }
    void write(unsigned i, const T& value) override {
        if (i >= size_) {
            PIMBO_THROW(Pimbo::OutOfRangeException, "index:{} out-of-range, size:{}", i, size_);
        }
        data_[i] = value;
    }
    T front() const override { return size_ == 0 ? T{} : data_[0]; }
    T back() const override { return size_ == 0 ? T{} : data_[size_ - 1]; }
    uint32_t members() const override { return size_; }
    void capacityIs(unsigned n) override {
        if (n >= size_) {
            if (n > capacity_) {
                doResize(n);
            }
            for (unsigned i = size_; i < n; ++i) {
                data_[i] = T{};
            }
        }
        size_ = n;
    }

    // Elements the region holds room for now.
    uint32_t capacity() const { return capacity_; }
    float growthFactor() const { return growthFactor_; }
    // Heap (true) or anonymous mapping (false) for the elements; the contents move along.
    void useHeapIs(bool useHeap) {
        region_.useHeapIs(useHeap);
        if (region_.attached()) {
            adoptRegion(region_.base());
        }
    }

  private:
    struct Unsized {};
    // The common part of the constructors: trace part, root path and region, nothing sized.
    explicit Local(Unsized)
        : Pimbo::Debuggable(Pimbo::Platform::getDebugHandler(traceName()), traceName()),
          rootPath_(debugHandler(), "/var/shmem", Mem::RootPath::COMMON_PREFIX,
                    fmt::format("{}/{}", "", ""), false) {}

    static std::string traceName() { return "Nebo::Local<" + Orlo::demangledName<T>() + ">"; }

    // Takes the region's memory at `p` (its current base) as the elements.
    void adoptRegion(void* p) {
        data_ = static_cast<T*>(p);
        const uint64_t room = region_.size() / sizeof(T);
        capacity_ = room > std::numeric_limits<uint32_t>::max()
                        ? std::numeric_limits<uint32_t>::max()
                        : uint32_t(room);
    }

    // The next capacity of a full store: size x growthFactor in single precision, rounded up,
    // and always at least one element more.
    uint32_t grownCapacity() const {
        if (size_ == std::numeric_limits<uint32_t>::max()) {
            PIMBO_THROW(Pimbo::MemoryResourceException, "n:{} unable to resize",
                        uint64_t(size_) + 1);
        }
        const float product = std::ceil(float(size_) * growthFactor_);
        uint64_t n =
            product >= 4294967295.0f ? std::numeric_limits<uint32_t>::max() : uint64_t(product);
        if (n <= size_) {
            n = uint64_t(size_) + 1;
        }
        return uint32_t(n);
    }

    void doResize(unsigned n) {
        void* p = region_.resize(Mem::multiplyOverflowCheck(n, sizeof(T)));
        if (p == nullptr) {
            PIMBO_TRACE_TO(debugHandler(), "Local", 0, "n:{} unable to resize: {}", n,
                           region_.errorText());
            PIMBO_THROW(Pimbo::MemoryResourceException, "n:{} unable to resize", n);
        }
        adoptRegion(p);
    }

    uint32_t capacity_ = 0;
    uint32_t size_ = 0;
    float growthFactor_ = 2.0f;
    RootPath rootPath_;
    Mem::Local region_;
    T* data_ = nullptr;
};

extern template class Local<bool>;

}  // namespace Nebo
