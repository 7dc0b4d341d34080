// The direct mode of VeskWriter: the caller fills a record in place and then commits it, without
// a copy of its own. Compiled with the rest of the writer (Vesk/VeskWriterImpl.h); callers need
// only Vesk/VeskWriter.h.
//
// Who calls what: the writer's thread, strictly in pairs: directWrite (a new or existing key) or
// directUpdate (an existing key), then directCommit. No other mutation may come in between (it
// stops the process, as does a commit without an open operation, or a detach with one open).
//
// What a reader may see meanwhile (the publication order of VeskWriter.h holds throughout):
//  1. The fill area is never a slot a reader can reach: for a new key it is the fresh slot
//     taken from the free list (linked only by the commit), for an existing key the lookaside
//     slot, which readers use only while the slot's flags have LOOKASIDE set, and the commit
//     sets it only after the fill is complete.
//  2. A new key's critical-section bit stays set from directWrite to directCommit; an existing
//     key's commit is one lookaside overwrite, inside its own critical section.
//  3. A commit whose filled record does not carry the key the operation was opened for is
//     refused before any store: a new slot goes back to the free list, nothing is published.
#pragma once

#include "Vesk/VeskWriter.h"

namespace Vesk {

template <class Ops>
typename Ops::Value* VeskWriter<Ops>::directWrite(const Value& value) {
    const Key& key = Ops::key(value);
    assertNoDirect("modifying key", key);
    refuseIfBusy("directWrite");
    typename Table::CriticalSectionAnchor anchor(table_);
    auto p = hashMap_.find(key);
    uint32_t s = p.slot;
    char* area;
    if (p.found) {
        area = slotValue(table_.header()->lookaside());
    } else {
        s = takeSlot(anchor, p.prev, p.hash);
        area = slotValue(table_.slots()[s]);
    }
    ++counters_.directUpdates;
    Mem::writeFence();  // as in copyInPlace: earlier flags stores before the fill area's
    Mem::storeRelaxedCopy(area, &value, sizeof(Value));
    PIMBO_TRACE(9, "{}{} bucket:{} slot:{} next:{}", key, p.found ? " existing " : " new ",
                p.bucket, s, p.found ? slotLink(p.curr)->next : p.prev->next);
    openDirect(s, p.prev, !p.found, key);
    anchor.keep();  // the bit stays set until directCommit
    return reinterpret_cast<Value*>(area);
}

template <class Ops>
typename Ops::Value* VeskWriter<Ops>::directUpdate(const Key& key) {
    assertNoDirect("modifying key", key);
    refuseIfBusy("directUpdate");
    typename Table::CriticalSectionAnchor anchor(table_);
    const auto p = hashMap_.find(key);
    if (!p.found)
        return nullptr;
    ++counters_.directUpdates;
    // The fill area starts as the current record, so fields the caller leaves alone keep
    // their values.
    char* area = slotValue(table_.header()->lookaside());
    Mem::writeFence();  // as in copyInPlace: earlier flags stores before the fill area's
    Mem::storeRelaxedCopy(area, slotValue(p.curr), sizeof(Value));
    openDirect(p.slot, p.prev, false, key);
    return reinterpret_cast<Value*>(area);
}

template <class Ops>
void VeskWriter<Ops>::directCommit() {
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
    notify(s);
    directPrev_ = nullptr;
    // The anchor clears the bit on return, also ending the section a directWrite opened;
    // a bucket doubling triggered by the new record still runs inside it.
    maybeGrowBuckets();
}

template <class Ops>
void VeskWriter<Ops>::openDirect(uint32_t s, SlotLink* prev, bool isNew, const Key& key) {
    directSlot_ = s;
    directPrev_ = prev;
    directNew_ = isNew;
    directKey_ = key;
}

template <class Ops>
void VeskWriter<Ops>::abandonDirect(char* slot) {
    if (directNew_) {
        setFlags(slot, loadFlags(slot) & ~OCCUPIED);
        table_.dealloc(directSlot_);
    }
    directSlot_ = kNoSlot;
    directNew_ = false;
    directPrev_ = nullptr;
}

template <class Ops>
template <class What>
void VeskWriter<Ops>::assertNoDirect(const char* operation, const What& what) {
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

}  // namespace Vesk
