// Mem::Local: a region of this process's own memory that can grow and shrink.
//
// A region is either an anonymous private mapping (the default; its size is rounded up to whole
// pages) or heap memory from malloc/realloc (useHeapIs(true); its size is exactly what was
// asked). Nothing is shared with other processes: a table in local mode and the private stores
// of readers and validators keep their data here.
//
// Contract (one owning thread; no locks):
//   1. attach and resize never hand out fewer than kMinSize bytes, so a store that grows from
//      empty (a request for 0 bytes) still has room for its first element.
//   2. resize keeps the contents up to the smaller of the old and the new size; bytes beyond the
//      old size read as zero. The base may move.
//   3. A failed attach or resize returns null, sets errorText() and leaves the region exactly as
//      it was (a failed resize keeps the old memory and its contents).
//   4. Every region stays below maxMappingSize(); larger requests fail.
#pragma once

#include "Pimbo/Debuggable.h"

#include <cstdint>
#include <string>

namespace Mem {

class Local : public Pimbo::Debuggable {
  public:
    // Memory kinds, as errors and traces name them.
    static constexpr const char* HEAP = "heap";
    static constexpr const char* ANONYMOUS = "anonymous";
    // The least room a region ever has: one element of the widest store word.
    static constexpr uint64_t kMinSize = 8;

    Local();
    ~Local();
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    // The moved-from region is left detached.
    Local(Local&& other) noexcept;
    Local& operator=(Local&& other) noexcept;

    // Heap (true) or anonymous mapping (false). While attached the contents move to the new kind
    // of memory; if that allocation fails the region keeps its old memory and kind.
    void useHeapIs(bool useHeap);
    bool useHeap() const { return useHeap_; }
    // HEAP or ANONYMOUS: the kind the region uses now.
    const char* kind() const { return useHeap_ ? HEAP : ANONYMOUS; }

    // Gives a detached region its minimum room, so that base() is usable at once. No-op while
    // attached. Returns the base, or null (errorText() set) when no memory could be had.
    void* enable();

    // Fresh memory of at least `size` bytes, all zero; an attached region is detached first.
    void* attach(uint64_t size);
    // Re-sizes the region (attaching it when detached); see the contract above.
    void* resize(uint64_t size);
    // Releases the memory. Harmless when detached.
    void detach();

    bool attached() const { return base_ != nullptr; }
    void* base() const { return base_; }
    // Usable bytes at base(): the request rounded up to kMinSize, and to a page for mappings.
    uint64_t size() const { return size_; }
    uint64_t mappedSize() const { return size_; }
    // The last error, naming the memory kind, the sizes and the reason.
    const std::string& errorText() const { return errorText_; }

    // Every region stays strictly below this size (1 TiB).
    static uint64_t maxMappingSize() { return uint64_t(1) << 40; }

  private:
    // Bytes actually held for a request of `size` bytes in the current kind.
    uint64_t roundedSize(uint64_t size) const;
    bool checkRequest(const char* operation, uint64_t size);
    void* allocate(bool heap, uint64_t bytes);
    void release(bool heap, void* p, uint64_t bytes);

    void* base_ = nullptr;
    uint64_t size_ = 0;
    bool useHeap_ = false;
    std::string errorText_;
};

}  // namespace Mem
