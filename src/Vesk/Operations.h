// Vesk::Ops: the operations bundle of one table.
//
// Every map template (interface, placeholders, writer, reader) is instantiated with one Ops per
// record type. It bundles how a record yields its key (the value wrapper's fwkKey()), the
// seeded key hash, key ordering and equality, record equality and copying, and the default
// record (every field zero) that lookups return when nothing is found.
#pragma once

#include "Orlo/Hash.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>

namespace Vesk {

// Seeded 32-bit hash of a key. The second argument selects a composite key hash; the tables of
// this library have single-attribute keys (false): the key's 64-bit value() is hashed.
template <class Key, bool Composite>
struct Hash;

template <class Key>
struct Hash<Key, false> {
    uint32_t seed = 0;

    uint32_t operator()(const Key& k) const { return Orlo::hashSingleAttr(seed, k.value()); }
    void seedIs(uint32_t s) { seed = s; }
};

template <class Wrapper, class KeyT, class HashT = Hash<KeyT, false>, class Less = std::less<KeyT>,
          class Equal = std::equal_to<KeyT>>
struct Ops {
    using Value = typename Wrapper::Value;
    using Key = KeyT;

    static_assert(std::is_trivially_copyable_v<Value> && std::is_standard_layout_v<Value>,
                  "records are copied bytewise into shared memory");
    static_assert(sizeof(Value) % 8 == 0, "records are whole 8-byte words");

    static constexpr uint32_t valueSize = sizeof(Value);

    HashT hash;
    Less less;
    Equal equal;
    Value defaultValue{};

    // Fully qualified name of the record type, as the slot file header stores it.
    static const char* typeName() { return Wrapper::typeName(); }

    static const Key& key(const Value& v) { return Wrapper::fwkKey(v); }
    uint32_t hashKey(const Key& k) const { return hash(k); }
    void hashSeedIs(uint32_t seed) { hash.seedIs(seed); }
    uint32_t hashSeed() const { return hash.seed; }

    bool keyLess(const Key& a, const Key& b) const { return less(a, b); }
    bool keyEqual(const Key& a, const Key& b) const { return equal(a, b); }
    static bool valueEqual(const Value& a, const Value& b) { return a == b; }
    static void copyValue(Value& dst, const Value& src) { std::memcpy(&dst, &src, sizeof(Value)); }
};

}  // namespace Vesk
