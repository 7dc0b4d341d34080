// The reflection of this library's ten types: the type operations of the five values, the
// operations of the five tables, and the module description that registers them with the
// runtime when the library is loaded. The byte layouts are those of Orlo/Module.h; every record
// below is built by constexpr code from the names, so the offsets cannot drift from the tables.
#include "FlexCounters2/CounterTables.h"

#include <array>
#include <cstring>
#include <ios>
#include <string_view>

namespace DravoCounters::FlexCounters2 {
namespace {

// ----- values ---------------------------------------------------------------------------------

// The counters of a record: identifier, getter and setter.
template <class T>
struct Counter {
    uint32_t id;
    uint64_t (T::*get)() const;
    void (T::*set)(uint64_t);
};
template <class T>
struct Counters;
template <>
struct Counters<CounterEntrySimple> {
    using T = CounterEntrySimple;
    static constexpr std::array<Counter<T>, 2> kList = {
        {{4, &T::packets, &T::packetsIs}, {5, &T::octets, &T::octetsIs}}};
};
template <>
struct Counters<CounterEntryNormal> {
    using T = CounterEntryNormal;
    static constexpr std::array<Counter<T>, 2> kList = {
        {{4, &T::counterA, &T::counterAIs}, {5, &T::counterB, &T::counterBIs}}};
};
template <>
struct Counters<CounterEntryWide> {
    static constexpr std::array<Counter<CounterEntryWide>, 0> kList = {};
};
template <>
struct Counters<CounterEntryBitmap64> {
    using T = CounterEntryBitmap64;
    static constexpr std::array<Counter<T>, 1> kList = {{{4, &T::bits, &T::bitsIs}}};
};

constexpr int kDone = 0;
constexpr int kNotApplicable = 1;
constexpr int kNoSuchAttribute = 2;

int readWord(void* result, uint32_t op, uint64_t value) {
    if (op != 0)
        return kNotApplicable;
    std::memcpy(result, &value, sizeof value);
    return kDone;
}
template <class T>
int callVeskString(void* result, uint32_t op, const T& v) {
    if (op != 10)
        return kNotApplicable;
    new (result) Orlo::String(v.veskString());
    return kDone;
}
// Operations 11, 12 and 13 on the value as a whole.
template <class T>
int wholeValueOp(void* result, uint32_t op, const T& v, const void* other) {
    bool answer = false;
    if (op == 11) {
        answer = !(v == T{});
    } else if (op == 12) {
        answer = v == *static_cast<const T*>(other);
    } else if (op != 13) {
        return kNotApplicable;
    } else if constexpr (std::is_same_v<T, CounterIndex>) {
        answer = v < *static_cast<const T*>(other);
    } else {
        return kNotApplicable;  // records have no order
    }
    std::memcpy(result, &answer, sizeof answer);
    return kDone;
}

}  // namespace

template <CounterValue T>
void constructFromCtorArgs(void* dst, const void* const* args) {
    if constexpr (std::is_same_v<T, CounterIndex>)
        new (dst) CounterIndex(*static_cast<const uint64_t*>(args[0]));
    else
        new (dst) T(*static_cast<const CounterIndex*>(args[0]));
}

template <CounterValue T>
int attributeOp(void* result, void* p, const Orlo::OrloAttr& attr, uint32_t op, const void* other,
                const void* input) {
    T& v = *static_cast<T*>(p);
    if (attr.empty())
        return wholeValueOp(result, op, v, other);
    const uint32_t id = attr.attributeId();
    if constexpr (std::is_same_v<T, CounterIndex>) {
        if (id == 2)
            return readWord(result, op, v.value());
        return id == 3 ? callVeskString(result, op, v) : kNoSuchAttribute;
    } else {
        if (id == 2 || id == 3)  // key, counterIndex: the key, read only
            return readWord(result, op, v.key().value());
        for (const auto& c : Counters<T>::kList) {
            if (id != c.id)
                continue;
            if (op == 0)
                return readWord(result, op, (v.*c.get)());
            if (op != 1)
                return kNotApplicable;
            uint64_t word;
            std::memcpy(&word, input, sizeof word);
            (v.*c.set)(word);
            return kDone;
        }
        return id == 4 + Counters<T>::kList.size() ? callVeskString(result, op, v)
                                                   : kNoSuchAttribute;
    }
}

template void constructFromCtorArgs<CounterIndex>(void*, const void* const*);
template int attributeOp<CounterIndex>(void*, void*, const Orlo::OrloAttr&, uint32_t, const void*,
                                       const void*);
template void constructFromCtorArgs<CounterEntrySimple>(void*, const void* const*);
template int attributeOp<CounterEntrySimple>(void*, void*, const Orlo::OrloAttr&, uint32_t,
                                             const void*, const void*);
template void constructFromCtorArgs<CounterEntryNormal>(void*, const void* const*);
template int attributeOp<CounterEntryNormal>(void*, void*, const Orlo::OrloAttr&, uint32_t,
                                             const void*, const void*);
template void constructFromCtorArgs<CounterEntryWide>(void*, const void* const*);
template int attributeOp<CounterEntryWide>(void*, void*, const Orlo::OrloAttr&, uint32_t,
                                           const void*, const void*);
template void constructFromCtorArgs<CounterEntryBitmap64>(void*, const void* const*);
template int attributeOp<CounterEntryBitmap64>(void*, void*, const Orlo::OrloAttr&, uint32_t,
                                               const void*, const void*);

namespace {

// ----- tables -----------------------------------------------------------------------------------

template <class Table>
struct TableImpl {
    using Record = typename Table::Map::Value;
    using Iterator = typename Table::Map::IteratorConst;
    static constexpr uint32_t kCounter = Table::kCounterAttribute;
    static constexpr uint32_t kCounterControl = Table::kCounterControlAttribute;

    static Orlo::Ptr<Orlo::Entity> newEntityForDir(const Orlo::String& name,
                                                   const void* const* args) {
        if (args != nullptr)
            Orlo::throwNewEntityArgsException(
                Orlo::OrloType{&flexCounters2VeskModule, Table::kTypeIndex});
        return Table::create(name);
    }
    static void genericIfConstructFromCtorArgs(void* dst, const void* const* args) {
        new (dst)
            Orlo::Ptr<Orlo::Entity>(Table::create(*static_cast<const Orlo::String*>(args[0])));
    }
    static int genericIfAttributeOp(void* result, void* p, const Orlo::OrloAttr& attr, uint32_t op,
                                    const void* other, const void* input) {
        Table& t = *static_cast<Table*>(static_cast<Orlo::Entity*>(p));
        const uint32_t id = attr.attributeId();
        if (id == kCounterControl) {
            using Control = Orlo::Ptr<OrloVesk::CollectionControl>;
            if (op == 0)
                new (result) Control(t.counterControl());
            else if (op == 1)
                t.counterControlIs(*static_cast<const Control*>(input));
            else
                return kNotApplicable;
            return kDone;
        }
        if (id != kCounter)
            return kNoSuchAttribute;
        bool found = false;
        switch (op) {
            case 0:
                std::memcpy(
                    result,
                    t.counter.safeLookup(*static_cast<const CounterIndex*>(other), found, nullptr),
                    sizeof(Record));
                return kDone;
            case 1:
                t.counterIs(*static_cast<const Record*>(input));
                return kDone;
            case 2:
                new (result) Record(t.counterDel(*static_cast<const CounterIndex*>(other)));
                return kDone;
            case 3:
            case 4: {
                const uint32_t count = op == 3 ? t.counter.interface().members() : 0;
                std::memcpy(result, &count, sizeof count);
                return kDone;
            }
            case 5:
                t.counter.safeLookup(*static_cast<const CounterIndex*>(other), found, nullptr);
                std::memcpy(result, &found, sizeof found);
                return kDone;
            default:
                return kNotApplicable;
        }
    }
    static void* genericIfIterator(void* p, const Orlo::OrloAttr& attr,
                                   const Orlo::IteratorOps** ops) {
        if (attr.attributeId() != kCounter)
            return nullptr;
        *ops = &kIteratorOps;
        return new Iterator(&static_cast<Table*>(static_cast<Orlo::Entity*>(p))->counter);
    }

    static const Iterator& it(void* iterator) { return *static_cast<const Iterator*>(iterator); }
    static void iterObj(const Orlo::OrloAttr&, void* iterator, void* out) {
        new (out) Record(it(iterator).value());
    }
    static void iterKey(const Orlo::OrloAttr&, void* iterator, void* out) {
        new (out) CounterIndex(it(iterator).value().key());
    }
    static bool iterNonnull(const Orlo::OrloAttr&, void* iterator) { return it(iterator).valid(); }
    static void iterInc(const Orlo::OrloAttr&, void* iterator) {
        static_cast<Iterator*>(iterator)->advance();
    }
    static void iterDel(const Orlo::OrloAttr&, void* iterator) {
        delete static_cast<Iterator*>(iterator);
    }
    static constexpr Orlo::IteratorOps kIteratorOps = {iterObj, iterKey, iterNonnull, iterInc,
                                                       iterDel};
};

int baseAttributeOp(void*, void*, const Orlo::OrloAttr&, uint32_t, const void*, const void*) {
    return kNoSuchAttribute;
}

// ----- the module description -------------------------------------------------------------------

// The name tables: zero-terminated names back to back (the literal adds the last zero).
constexpr char kTypeNames[] =
    "DravoCounters::FlexCounters2::CounterIndex\0"
    "DravoCounters::FlexCounters2::CounterEntrySimple\0"
    "DravoCounters::FlexCounters2::CounterEntryNormal\0"
    "DravoCounters::FlexCounters2::CounterEntryWide\0"
    "DravoCounters::FlexCounters2::CounterEntryBitmap64\0"
    "DravoCounters::FlexCounters2::CounterTableBase\0"
    "DravoCounters::FlexCounters2::CounterTableSimple\0"
    "DravoCounters::FlexCounters2::CounterTableNormal\0"
    "DravoCounters::FlexCounters2::CounterTableWide\0"
    "DravoCounters::FlexCounters2::CounterTableBitmap64\0"
    "Orlo::String\0"
    "U64";
constexpr char kAttributeNames[] =
    "\0bits\0counter\0counterA\0counterB\0counterControl\0counterIndex\0key\0name\0octets\0"
    "packets\0veskString\0value";

// The offset of `name` in a name table; a name that is not there stops the build.
template <size_t N>
constexpr uint16_t offsetOf(const char (&table)[N], std::string_view name) {
    for (size_t at = 0; at < N; at += std::string_view(table + at).size() + 1) {
        if (std::string_view(table + at) == name)
            return uint16_t(at);
    }
    throw "name not in the table";
}
template <size_t N>
constexpr void put(std::array<uint8_t, N>& bytes, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// Type references (OrloTypeRef), by index.
enum Ref : uint16_t { bitmap64Ref, normalRef, simpleRef, wideRef, indexRef, baseRef, controlRef };
constexpr Orlo::OrloTypeRef kTypeRefs[] = {{0, 4},
                                           {0, 2},
                                           {0, 1},
                                           {0, 3},
                                           {0, 0},
                                           {0, 5},
                                           {uint32_t(Orlo::ModuleRef::collectionControl), 0}};

// Attributes by kind: the three flag bytes and the type.
enum class A { index, key, counterIndex, counter, veskString, collection, control };
struct AttributeEntry {
    uint32_t id;
    const char* name;
    A kind;
    int16_t type = 0;  // a counter collection's record type
};
constexpr std::array<uint8_t, 3> flagsOf(A kind) {
    switch (kind) {
        case A::index:
        case A::key:
            return {0x00, 0x2C, 0x01};
        case A::counterIndex:
            return {0x00, 0x28, 0x00};
        case A::counter:
            return {0x00, 0x1C, 0x01};
        case A::veskString:
            return {0x10, 0x08, 0x00};
        case A::collection:
            return {0x01, 0x5C, 0x01};
        default:
            return {0x20, 0x5C, 0x01};
    }
}
constexpr int16_t typeOf(const AttributeEntry& a) {
    switch (a.kind) {
        case A::index:
        case A::counter:
            return Orlo::kBuiltinU64;
        case A::veskString:
            return Orlo::kBuiltinString;
        case A::key:
        case A::counterIndex:
            return indexRef;
        case A::collection:
            return a.type;
        default:
            return controlRef;
    }
}

constexpr AttributeEntry kAttributes[] = {
    {2, "value", A::index},
    {3, "veskString", A::veskString},  // CounterIndex
    {2, "key", A::key},
    {3, "counterIndex", A::counterIndex},
    {4, "packets", A::counter},
    {5, "octets", A::counter},
    {6, "veskString", A::veskString},  // CounterEntrySimple
    {2, "key", A::key},
    {3, "counterIndex", A::counterIndex},
    {4, "counterA", A::counter},
    {5, "counterB", A::counter},
    {6, "veskString", A::veskString},  // CounterEntryNormal
    {2, "key", A::key},
    {3, "counterIndex", A::counterIndex},
    {4, "veskString", A::veskString},  // CounterEntryWide
    {2, "key", A::key},
    {3, "counterIndex", A::counterIndex},
    {4, "bits", A::counter},
    {5, "veskString", A::veskString},  // CounterEntryBitmap64
    {258, "counter", A::collection, simpleRef},
    {259, "counterControl", A::control},
    {258, "counter", A::collection, normalRef},
    {259, "counterControl", A::control},
    {258, "counter", A::collection, wideRef},
    {259, "counterControl", A::control},
    {258, "counter", A::collection, bitmap64Ref},
    {259, "counterControl", A::control},
};
constexpr size_t kAttributeCount = std::size(kAttributes);

constexpr auto attributeRecords() {
    std::array<uint8_t, Orlo::kAttributeRecordSize * kAttributeCount> bytes{};
    for (size_t i = 0; i < kAttributeCount; ++i) {
        const AttributeEntry& a = kAttributes[i];
        const size_t at = Orlo::kAttributeRecordSize * i;
        const bool collection = a.kind == A::collection;
        put(bytes, at, a.id, 4);
        const std::array<uint8_t, 3> flags = flagsOf(a.kind);
        for (size_t f = 0; f < 3; ++f)
            bytes[at + 4 + f] = flags[f];
        put(bytes, at + 7, offsetOf(kAttributeNames, a.name), 1);
        put(bytes, at + 10, uint16_t(typeOf(a)), 2);
        put(bytes, at + 12, collection ? indexRef : 0xFFFF, 2);
        put(bytes, at + 16, collection ? offsetOf(kAttributeNames, "key") : 0, 4);
    }
    return bytes;
}

// Constructor arguments: 0 the key of a record, 1 the name of a table, 2 the value of a key.
constexpr auto ctorArgRecords() {
    std::array<uint8_t, Orlo::kCtorArgRecordSize * 3> bytes{};
    const std::pair<const char*, uint16_t> args[] = {{"key", 0},
                                                     {"name", offsetOf(kTypeNames, "Orlo::String")},
                                                     {"value", offsetOf(kTypeNames, "U64")}};
    for (size_t i = 0; i < 3; ++i) {
        put(bytes, Orlo::kCtorArgRecordSize * i + 8, offsetOf(kAttributeNames, args[i].first), 2);
        put(bytes, Orlo::kCtorArgRecordSize * i + 10, args[i].second, 2);
    }
    return bytes;
}

struct TypeEntry {
    const char* name;
    uint8_t kind;
    uint32_t size;
    uint16_t parent;
    uint16_t ctorArg;  // bit 0: has one; bits 1 and up: its record
    uint16_t firstAttribute;
    uint16_t attributeCount;
};
constexpr uint16_t kNoParent = 0xFFFF;
constexpr uint16_t kRuntimeEntity = 0xFFFD;
constexpr uint16_t kKeyArg = 0 << 1 | 1, kNameArg = 1 << 1 | 1, kValueArg = 2 << 1 | 1;
constexpr TypeEntry kTypes[] = {
    {"DravoCounters::FlexCounters2::CounterIndex", Orlo::kKindValue, sizeof(CounterIndex),
     kNoParent, kValueArg, 0, 2},
    {"DravoCounters::FlexCounters2::CounterEntrySimple", Orlo::kKindValue,
     sizeof(CounterEntrySimple), kNoParent, kKeyArg, 2, 5},
    {"DravoCounters::FlexCounters2::CounterEntryNormal", Orlo::kKindValue,
     sizeof(CounterEntryNormal), kNoParent, kKeyArg, 7, 5},
    {"DravoCounters::FlexCounters2::CounterEntryWide", Orlo::kKindValue, sizeof(CounterEntryWide),
     kNoParent, kKeyArg, 12, 3},
    {"DravoCounters::FlexCounters2::CounterEntryBitmap64", Orlo::kKindValue,
     sizeof(CounterEntryBitmap64), kNoParent, kKeyArg, 15, 4},
    {"DravoCounters::FlexCounters2::CounterTableBase", Orlo::kKindEntity, sizeof(CounterTableBase),
     kRuntimeEntity, kNameArg, 0, 0},
    {"DravoCounters::FlexCounters2::CounterTableSimple", Orlo::kKindEntity,
     sizeof(CounterTableSimple), baseRef, kNameArg, 19, 2},
    {"DravoCounters::FlexCounters2::CounterTableNormal", Orlo::kKindEntity,
     sizeof(CounterTableNormal), baseRef, kNameArg, 21, 2},
    {"DravoCounters::FlexCounters2::CounterTableWide", Orlo::kKindEntity, sizeof(CounterTableWide),
     baseRef, kNameArg, 23, 2},
    {"DravoCounters::FlexCounters2::CounterTableBitmap64", Orlo::kKindEntity,
     sizeof(CounterTableBitmap64), baseRef, kNameArg, 25, 2},
};
constexpr size_t kTypeCount = std::size(kTypes);
// The types name every attribute record once, in order.
static_assert(kTypes[kTypeCount - 1].firstAttribute + kTypes[kTypeCount - 1].attributeCount ==
              kAttributeCount);

constexpr auto typeRecords() {
    std::array<uint8_t, Orlo::kTypeRecordSize * kTypeCount> bytes{};
    for (size_t i = 0; i < kTypeCount; ++i) {
        const TypeEntry& t = kTypes[i];
        const size_t at = Orlo::kTypeRecordSize * i;
        put(bytes, at, t.kind, 1);
        put(bytes, at + 1, i == 0 ? 0xF8 : 0xF0, 1);
        put(bytes, at + 2, offsetOf(kTypeNames, t.name), 2);
        put(bytes, at + 4, (t.size / 4) << 12 | 0x100, 4);
        put(bytes, at + 8, t.parent, 2);
        put(bytes, at + 10, t.ctorArg, 2);
        put(bytes, at + 12, t.firstAttribute, 2);
        put(bytes, at + 14, t.attributeCount, 2);
    }
    return bytes;
}

constexpr auto kTypeRecords = typeRecords();
constexpr auto kAttributeRecords = attributeRecords();
constexpr auto kCtorArgRecords = ctorArgRecords();

template <class T>
constexpr Orlo::TypeOps valueOps() {
    return {nullptr,
            nullptr,
            &Orlo::GenericIfImpl::GenericIfValueMethods<T>::kMethods,
            Orlo::TypeImpl<T>::genericIfConstructFromCtorArgs,
            Orlo::TypeImpl<T>::genericIfAttributeOp,
            nullptr};
}
template <class Table>
constexpr Orlo::TypeOps tableOps() {
    using I = TableImpl<Table>;
    return {I::newEntityForDir,
            nullptr,
            &Orlo::GenericIfImpl::GenericIfPtrInterfaceMethods<Orlo::Entity>::kMethods,
            I::genericIfConstructFromCtorArgs,
            I::genericIfAttributeOp,
            I::genericIfIterator};
}
constexpr Orlo::TypeOps kTypeOps[] = {
    valueOps<CounterIndex>(),
    valueOps<CounterEntrySimple>(),
    valueOps<CounterEntryNormal>(),
    valueOps<CounterEntryWide>(),
    valueOps<CounterEntryBitmap64>(),
    {nullptr, nullptr, nullptr, nullptr, baseAttributeOp,
     nullptr},  // the base: its attributes only
    tableOps<CounterTableSimple>(),
    tableOps<CounterTableNormal>(),
    tableOps<CounterTableWide>(),
    tableOps<CounterTableBitmap64>(),
};
static_assert(std::size(kTypeOps) == kTypeCount);

}  // namespace

constinit const Orlo::OrloModule flexCounters2VeskModule = {
    kTypeRecords.data(),
    kAttributeRecords.data(),
    kCtorArgRecords.data(),
    kTypeNames,
    kAttributeNames,
    kTypeRefs,
    kTypeOps,
    uint32_t(kTypeCount),
};

namespace {
// Registered when the library is loaded, after the standard streams exist.
const bool registered = [] {
    static const std::ios_base::Init streams;
    Orlo::orloModuleIs(&flexCounters2VeskModule);
    return true;
}();
}  // namespace

}  // namespace DravoCounters::FlexCounters2
