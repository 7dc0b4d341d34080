// The four record types as the tool sees them: their short names (the record's name in lower
// case: "simple", "normal", "wide", "bitmap64"), the typed reader and writer each needs
// (withKind), and the records that `vesk fill` and the demo write. The kinds, their names and
// fields come from the library's list of record types and their descriptions
// (FlexCounters2/RecordDescription.h). The commands take a record's fields from the registered
// module description (RecordFields.h); kFields, fields() and recordJson read the same fields
// through the C++ description, for the tests to hold the commands' output against.
//
// Records written by the tool check themselves. Generation n of key k is a pure function of
// (k, n), and every field after the first is derived from the first and the key, so a copy that
// mixes two generations (a torn copy) fails selfCheck on its own:
//   simple    packets = k % 100 + n * step(k)         octets = packets * size(k)
//   normal    counterA = k % 100 + n * step(k)        counterB = 2 * counterA + 1
//   bitmap64  bits = n << 32 | mix32(k, n)
//   wide      the key only
// step(k) = 1 + k % 16 packets per update and size(k) = 64 + (37 k) % 1437 bytes per packet, so
// keys move at different rates and `vesk watch` has a busiest first. The first field only grows
// with n, so a reader can also tell that a record went backwards.
//
// A writer that made U round-robin updates over keys 0..N-1 left key k at generation
// generationAfter(k, N, U).
#pragma once

#include "FlexCounters2/CounterTables.h"
#include "FlexCounters2/RecordDescription.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace VeskTool {

using DravoCounters::FlexCounters2::AllRecords;
using DravoCounters::FlexCounters2::CounterIndex;
using DravoCounters::FlexCounters2::RecordList;
using DravoCounters::FlexCounters2::RecordOps;
#define VESK_TOOL_RECORD_NAMES(NAME)                        \
    using DravoCounters::FlexCounters2::CounterEntry##NAME; \
    using DravoCounters::FlexCounters2::CounterEntry##NAME##Ops;
FLEXCOUNTERS2_FOR_EACH_RECORD(VESK_TOOL_RECORD_NAMES)
#undef VESK_TOOL_RECORD_NAMES

// The name of a record type's kind: its record name in lower case ("bitmap64").
template <class Value>
inline constexpr auto kKindName = [] {
    namespace F = DravoCounters::FlexCounters2;
    F::JoinedName<F::kRecordName<Value>.size()> name{F::kRecordName<Value>};
    for (char& c : name.text)
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    return name;
}();

// What a kind knows from its record's description: its name, its table's class, the names of
// its fields after the key, and their words in a record.
template <class V>
struct KindOf {
    using Value = V;
    static constexpr const auto& kDescribed = DravoCounters::FlexCounters2::kRecordFields<V>;
    static constexpr const char* kName = kKindName<V>.c_str();
    static constexpr const char* kTableClass =
        DravoCounters::FlexCounters2::kTableTypeName<V>.c_str();
    static constexpr std::array<const char*, kDescribed.size()> kFields = [] {
        std::array<const char*, kDescribed.size()> names{};
        for (size_t i = 0; i < names.size(); ++i)
            names[i] = kDescribed[i].name;
        return names;
    }();

    static std::array<uint64_t, kDescribed.size()> fields(const Value& v) {
        std::array<uint64_t, kDescribed.size()> words{};
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = (v.*kDescribed[i].get)();
        return words;
    }
};

inline uint64_t packetStep(uint64_t key) {
    return 1 + key % 16;
}
inline uint64_t packetSize(uint64_t key) {
    return 64 + (key * 37) % 1437;
}
inline uint32_t mix32(uint64_t key, uint64_t n) {
    uint64_t h = key * 0x9E3779B97F4A7C15ull ^ (n + 0x632BE59BD9B4E019ull);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return uint32_t(h);
}
// The generation of key k after `updates` round-robin updates over keys 0..count-1.
inline uint64_t generationAfter(uint64_t key, uint64_t count, uint64_t updates) {
    return updates / count + (key < updates % count ? 1 : 0);
}

template <class Ops>
struct Kind;

template <>
struct Kind<CounterEntrySimpleOps> : KindOf<CounterEntrySimple> {
    static Value make(uint64_t key, uint64_t n) {
        Value v{CounterIndex(key)};
        v.packetsIs(key % 100 + n * packetStep(key));
        v.octetsIs(v.packets() * packetSize(key));
        return v;
    }
    static bool selfCheck(const Value& v) {
        const uint64_t k = v.key().value();
        return v.packets() >= k % 100 && (v.packets() - k % 100) % packetStep(k) == 0 &&
               v.octets() == v.packets() * packetSize(k);
    }
    // How far the record has come; never goes down between two copies of one key.
    static uint64_t progress(const Value& v) { return v.packets(); }
};

template <>
struct Kind<CounterEntryNormalOps> : KindOf<CounterEntryNormal> {
    static Value make(uint64_t key, uint64_t n) {
        Value v{CounterIndex(key)};
        v.counterAIs(key % 100 + n * packetStep(key));
        v.counterBIs(2 * v.counterA() + 1);
        return v;
    }
    static bool selfCheck(const Value& v) {
        const uint64_t k = v.key().value();
        return v.counterA() >= k % 100 && (v.counterA() - k % 100) % packetStep(k) == 0 &&
               v.counterB() == 2 * v.counterA() + 1;
    }
    static uint64_t progress(const Value& v) { return v.counterA(); }
};

template <>
struct Kind<CounterEntryWideOps> : KindOf<CounterEntryWide> {
    static Value make(uint64_t key, uint64_t) { return Value{CounterIndex(key)}; }
    static bool selfCheck(const Value&) { return true; }
    static uint64_t progress(const Value&) { return 0; }
};

template <>
struct Kind<CounterEntryBitmap64Ops> : KindOf<CounterEntryBitmap64> {
    static Value make(uint64_t key, uint64_t n) {
        Value v{CounterIndex(key)};
        v.bitsIs(n << 32 | mix32(key, n));
        return v;
    }
    static bool selfCheck(const Value& v) {
        return uint32_t(v.bits()) == mix32(v.key().value(), v.bits() >> 32);
    }
    static uint64_t progress(const Value& v) { return v.bits() >> 32; }
};

// The record types by position, in the order of AllRecords: 0 simple, 1 normal, 2 wide,
// 3 bitmap64.
inline constexpr int kKindCount = int(AllRecords::kCount);
template <class... R>
constexpr std::array<const char*, sizeof...(R)> kindNames(RecordList<R...>) {
    return {kKindName<R>.c_str()...};
}
template <class... R>
constexpr std::array<const char*, sizeof...(R)> kindTypeNames(RecordList<R...>) {
    return {R::typeName()...};
}
inline constexpr std::array<const char*, kKindCount> kKindNames = kindNames(AllRecords{});
inline constexpr std::array<const char*, kKindCount> kKindTypeNames = kindTypeNames(AllRecords{});

// To<T<Ops>...> over the operations bundles of the kinds, in order: PerKindOps<std::tuple> is
// the tuple of the bundles, PerKindOps<std::tuple, T> one T<Ops> for each kind.
template <template <class...> class To, template <class> class T, class... R>
To<T<RecordOps<R>>...> perKindOps(RecordList<R...>);
template <template <class...> class To, template <class> class T = std::type_identity_t>
using PerKindOps = decltype(perKindOps<To, T>(AllRecords{}));

// The kind named `name` ("simple"...), or -1.
inline int kindByName(std::string_view name) {
    for (int i = 0; i < kKindCount; ++i) {
        if (name == kKindNames[i])
            return i;
    }
    return -1;
}
// The kind whose record type name (a slot header's valueType) is `typeName`, or -1.
inline int kindByTypeName(std::string_view typeName) {
    for (int i = 0; i < kKindCount; ++i) {
        if (typeName == kKindTypeNames[i])
            return i;
    }
    return -1;
}

// Calls f.template operator()<Ops>() with the operations bundle of kind `kind` (0..3; any other
// number is the last kind).
template <class F, int I = 0>
decltype(auto) withKind(int kind, F&& f) {
    using Ops = std::tuple_element_t<I, PerKindOps<std::tuple>>;
    if constexpr (I + 1 < kKindCount) {
        if (kind != I)
            return withKind<F, I + 1>(kind, std::forward<F>(f));
    }
    return std::forward<F>(f).template operator()<Ops>();
}

// A record as one JSON object with the field names of its type: {"key": 7, "packets": 12, ...},
// as `vesk dump --json` prints it.
template <class Ops>
std::string recordJson(const typename Ops::Value& v) {
    std::string out = "{\"key\": " + std::to_string(Ops::key(v).value());
    const auto values = Kind<Ops>::fields(v);
    for (size_t i = 0; i < values.size(); ++i) {
        out += ", \"";
        out += Kind<Ops>::kFields[i];
        out += "\": " + std::to_string(values[i]);
    }
    out += "}";
    return out;
}

}  // namespace VeskTool
