#include "Orlo/Text.h"

#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include <fmt/format.h>

namespace Orlo {

namespace {

// How much of the offending text a message quotes.
constexpr std::size_t kQuoteLength = 40;

// The text at [it, end) as a message shows it: quoted, cut after kQuoteLength characters.
std::string quoteFound(String::IteratorConst it, String::IteratorConst end) {
    if (it == end) {
        return "end of text";
    }
    const auto available = static_cast<std::size_t>(end - it);
    if (available <= kQuoteLength) {
        return fmt::format("\"{}\"", std::string(it, end));
    }
    return fmt::format("\"{}...\"", std::string(it, it + kQuoteLength));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

String format(const char* printfFormat, ...) {
    char small[256];
    va_list args;
    va_start(args, printfFormat);
    va_list retry;
    va_copy(retry, args);
    const int needed = std::vsnprintf(small, sizeof small, printfFormat, args);
    va_end(args);
    if (needed < 0) {
        va_end(retry);
        throw Exception(
            fmt::format("Orlo::format: the C library rejected format \"{}\"", printfFormat));
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        va_end(retry);
        return String(std::string(small, static_cast<std::size_t>(needed)));
    }
    // vsnprintf writes a terminating NUL, so the buffer needs one byte beyond the text.
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), printfFormat, retry);
    va_end(retry);
    out.resize(static_cast<std::size_t>(needed));
    return String(std::move(out));
}

void needString(String::IteratorConst& it, String::IteratorConst end, const char* literal) {
    String::IteratorConst pos = it;
    for (const char* want = literal; *want != '\0'; ++want, ++pos) {
        if (pos == end || *pos != *want) {
            throw ParseException(
                fmt::format("expected \"{}\", found {}", literal, quoteFound(it, end)));
        }
    }
    it = pos;
}

void rethrowFromDeserializeAttr(const RangeException& e, const char* attrName) {
    throw RangeException(fmt::format("attribute '{}': {}", attrName, e.msg()));
}

template <>
unsigned long long deserializeAttr<unsigned long long>(String::IteratorConst& it,
                                                       String::IteratorConst end,
                                                       const char* attrName) {
    constexpr unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
    String::IteratorConst pos = it;
    if (pos == end || !isDigit(*pos)) {
        throw ParseException(
            fmt::format("attribute '{}': expected an unsigned decimal number, found {}", attrName,
                        quoteFound(it, end)));
    }
    unsigned long long value = 0;
    bool overflow = false;
    for (; pos != end && isDigit(*pos); ++pos) {
        const unsigned digit = static_cast<unsigned>(*pos - '0');
        if (value > (kMax - digit) / 10) {
            overflow = true;  // keep scanning so the message can quote the whole number
        } else {
            value = value * 10 + digit;
        }
    }
    if (overflow) {
        throw RangeException(fmt::format("attribute '{}': {} is larger than {}", attrName,
                                         quoteFound(it, pos), kMax));
    }
    it = pos;
    return value;
}

template <>
unsigned long deserializeAttr<unsigned long>(String::IteratorConst& it, String::IteratorConst end,
                                             const char* attrName) {
    String::IteratorConst pos = it;
    const unsigned long long value = deserializeAttr<unsigned long long>(pos, end, attrName);
    if (value > std::numeric_limits<unsigned long>::max()) {
        throw RangeException(fmt::format("attribute '{}': {} is larger than {}", attrName, value,
                                         std::numeric_limits<unsigned long>::max()));
    }
    it = pos;
    return static_cast<unsigned long>(value);
}

String valueToStrep(unsigned long long value) {
    return String(fmt::format("{}", value));
}

void strepToValueEnd(const String& s, String::IteratorConst it) {
    if (it != s.end()) {
        throw ParseException(fmt::format("unexpected text after the value at offset {} of {}: {}",
                                         it - s.begin(), quoteFound(s.begin(), s.end()),
                                         quoteFound(it, s.end())));
    }
}

template <>
unsigned long long strepToValue<unsigned long long>(const String& s, unsigned long long*) {
    String::IteratorConst it = s.begin();
    const unsigned long long value = deserializeAttr<unsigned long long>(it, s.end(), "value");
    strepToValueEnd(s, it);
    return value;
}

std::string demangleStdString(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    if (status != 0 || !demangled) {
        return mangled;
    }
    return demangled.get();
}

}  // namespace Orlo
