#include "Vesk/VeskShadowBase.h"

namespace Vesk {

VeskShadowBase::VeskShadowBase(Pimbo::Platform::DebugHandler& handler, const std::string& name,
                               uint32_t flags)
    : Pimbo::Debuggable(handler, "VeskShadow"),
      rootPath_(handler, name, false),
      flags_(flags),
      queue_(handler, rootPath_, counters_),
      syncer_(
          queue_, rootPath_,
          [this](Ruxa::BasicSlot slot, uint64_t sequence) {
              guarded([&] {
                  if (!doSlot(slot, sequence, true))
                      ++counters_.shadow.invalidNotifications;
              });
          },
          [this] {
              bool ok = false;
              guarded([&] { ok = resync(); });
              return ok;
          },
          Pimbo::eventLoop(), [this] { handleDisconnect(); }) {}

bool VeskShadowBase::initializeRuxa() {
    syncer_.start();
    return true;
}

bool VeskShadowBase::resync() {
    // The queue was attached at its latest entry: the pass below makes the copy at least as
    // new as that entry.
    const uint64_t reached = counters_.lastAppliedSequence;
    uint32_t slots = 0;
    if (!prepareSync(slots))
        return false;
    PIMBO_TRACE(2, "{}: resync of {} slots up to sequence {}", rootPath_, slots, reached);
    for (uint32_t i = 0; i < slots; ++i)
        doSlot(i, kNoSequence, true);
    syncSequence_ = reached;
    syncComplete();
    return true;
}

}  // namespace Vesk
