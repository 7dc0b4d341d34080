#include "VeskShadow/VeskShadowBase.h"

namespace Vesk {

VeskShadowBase::VeskShadowBase(Pimbo::Platform::DebugHandler& handler, const std::string& name,
                               uint32_t flags, PrepareSync prepareSync)
    : Pimbo::Debuggable(handler, "VeskShadow"),
      rootPath_(handler, name, false),
      flags_(flags),
      queue_(handler, rootPath_, counters_),
      syncer_(
          queue_, rootPath_,
          [this](Ruxa::BasicSlot slot, uint64_t sequence) { syncFromRuxa(slot, sequence); },
          [this] {
              bool ok = false;
              guarded("a resync", [&] { ok = resync(); });
              return ok;
          },
          Pimbo::eventLoop(), [this] { handleDisconnect(); }),
      prepareSync_(std::move(prepareSync)) {}

bool VeskShadowBase::initializeRuxa() {
    syncer_.start();
    return true;
}

void VeskShadowBase::syncFromRuxa(Ruxa::BasicSlot slot, uint64_t sequence) {
    guarded("applying a change", [&] {
        if (!doSlot(slot, sequence, true))
            ++counters_.shadow.invalidNotifications;
    });
}

void VeskShadowBase::maybeEnableRuxa() {
    if (notifying_)
        syncer_.reconnect();
}

bool VeskShadowBase::resync() {
    // The queue was attached at its latest entry: the pass below makes the copy at least as
    // new as that entry.
    const uint64_t reached = counters_.lastAppliedSequence;
    uint32_t slots = 0;
    if (!runtime() || !prepareSync_(slots))
        return false;
    const bool compare = !reportAll_;
    PIMBO_TRACE(2, "{}: resync of {} slots up to sequence {}{}", rootPath_, slots, reached,
                compare ? "" : ", reporting every record");
    for (uint32_t i = 0; i < slots; ++i)
        doSlot(i, kNoSequence, compare);
    reportAll_ = false;
    syncSequence_ = reached;
    syncComplete();
    return true;
}

}  // namespace Vesk
