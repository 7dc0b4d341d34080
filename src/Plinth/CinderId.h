// CinderId: the restart-generation identifier of a table. Two u16 halves in one u32 (first half
// in the low 16 bits), printed "{}:{}" (first, then second). 0 means none.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>

namespace Plinth {

struct CinderId {
    uint32_t value = 0;

    CinderId() = default;
    explicit CinderId(uint32_t v) : value(v) {}
    CinderId(uint16_t first, uint16_t second) : value(uint32_t(first) | (uint32_t(second) << 16)) {}

    uint16_t first() const { return uint16_t(value & 0xFFFF); }
    uint16_t second() const { return uint16_t(value >> 16); }
    bool isNone() const { return value == 0; }
    std::string toString() const { return fmt::format("{}:{}", first(), second()); }

    friend bool operator==(const CinderId&, const CinderId&) = default;
};

}  // namespace Plinth
