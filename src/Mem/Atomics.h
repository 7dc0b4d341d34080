// Whether this processor offers the atomic operations the shared tables rely on: lock-free
// aligned 8-byte loads and stores (links and versioned counts are published as single words).
#pragma once

namespace Mem::Atomics {

bool checkCpuSupport();
// For tests of the refusal path: pretend the processor lacks the operations.
void simulateMissingSupportIs(bool missing);

}  // namespace Mem::Atomics
