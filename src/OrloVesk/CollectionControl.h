// OrloVesk::CollectionControl: the collection control of one table map. It mounts the map
// (init with a descriptor) and unmounts it (controlDetach), and records what the map reports.
//
// A control lives in runtime memory: `new OrloVesk::CollectionControl(map)` allocates it with
// orloMemAlloc and records it with the runtime's allocation tracker of this type; its deletion
// (when the last reference goes) un-records it.
//
// Who may call what: the owning thread of the entity tree (the map's own thread). The control
// does not own the map: the map belongs to its table, and the control must not be asked to
// mount or unmount after the table is gone (forget the map first with mapIs(nullptr)).
#pragma once

#include "Orlo/Alloc.h"
#include "OrloPlinth/CollectionControl.h"
#include "VeskBase/ControlBase.h"
#include "VeskBase/MapDescriptor.h"

#include <cstddef>
#include <cstdint>

namespace OrloVesk {

class CollectionControl : public OrloPlinth::CollectionControl {
  public:
    explicit CollectionControl(Vesk::ControlBase* map) : map_(map) {}

    static void* operator new(size_t size) {
        return Orlo::orloTrackedAlloc<CollectionControl>(size);
    }
    static void operator delete(void* p) noexcept { Orlo::orloTrackedFree<CollectionControl>(p); }

    // Mounts the map as the descriptor says: map->init(descriptor). Exceptions of init pass on.
    // Throws Pimbo::InvalidInitializeException when the control has no map.
    void mount(const Vesk::MapDescriptor& descriptor);
    // Unmounts the map: map->controlDetach(). Throws Pimbo::InvalidInitializeException when the
    // control has no map.
    void unmount();

    Vesk::ControlBase* map() const { return map_; }
    void mapIs(Vesk::ControlBase* map) { map_ = map; }

    // Holds the entity as the base does. The map belongs to the entity the control was handed:
    // once the control lets that entity go (for another one or for none), the entity and its map
    // may be destroyed, so the control forgets the map first.
    void entityRefIs(const Orlo::Ptr<Orlo::Entity>& entity) override;

    uint64_t mountCalls() const { return mountCalls_; }
    uint64_t unmountCalls() const { return unmountCalls_; }

  private:
    Vesk::ControlBase* map_;
    uint64_t mountCalls_ = 0;
    uint64_t unmountCalls_ = 0;
};

}  // namespace OrloVesk
