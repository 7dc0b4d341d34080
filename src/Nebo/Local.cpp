#include "Nebo/Local.h"

namespace Nebo {

template class Local<bool>;

}  // namespace Nebo
