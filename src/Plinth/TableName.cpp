#include "Plinth/TableName.h"

#include <fmt/format.h>

#include <cstdint>

namespace Mem {
namespace {

// The code point that starts at text[i] and its length in bytes; length 0 for a byte that
// starts no valid UTF-8 sequence (overlong forms, surrogates and values above U+10FFFF
// included).
struct CodePoint {
    uint32_t value = 0;
    size_t length = 0;
};

CodePoint decode(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return uint8_t(text[k]); };
    const uint8_t b0 = byte(i);
    if (b0 < 0x80)
        return {b0, 1};
    size_t length = 0;
    uint32_t value = 0;
    uint32_t least = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, value = b0 & 0x1F, least = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, value = b0 & 0x0F, least = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, value = b0 & 0x07, least = 0x10000;
    } else {
        return {};
    }
    if (i + length > text.size())
        return {};
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return {};
        value = value << 6 | (byte(i + k) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return {};
    return {value, length};
}

bool controlCharacter(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Characters that change how the text around them is shown: the bidirectional marks,
// embeddings, overrides and isolates, and the line and paragraph separators.
bool reorderingCharacter(uint32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

const char* tableNameProblem(std::string_view component) {
    if (component.empty())
        return "an empty name";
    if (component == "." || component == "..")
        return "a name of the directory itself or of its parent";
    if (component.size() > 255)
        return "longer than 255 bytes";
    for (size_t i = 0; i < component.size();) {
        const CodePoint c = decode(component, i);
        if (c.length == 0)
            return "not valid UTF-8";
        if (c.value == '/')
            return "a '/'";
        if (controlCharacter(c.value))
            return "a control character";
        if (reorderingCharacter(c.value))
            return "a character that reorders or breaks the text around it";
        i += c.length;
    }
    return nullptr;
}

std::string escapedName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const CodePoint c = decode(text, i);
        if (c.length == 0) {
            out += fmt::format("\\x{:02x}", uint8_t(text[i]));
            ++i;
            continue;
        }
        if (c.value == '\\')
            out += "\\\\";
        else if (controlCharacter(c.value) && c.value < 0x80)
            out += fmt::format("\\x{:02x}", c.value);
        else if (controlCharacter(c.value) || reorderingCharacter(c.value))
            out += fmt::format("\\u{:04x}", c.value);
        else
            out.append(text.substr(i, c.length));
        i += c.length;
    }
    return out;
}

}  // namespace Mem
