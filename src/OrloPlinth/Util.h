// Entity paths.
#pragma once

#include "Orlo/Entity.h"
#include "Orlo/String.h"

namespace OrloPlinth::Util {

// The entity's full path in the tree (Orlo::Entity::path).
Orlo::String fullName(const Orlo::Entity& entity);

}  // namespace OrloPlinth::Util
