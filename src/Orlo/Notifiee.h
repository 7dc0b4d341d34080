// Attribute notification: observers (notifiees) of an entity and the list that tells them.
//
// An entity keeps one NotifieeList. Observers of its attributes are Notifiees; each change of
// an attribute is one visit(attributeId, key) of the list, which calls onAttribute on every
// member that observes attributes. A NotifieeConst is the other kind of member: it does not
// observe attributes but hears, through onZeroReferences, that the entity's last reference went
// (see Orlo::Entity).
//
// Who may call what: a list belongs to its entity's owning thread. Members are reference
// counted (a list holds one reference per member).
//
// Invariants:
//   1. A visit tells the members present when it started, in the order they were added, and
//      never a member removed before its turn came. Members added during a visit are not told
//      of that visit's change.
//   2. A member may add or remove members (itself included) from inside its callback, and a
//      visit may start from inside another visit. Removal during a visit only clears the
//      member's place; places are compacted when the outermost visit ends, so indexes stay
//      valid while any visit runs.
//   3. A member being called holds a reference taken by the visit, so removing it from inside
//      its own callback does not destroy it under the caller.
//   4. empty() counts members that observe attributes only: a list that holds nothing but a
//      zero-references notifiee is empty for the purpose of "does anybody listen".
#pragma once

#include "Orlo/Ptr.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Orlo {

class Notifiee : public PtrInterface {
  public:
    // An attribute of the observed entity changed; key names the changed member of a
    // collection attribute and is null for a plain attribute.
    virtual void onAttribute(uint32_t attributeId, const void* key);
    // Whether this member wants onAttribute calls (and counts for NotifieeList::empty).
    virtual bool observesAttributes() const { return true; }
};

// A member that hears about the entity's last reference going instead of its attributes. An
// entity whose reference count drops to zero (with notification active) calls
// onZeroReferences of each such member; a member that takes a new reference to the entity
// keeps it alive.
class NotifieeConst : public Notifiee {
  public:
    virtual void onZeroReferences() {}
    bool observesAttributes() const override { return false; }
};

class NotifieeList {
  public:
    NotifieeList() = default;
    ~NotifieeList();
    NotifieeList(const NotifieeList&) = delete;
    NotifieeList& operator=(const NotifieeList&) = delete;

    // Adds a member on behalf of `owner` (the object the member was registered for, normally
    // the entity that holds this list). A null notifiee is ignored. The same notifiee may be
    // added more than once; it is then told once per membership.
    void newMember(const void* owner, const Ptr<Notifiee>& notifiee);
    // Removes one membership of `notifiee` registered by `owner`; returns false when there is
    // none. A membership of that notifiee registered by another owner is a programming error
    // and stops the process.
    bool deleteMember(const void* owner, const Notifiee* notifiee);
    // Removes every member.
    void deleteAll();

    // Tells every member that observes attributes that attribute `attributeId` changed, with
    // the changed key (or none).
    void visit(uint32_t attributeId, const void* key);
    void visit(uint32_t attributeId) { visit(attributeId, nullptr); }
    // Calls onZeroReferences of every NotifieeConst member (same rules as visit).
    void visitZeroReferences();

    // No member observes attributes.
    bool empty() const { return observers_ == 0; }
    // Number of members, of both kinds.
    size_t size() const { return live_; }

  private:
    struct Member {
        const void* owner;
        Ptr<Notifiee> notifiee;
        bool observes;
    };
    class VisitGuard;

    // Calls `call` on each member present now whose kind (observer or not) is `observers`.
    template <class F>
    void forEach(F&& call, bool observers);
    void forget(Member& m);
    void compact();

    std::vector<Member> members_;
    size_t live_ = 0;
    size_t observers_ = 0;
    unsigned visiting_ = 0;  // depth of visits in progress
    bool holes_ = false;     // places were cleared during a visit
};

// A reference that designates one entity's notifiee list (what Entity::notifieeList() gives),
// for the calls that edit the list from outside the entity.
class NotifieeListPtr {
  public:
    NotifieeListPtr(NotifieeList& list) : list_(&list) {}

    NotifieeList* operator->() const { return list_; }
    NotifieeList& operator*() const { return *list_; }

    // Removes one membership of `notifiee` registered by `owner`; false when there is none.
    bool deleteMember(const void* owner, const Notifiee* notifiee) const {
        return list_->deleteMember(owner, notifiee);
    }

  private:
    NotifieeList* list_;
};

}  // namespace Orlo
