// DummyRuxaWriter: the change-notification queue writer of tables that publish no change queue.
// It accepts every call and sends nothing; a writer holds one so that its lifecycle calls have a
// receiver.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/RootPath.h"
#include "VeskBase/Counters.h"

namespace Ruxa {

class DummyRuxaWriter : public Pimbo::Debuggable {
  public:
    DummyRuxaWriter(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                    Vesk::Writer::Counters& counters, bool localMem, int pruneMode, void* notifiee)
        : Pimbo::Debuggable(handler, "DummyRuxaWriter"),
          counters_(&counters),
          localMem_(localMem),
          pruneMode_(pruneMode),
          notifiee_(notifiee),
          rootName_(rootPath.veskName()) {}

    // Set by a shared writer once it owns valid files.
    void writerAttachedIs(bool v) { writerAttached_ = v; }
    bool writerAttached() const { return writerAttached_; }
    void onDetach() { writerAttached_ = false; }
    int pruneMode() const { return pruneMode_; }
    Vesk::Writer::Counters& counters() const { return *counters_; }
    void* notifiee() const { return notifiee_; }
    bool localMem() const { return localMem_; }

  private:
    Vesk::Writer::Counters* counters_;
    bool localMem_;
    int pruneMode_;
    void* notifiee_;
    std::string rootName_;
    bool writerAttached_ = false;
};

}  // namespace Ruxa
