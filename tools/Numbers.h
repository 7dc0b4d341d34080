// Strict parsing of the numbers a user types: keys, counts, rates and durations. Anything but
// plain digits (an optional 0x prefix for keys, one decimal point for durations and rates) is a
// "bad number" that names the option and the text as typed; nothing is silently clamped.
#pragma once

#include "ToolError.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace VeskTool {

// A key: decimal, or hexadecimal with 0x, within 64 bits.
inline uint64_t parseKey(std::string_view text) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        throw ToolError(kUsage,
                        fmt::format("bad number '{}' for KEY: a key is a whole number from 0 to "
                                    "18446744073709551615 (decimal, or hexadecimal with 0x)",
                                    text));
    }
    return value;
}

// A whole number within [low, high] for option `what`.
inline uint64_t parseCount(std::string_view text, const char* what, uint64_t low, uint64_t high) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        throw ToolError(kUsage, fmt::format("bad number '{}' for {}: want a whole number from {} "
                                            "to {}",
                                            text, what, low, high));
    }
    return value;
}

// A decimal number (digits with at most one '.') within [low, high] for option `what`.
inline double parseDecimal(std::string_view text, const char* what, double low, double high) {
    bool ok = !text.empty() && text != ".";
    int points = 0;
    for (const char c : text) {
        if (c == '.')
            ++points;
        else if (c < '0' || c > '9')
            ok = false;
    }
    double value = 0;
    if (ok && points <= 1) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                               std::chars_format::fixed);
        ok = ec == std::errc() && end == text.data() + text.size();
    } else {
        ok = false;
    }
    if (!ok || value < low || value > high) {
        throw ToolError(kUsage, fmt::format("bad number '{}' for {}: want a decimal number from {} "
                                            "to {}",
                                            text, what, low, high));
    }
    return value;
}

}  // namespace VeskTool
