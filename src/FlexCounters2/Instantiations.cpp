// The map templates of the four tables, compiled once here; FlexCounters2Vesk.h declares them
// extern so that users do not compile them again.
#include "FlexCounters2/FlexCounters2Vesk.h"

namespace Vesk {

using namespace DravoCounters::FlexCounters2;

template class VeskInterface<CounterEntrySimpleOps>;
template class VeskInterface<CounterEntryNormalOps>;
template class VeskInterface<CounterEntryWideOps>;
template class VeskInterface<CounterEntryBitmap64Ops>;

template class Placeholder<CounterEntrySimpleOps, false>;
template class Placeholder<CounterEntryNormalOps, false>;
template class Placeholder<CounterEntryWideOps, false>;
template class Placeholder<CounterEntryBitmap64Ops, false>;

template class Placeholder<CounterEntrySimpleOps, true>;
template class Placeholder<CounterEntryNormalOps, true>;
template class Placeholder<CounterEntryWideOps, true>;
template class Placeholder<CounterEntryBitmap64Ops, true>;

template class ShadowHashMap<CounterEntrySimpleOps, KeyShadowSlot<CounterEntrySimpleOps>>;
template class ShadowHashMap<CounterEntrySimpleOps, ValueShadowSlot<CounterEntrySimpleOps>>;
template class ShadowHashMap<CounterEntryNormalOps, KeyShadowSlot<CounterEntryNormalOps>>;
template class ShadowHashMap<CounterEntryNormalOps, ValueShadowSlot<CounterEntryNormalOps>>;
template class ShadowHashMap<CounterEntryWideOps, KeyShadowSlot<CounterEntryWideOps>>;
template class ShadowHashMap<CounterEntryWideOps, ValueShadowSlot<CounterEntryWideOps>>;
template class ShadowHashMap<CounterEntryBitmap64Ops, KeyShadowSlot<CounterEntryBitmap64Ops>>;
template class ShadowHashMap<CounterEntryBitmap64Ops, ValueShadowSlot<CounterEntryBitmap64Ops>>;

}  // namespace Vesk
