#include "VeskBase/BucketTable.h"

#include "Mem/Atomic.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Util.h"

#include <unistd.h>
#include <algorithm>
#include <cstring>

namespace VeskCore {

using Vesk::AttachFailure;

template <class Link>
std::string BucketTable<Link>::Header::toString() const {
    uint64_t m = 0;
    std::memcpy(&m, magic, sizeof(m));
    const auto count = Mem::VersionedRef<uint32_t>::load(&numBuckets);
    return fmt::format("magic:{:#x} version:{} cinder:{} numBuckets:{}", m, version,
                       Plinth::CinderId(cinder), count);
}

template <class Link>
AttachFailure BucketTable<Link>::validateHeader(const Header& h, uint64_t fileSize,
                                                Plinth::CinderId wanted, std::string& reason) {
    if (std::memcmp(h.magic, Header::kMagic, sizeof(h.magic)) != 0) {
        uint64_t m = 0;
        std::memcpy(&m, h.magic, sizeof(m));
        reason = fmt::format("bad bucket magic: {:x}", m);
        return AttachFailure::notATable;
    }
    if (h.version != Header::kVersion) {
        reason = fmt::format("bad bucket version: {}", h.version);
        return AttachFailure::otherVersion;
    }
    if (!wanted.isNone() && wanted.value != h.cinder) {
        reason = fmt::format("bad bucket cinder:{} wanted:{}", Plinth::CinderId(h.cinder), wanted);
        return AttachFailure::otherGeneration;
    }
    const uint32_t n = h.numBuckets.value;
    if (!validBucketCount(n)) {
        reason = fmt::format("bad numBuckets: {}", h.numBuckets);
        return AttachFailure::corrupt;
    }
    if (fileSize < BucketTable::fileSize(n)) {
        reason = fmt::format("bad bucket file size:{} wanted:{} for {} buckets", fileSize,
                             BucketTable::fileSize(n), n);
        return AttachFailure::corrupt;
    }
    return AttachFailure::none;
}

template <class Link>
BucketWriter<Link>::BucketWriter(Pimbo::Platform::DebugHandler& handler,
                                 const Vesk::RootPath& rootPath, bool local,
                                 uint32_t initialBuckets)
    : Pimbo::Debuggable(handler, "BucketWriter"),
      region_(handler, rootPath, "buckets", local),
      initialBuckets_(BucketTable<Link>::bucketsFor(initialBuckets)) {}

template <class Link>
void BucketWriter<Link>::setCount(uint32_t n) {
    numBuckets_ = n;
    bucketBits_ = 0;
    while ((1u << bucketBits_) < n)
        ++bucketBits_;
}

template <class Link>
void BucketWriter<Link>::outOfRange(uint32_t b) const {
    PIMBO_THROW(Pimbo::CorruptionDetectedException, "out-of-range, index:{} max:{}", b,
                int64_t(numBuckets_) - 1);
}

template <class Link>
uint32_t BucketWriter<Link>::attach(Plinth::CinderId cinderId) {
    detach();
    const uint64_t existing = region_.memSize();
    const uint64_t initial = BucketTable<Link>::fileSize(BucketTable<Link>::kInitialBuckets);
    void* base = region_.attach(initial, 0);
    if (base == nullptr) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot attach to shmem {} size:{}: {}",
                    region_.getFilename(), initial, region_.errorText());
    }
    header_ = static_cast<Header*>(base);
    uint32_t oldVersion = 0;
    if (existing >= sizeof(Header)) {
        Header copy;
        Mem::copyRelaxed(&copy, header_, sizeof(copy));
        std::string reason;
        if (BucketTable<Link>::validateHeader(copy, existing, cinderId, reason) ==
            Vesk::AttachFailure::none) {
            const uint32_t n = copy.numBuckets.value;
            resize(n);
            PIMBO_TRACE(2, "to existing {} numBuckets:{}", region_.getFilename(), n);
            return 2;
        }
        PIMBO_TRACE(1, "re-formatting {}: {}", region_.getFilename(), reason);
        oldVersion = copy.numBuckets.version + 1;
    }
    format(cinderId, oldVersion);
    if (existing != 0) {
        PIMBO_TRACE(1, "re-formatted {}", region_.getFilename());
        return 4;
    }
    PIMBO_TRACE(2, "to new file {}", region_.getFilename());
    return 1;
}

template <class Link>
void BucketWriter<Link>::format(Plinth::CinderId cinderId, uint32_t oldVersion) {
    const uint32_t n = initialBuckets_;
    resize(n);
    // A re-format keeps the file length; blocks beyond the new count are released.
    region_.punchHole(BucketTable<Link>::fileSize(n));
    for (uint32_t b = 0; b < n; ++b) {
        const uint32_t succ = bitReversePermute(b, bucketBits_);
        Vesk::publishLink(header_->buckets() + b, b == n - 1
                                                      ? Vesk::SlotLink::kEnd
                                                      : (Vesk::SlotLink::kBucketMarker | succ));
    }
    // The header after the entries, built in private memory and stored through the named stores:
    // readers of the old generation may have it mapped. They see the cinder id change first and
    // numBuckets (a new version) last (P12 of doc/file-format.md).
    Header h{};
    std::memcpy(h.magic, Header::kMagic, sizeof(h.magic));
    h.version = Header::kVersion;
    h.cinder = cinderId.value;
    Mem::storeRelease32(&header_->cinder, h.cinder);
    Mem::storeRelaxedCopy(header_, &h, offsetof(Header, numBuckets));
    Mem::VersionedRef<uint32_t>::publish(&header_->numBuckets,
                                         Mem::VersionedRef<uint32_t>{oldVersion, n});
}

template <class Link>
void BucketWriter<Link>::resize(uint32_t n) {
    const uint32_t old = numBuckets_;
    const uint64_t size = BucketTable<Link>::fileSize(n);
    void* oldBase = header_;
    void* base = region_.resize(size);
    if (base == nullptr) {
        PIMBO_THROW(Pimbo::MemoryResourceException,
                    "failed to resize {} from {} to {} buckets, needed {} bytes. Reason: {}",
                    region_.getFilename(), old, n, size, region_.errorText());
    }
    if (base != oldBase)
        ++remaps_;
    header_ = static_cast<Header*>(base);
    if (n < old)
        region_.punchHole(size);
    setCount(n);
}

template <class Link>
void BucketWriter<Link>::detach() {
    if (header_ == nullptr)
        return;
    region_.detach();
    header_ = nullptr;
    numBuckets_ = 0;
    bucketBits_ = 0;
}

template <class Link>
bool BucketWriter<Link>::validate(Plinth::CinderId cinderId, std::string& reason) {
    if (header_ == nullptr) {
        reason = fmt::format("bucket file {} not attached", region_.getFilename());
        return false;
    }
    Header copy;
    Mem::copyRelaxed(&copy, header_, sizeof(copy));
    if (BucketTable<Link>::validateHeader(copy, region_.memSize(), cinderId, reason) !=
        Vesk::AttachFailure::none)
        return false;
    if (copy.numBuckets.value != numBuckets_) {
        reason = fmt::format("bad numBuckets: {} mapped:{}", copy.numBuckets, numBuckets_);
        return false;
    }
    return true;
}

template <class Link>
bool BucketWriter<Link>::validateFile() {
    if (header_ == nullptr)
        return false;
    std::string reason;
    Header copy;
    Mem::copyRelaxed(&copy, header_, sizeof(copy));
    const bool ok = BucketTable<Link>::validateHeader(copy, region_.memSize(), Plinth::CinderId(),
                                                      reason) == Vesk::AttachFailure::none;
    if (!ok)
        PIMBO_TRACE(0, "{}: {}", region_.getFilename(), reason);
    return ok;
}

template <class Link>
bool BucketWriter<Link>::cleanup() {
    detach();
    PIMBO_TRACE(3, "removing file: {}", region_.getFilename());
    return region_.remove();
}

template <class Link>
std::string BucketWriter<Link>::toString() const {
    if (header_ == nullptr)
        return fmt::format("{} detached", region_.getFilename());
    return header_->toString();
}

template struct BucketTable<Vesk::SlotLink>;
template class BucketWriter<Vesk::SlotLink>;

}  // namespace VeskCore
