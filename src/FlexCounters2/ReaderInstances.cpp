// The reader of each record type, compiled once here.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Vesk/VeskReaderImpl.h"

namespace Vesk {

#define FLEXCOUNTERS2_READER(NAME) template class VeskReader<FLEXCOUNTERS2_OPS(NAME)>;
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_READER)

}  // namespace Vesk
