#include "Vesk/TableChecker.h"

#include "Pimbo/Util.h"
#include "Plinth/CinderFile.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/SafeHeaderCopy.h"
#include "Plinth/WriterLock.h"
#include "Vesk/AttachFailure.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/SlotLink.h"
#include "VeskBase/SlotTable.h"

#include <fmt/format.h>

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
        walk(slots, buckets, criticalSection);
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

    void walk(Mem::PlinthWrapper& slotFile, Mem::PlinthWrapper& bucketFile, bool& criticalSection) {
        // ----- 1. headers -----
        // Only the faults of this step stop the walk: a missing cinder file does not.
        const uint64_t earlier = r_.faultCount;
        if (slotFile.mappedSize() < sizeof(SlotTableHeader)) {
            fault("{} is {} bytes, shorter than its header", slotFile.getFilename(),
                  slotFile.mappedSize());
        }
        if (bucketFile.mappedSize() < sizeof(BucketHeader)) {
            fault("{} is {} bytes, shorter than its header", bucketFile.getFilename(),
                  bucketFile.mappedSize());
        }
        if (r_.faultCount != earlier)
            return finish(false);
        const char* const data = static_cast<const char*>(slotFile.base());
        const auto* live = static_cast<const SlotTableHeader*>(slotFile.base());
        const auto* liveBuckets = static_cast<const BucketHeader*>(bucketFile.base());
        SlotTableHeader h;
        Mem::safeHeaderCopy(live, &h, sizeof h, &live->numSlots, slotFile);
        BucketHeader bucketHeader;
        Mem::safeHeaderCopy(liveBuckets, &bucketHeader, sizeof bucketHeader,
                            &liveBuckets->numBuckets, bucketFile);
        const Stamp before = readStamp(live, liveBuckets);
        std::string reason;
        if (!h.validate(checkerHandler(), slotFile.mappedSize(), r_.cinder, reason, type_.typeName,
                        type_.valueSize)) {
            fault("slot file header: {}", reason);
        }
        if (!VeskCore::BucketTable<SlotLink>::validateHeader(bucketHeader, bucketFile.mappedSize(),
                                                             r_.cinder, reason)) {
            fault("bucket file header: {}", reason);
        }
        if (r_.faultCount != earlier) {
            // A header caught mid-resize, or a file that grew since it was mapped, is no fault.
            return finish(!(readStamp(live, liveBuckets) == before) ||
                          uint32_t(before.numSlots) != h.numSlots.version ||
                          slotFile.memSize() != slotFile.mappedSize() ||
                          bucketFile.memSize() != bucketFile.mappedSize());
        }
        const uint32_t numSlots = h.numSlots.value;
        const uint32_t numBuckets = bucketHeader.numBuckets.value;
        r_.numSlots = numSlots;
        r_.numBuckets = numBuckets;
        const uint32_t slotSize = h.slotSize;
        const uint64_t headerSize = SlotTableHeader::headerSizeFor(slotSize);
        const uint32_t bits = uint32_t(__builtin_ctz(numBuckets));
        auto slotAt = [&](uint32_t id) { return data + headerSize + uint64_t(id) * slotSize; };

        // Every link followed, with the version seen, for the re-check at the end.
        struct Seen {
            const SlotLink* at;
            uint32_t version;
        };
        std::vector<Seen> seen;
        seen.reserve(uint64_t(numSlots) + numBuckets);
        auto follow = [&](const SlotLink* at) {
            const SlotLink link = loadLink(at);
            seen.push_back({at, link.version});
            return link;
        };

        // Chained slots seen with LOOKASIDE set, and their flags: readers copy such a slot from
        // the lookaside slot, which is right only while a copy into the slot is in progress.
        struct Flagged {
            uint32_t id;
            uint32_t flags;
        };
        std::vector<Flagged> lookaside;

        // ----- 2, 3. the chains in bucket order -----
        enum : uint8_t { kUnseen = 0, kChained = 1, kFree = 2 };
        std::vector<uint8_t> state(numSlots, kUnseen);
        bool broken = false;
        bool havePrevious = false;
        uint32_t previousRhash = 0;
        uint64_t previousKey = 0;
        uint32_t b = 0;
        for (uint64_t visited = 1;; ++visited) {
            SlotLink link = follow(liveBuckets->buckets() + b);
            uint64_t length = 0;
            while (SlotLink::isSlot(link.next)) {
                const uint32_t id = link.next;
                if (id >= numSlots) {
                    fault("the chain of bucket {} links to slot {}, beyond numSlots {}", b, id,
                          numSlots);
                    broken = true;
                    break;
                }
                if (state[id] != kUnseen) {
                    fault(
                        "slot {} is reached twice (a cycle, or chains that join), the second "
                        "time in the chain of bucket {}",
                        id, b);
                    broken = true;
                    break;
                }
                state[id] = kChained;
                ++r_.records;
                ++length;
                const char* s = slotAt(id);
                const uint32_t flags = loadFlags(s);
                const uint64_t key = slotKey(s);
                if ((flags & LOOKASIDE) != 0)
                    lookaside.push_back({id, flags});
                const uint32_t rhash = loadRhash(s);
                const uint32_t hash = type_.hash(h.hashSeed, key);
                if ((flags & OCCUPIED) == 0) {
                    fault(
                        "slot {} (key {}) is in the chain of bucket {} but not marked OCCUPIED "
                        "(flags {:#x})",
                        id, key, b, flags);
                }
                if ((hash & (numBuckets - 1)) != b) {
                    fault(
                        "slot {} (key {}) is in the chain of bucket {} but its key hashes to "
                        "bucket {}",
                        id, key, b, hash & (numBuckets - 1));
                }
                if (rhash != Pimbo::Util::reverse(hash)) {
                    fault("slot {} (key {}) has rhash {:#x}, its key's reversed hash is {:#x}", id,
                          key, rhash, Pimbo::Util::reverse(hash));
                }
                if (havePrevious &&
                    !(previousRhash < rhash || (previousRhash == rhash && previousKey < key))) {
                    fault(
                        "the chains are out of order at slot {} in bucket {}: (rhash {:#x}, key "
                        "{}) follows (rhash {:#x}, key {})",
                        id, b, rhash, key, previousRhash, previousKey);
                }
                havePrevious = true;
                previousRhash = rhash;
                previousKey = key;
                link = follow(slotLink(s));
            }
            if (broken)
                break;
            r_.longestChain = std::max(r_.longestChain, length);
            if (b == numBuckets - 1) {
                if (link.next != SlotLink::kEnd) {
                    fault("the last bucket {} ends with {:#x}, not with the end of the table", b,
                          link.next);
                }
                if (visited != numBuckets) {
                    fault("the walk reached the last bucket after {} of {} buckets", visited,
                          numBuckets);
                }
                break;
            }
            const uint32_t successor = VeskCore::bitReversePermute(b, bits);
            if (link.next == SlotLink::kEnd) {
                fault("the chain of bucket {} ends the table early; bucket {} should follow", b,
                      successor);
            } else if (SlotLink::bucketOf(link.next) != successor) {
                fault("the chain of bucket {} continues with bucket {}, expected bucket {}", b,
                      SlotLink::bucketOf(link.next), successor);
            }
            // The walk goes on in the right order, so that one bad marker hides nothing else.
            b = successor;
            if (visited >= numBuckets) {
                fault("the bucket order does not reach the last bucket after {} buckets", visited);
                break;
            }
        }

        // ----- 4. the free list -----
        for (uint32_t id = before.freeHead; !broken && id != SlotLink::kEnd;) {
            if (!SlotLink::isSlot(id)) {
                fault("the free list holds a bucket marker {:#x}", id);
                break;
            }
            if (id >= numSlots) {
                fault("the free list links to slot {}, beyond numSlots {}", id, numSlots);
                break;
            }
            if (state[id] == kChained) {
                fault("slot {} is both in a chain and on the free list", id);
                break;
            }
            if (state[id] == kFree) {
                fault("the free list loops back to slot {}", id);
                break;
            }
            state[id] = kFree;
            ++r_.freeSlots;
            const char* s = slotAt(id);
            const uint32_t flags = loadFlags(s);
            if ((flags & OCCUPIED) != 0)
                fault("free slot {} is marked OCCUPIED (flags {:#x})", id, flags);
            id = follow(slotLink(s)).next;
        }

        // ----- 5. the counts -----
        if (!broken) {
            if (r_.records != before.occupied) {
                fault("the chains hold {} records but the header's occupiedSlots is {}", r_.records,
                      before.occupied);
            }
            if (r_.records + r_.freeSlots != numSlots) {
                std::string lost;
                uint64_t lostCount = 0;
                for (uint32_t id = 0; id < numSlots; ++id) {
                    if (state[id] == kUnseen && ++lostCount <= 5)
                        lost += fmt::format("{}{}", lostCount > 1 ? ", " : "", id);
                }
                fault("{} of {} slots are in no chain and not on the free list (slots {}{})",
                      lostCount, numSlots, lost, lostCount > 5 ? ", ..." : "");
            }
        }

        // ----- did the writer move anything meanwhile? -----
        const Stamp after = readStamp(live, liveBuckets);
        bool moved = !(after == before) || uint32_t(before.numSlots) != h.numSlots.version ||
                     uint32_t(before.numBuckets) != bucketHeader.numBuckets.version;
        for (size_t i = 0; !moved && i < seen.size(); ++i)
            moved = loadLink(seen[i].at).version != seen[i].version;
        criticalSection = before.criticalSection || after.criticalSection;

        // ----- 6. a change left half done -----
        if (!moved && criticalSection && !writerAlive_) {
            fault(
                "the critical-section bit is set and no writer runs: the last writer stopped in "
                "the middle of a change");
        }
        // A LOOKASIDE flag that did not move while no change was in progress is stuck.
        for (size_t i = 0; !moved && !criticalSection && i < lookaside.size(); ++i) {
            const Flagged& f = lookaside[i];
            if (loadFlags(slotAt(f.id)) != f.flags)
                continue;
            fault(
                "slot {} (key {}) has LOOKASIDE set (flags {:#x}) and no change is in progress: "
                "readers copy it from the lookaside slot, which holds key {}",
                f.id, slotKey(slotAt(f.id)), f.flags, slotKey(live->lookaside()));
        }
        finish(moved);
    }

    const Mem::RootPath& rootPath_;
    const CheckedType& type_;
    bool writerAlive_;
    TableCheck r_;
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
