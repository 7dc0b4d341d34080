// MapDescriptor: how a table map is mounted - its initial size (a writer's maxSlots), its type,
// thirteen one-byte option flags, the opt-in to change notifications, the mode of the table's
// files and the number of records a writer expects (capacityHint).
#pragma once

#include "Plinth/RootPath.h"
#include "VeskBase/Types.h"

#include <cstdint>
#include <string>

namespace Mem {

// Base of every collection descriptor a control hands to a map's init.
class CollectionDescriptor {
  public:
    virtual ~CollectionDescriptor() = default;
    virtual std::string toString() const = 0;
};

}  // namespace Mem

namespace Vesk {

class MapDescriptor : public Mem::CollectionDescriptor {
  public:
    explicit MapDescriptor(uint32_t initialSize = 0, VeskType type = writer)
        : initialSize(initialSize), type(type) {}

    uint32_t initialSize;
    VeskType type;
    // The thirteen flags, in order.
    uint8_t localMem = 0;              // 1: the table lives in process memory
    uint8_t fixedSize = 0;             // 2: the slot array never changes size
    uint8_t shrinkSlots = 0;           // 3: the slot array may shrink
    uint8_t shrinkBuckets = 0;         // 4: the bucket count may halve
    uint8_t criticalTaskCheck = 0;     // 5: long operations yield to critical tasks
    uint8_t synchronous = 0;           // 6: no asynchronous notification set-up
    uint8_t shadowFlagBit2 = 0;        // 7: passed to a shadow as flag value 4
    uint8_t heap = 0;                  // 8: heap allocation (local memory only)
    uint8_t prune = 0;                 // 9: notification pruning
    uint8_t cleanupFirst = 0;          // 10: init cleans up the current implementation first
    uint8_t shadowFlagBit1 = 0;        // 11: passed to a shadow as flag value 2
    uint8_t assertOnOrphanAccess = 0;  // 12: an orphaned map stops the process on any use
    uint8_t regionTracking = 0;        // 13: track the table's regions
    // An addition to the thirteen: a shared writer publishes every change of the table in its
    // notification queue (Ruxa::RuxaWriter) instead of holding the placeholder writer only.
    uint8_t notify = 0;
    // How a writer creates the table's files and directories: files 0644 and directories 0755
    // unless set (0640 with a group makes a table readable by that group only).
    Mem::FileMode fileMode;
    // The number of records the writer expects (0: none). A new or re-formatted growable table
    // starts with this many slots (at least one page of them) and the matching power of two of
    // buckets, so filling it never grows either file; its slots and buckets never shrink below
    // that. A reused file keeps its size. A fixed-size table takes it for its buckets only and
    // refuses a hint above its size; every writer refuses a hint of kMaxSlots or more.
    uint32_t capacityHint = 0;

    bool operator==(const MapDescriptor& o) const;
    bool operator!=(const MapDescriptor& o) const { return !(*this == o); }
    std::string toString() const override;
};

}  // namespace Vesk
