// The runtime's reader of module descriptions and its generic access to values and entities.
//
// The records are read where the library keeps them, a field at a time with memcpy (they carry
// no alignment), and decoded on each request: a description is built only when asked for, and
// the checks on the hot paths (isPolymorphic, isDerived, attribute lookup) read the few fields
// they need.
//
// Bounds: a type index is checked against the module's numTypes, and a type reference against
// the types its module number can name. The module does not record how many attribute records,
// constructor-argument records or type references it holds, nor how long its name tables are:
// the reader decodes what the type records name and cannot tell an index or a name offset past
// the end of those tables from a good one.
#include "Orlo/Module.h"

#include "Orlo/Hash.h"
#include "Pimbo/Assert.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace Orlo {

const char collectionControlModule[] = "OrloVesk";

namespace {

static_assert(std::endian::native == std::endian::little,
              "module records are little-endian and read in the host's byte order");

constexpr uint16_t kNoParent = 0xFFFF;
constexpr uint16_t kEntityParent = 0xFFFD;
constexpr uint16_t kNoKeyType = 0xFFFF;
// A type index is 16 bits wide.
constexpr uint32_t kMaxTypes = 0x10000;

// The runtime's own types. They have no records: they have no attributes and no operations.
struct RuntimeType {
    OrloTypeBase type;
    const char* name;
    bool entityParent;  // the runtime's entity type is its parent
};
constexpr OrloTypeBase kEntityType{runtimeModule, 0};
constexpr RuntimeType kRuntimeTypes[] = {
    {kEntityType, "Orlo::Entity", false},
    {{runtimeModule, Directory::kTypeIndex}, "Orlo::Directory", true},
    {{collectionControlModule, 0}, "OrloVesk::CollectionControl", true},
};
// A parent chain leaves its module only for the runtime's types, so a chain that does not loop
// is never longer than this.
constexpr size_t kMaxChain = kMaxTypes + std::size(kRuntimeTypes);

std::vector<const OrloModule*>& modules() {
    static std::vector<const OrloModule*> registered;
    return registered;
}

template <class T>
T read(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

const RuntimeType* runtimeType(const OrloTypeBase& type) {
    for (const RuntimeType& r : kRuntimeTypes) {
        if (r.type == type) {
            return &r;
        }
    }
    return nullptr;
}

// The registered module that holds `type`, or null.
const OrloModule* moduleOf(const OrloTypeBase& type) {
    for (const OrloModule* m : modules()) {
        if (m == type.module && type.typeIndex < m->numTypes) {
            return m;
        }
    }
    return nullptr;
}

struct TypeRecord {
    uint8_t kind;
    uint8_t flags;
    uint16_t nameOffset;
    uint32_t sizeWord;
    uint16_t parent;
    uint16_t ctorArg;
    uint16_t firstAttribute;
    uint16_t attributeCount;
};

// Record `index` of `m`; the caller has checked it against numTypes.
TypeRecord typeRecord(const OrloModule& m, uint32_t index) {
    const uint8_t* p = m.typeRecords + size_t(index) * kTypeRecordSize;
    return TypeRecord{p[0],
                      p[1],
                      read<uint16_t>(p + 2),
                      read<uint32_t>(p + 4),
                      read<uint16_t>(p + 8),
                      read<uint16_t>(p + 10),
                      read<uint16_t>(p + 12),
                      read<uint16_t>(p + 14)};
}

[[noreturn]] void badModule(const OrloModule& m, std::string_view what) {
    throw TypeException(fmt::format("module {}: {}", fmt::ptr(&m), what));
}

// The name at `offset` of one of the module's name tables.
std::string tableName(const OrloModule& m, const char* table, const char* which, uint32_t offset) {
    if (table == nullptr) {
        badModule(m, fmt::format("name offset {} into its {} table, which it does not have", offset,
                                 which));
    }
    return std::string(table + offset);
}
std::string typeNameAt(const OrloModule& m, uint32_t offset) {
    return tableName(m, m.typeNames, "type-name", offset);
}
std::string attributeNameAt(const OrloModule& m, uint32_t offset) {
    return tableName(m, m.attributeNames, "attribute-name", offset);
}

const uint8_t* attributeRecord(const OrloModule& m, uint32_t index) {
    if (m.attributeRecords == nullptr) {
        badModule(m, fmt::format("attribute record {}, but it has no attribute records", index));
    }
    return m.attributeRecords + size_t(index) * kAttributeRecordSize;
}

// The type that entry `ref` of the module's type-reference table names.
OrloTypeBase resolve(const OrloModule& m, uint32_t ref) {
    if (m.typeRefs == nullptr) {
        badModule(m, fmt::format("type reference {}, but it has no type references", ref));
    }
    const OrloTypeRef r = m.typeRefs[ref];
    switch (ModuleRef(r.module)) {
        case ModuleRef::self:
            if (r.typeIndex < std::min(m.numTypes, kMaxTypes)) {
                return OrloTypeBase{&m, uint16_t(r.typeIndex)};
            }
            break;
        case ModuleRef::runtime:
            if (r.typeIndex <= Directory::kTypeIndex) {
                return OrloTypeBase{runtimeModule, uint16_t(r.typeIndex)};
            }
            break;
        case ModuleRef::collectionControl:
            if (r.typeIndex == 0) {
                return OrloTypeBase{collectionControlModule, 0};
            }
            break;
    }
    badModule(m, fmt::format("type reference {} (module {}, type {}) names no type", ref, r.module,
                             r.typeIndex));
}

// The name of a type that `m` resolved: one of its own or one of the runtime's.
std::string resolvedName(const OrloModule& m, const OrloTypeBase& type) {
    if (const RuntimeType* r = runtimeType(type)) {
        return r->name;
    }
    return typeNameAt(m, typeRecord(m, type.typeIndex).nameOffset);
}

std::optional<OrloTypeBase> recordParent(const OrloModule& m, const TypeRecord& record) {
    if (record.parent == kNoParent) {
        return std::nullopt;
    }
    if (record.parent == kEntityParent) {
        return kEntityType;
    }
    return resolve(m, record.parent);
}

// The parent of a type; nothing for a type without one and for a type the runtime does not know.
std::optional<OrloTypeBase> parentOf(const OrloTypeBase& type) {
    if (const RuntimeType* r = runtimeType(type)) {
        return r->entityParent ? std::optional(kEntityType) : std::nullopt;
    }
    if (const OrloModule* m = moduleOf(type)) {
        return recordParent(*m, typeRecord(*m, type.typeIndex));
    }
    return std::nullopt;
}

// The type's registered name, or its address form when no registered module holds it.
std::string nameOf(const OrloTypeBase& type) {
    if (const RuntimeType* r = runtimeType(type)) {
        return r->name;
    }
    const OrloModule* m = moduleOf(type);
    if (m == nullptr || m->typeNames == nullptr) {
        return type.toString();
    }
    return typeNameAt(*m, typeRecord(*m, type.typeIndex).nameOffset);
}

// Calls visit(t) for `type` and then each of its ancestors, until visit returns true; returns
// whether it did.
template <class Visit>
bool walkUp(const OrloTypeBase& type, Visit&& visit) {
    std::optional<OrloTypeBase> t = type;
    for (size_t steps = 0; t; t = parentOf(*t)) {
        if (visit(*t)) {
            return true;
        }
        if (++steps > kMaxChain) {
            throw TypeException(fmt::format("the parents of type {} loop", nameOf(type)));
        }
    }
    return false;
}

// The attribute named `name` of `type` or of its nearest ancestor that has one.
OrloAttr findAttribute(const OrloTypeBase& type, std::string_view name) {
    OrloAttr found;
    walkUp(type, [&](const OrloTypeBase& t) {
        const OrloModule* m = moduleOf(t);
        if (m == nullptr) {
            return false;  // the runtime's types have no attributes
        }
        const TypeRecord record = typeRecord(*m, t.typeIndex);
        for (uint32_t i = 0; i < record.attributeCount; ++i) {
            const uint32_t index = uint32_t(record.firstAttribute) + i;
            if (attributeNameAt(*m, attributeRecord(*m, index)[7]) == name) {
                found = OrloAttr{m, index};
                return true;
            }
        }
        return false;
    });
    if (found.empty()) {
        throw TypeException(fmt::format("type {} has no attribute {}", nameOf(type), name));
    }
    return found;
}

const char* builtinName(int16_t code) {
    switch (code) {
        case kBuiltinU64:
            return "U64";
        case kBuiltinString:
            return "Orlo::String";
        default:
            return nullptr;
    }
}

// Decodes one type of one module (registered or not). A failure names the module and says
// which type and which of its records it was reading.
class TypeDecoder {
  public:
    TypeDecoder(const OrloModule& m, uint32_t index)
        : m_(m), index_(index), where_(fmt::format("type {}", index)) {}

    TypeDescription decode() {
        try {
            return decodeRecords();
        } catch (const TypeException& e) {
            throw TypeException(fmt::format("{} (reading {})", e.msg(), where_));
        }
    }

  private:
    TypeDescription decodeRecords() {
        if (index_ >= std::min(m_.numTypes, kMaxTypes)) {
            badModule(m_, fmt::format("no such type (the module holds {})", m_.numTypes));
        }
        const TypeRecord r = typeRecord(m_, index_);
        if (r.kind != kKindValue && r.kind != kKindEntity) {
            badModule(m_, fmt::format("kind {:#04x} is neither a value nor an entity", r.kind));
        }
        TypeDescription d;
        d.type = OrloTypeBase{&m_, uint16_t(index_)};
        d.kind = r.kind;
        d.flags = r.flags;
        d.name = typeNameAt(m_, r.nameOffset);
        where_ = fmt::format("type {} {}", index_, d.name);
        d.size = (r.sizeWord >> 12) * 4;
        d.parentCode = r.parent;
        d.parent = recordParent(m_, r);
        if (d.parent) {
            d.parentName = resolvedName(m_, *d.parent);
        }
        if (r.ctorArg & 1) {
            const uint8_t* arg = ctorArgRecord(r.ctorArg >> 1);
            d.ctorArgName = attributeNameAt(m_, read<uint16_t>(arg + 8));
            d.ctorArgTypeName = typeNameAt(m_, read<uint16_t>(arg + 10));
        }
        const std::string typeWhere = where_;
        for (uint32_t i = 0; i < r.attributeCount; ++i) {
            const uint32_t index = uint32_t(r.firstAttribute) + i;
            where_ = fmt::format("{}, attribute record {}", typeWhere, index);
            d.attributes.push_back(attribute(index));
        }
        where_ = typeWhere;
        d.ops = m_.typeOps == nullptr ? nullptr : &m_.typeOps[index_];
        return d;
    }

    const uint8_t* ctorArgRecord(uint32_t index) const {
        if (m_.ctorArgRecords == nullptr) {
            badModule(m_, fmt::format("constructor argument {}, but the module has none", index));
        }
        return m_.ctorArgRecords + size_t(index) * kCtorArgRecordSize;
    }

    AttributeDescription attribute(uint32_t index) const {
        const uint8_t* p = attributeRecord(m_, index);
        AttributeDescription a;
        a.recordIndex = index;
        a.id = read<uint32_t>(p);
        std::memcpy(a.flags, p + 4, sizeof a.flags);
        a.name = attributeNameAt(m_, p[7]);
        a.typeCode = read<int16_t>(p + 10);
        if (a.typeCode < 0) {
            const char* builtin = builtinName(a.typeCode);
            if (builtin == nullptr) {
                badModule(m_, fmt::format("attribute {} has the unknown builtin type {}", a.name,
                                          a.typeCode));
            }
            a.typeName = builtin;
        } else {
            a.type = resolve(m_, uint16_t(a.typeCode));
            a.typeName = resolvedName(m_, *a.type);
        }
        if (a.collection()) {
            const uint16_t keyType = read<uint16_t>(p + 12);
            if (keyType == kNoKeyType) {
                badModule(m_, fmt::format("collection {} has no key type", a.name));
            }
            a.keyTypeName = resolvedName(m_, resolve(m_, keyType));
            a.keyAttributeName = attributeNameAt(m_, read<uint32_t>(p + 16));
        }
        return a;
    }

    const OrloModule& m_;
    uint32_t index_;
    std::string where_;  // what decode is reading, for its failures
};

TypeDescription describeRuntimeType(const RuntimeType& r) {
    TypeDescription d;
    d.type = r.type;
    d.kind = kKindEntity;
    d.name = r.name;
    if (r.entityParent) {
        d.parentCode = kEntityParent;
        d.parent = kEntityType;
        d.parentName = runtimeType(kEntityType)->name;
    }
    return d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registration

void orloModuleIs(const OrloModule* module) {
    PIMBO_ASSERT(module != nullptr, "Orlo::Module", "orloModuleIs: a null module");
    std::vector<const OrloModule*>& registered = modules();
    if (std::find(registered.begin(), registered.end(), module) == registered.end()) {
        registered.push_back(module);
    }
}

const std::vector<const OrloModule*>& registeredModules() {
    return modules();
}

// ---------------------------------------------------------------------------------------------
// Descriptions

uint32_t OrloAttrBase::attributeId() const {
    if (empty()) {
        return 0;
    }
    return read<uint32_t>(attributeRecord(*module, index));
}

std::string AttributeDescription::access() const {
    if (callable()) {
        return "call";
    }
    return writable() ? "read, write" : "read";
}

const AttributeDescription* TypeDescription::attribute(std::string_view attributeName) const {
    for (const AttributeDescription& a : attributes) {
        if (a.name == attributeName) {
            return &a;
        }
    }
    return nullptr;
}

OrloAttr TypeDescription::attr(const AttributeDescription& a) const {
    return OrloAttr{static_cast<const OrloModule*>(type.module), a.recordIndex};
}

std::vector<TypeDescription> describeModule(const OrloModule& module) {
    if (module.numTypes > kMaxTypes) {
        badModule(module, fmt::format("{} types, more than a type index can name ({})",
                                      module.numTypes, kMaxTypes));
    }
    std::vector<TypeDescription> types;
    types.reserve(module.numTypes);
    for (uint32_t i = 0; i < module.numTypes; ++i) {
        types.push_back(TypeDecoder(module, i).decode());
    }
    return types;
}

TypeDescription describeType(const OrloTypeBase& type) {
    if (const RuntimeType* r = runtimeType(type)) {
        return describeRuntimeType(*r);
    }
    if (const OrloModule* m = moduleOf(type)) {
        return TypeDecoder(*m, type.typeIndex).decode();
    }
    throw TypeException(
        fmt::format("type {} is not one of a registered module's types", type.toString()));
}

std::optional<OrloTypeBase> typeNamed(std::string_view name) {
    for (const RuntimeType& r : kRuntimeTypes) {
        if (name == r.name) {
            return r.type;
        }
    }
    for (const OrloModule* m : modules()) {
        for (uint32_t i = 0; i < std::min(m->numTypes, kMaxTypes); ++i) {
            if (typeNameAt(*m, typeRecord(*m, i).nameOffset) == name) {
                return OrloTypeBase{m, uint16_t(i)};
            }
        }
    }
    return std::nullopt;
}

bool OrloTypeBase::isDerived(const OrloTypeBase& base) const {
    return walkUp(*this, [&](const OrloTypeBase& t) { return t == base; });
}

bool OrloTypeBase::isPolymorphic() const {
    if (runtimeType(*this) != nullptr) {
        return true;  // the runtime's own types are entities
    }
    if (const OrloModule* m = moduleOf(*this)) {
        return typeRecord(*m, typeIndex).kind == kKindEntity;
    }
    throw TypeException(
        fmt::format("type {} is not one of a registered module's types", toString()));
}

// ---------------------------------------------------------------------------------------------
// Generic access

void GenericIfImpl::throwTypeException(const OrloTypeBase& type) {
    throw TypeException(fmt::format("type {} is not usable here", nameOf(type)));
}

void GenericIfImpl::throwUnhashableException(const OrloTypeBase& type) {
    throw UnhashableException(fmt::format("type {} is not hashable", nameOf(type)));
}

void throwNewEntityArgsException(const OrloTypeBase& type) {
    throw NewEntityArgsException(
        fmt::format("type {}: a new entity takes no constructor arguments", nameOf(type)));
}

const TypeOps& typeOps(const OrloTypeBase& type) {
    const OrloModule* m = moduleOf(type);
    if (m == nullptr || m->typeOps == nullptr) {
        throw TypeException(fmt::format("type {} has no operations", nameOf(type)));
    }
    return m->typeOps[type.typeIndex];
}

void constructFromCtorArgs(const OrloTypeBase& type, void* dst, const void* argument) {
    const TypeOps& ops = typeOps(type);
    if (ops.genericIfConstructFromCtorArgs == nullptr) {
        throw TypeException(
            fmt::format("type {} cannot be constructed from an argument", nameOf(type)));
    }
    const void* const args[] = {argument};
    ops.genericIfConstructFromCtorArgs(dst, args);
}

Ptr<Entity> newEntity(const OrloTypeBase& type, const String& name) {
    const TypeOps& ops = typeOps(type);
    if (ops.newEntityForDir == nullptr) {
        throw TypeException(
            fmt::format("type {} cannot make a new entity (asked for {})", nameOf(type), name));
    }
    return ops.newEntityForDir(name, nullptr);
}

int attributeOp(const OrloTypeBase& type, std::string_view name, uint32_t op, void* result, void* p,
                const void* other, const void* input) {
    const OrloAttr attr = findAttribute(type, name);
    const TypeOps& ops = typeOps(type);
    if (ops.genericIfAttributeOp == nullptr) {
        throw TypeException(fmt::format("type {} has no attribute operation (for attribute {})",
                                        nameOf(type), name));
    }
    return ops.genericIfAttributeOp(result, p, attr, op, other, input);
}

GenericIterator::GenericIterator(const OrloTypeBase& type, std::string_view name, Entity* p)
    : attr_(findAttribute(type, name)) {
    const TypeOps& ops = typeOps(type);
    if (ops.genericIfIterator != nullptr) {
        iterator_ = ops.genericIfIterator(p, attr_, &ops_);
    }
    if (iterator_ == nullptr) {
        throw TypeException(
            fmt::format("attribute {} of type {} is not a collection", name, nameOf(type)));
    }
    PIMBO_ASSERT(ops_ != nullptr, "Orlo::GenericIterator",
                 "the iterator over {} of type {} came without its operations", name, nameOf(type));
}

GenericIterator::~GenericIterator() {
    ops_->iterDel(attr_, iterator_);
}

bool GenericIterator::valid() const {
    return ops_->iterNonnull(attr_, iterator_);
}
void GenericIterator::next() {
    ops_->iterInc(attr_, iterator_);
}
void GenericIterator::element(void* out) const {
    ops_->iterObj(attr_, iterator_, out);
}
void GenericIterator::key(void* out) const {
    ops_->iterKey(attr_, iterator_, out);
}

// t is the type the pointer has, type the one it is converted to.
void* GenericIfImpl::voidPtrIs(void* p, const OrloTypeBase& t, const OrloTypeBase& type) {
    if (t == type) {
        return p;
    }
    if (!t.isDerived(type) && !type.isDerived(t)) {
        throwTypeException(t);
    }
    if (t.isPolymorphic() == type.isPolymorphic()) {
        return p;
    }
    // Only a value type converted to an entity type is left: one pointer further.
    PIMBO_ASSERT(type.isPolymorphic(), "GenericIfImpl",
                 "type.isPolymorphic(): a pointer from entity type {} to value type {}", nameOf(t),
                 nameOf(type));
    PIMBO_ASSERT(!t.isPolymorphic(), "GenericIfImpl",
                 "!t.isPolymorphic(): a pointer from entity type {} to entity type {}", nameOf(t),
                 nameOf(type));
    return static_cast<char*>(p) + sizeof(void*);
}

// ---------------------------------------------------------------------------------------------
// The value methods of entity types

namespace {

using EntityPtr = Ptr<Entity>;

void entityConstruct(void* dst, const void* src) {
    if (src == nullptr) {
        new (dst) EntityPtr();
    } else {
        new (dst) EntityPtr(*static_cast<const EntityPtr*>(src));
    }
}

void entityDestruct(void* p) {
    static_cast<EntityPtr*>(p)->~EntityPtr();
}

void entityStrepToValue(void*, const String& text, const OrloTypeBase& type) {
    throw TypeException(
        fmt::format("type {}: an entity cannot be made from text (\"{}\")", nameOf(type), text));
}

String entityStrRep(const void* p, const OrloTypeBase&) {
    const EntityPtr& entity = *static_cast<const EntityPtr*>(p);
    return entity ? entity->name() : String();
}

uint32_t entityHash(const void* p, const OrloTypeBase&) {
    return hashSingleAttr(0, reinterpret_cast<uintptr_t>(static_cast<const EntityPtr*>(p)->get()));
}

}  // namespace

constinit const GenericIfMethods GenericIfImpl::GenericIfPtrInterfaceMethods<Entity>::kMethods = {
    entityConstruct, entityDestruct, entityStrepToValue,
    entityStrRep,    entityHash,     GenericIfImpl::voidPtrIs};

}  // namespace Orlo
