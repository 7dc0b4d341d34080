// The bucket file ("buckets") of a table: a 24-byte header and one SlotLink per bucket.
//
//   offset 0   8  magic "VESK_BKT"
//   offset 8   4  version (1)
//   offset 12  4  cinder id of the writer generation that formatted the file
//   offset 16  8  numBuckets as a VersionedRef<uint32_t> (version at 16, value at 20)
//   offset 24     bucket b at 24 + 8 x b
//
// Concurrency contract:
//  1. Only the writer (BucketWriter) changes the file; readers (BucketReader) map it read-only.
//  2. The writer's hash map publishes numBuckets (P8, P9 of doc/file-format.md); this class
//     maps, sizes and formats the file (P12) and never shortens it while readers map it (P10).
#pragma once

#include "Mem/VersionedRef.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderId.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "VeskBase/AttachFailure.h"
#include "VeskBase/SlotLink.h"
#include "VeskBase/SplitOrder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace VeskCore {

template <class Link>
struct BucketTable {
    struct Header {
        static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'B', 'K', 'T'};
        static constexpr uint32_t kVersion = 1;

        char magic[8];
        uint32_t version;
        uint32_t cinder;
        Mem::VersionedRef<uint32_t> numBuckets;

        Link* buckets() { return reinterpret_cast<Link*>(this + 1); }
        const Link* buckets() const { return reinterpret_cast<const Link*>(this + 1); }

        // "magic:{:#x} version:{} cinder:{} numBuckets:{}"
        std::string toString() const;
    };
    static_assert(sizeof(Header) == 24);
    static_assert(std::is_standard_layout_v<Header>);
    static_assert(offsetof(Header, version) == 8);
    static_assert(offsetof(Header, cinder) == 12);
    static_assert(offsetof(Header, numBuckets) == 16);

    static constexpr uint32_t kInitialBuckets = kMinBuckets;
    static constexpr uint32_t kMaxBuckets = VeskCore::kMaxBuckets;

    // The bucket count a table expecting `records` records starts with: the smallest power of
    // two at or above it, within [kInitialBuckets, kMaxBuckets]. The buckets double only once
    // the records outnumber them, so filling that many never grows the file.
    static uint32_t bucketsFor(uint32_t records) {
        uint32_t n = kInitialBuckets;
        while (n < records && n < kMaxBuckets)
            n *= 2;
        return n;
    }
    static uint64_t fileSize(uint32_t numBuckets) {
        return sizeof(Header) + uint64_t(numBuckets) * sizeof(Link);
    }
    // Checks a header and the file size it needs: none, or why the file cannot be used
    // (notATable, otherVersion, otherGeneration, corrupt) with the text in `reason`.
    static Vesk::AttachFailure validateHeader(const Header& h, uint64_t fileSize,
                                              Plinth::CinderId wanted, std::string& reason);
};

using BucketHeader = BucketTable<Vesk::SlotLink>::Header;

// The writer's side of the bucket file.
template <class Link>
class BucketWriter : public Pimbo::Debuggable {
  public:
    using Header = typename BucketTable<Link>::Header;

    // A new or re-formatted file starts with initialBuckets buckets (a power of two, at least
    // kInitialBuckets: BucketTable::bucketsFor).
    BucketWriter(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath, bool local,
                 uint32_t initialBuckets = BucketTable<Link>::kInitialBuckets);

    // Maps the file and reuses it (2) when its header is sound and carries cinderId, whatever
    // its bucket count, formats a new file (1), or re-formats an existing one (4). Throws
    // Pimbo::InvalidInitializeException when the file cannot be mapped.
    uint32_t attach(Plinth::CinderId cinderId);
    void detach();
    bool attached() const { return header_ != nullptr; }

    // Re-maps the file for n buckets and takes n as the local count; entries below
    // min(old, new) keep their values. Throws Pimbo::MemoryResourceException on failure.
    void resize(uint32_t n);

    bool validate(Plinth::CinderId cinderId, std::string& reason);
    // The file exists and is at least as long as its header announces.
    bool validateFile();
    // Detaches and removes the file; false when it is there and stays.
    bool cleanup();

    Link* operator[](uint32_t b) {
        if (b >= numBuckets_) [[unlikely]]
            outOfRange(b);
        return header_->buckets() + b;
    }
    Header* header() { return header_; }
    uint32_t numBuckets() const { return numBuckets_; }
    uint32_t initialBuckets() const { return initialBuckets_; }
    uint32_t bucketBits() const { return bucketBits_; }
    uint64_t fileSize() { return region_.memSize(); }
    const std::string& fileName() const { return region_.getFilename(); }
    uint64_t remaps() const { return remaps_; }
    std::string toString() const;

  private:
    [[noreturn]] void outOfRange(uint32_t b) const;
    void format(Plinth::CinderId cinderId, uint32_t oldVersion);
    void setCount(uint32_t n);

    Mem::PlinthWrapper region_;
    Header* header_ = nullptr;
    uint32_t initialBuckets_;
    uint32_t numBuckets_ = 0;
    uint32_t bucketBits_ = 0;
    uint64_t remaps_ = 0;
};

extern template struct BucketTable<Vesk::SlotLink>;
extern template class BucketWriter<Vesk::SlotLink>;

}  // namespace VeskCore
