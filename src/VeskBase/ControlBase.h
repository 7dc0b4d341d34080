// ControlBase: what a collection control sees of a table map - mount it with a descriptor,
// unmount it, ask its state.
#pragma once

#include "VeskBase/MapDescriptor.h"
#include "VeskBase/Types.h"

#include <string>

namespace Vesk {

class ControlBase {
  public:
    virtual ~ControlBase() = default;
    // Mounts the map as the descriptor says (a Vesk::MapDescriptor).
    virtual void init(const Mem::CollectionDescriptor& descriptor) = 0;
    // Unmounts: detaches the implementation, drops the sentry, clears initialized.
    virtual void controlDetach() = 0;
    virtual MountStatus mountStatus() = 0;
    virtual bool initialized() const = 0;
    virtual std::string name() = 0;
};

}  // namespace Vesk
