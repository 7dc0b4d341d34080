// Vesk::RootPath: the directory and printable name of one table.
#pragma once

#include "Mem/RootPath.h"

#include <string>

namespace Vesk {

class RootPath : public Mem::RootPath {
  public:
    // The table `name` under the process's root; mayCreate is true for writers only.
    RootPath(Pimbo::Platform::DebugHandler& handler, const std::string& name, bool mayCreate,
             Mem::FileMode fileMode = Mem::FileMode())
        : Mem::RootPath(handler, name, mayCreate, fileMode) {}

    // The short printable name of the table: its name as given.
    const std::string& veskName() const { return name(); }
};

}  // namespace Vesk
