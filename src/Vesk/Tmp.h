// Tmp: the local writer a table holds before it is mounted. It lives in process memory and
// touches no file, lock, owner, cinder or marker of the table it stands in for, so any process
// may create a table without disturbing that table's real writer. It still checks the
// processor's atomics, and it never counts as mounted.
#pragma once

#include "Vesk/VeskWriter.h"

namespace Vesk {

template <class Ops>
class Tmp : public VeskWriter<Ops> {
  public:
    Tmp(
        Pimbo::Platform::DebugHandler& handler, const std::string& name, const Ops& ops,
        MapDescriptor descriptor = MapDescriptor(100),
        typename VeskWriter<Ops>::QuiescedCallback quiesced = [](bool) {})
        : VeskWriter<Ops>(handler, name, localDescriptor(descriptor), ops, "",
                          std::move(quiesced)) {
        this->atomicsCheck_ = true;
    }
    ~Tmp() override { VeskWriter<Ops>::detach(false); }

    MountStatus mountStatus() override { return 0; }

  private:
    static MapDescriptor localDescriptor(MapDescriptor d) {
        d.localMem = 1;
        return d;
    }
};

}  // namespace Vesk
