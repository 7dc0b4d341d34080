// Entities: the reference-counted objects of the runtime's entity tree, and the directory entity
// that makes the tree.
//
// Who may call what: an entity, its parent link and its notifiee list belong to the thread that
// owns the entity tree. Only the reference counts may be touched from other threads (see
// Orlo/Ptr.h).
//
// Invariants:
//   1. parentIs stores the new parent before it calls handleParent, so handleParent (and
//      everything it calls) sees the entity's new place in the tree.
//   2. When the last reference goes and notification is active, every NotifieeConst of the
//      entity's notifiee list hears onZeroReferences. The entity is deleted afterwards unless
//      one of them left it with a reference. A notifiee may take and drop temporary references
//      meanwhile: the count touching zero again inside that pass neither re-runs the pass nor
//      deletes the entity early; the pass decides once it is over.
//   3. A child holds a reference to its parent and a directory holds one to each child, so a
//      directory lives at least as long as it has children: entityDel and entityDelAll break
//      the links.
//   4. A directory never contains itself, directly or further down.
#pragma once

#include "Orlo/Exception.h"
#include "Orlo/Notifiee.h"
#include "Orlo/Ptr.h"
#include "Orlo/String.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Orlo {

// The type of an entity or value: the module that describes it (an Orlo::OrloModule, or
// runtimeModule for the runtime's own types) and its index in that module.
struct OrloTypeBase {
    const void* module = nullptr;
    uint16_t typeIndex = 0;

    friend bool operator==(const OrloTypeBase&, const OrloTypeBase&) = default;
    // "module:{address} type:{index}"
    std::string toString() const;
    // This type is `base` or derives from it, following the parents of the registered
    // descriptions (Orlo/Module.h).
    bool isDerived(const OrloTypeBase& base) const;
    // Entity types are polymorphic, value types are not (the kind of the type record).
    bool isPolymorphic() const;
};
using OrloType = OrloTypeBase;

// The runtime's own module: the types it defines itself (0 the entity, 1 the directory).
extern const char runtimeModule[];

// A directory refused a child (a name already taken, a null or unnamed entity, a loop).
class DirectoryException : public Exception {
  public:
    using Exception::Exception;
};

class Entity : public PtrInterface {
  public:
    Entity() = default;
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;
    ~Entity() override;

    virtual String name() const = 0;
    virtual OrloType fwkType() const = 0;
    // The observers of this entity's attributes (and its zero-references notifiees).
    virtual NotifieeList& notifieeList() = 0;

    Ptr<Entity> parent() const { return parent_; }
    // The full path in the tree: "/" followed by the names from the root down to this entity,
    // separated by "/" (a table T in directory "ports" under the root "sys" is "/sys/ports/T").
    // An unnamed root contributes nothing ("/ports/T"). A parent chain that loops stops the
    // process.
    String path() const;
    // Stores the new parent (an empty Ptr clears it), then calls handleParent with it.
    void parentIs(const Ptr<Entity>& parent);
    // Told each time parentIs ran, with the parent now stored. Default: nothing.
    virtual void handleParent(const Ptr<Entity>& parent);

    // The last reference went (true) while notification is active: tells the notifiee list's
    // NotifieeConst members (invariant 2).
    void zeroReferencesIs(bool zero) override;

  protected:
    void handleZeroRef() override;

  private:
    Ptr<Entity> parent_;
    bool inZeroReferences_ = false;
};

// A named entity holding other entities by name. A directory without a parent is a root.
class Directory : public Entity {
  public:
    static constexpr uint16_t kTypeIndex = 1;

    // A new directory named `name`, held by the returned reference.
    static Ptr<Directory> DirectoryIs(const String& name);

    String name() const override { return name_; }
    OrloType fwkType() const override { return OrloType{runtimeModule, kTypeIndex}; }
    NotifieeList& notifieeList() override { return notifieeList_; }

    // Makes `child` an entry of this directory under its name and sets its parent to this
    // directory; a child of another directory leaves that one first. Adding a child that is
    // already here does nothing. Throws DirectoryException for a null or unnamed child, a name
    // held by another entity, and a directory that would end up inside itself. An exception
    // from the child's handleParent passes on with the child entered here.
    void entityIs(const Ptr<Entity>& child);
    // Removes the child of that name: it leaves the directory, its parent is cleared (its
    // handleParent hears an empty parent) and the directory's reference is dropped. Returns
    // the child (an empty Ptr when there is none).
    Ptr<Entity> entityDel(const String& name);
    // entityDel of every child.
    void entityDelAll();

    // The child of that name, or an empty Ptr.
    Ptr<Entity> entity(const String& name) const;
    size_t entities() const { return children_.size(); }
    // Names of the children, in order.
    std::vector<String> entityNames() const;

  protected:
    explicit Directory(String name) : name_(std::move(name)) {}

  private:
    String name_;
    NotifieeList notifieeList_;
    std::map<String, Ptr<Entity>> children_;
};

}  // namespace Orlo
