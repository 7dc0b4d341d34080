// Intrusive reference counting: Orlo::PtrInterface and the smart pointer Orlo::Ptr<T>.
//
// Concurrency contract:
//   - When VFPtrInterface::threadSafePointers_ is true, every change of the reference-count
//     word is one atomic read-modify-write, so Ptrs to the same object may be copied and
//     released on any number of threads at once. The flag is process-wide and is set once,
//     before any Ptr is shared between threads; it must not change while Ptrs are in use.
//   - When it is false, the word is changed with plain arithmetic and all Ptrs to an object
//     must stay on one thread.
//   - Everything else about an object (its flags included) is the owning thread's business.
//
// Invariants:
//   1. The count is (word & kCountMask); bits 29 and 31 are flags and never take part in
//      arithmetic. A count that would carry into bit 29 stops the process.
//   2. The release that takes the count from 1 to 0 is the only one that calls handleZeroRef(),
//      exactly once, on the releasing thread, after every other holder's release happened
//      before it (acquire-release on the decrement).
//   3. A release of an object whose count is already 0 stops the process: it is a double
//      release and the object may already be gone.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

namespace Orlo {

struct VFPtrInterface {
    // Process-wide choice between atomic and plain reference counting (see above).
    static inline bool threadSafePointers_ = true;
};

class PtrInterface {
  public:
    // Layout of the reference-count word.
    static constexpr uint32_t kNotificationActiveBit = 1u << 29;
    static constexpr uint32_t kReservedFlagBit = 1u << 31;
    static constexpr uint32_t kCountMask = 0x5FFFFFFFu;
    // The largest count that can be incremented without carrying into bit 29.
    static constexpr uint32_t kMaxCount = kNotificationActiveBit - 1;

    PtrInterface() noexcept = default;
    // A copy is a new object: it starts without references and without flags.
    PtrInterface(const PtrInterface&) noexcept {}
    PtrInterface& operator=(const PtrInterface&) noexcept { return *this; }
    virtual ~PtrInterface() = default;

    // Number of references held now. Exact only while no other thread changes it.
    uint32_t references() const noexcept { return loadWord() & kCountMask; }

    void newRef() const noexcept {
        const uint32_t before = addToWord(1);
        if ((before & kMaxCount) == kMaxCount) {
            countOverflow(before);
        }
    }

    void deleteRef() const noexcept {
        const uint32_t before = subtractFromWord(1);
        const uint32_t count = before & kCountMask;
        if (count == 1) {
            // The object is being released: nobody else can reach it, so it is no longer
            // treated as const.
            const_cast<PtrInterface*>(this)->handleZeroRef();
        } else if (count == 0) {
            doubleRelease(before);
        }
    }

    // Whether a notifiee wants to hear about the last reference going (flag bit 29).
    bool hasNotificationActive() const noexcept {
        return (loadWord() & kNotificationActiveBit) != 0;
    }
    void hasNotificationActiveIs(bool active) noexcept;

    // Hook told that the last reference went (true) while notification is active. Default:
    // nothing. An override may take a new reference to keep the object alive.
    virtual void zeroReferencesIs(bool) {}

  protected:
    // Called once when the count drops to zero. Default: tell zeroReferencesIs(true) when
    // notification is active; then, unless that took a new reference, delete the object. A
    // derived class overrides it to hand itself over (to a pool, a cache) instead.
    virtual void handleZeroRef();

  private:
    // Accessors of the word; each returns the value before the change. With thread-safe
    // pointers they are atomic RMWs: increments are relaxed (a holder already keeps the object
    // alive), decrements are acq_rel so the final release sees every other holder's writes
    // before handleZeroRef runs.
    uint32_t loadWord() const noexcept {
        if (VFPtrInterface::threadSafePointers_) {
            return std::atomic_ref<uint32_t>(word_).load(std::memory_order_acquire);
        }
        return word_;
    }
    uint32_t addToWord(uint32_t n) const noexcept {
        if (VFPtrInterface::threadSafePointers_) {
            return std::atomic_ref<uint32_t>(word_).fetch_add(n, std::memory_order_relaxed);
        }
        const uint32_t before = word_;
        word_ = before + n;
        return before;
    }
    uint32_t subtractFromWord(uint32_t n) const noexcept {
        if (VFPtrInterface::threadSafePointers_) {
            return std::atomic_ref<uint32_t>(word_).fetch_sub(n, std::memory_order_acq_rel);
        }
        const uint32_t before = word_;
        word_ = before - n;
        return before;
    }

    [[noreturn]] void countOverflow(uint32_t word) const noexcept;
    [[noreturn]] void doubleRelease(uint32_t word) const noexcept;

    alignas(std::atomic_ref<uint32_t>::required_alignment) mutable uint32_t word_ = 0;
};

// Intrusive smart pointer to a T derived from PtrInterface (or offering newRef/deleteRef).
// Each non-null Ptr holds one reference.
template <class T>
class Ptr {
  public:
    using element_type = T;

    constexpr Ptr() noexcept = default;
    constexpr Ptr(std::nullptr_t) noexcept {}
    Ptr(T* p) noexcept : p_(p) { acquire(); }
    Ptr(const Ptr& other) noexcept : p_(other.p_) { acquire(); }
    Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ptr(const Ptr<U>& other) noexcept : p_(other.get()) {
        acquire();
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ptr(Ptr<U>&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

    ~Ptr() {
        if (p_) {
            p_->deleteRef();
        }
    }

    // One assignment for copies, moves, raw pointers and convertible Ptrs. The old object is
    // released last, after this Ptr already holds the new one.
    Ptr& operator=(Ptr other) noexcept {
        swap(other);
        return *this;
    }

    void swap(Ptr& other) noexcept { std::swap(p_, other.p_); }
    void reset() noexcept { Ptr().swap(*this); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    template <class U>
    bool operator==(const Ptr<U>& other) const noexcept {
        return p_ == other.get();
    }
    bool operator==(std::nullptr_t) const noexcept { return p_ == nullptr; }
    // Compares with a raw pointer without making a temporary Ptr, which would take and drop a
    // reference and could delete an object that nobody holds yet.
    bool operator==(const T* other) const noexcept { return p_ == other; }
    template <class U>
    std::strong_ordering operator<=>(const Ptr<U>& other) const noexcept {
        return std::compare_three_way()(p_, other.get());
    }

  private:
    template <class U>
    friend class Ptr;

    void acquire() const noexcept {
        if (p_) {
            p_->newRef();
        }
    }

    T* p_ = nullptr;
};

}  // namespace Orlo

template <class T>
struct std::hash<Orlo::Ptr<T>> {
    std::size_t operator()(const Orlo::Ptr<T>& p) const noexcept {
        return std::hash<T*>()(p.get());
    }
};
