// Validator: the walk of a writer's table in its full validation. It runs the table's one walk
// (VeskBase/TableWalk.h: every chain in bucket order, the free list, the counts) on the writer's
// own mapping and ends it at the first finding, with the writer's text for it.
//
// Runs on the writer thread while the writer owns the table; readers may keep reading. The
// marks of the walk (one byte a slot) are taken when the Validator is made: a lack of memory
// is the caller's to report before anything is walked.
#pragma once

#include "Nebo/Local.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/TableWalk.h"

#include <cstdint>
#include <string>

namespace Vesk {

// The writer's text of a finding of the walk ("duplicate slot: 7").
std::string validationText(const TableFinding& f);

template <class Writer>
class Validator : public Pimbo::Debuggable {
  public:
    Validator(Pimbo::Platform::DebugHandler& handler, Writer& writer, uint32_t capacity)
        : Pimbo::Debuggable(handler, "Validator"), writer_(writer), marks_(capacity, 0) {}

    // Walks the chains, the free list and the counts. False with `reason` at the first finding.
    bool walk() {
        PIMBO_TRACE(5, "starting");
        auto& table = writer_.slotTable();
        auto& buckets = writer_.hashMap().bucketWriter();
        TableLayout layout;
        layout.slots = table.slots().base;
        layout.slotSize = Writer::Table::slotSize;
        layout.numSlots = table.capacity();
        layout.buckets = buckets.header()->buckets();
        layout.numBuckets = buckets.numBuckets();
        layout.freeHead = table.header()->freeHead();
        layout.occupied = table.header()->occupied();
        try {
            TableWalk<Validator> structure(layout, *this, marks_.data());
            structure.run();
            PIMBO_TRACE(5, "marked {} slots, {} free", structure.records(), structure.freeSlots());
        } catch (const Pimbo::CorruptionDetectedException& e) {
            reason = e.msg();
            return false;
        }
        return true;
    }

    // ----- the walk's reporting (TableWalk) -----
    SlotLink load(const SlotLink* at) { return loadLink(at); }
    uint32_t hash(uint64_t key) { return writer_.hashKeyValue(key); }
    void fault(const TableFinding& found) {
        // The writer's walks, not its validation, refuse chains out of order.
        if (found.fault != TableFault::outOfOrder)
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "{}", validationText(found));
    }

    std::string reason;

  private:
    Writer& writer_;
    Nebo::Local<uint8_t> marks_;
};

}  // namespace Vesk
