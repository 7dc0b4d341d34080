// VeskReader: the lock-free reader of a table that a writer in another process publishes in
// shared memory.
//
// Who may call what: one thread of the reader process (the one that owns the entity tree) calls
// everything here. The reader maps the writer's two files read-only and never stores into
// them; the writer is never blocked by readers and knows nothing of them.
//
// How an answer comes about. Every lookup, first and next runs the hash-map operation (see
// VeskCore/ReaderHashMap.h) inside one retry loop:
//  1. The operation walks the mapping it has. A lookup whose walk met a state the writer's
//     bucket resize explains says so (VeskCore::Walk::retry) and the loop re-maps and runs it
//     again. A walk that meets a state no writer step explains throws
//     Pimbo::CorruptionDetectedException.
//  2. After every pass the loop checks the writer's slot count and bucket count versions. When
//     either moved, the pass may have mixed two sizes: the files are re-mapped to the current
//     sizes and the operation runs again (counted in remapRetries). Only a pass that began and
//     ended on the writer's current sizes answers (P13 of doc/file-format.md).
//  3. A corruption exception is let through only when no re-map explains it.
//  4. When the slot file's cinder id or hash seed (or the bucket file's cinder id) is no longer
//     the one attached, the writer re-formatted the files in place (P12): keys now hash with
//     another seed, so no answer of the old mapping may stand. The loop detaches and initializes
//     again once: on success a lookup or first runs again and answers from the new generation, and
//     a next ends its iteration (its order belonged to the old generation); on failure it answers
//     "absent", mountStatus() is 0, and later calls try again whenever the cinder file changed.
//  5. An answer without a record (a miss, the end of an iteration) leaves the cache anchor
//     invalid, so validateVersionAnchor() throws Mem::VersionMismatchException rather than vouch
//     for a record that was never returned.
// The loop has no pass limit: each further pass is caused by a step of the writer. It spins
// politely (a pause instruction per pass). A lookup first makes one quick pass
// (ReaderHashMap::quickLookup) followed by the check of step 2; it enters the loop only when
// that pass or the check was not conclusive.
//
// A slot-order scan (scan) reads the slot array front to back instead of following the chains,
// in stretches of kScanStretch slots, each record with the seqlock copy of a lookup. Records
// change slots only when a shrink moves them, and the writer keeps numSlots' version odd while
// it does (P6 of doc/file-format.md). A stretch is handed to the visitor only
// when the numSlots word read after it equals the one read before it (or shows one grow, which
// moves nothing: the new slots are scanned too) and the generation did not move. So every
// record present during the whole scan is visited exactly once, with a whole copy. Otherwise
// the stretch is dropped and the scan finishes in table order (first/next), skipping the keys
// it already visited: still no duplicate, no skipped record. A key removed and inserted again
// during the scan is a new record; it may be visited twice, once in each slot.
#pragma once

#include "Mem/MappingRegistry.h"
#include "Mem/VersionAnchor.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"
#include "Plinth/SafeHeaderCopy.h"
#include "Vesk/VeskInterface.h"
#include "VeskBase/AttachFailure.h"
#include "VeskBase/Counters.h"
#include "VeskBase/Types.h"
#include "VeskCore/ReaderHashMap.h"
#include "VeskCore/SlotReader.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vesk {

// What a slot-order scan did.
struct ScanResult {
    uint64_t records = 0;     // records visited
    bool tableOrder = false;  // records moved or the files changed: it finished in table order
};

template <class OpsT>
class VeskReader : public VeskInterface<OpsT>, public Pimbo::Debuggable {
  public:
    using Ops = OpsT;
    using OpsType = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Table = SlotReaderTable<Ops>;
    using HashMap = VeskCore::ReaderHashMap<VeskReader>;

    // shared: counters to report into (a front passes null: the reader then owns its own).
    VeskReader(Pimbo::Platform::DebugHandler& handler, const char* name, const Ops& ops,
               Reader::Counters* shared)
        : VeskInterface<Ops>(ops),
          Pimbo::Debuggable(handler, "VeskReader"),
          rootPath_(handler, name, false),
          ownedCounters_(shared == nullptr ? new Reader::Counters() : nullptr),
          counters_(shared != nullptr ? shared : ownedCounters_.get()),
          table_(handler, rootPath_, &this->ops_, counters_),
          hashMap_(handler, *this, rootPath_, counters_) {}

    ~VeskReader() override { detach(false); }

    VeskReader(const VeskReader&) = delete;
    VeskReader& operator=(const VeskReader&) = delete;

    // ----- lifecycle (VeskReaderImpl.h) -----

    // Maps and validates both files; true when the reader is (now) attached. Otherwise
    // attachFailure() says why and attachFailureMessage() names the file and the value found.
    bool initialize(const std::string& event) override;
    AttachFailure attachFailure() const { return failure_; }
    const std::string& attachFailureMessage() const { return failureMessage_; }
    // For a caller that keeps a reader for long: whether this reader answers from the files
    // now at the table's path. Mapped files that lost their names (the table was removed, and
    // perhaps made again) are left as a re-format is (counted in generationChanges): the reader
    // attaches to the files now there. False when there are none it can attach to
    // (attachFailure() says why; later calls try again). One system call (an fstat of the slot
    // file, which a table made anew always replaces): for a front end's call, not inside a
    // walk.
    bool followFiles();
    // Whether a validation failure writes the table's corruption marker (default true; an
    // inspecting tool turns it off, and a reader that does not own the directory never writes).
    void writesMarkerIs(bool writes) { writesMarker_ = writes; }
    void detach(bool deleted) override;
    // "Vesk table "{}"\n\n\n{}\n\n{}\n\n": the root path and the texts of both file headers.
    std::string dumpHeaders() const;

    // ----- VeskInterface -----

    uint32_t members() override {
        const uint32_t n = table_.liveOccupiedSlots();
        checkMappings();
        return n;
    }
    uint32_t buckets() override { return hashMap_.buckets().numBuckets(); }
    uint32_t minSize() override { return 0; }
    uint32_t maxSize() override {
        const uint32_t n = table_.liveMaxSlots();
        checkMappings();
        return n;
    }
    uint32_t capacity() override { return table_.capacity(); }
    VeskType type() override { return reader; }
    bool quiesced() override { return this->initialized(); }
    Reader::Counters readerCounters() override {
        counters_->slotFileSize = table_.region().memSize();
        counters_->bucketFileSize = hashMap_.buckets().fileSize();
        return *counters_;
    }
    RootPath rootPath() override { return rootPath_; }
    std::string veskName() override { return rootPath_.veskName(); }
    MountStatus mountStatus() override { return this->initialized() ? 1 : 0; }
    Plinth::CinderId cinderId() override { return cinderId_; }

    // Whether the record returned last is still unchanged in shared memory.
    bool validateVersionAnchor() override {
        table_.cacheAnchor().validate();
        return true;
    }
    Mem::CacheVersionAnchor getCacheVersionAnchor() override {
        return table_.cacheAnchor().cache();
    }

    const Value* lookup(const Key& key, bool& found, void* buffer) override {
        return lookupHashed(key, hashKeyValue(key.value()), found, buffer);
    }

    bool first(Value& out, IterHint& hint) override {
        ++counters_->iterations;
        bool more = false;
        const bool answered = settle(
            [&] {
                more = hashMap_.first(0, out, hint);
                return true;
            },
            nullptr);
        if (answered && more)
            return true;
        Ops::copyValue(out, this->ops_.defaultValue);
        table_.forgetRecord();
        return false;
    }

    bool next(const Key& after, Value& out, IterHint& hint) override {
        ++counters_->iterations;
        const Key a = after;  // callers pass out's own key: keep it while out is overwritten
        // The common case, as in lookup: one quick step and the one combined check.
        if (this->initialized()) [[likely]] {
            IterHint answer;
            if (hashMap_.quickNext(a.value(), out, hint, answer) == HashMap::Quick::found &&
                mappedCurrent()) [[likely]] {
                hint = answer;
                return true;
            }
        }
        return settledNext(a, out, hint);
    }

    // Looks keys[0..n) up as n lookups would, with the memory accesses of different keys
    // overlapped: while key i is looked up, the second slots, first slots and bucket entries of
    // the keys after it are on their way (ReaderHashMap's prefetch steps). out[i] receives the
    // record or the default value and found[i] says which; returns the number found. The cache
    // anchor afterwards vouches for the last key's answer.
    size_t lookupMany(const Key* keys, size_t n, Value* out, bool* found) {
        // Key i's bucket entry is asked for kEntry lookups ahead, its first slot kFirst ahead,
        // its second slot kSecond ahead; each key is hashed once, into a ring that still holds
        // a key's hash when its lookup comes (after the hash of the key kEntry on was stored).
        // A lookup takes its key's hash from the ring only while the seed it was made with is
        // the reader's: a lookup that met a re-format re-attached with the new one.
        constexpr size_t kEntry = 16, kFirst = 10, kSecond = 5, kRing = 32;
        constexpr uint32_t kPipelineFromBuckets = 1u << 15;
        static_assert(kEntry < kRing && kSecond < kFirst && kFirst < kEntry);
        const uint32_t seed = this->ops_.hashSeed();
        uint32_t hashes[kRing];
        size_t hits = 0;
        // A table whose buckets fit the caches gains nothing from the pipeline but its work.
        const bool mapped =
            this->initialized() && hashMap_.buckets().numBuckets() >= kPipelineFromBuckets;
        for (size_t i = 0; i < n + kEntry; ++i) {
            if (mapped && i < n) {
                hashes[i % kRing] = hashKeyValue(keys[i].value());
                hashMap_.prefetchEntry(hashes[i % kRing]);
            }
            if (mapped && i >= kEntry - kFirst && i - (kEntry - kFirst) < n)
                hashMap_.prefetchFirstSlot(hashes[(i - (kEntry - kFirst)) % kRing]);
            if (mapped && i >= kEntry - kSecond && i - (kEntry - kSecond) < n) {
                const size_t k = i - (kEntry - kSecond);
                hashMap_.prefetchSecondSlot(hashes[k % kRing], keys[k]);
            }
            if (i >= kEntry) {
                const size_t k = i - kEntry;
                if (mapped && this->ops_.hashSeed() == seed) [[likely]]
                    lookupHashed(keys[k], hashes[k % kRing], found[k], &out[k]);
                else
                    VeskReader::lookup(keys[k], found[k], &out[k]);
                hits += found[k];
            }
        }
        return hits;
    }

    // Visits every record of the table once, in slot order: visit(const Value&) for each (see
    // the top of this file for what the order guarantees). A reader without a table visits
    // nothing. A re-format met during the scan shows in counters().generationChanges, as for
    // table-order walks.
    template <class Visit>
    ScanResult scan(Visit&& visit) {
        ++counters_->scans;
        ScanResult result;
        Count at;
        // Map the writer's current sizes, and read the word the first stretch is checked by.
        do {
            if (!settle([] { return true; }, nullptr))
                return result;
            at = table_.liveCount();
        } while (at.version != table_.mappedNumSlots().version);
        std::vector<uint64_t> visited;
        // The writer's count is a hint from shared memory: never more than the mapped slots.
        visited.reserve(std::min(table_.liveOccupiedSlots(), table_.slots().count));
        Value stretch[kScanStretch];
        for (uint32_t from = 0; (at.version & 1) == 0;) {
            const uint32_t to =
                std::min<uint64_t>(uint64_t(from) + kScanStretch, table_.slots().count);
            if (from >= to)
                return result;
            const uint32_t n = table_.copyOccupied(from, to, stretch);
            const Count now = table_.liveCount();
            if (filesMoved())
                break;
            if (now != at) {
                // One grow moved nothing: map the new slots and go on to them.
                if (now.version != at.version + 2 || now.value <= at.value || !remapped())
                    break;
                at = now;
            }
            for (uint32_t i = 0; i < n; ++i) {
                visited.push_back(Ops::key(stretch[i]).value());
                visit(static_cast<const Value&>(stretch[i]));
            }
            result.records += n;
            from = to;
        }
        ++counters_->scanFallbacks;
        result.tableOrder = true;
        std::sort(visited.begin(), visited.end());
        Value v{};
        IterHint hint;
        for (bool more = first(v, hint); more; more = next(Ops::key(v), v, hint)) {
            if (!std::binary_search(visited.begin(), visited.end(), Ops::key(v).value())) {
                visit(static_cast<const Value&>(v));
                ++result.records;
            }
        }
        return result;
    }

    // Slots a scan copies between two looks at the writer's numSlots word.
    static constexpr uint32_t kScanStretch = 256;

    // ----- used by the hash map and the shadow -----

    Table& slotTable() { return table_; }
    const Table& slotTable() const { return table_; }
    HashMap& hashMap() { return hashMap_; }
    Reader::Counters& counters() { return *counters_; }
    uint32_t hashKeyValue(uint64_t k) const { return this->ops_.hashKey(Key(k)); }
    const Value& defaultValue() const { return this->ops_.defaultValue; }
    Value& scratch() { return scratch_; }
    // The reader's look at the guard (Mem/MappingRegistry.h) at the end of an operation: one
    // relaxed load while no mapping of this process lost pages. Throws
    // TableUnreadableException (fileShrank) naming the file when one of this reader's did;
    // the reader is then detached, and its next call attaches to the files as they are then.
    void checkMappings() {
        if (Mem::MappingRegistry::losses() != seenLosses_) [[unlikely]]
            lostPages();
    }
    // The files now belong to another generation than the one attached.
    bool generationMoved() const {
        return table_.generationChanged() || hashMap_.buckets().liveCinder() != cinderId_;
    }

  private:
    using Count = typename Table::Count;

    // next through the retry loop, out of the quick step's way.
    [[gnu::noinline]] bool settledNext(Key a, Value& out, IterHint& hint) {
        bool more = false;
        const bool answered = settle(
            [&] {
                const VeskCore::Walk walk = hashMap_.next(a, out, hint);
                more = walk == VeskCore::Walk::found;
                return walk != VeskCore::Walk::retry;
            },
            &hint);
        if (answered && more)
            return true;
        table_.forgetRecord();
        return false;
    }

    // lookup, of a key whose hashKeyValue under the reader's seed the caller worked out.
    [[gnu::always_inline]] const Value* lookupHashed(const Key& key, uint32_t hash, bool& found,
                                                     void* buffer) {
        ++counters_->lookups;
        const Key k = key;  // key may live in buffer, which the walk overwrites
        // The common case: one quick walk and the one combined check of the answer.
        if (this->initialized()) [[likely]] {
            Value& dest = buffer != nullptr ? *static_cast<Value*>(buffer) : scratch_;
            const auto quick = hashMap_.quickLookup(k.value(), hash, dest);
            if (quick != HashMap::Quick::unsure && mappedCurrent()) [[likely]] {
                found = quick == HashMap::Quick::found;
                return found ? &dest : absent(buffer);
            }
        }
        return settledLookup(k, found, buffer);
    }

    // lookup through the retry loop, out of the quick path's way.
    [[gnu::noinline]] const Value* settledLookup(Key k, bool& found, void* buffer) {
        const Value* result = nullptr;
        VeskCore::Walk walk = VeskCore::Walk::absent;
        found = false;  // also when a corruption escapes
        const bool answered = settle(
            [&] {
                walk = hashMap_.lookup(k, result, buffer);
                return walk != VeskCore::Walk::retry;
            },
            nullptr);
        found = answered && walk == VeskCore::Walk::found;
        return found ? result : absent(buffer);
    }

    // A lookup's answer for a key it did not find: the default value (also into buffer), and no
    // record to vouch for.
    [[gnu::noinline]] const Value* absent(void* buffer) {
        table_.forgetRecord();
        if (buffer != nullptr)
            Ops::copyValue(*static_cast<Value*>(buffer), this->ops_.defaultValue);
        return &this->ops_.defaultValue;
    }

    // The scan's re-map after a grow; false when the files no longer fit (the table-order walk
    // that follows meets that through the retry loop).
    bool remapped() {
        try {
            table_.doResize();
            return true;
        } catch (const Pimbo::CorruptionDetectedException&) {
            return false;
        }
    }

    // Runs op until its answer stands (see the top of this file). False when the reader has no
    // table to answer from; the caller then answers "absent". A damage or a failed re-map that
    // escapes is first held against the guard: zeros read from a file cut short are no damage.
    template <class Op>
    bool settle(Op&& op, IterHint* hint) {
        try {
            return settlePasses(op, hint);
        } catch (const Pimbo::CorruptionDetectedException&) {
            checkMappings();
            throw;
        } catch (const Pimbo::MemoryResourceException&) {
            checkMappings();
            throw;
        }
    }

    template <class Op>
    bool settlePasses(Op& op, IterHint* hint) {
        if (!this->initialized() && !reattach())
            return false;
        for (;;) {
            bool walked = true;  // false: the walk met a resize under way and asks for a re-map
            try {
                walked = op();
                if (walked && current()) [[likely]]
                    return true;
            } catch (const Pimbo::CorruptionDetectedException&) {
                if (filesMoved()) {
                    if (!newGeneration(hint))
                        return false;
                    continue;
                }
                const bool slots = table_.doResize();
                const bool buckets = hashMap_.buckets().resize();
                if (!slots && !buckets)
                    throw;
                again(hint);
                continue;
            }
            if (filesMoved()) {
                if (!newGeneration(hint))
                    return false;
                continue;
            }
            const bool slots = table_.doResize();
            if (!walked || hashMap_.buckets().stale()) {
                hashMap_.buckets().doResize();
                again(hint);
                continue;
            }
            if (slots) {
                again(hint);
                continue;
            }
            return true;
        }
    }

    // The one combined check of an answer: the files are still the generation attached, no
    // mapping lost pages, and neither count moved since it was mapped. The words it reads sit
    // on the two header lines and the loss counter, which every answer reads: all in cache. When
    // one moved, the passes below find out which and act on it.
    bool current() const {
        return !(table_.generationChanged() || hashMap_.buckets().liveCinder() != cinderId_ ||
                 Mem::MappingRegistry::losses() != seenLosses_ || table_.countMoved() ||
                 hashMap_.buckets().stale());
    }

    // current() for an answer that quickLookup read through both mappings (so both headers are
    // mapped): the same words, each difference or-ed in, one branch.
    bool mappedCurrent() const {
        return (table_.movedSinceMapped() | hashMap_.buckets().movedSinceMapped(cinderId_) |
                (Mem::MappingRegistry::losses() ^ seenLosses_)) == 0;
    }

    // generationMoved, and the guard's look at what the operation and that check read (the
    // words it compares came from the mappings too): the one check of every pass.
    bool filesMoved() {
        const bool moved = generationMoved();
        checkMappings();
        return moved;
    }

    // Re-attaches to a re-formatted table. A lookup or a first then runs again on the new
    // generation; a next ends its iteration, whose order belonged to the old one (the next
    // iteration walks the new table).
    bool newGeneration(IterHint* hint) {
        if (!generationChanged() || hint != nullptr)
            return false;
        again(hint);
        return true;
    }

    void again(IterHint* hint) {
        ++counters_->remapRetries;
        // A hint of the old mapping names a bucket of the old count: find the position by key.
        if (hint != nullptr)
            hint->bucket = 0xFFFFFFFF;
        Mem::spinPause();
    }

    // checkMappings' cold half: whether one of this reader's mappings lost pages.
    void lostPages();
    // The file of a mapping of this reader that lost pages; null when none did.
    const Mem::PlinthWrapper* shrunkFile();
    // initialize's refusal for a file cut short while it was read: detached, fileShrank.
    bool refuseShrunk(const Mem::PlinthWrapper& file);
    // Cold paths of a re-formatted table (VeskReaderImpl.h). generationChanged counts the
    // change, detaches and attaches again; true when the new generation is attached.
    bool generationChanged();
    bool reattach();
    // Records why initialize failed and returns false.
    bool refuse(AttachFailure failure, std::string message);
    // initialize's refusal for a file that could not be mapped.
    bool refuseUnmapped(const Mem::PlinthWrapper& region, uint64_t headerSize);

    RootPath rootPath_;
    std::unique_ptr<Reader::Counters> ownedCounters_;
    Reader::Counters* counters_;
    Table table_;
    HashMap hashMap_;
    Plinth::CinderId cinderId_;
    Value scratch_{};
    // Set when a generation change left the reader detached: later calls try to re-attach.
    bool generationLost_ = false;
    // The cinder file (id, mtime) of the last failed re-attach: retried only when it changed.
    Plinth::CinderId lastTriedCinder_;
    double lastTriedMtime_ = -1;
    uint64_t seenLosses_ = 0;  // Mem::MappingRegistry::losses() when last looked at
    AttachFailure failure_ = AttachFailure::none;
    std::string failureMessage_;
    bool writesMarker_ = true;
};

}  // namespace Vesk
