// The writer's texts of the findings of its validation (Validator.h).
#include "Vesk/Validator.h"

namespace Vesk {

namespace {

// A marker that leads the walk astray: after a run of buckets without records as long as the
// table, the order went round; otherwise the successor is the wrong one.
std::string wrongMarker(const TableFinding& f) {
    if (f.emptyRun >= f.numBuckets) {
        return fmt::format("has bucket cycle detected, bucketCount: {} numBuckets: {}", f.emptyRun,
                           f.numBuckets);
    }
    return fmt::format("has bucket: {} with next bucket: {} and numBuckets: {}", f.bucket,
                       SlotLink::bucketOf(uint32_t(f.found)), f.numBuckets);
}

}  // namespace

std::string validationText(const TableFinding& f) {
    switch (f.fault) {
        case TableFault::chainBeyondEnd:
            return fmt::format("out-of-range index: {} max:{}", f.id, int64_t(f.numSlots) - 1);
        case TableFault::slotTwice:
            return fmt::format("duplicate slot: {}", f.id);
        case TableFault::notOccupied:
            if (f.firstOfBucket) {
                return fmt::format("slotId: {} from bucket: {} not marked as occupied", f.id,
                                   f.bucket);
            }
            return fmt::format("slotId: {} not marked as occupied", f.id);
        case TableFault::wrongBucket:
            return fmt::format("corrupt key detected, slotId: {}", f.id);
        case TableFault::wrongRhash:
            return fmt::format("corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}",
                               f.id, f.found, f.wanted);
        case TableFault::outOfOrder:
            return fmt::format("slotId: {} does not sort after the slot before it", f.id);
        case TableFault::stuckLookaside:
            return fmt::format("stuck LOOKASIDE bit: {:#x}", f.flags);
        case TableFault::lastBucketEnd:
        case TableFault::wrongSuccessor:
            return wrongMarker(f);
        case TableFault::endsEarly:
            return fmt::format(
                "thinks we've reached the end of the table, but we're in bucket {} when there are "
                "numBuckets: {}",
                f.bucket, f.numBuckets);
        case TableFault::bucketsSkipped:
        case TableFault::bucketLoop:
            return fmt::format("has bucket cycle detected, bucketCount: {} numBuckets: {}", f.found,
                               f.numBuckets);
        case TableFault::freeMarker:
        case TableFault::freeBeyondEnd:
            return fmt::format("corrupted free slot detected with out of bound index: {}", f.id);
        case TableFault::freeChained:
        case TableFault::freeOccupied:
            return fmt::format("corrupted free slot not marked as empty: {}", f.id);
        case TableFault::freeTwice:
            return fmt::format("duplicate freeSlot detected: {}", f.id);
        case TableFault::occupiedCount:
            if (f.records > f.found) {
                return fmt::format("walkedSlots:{} is greater than header->occupiedSlots:{}",
                                   f.records, f.found);
            }
            return fmt::format("mismatch header->occupiedSlots:{} count:{}", f.found, f.records);
        case TableFault::lostSlots:
            return fmt::format("bad slotCount:{} occupiedSlots:{} freeSlots:{} capacity:{}",
                               f.records + f.freeSlots, f.records, f.freeSlots, f.numSlots);
    }
    return "";
}

}  // namespace Vesk
