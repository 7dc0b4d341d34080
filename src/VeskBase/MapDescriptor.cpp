#include "VeskBase/MapDescriptor.h"

#include <fmt/format.h>

namespace Vesk {

bool MapDescriptor::operator==(const MapDescriptor& o) const {
    return initialSize == o.initialSize && type == o.type && localMem == o.localMem &&
           fixedSize == o.fixedSize && shrinkSlots == o.shrinkSlots &&
           shrinkBuckets == o.shrinkBuckets && criticalTaskCheck == o.criticalTaskCheck &&
           synchronous == o.synchronous && shadowFlagBit2 == o.shadowFlagBit2 && heap == o.heap &&
           prune == o.prune && cleanupFirst == o.cleanupFirst &&
           shadowFlagBit1 == o.shadowFlagBit1 && assertOnOrphanAccess == o.assertOnOrphanAccess &&
           regionTracking == o.regionTracking && notify == o.notify && fileMode == o.fileMode &&
           capacityHint == o.capacityHint;
}

std::string MapDescriptor::toString() const {
    return fmt::format(
        "MapDescriptor{{ initialSize:{} type:{} localMem:{} fixedSize:{} shrinkSlots:{} "
        "shrinkBuckets:{} criticalTaskCheck:{} synchronous:{} shadowFlagBit2:{} heap:{} prune:{} "
        "cleanupFirst:{} shadowFlagBit1:{} assertOnOrphanAccess:{} regionTracking:{} notify:{} "
        "fileMode:{:04o} group:{} capacityHint:{} }}",
        initialSize, veskTypeName(type), localMem, fixedSize, shrinkSlots, shrinkBuckets,
        criticalTaskCheck, synchronous, shadowFlagBit2, heap, prune, cleanupFirst, shadowFlagBit1,
        assertOnOrphanAccess, regionTracking, notify, fileMode.mode, fileMode.group, capacityHint);
}

}  // namespace Vesk
