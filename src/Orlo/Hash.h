// The key hash of the runtime.
//
// hashSingleAttr is part of the shared-memory table file format: a writer places a key in the
// bucket chosen by this hash and readers in other processes, possibly built from other
// sources or by other compilers, recompute it to find the key. It therefore must stay exactly
// this function of (seed, value): no per-process randomisation, no dependence on the platform's
// std::hash, no change between releases. Changing it makes every existing table file
// unreadable; tests pin its values.
#pragma once

#include <cstdint>

namespace Orlo {

// Hash of a value that has one 64-bit attribute, under a 32-bit seed.
//
// Definition (file format):
//   h  = value + seed * 0x9E3779B97F4A7C15   (modulo 2^64)
//   h ^= h >> 30;  h *= 0xBF58476D1CE4E5B9
//   h ^= h >> 27;  h *= 0x94D049BB133111EB
//   h ^= h >> 31
//   result = low 32 bits of (h ^ (h >> 32))
// The seed is spread by the 64-bit golden-ratio constant before it is added, then the sum goes
// through a 64-bit finaliser whose every input bit reaches every output bit; the last step
// folds the high half into the low half, so both the low bits (bucket index) and the high bits
// (split order, which reverses the hash) are well mixed.
inline constexpr uint32_t hashSingleAttr(uint32_t seed, uint64_t value) {
    uint64_t h = value + uint64_t(seed) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBull;
    h ^= h >> 31;
    return uint32_t(h ^ (h >> 32));
}

}  // namespace Orlo
