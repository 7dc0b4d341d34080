// The front's templates and the shadow's index of each record type, compiled once here;
// FlexCounters2Vesk.h declares them extern so that users do not compile them again.
#include "FlexCounters2/FlexCounters2Vesk.h"

namespace Vesk {

#define FLEXCOUNTERS2_DEFINE_FRONT(NAME) FLEXCOUNTERS2_FRONT_INSTANCES(, NAME)
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_DEFINE_FRONT)

}  // namespace Vesk
