// Module descriptions: how a library describes its types to the runtime, and the runtime's
// generic access to values and entities of types it was not compiled against.
//
// A module is a set of byte records (little-endian) plus one operation record per type; the
// library registers it once, at load time, with orloModuleIs. The runtime decodes the records
// itself (describeModule) and reaches values and entities only through the operations:
//   type record, 16 bytes       kind u8 (0x01 value, 0x40 entity), flags u8, name offset u16
//                               (type-name table), size word u32 (bits 12 and up: size in
//                               4-byte words; bit 8 set), parent u16 (0xFFFF none, 0xFFFD the
//                               runtime's entity type, else a type reference), constructor
//                               argument u16 (bit 0 set: one argument, whose record index is
//                               bits 1 and up), first attribute record u16, attribute count u16
//   attribute record, 20 bytes  identifier u32, three flag bytes, name offset u8 (attribute-name
//                               table), u16 zero, type i16 (negative: builtin, -11 "U64", -18
//                               "Orlo::String"; else a type reference), key-type reference u16
//                               (0xFFFF unless a collection), u16 zero, key-name offset u32
//                               (attribute-name table; 0 unless a collection)
//   constructor argument, 12 B  eight zero bytes, name offset u16 (attribute-name table), type
//                               name offset u16 (type-name table)
//   type reference, 8 bytes     OrloTypeRef: module number u32 (ModuleRef), type index u32
// Flag bytes of an attribute: byte 0 bit 0 a collection, bit 4 a call (method), bit 5 a single
// reference; byte 1 bit 2 stored, bit 3 readable, bit 4 writable, bit 5 fixed once the value
// exists (a key), bit 6 an attribute of an entity; byte 2 bit 0 part of the value's state.
//
// Operation status of genericIfAttributeOp: 0 done, 1 the operation does not apply to the
// attribute, 2 the attribute is not one of the type's.
//
// Threads: registration runs during static initialisation; everything else only reads the
// registered modules and may run on any thread.
#pragma once

#include "Orlo/Entity.h"
#include "Orlo/Exception.h"
#include "Orlo/Ptr.h"
#include "Orlo/String.h"
#include "Orlo/Text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Orlo {

struct OrloModule;

// An attribute of a module's type: the module and the index of its attribute record. The
// default (no module) stands for the value as a whole.
struct OrloAttrBase {
    const OrloModule* module = nullptr;
    uint32_t index = 0;

    bool empty() const { return module == nullptr; }
    // The record's 32-bit identifier (0 for the value as a whole).
    uint32_t attributeId() const;
};
using OrloAttr = OrloAttrBase;

// Sizes of the byte records (see the top of this file).
inline constexpr size_t kTypeRecordSize = 16;
inline constexpr size_t kAttributeRecordSize = 20;
inline constexpr size_t kCtorArgRecordSize = 12;

// Module numbers of a type reference.
enum class ModuleRef : uint32_t {
    self = 0,               // the module that holds the reference
    runtime = 1,            // the runtime's own types: 0 the entity, 1 the directory
    collectionControl = 2,  // the collection control's module: 0 OrloVesk::CollectionControl
};
// Identity of the collection control's module (OrloTypeBase::module of its type).
extern const char collectionControlModule[];
struct OrloTypeRef {
    uint32_t module;
    uint32_t typeIndex;
};
static_assert(sizeof(OrloTypeRef) == 8);

// The value methods of a type, in this order. `p` points at a value of the type (for an entity
// type: at an Orlo::Ptr<Orlo::Entity>).
struct GenericIfMethods {
    // Constructs at dst a copy of the value at src, or the default value when src is null.
    void (*genericIfConstruct)(void* dst, const void* src);
    void (*genericIfDestruct)(void* p);
    // Constructs at dst the value parsed from the whole text; parse errors propagate.
    void (*genericIfStrepToValue)(void* dst, const String& text, const OrloTypeBase& type);
    String (*genericIfStrRep)(const void* p, const OrloTypeBase& type);
    uint32_t (*genericIfHash)(const void* p, const OrloTypeBase& type);
    // Converts a pointer to a value of `from` into one to the same value as a `to`.
    void* (*genericIfVoidPtrIs)(void* p, const OrloTypeBase& from, const OrloTypeBase& to);
};

// The operations on an iterator made by genericIfIterator, in this order.
struct IteratorOps {
    void (*iterObj)(const OrloAttr& attr, void* iterator, void* out);  // copies the element
    void (*iterKey)(const OrloAttr& attr, void* iterator, void* out);  // copies its key
    bool (*iterNonnull)(const OrloAttr& attr, void* iterator);         // on an element?
    void (*iterInc)(const OrloAttr& attr, void* iterator);             // to the next one
    void (*iterDel)(const OrloAttr& attr, void* iterator);             // deletes (null: nothing)
};

// The six operations of one type, in this order; the ones a type does not have are null.
struct TypeOps {
    // A new entity named `name`; args must be null.
    Ptr<Entity> (*newEntityForDir)(const String& name, const void* const* args);
    const void* reserved;
    const GenericIfMethods* methods;
    // Constructs at dst (a value, or an Orlo::Ptr<Orlo::Entity> for an entity type) from the
    // constructor arguments, an array of pointers.
    void (*genericIfConstructFromCtorArgs)(void* dst, const void* const* args);
    // One operation `op` on one attribute of the value or entity at p (an entity type gets
    // the Orlo::Entity* itself), or on the value as a whole when attr is empty. Returns the
    // operation status (see the top of this file).
    int (*genericIfAttributeOp)(void* result, void* p, const OrloAttr& attr, uint32_t op,
                                const void* other, const void* input);
    // A new iterator over the collection attribute `attr` of the entity at p, with *ops set to
    // its operations; null (ops untouched) when attr is not a collection of the type.
    void* (*genericIfIterator)(void* p, const OrloAttr& attr, const IteratorOps** ops);
};
static_assert(sizeof(TypeOps) == 6 * sizeof(void*));

// A module description, registered once with orloModuleIs.
struct OrloModule {
    const uint8_t* typeRecords;       // numTypes records of 16 bytes
    const uint8_t* attributeRecords;  // 20 bytes each
    const uint8_t* ctorArgRecords;    // 12 bytes each
    const char* typeNames;            // zero-terminated names, back to back
    const char* attributeNames;       // zero-terminated names, back to back
    const OrloTypeRef* typeRefs;
    const TypeOps* typeOps;  // numTypes records
    uint32_t numTypes;
};

// Records `module` once (a second call with the same module does nothing).
void orloModuleIs(const OrloModule* module);
// The registered modules in registration order.
const std::vector<const OrloModule*>& registeredModules();

// ----- the decoded description ----------------------------------------------------------------

inline constexpr uint8_t kKindValue = 0x01;
inline constexpr uint8_t kKindEntity = 0x40;
inline constexpr int16_t kBuiltinU64 = -11;
inline constexpr int16_t kBuiltinString = -18;

struct AttributeDescription {
    uint32_t recordIndex = 0;  // in the module's attribute records
    uint32_t id = 0;
    uint8_t flags[3] = {};
    std::string name;
    int16_t typeCode = 0;              // as recorded: negative builtin or a type reference
    std::string typeName;              // "U64", "Orlo::String" or the referenced type's name
    std::optional<OrloTypeBase> type;  // the referenced type, when not builtin
    std::string keyTypeName;           // collections only
    std::string keyAttributeName;      // collections only

    bool collection() const { return (flags[0] & 0x01) != 0; }
    bool callable() const { return (flags[0] & 0x10) != 0; }
    bool reference() const { return (flags[0] & 0x20) != 0; }
    bool stored() const { return (flags[1] & 0x04) != 0; }
    bool readable() const { return (flags[1] & 0x08) != 0; }
    bool writable() const { return (flags[1] & 0x10) != 0; }
    bool fixed() const { return (flags[1] & 0x20) != 0; }  // a key
    bool state() const { return (flags[2] & 0x01) != 0; }
    // "read", "read, write" or "call"
    std::string access() const;
};

struct TypeDescription {
    OrloTypeBase type;
    uint8_t kind = 0;
    uint8_t flags = 0;
    std::string name;
    uint32_t size = 0;                   // bytes
    uint16_t parentCode = 0xFFFF;        // as recorded
    std::optional<OrloTypeBase> parent;  // none for 0xFFFF
    std::string parentName;              // "" for none
    std::string ctorArgName;             // "" without a constructor argument
    std::string ctorArgTypeName;
    std::vector<AttributeDescription> attributes;
    const TypeOps* ops = nullptr;

    bool polymorphic() const { return kind == kKindEntity; }
    // The attribute named `name` (this type's own), or null.
    const AttributeDescription* attribute(std::string_view name) const;
    OrloAttr attr(const AttributeDescription& a) const;
};

// Decodes every type of `module`. Throws TypeException when a record names something outside
// the module's tables.
std::vector<TypeDescription> describeModule(const OrloModule& module);
// The description of a type of a registered module, or of the runtime's own types (entity,
// directory, collection control: no attributes, no operations). Throws TypeException for an
// unknown type.
TypeDescription describeType(const OrloTypeBase& type);
// The registered type of that name, or nothing.
std::optional<OrloTypeBase> typeNamed(std::string_view name);

// ----- generic access ---------------------------------------------------------------------------

// The runtime's exceptions for generic access; each names the type.
class NewEntityArgsException : public Exception {
  public:
    using Exception::Exception;
};
namespace GenericIfImpl {
[[noreturn]] void throwTypeException(const OrloTypeBase& type);
[[noreturn]] void throwUnhashableException(const OrloTypeBase& type);
}  // namespace GenericIfImpl
[[noreturn]] void throwNewEntityArgsException(const OrloTypeBase& type);

// The value or entity operations of a registered type; throws TypeException naming the type
// when it has none.
const TypeOps& typeOps(const OrloTypeBase& type);
// Constructs at dst from one constructor argument.
void constructFromCtorArgs(const OrloTypeBase& type, void* dst, const void* argument);
// A new entity of an entity type, through its newEntityForDir.
Ptr<Entity> newEntity(const OrloTypeBase& type, const String& name);
// Runs `op` on the attribute named `name` of the value or entity at p; returns the status.
// Throws TypeException naming the type and the attribute when the type has no such attribute.
int attributeOp(const OrloTypeBase& type, std::string_view name, uint32_t op, void* result, void* p,
                const void* other = nullptr, const void* input = nullptr);

// A collection attribute walked through its iterator operations; deletes the iterator.
class GenericIterator {
  public:
    // Over attribute `name` of the entity at p; throws TypeException when it is not one of the
    // type's collections.
    GenericIterator(const OrloTypeBase& type, std::string_view name, Entity* p);
    GenericIterator(const GenericIterator&) = delete;
    GenericIterator& operator=(const GenericIterator&) = delete;
    ~GenericIterator();

    bool valid() const;
    void next();
    void element(void* out) const;
    void key(void* out) const;

  private:
    OrloAttr attr_;
    const IteratorOps* ops_ = nullptr;
    void* iterator_ = nullptr;
};

namespace GenericIfImpl {

// Pointer conversion between two types of the runtime: the same pointer for one type or for
// two types of the same kind; one pointer further when only the target is polymorphic.
void* voidPtrIs(void* p, const OrloTypeBase& from, const OrloTypeBase& to);

// The value methods of a value type T, written once. T needs a default constructor, a copy
// constructor, valueToStrep(const T&) and a parsing constructor T(it, end); a T with a key hash
// declares `uint32_t orloHash(const T&)` beside it, any other T is unhashable.
template <class T>
struct GenericIfValueMethods {
    static void genericIfConstruct(void* dst, const void* src) {
        if (src == nullptr)
            new (dst) T{};
        else
            new (dst) T(*static_cast<const T*>(src));
    }
    static void genericIfDestruct(void* p) { static_cast<T*>(p)->~T(); }
    static void genericIfStrepToValue(void* dst, const String& text, const OrloTypeBase&) {
        new (dst) T(strepToValue(text, static_cast<T*>(nullptr)));
    }
    static String genericIfStrRep(const void* p, const OrloTypeBase&) {
        return valueToStrep(*static_cast<const T*>(p));
    }
    static uint32_t genericIfHash(const void* p, const OrloTypeBase& type) {
        if constexpr (requires(const T& v) { orloHash(v); })
            return orloHash(*static_cast<const T*>(p));
        else
            throwUnhashableException(type);
    }
    static void* genericIfVoidPtrIs(void* p, const OrloTypeBase& from, const OrloTypeBase& to) {
        return voidPtrIs(p, from, to);
    }
    static constexpr GenericIfMethods kMethods = {genericIfConstruct,    genericIfDestruct,
                                                  genericIfStrepToValue, genericIfStrRep,
                                                  genericIfHash,         genericIfVoidPtrIs};
};

// The methods of an entity type: the value is an Orlo::Ptr<Orlo::Entity>; the strep is the
// entity's name; entities hash by identity.
template <class T>
struct GenericIfPtrInterfaceMethods;
template <>
struct GenericIfPtrInterfaceMethods<Entity> {
    static const GenericIfMethods kMethods;
};

}  // namespace GenericIfImpl

// The operations of a type, a template the describing library specialises.
template <class T>
struct TypeImpl;

}  // namespace Orlo
