// The map templates of the four tables, compiled once here; FlexCounters2Vesk.h declares them
// extern so that users do not compile them again.
#include "FlexCounters2/FlexCounters2Vesk.h"

namespace Vesk {

using namespace DravoCounters::FlexCounters2;

template class VeskInterface<CounterEntrySimpleOps>;
template class VeskInterface<CounterEntryNormalOps>;
template class VeskInterface<CounterEntryWideOps>;
template class VeskInterface<CounterEntryBitmap64Ops>;

template class VeskDummy<CounterEntrySimpleOps>;
template class VeskDummy<CounterEntryNormalOps>;
template class VeskDummy<CounterEntryWideOps>;
template class VeskDummy<CounterEntryBitmap64Ops>;

template class VeskStrictDummy<CounterEntrySimpleOps>;
template class VeskStrictDummy<CounterEntryNormalOps>;
template class VeskStrictDummy<CounterEntryWideOps>;
template class VeskStrictDummy<CounterEntryBitmap64Ops>;

}  // namespace Vesk
