#include "Mem/Local.h"

#include "Mem/Util.h"
#include "Pimbo/Debug.h"

#include <sys/mman.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Mem {
namespace {

uint64_t roundUpToPage(uint64_t n) {
    const uint64_t page = pageSize_;
    return (n + page - 1) / page * page;
}

}  // namespace

Local::Local() : Pimbo::Debuggable(Pimbo::Platform::getDebugHandler("Mem::Local"), "Local") {}

Local::~Local() {
    detach();
}

Local::Local(Local&& other) noexcept
    : Pimbo::Debuggable(other),
      base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      useHeap_(other.useHeap_),
      errorText_(std::move(other.errorText_)) {}

Local& Local::operator=(Local&& other) noexcept {
    if (this != &other) {
        detach();
        Pimbo::Debuggable::operator=(other);
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        useHeap_ = other.useHeap_;
        errorText_ = std::move(other.errorText_);
    }
    return *this;
}

uint64_t Local::roundedSize(uint64_t size) const {
    const uint64_t atLeast = std::max(size, kMinSize);
    return useHeap_ ? atLeast : roundUpToPage(atLeast);
}

bool Local::checkRequest(const char* operation, uint64_t size) {
    if (size >= maxMappingSize()) {
        errorText_ = fmt::format("cannot {} {} memory of {} bytes: not below the largest region {}",
                                 operation, kind(), size, maxMappingSize());
        PIMBO_TRACE(2, "{}", errorText_);
        return false;
    }
    return true;
}

void* Local::allocate(bool heap, uint64_t bytes) {
    if (heap) {
        void* p = std::malloc(bytes);
        if (p != nullptr) {
            std::memset(p, 0, bytes);
        }
        return p;
    }
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void Local::release(bool heap, void* p, uint64_t bytes) {
    if (p == nullptr) {
        return;
    }
    if (heap) {
        std::free(p);
    } else {
        ::munmap(p, bytes);
    }
}

void* Local::enable() {
    if (attached()) {
        return base_;
    }
    return attach(0);
}

void* Local::attach(uint64_t size) {
    PIMBO_TRACE(5, "size:{} elements", size);
    detach();
    if (!checkRequest("attach", size)) {
        return nullptr;
    }
    const uint64_t bytes = roundedSize(size);
    void* p = allocate(useHeap_, bytes);
    if (p == nullptr) {
        errorText_ = fmt::format("cannot attach {} memory of {} bytes: {}", kind(), bytes,
                                 std::strerror(errno));
        PIMBO_TRACE(2, "{}", errorText_);
        return nullptr;
    }
    base_ = p;
    size_ = bytes;
    return base_;
}

void* Local::resize(uint64_t size) {
    if (!attached()) {
        return attach(size);
    }
    if (!checkRequest("resize", size)) {
        return nullptr;
    }
    const uint64_t bytes = roundedSize(size);
    if (bytes == size_) {
        return base_;
    }
    PIMBO_TRACE(5, "{} memory from {} to {} bytes", kind(), size_, bytes);
    void* p = nullptr;
    if (useHeap_) {
        // realloc keeps the old block when it fails.
        p = std::realloc(base_, bytes);
        if (p != nullptr && bytes > size_) {
            std::memset(static_cast<char*>(p) + size_, 0, bytes - size_);
        }
    } else {
        // mremap keeps the old mapping when it fails; pages it adds are zero.
        p = ::mremap(base_, size_, bytes, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) {
            p = nullptr;
        }
    }
    if (p == nullptr) {
        errorText_ = fmt::format("cannot resize {} memory from {} to {} bytes: {}", kind(), size_,
                                 bytes, std::strerror(errno));
        PIMBO_TRACE(2, "{}", errorText_);
        return nullptr;
    }
    base_ = p;
    size_ = bytes;
    return base_;
}

void Local::useHeapIs(bool useHeap) {
    if (useHeap == useHeap_) {
        return;
    }
    if (!attached()) {
        useHeap_ = useHeap;
        return;
    }
    const bool oldHeap = useHeap_;
    const uint64_t oldSize = size_;
    useHeap_ = useHeap;
    const uint64_t bytes = roundedSize(oldSize);
    void* p = allocate(useHeap_, bytes);
    if (p == nullptr) {
        errorText_ = fmt::format("cannot move {} bytes to {} memory: {}", oldSize, kind(),
                                 std::strerror(errno));
        PIMBO_TRACE(2, "{}", errorText_);
        useHeap_ = oldHeap;
        return;
    }
    std::memcpy(p, base_, std::min(oldSize, bytes));
    release(oldHeap, base_, oldSize);
    base_ = p;
    size_ = bytes;
}

void Local::detach() {
    release(useHeap_, base_, size_);
    base_ = nullptr;
    size_ = 0;
}

}  // namespace Mem
