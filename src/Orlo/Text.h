// Text forms of values ("streps") and the small parser toolkit that reads them back.
//
// A strep is read with a pair of iterators (it, end) into an Orlo::String. Each parsing call
// consumes exactly the text it recognises and advances `it` past it. On failure it throws;
// needString and the number readers then leave `it` unchanged, while a value made of several
// elements leaves it where its failing element began. The parsers never skip blanks: the text
// must match character for character.
//
// Unsigned numbers are written in plain decimal (no sign, no base prefix, no separators) and
// read back from one or more decimal digits.
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>

#include "Orlo/Exception.h"
#include "Orlo/String.h"

namespace Orlo {

// printf-style formatting into a String of any length. Throws Orlo::Exception when the C
// library rejects the format.
String format(const char* printfFormat, ...) __attribute__((format(printf, 1, 2)));

// Consumes `literal` at `it`. Throws ParseException quoting the literal and the text found
// instead; `it` is not moved on failure.
void needString(String::IteratorConst& it, String::IteratorConst end, const char* literal);

// Rethrows a range error raised while reading the attribute `attrName`, with the attribute's
// name in front of the original message: "attribute 'key': <original message>".
[[noreturn]] void rethrowFromDeserializeAttr(const RangeException& e, const char* attrName);

// Reads the value of attribute `attrName` at `it` and advances `it` past it. The generic form
// constructs T from the range with T's parsing constructor T(it, end); a range error inside
// the value is rethrown with the attribute's name. Numbers have their own specialisations.
template <class T>
T deserializeAttr(String::IteratorConst& it, String::IteratorConst end, const char* attrName) {
    try {
        return T(it, end);
    } catch (const RangeException& e) {
        rethrowFromDeserializeAttr(e, attrName);
    }
}

// Reads an unsigned decimal number: one or more digits, nothing else. Throws ParseException
// naming the attribute when no digit is at `it`, and RangeException naming the attribute when
// the number exceeds 2^64-1. On success `it` is just past the last digit; on failure it is
// unchanged.
template <>
unsigned long long deserializeAttr<unsigned long long>(String::IteratorConst& it,
                                                       String::IteratorConst end,
                                                       const char* attrName);
// uint64_t is `unsigned long` on LP64 platforms; it reads like `unsigned long long`.
template <>
unsigned long deserializeAttr<unsigned long>(String::IteratorConst& it, String::IteratorConst end,
                                             const char* attrName);

// The strep of an unsigned number: its decimal digits.
String valueToStrep(unsigned long long value);

// Called once a value has been read from the whole of `s`: throws ParseException when text is
// left over at `it`, quoting the leftover and its offset.
void strepToValueEnd(const String& s, String::IteratorConst it);

// Parses a value from the whole of `s`: T(it, end), then strepToValueEnd. The pointer only
// selects T and is not used.
template <class T>
T strepToValue(const String& s, T* /*ignored*/) {
    String::IteratorConst it = s.begin();
    T value(it, s.end());
    strepToValueEnd(s, it);
    return value;
}

template <>
unsigned long long strepToValue<unsigned long long>(const String& s, unsigned long long*);

// The readable name of a type from its mangled name (typeid(T).name()); the mangled name
// itself when it cannot be demangled.
std::string demangleStdString(const char* mangled);

template <class T>
std::string demangledName() {
    return demangleStdString(typeid(T).name());
}

}  // namespace Orlo
