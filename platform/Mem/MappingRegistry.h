// Mem::MappingRegistry: the address ranges this process maps from table files, each with the
// file's path, so that a SIGBUS handler can name the file that shrank under a mapping.
//
// Who may call what: add and remove from any thread (each caller removes only the ranges it
// added); find from a signal handler: it is async-signal-safe (atomic loads and a bounded copy,
// no locks, no allocation).
//
// Invariants:
//   1. An entry is claimed (free -> claimed) before its range and path are written, and
//      published by one release store of a fresh stamp after they are complete; find reads the
//      stamp with an acquire load before the fields and again after copying them, so a path
//      copied while its entry was removed and reused is dropped, never mixed.
//   2. The registry has kCapacity entries; a range added while it is full goes unnamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Mem::MappingRegistry {

inline constexpr size_t kCapacity = 64;
inline constexpr size_t kPathSize = 256;  // longer paths keep their first 255 bytes

// Records that [base, base + length) maps the file `path`.
void add(const void* base, uint64_t length, const std::string& path) noexcept;
// Forgets the range that starts at base (nothing when none does).
void remove(const void* base) noexcept;
// Copies the path of the file mapped at addr into out (NUL-terminated, cut to size); false when
// addr lies in no registered range.
bool find(const void* addr, char* out, size_t size) noexcept;

}  // namespace Mem::MappingRegistry
