// TableChecker: a read-only consistency walk of a table's two files ("slots", "buckets"), beside
// a writer that may be running. `vesk check` reports what it finds; a test calls it the same way:
//
//   const Vesk::TableCheck c = Vesk::TableChecker<CounterEntrySimpleOps>::check(rootPath);
//   EXPECT_TRUE(c.ok()) << c.firstFault();
//
// Who may call what: any process that may read the table, on any thread; nothing is shared.
// A check maps both files PROT_READ (Mem::PlinthWrapper, reader mode), takes no lock and writes
// nothing (not even the corruption marker a reader would leave).
//
// What one walk checks (2 to 5 are the table's one walk, VeskBase/TableWalk.h, which the
// writer's validation runs too):
//  1. both headers as a reader would (magic, version, checksum, generation, sizes, record type);
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
// Every walk is bounded: a chain or the free list by numSlots (a slot met twice is a fault),
// the bucket order by numBuckets.
//
// Racing the writer. Every link the walk follows is a versioned 8-byte word whose version
// grows on every change, and every resize moves the version of numSlots or numBuckets. After
// the walk the links are loaded again together with the header's counts, the free-list head
// and the critical-section bit: when anything moved, the walk saw a mixture and is repeated.
// A fault is reported only from a walk during which nothing moved; in-place record updates
// (the steady state of a counter table) move nothing the walk depends on. Faults seen while a
// live writer has its critical-section bit set are that writer mid-change: the walk is repeated
// (at most TableCheck::kAttempts walks) and, when the writer stays inside the change, the outcome
// is midChange, never faults.
#pragma once

#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vesk {

// What a check of one table found.
struct TableCheck {
    enum class Outcome {
        clean,       // no fault
        faults,      // faults found by a walk during which nothing moved
        busy,        // the writer kept resizing the table: no walk saw a stable picture
        midChange,   // a live writer stayed inside a change (its critical-section bit set)
        unreadable,  // the table or one of its files cannot be opened or mapped
    };
    static constexpr size_t kShownFaults = 20;
    static constexpr int kAttempts = 50;

    Outcome outcome = Outcome::clean;
    std::vector<std::string> faults;  // the first kShownFaults findings, one line each
    uint64_t faultCount = 0;
    std::string error;  // why the table is unreadable
    int walks = 0;
    // What the last walk saw.
    Plinth::CinderId cinder;  // of the cinder file
    uint32_t numSlots = 0;
    uint32_t numBuckets = 0;
    uint64_t records = 0;
    uint64_t freeSlots = 0;
    uint64_t longestChain = 0;

    bool ok() const { return outcome == Outcome::clean; }
    // "" for a clean table; else one line: the first fault, or why there is no picture.
    std::string firstFault() const;
};

// The record type a check expects: its name and size as the slot file header stores them, and
// the seeded key hash that places its records in buckets.
struct CheckedType {
    const char* typeName;
    uint32_t valueSize;
    uint32_t (*hash)(uint32_t seed, uint64_t key);
};

// Walks the files of the table at rootPath (records of `type`) until a walk sees a stable
// picture, at most TableCheck::kAttempts times, calling `pause` between two walks (it returns false
// to give up; none: walk again at once).
TableCheck checkTable(const Mem::RootPath& rootPath, const CheckedType& type,
                      const std::function<bool()>& pause = {});

template <class Ops>
class TableChecker {
  public:
    static TableCheck check(const Mem::RootPath& rootPath,
                            const std::function<bool()>& pause = {}) {
        return checkTable(rootPath, CheckedType{Ops::typeName(), Ops::valueSize, &hash}, pause);
    }

  private:
    static uint32_t hash(uint32_t seed, uint64_t key) {
        decltype(Ops::hash) h;
        h.seedIs(seed);
        return h(typename Ops::Key(key));
    }
};

}  // namespace Vesk
