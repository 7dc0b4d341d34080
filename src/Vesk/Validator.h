// Validator: the full check of a writer's table. It walks every chain of the hash map (marking
// each slot it returns as occupied) and the whole free list (marking each slot as free), and
// then requires that the two marks cover every slot exactly once.
//
// Runs on the writer thread while the writer owns the table; readers may keep reading. Every
// walk is bounded: a slot met twice is a cycle.
#pragma once

#include "Nebo/Local.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "VeskBase/SlotTable.h"
#include "VeskBase/Types.h"

#include <string>
#include <utility>

namespace Vesk {

template <class Writer>
class Validator : public Pimbo::Debuggable {
  public:
    Validator(Pimbo::Platform::DebugHandler& handler, Writer& writer, uint32_t capacity)
        : Pimbo::Debuggable(handler, "Validator"),
          writer_(writer),
          seenOccupied_(capacity, false),
          seenFree_(capacity, false) {}

    // Iterates the whole table; first and next mark each slot they return.
    bool walkOccupiedSlots() {
        PIMBO_TRACE(5, "starting");
        const uint32_t occupied = writer_.slotTable().header()->occupied();
        typename Writer::Value value{};
        IterHint hint;
        uint32_t walked = 0;
        bool more = writer_.hashMap().first(0, value, hint);
        while (more) {
            if (++walked > occupied) {
                reason = fmt::format("walkedSlots:{} is greater than header->occupiedSlots:{}",
                                     walked, occupied);
                return false;
            }
            more = writer_.hashMap().next(Writer::OpsType::key(value), value, hint);
        }
        PIMBO_TRACE(5, "marked {} slots", occupiedCount_);
        if (occupied != occupiedCount_) {
            reason =
                fmt::format("mismatch header->occupiedSlots:{} count:{}", occupied, occupiedCount_);
            return false;
        }
        return true;
    }

    void markOccupied(uint32_t slotId) {
        PIMBO_TRACE(9, "slotIndex: {}", slotId);
        if (std::as_const(seenOccupied_).get(slotId)) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "duplicate slot: {}", slotId);
        }
        seenOccupied_.write(slotId, true);
        ++occupiedCount_;
        const uint32_t flags = loadFlags(writer_.slotTable().slots()[slotId]);
        if ((flags & OCCUPIED) == 0) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "missing OCCUPIED bit: {:#x}", flags);
        }
        if ((flags & LOOKASIDE) != 0) {
            PIMBO_THROW(Pimbo::CorruptionDetectedException, "stuck LOOKASIDE bit: {:#x}", flags);
        }
        PIMBO_TRACE(9, "no notification in ruxa queue for occupied slotId:{}", slotId);
    }

    // Follows the free list to its end; every id must be in range, seen once and not occupied.
    bool walkFreeSlots() {
        PIMBO_TRACE(5, "starting");
        auto& table = writer_.slotTable();
        const uint32_t numSlots = table.capacity();
        uint32_t id = table.header()->freeHead();
        while (id != kNoSlot) {
            PIMBO_TRACE(9, "walking slotIndex: {}", id);
            if (id >= numSlots) {
                reason =
                    fmt::format("corrupted free slot detected with out of bound index: {}", id);
                return false;
            }
            if (std::as_const(seenFree_).get(id)) {
                reason = fmt::format("duplicate freeSlot detected: {}", id);
                return false;
            }
            seenFree_.write(id, true);
            ++freeCount_;
            const char* slot = table.slots()[id];
            if ((loadFlags(slot) & OCCUPIED) != 0) {
                reason = fmt::format("corrupted free slot not marked as empty: {}", id);
                return false;
            }
            id = slotLink(slot)->next;
        }
        PIMBO_TRACE(5, "marked {} free slots", freeCount_);
        return true;
    }

    uint32_t occupiedCount() const { return occupiedCount_; }
    uint32_t freeCount() const { return freeCount_; }

    std::string reason;

  private:
    Writer& writer_;
    Nebo::Local<bool> seenOccupied_;
    Nebo::Local<bool> seenFree_;
    uint32_t occupiedCount_ = 0;
    uint32_t freeCount_ = 0;
};

}  // namespace Vesk
