#include "Mem/Atomics.h"

#include <atomic>
#include <cstdint>

namespace Mem::Atomics {
namespace {
std::atomic<bool> simulatedMissing{false};
}

bool checkCpuSupport() {
    if (simulatedMissing.load(std::memory_order_relaxed))
        return false;
    return std::atomic_ref<uint64_t>::is_always_lock_free &&
           std::atomic_ref<uint32_t>::is_always_lock_free;
}

void simulateMissingSupportIs(bool missing) {
    simulatedMissing.store(missing, std::memory_order_relaxed);
}

}  // namespace Mem::Atomics
