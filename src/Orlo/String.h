// Orlo::String: the runtime's immutable-by-convention text value.
//
// A thin wrapper around std::string. It converts implicitly from C strings and std::string so
// that text can be passed to runtime calls without ceremony, and it formats directly with fmt
// and with ostreams.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace Orlo {

class String {
  public:
    // Parsers walk a string with a pair of these: the current position and the end.
    using IteratorConst = std::string::const_iterator;

    String() = default;
    String(const char* s) : str_(s ? s : "") {}
    String(std::string s) : str_(std::move(s)) {}
    String(std::string_view s) : str_(s) {}
    String(IteratorConst first, IteratorConst last) : str_(first, last) {}

    IteratorConst begin() const { return str_.begin(); }
    IteratorConst end() const { return str_.end(); }
    std::size_t size() const { return str_.size(); }
    bool empty() const { return str_.empty(); }
    const char* c_str() const { return str_.c_str(); }
    const std::string& str() const { return str_; }

    operator const std::string&() const { return str_; }

    friend bool operator==(const String& a, const String& b) { return a.str_ == b.str_; }
    friend bool operator!=(const String& a, const String& b) { return a.str_ != b.str_; }
    friend bool operator<(const String& a, const String& b) { return a.str_ < b.str_; }
    friend std::ostream& operator<<(std::ostream& os, const String& s) { return os << s.str_; }

  private:
    std::string str_;
};

}  // namespace Orlo

template <>
struct std::hash<Orlo::String> {
    std::size_t operator()(const Orlo::String& s) const noexcept {
        return std::hash<std::string>()(s.str());
    }
};

template <>
struct fmt::formatter<Orlo::String> : fmt::formatter<fmt::string_view> {
    template <class FormatContext>
    auto format(const Orlo::String& s, FormatContext& ctx) const {
        return fmt::formatter<fmt::string_view>::format(fmt::string_view(s.str()), ctx);
    }
};
