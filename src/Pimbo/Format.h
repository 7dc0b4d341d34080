// The one place where our types become formattable with fmt.
//
// A type with `std::string toString() const` formats as that text; a value type with
// `veskString()` (the short form of keys and records) formats as its short form.
#pragma once

#include <fmt/format.h>

#include <concepts>
#include <string>
#include <string_view>

namespace Pimbo {

template <class T>
concept HasToString = requires(const T& t) {
    { t.toString() } -> std::convertible_to<std::string>;
};

template <class T>
concept HasVeskString = !HasToString<T> && requires(const T& t) {
    t.veskString();
};

}  // namespace Pimbo

template <Pimbo::HasToString T>
struct fmt::formatter<T, char> : fmt::formatter<std::string_view> {
    auto format(const T& v, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(std::string(v.toString()), ctx);
    }
};

template <Pimbo::HasVeskString T>
struct fmt::formatter<T, char> : fmt::formatter<std::string_view> {
    auto format(const T& v, fmt::format_context& ctx) const {
        const auto text = v.veskString();
        return fmt::formatter<std::string_view>::format(std::string_view(text.c_str(), text.size()),
                                                        ctx);
    }
};
