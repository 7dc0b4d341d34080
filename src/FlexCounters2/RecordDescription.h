// The fields of each record type, described once. The record's text forms
// (FlexCounters2Vesk.cpp), its attributes in the reflection (Reflection.cpp) and the tool's kinds
// and field lists (tools/RecordKinds.h) are all made from these descriptions and AllRecords; a
// record type is added by its class, its entry in FLEXCOUNTERS2_FOR_EACH_RECORD and its
// description here.
#pragma once

#include "FlexCounters2/FlexCounters2Vesk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace DravoCounters::FlexCounters2 {

// One field of a record after its key: its name (the attribute's, and the strep's), how it is
// read and written, and whether veskString shows it in lower-case hexadecimal.
template <class T>
struct RecordField {
    const char* name;
    uint64_t (T::*get)() const;
    void (T::*set)(uint64_t);
    bool hex = false;
};

// A record type: kLetter, the letter of its veskString, and kFields, its fields in the order of
// their bytes.
template <CounterRecord T>
struct RecordDescription;

template <>
struct RecordDescription<CounterEntrySimple> {
    using T = CounterEntrySimple;
    static constexpr char kLetter = 'S';
    static constexpr std::array<RecordField<T>, 2> kFields = {
        {{"packets", &T::packets, &T::packetsIs}, {"octets", &T::octets, &T::octetsIs}}};
};
template <>
struct RecordDescription<CounterEntryNormal> {
    using T = CounterEntryNormal;
    static constexpr char kLetter = 'N';
    static constexpr std::array<RecordField<T>, 2> kFields = {
        {{"counterA", &T::counterA, &T::counterAIs}, {"counterB", &T::counterB, &T::counterBIs}}};
};
template <>
struct RecordDescription<CounterEntryWide> {
    static constexpr char kLetter = 'W';
    static constexpr std::array<RecordField<CounterEntryWide>, 0> kFields = {};
};
template <>
struct RecordDescription<CounterEntryBitmap64> {
    using T = CounterEntryBitmap64;
    static constexpr char kLetter = 'B';
    static constexpr std::array<RecordField<T>, 1> kFields = {
        {{"bits", &T::bits, &T::bitsIs, true}}};
};

template <CounterRecord T>
inline constexpr const auto& kRecordFields = RecordDescription<T>::kFields;

// Every record is its key and its fields, one word each (ValueLayout pins the offsets).
template <class... R>
constexpr bool recordsAreTheirWords(RecordList<R...>) {
    return ((sizeof(R) == sizeof(uint64_t) * (1 + kRecordFields<R>.size())) && ...);
}
static_assert(recordsAreTheirWords(AllRecords{}));

// The names of the library's types: the namespace, then "CounterEntry" or "CounterTable", then
// the record's own name ("Simple").
inline constexpr std::string_view kTypeNamespace = "DravoCounters::FlexCounters2::";
inline constexpr std::string_view kRecordPrefix = "CounterEntry";
inline constexpr std::string_view kTablePrefix = "CounterTable";
template <CounterRecord T>
inline constexpr std::string_view kRecordName =
    std::string_view(T::typeName()).substr(kTypeNamespace.size() + kRecordPrefix.size());
template <class... R>
constexpr bool recordsAreNamedAlike(RecordList<R...>) {
    auto named = [](std::string_view name) {
        return name.starts_with(kTypeNamespace) &&
               name.substr(kTypeNamespace.size()).starts_with(kRecordPrefix);
    };
    return (named(R::typeName()) && ...);
}
static_assert(recordsAreNamedAlike(AllRecords{}));

// Parts joined into one zero-terminated text of static storage.
template <size_t N>
struct JoinedName {
    std::array<char, N + 1> text{};
    constexpr JoinedName(std::initializer_list<std::string_view> parts) {
        size_t at = 0;
        for (std::string_view part : parts) {
            for (char c : part)
                text[at++] = c;
        }
    }
    constexpr const char* c_str() const { return text.data(); }
    constexpr std::string_view view() const { return {text.data(), N}; }
};

// The type name of the table of record type T: "DravoCounters::FlexCounters2::CounterTableSimple".
template <CounterRecord T>
inline constexpr JoinedName<kTypeNamespace.size() + kTablePrefix.size() + kRecordName<T>.size()>
    kTableTypeName{kTypeNamespace, kTablePrefix, kRecordName<T>};

}  // namespace DravoCounters::FlexCounters2
