#include "OrloVesk/CollectionControl.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"

namespace OrloVesk {

void CollectionControl::mount(const Vesk::MapDescriptor& descriptor) {
    if (map_ == nullptr) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "collection control {} has no map to mount with {}",
                    static_cast<const void*>(this), descriptor);
    }
    ++mountCalls_;
    map_->init(descriptor);
}

void CollectionControl::unmount() {
    if (map_ == nullptr) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "collection control {} has no map to unmount", static_cast<const void*>(this));
    }
    ++unmountCalls_;
    map_->controlDetach();
}

void CollectionControl::entityRefIs(const Orlo::Ptr<Orlo::Entity>& entity) {
    if (entityRef() && entityRef() != entity) {
        map_ = nullptr;
    }
    OrloPlinth::CollectionControl::entityRefIs(entity);
}

}  // namespace OrloVesk
