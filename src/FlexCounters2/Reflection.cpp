// The reflection of this library's ten types: the type operations of the five values, the
// operations of the five tables, and the module description that registers them with the
// runtime when the library is loaded. The byte layouts are those of Orlo/Module.h; every record
// below is built by constexpr code from the list of record types (AllRecords) and their
// descriptions (RecordDescription.h), so identifiers, name offsets and counts cannot drift.
#include "FlexCounters2/CounterTables.h"
#include "FlexCounters2/RecordDescription.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ios>
#include <string_view>

namespace DravoCounters::FlexCounters2 {
namespace {

// ----- values ---------------------------------------------------------------------------------

// The first attribute identifier of a record's fields; its veskString follows its last field.
constexpr uint32_t kFirstFieldId = 4;

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
        const auto& fields = kRecordFields<T>;
        if (id >= kFirstFieldId && id < kFirstFieldId + fields.size()) {
            const RecordField<T>& f = fields[id - kFirstFieldId];
            if (op == 0)
                return readWord(result, op, (v.*f.get)());
            if (op != 1)
                return kNotApplicable;
            uint64_t word;
            std::memcpy(&word, input, sizeof word);
            (v.*f.set)(word);
            return kDone;
        }
        return id == kFirstFieldId + fields.size() ? callVeskString(result, op, v)
                                                   : kNoSuchAttribute;
    }
}

#define FLEXCOUNTERS2_VALUE_OPERATIONS(T)                                                   \
    template void constructFromCtorArgs<T>(void*, const void* const*);                      \
    template int attributeOp<T>(void*, void*, const Orlo::OrloAttr&, uint32_t, const void*, \
                                const void*);
#define FLEXCOUNTERS2_RECORD_OPERATIONS(NAME) FLEXCOUNTERS2_VALUE_OPERATIONS(CounterEntry##NAME)
FLEXCOUNTERS2_VALUE_OPERATIONS(CounterIndex)
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_RECORD_OPERATIONS)

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

// Type indices (CounterTables.h): the key, the records in the order of AllRecords, the base, the
// tables in the same order.
constexpr size_t kRecordCount = AllRecords::kCount;
constexpr size_t kTypeCount = 2 + 2 * kRecordCount;
constexpr uint16_t kBaseType = CounterTableBase::kTypeIndex;
constexpr uint16_t recordType(size_t i) {
    return uint16_t(1 + i);
}
constexpr uint16_t tableType(size_t i) {
    return uint16_t(kBaseType + 1 + i);
}

// A name table: the names zero-terminated, back to back, a name equal to the one before it left
// out. Writes it to `out` when given; returns its size.
template <size_t N>
constexpr size_t writeNames(const std::array<std::string_view, N>& names, char* out = nullptr) {
    size_t at = 0;
    for (size_t i = 0; i < N; ++i) {
        if (i > 0 && names[i] == names[i - 1])
            continue;
        if (out != nullptr) {
            std::copy(names[i].begin(), names[i].end(), out + at);
            out[at + names[i].size()] = '\0';
        }
        at += names[i].size() + 1;
    }
    return at;
}
template <const auto& Names>
constexpr auto nameTable() {
    std::array<char, writeNames(Names)> table{};
    writeNames(Names, table.data());
    return table;
}

// The type names by type index, then the two builtin types that constructor arguments name.
constexpr std::string_view kBaseName = "DravoCounters::FlexCounters2::CounterTableBase";
template <class... R>
constexpr std::array<std::string_view, kTypeCount + 2> typeNames(RecordList<R...>) {
    return {CounterIndex::typeName(),    R::typeName()..., kBaseName,
            kTableTypeName<R>.view()..., "Orlo::String",   "U64"};
}
constexpr auto kTypeNameList = typeNames(AllRecords{});
constexpr auto kTypeNames = nameTable<kTypeNameList>();

// The attribute names: the empty name, then the records' and the tables' sorted, then the key's
// own "value".
constexpr std::string_view kFixedAttributeNames[] = {
    "", "counter", "counterControl", "counterIndex", "key", "name", "veskString"};
template <class... R>
constexpr auto attributeNames(RecordList<R...>) {
    std::array<std::string_view,
               std::size(kFixedAttributeNames) + (kRecordFields<R>.size() + ... + 0) + 1>
        names{};
    size_t at = 0;
    for (std::string_view name : kFixedAttributeNames)
        names[at++] = name;
    auto add = [&](const auto& fields) {
        for (const auto& f : fields)
            names[at++] = f.name;
    };
    (add(kRecordFields<R>), ...);
    std::sort(names.begin(), names.end() - 1);
    names.back() = "value";
    return names;
}
constexpr auto kAttributeNameList = attributeNames(AllRecords{});
constexpr auto kAttributeNames = nameTable<kAttributeNameList>();

// The offset of `name` in a name table; a name that is not there stops the build.
template <size_t N>
constexpr uint16_t offsetOf(const std::array<char, N>& table, std::string_view name) {
    for (size_t at = 0; at < N; at += std::string_view(table.data() + at).size() + 1) {
        if (std::string_view(table.data() + at) == name)
            return uint16_t(at);
    }
    throw "name not in the table";
}
template <size_t N>
constexpr void put(std::array<uint8_t, N>& bytes, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// Type references (OrloTypeRef): the types of this module that attributes and parents name,
// sorted by name, then the collection control of the runtime.
constexpr auto localReferences() {
    std::array<uint16_t, kRecordCount + 2> types{};
    for (size_t i = 0; i < kRecordCount; ++i)
        types[i] = recordType(i);
    types[kRecordCount] = 0;
    types[kRecordCount + 1] = kBaseType;
    std::sort(types.begin(), types.end(),
              [](uint16_t a, uint16_t b) { return kTypeNameList[a] < kTypeNameList[b]; });
    return types;
}
constexpr auto kLocalReferences = localReferences();
constexpr auto typeRefs() {
    std::array<Orlo::OrloTypeRef, kRecordCount + 3> refs{};
    for (size_t i = 0; i < kLocalReferences.size(); ++i)
        refs[i] = {0, kLocalReferences[i]};
    refs.back() = {uint32_t(Orlo::ModuleRef::collectionControl), 0};
    return refs;
}
constexpr auto kTypeRefs = typeRefs();
constexpr int16_t refOf(uint16_t type) {
    return int16_t(std::find(kLocalReferences.begin(), kLocalReferences.end(), type) -
                   kLocalReferences.begin());
}
constexpr int16_t kIndexRef = refOf(0), kBaseRef = refOf(kBaseType);
constexpr int16_t kControlRef = int16_t(kTypeRefs.size() - 1);

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
            return kIndexRef;
        case A::collection:
            return a.type;
        default:
            return kControlRef;
    }
}

// The attributes of the types in type order: the key's, each record's (key, counterIndex, its
// fields, veskString), then each table's (counter, counterControl). The base has none.
template <class... R>
constexpr auto attributeEntries(RecordList<R...>) {
    std::array<AttributeEntry, 2 + ((3 + kRecordFields<R>.size()) + ...) + 2 * sizeof...(R)> out{};
    size_t at = 0;
    out[at++] = {2, "value", A::index};
    out[at++] = {3, "veskString", A::veskString};
    auto record = [&](const auto& fields) {
        out[at++] = {2, "key", A::key};
        out[at++] = {3, "counterIndex", A::counterIndex};
        for (const auto& f : fields)
            out[at++] = {uint32_t(kFirstFieldId + (&f - fields.data())), f.name, A::counter};
        out[at++] = {uint32_t(kFirstFieldId + fields.size()), "veskString", A::veskString};
    };
    (record(kRecordFields<R>), ...);
    for (size_t i = 0; i < sizeof...(R); ++i) {
        out[at++] = {258, "counter", A::collection, refOf(recordType(i))};
        out[at++] = {259, "counterControl", A::control};
    }
    return out;
}
constexpr auto kAttributes = attributeEntries(AllRecords{});
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
        put(bytes, at + 12, collection ? kIndexRef : 0xFFFF, 2);
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
    std::string_view name;
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

// The types by type index, each naming its run of attribute records.
template <class... R>
constexpr std::array<TypeEntry, kTypeCount> typeEntries(RecordList<R...>) {
    const uint16_t recordAttributes[] = {uint16_t(3 + kRecordFields<R>.size())...};
    std::array<TypeEntry, kTypeCount> types = {
        TypeEntry{kTypeNameList[0], Orlo::kKindValue, sizeof(CounterIndex), kNoParent, kValueArg, 0,
                  2},
        TypeEntry{R::typeName(), Orlo::kKindValue, sizeof(R), kNoParent, kKeyArg, 0, 0}...,
        TypeEntry{kBaseName, Orlo::kKindEntity, sizeof(CounterTableBase), kRuntimeEntity, kNameArg,
                  0, 0},
        TypeEntry{kTableTypeName<R>.view(), Orlo::kKindEntity,
                  sizeof(typename CounterTableOf<R>::type), uint16_t(kBaseRef), kNameArg, 0, 2}...};
    uint16_t first = 2;
    for (size_t i = 0; i < sizeof...(R); ++i) {
        types[recordType(i)].firstAttribute = first;
        types[recordType(i)].attributeCount = recordAttributes[i];
        first = uint16_t(first + recordAttributes[i]);
    }
    for (size_t i = 0; i < sizeof...(R); ++i, first = uint16_t(first + 2))
        types[tableType(i)].firstAttribute = first;
    return types;
}
constexpr auto kTypes = typeEntries(AllRecords{});
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
template <class... R>
constexpr std::array<Orlo::TypeOps, kTypeCount> typeOps(RecordList<R...>) {
    return {valueOps<CounterIndex>(), valueOps<R>()...,
            // the base: its attributes only
            Orlo::TypeOps{nullptr, nullptr, nullptr, nullptr, baseAttributeOp, nullptr},
            tableOps<typename CounterTableOf<R>::type>()...};
}
constexpr auto kTypeOps = typeOps(AllRecords{});

}  // namespace

constinit const Orlo::OrloModule flexCounters2VeskModule = {
    kTypeRecords.data(),    kAttributeRecords.data(), kCtorArgRecords.data(), kTypeNames.data(),
    kAttributeNames.data(), kTypeRefs.data(),         kTypeOps.data(),        uint32_t(kTypeCount),
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
