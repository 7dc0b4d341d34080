// Small value types shared by every table implementation.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>

namespace Vesk {

// Kind of a map implementation, as type() reports it.
enum VeskType : uint8_t { writer = 0, shadow = 1, reader = 2, keyshadow = 3 };

// "writer", "shadow", "reader", "keyshadow" or "unknown(N)".
std::string veskTypeName(unsigned type);

// Mount status: 0 not mounted; 1 mounted (a shadow: not synchronised yet since its last attach);
// 2 a shadow synchronised with its table; 3 a shadow that detached and whose flush is pending.
using MountStatus = uint32_t;

// Iteration cursor carried from call to call by first and next: the `flags` of the slot last
// returned, its slot id and its bucket. A fresh hint names no slot, so it is never trusted.
struct IterHint {
    uint32_t version = 0;
    uint32_t slot = 0xFFFFFFFF;
    uint32_t bucket = 0xFFFFFFFF;

    std::string toString() const {
        return fmt::format("IterHint{{ version {}, slot {}, bucket {} }}", version, slot, bucket);
    }
    friend bool operator==(const IterHint&, const IterHint&) = default;
};

// The notification sequence a writer reports (its change-queue position).
struct SequenceRecord {
    uint64_t sequence = 0;
    std::string toString() const { return fmt::format("sequence:{}", sequence); }
};

}  // namespace Vesk
