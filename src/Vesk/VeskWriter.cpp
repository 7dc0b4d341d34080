// Interim lifecycle (no owner files yet) - replaced when the ownership services land.
#include "Vesk/VeskWriter.h"

#include "FlexCounters2/FlexCounters2Vesk.h"

#include <unistd.h>

namespace Vesk {

template <class Ops>
void VeskWriter<Ops>::attach() {
    cinderId_ = Plinth::CinderId(uint16_t(::getpid()), 1);
    if (!attach(cinderId_) || !validate(cinderId_, false)) {
        cinderId_ = Plinth::CinderId(cinderId_.first(), uint16_t(cinderId_.second() + 1));
        attach(cinderId_);
        if (!validate(cinderId_, false))
            PIMBO_THROW(Pimbo::InvalidInitializeException, "failed validation");
    }
}
template <class Ops>
bool VeskWriter<Ops>::attachAndValidate(bool, Plinth::OwnerFile*, const Plinth::ConduitInfo&) {
    return false;
}
template <class Ops>
void VeskWriter<Ops>::releaseOwnership() {}
template <class Ops>
bool VeskWriter<Ops>::ownerFileValid() {
    return true;
}
template <class Ops>
bool VeskWriter<Ops>::validateFiles() {
    return true;
}
template <class Ops>
bool VeskWriter<Ops>::cleanup() {
    return true;
}

template class VeskWriter<DravoCounters::FlexCounters2::CounterEntrySimpleOps>;
template class VeskWriter<DravoCounters::FlexCounters2::CounterEntryNormalOps>;
template class VeskWriter<DravoCounters::FlexCounters2::CounterEntryWideOps>;
template class VeskWriter<DravoCounters::FlexCounters2::CounterEntryBitmap64Ops>;
template class Tmp<DravoCounters::FlexCounters2::CounterEntrySimpleOps>;
template class Tmp<DravoCounters::FlexCounters2::CounterEntryNormalOps>;
template class Tmp<DravoCounters::FlexCounters2::CounterEntryWideOps>;
template class Tmp<DravoCounters::FlexCounters2::CounterEntryBitmap64Ops>;

}  // namespace Vesk
