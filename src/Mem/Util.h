// Memory arithmetic helpers.
#pragma once

#include <cstdint>

namespace Mem {

// The system's page size in bytes.
extern const uint32_t pageSize_;

// a x b, or Pimbo::RuntimeException when the product does not fit in 64 bits.
uint64_t multiplyOverflowCheck(uint64_t a, uint64_t b);

}  // namespace Mem
