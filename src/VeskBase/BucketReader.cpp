#include "VeskBase/BucketReader.h"

#include "Mem/Atomic.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/SafeHeaderCopy.h"

namespace VeskCore {

template <class Link>
BucketReader<Link>::BucketReader(Pimbo::Platform::DebugHandler& handler,
                                 const Vesk::RootPath& rootPath, Vesk::Reader::Counters* counters)
    : Pimbo::Debuggable(handler, "BucketReader"),
      region_(handler, rootPath, "buckets", false),
      counters_(counters) {}

template <class Link>
void BucketReader<Link>::outOfRange(uint32_t b) const {
    PIMBO_THROW(Pimbo::CorruptionDetectedException, "out-of-range, index:{} max:{}", b,
                int64_t(local_.value) - 1);
}

template <class Link>
bool BucketReader<Link>::attach() {
    detach();
    const uint64_t existing = region_.memSize();
    if (existing < sizeof(Header)) {
        PIMBO_TRACE(0, "no bucket file {} (size:{})", region_.getFilename(), existing);
        return false;
    }
    void* base = region_.attach(sizeof(Header), Mem::PlinthWrapper::kReader);
    if (base == nullptr) {
        PIMBO_TRACE(0, "cannot attach to shmem {} size:{}: {}", region_.getFilename(),
                    sizeof(Header), region_.errorText());
        return false;
    }
    header_ = static_cast<const Header*>(base);
    try {
        doResize();
    } catch (const Pimbo::Exception& e) {
        // Only the header stays mapped; validate() reports what is wrong with it.
        PIMBO_TRACE(2, "{} buckets not mapped: {}", region_.getFilename(), e.msg());
    }
    return true;
}

template <class Link>
void BucketReader<Link>::detach() {
    if (header_ == nullptr)
        return;
    region_.detach();
    header_ = nullptr;
    local_ = Count{0, 0};
    bucketBits_ = 0;
}

template <class Link>
typename BucketReader<Link>::Header BucketReader<Link>::copyHeader() const {
    Header copy;
    Mem::safeHeaderCopy(header_, &copy, sizeof(copy), &header_->numBuckets, region_);
    return copy;
}

template <class Link>
Vesk::AttachFailure BucketReader<Link>::validate(Plinth::CinderId cinderId, std::string& reason) {
    if (header_ == nullptr) {
        reason = fmt::format("bucket file {} not attached", region_.getFilename());
        return Vesk::AttachFailure::cannotMap;
    }
    const Header copy = copyHeader();
    const Vesk::AttachFailure failure =
        BucketTable<Link>::validateHeader(copy, region_.memSize(), cinderId, reason);
    if (failure == Vesk::AttachFailure::none)
        cinder_ = Plinth::CinderId(copy.cinder);
    return failure;
}

template <class Link>
bool BucketReader<Link>::doResize() {
    if (header_ == nullptr)
        return false;
    // Acquire: a count is published after the entries it covers were filled.
    const Count now = Count::load(&header_->numBuckets);
    const uint32_t n = now.value;
    if (!validBucketCount(n)) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "bad numBuckets:{} in {}", now,
                    region_.getFilename());
    }
    const uint64_t needed = BucketTable<Link>::fileSize(n);
    const uint64_t real = region_.memSize();
    if (real < needed) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException,
                    "requesting to map {} {} buckets. Requested file resize to {} but real file "
                    "size is {}",
                    region_.getFilename(), n, needed, real);
    }
    PIMBO_TRACE(2, "{} from {} buckets to {}", region_.getFilename(), local_, n);
    const void* oldBase = header_;
    void* base = region_.resize(needed);
    if (base == nullptr) {
        PIMBO_THROW(Pimbo::MemoryResourceException,
                    "failed to resize {} from {} to {} buckets, needed {} bytes. Reason: {}",
                    region_.getFilename(), local_, n, needed, region_.errorText());
    }
    if (base != oldBase)
        PIMBO_TRACE(5, "changed base address mapping from {} to {}", oldBase, base);
    header_ = static_cast<const Header*>(base);
    local_ = now;
    bucketBits_ = 0;
    while ((1u << bucketBits_) < n)
        ++bucketBits_;
    if (counters_ != nullptr)
        ++counters_->bucketResizes;
    return true;
}

template <class Link>
bool BucketReader<Link>::resize() {
    if (!stale())
        return false;
    return doResize();
}

template <class Link>
void BucketReader<Link>::mismatch(Count now) const {
    PIMBO_THROW(Pimbo::CorruptionDetectedException,
                "found mismatch, local numBuckets:{} header numBuckets:{}", local_, now);
}

template <class Link>
std::string BucketReader<Link>::toString() const {
    if (header_ == nullptr)
        return fmt::format("{} detached", region_.getFilename());
    return copyHeader().toString();
}

template class BucketReader<Vesk::SlotLink>;

}  // namespace VeskCore
