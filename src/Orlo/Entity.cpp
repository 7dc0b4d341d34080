#include "Orlo/Entity.h"

#include "Pimbo/Assert.h"

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Orlo {

const char runtimeModule[] = "Orlo";

std::string OrloType::toString() const {
    return fmt::format("module:{} type:{}", fmt::ptr(module), typeIndex);
}

// ---------------------------------------------------------------------------------------------
// Entity

Entity::~Entity() = default;

void Entity::parentIs(const Ptr<Entity>& parent) {
    parent_ = parent;
    // A copy: handleParent may change the parent again.
    const Ptr<Entity> now = parent_;
    handleParent(now);
}

void Entity::handleParent(const Ptr<Entity>&) {}

void Entity::zeroReferencesIs(bool zero) {
    if (zero) {
        notifieeList().visitZeroReferences();
    }
}

void Entity::handleZeroRef() {
    if (inZeroReferences_) {
        // A zero-references notifiee took a temporary reference and dropped it again: the pass
        // that is running decides whether the entity lives on.
        return;
    }
    if (hasNotificationActive()) {
        inZeroReferences_ = true;
        zeroReferencesIs(true);
        inZeroReferences_ = false;
        if (references() != 0) {
            return;  // a notifiee keeps the entity
        }
    }
    delete this;
}

// ---------------------------------------------------------------------------------------------
// Directory

Ptr<Directory> Directory::DirectoryIs(const String& name) {
    return Ptr<Directory>(new Directory(name));
}

void Directory::entityIs(const Ptr<Entity>& child) {
    if (!child) {
        throw DirectoryException(fmt::format("directory {}: cannot add a null entity", path()));
    }
    const String childName = child->name();
    if (childName.empty()) {
        throw DirectoryException(fmt::format("directory {}: cannot add an unnamed entity", path()));
    }
    auto it = children_.find(childName);
    if (it != children_.end()) {
        if (it->second == child) {
            return;
        }
        throw DirectoryException(
            fmt::format("directory {} already holds an entity named {}", path(), childName));
    }
    for (const Entity* e = this; e != nullptr; e = e->parent().get()) {
        if (e == child.get()) {
            throw DirectoryException(fmt::format("cannot put {} into {}: it would contain itself",
                                                 child->path(), path()));
        }
    }
    // A child of another directory leaves it first, so no directory lists a child whose parent
    // is elsewhere.
    if (Ptr<Entity> old = child->parent(); old && old.get() != this) {
        if (auto* oldDir = dynamic_cast<Directory*>(old.get())) {
            auto o = oldDir->children_.find(childName);
            if (o != oldDir->children_.end() && o->second == child) {
                oldDir->children_.erase(o);
            }
        }
    }
    children_.emplace(childName, child);
    child->parentIs(Ptr<Entity>(this));
}

Ptr<Entity> Directory::entityDel(const String& name) {
    auto it = children_.find(name);
    if (it == children_.end()) {
        return Ptr<Entity>();
    }
    Ptr<Entity> child = std::move(it->second);
    children_.erase(it);
    if (child->parent().get() == this) {
        child->parentIs(Ptr<Entity>());
    }
    return child;
}

void Directory::entityDelAll() {
    while (!children_.empty()) {
        const String name = children_.begin()->first;  // a copy: entityDel erases the key
        entityDel(name);
    }
}

Ptr<Entity> Directory::entity(const String& name) const {
    auto it = children_.find(name);
    return it == children_.end() ? Ptr<Entity>() : it->second;
}

std::vector<String> Directory::entityNames() const {
    std::vector<String> names;
    names.reserve(children_.size());
    for (const auto& [name, child] : children_) {
        names.push_back(name);
    }
    return names;
}

namespace {
// Deeper than any real tree; reached only through a parent chain that loops.
constexpr size_t kMaxDepth = 4096;
}  // namespace

String Entity::path() const {
    std::vector<String> names;
    names.push_back(name());
    for (Ptr<Entity> p = parent(); p; p = p->parent()) {
        PIMBO_ASSERT(names.size() < kMaxDepth, "Orlo::Entity",
                     "the parent chain of entity {} is more than {} levels deep; it loops "
                     "(an entity was made the parent of one of its ancestors)",
                     name(), kMaxDepth);
        names.push_back(p->name());
    }
    // Root first; an unnamed root contributes nothing.
    std::vector<std::string_view> parts;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!(it->empty() && it == names.rbegin())) {
            parts.emplace_back(it->str());
        }
    }
    std::string path = fmt::format("/{}", fmt::join(parts, "/"));
    return String(std::move(path));
}

}  // namespace Orlo
