// vesk check: a read-only consistency walk of a table's two files, beside a writer that may be
// running. It maps both files PROT_READ, takes no lock, and writes nothing (not even the
// corruption marker a reader would leave).
//
// What one walk checks:
//  1. both headers as a reader would (magic, version, checksum, generation, sizes);
//  2. the bucket order: from bucket 0, every chain ends with the marker of the bucket that
//     follows in bit-reversed order, the last one with the end of the table;
//  3. every chained slot: within numSlots, reached once, OCCUPIED, its key hashing to the bucket
//     whose chain holds it, its rhash the reversed hash, and the whole list ascending by
//     (rhash, key);
//  4. the free list: within numSlots, no slot twice or also chained, none OCCUPIED;
//  5. the counts: chained records equal occupiedSlots, and chained plus free equal numSlots;
//  6. a critical-section bit left set by a writer that no longer runs;
//  7. a LOOKASIDE flag left set on a chained slot while no change is in progress (readers
//     would copy that slot's record from the lookaside slot).
//
// Racing the writer. Every link the walk follows is a versioned 8-byte word whose version
// grows on every change, and every resize moves the version of numSlots or numBuckets. After
// the walk the links are loaded again together with the header's counts, the free-list head
// and the critical-section bit: when anything moved, the walk saw a mixture and is repeated.
// A fault is reported only from a walk during which nothing moved; in-place record updates
// (the steady state of a counter table) move nothing the walk depends on. Faults seen while a
// live writer has its critical-section bit set are that writer mid-change: the walk is repeated
// (bounded) and, when the writer stays inside the change, reported as "writer mid-change" with
// status 3, never as a fault. A table that disappears or loses a file is status 3 too.
#include "Commands.h"

#include "Mem/Atomic.h"
#include "Orlo/Hash.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderFile.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "ToolError.h"
#include "Vesk/SlotTable.h"
#include "VeskCore/BucketTable.h"
#include "VeskCore/SlotLink.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace VeskTool {

namespace {

using Vesk::SlotLink;

constexpr int kAttempts = 50;
constexpr size_t kShownFaults = 20;

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

Stamp readStamp(const char* slots, const char* buckets) {
    const auto* h = reinterpret_cast<const Vesk::SlotTableHeader*>(slots);
    const auto* b = reinterpret_cast<const VeskCore::BucketHeader*>(buckets);
    Stamp s;
    s.numSlots = Mem::loadAcquire64(&h->numSlots);
    s.numBuckets = Mem::loadAcquire64(&b->numBuckets);
    s.occupied = Mem::loadAcquire32(&h->occupiedSlots);
    s.freeHead = Mem::loadAcquire32(&h->freeSlots);
    s.cinder = Mem::loadAcquire32(&h->cinder);
    s.hashSeed = Mem::loadAcquire32(&h->hashSeed);
    s.criticalSection = (Mem::loadRelaxed16(&h->runtimeFlags) & Vesk::CRITICAL_SECTION) != 0;
    return s;
}

struct Walk {
    enum class Outcome { clean, faults, raced };
    Outcome outcome = Outcome::clean;
    std::vector<std::string> faults;
    uint64_t faultCount = 0;
    bool criticalSection = false;
    uint64_t records = 0;
    uint64_t freeSlots = 0;
    uint32_t numSlots = 0;
    uint32_t numBuckets = 0;
    uint64_t longestChain = 0;
    Plinth::CinderId cinder;

    template <class... Args>
    void fault(fmt::format_string<Args...> format, Args&&... args) {
        ++faultCount;
        if (faults.size() < kShownFaults)
            faults.push_back(fmt::format(format, std::forward<Args>(args)...));
    }
};

// One walk of the files as they are now.
Walk walkOnce(const TableProbe& probe) {
    Walk w;
    // A table that went away, or lost a file, cannot be checked: that is no fault found in it.
    const Mem::RootPath rootPath(toolHandler(), probe.name, false);
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    auto lost = [&](const Mem::FileError& e) {
        return ToolError(kTable, fmt::format("cannot check table '{}': {}", probe.name, e.text));
    };
    if (!dir.valid())
        throw lost(error);
    MappedFile slots;
    MappedFile buckets;
    if (!slots.open(dir, "slots"))
        throw lost(slots.error());
    if (!buckets.open(dir, "buckets"))
        throw lost(buckets.error());
    w.cinder = Plinth::CinderFile(toolHandler(), rootPath, false).read();
    if (w.cinder.isNone())
        w.fault("the cinder file {}/cinder is missing or damaged", probe.directory);

    // ----- 1. headers -----
    if (slots.size() < sizeof(Vesk::SlotTableHeader)) {
        w.fault("{} is {} bytes, shorter than its header", slots.path(), slots.size());
    }
    if (buckets.size() < sizeof(VeskCore::BucketHeader)) {
        w.fault("{} is {} bytes, shorter than its header", buckets.path(), buckets.size());
    }
    if (w.faultCount != 0) {
        w.outcome = Walk::Outcome::faults;
        return w;
    }
    SlotHeaderCopy copy;
    copySlotHeader(slots.data(), copy);
    const Vesk::SlotTableHeader& h = copy.header();
    VeskCore::BucketHeader bucketHeader{};
    copyBucketHeader(buckets.data(), bucketHeader);
    const Stamp before = readStamp(slots.data(), buckets.data());
    std::string reason;
    const uint32_t valueSize =
        withKind(probe.kind, []<class Ops>() { return uint32_t(Ops::valueSize); });
    if (!h.validate(toolHandler(), slots.size(), w.cinder, reason,
                    kKindTypeNames[size_t(probe.kind)], valueSize)) {
        w.fault("slot file header: {}", reason);
    }
    if (!VeskCore::BucketTable<SlotLink>::validateHeader(bucketHeader, buckets.size(), w.cinder,
                                                         reason)) {
        w.fault("bucket file header: {}", reason);
    }
    if (w.faultCount != 0) {
        // A header caught mid-resize is no fault: try again when it moved.
        w.outcome = readStamp(slots.data(), buckets.data()) == before &&
                            uint32_t(before.numSlots) == h.numSlots.version
                        ? Walk::Outcome::faults
                        : Walk::Outcome::raced;
        return w;
    }
    const uint32_t numSlots = h.numSlots.value;
    const uint32_t numBuckets = bucketHeader.numBuckets.value;
    w.numSlots = numSlots;
    w.numBuckets = numBuckets;
    const uint32_t slotSize = h.slotSize;
    const uint64_t headerSize = Vesk::SlotTableHeader::headerSizeFor(slotSize);
    const uint32_t seed = h.hashSeed;
    const uint32_t bits = uint32_t(__builtin_ctz(numBuckets));
    auto slotAt = [&](uint32_t id) { return slots.data() + headerSize + uint64_t(id) * slotSize; };
    auto bucketAt = [&](uint32_t b) {
        return reinterpret_cast<const SlotLink*>(buckets.data() + sizeof(VeskCore::BucketHeader)) +
               b;
    };

    // Every link followed, with the version seen, for the re-check at the end.
    struct Seen {
        const SlotLink* at;
        uint32_t version;
    };
    std::vector<Seen> seen;
    seen.reserve(uint64_t(numSlots) + numBuckets);
    auto follow = [&](const SlotLink* at) {
        const SlotLink link = Vesk::loadLink(at);
        seen.push_back({at, link.version});
        return link;
    };

    // Chained slots seen with LOOKASIDE set, and their flags: readers copy such a slot from the
    // lookaside slot, which is right only while a copy into the slot is in progress.
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
        SlotLink link = follow(bucketAt(b));
        uint64_t length = 0;
        while (SlotLink::isSlot(link.next)) {
            const uint32_t id = link.next;
            if (id >= numSlots) {
                w.fault("the chain of bucket {} links to slot {}, beyond numSlots {}", b, id,
                        numSlots);
                broken = true;
                break;
            }
            if (state[id] != kUnseen) {
                w.fault(
                    "slot {} is reached twice (a cycle, or chains that join), the second time "
                    "in the chain of bucket {}",
                    id, b);
                broken = true;
                break;
            }
            state[id] = kChained;
            ++w.records;
            ++length;
            const char* s = slotAt(id);
            const uint32_t flags = Vesk::loadFlags(s);
            const uint64_t key = Vesk::slotKey(s);
            if ((flags & Vesk::LOOKASIDE) != 0)
                lookaside.push_back({id, flags});
            const uint32_t rhash = Vesk::loadRhash(s);
            const uint32_t hash = Orlo::hashSingleAttr(seed, key);
            if ((flags & Vesk::OCCUPIED) == 0) {
                w.fault(
                    "slot {} (key {}) is in the chain of bucket {} but not marked OCCUPIED "
                    "(flags {:#x})",
                    id, key, b, flags);
            }
            if ((hash & (numBuckets - 1)) != b) {
                w.fault(
                    "slot {} (key {}) is in the chain of bucket {} but its key hashes to "
                    "bucket {}",
                    id, key, b, hash & (numBuckets - 1));
            }
            if (rhash != Pimbo::Util::reverse(hash)) {
                w.fault("slot {} (key {}) has rhash {:#x}, its key's reversed hash is {:#x}", id,
                        key, rhash, Pimbo::Util::reverse(hash));
            }
            if (havePrevious &&
                !(previousRhash < rhash || (previousRhash == rhash && previousKey < key))) {
                w.fault(
                    "the chains are out of order at slot {} in bucket {}: (rhash {:#x}, key "
                    "{}) follows (rhash {:#x}, key {})",
                    id, b, rhash, key, previousRhash, previousKey);
            }
            havePrevious = true;
            previousRhash = rhash;
            previousKey = key;
            link = follow(Vesk::slotLink(s));
        }
        if (broken)
            break;
        w.longestChain = std::max(w.longestChain, length);
        if (b == numBuckets - 1) {
            if (link.next != SlotLink::kEnd) {
                w.fault("the last bucket {} ends with {:#x}, not with the end of the table", b,
                        link.next);
            }
            if (visited != numBuckets) {
                w.fault("the walk reached the last bucket after {} of {} buckets", visited,
                        numBuckets);
            }
            break;
        }
        const uint32_t successor = VeskCore::bitReversePermute(b, bits);
        if (link.next == SlotLink::kEnd) {
            w.fault("the chain of bucket {} ends the table early; bucket {} should follow", b,
                    successor);
        } else if (SlotLink::bucketOf(link.next) != successor) {
            w.fault("the chain of bucket {} continues with bucket {}, expected bucket {}", b,
                    SlotLink::bucketOf(link.next), successor);
        }
        // The walk goes on in the right order, so that one bad marker hides nothing else.
        b = successor;
        if (visited >= numBuckets) {
            w.fault("the bucket order does not reach the last bucket after {} buckets", visited);
            break;
        }
    }

    // ----- 4. the free list -----
    if (!broken) {
        uint32_t id = before.freeHead;
        while (id != SlotLink::kEnd) {
            if (!SlotLink::isSlot(id)) {
                w.fault("the free list holds a bucket marker {:#x}", id);
                break;
            }
            if (id >= numSlots) {
                w.fault("the free list links to slot {}, beyond numSlots {}", id, numSlots);
                break;
            }
            if (state[id] == kChained) {
                w.fault("slot {} is both in a chain and on the free list", id);
                break;
            }
            if (state[id] == kFree) {
                w.fault("the free list loops back to slot {}", id);
                break;
            }
            state[id] = kFree;
            ++w.freeSlots;
            const char* s = slotAt(id);
            const uint32_t flags = Vesk::loadFlags(s);
            if ((flags & Vesk::OCCUPIED) != 0)
                w.fault("free slot {} is marked OCCUPIED (flags {:#x})", id, flags);
            id = follow(Vesk::slotLink(s)).next;
        }
    }

    // ----- 5. the counts -----
    if (!broken) {
        if (w.records != before.occupied) {
            w.fault("the chains hold {} records but the header's occupiedSlots is {}", w.records,
                    before.occupied);
        }
        if (w.records + w.freeSlots != numSlots) {
            std::string lost;
            uint64_t lostCount = 0;
            for (uint32_t id = 0; id < numSlots; ++id) {
                if (state[id] != kUnseen)
                    continue;
                if (++lostCount <= 5)
                    lost += fmt::format("{}{}", lostCount > 1 ? ", " : "", id);
            }
            w.fault("{} of {} slots are in no chain and not on the free list (slots {}{})",
                    lostCount, numSlots, lost, lostCount > 5 ? ", ..." : "");
        }
    }

    // ----- did the writer move anything meanwhile? -----
    const Stamp after = readStamp(slots.data(), buckets.data());
    bool moved = !(after == before) || uint32_t(before.numSlots) != h.numSlots.version ||
                 uint32_t(before.numBuckets) != bucketHeader.numBuckets.version;
    for (size_t i = 0; !moved && i < seen.size(); ++i)
        moved = Vesk::loadLink(seen[i].at).version != seen[i].version;
    w.criticalSection = before.criticalSection || after.criticalSection;

    // ----- 6. a change left half done -----
    if (!moved && w.criticalSection && !probe.writerAlive) {
        w.fault(
            "the critical-section bit is set and no writer runs: the last writer stopped in "
            "the middle of a change");
    }
    // A LOOKASIDE flag that did not move while no change was in progress is stuck.
    for (size_t i = 0; !moved && !w.criticalSection && i < lookaside.size(); ++i) {
        const Flagged& f = lookaside[i];
        if (Vesk::loadFlags(slotAt(f.id)) != f.flags)
            continue;
        const auto* live = reinterpret_cast<const Vesk::SlotTableHeader*>(slots.data());
        w.fault(
            "slot {} (key {}) has LOOKASIDE set (flags {:#x}) and no change is in progress: "
            "readers copy it from the lookaside slot, which holds key {}",
            f.id, Vesk::slotKey(slotAt(f.id)), f.flags, Vesk::slotKey(live->lookaside()));
    }
    if (moved)
        w.outcome = Walk::Outcome::raced;
    else
        w.outcome = w.faultCount == 0 ? Walk::Outcome::clean : Walk::Outcome::faults;
    return w;
}

}  // namespace

int runCheck(const std::string& table) {
    TableProbe probe = probeTable(table);
    const Mem::RootPath rootPath(toolHandler(), table, false);
    Walk w;
    int attempt = 0;
    bool midChange = false;
    for (attempt = 1; attempt <= kAttempts; ++attempt) {
        w = walkOnce(probe);
        // A fault seen while a live writer is inside a change may be that change half done:
        // the writer is mid-change, which is checked again, never reported as a fault.
        midChange = w.outcome == Walk::Outcome::faults && w.criticalSection && probe.writerAlive;
        if (w.outcome != Walk::Outcome::raced && !midChange)
            break;
        if (!sleepUnlessStopped(0.02))
            break;
        TableProbe now;
        readWriter(now, rootPath);
        probe.writerAlive = now.writerAlive;
    }
    std::printf("vesk check: table '%s' (%s) in %s\n", table.c_str(), probe.typeText().c_str(),
                probe.directory.c_str());
    std::printf("  writer      %s\n", probe.writerText().c_str());
    if (probe.haveMarker)
        std::printf("  marker      corruption-detected: %s\n", probe.markerText.c_str());
    if (w.outcome == Walk::Outcome::raced || midChange) {
        std::fflush(stdout);
        throw ToolError(kTable,
                        fmt::format("{}: table '{}' kept changing during {} walks; no stable "
                                    "picture (the writer is {}); run the check again",
                                    midChange ? "writer mid-change" : "busy writer", table,
                                    std::min(attempt, kAttempts),
                                    midChange ? "inside a change" : "resizing it"));
    }
    if (w.outcome == Walk::Outcome::clean) {
        std::printf("  headers     slot file and bucket file valid, generation %s\n",
                    w.cinder.toString().c_str());
        std::printf(
            "  chains      %u buckets in order, %llu records, every chain sorted and in "
            "its bucket (longest %llu)\n",
            w.numBuckets, static_cast<unsigned long long>(w.records),
            static_cast<unsigned long long>(w.longestChain));
        std::printf("  free list   %llu slots\n", static_cast<unsigned long long>(w.freeSlots));
        std::printf("  counts      %llu records + %llu free = %u slots\n",
                    static_cast<unsigned long long>(w.records),
                    static_cast<unsigned long long>(w.freeSlots), w.numSlots);
        std::printf("  result      ok (walk %d)\n", attempt);
        return kOk;
    }
    for (const std::string& f : w.faults)
        std::printf("  FAULT       %s\n", f.c_str());
    if (w.faultCount > w.faults.size()) {
        std::printf("  FAULT       ... and %llu more\n",
                    static_cast<unsigned long long>(w.faultCount - w.faults.size()));
    }
    std::printf("  result      %llu fault%s\n", static_cast<unsigned long long>(w.faultCount),
                w.faultCount == 1 ? "" : "s");
    std::fflush(stdout);
    throw ToolError(kFound,
                    fmt::format("table '{}': {} fault{} found; first: {}", table, w.faultCount,
                                w.faultCount == 1 ? "" : "s", w.faults.front()));
}

}  // namespace VeskTool
