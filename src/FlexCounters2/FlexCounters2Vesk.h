// The key and record types of the counter tables: CounterIndex and the four records
// CounterEntrySimple, CounterEntryNormal, CounterEntryWide and CounterEntryBitmap64.
//
// They are plain values copied by their bytes into and out of the shared-memory slot table, so
// every process that maps a table sees the same bytes:
//   1. every type is standard layout and trivially copyable, without pointers or virtuals;
//   2. every field is an unsigned 64-bit word stored at the offset pinned below (key first,
//      then the counters in declaration order), little-endian, naturally aligned;
//   3. the default value of every type is all fields zero; a record built from a key has that
//      key and zero counters, and its key never changes afterwards.
//
// Text forms. The strep is the runtime's text form and reads back through the parsing
// constructors (it, end), which consume exactly the strep and advance `it` past it:
//   CounterIndex  the decimal digits of the value
//   a record      Value('<its typeName()>', ** {'key': <the key's strep>, '<field>': <decimal>,
//                 ...}) on one line, its fields in order (FlexCounters2/RecordDescription.h);
//                 a record without fields is exactly the strep of its key
// veskString() is the short one-line form used in traces: "key: 7" for a key, and for a record
// "[key: 7] " then its letter, a blank and its fields joined by ", ": "[key: 7] S 12, 1500",
// "[key: 7] W ", "[key: 7] B ff" (a bitmap in lower-case hexadecimal, no prefix).
#pragma once

#include "Orlo/Hash.h"
#include "Orlo/Module.h"
#include "Orlo/String.h"
#include "Orlo/Text.h"
#include "OrloVesk/OrloVeskMapValueWrapper.h"
#include "Vesk/Operations.h"
#include "Vesk/VeskInterface.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <type_traits>

// The record types, one entry each: X(Name) for the record CounterEntry<Name> and its operations
// bundle CounterEntry<Name>Ops. Everything done once per record type comes from this list:
// AllRecords below, and the library's templates instantiated once per record type
// (FlexCounters2/*Instances.cpp), which users do not compile again.
#define FLEXCOUNTERS2_FOR_EACH_RECORD(X) X(Simple) X(Normal) X(Wide) X(Bitmap64)

namespace DravoCounters::FlexCounters2 {

struct ValueLayout;

// The key of every counter table: one opaque unsigned 64-bit number.
class CounterIndex {
  public:
    static constexpr const char* typeName() { return "DravoCounters::FlexCounters2::CounterIndex"; }

    CounterIndex() = default;
    CounterIndex(uint64_t value) : value_(value) {}
    // Parses the strep at `it` and advances `it` past it.
    CounterIndex(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end);

    uint64_t value() const { return value_; }

    // "key: " and the value in decimal.
    Orlo::String veskString() const;

    friend bool operator==(const CounterIndex&, const CounterIndex&) = default;
    // Unsigned order of the values: the key order of every map.
    friend bool operator<(const CounterIndex& a, const CounterIndex& b) {
        return a.value_ < b.value_;
    }

  private:
    friend struct ValueLayout;
    uint64_t value_ = 0;
};

// A packet and byte counter pair.
class CounterEntrySimple {
  public:
    static constexpr const char* typeName() {
        return "DravoCounters::FlexCounters2::CounterEntrySimple";
    }

    CounterEntrySimple() = default;
    explicit CounterEntrySimple(const CounterIndex& key) : key_(key) {}
    CounterEntrySimple(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end);

    const CounterIndex& key() const { return key_; }
    const CounterIndex& counterIndex() const { return key_; }
    uint64_t packets() const { return packets_; }
    void packetsIs(uint64_t v) { packets_ = v; }
    uint64_t octets() const { return octets_; }
    void octetsIs(uint64_t v) { octets_ = v; }

    // "[key: K] S packets, octets"
    Orlo::String veskString() const;

    friend bool operator==(const CounterEntrySimple&, const CounterEntrySimple&) = default;

  private:
    friend struct ValueLayout;
    CounterIndex key_;
    uint64_t packets_ = 0;
    uint64_t octets_ = 0;
};

// Two general counters.
class CounterEntryNormal {
  public:
    static constexpr const char* typeName() {
        return "DravoCounters::FlexCounters2::CounterEntryNormal";
    }

    CounterEntryNormal() = default;
    explicit CounterEntryNormal(const CounterIndex& key) : key_(key) {}
    CounterEntryNormal(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end);

    const CounterIndex& key() const { return key_; }
    const CounterIndex& counterIndex() const { return key_; }
    uint64_t counterA() const { return counterA_; }
    void counterAIs(uint64_t v) { counterA_ = v; }
    uint64_t counterB() const { return counterB_; }
    void counterBIs(uint64_t v) { counterB_ = v; }

    // "[key: K] N counterA, counterB"
    Orlo::String veskString() const;

    friend bool operator==(const CounterEntryNormal&, const CounterEntryNormal&) = default;

  private:
    friend struct ValueLayout;
    CounterIndex key_;
    uint64_t counterA_ = 0;
    uint64_t counterB_ = 0;
};

// A record that holds its key only.
class CounterEntryWide {
  public:
    static constexpr const char* typeName() {
        return "DravoCounters::FlexCounters2::CounterEntryWide";
    }

    CounterEntryWide() = default;
    explicit CounterEntryWide(const CounterIndex& key) : key_(key) {}
    CounterEntryWide(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end);

    const CounterIndex& key() const { return key_; }
    const CounterIndex& counterIndex() const { return key_; }

    // "[key: K] W " (ends in the blank)
    Orlo::String veskString() const;

    friend bool operator==(const CounterEntryWide&, const CounterEntryWide&) = default;

  private:
    friend struct ValueLayout;
    CounterIndex key_;
};

// A 64-bit bitmap.
class CounterEntryBitmap64 {
  public:
    static constexpr const char* typeName() {
        return "DravoCounters::FlexCounters2::CounterEntryBitmap64";
    }

    CounterEntryBitmap64() = default;
    explicit CounterEntryBitmap64(const CounterIndex& key) : key_(key) {}
    CounterEntryBitmap64(Orlo::String::IteratorConst& it, Orlo::String::IteratorConst end);

    const CounterIndex& key() const { return key_; }
    const CounterIndex& counterIndex() const { return key_; }
    uint64_t bits() const { return bits_; }
    void bitsIs(uint64_t v) { bits_ = v; }

    // "[key: K] B bits" with the bits in lower-case hexadecimal, no prefix, no leading zeros.
    Orlo::String veskString() const;

    friend bool operator==(const CounterEntryBitmap64&, const CounterEntryBitmap64&) = default;

  private:
    friend struct ValueLayout;
    CounterIndex key_;
    uint64_t bits_ = 0;
};

// The bytes a slot holds. Writers and readers in different processes, possibly built at
// different times, rely on these numbers.
struct ValueLayout {
    static_assert(sizeof(CounterIndex) == 8 && offsetof(CounterIndex, value_) == 0);

    static_assert(sizeof(CounterEntrySimple) == 24);
    static_assert(offsetof(CounterEntrySimple, key_) == 0);
    static_assert(offsetof(CounterEntrySimple, packets_) == 8);
    static_assert(offsetof(CounterEntrySimple, octets_) == 16);

    static_assert(sizeof(CounterEntryNormal) == 24);
    static_assert(offsetof(CounterEntryNormal, key_) == 0);
    static_assert(offsetof(CounterEntryNormal, counterA_) == 8);
    static_assert(offsetof(CounterEntryNormal, counterB_) == 16);

    static_assert(sizeof(CounterEntryWide) == 8);
    static_assert(offsetof(CounterEntryWide, key_) == 0);

    static_assert(sizeof(CounterEntryBitmap64) == 16);
    static_assert(offsetof(CounterEntryBitmap64, key_) == 0);
    static_assert(offsetof(CounterEntryBitmap64, bits_) == 8);
};

// A list of types, for code that does something once per record type.
template <class... R>
struct RecordList {
    static constexpr size_t kCount = sizeof...(R);
    template <class T>
    static constexpr bool kHas = (std::is_same_v<T, R> || ...);
    // The position of T in the list (kCount when it is not there).
    template <class T>
    static constexpr size_t kIndexOf = [] {
        size_t at = 0;
        (void)((std::is_same_v<T, R> || (++at, false)) || ...);
        return at;
    }();
};
template <class Void, class... R>
using RecordListAfter = RecordList<R...>;

// The four record types, in the order of FLEXCOUNTERS2_FOR_EACH_RECORD.
#define FLEXCOUNTERS2_RECORD_TYPE(NAME) , CounterEntry##NAME
using AllRecords = RecordListAfter<void FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_RECORD_TYPE)>;
#undef FLEXCOUNTERS2_RECORD_TYPE

template <class T>
concept CounterRecord = AllRecords::kHas<T>;

template <class T>
inline constexpr bool kIsSlotValue =
    std::is_standard_layout_v<T>&& std::is_trivially_copyable_v<T> && alignof(T) == 8;
template <class... R>
constexpr bool areSlotValues(RecordList<R...>) {
    return (kIsSlotValue<R> && ...);
}
static_assert(kIsSlotValue<CounterIndex> && areSlotValues(AllRecords{}));

// The operations bundle of the table of a record type.
template <CounterRecord R>
using RecordOps =
    Vesk::Ops<OrloVesk::OrloVeskMapValueWrapper<R, CounterIndex, &R::key>, CounterIndex>;

// Streps (see the top of this file). CounterIndex's operator<< writes the value with the
// stream's own flags (base, width); a record's writes its strep.
Orlo::String valueToStrep(const CounterIndex& v);
std::ostream& operator<<(std::ostream& os, const CounterIndex& v);
#define FLEXCOUNTERS2_RECORD_FUNCTIONS(NAME)                                 \
    Orlo::String valueToStrep(const CounterEntry##NAME& v);                  \
    std::ostream& operator<<(std::ostream& os, const CounterEntry##NAME& v); \
    using CounterEntry##NAME##Ops = RecordOps<CounterEntry##NAME>;
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_RECORD_FUNCTIONS)
#undef FLEXCOUNTERS2_RECORD_FUNCTIONS

}  // namespace DravoCounters::FlexCounters2

namespace Orlo {

// Reads a key that stands as attribute `attrName` inside an enclosing strep. A range error is
// rethrown with the attribute's name; other errors pass unchanged.
template <>
DravoCounters::FlexCounters2::CounterIndex
deserializeAttr<DravoCounters::FlexCounters2::CounterIndex>(String::IteratorConst& it,
                                                            String::IteratorConst end,
                                                            const char* attrName);

}  // namespace Orlo

// ----- reflection: how the runtime reaches these types without being compiled against them -----
namespace DravoCounters::FlexCounters2 {

// The description of the ten types of this library (the five values and the five tables),
// registered with the runtime when the library is loaded (FlexCounters2/Reflection.cpp).
extern const Orlo::OrloModule flexCounters2VeskModule;

// The runtime's generic hash of a key: the key hash of the tables, unseeded. Records have none.
inline uint32_t orloHash(const CounterIndex& key) {
    return Orlo::hashSingleAttr(0, key.value());
}

template <class T>
concept CounterValue = std::is_same_v<T, CounterIndex> || CounterRecord<T>;

// The bodies of TypeImpl (FlexCounters2/Reflection.cpp, compiled there for the five values).
template <CounterValue T>
void constructFromCtorArgs(void* dst, const void* const* args);
template <CounterValue T>
int attributeOp(void* result, void* p, const Orlo::OrloAttr& attr, uint32_t op, const void* other,
                const void* input);

}  // namespace DravoCounters::FlexCounters2

namespace Orlo {

// The type operations of the five values. Attribute identifiers, from 2 up in this order:
//   CounterIndex  value (read), veskString (call)
//   a record      key, counterIndex (read), its fields in order (read, write), veskString
// Operation 0 reads an attribute (8 bytes at result), 1 writes a counter from the 64-bit word at
// input, 10 calls veskString (an Orlo::String constructed at result). On the value as a whole:
// 11 "not all zero" and 12 "equal to the value at other" (a bool at result), 13 "less than the
// value at other", CounterIndex only.
template <DravoCounters::FlexCounters2::CounterValue T>
struct TypeImpl<T> {
    // A CounterIndex from the 64-bit number at args[0]; a record from the key at args[0].
    static void genericIfConstructFromCtorArgs(void* dst, const void* const* args) {
        DravoCounters::FlexCounters2::constructFromCtorArgs<T>(dst, args);
    }
    static int genericIfAttributeOp(void* result, void* p, const OrloAttr& attr, uint32_t op,
                                    const void* other, const void* input) {
        return DravoCounters::FlexCounters2::attributeOp<T>(result, p, attr, op, other, input);
    }
};

}  // namespace Orlo

#include "VeskShadow/ShadowHashMap.h"

// The templates of the front and the shadow's index compiled once per record type.
#define FLEXCOUNTERS2_FRONT_INSTANCES(EXTERN, NAME)                              \
    EXTERN template class VeskInterface<FLEXCOUNTERS2_OPS(NAME)>;                \
    EXTERN template class Placeholder<FLEXCOUNTERS2_OPS(NAME), false>;           \
    EXTERN template class Placeholder<FLEXCOUNTERS2_OPS(NAME), true>;            \
    EXTERN template class ShadowHashMap<FLEXCOUNTERS2_OPS(NAME),                 \
                                        KeyShadowSlot<FLEXCOUNTERS2_OPS(NAME)>>; \
    EXTERN template class ShadowHashMap<FLEXCOUNTERS2_OPS(NAME),                 \
                                        ValueShadowSlot<FLEXCOUNTERS2_OPS(NAME)>>;
#define FLEXCOUNTERS2_OPS(NAME) DravoCounters::FlexCounters2::CounterEntry##NAME##Ops
#define FLEXCOUNTERS2_EXTERN_FRONT(NAME) FLEXCOUNTERS2_FRONT_INSTANCES(extern, NAME)

namespace Vesk {
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_EXTERN_FRONT)
}  // namespace Vesk
