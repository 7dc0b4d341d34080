// Entity paths.
#pragma once

#include "Orlo/Entity.h"
#include "Orlo/String.h"

namespace OrloPlinth::Util {

// The entity's full path in the tree: "/" followed by the names from the root down to the
// entity, separated by "/" (a table T in directory "ports" under the root "sys" is
// "/sys/ports/T"). An unnamed root contributes nothing ("/ports/T"). A parent chain that loops
// stops the process.
Orlo::String fullName(const Orlo::Entity& entity);

}  // namespace OrloPlinth::Util
