// The shadow of each record type and its two stores, compiled once here.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "VeskShadow/VeskShadowImpl.h"

namespace Vesk {

#define FLEXCOUNTERS2_SHADOW(NAME)                                                                 \
    template class ShadowStore<FLEXCOUNTERS2_OPS(NAME), KeyShadowSlot<FLEXCOUNTERS2_OPS(NAME)>>;   \
    template class ShadowStore<FLEXCOUNTERS2_OPS(NAME), ValueShadowSlot<FLEXCOUNTERS2_OPS(NAME)>>; \
    template class KeyShadowStore<FLEXCOUNTERS2_OPS(NAME)>;                                        \
    template class VeskShadow<FLEXCOUNTERS2_OPS(NAME)>;
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_SHADOW)

}  // namespace Vesk
