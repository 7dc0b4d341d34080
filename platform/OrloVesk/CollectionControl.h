// OrloVesk::CollectionControl: the collection control of one table map. It mounts the map
// (init with a descriptor) and unmounts it (controlDetach), and records what the map reports.
//
// Who may call what: the owning thread of the entity tree (the map's own thread). The control
// does not own the map: the map belongs to its table, and the control must not be asked to
// mount or unmount after the table is gone (forget the map first with mapIs(nullptr)).
#pragma once

#include "OrloPlinth/CollectionControl.h"
#include "Vesk/ControlBase.h"
#include "Vesk/MapDescriptor.h"

#include <cstdint>

namespace OrloVesk {

class CollectionControl : public OrloPlinth::CollectionControl {
  public:
    explicit CollectionControl(Vesk::ControlBase* map) : map_(map) {}

    // Mounts the map as the descriptor says: map->init(descriptor). Exceptions of init pass on.
    // Throws Pimbo::InvalidInitializeException when the control has no map.
    void mount(const Vesk::MapDescriptor& descriptor);
    // Unmounts the map: map->controlDetach(). Throws Pimbo::InvalidInitializeException when the
    // control has no map.
    void unmount();

    Vesk::ControlBase* map() const { return map_; }
    void mapIs(Vesk::ControlBase* map) { map_ = map; }

    uint64_t mountCalls() const { return mountCalls_; }
    uint64_t unmountCalls() const { return unmountCalls_; }

  private:
    Vesk::ControlBase* map_;
    uint64_t mountCalls_ = 0;
    uint64_t unmountCalls_ = 0;
};

}  // namespace OrloVesk
