// The writer of each record type (and Tmp, its local form), compiled once here.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Vesk/Tmp.h"
#include "Vesk/VeskWriterImpl.h"
#include "VeskCore/SlotWriterImpl.h"

namespace Vesk {

#define FLEXCOUNTERS2_WRITER(NAME)                      \
    template class VeskWriter<FLEXCOUNTERS2_OPS(NAME)>; \
    template class Tmp<FLEXCOUNTERS2_OPS(NAME)>;
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_WRITER)

}  // namespace Vesk
