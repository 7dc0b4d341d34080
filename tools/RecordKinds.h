// The four record types as the tool sees them: their short names ("simple", "normal", "wide",
// "bitmap64"), the typed reader and writer each needs (withKind), and the records that
// `vesk fill` and the demo write. The commands take a record's fields from the registered
// description (RecordFields.h); kFields, fields() and recordJson are the same fields written
// out by hand, for the tests to hold the commands' output against.
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

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace VeskTool {

using DravoCounters::FlexCounters2::CounterEntryBitmap64;
using DravoCounters::FlexCounters2::CounterEntryBitmap64Ops;
using DravoCounters::FlexCounters2::CounterEntryNormal;
using DravoCounters::FlexCounters2::CounterEntryNormalOps;
using DravoCounters::FlexCounters2::CounterEntrySimple;
using DravoCounters::FlexCounters2::CounterEntrySimpleOps;
using DravoCounters::FlexCounters2::CounterEntryWide;
using DravoCounters::FlexCounters2::CounterEntryWideOps;
using DravoCounters::FlexCounters2::CounterIndex;

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
struct Kind<CounterEntrySimpleOps> {
    using Value = CounterEntrySimple;
    static constexpr const char* kName = "simple";
    static constexpr const char* kTableClass = "DravoCounters::FlexCounters2::CounterTableSimple";
    static constexpr std::array<const char*, 2> kFields = {"packets", "octets"};

    static std::array<uint64_t, 2> fields(const Value& v) { return {v.packets(), v.octets()}; }
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
struct Kind<CounterEntryNormalOps> {
    using Value = CounterEntryNormal;
    static constexpr const char* kName = "normal";
    static constexpr const char* kTableClass = "DravoCounters::FlexCounters2::CounterTableNormal";
    static constexpr std::array<const char*, 2> kFields = {"counterA", "counterB"};

    static std::array<uint64_t, 2> fields(const Value& v) { return {v.counterA(), v.counterB()}; }
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
struct Kind<CounterEntryWideOps> {
    using Value = CounterEntryWide;
    static constexpr const char* kName = "wide";
    static constexpr const char* kTableClass = "DravoCounters::FlexCounters2::CounterTableWide";
    static constexpr std::array<const char*, 0> kFields = {};

    static std::array<uint64_t, 0> fields(const Value&) { return {}; }
    static Value make(uint64_t key, uint64_t) { return Value{CounterIndex(key)}; }
    static bool selfCheck(const Value&) { return true; }
    static uint64_t progress(const Value&) { return 0; }
};

template <>
struct Kind<CounterEntryBitmap64Ops> {
    using Value = CounterEntryBitmap64;
    static constexpr const char* kName = "bitmap64";
    static constexpr const char* kTableClass = "DravoCounters::FlexCounters2::CounterTableBitmap64";
    static constexpr std::array<const char*, 1> kFields = {"bits"};

    static std::array<uint64_t, 1> fields(const Value& v) { return {v.bits()}; }
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

// The record types by position: 0 simple, 1 normal, 2 wide, 3 bitmap64.
inline constexpr int kKindCount = 4;
inline constexpr std::array<const char*, kKindCount> kKindNames = {"simple", "normal", "wide",
                                                                   "bitmap64"};
inline constexpr std::array<const char*, kKindCount> kKindTypeNames = {
    "DravoCounters::FlexCounters2::CounterEntrySimple",
    "DravoCounters::FlexCounters2::CounterEntryNormal",
    "DravoCounters::FlexCounters2::CounterEntryWide",
    "DravoCounters::FlexCounters2::CounterEntryBitmap64"};

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

static_assert(std::string_view(Kind<CounterEntrySimpleOps>::kName) == kKindNames[0]);
static_assert(std::string_view(Kind<CounterEntryNormalOps>::kName) == kKindNames[1]);
static_assert(std::string_view(Kind<CounterEntryWideOps>::kName) == kKindNames[2]);
static_assert(std::string_view(Kind<CounterEntryBitmap64Ops>::kName) == kKindNames[3]);

// Calls f.template operator()<Ops>() with the operations bundle of kind `kind` (0..3).
template <class F>
decltype(auto) withKind(int kind, F&& f) {
    switch (kind) {
        case 0:
            return std::forward<F>(f).template operator()<CounterEntrySimpleOps>();
        case 1:
            return std::forward<F>(f).template operator()<CounterEntryNormalOps>();
        case 2:
            return std::forward<F>(f).template operator()<CounterEntryWideOps>();
        default:
            return std::forward<F>(f).template operator()<CounterEntryBitmap64Ops>();
    }
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
