#include "OrloPlinth/Util.h"

namespace OrloPlinth::Util {

Orlo::String fullName(const Orlo::Entity& entity) {
    return entity.path();
}

}  // namespace OrloPlinth::Util
