// VeskWriter: the single writer of one shared-memory table.
//
// Concurrency contract. Only the thread that owns the table calls a writer; readers in other
// processes read the same files without locks and always find either the old or the new state:
//  1. Insert: a new record becomes reachable only by the final 8-byte store into its
//     predecessor's link, after its rhash, record, flags (with OCCUPIED) and own link are
//     complete.
//  2. Overwrite in place: the lookaside slot receives the slot's rhash and the complete new
//     record first; flags + 2 (LOOKASIDE set) announces the copy, flags + 2 again ends it.
//  3. Remove: one 8-byte store into the predecessor's link unlinks the slot; the slot keeps its
//     successor until dealloc clears OCCUPIED and then relinks it into the free list, so a reader
//     standing on it either continues along the chain or sees flags change and retries.
//  4. Shrink: every surviving record is copied to a lower slot and linked there before it is
//     unlinked from its old slot; numSlots shrinks before the file's tail is released.
//  5. Every mutation sets the critical-section bit of the slot file for its duration; a file
//     found with the bit set was left in the middle of a change and is never reused.
//  6. A failure after a publishing store that leaves this writer's view behind the files (a
//     bucket shrink whose re-map fails) detaches the writer (abandon()); a detached writer
//     refuses every read and mutation with an error, as do reads from critical tasks that run
//     while the buckets are resized.
//
// The lifecycle (ownership, restart, validation, cleanup) is the second half of this class.
#pragma once

#include "Mem/Atomic.h"
#include "Mem/Atomics.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Scheduler.h"
#include "Plinth/CinderId.h"
#include "Ruxa/DummyRuxaWriter.h"
#include "Vesk/MapDescriptor.h"
#include "Vesk/SlotWriter.h"
#include "Vesk/Validator.h"
#include "Vesk/VeskInterface.h"
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
                 descriptor.fixedSize != 0, descriptor.shrinkSlots != 0, counters_),
          hashMap_(handler, *this, rootPath_, localMem_, descriptor.shrinkBuckets != 0),
          ruxa_(handler, rootPath_, counters_, localMem_, descriptor.prune ? 0 : 2, this),
          typeName_(typeName),
          criticalTaskCheck_(descriptor.criticalTaskCheck != 0),
          descriptor_(descriptor) {
        if (descriptor.heap)
            table_.region().useHeapIs(true);
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
            hashMap_.validatorIs(&validator);
            ruxa_.validatorIs(&validator);
            struct Detach {
                VeskWriter& w;
                ~Detach() {
                    w.hashMap_.validatorIs(nullptr);
                    w.ruxa_.validatorIs(nullptr);
                }
            } detachValidator{*this};
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

    bool initialize(const std::string& event) override {
        if ((!localMem_ || atomicsCheck_) && !Mem::Atomics::checkCpuSupport()) {
            PIMBO_THROW(Pimbo::InvalidInitializeException, "Hardware does not support Atomics");
        }
        PIMBO_TRACE(5, "{} event:{}", name_, event);
        if (!this->initialized()) {
            attach();
            this->initializedIs(true);
        }
        return true;
    }

    void detach(bool) override {
        if (directSlot_ != kNoSlot || directNew_) {
            Value held{};
            if (table_.header() != nullptr && directSlot_ < table_.capacity()) {
                std::memcpy(&held, slotValue(table_.slots()[directSlot_]), sizeof(Value));
            }
            PIMBO_FAIL(
                "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are "
                "properly paired!",
                directSlot_, held);
        }
        PIMBO_TRACE(5, "owner:{} localMem_:{} rootPath:{}", owner_, localMem_, rootPath_);
        ruxa_.onDetach();
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
    uint32_t minSize() override {
        return table_.fixedSize() ? table_.maxSlots() : Table::pageCapacity();
    }
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

    const Value* write(const Value& value, bool overwrite) override {
        const Key& key = Ops::key(value);
        assertNoDirect("writing value", value);
        refuseIfBusy("write");
        typename Table::CriticalSectionAnchor anchor(table_);
        const uint32_t hash = hashKey(key);
        const uint32_t bucket = hashMap_.bucketOf(hash);
        SlotLink* prev = nullptr;
        char* curr = nullptr;
        if (hashMap_.find(key, bucket, prev, curr, hash)) {
            const uint32_t s = slotId(curr);
            PIMBO_TRACE(9, "existing {} bucket:{} slot:{} next:{}", key, bucket, s,
                        slotLink(curr)->next);
            if (overwrite)
                copyInPlace(curr, &value);
            return reinterpret_cast<const Value*>(slotValue(curr));
        }
        const uint32_t s = takeSlot(anchor, prev, hash);
        char* slot = table_.slots()[s];
        publishLink(slotLink(slot), prev->next);
        copyUnlinked(slot, &value);
        publishLink(prev, s);
        PIMBO_TRACE(9, "new {} bucket:{} slot:{} next:{}", key, bucket, s, slotLink(slot)->next);
        maybeGrowBuckets();
        return reinterpret_cast<const Value*>(slotValue(table_.slots()[s]));
    }

    bool remove(const Key& key, Value& removed) override {
        assertNoDirect("removing key", key);
        refuseIfBusy("remove");
        const uint32_t hash = hashKey(key);
        const uint32_t bucket = hashMap_.bucketOf(hash);
        SlotLink* prev = nullptr;
        char* curr = nullptr;
        if (!hashMap_.find(key, bucket, prev, curr, hash)) {
            PIMBO_TRACE(9, "{} bucket:{} not found", key, bucket);
            return false;
        }
        typename Table::CriticalSectionAnchor anchor(table_);
        const uint32_t s = slotId(curr);
        table_.copySlotValue(s, removed);
        publishLink(prev, slotLink(curr)->next);
        const uint32_t target = table_.dealloc(s);
        PIMBO_TRACE(9, "{} bucket:{} slot:{}", key, bucket, s);
        doMaybeShrinkSlots(target);
        if (hashMap_.shrinkBucketsAllowed() &&
            table_.header()->occupied() < hashMap_.shrinkThreshold()) {
            hashMap_.shrinkBuckets();
        }
        return true;
    }

    const Value* lookup(const Key& key, bool& found, void*) override {
        refuseIfUnreadable("lookup");
        const uint32_t hash = hashKey(key);
        const uint32_t bucket = hashMap_.bucketOf(hash);
        SlotLink* prev = nullptr;
        char* curr = nullptr;
        found = hashMap_.find(key, bucket, prev, curr, hash, true);
        if (found) {
            table_.versionAnchor().set(loadFlags(curr), slotFlagsWord(curr), table_.header());
            PIMBO_TRACE(9, "{} found bucket:{} slotId:{}", key, bucket, slotId(curr));
            return reinterpret_cast<const Value*>(slotValue(curr));
        }
        PIMBO_TRACE(9, "{} not found bucket:{}", key, bucket);
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

    Value* directWrite(const Value& value) override {
        const Key& key = Ops::key(value);
        assertNoDirect("modifying key", key);
        refuseIfBusy("directWrite");
        typename Table::CriticalSectionAnchor anchor(table_);
        const uint32_t hash = hashKey(key);
        const uint32_t bucket = hashMap_.bucketOf(hash);
        SlotLink* prev = nullptr;
        char* curr = nullptr;
        const bool found = hashMap_.find(key, bucket, prev, curr, hash);
        uint32_t s;
        char* area;
        if (found) {
            s = slotId(curr);
            area = slotValue(table_.header()->lookaside());
        } else {
            s = takeSlot(anchor, prev, hash);
            area = slotValue(table_.slots()[s]);
        }
        ++counters_.directUpdates;
        Mem::writeFence();  // as in copyInPlace: earlier flags stores before the fill area's
        Mem::storeRelaxedCopy(area, &value, sizeof(Value));
        PIMBO_TRACE(9, "{}{} bucket:{} slot:{} next:{}", key, found ? " existing " : " new ",
                    bucket, s, found ? slotLink(curr)->next : prev->next);
        openDirect(s, prev, !found, key);
        anchor.keep();  // the bit stays set until directCommit
        return reinterpret_cast<Value*>(area);
    }

    Value* directUpdate(const Key& key) override {
        assertNoDirect("modifying key", key);
        refuseIfBusy("directUpdate");
        typename Table::CriticalSectionAnchor anchor(table_);
        const uint32_t hash = hashKey(key);
        const uint32_t bucket = hashMap_.bucketOf(hash);
        SlotLink* prev = nullptr;
        char* curr = nullptr;
        if (!hashMap_.find(key, bucket, prev, curr, hash))
            return nullptr;
        ++counters_.directUpdates;
        const uint32_t s = slotId(curr);
        // The fill area starts as the current record, so fields the caller leaves alone keep
        // their values.
        char* area = slotValue(table_.header()->lookaside());
        Mem::writeFence();  // as in copyInPlace: earlier flags stores before the fill area's
        Mem::storeRelaxedCopy(area, slotValue(curr), sizeof(Value));
        openDirect(s, prev, false, key);
        return reinterpret_cast<Value*>(area);
    }

    void directCommit() override {
        PIMBO_TRACE(9, "slot: {}", directSlot_);
        if (directSlot_ == kNoSlot && !directNew_) {
            PIMBO_FAIL("not in direct mode! Make sure the DirectIs/Commit are properly paired!");
        }
        typename Table::CriticalSectionAnchor anchor(table_);
        Header* h = table_.header();
        char* slot = table_.slots()[directSlot_];
        const bool isNew = directNew_;
        const char* filled = isNew ? slotValue(slot) : slotValue(h->lookaside());
        const Key filledKey(Mem::loadRelaxed64(filled));
        if (!hashOps_.keyEqual(filledKey, directKey_)) {
            abandonDirect(slot);
            anchor.release();  // nothing was published: the table is as consistent as before
            PIMBO_THROW(Pimbo::RuntimeException,
                        "directCommit on {} refused: the record's key {} is not the key {} of "
                        "slot {}",
                        name_, filledKey, directKey_, slotId(slot));
        }
        if (isNew)
            publishLink(slotLink(slot), directPrev_->next);
        ++counters_.directCommits;
        const uint32_t flags = loadFlags(slot);
        if ((flags & OCCUPIED) == 0) {
            setFlags(slot, (flags + 4) | OCCUPIED);
        } else {
            setRhash(h->lookaside(), loadRhash(slot));
            setFlags(slot, flags + 2);
            Mem::writeFence();
            Mem::storeRelaxedCopy(slotValue(slot), slotValue(h->lookaside()), sizeof(Value));
            setFlags(slot, (flags + 4) | OCCUPIED);
        }
        const uint32_t s = directSlot_;
        directSlot_ = kNoSlot;
        if (isNew) {
            publishLink(directPrev_, s);
            directNew_ = false;
        }
        directPrev_ = nullptr;
        // The anchor clears the bit on return, also ending the section a directWrite opened;
        // a bucket doubling triggered by the new record still runs inside it.
        maybeGrowBuckets();
    }

    // Shrinks the slot array if it is due. Does nothing while a direct operation is open.
    void shrink() {
        if (directSlot_ != kNoSlot || directNew_ || table_.header() == nullptr)
            return;
        refuseIfBusy("shrink");
        typename Table::CriticalSectionAnchor anchor(table_);
        const uint32_t threshold = table_.shrinkThresholdValue();
        doMaybeShrinkSlots(table_.header()->occupied() < threshold / 2 ? threshold : 0);
    }

    void handleQuiesced(bool q) {
        if (!quiesced_)
            throw std::bad_function_call();
        quiesced_(q);
    }

    // ----- used by the hash map, the validator and tests -----

    Table& slotTable() { return table_; }
    HashMap& hashMap() { return hashMap_; }
    Writer::Counters& counters() { return counters_; }
    Ruxa::DummyRuxaWriter& notificationWriter() { return ruxa_; }
    uint32_t hashKey(const Key& k) const { return hashOps_.hashKey(k); }
    uint32_t hashKeyValue(uint64_t k) const { return hashOps_.hashKey(Key(k)); }
    bool localMem() const { return localMem_; }
    const std::string& name() const { return name_; }
    const MapDescriptor& descriptor() const { return descriptor_; }
    bool directOpen() const { return directSlot_ != kNoSlot || directNew_; }

    // Seconds a long grow, shrink or bucket resize runs between yields to the critical-priority
    // tasks (when criticalTaskCheck() is on): 10 ms.
    double criticalTaskPeriod() const { return criticalTaskPeriod_; }
    void criticalTaskPeriodIs(double seconds) { criticalTaskPeriod_ = seconds; }

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
        if (!h->validate(debugHandler(), table_.region().memSize(), cinderId, reason,
                         Ops::typeName(), Ops::valueSize)) {
            return false;
        }
        if (!validator.walkOccupiedSlots() || !validator.walkFreeSlots())
            return false;
        const uint32_t capacity = table_.capacity();
        const uint64_t sum = uint64_t(validator.occupiedCount()) + validator.freeCount();
        if (sum != capacity) {
            reason = fmt::format("bad slotCount:{} occupiedSlots:{} freeSlots:{} capacity:{}", sum,
                                 validator.occupiedCount(), validator.freeCount(), capacity);
            return false;
        }
        return true;
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
        setRhash(table_.slots()[s], Pimbo::Util::reverse(hash));
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
    void copyInPlace(char* slot, const Value* value) {
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

    void openDirect(uint32_t s, SlotLink* prev, bool isNew, const Key& key) {
        directSlot_ = s;
        directPrev_ = prev;
        directNew_ = isNew;
        directKey_ = key;
    }

    // Closes a refused direct operation without publishing anything; a new slot goes back to
    // the free list.
    void abandonDirect(char* slot) {
        if (directNew_) {
            setFlags(slot, loadFlags(slot) & ~OCCUPIED);
            table_.dealloc(directSlot_);
        }
        directSlot_ = kNoSlot;
        directNew_ = false;
        directPrev_ = nullptr;
    }

    template <class What>
    void assertNoDirect(const char* operation, const What& what) {
        if (directSlot_ == kNoSlot && !directNew_) [[likely]]
            return;
        char* slot = table_.slots()[directSlot_];
        table_.versionAnchor().set(loadFlags(slot), slotFlagsWord(slot), table_.header());
        Value held{};
        std::memcpy(&held, slotValue(slot), sizeof(Value));
        PIMBO_FAIL(
            "unbalanced directSlot:{} containing value:{} when {}:{} - Make sure the "
            "DirectIs/Commit "
            "are properly paired!",
            directSlot_, held, operation, what);
    }

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

    void doMaybeShrinkSlots(uint32_t target) {
        if (target == 0)
            return;
        Header* h = table_.header();
        const uint32_t occupied = h->occupied();
        uint64_t n = occupied == 0 ? 0 : 4ull << (31 - __builtin_clz(occupied));
        if (n < table_.initialCapacity())
            n = table_.initialCapacity();
        PIMBO_TRACE(5, "threshold:{} shrinkThreshold:{}{}", n, target,
                    n < target ? " SUPER SHRINK!" : "");
        const uint32_t numSlots = table_.capacity();
        if (!(n < numSlots))
            PIMBO_FAIL("bad threshold: {} numSlots:{}", n, numSlots);
        const uint32_t newSize = uint32_t(n);
        purgeFreeSlots(newSize);
        uint64_t moves = 0;
        typename HashMap::Yield yield(*this);
        auto& slots = table_.slots();
        for (uint32_t id = newSize; id < numSlots; ++id) {
            char* from = slots[id];
            const uint32_t fromFlags = loadFlags(from);
            if ((fromFlags & OCCUPIED) == 0) {
                PIMBO_TRACE(9, "skipping not occupied slot:{}", id);
                continue;
            }
            const Key key(slotKey(from));
            const uint32_t hash = hashKey(key);
            SlotLink* prev = nullptr;
            char* curr = nullptr;
            if (!hashMap_.find(key, hashMap_.bucketOf(hash), prev, curr, hash)) {
                PIMBO_FAIL("fromSlot:{} key not found", id);
            }
            if (prev == nullptr)
                PIMBO_FAIL("fromSlot:{} not referenced", id);
            const uint32_t to = h->freeHead();
            if (to == kNoSlot)
                PIMBO_FAIL("not valid toSlotId:{}", to);
            if (to >= id) {
                PIMBO_FAIL("should always move entries to lower section fromSlotId:{} toSlotId:{}",
                           id, to);
            }
            char* toSlot = slots[to];
            setRhash(toSlot, loadRhash(from));
            h->freeHeadIs(slotLink(toSlot)->next);
            const uint32_t toFlags = loadFlags(toSlot);
            Mem::storeRelaxedCopy(slotValue(toSlot), slotValue(from), sizeof(Value));
            setFlags(toSlot, (toFlags + 4) | OCCUPIED);
            publishLink(slotLink(toSlot), slotLink(from)->next);
            PIMBO_TRACE(7, "moving fromSlot:{} toSlot:{}", id, to);
            PIMBO_TRACE(9, "fromSlotId:{} toSlotId:{}", id, to);
            publishLink(prev, to);
            setFlags(from, fromFlags & ~OCCUPIED);
            ++moves;
            yield.check();
        }
        PIMBO_TRACE(5, "newNumSlots:{}", newSize);
        const auto old = h->numSlots;
        Mem::VersionedRef<uint32_t>::publish(&h->numSlots, {old.version + 1, newSize});
        table_.resize(newSize);
        table_.loadCounts();
        ++counters_.slotShrinks;
        PIMBO_TRACE(2, "{} from {} slots to {}", name_, old, table_.header()->numSlots);
        PIMBO_TRACE(5, "at threshold:{} done", newSize);
        counters_.movedSlots += moves;
    }

    // Unlinks every free slot at or above n from the free list, checking that the list and the
    // occupied count add up to the slot count. The walk is bounded by the slot count.
    void purgeFreeSlots(uint32_t n) {
        Header* h = table_.header();
        if (h->freeHead() == kNoSlot)
            PIMBO_FAIL("free-list is empty");
        const uint32_t numSlots = table_.capacity();
        auto& slots = table_.slots();
        uint32_t length = 0;
        SlotLink* prevLink = nullptr;  // null: the head (freeSlots)
        uint32_t id = h->freeHead();
        while (id != kNoSlot) {
            if (++length > numSlots) {
                PIMBO_THROW(Pimbo::CorruptionDetectedException,
                            "free-list of {} longer than numSlots: {}", name_, numSlots);
            }
            char* slot = slots[id];
            const uint32_t next = slotLink(slot)->next;
            if (id >= n) {
                PIMBO_TRACE(7, "removing slot id {} from free-list", id);
                if (prevLink == nullptr) {
                    h->freeHeadIs(next);
                } else {
                    publishLink(prevLink, next);
                }
            } else {
                prevLink = slotLink(slot);
            }
            id = next;
        }
        if (uint64_t(length) + h->occupied() != numSlots) {
            PIMBO_THROW(
                Pimbo::CorruptionDetectedException,
                "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up "
                "to numSlots: {}",
                length, h->occupied(), numSlots);
        }
    }

  protected:
    Ops hashOps_;
    bool localMem_;
    RootPath rootPath_;
    Plinth::CinderId cinderId_;
    uint32_t directSlot_ = kNoSlot;
    SlotLink* directPrev_ = nullptr;
    bool directNew_ = false;
    Key directKey_{};
    Writer::Counters counters_;
    QuiescedCallback quiesced_;
    std::string name_;
    Table table_;
    HashMap hashMap_;
    Ruxa::DummyRuxaWriter ruxa_;
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

// Tmp: the local writer a table holds before it is mounted. It lives in process memory and
// touches no file, lock, owner, cinder or marker of the table it stands in for, so any process
// may create a table without disturbing that table's real writer. It still checks the
// processor's atomics, and it never counts as mounted.
template <class Ops>
class Tmp : public VeskWriter<Ops> {
  public:
    Tmp(
        Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
        MapDescriptor descriptor = MapDescriptor(100),
        typename VeskWriter<Ops>::QuiescedCallback quiesced = [](bool) {})
        : VeskWriter<Ops>(handler, name, localDescriptor(descriptor), ops, "",
                          std::move(quiesced)) {
        this->atomicsCheck_ = true;
    }
    ~Tmp() override { VeskWriter<Ops>::detach(false); }

    MountStatus mountStatus() override { return 0; }

  private:
    static MapDescriptor localDescriptor(MapDescriptor d) {
        d.localMem = 1;
        return d;
    }
};

}  // namespace Vesk
