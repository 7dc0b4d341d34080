#include "Vesk/TableChecker.h"

#include "Pimbo/Util.h"
#include "Plinth/CinderFile.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/SafeHeaderCopy.h"
#include "Plinth/WriterLock.h"
#include "VeskBase/AttachFailure.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/SlotLink.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/TableWalk.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

namespace Vesk {
namespace {

using VeskCore::BucketHeader;

Pimbo::Platform::DebugHandler& checkerHandler() {
    static const std::shared_ptr<Pimbo::Platform::DebugHandler> handler =
        Pimbo::Platform::getDebugHandler("TableChecker");
    return *handler;
}

// The words whose change means the walk raced a structural change of the writer.
struct Stamp {
    uint64_t numSlots = 0;    // versioned pair
    uint64_t numBuckets = 0;  // versioned pair
    uint32_t occupied = 0;
    uint32_t freeHead = 0;
    uint32_t cinder = 0;
    uint32_t hashSeed = 0;
    bool criticalSection = false;

    friend bool operator==(const Stamp&, const Stamp&) = default;
};

Stamp readStamp(const SlotTableHeader* h, const BucketHeader* b) {
    Stamp s;
    s.numSlots = Mem::loadAcquire64(&h->numSlots);
    s.numBuckets = Mem::loadAcquire64(&b->numBuckets);
    s.occupied = Mem::loadAcquire32(&h->occupiedSlots);
    s.freeHead = Mem::loadAcquire32(&h->freeSlots);
    s.cinder = Mem::loadAcquire32(&h->cinder);
    s.hashSeed = Mem::loadAcquire32(&h->hashSeed);
    s.criticalSection = (Mem::loadRelaxed16(&h->runtimeFlags) & CRITICAL_SECTION) != 0;
    return s;
}

// The checker's text of a finding of the walk, one line.
std::string checkerText(const TableFinding& f) {
    switch (f.fault) {
        case TableFault::chainBeyondEnd:
            return fmt::format("the chain of bucket {} links to slot {}, beyond numSlots {}",
                               f.bucket, f.id, f.numSlots);
        case TableFault::slotTwice:
            return fmt::format(
                "slot {} is reached twice (a cycle, or chains that join), the second time in the "
                "chain of bucket {}",
                f.id, f.bucket);
        case TableFault::notOccupied:
            return fmt::format(
                "slot {} (key {}) is in the chain of bucket {} but not marked OCCUPIED (flags "
                "{:#x})",
                f.id, f.key, f.bucket, f.flags);
        case TableFault::wrongBucket:
            return fmt::format(
                "slot {} (key {}) is in the chain of bucket {} but its key hashes to bucket {}",
                f.id, f.key, f.bucket, f.wanted);
        case TableFault::wrongRhash:
            return fmt::format("slot {} (key {}) has rhash {:#x}, its key's reversed hash is {:#x}",
                               f.id, f.key, f.found, f.wanted);
        case TableFault::outOfOrder:
            return fmt::format(
                "the chains are out of order at slot {} in bucket {}: (rhash {:#x}, key {}) "
                "follows (rhash {:#x}, key {})",
                f.id, f.bucket, f.found, f.key, f.previousRhash, f.previousKey);
        case TableFault::stuckLookaside:
            break;  // Walk::fault keeps it for the end of the walk
        case TableFault::lastBucketEnd:
            return fmt::format("the last bucket {} ends with {:#x}, not with the end of the table",
                               f.bucket, f.found);
        case TableFault::bucketsSkipped:
            return fmt::format("the walk reached the last bucket after {} of {} buckets", f.found,
                               f.numBuckets);
        case TableFault::endsEarly:
            return fmt::format(
                "the chain of bucket {} ends the table early; bucket {} should follow", f.bucket,
                f.wanted);
        case TableFault::wrongSuccessor:
            return fmt::format(
                "the chain of bucket {} continues with bucket {}, expected bucket {}", f.bucket,
                f.found, f.wanted);
        case TableFault::bucketLoop:
            return fmt::format("the bucket order does not reach the last bucket after {} buckets",
                               f.found);
        case TableFault::freeMarker:
            return fmt::format("the free list holds a bucket marker {:#x}", f.id);
        case TableFault::freeBeyondEnd:
            return fmt::format("the free list links to slot {}, beyond numSlots {}", f.id,
                               f.numSlots);
        case TableFault::freeChained:
            return fmt::format("slot {} is both in a chain and on the free list", f.id);
        case TableFault::freeTwice:
            return fmt::format("the free list loops back to slot {}", f.id);
        case TableFault::freeOccupied:
            return fmt::format("free slot {} is marked OCCUPIED (flags {:#x})", f.id, f.flags);
        case TableFault::occupiedCount:
            return fmt::format("the chains hold {} records but the header's occupiedSlots is {}",
                               f.records, f.found);
        case TableFault::lostSlots: {
            const size_t shown = std::min<uint64_t>(f.found, f.lost.size());
            return fmt::format(
                "{} of {} slots are in no chain and not on the free list (slots {}{})", f.found,
                f.numSlots, fmt::join(f.lost.begin(), f.lost.begin() + long(shown), ", "),
                f.found > shown ? ", ..." : "");
        }
    }
    return "";
}

// One walk of the files as they are now: clean, faults or (raced) busy; unreadable when a file
// cannot be mapped. `criticalSection` tells whether the writer's bit was seen set.
class Walk {
  public:
    Walk(const Mem::RootPath& rootPath, const CheckedType& type, bool writerAlive)
        : rootPath_(rootPath), type_(type), writerAlive_(writerAlive) {}

    TableCheck run(bool& criticalSection) {
        Mem::PlinthWrapper slots(checkerHandler(), rootPath_, "slots", false);
        Mem::PlinthWrapper buckets(checkerHandler(), rootPath_, "buckets", false);
        for (Mem::PlinthWrapper* file : {&slots, &buckets}) {
            if (file->attach(file->fileSize(), Mem::PlinthWrapper::kReader) == nullptr) {
                r_.outcome = TableCheck::Outcome::unreadable;
                r_.error = file->errorText();
                return r_;
            }
        }
        r_.cinder = Plinth::CinderFile(checkerHandler(), rootPath_, false).read();
        if (r_.cinder.isNone())
            fault("the cinder file {}/cinder is missing or damaged", rootPath_.directory());
        if (checkHeaders(slots, buckets))
            walk(slots, criticalSection);
        // Reader mappings are guarded: a file cut short during the walk read as zeros, which
        // are no fault of the table (Mem/MappingRegistry.h).
        for (const Mem::PlinthWrapper* file : {&slots, &buckets}) {
            if (file->lostPages()) {
                r_.outcome = TableCheck::Outcome::unreadable;
                r_.error = shrankText(file->getFilename());
            }
        }
        return r_;
    }

    // ----- the walk's reporting (TableWalk) -----

    SlotLink load(const SlotLink* at) {
        const SlotLink link = loadLink(at);
        seen_.push_back({at, link.version});
        return link;
    }
    uint32_t hash(uint64_t key) { return type_.hash(header_.hashSeed, key); }
    void fault(const TableFinding& found) {
        // Readers copy a slot with LOOKASIDE set from the lookaside slot, which is right only
        // while a copy into the slot is in progress: judged once the walk is over.
        if (found.fault == TableFault::stuckLookaside)
            lookaside_.push_back(found);
        else
            fault("{}", checkerText(found));
    }

  private:
    template <class... Args>
    void fault(fmt::format_string<Args...> format, Args&&... args) {
        ++r_.faultCount;
        if (r_.faults.size() < TableCheck::kShownFaults)
            r_.faults.push_back(fmt::format(format, std::forward<Args>(args)...));
    }

    // The outcome of a walk: nothing seen while something moved is a fault.
    void finish(bool moved) {
        if (moved)
            r_.outcome = TableCheck::Outcome::busy;
        else
            r_.outcome =
                r_.faultCount == 0 ? TableCheck::Outcome::clean : TableCheck::Outcome::faults;
    }

    // ----- 1. headers -----
    // Copies and checks both headers; false (the walk finished) when they fail. Only the faults
    // of this step stop the walk: a missing cinder file does not.
    bool checkHeaders(Mem::PlinthWrapper& slotFile, Mem::PlinthWrapper& bucketFile) {
        const uint64_t earlier = r_.faultCount;
        for (const Mem::PlinthWrapper* file : {&slotFile, &bucketFile}) {
            const size_t header =
                file == &slotFile ? sizeof(SlotTableHeader) : sizeof(BucketHeader);
            if (file->mappedSize() < header) {
                fault("{} is {} bytes, shorter than its header", file->getFilename(),
                      file->mappedSize());
            }
        }
        if (r_.faultCount != earlier)
            return finish(false), false;
        live_ = static_cast<const SlotTableHeader*>(slotFile.base());
        liveBuckets_ = static_cast<const BucketHeader*>(bucketFile.base());
        Mem::safeHeaderCopy(live_, &header_, sizeof header_, &live_->numSlots, slotFile);
        Mem::safeHeaderCopy(liveBuckets_, &bucketHeader_, sizeof bucketHeader_,
                            &liveBuckets_->numBuckets, bucketFile);
        before_ = readStamp(live_, liveBuckets_);
        std::string reason;
        if (header_.validate(checkerHandler(), slotFile.mappedSize(), r_.cinder, reason,
                             type_.typeName, type_.valueSize) != AttachFailure::none)
            fault("slot file header: {}", reason);
        if (VeskCore::BucketTable<SlotLink>::validateHeader(
                bucketHeader_, bucketFile.mappedSize(), r_.cinder, reason) != AttachFailure::none)
            fault("bucket file header: {}", reason);
        if (r_.faultCount == earlier)
            return true;
        // A header caught mid-resize, or a file that grew since it was mapped, is no fault.
        finish(!(readStamp(live_, liveBuckets_) == before_) ||
               uint32_t(before_.numSlots) != header_.numSlots.version ||
               slotFile.memSize() != slotFile.mappedSize() ||
               bucketFile.memSize() != bucketFile.mappedSize());
        return false;
    }

    // ----- 2 to 5: the chains, the free list and the counts (TableWalk) -----
    void walk(const Mem::PlinthWrapper& slotFile, bool& criticalSection) {
        TableLayout layout;
        layout.slotSize = header_.slotSize;
        layout.slots = static_cast<const char*>(slotFile.base()) +
                       SlotTableHeader::headerSizeFor(layout.slotSize);
        layout.numSlots = r_.numSlots = header_.numSlots.value;
        layout.buckets = liveBuckets_->buckets();
        layout.numBuckets = r_.numBuckets = bucketHeader_.numBuckets.value;
        layout.freeHead = before_.freeHead;
        layout.occupied = before_.occupied;
        seen_.reserve(uint64_t(layout.numSlots) + layout.numBuckets);
        std::vector<uint8_t> marks(layout.numSlots, 0);
        TableWalk<Walk> structure(layout, *this, marks.data());
        structure.run();
        r_.records = structure.records();
        r_.freeSlots = structure.freeSlots();
        r_.longestChain = structure.longestChain();
        const bool moved = movedSince();
        criticalSection = before_.criticalSection || after_.criticalSection;
        checkLeftovers(moved, criticalSection, layout);
        finish(moved);
    }

    // Did the writer move anything the walk depends on?
    bool movedSince() {
        after_ = readStamp(live_, liveBuckets_);
        bool moved = !(after_ == before_) ||
                     uint32_t(before_.numSlots) != header_.numSlots.version ||
                     uint32_t(before_.numBuckets) != bucketHeader_.numBuckets.version;
        for (size_t i = 0; !moved && i < seen_.size(); ++i)
            moved = loadLink(seen_[i].at).version != seen_[i].version;
        return moved;
    }

    // ----- 6, 7. a change left half done -----
    void checkLeftovers(bool moved, bool criticalSection, const TableLayout& layout) {
        if (!moved && criticalSection && !writerAlive_) {
            fault(
                "the critical-section bit is set and no writer runs: the last writer stopped in "
                "the middle of a change");
        }
        // A LOOKASIDE flag that did not move while no change was in progress is stuck.
        for (size_t i = 0; !moved && !criticalSection && i < lookaside_.size(); ++i) {
            const TableFinding& f = lookaside_[i];
            const char* slot = layout.slots + uint64_t(f.id) * layout.slotSize;
            if (loadFlags(slot) != f.flags)
                continue;
            fault(
                "slot {} (key {}) has LOOKASIDE set (flags {:#x}) and no change is in progress: "
                "readers copy it from the lookaside slot, which holds key {}",
                f.id, slotKey(slot), f.flags, slotKey(live_->lookaside()));
        }
    }

    // Every link followed, with the version seen, for the re-check at the end.
    struct Seen {
        const SlotLink* at;
        uint32_t version;
    };

    const Mem::RootPath& rootPath_;
    const CheckedType& type_;
    bool writerAlive_;
    TableCheck r_;
    const SlotTableHeader* live_ = nullptr;
    const BucketHeader* liveBuckets_ = nullptr;
    SlotTableHeader header_;
    BucketHeader bucketHeader_;
    Stamp before_;
    Stamp after_;
    std::vector<Seen> seen_;
    std::vector<TableFinding> lookaside_;
};

}  // namespace

std::string TableCheck::firstFault() const {
    switch (outcome) {
        case Outcome::clean:
            return "";
        case Outcome::faults:
            return faults.front();
        case Outcome::busy:
            return fmt::format("busy writer: the table kept changing during {} walks", walks);
        case Outcome::midChange:
            return fmt::format(
                "writer mid-change: the writer stayed inside a change during {} "
                "walks",
                walks);
        case Outcome::unreadable:
            break;
    }
    return error;
}

TableCheck checkTable(const Mem::RootPath& rootPath, const CheckedType& type,
                      const std::function<bool()>& pause) {
    TableCheck result;
    for (int walk = 1; walk <= TableCheck::kAttempts; ++walk) {
        const bool writerAlive = Mem::WriterLock::writerRuns(checkerHandler(), rootPath);
        bool criticalSection = false;
        result = Walk(rootPath, type, writerAlive).run(criticalSection);
        result.walks = walk;
        // A fault seen while a live writer is inside a change may be that change half done:
        // the writer is mid-change, which is checked again, never reported as a fault.
        if (result.outcome == TableCheck::Outcome::faults && criticalSection && writerAlive)
            result.outcome = TableCheck::Outcome::midChange;
        if (result.outcome != TableCheck::Outcome::busy &&
            result.outcome != TableCheck::Outcome::midChange)
            break;
        if (pause && !pause())
            break;
    }
    return result;
}

}  // namespace Vesk
