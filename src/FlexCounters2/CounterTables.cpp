#include "FlexCounters2/CounterTables.h"

namespace DravoCounters::FlexCounters2 {

Orlo::Ptr<CounterTableSimple> counterTableSimpleFactory(const Orlo::String& name) {
    return CounterTableSimple::CounterTableSimpleIs(name);
}
Orlo::Ptr<CounterTableNormal> counterTableNormalFactory(const Orlo::String& name) {
    return CounterTableNormal::CounterTableNormalIs(name);
}
Orlo::Ptr<CounterTableWide> counterTableWideFactory(const Orlo::String& name) {
    return CounterTableWide::CounterTableWideIs(name);
}
Orlo::Ptr<CounterTableBitmap64> counterTableBitmap64Factory(const Orlo::String& name) {
    return CounterTableBitmap64::CounterTableBitmap64Is(name);
}

}  // namespace DravoCounters::FlexCounters2
