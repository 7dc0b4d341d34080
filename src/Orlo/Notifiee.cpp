#include "Orlo/Notifiee.h"

#include "Orlo/Text.h"
#include "Pimbo/Assert.h"

#include <algorithm>
#include <typeinfo>

namespace Orlo {

void Notifiee::onAttribute(uint32_t, const void*) {}

// Marks a visit in progress for as long as it lives, and compacts the list when the outermost
// visit ends (also when a callback throws).
class NotifieeList::VisitGuard {
  public:
    explicit VisitGuard(NotifieeList& list) : list_(list) { ++list_.visiting_; }
    ~VisitGuard() {
        if (--list_.visiting_ == 0 && list_.holes_) {
            list_.compact();
        }
    }
    VisitGuard(const VisitGuard&) = delete;
    VisitGuard& operator=(const VisitGuard&) = delete;

  private:
    NotifieeList& list_;
};

NotifieeList::~NotifieeList() {
    PIMBO_ASSERT(visiting_ == 0, "NotifieeList",
                 "notifiee list destroyed during a visit ({} visits in progress, {} members); "
                 "the entity that owns it was released from inside one of its own "
                 "notifications",
                 visiting_, live_);
}

void NotifieeList::newMember(const void* owner, const Ptr<Notifiee>& notifiee) {
    if (!notifiee) {
        return;
    }
    const bool observes = notifiee->observesAttributes();
    members_.push_back(Member{owner, notifiee, observes});
    ++live_;
    if (observes) {
        ++observers_;
    }
}

void NotifieeList::forget(Member& m) {
    --live_;
    if (m.observes) {
        --observers_;
    }
    // The caller keeps a reference until the list is consistent again: the notifiee's
    // destructor may edit this list.
    m.notifiee.reset();
    m.owner = nullptr;
}

bool NotifieeList::deleteMember(const void* owner, const Notifiee* notifiee) {
    for (size_t i = 0; i < members_.size(); ++i) {
        Member& m = members_[i];
        if (m.notifiee.get() != notifiee || notifiee == nullptr) {
            continue;
        }
        PIMBO_ASSERT(m.owner == owner, "NotifieeList",
                     "deleteMember of a {} at {} by owner {}, but it was registered by owner {}",
                     demangleStdString(typeid(*notifiee).name()),
                     static_cast<const void*>(notifiee), owner, m.owner);
        Ptr<Notifiee> keep = m.notifiee;  // released after the list is consistent again
        forget(m);
        if (visiting_ > 0) {
            holes_ = true;  // a visit indexes into members_: keep the places until it ends
        } else {
            members_.erase(members_.begin() + i);
        }
        return true;
    }
    return false;
}

void NotifieeList::deleteAll() {
    std::vector<Ptr<Notifiee>> released;
    released.reserve(live_);
    for (Member& m : members_) {
        if (m.notifiee) {
            released.push_back(m.notifiee);
            forget(m);
        }
    }
    if (visiting_ > 0) {
        holes_ = true;
    } else {
        members_.clear();
        holes_ = false;
    }
    // `released` goes last, when the list is already empty.
}

void NotifieeList::compact() {
    members_.erase(std::remove_if(members_.begin(), members_.end(),
                                  [](const Member& m) { return !m.notifiee; }),
                   members_.end());
    holes_ = false;
}

template <class F>
void NotifieeList::forEach(F&& call, bool observers) {
    VisitGuard guard(*this);
    // Members appended from here on are not part of this visit.
    const size_t n = members_.size();
    for (size_t i = 0; i < n; ++i) {
        // A copy: members_ may reallocate, and the member may remove itself, during the call.
        if (!members_[i].notifiee || members_[i].observes != observers) {
            continue;
        }
        Ptr<Notifiee> member = members_[i].notifiee;
        { call(*member); }
    }
}

void NotifieeList::visit(uint32_t attributeId, const void* key) {
    if (observers_ == 0) {
        return;
    }
    forEach([&](Notifiee& n) { n.onAttribute(attributeId, key); }, true);
}

void NotifieeList::visitZeroReferences() {
    forEach(
        [](Notifiee& n) {
            if (auto* c = dynamic_cast<NotifieeConst*>(&n)) {
                c->onZeroReferences();
            }
        },
        false);
}

}  // namespace Orlo
