// The direct mode of VeskWriter: the caller fills a record and then commits it. The record it
// fills is the writer's own (directValue_, in process memory): the caller's plain stores never
// reach a byte that a reader, however late, may be copying. The commit publishes it as write()
// does, at the cost of one record copy. Compiled with the rest of the writer
// (Vesk/VeskWriterImpl.h); callers need only Vesk/VeskWriter.h.
//
// Who calls what: the writer's thread, strictly in pairs: directWrite (a new or existing key) or
// directUpdate (an existing key), fills through the pointer it returned, then directCommit. No
// other mutation may come in between (it stops the process, as does a commit without an open
// operation, or a detach with one open).
//
// What a reader may see meanwhile (doc/file-format.md):
//  1. Nothing of the fill before the commit. directWrite of a new key takes its slot from the
//     free list (its rhash set), unreachable until the commit links it (P2); the commit of an
//     existing key overwrites it in place (P3).
//  2. directWrite keeps the critical-section bit set until directCommit (P11); directUpdate
//     stores nothing shared, and the commit holds the bit for its own stores.
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
    return table_.critical([&](auto& anchor) {
        auto p = hashMap_.find(key);
        const uint32_t s = p.found ? p.slot : takeSlot(anchor, p.prev, p.hash);
        ++counters_.directUpdates;
        directValue_ = value;
        PIMBO_TRACE(9, "{}{} bucket:{} slot:{} next:{}", key, p.found ? " existing " : " new ",
                    p.bucket, s, p.found ? Vesk::nextOf(slotLink(p.curr)) : Vesk::nextOf(p.prev));
        openDirect(s, p.prev, !p.found, key);
        anchor.keep();  // the bit stays set until directCommit
        return &directValue_;
    });
}

template <class Ops>
typename Ops::Value* VeskWriter<Ops>::directUpdate(const Key& key) {
    assertNoDirect("modifying key", key);
    refuseIfBusy("directUpdate");
    return table_.critical([&](auto&) -> Value* {
        const auto p = hashMap_.find(key);
        if (!p.found)
            return nullptr;
        ++counters_.directUpdates;
        // The fill starts as the current record, so fields the caller leaves alone keep their
        // values.
        Mem::copyRelaxed(&directValue_, slotValue(p.curr), sizeof(Value));
        openDirect(p.slot, p.prev, false, key);
        return &directValue_;
    });
}

template <class Ops>
void VeskWriter<Ops>::directCommit() {
    PIMBO_TRACE(9, "slot: {}", directSlot_);
    if (directSlot_ == kNoSlot && !directNew_) {
        PIMBO_FAIL("not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    }
    table_.critical([&](auto& anchor) {
        char* slot = table_.slots()[directSlot_];
        const bool isNew = directNew_;
        const Key filledKey = Ops::key(directValue_);
        if (!hashOps_.keyEqual(filledKey, directKey_)) {
            abandonDirect(slot);
            anchor.release();  // nothing was published: the table is as consistent as before
            PIMBO_THROW(Pimbo::RuntimeException,
                        "directCommit on {} refused: the record's key {} is not the key {} of "
                        "slot {}",
                        name_, filledKey, directKey_, slotId(slot));
        }
        ++counters_.directCommits;
        if (isNew) {
            publishLink(slotLink(slot), Vesk::nextOf(directPrev_));
            copyUnlinked(slot, &directValue_);
        } else {
            copyInPlace(slot, &directValue_);
        }
        const uint32_t s = directSlot_;
        directSlot_ = kNoSlot;
        if (isNew) {
            publishLink(directPrev_, s);
            directNew_ = false;
        }
        notify(s);
        directPrev_ = nullptr;
        // The bit is cleared on return, also ending the section a directWrite opened; a
        // bucket doubling triggered by the new record still runs inside it.
        maybeGrowBuckets();
    });
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
void VeskWriter<Ops>::unbalancedDirect(const char* operation, const What& what) {
    char* slot = table_.slots()[directSlot_];
    table_.versionAnchor().set(loadFlags(slot), slotFlagsWord(slot), table_.header());
    PIMBO_FAIL(
        "unbalanced directSlot:{} containing value:{} when {}:{} - Make sure the "
        "DirectIs/Commit "
        "are properly paired!",
        directSlot_, directValue_, operation, what);
}

}  // namespace Vesk
