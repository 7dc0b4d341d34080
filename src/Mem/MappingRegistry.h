// Mem::MappingRegistry: the address ranges this process maps from table files, each with the
// file's path, and the guard that keeps a reader alive when such a file is cut short under it.
//
// The guard. A file that another process shortens while it is mapped makes every later read of
// the lost pages raise SIGBUS. For a range registered as a reader's (guarded), the process's
// SIGBUS handler (installed with the first guarded range, in front of whatever handler was
// there) maps anonymous zero pages over the rest of that mapping (mmap with MAP_FIXED: one
// system call) and records that the range lost pages; the faulting load then reads zeros, which
// a reader survives as it survives any bytes of a damaged file. The reader asks once at the end
// of each operation whether any range lost pages (losses(): one relaxed load) and, when that
// number moved, whether one of its own did (lost()); it then fails with the file's name
// ("... shrank under the reader"). A fault at any other address (an unguarded writer's mapping,
// or none of ours) goes to the handler installed before, as if this one were not there.
//
// Who may call what: add, remove and lost from any thread, never from a signal handler (they
// share a mutex; each caller removes only the ranges it added, before it unmaps them); find, and
// the handler, from a signal handler: they are async-signal-safe (atomic loads and stores, a
// bounded copy, mmap; no locks, no allocation).
//
// Invariants:
//   1. An entry is claimed (free -> claimed) before its range and path are written, and
//      published by one release store of a fresh stamp after they are complete; find reads the
//      stamp with an acquire load before the fields and again after copying them, so a path
//      copied while its entry was removed and reused is dropped, never mixed.
//   2. A range is registered only while it is mapped: after the mmap that makes it, and removed
//      before the munmap that ends it (or re-registered with its new length before a part of it
//      is unmapped). So the handler only ever maps zeros over memory of the mapping that
//      faulted, never over a neighbour placed where an old range was.
//   3. The handler replaces only pages at and after the faulting page, up to the end of the
//      range: a file is cut at one point, so every page beyond the faulting one is lost too.
//      Pages before it that were lost as well fault on their own later.
//   4. Entries come in blocks of kBlockEntries, made as needed and never freed (a handler may be
//      walking them); a range that cannot be registered for want of memory goes unnamed and
//      unguarded (a fault there ends the process as it would without the registry).
//   5. A program that replaces the SIGBUS handler after the guard was installed, without calling
//      the one it replaced, takes the guard away.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Mem::MappingRegistry {

inline constexpr size_t kBlockEntries = 256;
inline constexpr size_t kPathSize = 256;  // longer paths keep their first 255 bytes

// Records that [base, base + length) maps the file `path`. A guarded range is a reader's: a
// fault in it is answered with zero pages (see the top of this file).
void add(const void* base, uint64_t length, const std::string& path, bool guarded) noexcept;
// Forgets the range that starts at base (nothing when none does). True when it lost pages.
bool remove(const void* base) noexcept;
// Copies the path of the file mapped at addr into out (NUL-terminated, cut to size); false when
// addr lies in no registered range.
bool find(const void* addr, char* out, size_t size) noexcept;

namespace Detail {
extern std::atomic<uint64_t> losses;
}  // namespace Detail

// How many times this process replaced lost pages of a guarded range. Relaxed: the handler runs
// on the thread whose load faulted, so that thread sees its own count at once.
inline uint64_t losses() noexcept {
    return Detail::losses.load(std::memory_order_relaxed);
}
// Whether the range that starts at base lost pages since it was added.
bool lost(const void* base) noexcept;

}  // namespace Mem::MappingRegistry
