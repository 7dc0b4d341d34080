#include "FlexCounters2/CounterTables.h"

namespace DravoCounters::FlexCounters2 {

#define FLEXCOUNTERS2_TABLE_FACTORY(NAME)                                                 \
    Orlo::Ptr<CounterTable##NAME> counterTable##NAME##Factory(const Orlo::String& name) { \
        return CounterTable##NAME::CounterTable##NAME##Is(name);                          \
    }
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_TABLE_FACTORY)

}  // namespace DravoCounters::FlexCounters2
