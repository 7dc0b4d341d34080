#include "Mem/Util.h"

#include "Pimbo/Exception.h"

#include <unistd.h>

namespace Mem {

const uint32_t pageSize_ = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));

uint64_t multiplyOverflowCheck(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        PIMBO_THROW(Pimbo::RuntimeException, "multiplication overflow: {} x {}", a, b);
    }
    return product;
}

}  // namespace Mem
