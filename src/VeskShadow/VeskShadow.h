// VeskShadow: a reader-side copy of a table, kept current from the writer's change
// notifications and answered from this process's memory.
//
// The copy (the store) mirrors the writer's slot table position by position: local slot i holds
// what shared slot i held when its last notification was applied. A notification names a slot
// index; doSlot reads that shared slot once, puts its key (and, in the value store, its record)
// into local slot i, updates the private key index (VeskShadow/ShadowHashMap.h) and tells the
// client which key changed or went. Two kinds of store:
//   - ShadowStore<Ops, ValueShadowSlot>: whole records; lookups and iteration never touch
//     shared memory, and an entry that leaves a record as it was is not passed on;
//   - KeyShadowStore<Ops>: keys only; a record is read from shared memory by slot index when it
//     is asked for (and by key through the reader when that slot holds another key by then).
//
// Who calls what: the owner's thread only, from the process's event loop (VeskShadowBase) and
// the front. The only other party is the writer process: every read of a shared slot is the
// slot table's seqlock copy (SlotReaderTable::getValue), repeated until the slot's flags word is
// the same before and after, so the store never takes a torn record. The local array and the
// index are this thread's alone.
//
// Invariants of the store:
//   1. A key is indexed at most once: when the writer moved it, the new slot takes the old one's
//      place (ShadowHashMap::write) and the old slot is cleared.
//   2. A key is reported removed before another key is reported in its slot; a slot's record is
//      reported after the index holds it, so a lookup from inside a callback answers with the
//      record being reported (or "absent" for the key being removed).
//   3. The local array is at least as long as the highest slot index applied; it grows straight
//      to the shared table's capacity and shrinks only when at most a quarter of it is in use
//      and the shared table is no longer than the new length.
//   4. An entry whose queue check fails (a tombstoned entry, a replaced queue) changes nothing.
//   5. An answer (lookup, first, next, directLookup) vouches with the anchor taken when it was
//      made: a record of the value store's copy with the copy's version (any change applied to
//      the copy fails it), a record read from the table with its slot's flags word as read.
#pragma once

#include "Mem/Local.h"
#include "Mem/Util.h"
#include "Mem/VersionAnchor.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderFile.h"
#include "Plinth/PlinthWrapper.h"
#include "Vesk/VeskInterface.h"
#include "Vesk/VeskReader.h"
#include "VeskBase/SlotCounters.h"
#include "VeskShadow/ShadowHashMap.h"
#include "VeskShadow/VeskShadowBase.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <type_traits>

namespace Vesk {

// What a shadow asks of the front that owns it.
template <class Value, class Key>
class ShadowOwner {
  public:
    virtual ~ShadowOwner() = default;
    // The callbacks the store reports changes to.
    virtual Notify<Value, Key>& notify() = 0;
    // A resync completed the shadow's (first, or first since it was attached again) sync: the
    // mount status became 2. The first time (`first`) the held client callbacks become the
    // active ones. The client hears of the mount status.
    virtual void shadowSynced(bool first) = 0;
    // A flush the front waited for is over: the front installs its placeholder.
    virtual void shadowFlushed() = 0;
    virtual void shadowDisconnected() = 0;
    virtual void shadowCorrupted(const std::string& message) = 0;
};

// The store's reports to its client, through the owning front's callbacks. Each report is
// traced under the notifier's name (the front names it); a callback that throws is traced, and
// its exception goes on (the follower resyncs and reports again).
template <class Ops>
class ShadowNotifier : public Pimbo::Debuggable {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    ShadowNotifier(Pimbo::Platform::DebugHandler& handler, const std::string& name,
                   Notify<Value, Key>& callbacks)
        : Pimbo::Debuggable(handler, name), callbacks_(callbacks) {}

    void recordChanged(const Value& v) {
        deliver("record-changed", Ops::key(v), callbacks_.onValue, v);
    }
    void keyChanged(const Key& k) { deliver("key-changed", k, callbacks_.onKey, k); }
    void keyRemoved(const Key& k) { deliver("key-removed", k, callbacks_.onKey2, k); }

  private:
    template <class Callback, class Arg>
    void deliver(const char* what, const Key& key, Callback& callback, const Arg& arg) {
        PIMBO_TRACE(9, "{} key:{}", what, key.value());
        try {
            callback(arg);
        } catch (const std::exception& e) {
            PIMBO_TRACE(0, "the client's {} callback failed for key:{}: {}", what, key.value(),
                        e.what());
            throw;
        }
    }

    Notify<Value, Key>& callbacks_;
};

// The operations of both stores.
template <class Ops>
class ShadowStoreBase : public Pimbo::Debuggable {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    explicit ShadowStoreBase(Pimbo::Platform::DebugHandler& handler)
        : Pimbo::Debuggable(handler, "ShadowStore") {}
    virtual ~ShadowStoreBase() = default;

    virtual bool initialize() = 0;
    // Makes local slot `slot` agree with shared slot `slot`; false only when `sequence` failed
    // the queue's check (VeskShadowBase::kNoSequence: no check).
    virtual bool doSlot(uint32_t slot, uint64_t sequence, bool compare) = 0;
    virtual void doFlushSlot(uint32_t slot) = 0;
    virtual uint64_t shadowMappedSize() const = 0;
    virtual uint64_t cinderMappedSize() const { return 0; }
    virtual const Value* directLookup(const Key& key, bool& found, void* out) = 0;
    virtual const Value* lookup(const Key& key, bool& found, void* out) = 0;
    virtual bool first(Value& record, IterHint& hint) = 0;
    virtual bool next(const Key& after, Value& record, IterHint& hint) = 0;
    virtual uint32_t numSlots() const = 0;
    virtual void validateVersionAnchor() = 0;
    virtual Mem::CacheVersionAnchor getCacheVersionAnchor() const = 0;
    virtual void disable() = 0;
};

template <class Ops, class Slot>
class ShadowStore : public ShadowStoreBase<Ops> {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    static constexpr bool kKeyOnly = std::is_same_v<Slot, KeyShadowSlot<Ops>>;
    static constexpr uint64_t kNoSequence = VeskShadowBase::kNoSequence;

    // The occupancy classes cover about a page of shared slots, counted with the sizes of a
    // 24-byte record (Simple, Normal) for every record type: the 576-byte header and the
    // 40-byte lookaside slot take 616 bytes of the first page, a slot 40. Another record size
    // only makes the classes a little coarser or finer (87 slots per 4096-byte page here, 145
    // for Wide's 24-byte slots).
    static uint32_t slotsPerPage() {
        return Mem::pageSize_ > 616 ? (Mem::pageSize_ - 616) / 40 : 0;
    }

    ShadowStore(Pimbo::Platform::DebugHandler& handler, VeskReader<Ops>& reader,
                Ruxa::RuxaReader<Ruxa::BasicSlot>& queue, ShadowNotifier<Ops>& notify,
                bool flushNotify)
        : ShadowStoreBase<Ops>(handler),
          reader_(reader),
          ops_(reader.ops()),
          queue_(queue),
          counters_(reader.counters()),
          occupancy_(handler, slotsPerPage()),
          index_(handler, counters_, occupancy_, ops_, slots_),
          notify_(notify),
          flushNotify_(flushNotify) {
        // The index is this process's own: its hash seed need not be the writer's, and staying
        // the same across the writer's re-formats keeps the chains valid.
        ops_.hashSeedIs(std::random_device{}());
    }

    bool initialize() override { return index_.initialize(); }

    bool doSlot(uint32_t i, uint64_t sequence, bool compare) override;
    void doFlushSlot(uint32_t i) override {
        if (i >= slots_.count || slots_.base[i].prev == nullptr)
            return;
        Slot& s = slots_.base[i];
        const Key key = s.slotKey();
        PIMBO_TRACE(9, "slotIndex {} key:{}", i, key.value());
        index_.remove(i, s);
        s.clearPayload(ops_);
        ++localVersion_;
        if (flushNotify_)
            notify_.keyRemoved(key);
    }

    uint64_t shadowMappedSize() const override {
        return slotsMem_.mappedSize() + uint64_t(index_.numBuckets()) * sizeof(Slot*);
    }
    const Value* directLookup(const Key& key, bool& found, void* out) override {
        const Value* v = reader_.lookup(key, found, out);
        if (found)
            vouchShared(table().cacheAnchor());
        else
            vouchNone();
        return v;
    }
    const Value* lookup(const Key& key, bool& found, void* out) override;
    bool first(Value& record, IterHint& hint) override {
        return from(index_.first(), record, hint);
    }
    bool next(const Key& after, Value& record, IterHint& hint) override {
        const Key k = after;  // callers pass record's own key
        const Slot* h = hint.slot < slots_.count ? &slots_.base[hint.slot] : nullptr;
        return from(index_.next(k, h), record, hint);
    }
    uint32_t numSlots() const override { return slots_.count; }
    // The anchor of the last answer, as it was taken with the answer.
    void validateVersionAnchor() override {
        if (answerShared_)
            table().rebaseAnchor(answer_);  // the table may have been mapped anew since
        answer_.validate();
    }
    Mem::CacheVersionAnchor getCacheVersionAnchor() const override { return answer_.cache(); }
    void disable() override {
        index_.disable();
        shrink(0);
        ++localVersion_;
    }

  protected:
    // grow: re-maps the table and grows the local array to its slot count; false when slot i
    // lies beyond even that. shrink: the local array to n slots.
    bool grow(uint32_t i);
    void shrink(uint32_t n);
    SlotReaderTable<Ops>& table() { return reader_.slotTable(); }
    uint32_t indexOf(const Slot* s) const { return uint32_t(s - slots_.base); }
    // Reads shared slot i into out until the reader's mapping is the table's current one;
    // true when the slot holds a record.
    bool readSlot(uint32_t i, Value& out);
    // The record of key-only slot i holding `key`: read by slot index, or by key through the
    // reader when the slot holds another key by now; null when the key is gone.
    const Value* fetch(uint32_t i, const Key& key, void* out);
    // Fills record from candidate s on (skipping, in the key-only store, keys that are gone).
    bool from(Slot* s, Value& record, IterHint& hint);
    // Answers for the key being reported, if it is that one; null otherwise.
    const Value* reported(const Key& key, bool& found, void* out);
    // doSlot's work; doSlot forgets what it was reporting when this throws.
    bool apply(uint32_t i, uint64_t sequence, bool compare);
    bool validated(uint64_t sequence);
    void maybeShrink();
    void resizeSlots(uint32_t n);
    // The anchor an answer vouches with, taken when the answer is made: the local copy's version
    // (a record of the value store's copy: valid until the copy changes), a shared slot's flags
    // word as read (a record read from the table, or the one being reported), or none (no
    // record: validating throws Mem::VersionMismatchException).
    void vouchLocal() {
        answer_.set(localVersion_, &localVersion_, &localVersion_);
        answerShared_ = false;
    }
    void vouchShared(const Mem::VersionAnchor& a) {
        answer_ = a;
        answerShared_ = a.isSet();
        if (!answerShared_)
            vouchNone();
    }
    void vouchNone() {
        answer_.reset();
        answer_.invalidate();
        answerShared_ = false;
    }

    VeskReader<Ops>& reader_;
    Ops ops_;
    Ruxa::RuxaReader<Ruxa::BasicSlot>& queue_;
    Reader::Counters& counters_;
    SlotCounters occupancy_;
    ShadowSlots<Slot> slots_;
    ShadowHashMap<Ops, Slot> index_;
    ShadowNotifier<Ops>& notify_;
    Mem::Local slotsMem_;
    const Value* currentRecord_ = nullptr;
    const Key* currentKey_ = nullptr;
    bool flushNotify_;
    // The shared slot being reported, as read.
    Mem::VersionAnchor notifAnchor_;
    // The last answer's anchor, and whether it lies in the table's mapping.
    Mem::VersionAnchor answer_{0, Mem::VersionAnchor::kInvalid, nullptr};
    bool answerShared_ = false;
    // Moves with every change of the local copy; the local anchor's word.
    uint32_t localVersion_ = 0;
    Value buffer_{};   // the record read last from shared memory
    Value scratch_{};  // room for a record when the caller gives none
    Key removedKey_{};
};

// The key-only store: maps the writer's cinder file, whose size it reports.
template <class Ops>
class KeyShadowStore : public ShadowStore<Ops, KeyShadowSlot<Ops>> {
  public:
    using Base = ShadowStore<Ops, KeyShadowSlot<Ops>>;
    KeyShadowStore(Pimbo::Platform::DebugHandler& handler, VeskReader<Ops>& reader,
                   Ruxa::RuxaReader<Ruxa::BasicSlot>& queue, ShadowNotifier<Ops>& notify,
                   bool flushNotify, const RootPath& rootPath)
        : Base(handler, reader, queue, notify, flushNotify),
          cinder_(handler, rootPath, Plinth::CinderFile::kFileName, false) {}
    ~KeyShadowStore() override { cinder_.detach(); }

    bool initialize() override;
    uint64_t cinderMappedSize() const override { return cinder_.mappedSize(); }
    void disable() override {
        PIMBO_TRACE(5, "unmapping {}", Plinth::CinderFile::kFileName);
        cinder_.detach();
        Base::disable();
    }

  private:
    Mem::PlinthWrapper cinder_;
};

// The shadow: a table implementation the front installs for types shadow and keyshadow. Its
// operations are declared in the order of the shadow's interface: the base's first, then the
// table's.
template <class OpsT>
class VeskShadow : public VeskShadowBase, public VeskInterface<OpsT> {
  public:
    using Ops = OpsT;
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;
    using Owner = ShadowOwner<Value, Key>;
    using ValueStore = ShadowStore<Ops, ValueShadowSlot<Ops>>;

    // `notifierName` names the store's reports to `owner`'s callbacks in traces.
    VeskShadow(Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
               uint32_t flags, Owner& owner, const std::string& notifierName)
        : VeskShadowBase(handler, name, flags,
                         [this](uint32_t& slots) { return prepareSync(slots); }),
          VeskInterface<Ops>(ops),
          reader_(handler, name.c_str(), ops, &counters_),
          owner_(owner),
          notifier_(handler, notifierName, owner.notify()) {}
    ~VeskShadow() override;

    // ----- VeskShadowBase -----
    bool doSlot(uint32_t slot, uint64_t sequence, bool compare) override {
        if (!store_)
            return true;
        return store_->doSlot(slot, sequence, compare);
    }
    void handleQuiesced(bool quiesced) override { owner_.notify().onQuiesced(quiesced); }
    // "{}{}": the reader's header dump and the queue's.
    std::string dumpHeaders() const override;
    void corruptionDetected(const std::string& message) override {
        if (!flushPending_)
            owner_.shadowCorrupted(message);
    }
    void handleDisconnect() override;
    void syncComplete() override;
    void flushComplete() override;
    void doFlushSlot(uint32_t slot) override {
        if (store_)
            store_->doFlushSlot(slot);
    }
    uint32_t localCapacity() override { return store_ ? store_->numSlots() : 0; }
    bool resize() override {
        const bool slots = reader_.slotTable().doResize();
        const bool buckets = reader_.hashMap().buckets().resize();
        return slots || buckets;
    }
    bool runtime() override { return this->initialized(); }

    // ----- VeskInterface -----
    uint32_t capacity() override { return reader_.capacity(); }
    SequenceRecord sequence() override { return {counters_.lastAppliedSequence}; }
    bool initialize(const std::string& event) override;
    void yieldTimeIs(const double& seconds) override {
        syncer_.yieldTimeIs(uint64_t(seconds * 1e6));
    }
    void detach(bool force) override;
    // Pauses or resumes the following of the queue and the writer's wake-ups.
    void notifyingIs(bool notifying) override {
        PIMBO_TRACE(5, "notifying:{}", notifying);
        notifying_ = notifying;
        syncer_.notifyingIs(notifying);
    }
    MountStatus mountStatus() override;
    bool quiesced() override { return queue_.quiesced(); }
    bool connected() override { return syncer_.woken(); }
    const Value* directLookup(const Key& key, bool& found, void* buffer) override {
        return answer(key, found, buffer, &ShadowStoreBase<Ops>::directLookup);
    }
    const Value* lookup(const Key& key, bool& found, void* buffer) override {
        if (values_ != nullptr)  // the value store's answer, without a second dispatch
            return values_->ValueStore::lookup(key, found, buffer);
        return answer(key, found, buffer, &ShadowStoreBase<Ops>::lookup);
    }
    bool first(Value& out, IterHint& hint) override {
        if (store_)
            return store_->first(out, hint);
        Ops::copyValue(out, this->ops_.defaultValue);
        return false;
    }
    bool next(const Key& after, Value& out, IterHint& hint) override {
        if (store_)
            return store_->next(after, out, hint);
        Ops::copyValue(out, this->ops_.defaultValue);
        return false;
    }
    // The counters, with every gauge refreshed.
    Reader::Counters readerCounters() override;
    uint32_t members() override { return uint32_t(counters_.shadow.members); }
    uint32_t buckets() override { return reader_.buckets(); }
    RootPath rootPath() override { return rootPath_; }
    std::string veskName() override { return rootPath_.veskName(); }
    Plinth::CinderId cinderId() override { return reader_.cinderId(); }
    uint32_t minSize() override { return 0; }
    uint32_t maxSize() override { return reader_.maxSize(); }
    VeskType type() override { return shadow; }
    bool validateVersionAnchor() override {
        store().validateVersionAnchor();
        return true;
    }
    Mem::CacheVersionAnchor getCacheVersionAnchor() override {
        return store_ ? store_->getCacheVersionAnchor() : Mem::CacheVersionAnchor{};
    }

    bool flushPending() const { return flushPending_; }
    ShadowStoreBase<Ops>* storeIfAny() { return store_.get(); }
    VeskReader<Ops>& reader() { return reader_; }
    const std::string& notifierName() const { return notifier_.debugClass(); }

  private:
    // Before a resync: the reader follows a writer that re-formatted the files to the new
    // generation, and the view takes the table's current sizes.
    bool prepareSync(uint32_t& slots);
    ShadowStoreBase<Ops>& store() {
        if (!store_)
            PIMBO_ASSERT_FAIL("VeskShadow", "{}: no store before initialize", rootPath_);
        return *store_;
    }
    template <class Op>
    const Value* answer(const Key& key, bool& found, void* buffer, Op op) {
        if (store_)
            return ((*store_).*op)(key, found, buffer);
        found = false;
        if (buffer != nullptr)
            Ops::copyValue(*static_cast<Value*>(buffer), this->ops_.defaultValue);
        return &this->ops_.defaultValue;
    }

    VeskReader<Ops> reader_;
    Owner& owner_;
    ShadowNotifier<Ops> notifier_;
    std::unique_ptr<ShadowStoreBase<Ops>> store_;
    ValueStore* values_ = nullptr;  // store_, when it is the value store
    bool flushPending_ = false;
    // The front waits for the flush to end (not when the shadow is initialized again first).
    bool flushAwaited_ = false;
    bool synced_ = false;
};

}  // namespace Vesk
