// VeskWriter: the single writer of one shared-memory table.
//
// Concurrency contract. Only the thread that owns the table calls a writer; readers in other
// processes read the same files without locks and always find either the old or the new state,
// in the order of doc/file-format.md:
//  1. write() inserts as P2 (copyUnlinked, then the predecessor's link) and overwrites in place
//     as P3 (copyInPlace); remove() unlinks as P4; shrink() and a remove that asks for it move
//     records as P6; a bucket grow or shrink keeps P8.
//  2. Every mutation holds the critical-section bit for its duration (P11); attach() reuses or
//     re-formats the files as P12 says.
//  3. A table that opted in to notifications (MapDescriptor::notify) publishes one queue entry
//     per change, after the change itself is published (notify()): a follower that reads the
//     slot it is told about finds the change or a later one, never an earlier state (Q2). A
//     queue that cannot be renewed ends the publishing, never the change (Ruxa/RuxaWriter.h).
//  4. A failure after a publishing store that leaves this writer's view behind the files (a
//     bucket shrink whose re-map fails) detaches the writer (abandon()); a detached writer
//     refuses every read and mutation with an error, as do reads from critical tasks that run
//     while the buckets are resized.
//
// The lifecycle (ownership, restart, validation, cleanup) is the second half of this class, its
// cold part in VeskWriter.cpp. Direct mode is in Vesk/VeskWriterDirect.h, the slot shrink
// beside the free list in VeskCore/SlotWriter.h, and Tmp in Vesk/Tmp.h; this header includes them.
#pragma once

#include "Mem/Atomic.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Scheduler.h"
#include "Plinth/CinderId.h"
#include "Ruxa/DummyRuxaWriter.h"
#include "Ruxa/RuxaWriter.h"
#include "Vesk/Validator.h"
#include "Vesk/VeskInterface.h"
#include "VeskBase/MapDescriptor.h"
#include "VeskBase/SplitOrder.h"
#include "VeskCore/SlotWriter.h"
#include "VeskCore/WriterHashMap.h"

#include <unistd.h>
#include <functional>
#include <memory>
#include <string>

namespace Mem {
class WriterLock;
}
namespace Plinth {
class OwnerFile;
struct ConduitInfo;
}  // namespace Plinth

namespace Vesk {

// Generation ids of the writer's tables; neither is ever the "none" id (0).
// A local table of process `pid`: (low 16 bits of the pid, 0); (0, 1) when those bits are 0.
Plinth::CinderId localCinderId(uint32_t pid);
// The generation after `id` (a re-format): the second half plus one, skipping 0 when it wraps.
Plinth::CinderId nextCinderId(Plinth::CinderId id);

template <class Ops>
class VeskWriter : public VeskInterface<Ops>, public Pimbo::Debuggable {
  public:
    using OpsType = Ops;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using ValidatorType = Validator<VeskWriter>;
    using HashMap = VeskCore::WriterHashMap<VeskWriter>;
    using Table = SlotWriterTable<Ops>;
    using QuiescedCallback = std::function<void(bool)>;

    VeskWriter(
        Pimbo::Platform::DebugHandler& handler, const std::string& name,
        const MapDescriptor& descriptor, const Ops& ops, const std::string& typeName,
        QuiescedCallback quiesced = [](bool) {})
        : VeskInterface<Ops>(ops),
          Pimbo::Debuggable(handler, "VeskWriter"),
          hashOps_(ops),
          localMem_(descriptor.localMem != 0),
          rootPath_(handler, name, !localMem_, descriptor.fileMode),
          quiesced_(std::move(quiesced)),
          name_(name),
          table_(handler, name_, rootPath_, localMem_, hashOps_, descriptor.initialSize,
                 descriptor.fixedSize != 0, descriptor.shrinkSlots != 0, descriptor.capacityHint,
                 counters_),
          hashMap_(handler, *this, rootPath_, localMem_, descriptor.shrinkBuckets != 0,
                   descriptor.capacityHint),
          ruxa_(handler, rootPath_, counters_, localMem_, descriptor.prune ? 0 : 2, this),
          typeName_(typeName),
          criticalTaskCheck_(descriptor.criticalTaskCheck != 0),
          descriptor_(descriptor) {
        if (descriptor.heap)
            table_.region().useHeapIs(true);
        if (descriptor.notify && !localMem_)
            queue_ = std::make_unique<Ruxa::RuxaWriter>(handler, rootPath_, counters_);
    }

    ~VeskWriter() override { detach(false); }

    // ----- lifecycle (first part: the files of one generation) -----

    // Attaches the slot table and the bucket file for cinderId. True when both were reused or
    // both are new; false for any re-format or a mix.
    bool attach(Plinth::CinderId cinderId) {
        counters_ = Writer::Counters{};
        failure_.clear();
        cinderId_ = cinderId;
        const uint32_t slots = table_.attach(cinderId);
        const uint32_t buckets = hashMap_.bucketWriter().attach(cinderId);
        hashMap_.thresholdsIs(hashMap_.numBuckets());
        if (queue_ != nullptr) {
            queue_->attach(cinderId);  // a new queue for every start: followers resync
        } else if (!localMem_ && !Ruxa::RuxaWriter::removeQueue(debugHandler(), rootPath_)) {
            // A writer that does not publish removes the queue an earlier writer left: its
            // followers would take it for a current queue and miss every change. The queue is
            // withdrawn (generation 0) first, so even a file that stays says it was replaced.
            PIMBO_TRACE(0, "{}: the queue of an earlier writer could not be removed", rootPath_);
        }
        const uint32_t both = slots | buckets;
        return both == 1 || both == 2;
    }

    // Full validation: both headers, the critical-section bit, every chain and the free list.
    // Never throws: a structural error met by a walk, or a validator whose marks cannot be
    // allocated (a huge numSlots), is a false result with its text.
    bool validate(Plinth::CinderId cinderId, bool checkOwner) {
        std::string reason;
        bool ok = false;
        try {
            ValidatorType validator(debugHandler(), *this, table_.capacity());
            try {
                ok = validateWith(validator, cinderId);
            } catch (const Pimbo::Exception& e) {
                validator.reason = e.msg();
            }
            reason = std::move(validator.reason);
        } catch (const Pimbo::Exception& e) {
            reason = fmt::format("cannot validate {} slots: {}", table_.capacity(), e.msg());
        } catch (const std::exception& e) {
            reason = fmt::format("cannot validate {} slots: {}", table_.capacity(), e.what());
        }
        if (!ok) {
            PIMBO_TRACE(0, "{}", reason);
            PIMBO_TRACE(0, "Vesk {} validation failed: {}", name_, reason);
            lastValidationFailure_ = reason;
        }
        if (ok && checkOwner && !ownerFileValid())
            ok = false;
        return ok;
    }
    const std::string& lastValidationFailure() const { return lastValidationFailure_; }

    // ----- VeskInterface -----

    // Checks the processor's atomics (also for a local table when atomicsCheck_) and takes the
    // table's files (attach()) unless initialized.
    bool initialize(const std::string& event) override;

    void detach(bool) override {
        if (directSlot_ != kNoSlot || directNew_) {
            PIMBO_FAIL(
                "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are "
                "properly paired!",
                directSlot_, directValue_);
        }
        PIMBO_TRACE(5, "owner:{} localMem_:{} rootPath:{}", owner_, localMem_, rootPath_);
        ruxa_.onDetach();
        if (queue_ != nullptr)
            queue_->detach();
        releaseOwnership();
        if (table_.header() != nullptr)
            table_.detach();
        hashMap_.bucketWriter().detach();
        this->initializedIs(false);
    }

    bool validate() override {
        const bool ok = validate(cinderId_, true);
        if (!ok && debugHandler().enabled(0))
            PIMBO_TRACE(0, "{}", dumpHeaders());
        return ok;
    }

    uint32_t members() override { return table_.header() ? table_.header()->occupied() : 0; }
    uint32_t buckets() override { return hashMap_.numBuckets(); }
    uint32_t minSize() override { return table_.initialCapacity(); }
    uint32_t maxSize() override { return table_.maxSlots(); }
    uint32_t capacity() override { return table_.capacity(); }
    VeskType type() override { return writer; }
    bool quiesced() override { return true; }
    Writer::Counters writerCounters() override {
        counters_.slotFileSize = table_.region().memSize();
        counters_.bucketFileSize = hashMap_.bucketWriter().fileSize();
        counters_.bucketFileRemaps = hashMap_.bucketWriter().remaps();
        return counters_;
    }
    SequenceRecord sequence() override { return SequenceRecord{counters_.sequence}; }
    bool clientQuiesced(const std::string& readerName) override { return !readerName.empty(); }
    RootPath rootPath() override { return rootPath_; }
    std::string veskName() override { return rootPath_.veskName(); }
    MountStatus mountStatus() override { return this->initialized() ? 1 : 0; }
    Plinth::CinderId cinderId() override { return cinderId_; }

    bool validateVersionAnchor() override {
        const Mem::VersionAnchor anchor = table_.versionAnchor();
        if (hook_ != nullptr)
            hook_(anchor);
        anchor.validate();
        return true;
    }
    void validateVersionAnchorHookIs(VersionAnchorHook hook) override { hook_ = hook; }
    void criticalTaskCheckIs(bool on) override { criticalTaskCheck_ = on; }
    bool criticalTaskCheck() override { return criticalTaskCheck_; }

    // A write by an attached writer with no direct operation open, no critical task running
    // and level-9 tracing off, is the common case: writeHeld, inline. Every other write goes to
    // writeAny, which refuses it or traces it.
    const Value* write(const Value& value, bool overwrite) override {
        if (directSlot_ == kNoSlot && !directNew_ && !busy_ && table_.header() != nullptr &&
            !debugHandler().enabled(9)) [[likely]]
            return writeHeld<false>(value, overwrite);
        return writeAny(value, overwrite);
    }

    bool remove(const Key& key, Value& removed) override {
        assertNoDirect("removing key", key);
        refuseIfBusy("remove");
        const WakeFollowers wake{queue_.get()};
        const auto p = hashMap_.find(key);
        if (!p.found) {
            PIMBO_TRACE(9, "{} bucket:{} not found", key, p.bucket);
            return false;
        }
        table_.critical([&](auto&) {
            table_.copySlotValue(p.slot, removed);
            publishLink(p.prev, Vesk::nextOf(slotLink(p.curr)));
            const uint32_t target = table_.dealloc(p.slot);
            notify(p.slot);
            PIMBO_TRACE(9, "{} bucket:{} slot:{}", key, p.bucket, p.slot);
            shrinkSlots(target);
            if (hashMap_.shrinkBucketsAllowed() &&
                table_.header()->occupied() < hashMap_.shrinkThreshold()) {
                hashMap_.shrinkBuckets();
            }
        });
        return true;
    }

    const Value* lookup(const Key& key, bool& found, void*) override {
        refuseIfUnreadable("lookup");
        const auto p = hashMap_.find(key, HashMap::Seek::lookup);
        found = p.found;
        if (found) {
            table_.versionAnchor().set(loadFlags(p.curr), slotFlagsWord(p.curr), table_.header());
            PIMBO_TRACE(9, "{} found bucket:{} slotId:{}", key, p.bucket, p.slot);
            return reinterpret_cast<const Value*>(slotValue(p.curr));
        }
        PIMBO_TRACE(9, "{} not found bucket:{}", key, p.bucket);
        return &this->ops().defaultValue;
    }

    bool first(Value& out, IterHint& hint) override {
        refuseIfUnreadable("first");
        if (hashMap_.first(0, out, hint))
            return true;
        out = this->ops().defaultValue;
        return false;
    }

    bool next(const Key& after, Value& out, IterHint& hint) override {
        refuseIfUnreadable("next");
        return hashMap_.next(after, out, hint);
    }

    // Direct mode (Vesk/VeskWriterDirect.h): the caller fills a record in place and commits it.
    Value* directWrite(const Value& value) override;
    Value* directUpdate(const Key& key) override;
    void directCommit() override;

    // Shrinks the slot array if it is due. Does nothing while a direct operation is open.
    void shrink() {
        if (directSlot_ != kNoSlot || directNew_ || table_.header() == nullptr)
            return;
        refuseIfBusy("shrink");
        table_.critical([&](auto&) {
            const uint32_t threshold = table_.shrinkThresholdValue();
            shrinkSlots(table_.header()->occupied() < threshold / 2 ? threshold : 0);
        });
    }

    void handleQuiesced(bool q) {
        if (!quiesced_)
            throw std::bad_function_call();
        quiesced_(q);
    }

    // ----- used by the hash map and the validator (tests: VeskWriterTestAccess) -----

    Table& slotTable() { return table_; }
    HashMap& hashMap() { return hashMap_; }
    Writer::Counters& counters() { return counters_; }
    // The queue of a table that opted in to notifications; null otherwise.
    Ruxa::RuxaWriter* notificationQueue() { return queue_.get(); }
    uint32_t hashKey(const Key& k) const { return hashOps_.hashKey(k); }
    uint32_t hashKeyValue(uint64_t k) const { return hashOps_.hashKey(Key(k)); }

    // Seconds a long grow, shrink or bucket resize runs between yields to the critical-priority
    // tasks (when criticalTaskCheck() is on): 10 ms.
    double criticalTaskPeriod() const { return criticalTaskPeriod_; }

    // Gives the table up when this writer's view fell behind files that readers already use
    // (a failure after a publishing store): traces and remembers why, detaches (the lock and the
    // owner entry go too; the critical-section bit stays set, so the next start re-formats), and
    // throws Pimbo::MemoryResourceException naming the table. Every later call is refused.
    [[noreturn]] void abandon(const std::string& why) {
        failure_ = why;
        PIMBO_TRACE(0, "Vesk table {} detached: {}", name_, why);
        detach(false);
        PIMBO_THROW(Pimbo::MemoryResourceException,
                    "Vesk table {} detached: {}; the next writer start re-formats it", name_, why);
    }

    // Runs the process's critical-priority tasks; mutations of this table are refused meanwhile.
    void runCriticalTasks() {
        busy_ = true;
        struct Clear {
            bool& b;
            ~Clear() { b = false; }
        } clear{busy_};
        Pimbo::schedulerRootPimbo().runCriticalPriorityTasks();
    }

    // "Vesk table "{}"\n\n\n{}\n\n{}\n\n": the name and the texts of both file headers.
    std::string dumpHeaders() {
        return fmt::format("Vesk table \"{}\"\n\n\n{}\n\n{}\n\n", name_,
                           table_.header() ? table_.header()->toString() : "slots detached",
                           hashMap_.bucketWriter().toString());
    }

    using Header = SlotTableHeader;

    // Takes ownership of the table's files (shared tables: owner file, writer lock, cinder file)
    // and brings them into a valid state: reuse what validates, re-format otherwise.
    void attach();
    // Attaches the files of the current generation (or of a new one when reformat is set) and
    // validates them in full.
    bool attachAndValidate(bool reformat, Plinth::OwnerFile* ownerFile,
                           const Plinth::ConduitInfo& conduitInfo);
    // Clears this process's conduit from the owner file and gives up the writer lock.
    void releaseOwnership();
    // Whether a fresh handle on the owner file validates (always true for a local table).
    bool ownerFileValid();

    bool validateFiles() override;
    bool cleanup() override;

  private:
    friend struct VeskWriterTestAccess;

    bool directOpen() const { return directSlot_ != kNoSlot || directNew_; }
    void criticalTaskPeriodIs(double seconds) { criticalTaskPeriod_ = seconds; }

    bool validateWith(ValidatorType& validator, Plinth::CinderId cinderId) {
        std::string& reason = validator.reason;
        if (!hashMap_.bucketWriter().validate(cinderId, reason))
            return false;
        Header* h = table_.header();
        if (h == nullptr) {
            reason = fmt::format("slot table {} not attached", table_.fileName());
            return false;
        }
        if (h->criticalSection()) {
            reason = fmt::format("bad critical section runtimeFlags:{:x}",
                                 Mem::loadRelaxed16(&h->runtimeFlags));
            return false;
        }
        if (h->validate(debugHandler(), table_.region().memSize(), cinderId, reason,
                        Ops::typeName(), Ops::valueSize) != AttachFailure::none) {
            return false;
        }
        return validator.walk();
    }

    uint32_t slotId(const char* slot) const {
        return uint32_t((slot - table_.slots().base) / Table::slotSize);
    }

    // A link address that survives a move of the slot mapping: links inside the slot file are
    // kept as offsets from its header; bucket entries (in the other file) as they are.
    struct LinkRef {
        SlotLink* bucketLink = nullptr;
        uint64_t slotOffset = 0;
    };
    LinkRef saveLink(SlotLink* link) {
        const char* base = reinterpret_cast<const char*>(table_.header());
        const char* p = reinterpret_cast<const char*>(link);
        if (p >= base && p < base + table_.region().mappedSize())
            return LinkRef{nullptr, uint64_t(p - base)};
        return LinkRef{link, 0};
    }
    SlotLink* restoreLink(const LinkRef& ref) {
        if (ref.bucketLink != nullptr)
            return ref.bucketLink;
        return reinterpret_cast<SlotLink*>(reinterpret_cast<char*>(table_.header()) +
                                           ref.slotOffset);
    }

    // write's new key (of hash `hash`): a slot taken, filled and linked where the key goes in
    // its chain, the buckets grown when due.
    [[gnu::noinline]] const Value* insert(typename Table::CriticalSectionAnchor& anchor,
                                          const Value& value, uint32_t hash) {
        auto p = hashMap_.find(Ops::key(value), hash, HashMap::Seek::key);
        const uint32_t s = takeSlot(anchor, p.prev, p.hash);
        char* slot = table_.slots()[s];
        publishLink(slotLink(slot), Vesk::nextOf(p.prev));
        copyUnlinked(slot, &value);
        publishLink(p.prev, s);
        notify(s);
        PIMBO_TRACE(9, "new {} bucket:{} slot:{} next:{}", Ops::key(value), p.bucket, s,
                    Vesk::nextOf(slotLink(slot)));
        maybeGrowBuckets();
        return reinterpret_cast<const Value*>(slotValue(table_.slots()[s]));
    }

    // Pops a slot for a new record whose hash is given, growing the slot array when the free
    // list is empty. prev is re-derived when the mapping moved. A full table or a failed grow
    // refuses before anything was stored, so the critical section is released.
    uint32_t takeSlot(typename Table::CriticalSectionAnchor& anchor, SlotLink*& prev,
                      uint32_t hash) {
        Header* h = table_.header();
        if (h->freeHead() == kNoSlot) {
            const LinkRef ref = saveLink(prev);
            bool grew = false;
            try {
                grew = table_.grow();
            } catch (const Pimbo::MemoryResourceException&) {
                anchor.release();
                throw;
            }
            if (!grew) {
                anchor.release();
                PIMBO_THROW(TableFullException, "Vesk table full (occupancy:{} tableSize:{}) {}",
                            table_.header()->occupied(), table_.maxSlots(), name_);
            }
            prev = restoreLink(ref);
        }
        const uint32_t s = table_.takeFreeSlot();
        setRhash(table_.slots()[s], VeskCore::orderKey(hash));
        return s;
    }

    // Fills a slot that no reader can reach yet.
    static void copyUnlinked(char* slot, const Value* value) {
        const uint32_t flags = loadFlags(slot);
        setFlags(slot, flags + 2);
        Mem::storeRelaxedCopy(slotValue(slot), value, sizeof(Value));
        setFlags(slot, (flags + 4) | OCCUPIED);
    }

    // Overwrites a reachable slot under the lookaside protocol.
    [[gnu::always_inline]] void copyInPlace(char* slot, const Value* value) {
        // The previous overwrite's final flags store is ordered before this one's lookaside
        // stores: a reader that copied the new lookaside bytes sees that slot's flags move.
        Mem::writeFence();
        void* look = table_.header()->lookaside();
        setRhash(look, loadRhash(slot));
        Mem::storeRelaxedCopy(slotValue(look), value, sizeof(Value));
        const uint32_t flags = loadFlags(slot);
        setFlags(slot, flags + 2);  // release: the lookaside copy is complete before this
        Mem::writeFence();          // ... and the slot copy below is not seen before it
        Mem::storeRelaxedCopy(slotValue(slot), value, sizeof(Value));
        setFlags(slot, (flags + 4) | OCCUPIED);
    }

    void maybeGrowBuckets() {
        if (table_.header()->occupied() <= hashMap_.growThreshold())
            return;
        try {
            hashMap_.growBuckets();
        } catch (const Pimbo::MemoryResourceException& e) {
            // The table stays consistent with the old bucket count; the next insert tries again.
            PIMBO_TRACE(0, "{}: cannot grow buckets: {}", name_, e.msg());
        }
    }

    void openDirect(uint32_t s, SlotLink* prev, bool isNew, const Key& key);
    // Closes a refused direct operation without publishing anything; a new slot goes back to
    // the free list.
    void abandonDirect(char* slot);
    // Stops the process when a direct operation is open (an unbalanced directWrite or
    // directUpdate), naming `operation` and `what`.
    template <class What>
    void assertNoDirect(const char* operation, const What& what) {
        if (directSlot_ != kNoSlot || directNew_) [[unlikely]]
            unbalancedDirect(operation, what);
    }
    template <class What>
    [[gnu::noinline, gnu::cold]] void unbalancedDirect(const char* operation, const What& what);

    // Mutations: refused while critical tasks run inside a long operation, and by a writer
    // that is not attached.
    void refuseIfBusy(const char* operation) {
        if (!busy_ && table_.header() != nullptr) [[likely]]
            return;
        refuse(operation);
    }
    // Reads: refused while the buckets are being resized (the chains then match neither
    // count), and by a writer that is not attached.
    void refuseIfUnreadable(const char* operation) {
        if (!hashMap_.resizing() && table_.header() != nullptr) [[likely]]
            return;
        refuse(operation);
    }
    [[noreturn]] void refuse(const char* operation) {
        if (table_.header() == nullptr) {
            PIMBO_THROW(Pimbo::RuntimeException, "{} on Vesk table {} refused: not attached{}{}",
                        operation, name_, failure_.empty() ? "" : ": ", failure_);
        }
        PIMBO_THROW(Pimbo::RuntimeException,
                    "{} on Vesk table {} refused: the table is being resized and the call comes "
                    "from a critical task",
                    operation, name_);
    }

    // Shrinks the slot array when `target` (the threshold that asked for it) is not 0: the
    // slot table moves the records beyond the new end down (VeskCore/SlotWriter.h), each one
    // relinked through the link that leads to it in its chain. An occupied slot that no chain
    // leads to (its key in no chain, or found in another slot) is damage in the file: it throws
    // Pimbo::CorruptionDetectedException, the critical-section bit staying set.
    void shrinkSlots(uint32_t target) {
        if (target == 0)
            return;
        typename HashMap::Yield yield(*this);
        auto linkTo = [&](uint32_t id, uint64_t key) {
            const auto p = hashMap_.find(Key(key));
            if (!p.found)
                PIMBO_THROW(Pimbo::CorruptionDetectedException, "fromSlot:{} key not found", id);
            if (p.slot != id || p.prev == nullptr)
                PIMBO_THROW(Pimbo::CorruptionDetectedException, "fromSlot:{} not referenced", id);
            return p.prev;
        };
        table_.shrink(
            target, linkTo,
            [&](uint32_t to, uint32_t from) {
                // Both slots changed: a follower that reads the new one after the record left it
                // again still learns that the old one no longer holds it.
                notify(to);
                notify(from);
            },
            [&] { yield.check(); });
    }

    // write, once the writer may write: the key of a record the table holds is overwritten
    // without a call (a queue's steps are one tail call, published), so that it saves few
    // registers and stores little and consecutive overwrites overlap their cache misses; a key
    // the walk does not meet goes to inserted. traced: level-9 tracing may be on.
    template <bool traced>
    [[gnu::always_inline]] const Value* writeHeld(const Value& value, bool overwrite) {
        const Key& key = Ops::key(value);
        const uint32_t hash = hashKey(key);
        // The bit is set before the walk: a walk that meets damage throws and leaves it set.
        table_.header()->criticalSectionIs(true);
        uint32_t s = 0;
        char* slot = hashMap_.slotOfKey(key, hash, s);
        if (slot == nullptr) [[unlikely]] {
            // Nothing was stored: the insert opens its own critical section.
            table_.header()->criticalSectionIs(false);
            return inserted(value, hash);
        }
        if constexpr (traced)
            PIMBO_TRACE(9, "existing {} slot:{}", key, s);
        if (overwrite)
            copyInPlace(slot, &value);
        if (queue_ != nullptr) [[unlikely]]
            return published(overwrite, s, slot);
        table_.header()->criticalSectionIs(false);
        return reinterpret_cast<const Value*>(slotValue(slot));
    }
    // write's general path: the refusals (a direct operation open, a busy or detached writer),
    // and every write while level-9 tracing is on.
    [[gnu::noinline]] const Value* writeAny(const Value& value, bool overwrite) {
        assertNoDirect("writing value", value);
        refuseIfBusy("write");
        return writeHeld<true>(value, overwrite);
    }
    // write's insert of a key its walk did not meet (hash: the key's).
    [[gnu::noinline]] const Value* inserted(const Value& value, uint32_t hash) {
        const WakeFollowers wake{queue_.get()};
        return table_.critical(
            [&](auto& anchor) -> const Value* { return insert(anchor, value, hash); });
    }
    // The end of write's write of slot s (at slot) on a writer with a queue: the change
    // published (when the record changed), the critical section closed, then the followers woken
    // (also for what an earlier direct commit published), as every operation ends its batch.
    [[gnu::noinline]] const Value* published(bool changed, uint32_t s, char* slot) {
        {
            const WakeFollowers wake{queue_.get()};
            if (changed)
                notify(s);
            table_.header()->criticalSectionIs(false);
        }
        return reinterpret_cast<const Value*>(slotValue(slot));
    }

    // The one place a change reaches the notification queue: the slot of an insert, overwrite,
    // removal or record move, after the change is published.
    void notify(uint32_t slot) {
        if (queue_ != nullptr) [[unlikely]]
            queue_->publish(slot);
    }
    // One operation is one batch: its followers are woken once, when it is done.
    struct WakeFollowers {
        Ruxa::RuxaWriter* queue;
        ~WakeFollowers() {
            if (queue != nullptr) [[unlikely]]
                queue->wake();
        }
    };

  protected:
    Ops hashOps_;
    bool localMem_;
    RootPath rootPath_;
    Plinth::CinderId cinderId_;
    uint32_t directSlot_ = kNoSlot;
    SlotLink* directPrev_ = nullptr;
    bool directNew_ = false;
    Key directKey_{};
    Value directValue_{};  // the record a direct operation fills (Vesk/VeskWriterDirect.h)
    Writer::Counters counters_;
    QuiescedCallback quiesced_;
    std::string name_;
    Table table_;
    HashMap hashMap_;
    Ruxa::DummyRuxaWriter ruxa_;
    std::unique_ptr<Ruxa::RuxaWriter> queue_;  // only when the table opted in
    bool owner_ = false;
    std::string typeName_;
    bool criticalTaskCheck_;
    MapDescriptor descriptor_;
    VersionAnchorHook hook_ = nullptr;
    bool busy_ = false;
    double criticalTaskPeriod_ = 0.01;
    std::string failure_;  // why abandon() gave the table up
    bool atomicsCheck_ = false;
    std::string lastValidationFailure_;
    std::shared_ptr<Mem::WriterLock> writerLock_;
};

}  // namespace Vesk
