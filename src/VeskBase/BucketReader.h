// BucketReader: a reader process's read-only mapping of a table's bucket file ("buckets").
//
// Who may call what: the one thread of a reader process that owns the reader. The file belongs
// to the table's writer (BucketWriter); this class maps it read-only (Mem::PlinthWrapper mode 1,
// with a PROT_NONE guard page after the mapping) and never stores into it.
//
// What a reader may rely on (doc/file-format.md): numBuckets moves its version on every change
// (P9); this class keeps the pair its mapping was made for (the local pair), and a reader
// compares versions to know that its mapping is stale (P13). The file is never shortened (P10):
// a stale mapping never faults, it only reads entries that the version check then discards.
// Every bucket index is checked against the local count before its address is formed.
#pragma once

#include "Mem/VersionedRef.h"
#include "Pimbo/Debuggable.h"
#include "Plinth/CinderId.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/Counters.h"
#include "VeskBase/SlotLink.h"

#include <cstdint>
#include <string>

namespace VeskCore {

template <class Link>
class BucketReader : public Pimbo::Debuggable {
  public:
    using Header = typename BucketTable<Link>::Header;
    using Count = Mem::VersionedRef<uint32_t>;

    // counters may be null; bucketResizes counts every mapping made for a new count.
    BucketReader(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                 Vesk::Reader::Counters* counters);

    // Maps the file's header read-only, then the buckets for the count the header announces
    // when that count is sound (otherwise only the header stays mapped, local count 0, and
    // validate() names the fault). False, after a level-0 trace, when the file is missing or
    // cannot be mapped.
    bool attach();
    // Unmaps the file; harmless when detached.
    void detach();
    bool attached() const { return header_ != nullptr; }

    // Checks a consistent copy of the header (magic, version, cinderId, bucket count, file
    // size): none, or why the file cannot be used with the text in `reason`. Remembers the
    // header's cinder id as the generation of this mapping.
    Vesk::AttachFailure validate(Plinth::CinderId cinderId, std::string& reason);

    // Re-maps the file for the count the header announces now and takes that pair as the local
    // pair. Throws Pimbo::CorruptionDetectedException when the announced count is not a power of
    // two within bounds or the file is shorter than it needs, Pimbo::MemoryResourceException when
    // the mapping cannot be resized (the old mapping then stays). False when detached.
    bool doResize();
    // False when not mapped or when the local version equals the header's; otherwise re-maps
    // (doResize) and returns true.
    bool resize();
    // Throws Pimbo::CorruptionDetectedException "found mismatch, ..." when the header's numBuckets
    // version differs from the local one.
    void checkResize() const {
        if (header_ == nullptr)
            return;
        const Count now = Count::load(&header_->numBuckets);
        if (now.version != local_.version) [[unlikely]]
            mismatch(now);
    }
    // Zero when neither the header's cinder id (against attached) nor its count's version moved,
    // for a caller that read buckets through the mapping (so the header is mapped): the
    // differences or-ed together, without a branch.
    uint64_t movedSinceMapped(Plinth::CinderId attached) const {
        const Header* h = header_;
        const uint32_t version = local_.version;
        return (Mem::loadAcquire32(&h->cinder) ^ attached.value) |
               (Count::load(&h->numBuckets).version ^ version);
    }
    // The header's version moved away from the local one.
    bool stale() const {
        if (header_ == nullptr)
            return false;
        return local_.value == 0 || Count::load(&header_->numBuckets).version != local_.version;
    }

    // The entry of the bucket that hash lies in at the local count, which must not be 0, and
    // that bucket (b): hash masked by count - 1, which stays below the count whatever the count
    // (a power of two in every file a writer wrote), so no check is needed.
    const Link* entryOfHash(uint32_t hash, uint32_t& b) const {
        b = hash & (local_.value - 1);
        return header_->buckets() + b;
    }

    // The address of bucket b; throws Pimbo::CorruptionDetectedException "out-of-range, ..." when
    // b is not below the local count.
    const Link* operator[](uint32_t b) const {
        if (b >= local_.value) [[unlikely]]
            outOfRange(b);
        return header_->buckets() + b;
    }

    // The header's cinder id as it is now in shared memory (0 when detached).
    Plinth::CinderId liveCinder() const {
        return header_ ? Plinth::CinderId(Mem::loadAcquire32(&header_->cinder))
                       : Plinth::CinderId();
    }
    // The cinder id the last successful validate() saw.
    Plinth::CinderId cinder() const { return cinder_; }

    const Header* header() const { return header_; }
    Count localNumBuckets() const { return local_; }
    uint32_t numBuckets() const { return local_.value; }
    uint32_t bucketBits() const { return bucketBits_; }
    uint64_t fileSize() const { return region_.memSize(); }
    const std::string& fileName() const { return region_.getFilename(); }
    const Mem::PlinthWrapper& region() const { return region_; }
    // A consistent copy of the live header (attached only).
    Header copyHeader() const;
    // "buckets detached" or the text of a consistent copy of the header.
    std::string toString() const;

  private:
    [[noreturn]] void outOfRange(uint32_t b) const;
    [[noreturn]] void mismatch(Count now) const;

    Mem::PlinthWrapper region_;
    const Header* header_ = nullptr;
    Count local_{0, 0};
    uint32_t bucketBits_ = 0;
    Plinth::CinderId cinder_;
    Vesk::Reader::Counters* counters_;
};

extern template class BucketReader<Vesk::SlotLink>;

}  // namespace VeskCore
