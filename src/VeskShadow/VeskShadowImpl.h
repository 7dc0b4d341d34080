// The shadow's store and lifecycle. The records' layer includes this to instantiate it once per
// record type (FlexCounters2/Instantiations*.cpp); nothing else includes it.
#pragma once

#include "VeskShadow/VeskShadow.h"

#include "Ruxa/RuxaQueue.h"

#include <algorithm>

namespace Vesk {

// ---------------------------------------------------------------------------------------------
// ShadowStore

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::doSlot(uint32_t i, uint64_t sequence, bool compare) {
    try {
        return apply(i, sequence, compare);
    } catch (...) {
        // A failed grow, a callback that threw: nothing is being reported any more, and the
        // local slot may hold what no anchor vouched for.
        currentRecord_ = nullptr;
        currentKey_ = nullptr;
        ++localVersion_;
        throw;
    }
}

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::apply(uint32_t i, uint64_t sequence, bool compare) {
    if (!index_.initialized())
        return true;
    if (i >= slots_.count) {
        const uint32_t shared = table().liveNumSlots();
        if (i >= shared) {
            PIMBO_TRACE(5,
                        "skip growing of shadow table to accomodate slotIndex:{} because shared "
                        "memory has shrunk to {} slots",
                        i, shared);
            return true;
        }
        if (!grow(i)) {
            PIMBO_TRACE(5, "discarding notification for slotIndex:{}", i);
            return true;
        }
    }
    Slot& local = slots_.base[i];
    const bool inUse = local.prev != nullptr;
    const Key oldKey = local.slotKey();
    notifAnchor_.reset();
    // One seqlock read of the shared slot; the local slot keeps its old contents until the
    // entry is known to be applicable.
    const bool found = readSlot(i, buffer_);
    PIMBO_TRACE(9, "updated: {} compare: {} slotIndex:{}{}", true, compare, i,
                found ? " found" : " not found");
    auto reportRemoved = [&] {
        removedKey_ = oldKey;
        currentKey_ = &removedKey_;
        ++localVersion_;
        notify_.keyRemoved(removedKey_);
        currentKey_ = nullptr;
        return index_.initialized();  // a callback may have disabled the store
    };
    if (found) {
        const Mem::VersionAnchor saved = table().cacheAnchor();
        const Key& newKey = Ops::key(buffer_);
        if (inUse && oldKey.value() != newKey.value()) {
            if (!validated(sequence))
                return false;
            if (index_.remove(i, local) && !reportRemoved())
                return true;
        } else if (sequence != kNoSequence) {
            counters_.lastAppliedSequence = sequence;
        }
        bool changed = true;
        if constexpr (kKeyOnly) {
            local.key = newKey;
            currentRecord_ = &buffer_;
        } else {
            changed =
                !(compare && inUse && std::memcmp(&buffer_, &local.value, sizeof(Value)) == 0);
            if (changed)
                Ops::copyValue(local.value, buffer_);
            currentRecord_ = &local.value;
        }
        notifAnchor_ = saved;
        if (index_.write(i, local, changed)) {
            ++localVersion_;
            if constexpr (kKeyOnly)
                notify_.keyChanged(local.key);
            else
                notify_.recordChanged(local.value);
        }
        currentRecord_ = nullptr;
        currentKey_ = nullptr;
        return true;
    }
    if (!inUse)
        return true;
    if (!validated(sequence))
        return false;
    if (!index_.remove(i, local))
        return true;
    local.clearPayload(ops_);
    if (!reportRemoved())
        return true;
    maybeShrink();
    return true;
}

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::readSlot(uint32_t i, Value& out) {
    SlotReaderTable<Ops>& t = table();
    auto& buckets = reader_.hashMap().buckets();
    // Each further pass follows a resize of the writer's files.
    for (;;) {
        bool found = false;
        try {
            if (i < t.capacity())
                found = (t.getValue(i, out).flags & OCCUPIED) != 0;
        } catch (const Pimbo::CorruptionDetectedException&) {
            const bool slots = t.doResize();
            const bool resized = buckets.resize();
            if (!slots && !resized)
                throw;
            continue;
        }
        const bool slots = t.doResize();
        const bool resized = buckets.resize();
        if (slots || resized)
            continue;
        if (!found)
            t.cacheAnchor().reset();
        return found;
    }
}

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::validated(uint64_t sequence) {
    if (sequence == kNoSequence)
        return true;
    if (!queue_.validateNotif()) {
        PIMBO_TRACE(5, "failed because sequence:{} may have been tombstoned", sequence);
        return false;
    }
    counters_.lastAppliedSequence = sequence;
    return true;
}

template <class Ops, class Slot>
void ShadowStore<Ops, Slot>::maybeShrink() {
    if (index_.members() > slots_.count / 4)
        return;
    const uint64_t target = occupancy_.largestOccupied();
    if (target >= slots_.count)
        return;
    PIMBO_TRACE(5, "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
    const uint32_t shared = table().liveNumSlots();
    if (target != 0 && target < shared) {
        PIMBO_TRACE(5,
                    "skip shrinking of shadow table to {} slots because shared memory has grown "
                    "to {} slots",
                    target, shared);
        return;
    }
    shrink(uint32_t(target));
}

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::grow(uint32_t i) {
    PIMBO_TRACE(5, "for slotIndex:{}", i);
    table().doResize();
    reader_.hashMap().buckets().resize();
    const uint32_t capacity = table().capacity();
    if (i >= capacity) {
        PIMBO_TRACE(5, "complete. Never learned of slotIndex:{} so it is safe to ignore.", i);
        return false;
    }
    PIMBO_TRACE(2, "resize shadow slots from {} to {} due to out of range slot {}", slots_.count,
                capacity, i);
    resizeSlots(capacity);
    ++counters_.shadow.slotGrows;
    PIMBO_TRACE(5, "complete.");
    return true;
}

template <class Ops, class Slot>
void ShadowStore<Ops, Slot>::shrink(uint32_t n) {
    PIMBO_TRACE(5, "newNumSlots:{}", n);
    PIMBO_TRACE(2, "resize shadow slots from {} to {}", slots_.count, n);
    resizeSlots(n);
    ++counters_.shadow.slotShrinks;
    PIMBO_TRACE(5, "complete.");
}

template <class Ops, class Slot>
void ShadowStore<Ops, Slot>::resizeSlots(uint32_t n) {
    Slot* const old = slots_.base;
    const uint32_t oldCount = slots_.count;
    if (n == 0) {
        slotsMem_.detach();
        slots_ = ShadowSlots<Slot>();
        return;
    }
    const uint64_t bytes = Mem::multiplyOverflowCheck(n, sizeof(Slot));
    void* p = slotsMem_.attached() ? slotsMem_.resize(bytes) : slotsMem_.attach(bytes);
    if (p == nullptr) {
        // The old array stays, and with it the index.
        PIMBO_THROW(Pimbo::MemoryResourceException, "failed to resize {} from {} to {} slots - {}",
                    slotsMem_.kind(), oldCount, n, slotsMem_.errorText());
    }
    PIMBO_TRACE(5, "Passed resize {} and got {} back.", bytes, p);
    slots_ = ShadowSlots<Slot>{static_cast<Slot*>(p), n};
    for (uint32_t j = oldCount; j < n; ++j) {
        new (&slots_.base[j]) Slot();
        slots_.base[j].clearPayload(ops_);
    }
    if (old != nullptr && p != old)
        index_.patch(static_cast<char*>(p) - reinterpret_cast<char*>(old));
}

template <class Ops, class Slot>
const typename Ops::Value* ShadowStore<Ops, Slot>::reported(const Key& key, bool& found,
                                                            void* out) {
    if (currentKey_ != nullptr && key.value() == currentKey_->value()) {
        vouchNone();
        found = false;
        return &ops_.defaultValue;
    }
    if (currentRecord_ != nullptr && key.value() == Ops::key(*currentRecord_).value()) {
        vouchShared(notifAnchor_);
        found = true;
        if constexpr (kKeyOnly) {
            Value& to = out != nullptr ? *static_cast<Value*>(out) : scratch_;
            Ops::copyValue(to, *currentRecord_);
            return &to;
        }
        return currentRecord_;
    }
    return nullptr;
}

template <class Ops, class Slot>
const typename Ops::Value* ShadowStore<Ops, Slot>::lookup(const Key& k, bool& found, void* out) {
    found = false;
    const Key key = k;  // the key may live in out
    if (const Value* r = reported(key, found, out))
        return r;
    if (Slot* s = index_.find(key)) {
        if constexpr (kKeyOnly) {
            if (const Value* v = fetch(indexOf(s), key, out)) {
                found = true;
                return v;
            }
        } else {
            found = true;
            vouchLocal();
            return &s->value;
        }
    }
    vouchNone();
    if (out != nullptr)
        Ops::copyValue(*static_cast<Value*>(out), ops_.defaultValue);
    return &ops_.defaultValue;
}

template <class Ops, class Slot>
const typename Ops::Value* ShadowStore<Ops, Slot>::fetch(uint32_t i, const Key& key, void* out) {
    Value& to = out != nullptr ? *static_cast<Value*>(out) : scratch_;
    try {
        const uint32_t shared = table().liveNumSlots();
        if (i < shared) {
            if (readSlot(i, to)) {
                if (Ops::key(to).value() == key.value()) {
                    vouchShared(table().cacheAnchor());
                    return &to;
                }
                ++counters_.shadow.keyMismatches;
            }
        } else {
            PIMBO_TRACE(5, "slotIndex:{} shmemCapacity:{}, returning not found", i, shared);
        }
    } catch (const Pimbo::CorruptionDetectedException&) {
        PIMBO_TRACE(5, "unable to retrieve slotIndex:{}, returning not found", i);
    }
    table().cacheAnchor().reset();
    // The writer moved the key, or removed it and the entry is still to come: ask by key.
    bool found = false;
    const Value* v = reader_.lookup(key, found, &to);
    if (!found) {
        vouchNone();
        return nullptr;
    }
    vouchShared(table().cacheAnchor());
    return v;
}

template <class Ops, class Slot>
bool ShadowStore<Ops, Slot>::from(Slot* s, Value& record, IterHint& hint) {
    // Bounded: each pass moves on to the next indexed key.
    for (; s != nullptr; s = index_.next(s->slotKey(), s)) {
        hint.slot = indexOf(s);
        if constexpr (kKeyOnly) {
            if (fetch(hint.slot, s->slotKey(), &record) != nullptr)
                return true;
        } else {
            vouchLocal();
            if (&record != &s->value)
                Ops::copyValue(record, s->value);
            return true;
        }
    }
    vouchNone();
    Ops::copyValue(record, ops_.defaultValue);
    return false;
}

template <class Ops>
bool KeyShadowStore<Ops>::initialize() {
    // The file holds a few bytes: map what there is, up to a page.
    const uint64_t size = std::min<uint64_t>(Mem::pageSize_, cinder_.memSize());
    if (size == 0 || cinder_.attach(size, Mem::PlinthWrapper::kReader) == nullptr) {
        PIMBO_TRACE(0, "failed to map cinder: {}", Plinth::CinderFile::kFileName);
        return false;
    }
    return Base::initialize();
}

// ---------------------------------------------------------------------------------------------
// VeskShadow

template <class Ops>
VeskShadow<Ops>::~VeskShadow() {
    syncer_.stop();
    store_.reset();
    reader_.detach(false);
}

template <class Ops>
bool VeskShadow<Ops>::initialize(const std::string& event) {
    if (this->initialized()) {
        maybeConnect();
        return true;
    }
    try {
        if (flushPending_) {
            flushAwaited_ = false;  // finished here, for this initialize
            syncer_.forceSyncCompletion();
        }
        if (!reader_.initialize(event)) {
            PIMBO_TRACE(0, "vesk.initialize() Failed");
            return false;
        }
        const bool flushNotify = (flags_ & kFlushNotify) != 0;
        values_ = nullptr;
        if ((flags_ & kKeyOnly) != 0) {
            store_ = std::make_unique<KeyShadowStore<Ops>>(debugHandler(), reader_, queue_,
                                                           notifier_, flushNotify, rootPath_);
        } else {
            auto values = std::make_unique<ValueStore>(debugHandler(), reader_, queue_, notifier_,
                                                       flushNotify);
            values_ = values.get();
            store_ = std::move(values);
        }
        if (!store_->initialize())
            return false;
        syncer_.notifyingIs(notifying_);
        if (!initializeRuxa())
            return false;
    } catch (const Pimbo::CorruptionDetectedException& e) {
        PIMBO_TRACE(0, "corruption detected: {}", e.msg());
        corruptionDetected(e.msg());
        return false;
    }
    synced_ = false;
    this->initializedIs(true);
    return true;
}

template <class Ops>
bool VeskShadow<Ops>::prepareSync(uint32_t& slots) {
    if (!store_)
        return false;
    // A writer that re-formatted the files: the reader follows it to the new generation first.
    if (reader_.generationMoved()) {
        reader_.detach(false);
        if (!reader_.initialize("resync")) {
            PIMBO_TRACE(1, "{}: cannot attach to the new generation: {}", rootPath_,
                        reader_.attachFailureMessage());
            return false;
        }
    }
    resize();
    slots = std::max(store_->numSlots(), reader_.capacity());
    return true;
}

template <class Ops>
void VeskShadow<Ops>::syncComplete() {
    if (!this->initialized())
        return;
    counters_.lastAppliedSequence = syncSequence_;
    counters_.shadow.syncSequence = syncSequence_;
    PIMBO_TRACE(1, "Synchronization complete, seq:{}", syncSequence_);
    // The mount status moves to 2 at the first sync after every attach; the client hears of
    // each move (the first one also activates its callbacks).
    if (!std::exchange(synced_, true))
        owner_.shadowSynced(!std::exchange(syncedOnce_, true));
    maybeEnableRuxa();
    handleQuiesced(quiesced());
}

template <class Ops>
void VeskShadow<Ops>::detach(bool force) {
    if (!this->initialized()) {
        PIMBO_TRACE(5, "already detached");
        if (flushPending_) {
            if (syncer_.mode() != Syncer::Mode::flush)
                PIMBO_ASSERT_FAIL("VeskShadow",
                                  "expected Syncer in flush mode during asynchronous flush");
            if (!force)
                PIMBO_ASSERT_FAIL("VeskShadow",
                                  "expected only forced detach during asynchronous flush");
            syncer_.forceSyncCompletion();
        }
        return;
    }
    syncer_.notifyingIs(false);
    queue_.detach();
    counters_.lastAppliedSequence = 0;
    reader_.detach(false);
    flushPending_ = true;
    flushAwaited_ = true;
    startFlush();
    this->initializedIs(false);
    synced_ = false;
    PIMBO_TRACE(2, "detached");
}

template <class Ops>
void VeskShadow<Ops>::flushComplete() {
    PIMBO_TRACE(1, "Flush complete");
    if (store_)
        store_->disable();
    flushPending_ = false;
    if (this->initialized() || !flushAwaited_)
        return;
    flushAwaited_ = false;
    owner_.shadowFlushed();
}

template <class Ops>
void VeskShadow<Ops>::handleDisconnect() {
    if (!syncer_.notifying()) {
        PIMBO_TRACE(1, "disconnected while zolt processing is disabled, syncer mode:{} done:{}",
                    Syncer::modeText(syncer_.mode()), syncer_.done());
    }
    if (!flushPending_)
        owner_.shadowDisconnected();
}

template <class Ops>
MountStatus VeskShadow<Ops>::mountStatus() {
    if (flushPending_)
        return 3;
    const MountStatus status = !this->initialized() ? 0 : synced_ ? 2 : 1;
    PIMBO_TRACE(5, "{}", status);
    return status;
}

template <class Ops>
Reader::Counters VeskShadow<Ops>::readerCounters() {
    Reader::Counters::Shadow& c = counters_.shadow;
    c.mappedSize = store_ ? store_->shadowMappedSize() : 0;
    c.cinderMappedSize = store_ ? store_->cinderMappedSize() : 0;
    c.queueGeneration = queue_.attached() ? queue_.generation() : 0;
    c.queueLatestSequence = queue_.latestSequence().value_or(0);
    c.wakeups = syncer_.wakeups();
    c.resyncs = syncer_.resyncs();
    return reader_.readerCounters();  // the same record, with the files' sizes
}

template <class Ops>
std::string VeskShadow<Ops>::dumpHeaders() const {
    return fmt::format(
        "{}{}", reader_.dumpHeaders(),
        fmt::format("notification queue generation:{} buffers:{} entries:{}\n", queue_.generation(),
                    queue_.numBuffers(), queue_.bufferEntries()));
}

}  // namespace Vesk
