// Tests of the entity runtime's services: the entity tree and its paths, parent handling, the
// zero-references pass, notifiee lists, the allocation tracker, collection controls, the event
// writer and the trace-name helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Hova/EventWriter.h"
#include "Orlo/Alloc.h"
#include "Orlo/Entity.h"
#include "Orlo/Notifiee.h"
#include "OrloPlinth/CollectionControl.h"
#include "OrloPlinth/Util.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Pimbo/TraceUtil.h"
#include "Vesk/ControlBase.h"
#include "Vesk/MapDescriptor.h"

namespace {

using Orlo::Ptr;
using Orlo::String;
using OrloPlinth::Util::fullName;

const char kTestModule[] = "EntityTest";

// An entity that records each handleParent call and counts its destruction.
class Leaf : public Orlo::Entity {
  public:
    struct ParentCall {
        const Orlo::Entity* argument;  // what handleParent was given
        const Orlo::Entity* stored;    // parent() at that moment
        std::string path;              // fullName at that moment
    };

    static Ptr<Leaf> make(const String& name, int* destroyed = nullptr) {
        return Ptr<Leaf>(new Leaf(name, destroyed));
    }

    String name() const override { return name_; }
    Orlo::OrloType fwkType() const override { return Orlo::OrloType{kTestModule, 6}; }
    Orlo::NotifieeList& notifieeList() override { return notifiees_; }
    void handleParent(const Ptr<Orlo::Entity>& parent) override {
        parentCalls.push_back(ParentCall{parent.get(), this->parent().get(), fullName(*this)});
    }

    std::vector<ParentCall> parentCalls;

  private:
    Leaf(String name, int* destroyed) : name_(std::move(name)), destroyed_(destroyed) {}
    ~Leaf() override {
        notifiees_.deleteAll();
        if (destroyed_ != nullptr) {
            ++*destroyed_;
        }
    }

    String name_;
    int* destroyed_;
    Orlo::NotifieeList notifiees_;
};

// ---------------------------------------------------------------------------------------------
// Tree, paths and parents

TEST(OrloEntity, DirectoryTreeGivesFullNamesFromTheRootDown) {
    Ptr<Orlo::Directory> sys = Orlo::Directory::DirectoryIs("sys");
    Ptr<Orlo::Directory> ports = Orlo::Directory::DirectoryIs("ports");
    Ptr<Leaf> t = Leaf::make("T");
    EXPECT_EQ(fullName(*t), String("/T"));
    sys->entityIs(ports);
    ports->entityIs(t);
    EXPECT_EQ(fullName(*t), String("/sys/ports/T"));
    EXPECT_EQ(fullName(*ports), String("/sys/ports"));
    EXPECT_EQ(fullName(*sys), String("/sys"));
    EXPECT_FALSE(sys->parent());
    EXPECT_EQ(ports->entity("T"), t);
    EXPECT_FALSE(ports->entity("U"));
    EXPECT_EQ(sys->entityNames(), std::vector<String>{"ports"});

    // An unnamed root adds nothing to the path.
    Ptr<Orlo::Directory> anon = Orlo::Directory::DirectoryIs("");
    Ptr<Orlo::Directory> other = Orlo::Directory::DirectoryIs("other");
    anon->entityIs(other);
    EXPECT_EQ(fullName(*other), String("/other"));
    EXPECT_EQ(fullName(*anon), String("/"));

    EXPECT_EQ(ports->entityDel("T"), t);
    EXPECT_FALSE(t->parent());
    EXPECT_EQ(fullName(*t), String("/T"));
    EXPECT_EQ(ports->entities(), 0u);
    EXPECT_FALSE(ports->entityDel("T"));
    anon->entityDelAll();
    sys->entityDelAll();
    EXPECT_FALSE(ports->parent());
}

TEST(OrloEntity, ParentIsStoresFirstThenCallsHandleParent) {
    Ptr<Orlo::Directory> root = Orlo::Directory::DirectoryIs("sys");
    Ptr<Leaf> t = Leaf::make("T");
    root->entityIs(t);
    ASSERT_EQ(t->parentCalls.size(), 1u);
    EXPECT_EQ(t->parentCalls[0].argument, root.get());
    EXPECT_EQ(t->parentCalls[0].stored, root.get()) << "handleParent must see the new parent";
    EXPECT_EQ(t->parentCalls[0].path, "/sys/T");

    // Adding the same child again is not a new parent assignment.
    root->entityIs(t);
    EXPECT_EQ(t->parentCalls.size(), 1u);

    root->entityDel("T");
    ASSERT_EQ(t->parentCalls.size(), 2u);
    EXPECT_EQ(t->parentCalls[1].argument, nullptr);
    EXPECT_EQ(t->parentCalls[1].stored, nullptr);
    EXPECT_EQ(t->parentCalls[1].path, "/T");

    // Direct assignment, without a directory.
    Ptr<Orlo::Directory> other = Orlo::Directory::DirectoryIs("other");
    t->parentIs(other);
    ASSERT_EQ(t->parentCalls.size(), 3u);
    EXPECT_EQ(t->parentCalls[2].argument, other.get());
    t->parentIs(Ptr<Orlo::Entity>());
    EXPECT_EQ(t->parentCalls.back().argument, nullptr);
}

TEST(OrloEntity, MovingAChildLeavesTheOldDirectory) {
    Ptr<Orlo::Directory> a = Orlo::Directory::DirectoryIs("a");
    Ptr<Orlo::Directory> b = Orlo::Directory::DirectoryIs("b");
    Ptr<Leaf> t = Leaf::make("T");
    a->entityIs(t);
    b->entityIs(t);
    EXPECT_EQ(a->entities(), 0u);
    EXPECT_EQ(b->entity("T"), t);
    EXPECT_EQ(t->parent().get(), b.get());
    EXPECT_EQ(fullName(*t), String("/b/T"));
    // The old directory no longer owns the name: deleting it there leaves the child alone.
    EXPECT_FALSE(a->entityDel("T"));
    EXPECT_EQ(t->parent().get(), b.get());
    b->entityDelAll();
}

TEST(OrloEntity, DirectoryRefusesNameClashesLoopsAndUnnamedChildren) {
    Ptr<Orlo::Directory> root = Orlo::Directory::DirectoryIs("sys");
    Ptr<Orlo::Directory> sub = Orlo::Directory::DirectoryIs("sub");
    root->entityIs(sub);
    Ptr<Leaf> first = Leaf::make("T");
    Ptr<Leaf> second = Leaf::make("T");
    sub->entityIs(first);
    try {
        sub->entityIs(second);
        FAIL() << "a second entity named T was accepted";
    } catch (const Orlo::DirectoryException& e) {
        EXPECT_EQ(e.msg(), "directory /sys/sub already holds an entity named T");
    }
    EXPECT_EQ(sub->entity("T"), first);
    EXPECT_FALSE(second->parent());
    EXPECT_TRUE(second->parentCalls.empty());

    try {
        sub->entityIs(root);
        FAIL() << "a directory was put inside itself";
    } catch (const Orlo::DirectoryException& e) {
        EXPECT_EQ(e.msg(), "cannot put /sys into /sys/sub: it would contain itself");
    }
    EXPECT_FALSE(root->parent());
    EXPECT_THROW(sub->entityIs(sub), Orlo::DirectoryException);
    EXPECT_THROW(sub->entityIs(Leaf::make("")), Orlo::DirectoryException);
    EXPECT_THROW(sub->entityIs(Ptr<Orlo::Entity>()), Orlo::DirectoryException);
    root->entityDelAll();
    sub->entityDelAll();
}

TEST(OrloEntity, TypesCompareByModuleAndIndex) {
    const Orlo::OrloType a{kTestModule, 6};
    EXPECT_EQ(a, (Orlo::OrloType{kTestModule, 6}));
    EXPECT_NE(a, (Orlo::OrloType{kTestModule, 7}));
    EXPECT_NE(a, (Orlo::OrloType{Orlo::runtimeModule, 6}));
    EXPECT_EQ(Orlo::Directory::DirectoryIs("d")->fwkType(),
              (Orlo::OrloType{Orlo::runtimeModule, Orlo::Directory::kTypeIndex}));
    EXPECT_EQ(Leaf::make("x")->fwkType(), a);
}

// ---------------------------------------------------------------------------------------------
// Zero references

// Hands its entity to a control when the last reference goes, as a table's zero-references
// notifiee does, then leaves the entity's list.
class HandOver : public Orlo::NotifieeConst {
  public:
    HandOver(Orlo::Entity* entity, Ptr<OrloPlinth::CollectionControl>* control)
        : entity_(entity), control_(control) {}

    void onZeroReferences() override {
        ++calls;
        Ptr<Orlo::Entity> self = entity_;  // temporary reference
        if (*control_) {
            (*control_)->entityRefIs(self);
        }
        self.reset();
        // The entity no longer keeps its control (this may destroy the control).
        control_->reset();
        Orlo::NotifieeListPtr(entity_->notifieeList()).deleteMember(entity_, this);
    }

    int calls = 0;

  private:
    Orlo::Entity* entity_;
    Ptr<OrloPlinth::CollectionControl>* control_;
};

// Counts attribute notifications; must never hear about zero references.
class Observer : public Orlo::Notifiee {
  public:
    void onAttribute(uint32_t attributeId, const void* key) override {
        seen.push_back({attributeId, key});
        if (onCall) {
            onCall(*this);
        }
    }
    std::vector<std::pair<uint32_t, const void*>> seen;
    std::function<void(Observer&)> onCall;
};

TEST(OrloZeroReferences, WithoutNotificationTheEntityIsDeleted) {
    int destroyed = 0;
    {
        Ptr<Leaf> t = Leaf::make("T", &destroyed);
        Ptr<HandOver> n;  // registered but never asked: notification is not active
        Ptr<OrloPlinth::CollectionControl> control = new OrloPlinth::CollectionControl;
        n = new HandOver(t.get(), &control);
        t->notifieeList().newMember(t.get(), n);
        t.reset();
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(n->calls, 0);
        EXPECT_EQ(control->entityRefCalls(), 0u);
    }
}

TEST(OrloZeroReferences, ANotifieeThatKeepsTheEntityKeepsItAlive) {
    int destroyed = 0;
    Ptr<OrloPlinth::CollectionControl> holder = new OrloPlinth::CollectionControl;
    Ptr<OrloPlinth::CollectionControl> tableControl = holder;  // what the entity keeps
    Ptr<Leaf> t = Leaf::make("T", &destroyed);
    Leaf* raw = t.get();
    Ptr<HandOver> n = new HandOver(raw, &tableControl);
    Ptr<Observer> observer = new Observer;
    raw->notifieeList().newMember(raw, n);
    raw->notifieeList().newMember(raw, observer);
    raw->hasNotificationActiveIs(true);

    t.reset();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(n->calls, 1);
    EXPECT_EQ(holder->entityRef().get(), raw);
    EXPECT_EQ(raw->references(), 1u) << "only the control holds the entity";
    EXPECT_FALSE(tableControl) << "the entity no longer keeps the control";
    EXPECT_EQ(raw->notifieeList().size(), 1u) << "the notifiee left the list";
    EXPECT_TRUE(observer->seen.empty()) << "observers hear attributes only";

    // The control lets go: no zero-references notifiee is left, so the entity goes.
    holder->entityRefIs(Ptr<Orlo::Entity>());
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(n->calls, 1);
}

TEST(OrloZeroReferences, TemporaryReferencesInsideThePassDoNotRecurseOrDeleteEarly) {
    // No control at all: the notifiee takes a temporary reference and drops it, so the count
    // touches zero again inside the pass.
    int destroyed = 0;
    Ptr<OrloPlinth::CollectionControl> none;
    Ptr<Leaf> t = Leaf::make("T", &destroyed);
    Ptr<HandOver> n = new HandOver(t.get(), &none);
    t->notifieeList().newMember(t.get(), n);
    t->hasNotificationActiveIs(true);
    t.reset();
    EXPECT_EQ(n->calls, 1);
    EXPECT_EQ(destroyed, 1);
}

TEST(OrloZeroReferences, AControlHeldOnlyByTheEntityIsReleasedWithoutADoubleDelete) {
    // The control takes the entity, then the entity drops the control, whose destruction
    // releases the entity again while the pass is still running.
    int destroyed = 0;
    Ptr<OrloPlinth::CollectionControl> tableControl = new OrloPlinth::CollectionControl;
    Ptr<Leaf> t = Leaf::make("T", &destroyed);
    Ptr<HandOver> n = new HandOver(t.get(), &tableControl);
    t->notifieeList().newMember(t.get(), n);
    t->hasNotificationActiveIs(true);
    t.reset();
    EXPECT_EQ(n->calls, 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(tableControl);
}

TEST(OrloZeroReferences, EveryZeroReferencesNotifieeIsTold) {
    int destroyed = 0;
    Ptr<OrloPlinth::CollectionControl> none1, none2;
    Ptr<Leaf> t = Leaf::make("T", &destroyed);
    Ptr<HandOver> a = new HandOver(t.get(), &none1);
    Ptr<HandOver> b = new HandOver(t.get(), &none2);
    t->notifieeList().newMember(t.get(), a);
    t->notifieeList().newMember(t.get(), b);
    t->hasNotificationActiveIs(true);
    t.reset();
    EXPECT_EQ(a->calls, 1);
    EXPECT_EQ(b->calls, 1);
    EXPECT_EQ(destroyed, 1);
}

// ---------------------------------------------------------------------------------------------
// Notifiee lists

TEST(OrloNotifieeList, VisitTellsObserversTheAttributeAndKey) {
    Orlo::NotifieeList list;
    Ptr<Observer> a = new Observer;
    Ptr<Observer> b = new Observer;
    int owner = 0;
    list.newMember(&owner, a);
    list.newMember(&owner, b);
    const uint64_t key = 7;
    list.visit(258, &key);
    list.visit(259);
    const std::vector<std::pair<uint32_t, const void*>> expected{{258, &key}, {259, nullptr}};
    EXPECT_EQ(a->seen, expected);
    EXPECT_EQ(b->seen, expected);
    list.deleteAll();
}

TEST(OrloNotifieeList, EmptyCountsObserversOnlyAndSizeCountsAll) {
    Orlo::NotifieeList list;
    int owner = 0;
    EXPECT_TRUE(list.empty());
    Ptr<OrloPlinth::CollectionControl> none;
    Ptr<HandOver> zero = new HandOver(nullptr, &none);
    list.newMember(&owner, zero);
    EXPECT_TRUE(list.empty()) << "a zero-references notifiee does not listen to attributes";
    EXPECT_EQ(list.size(), 1u);
    Ptr<Observer> obs = new Observer;
    list.newMember(&owner, obs);
    EXPECT_FALSE(list.empty());
    EXPECT_EQ(list.size(), 2u);
    list.visit(258);
    EXPECT_EQ(zero->calls, 0) << "visit must not call a zero-references notifiee";
    EXPECT_TRUE(list.deleteMember(&owner, obs.get()));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(list.deleteMember(&owner, obs.get()));
    list.newMember(&owner, Ptr<Orlo::Notifiee>());  // ignored
    EXPECT_EQ(list.size(), 1u);
    list.deleteAll();
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(obs->references(), 1u) << "the list released its references";
    EXPECT_EQ(zero->references(), 1u);
}

TEST(OrloNotifieeList, MembersRemovedDuringAVisitAreNotCalledAndAddedOnesWait) {
    Orlo::NotifieeList list;
    int owner = 0;
    Ptr<Observer> a = new Observer;
    Ptr<Observer> b = new Observer;
    Ptr<Observer> c = new Observer;
    Ptr<Observer> d = new Observer;
    a->onCall = [&](Observer&) {
        if (a->seen.size() == 1) {
            list.deleteMember(&owner, b.get());  // not yet called: must not be
            list.newMember(&owner, d);           // added now: hears from the next visit on
        }
    };
    list.newMember(&owner, a);
    list.newMember(&owner, b);
    list.newMember(&owner, c);
    list.visit(258);
    EXPECT_EQ(a->seen.size(), 1u);
    EXPECT_TRUE(b->seen.empty());
    EXPECT_EQ(c->seen.size(), 1u);
    EXPECT_TRUE(d->seen.empty());
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(b->references(), 1u);

    list.visit(259);
    EXPECT_EQ(a->seen.size(), 2u);
    EXPECT_TRUE(b->seen.empty());
    EXPECT_EQ(c->seen.size(), 2u);
    ASSERT_EQ(d->seen.size(), 1u);
    EXPECT_EQ(d->seen[0].first, 259u);
    list.deleteAll();
}

TEST(OrloNotifieeList, AMemberMayRemoveItselfAndSurvivesItsOwnCall) {
    Orlo::NotifieeList list;
    int owner = 0;
    int destroyedDuringCall = -1;
    struct SelfRemover : Orlo::Notifiee {
        Orlo::NotifieeList* list = nullptr;
        int* owner = nullptr;
        bool* destroyed = nullptr;
        int* destroyedDuringCall = nullptr;
        void onAttribute(uint32_t, const void*) override {
            list->deleteMember(owner, this);
            *destroyedDuringCall = *destroyed ? 1 : 0;
        }
        ~SelfRemover() override { *destroyed = true; }
    };
    bool destroyed = false;
    {
        Ptr<SelfRemover> self = new SelfRemover;
        self->list = &list;
        self->owner = &owner;
        self->destroyed = &destroyed;
        self->destroyedDuringCall = &destroyedDuringCall;
        list.newMember(&owner, self);
    }  // only the list holds it now
    Ptr<Observer> after = new Observer;
    list.newMember(&owner, after);
    list.visit(258);
    EXPECT_EQ(destroyedDuringCall, 0);
    EXPECT_TRUE(destroyed) << "released once its call returned";
    EXPECT_EQ(after->seen.size(), 1u) << "the member after it is still told";
    EXPECT_EQ(list.size(), 1u);
    list.deleteAll();
}

TEST(OrloNotifieeList, NestedVisitsAndDeleteAllDuringAVisit) {
    Orlo::NotifieeList list;
    int owner = 0;
    Ptr<Observer> a = new Observer;
    Ptr<Observer> b = new Observer;
    a->onCall = [&](Observer&) {
        if (a->seen.size() == 1) {
            list.visit(300);  // nested: everyone hears 300 before b hears 258
        }
    };
    list.newMember(&owner, a);
    list.newMember(&owner, b);
    list.visit(258);
    ASSERT_EQ(b->seen.size(), 2u);
    EXPECT_EQ(b->seen[0].first, 300u);
    EXPECT_EQ(b->seen[1].first, 258u);

    a->onCall = [&](Observer&) { list.deleteAll(); };
    list.visit(1);
    EXPECT_EQ(b->seen.size(), 2u) << "deleteAll during a visit stops the rest of it";
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(list.empty());
    list.visit(2);
    EXPECT_EQ(a->seen.size(), 3u);
}

TEST(OrloNotifieeList, AThrowingMemberLeavesTheListUsable) {
    Orlo::NotifieeList list;
    int owner = 0;
    Ptr<Observer> a = new Observer;
    Ptr<Observer> b = new Observer;
    a->onCall = [&](Observer&) {
        list.deleteMember(&owner, b.get());
        throw Pimbo::RuntimeException("observer failed");
    };
    list.newMember(&owner, a);
    list.newMember(&owner, b);
    EXPECT_THROW(list.visit(258), Pimbo::RuntimeException);
    EXPECT_EQ(list.size(), 1u);
    a->onCall = nullptr;
    list.visit(259);
    EXPECT_EQ(a->seen.size(), 2u);
    EXPECT_TRUE(b->seen.empty());
    // The list compacted after the failed visit: removing works directly again.
    EXPECT_TRUE(list.deleteMember(&owner, a.get()));
    EXPECT_EQ(list.size(), 0u);
}

TEST(OrloNotifieeListDeathTest, DeleteMemberByAnotherOwnerStops) {
    EXPECT_DEATH(
        {
            Orlo::NotifieeList list;
            int owner = 0;
            int stranger = 0;
            Ptr<Observer> a = new Observer;
            list.newMember(&owner, a);
            list.deleteMember(&stranger, a.get());
        },
        "deleteMember of a .*Observer.* but it was registered by owner");
}

// ---------------------------------------------------------------------------------------------
// Allocation tracking

struct TrackedA {
    uint64_t words[3];
};
struct TrackedB {
    uint64_t word;
};

TEST(OrloAlloc, TrackerCountsLiveObjectsPerType) {
    Orlo::AllocTrackTypeInfo& trackerA = Orlo::AllocTrackTypeInfo::forType<TrackedA>();
    Orlo::AllocTrackTypeInfo& trackerB = Orlo::AllocTrackTypeInfo::forType<TrackedB>();
    const uint64_t liveA = trackerA.live();
    const uint64_t liveB = Orlo::AllocTrackTypeInfo::liveCount(typeid(TrackedB));
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i) {
        blocks.push_back(Orlo::orloMemAlloc(sizeof(TrackedA)));
        Orlo::AllocTrackTypeInfo::trackAllocation(trackerA, typeid(TrackedA), sizeof(TrackedA));
    }
    void* b = Orlo::orloMemAlloc(sizeof(TrackedB));
    Orlo::AllocTrackTypeInfo::trackAllocation(trackerB, typeid(TrackedB), sizeof(TrackedB));
    EXPECT_EQ(trackerA.live(), liveA + 3);
    EXPECT_EQ(Orlo::AllocTrackTypeInfo::liveCount(typeid(TrackedA)), liveA + 3);
    EXPECT_EQ(Orlo::AllocTrackTypeInfo::liveCount(typeid(TrackedB)), liveB + 1);
    EXPECT_NE(trackerA.typeName().find("TrackedA"), std::string::npos) << trackerA.typeName();

    bool found = false;
    for (const auto& s : Orlo::AllocTrackTypeInfo::snapshot()) {
        if (s.typeName == trackerA.typeName()) {
            found = true;
            EXPECT_EQ(s.live, liveA + 3);
            EXPECT_EQ(s.bytes, (liveA + 3) * sizeof(TrackedA));
        }
    }
    EXPECT_TRUE(found);

    for (void* p : blocks) {
        Orlo::AllocTrackTypeInfo::trackDeallocation(trackerA);
        Orlo::orloMemFree(p);
    }
    Orlo::AllocTrackTypeInfo::trackDeallocation(trackerB);
    Orlo::orloMemFree(b);
    EXPECT_EQ(trackerA.live(), liveA);
    EXPECT_EQ(Orlo::AllocTrackTypeInfo::liveCount(typeid(TrackedB)), liveB);
    EXPECT_GE(trackerA.allocations(), 3u);
}

TEST(OrloAllocDeathTest, MisuseOfATrackerStops) {
    EXPECT_DEATH(
        {
            static Orlo::AllocTrackTypeInfo fresh;
            Orlo::AllocTrackTypeInfo::trackDeallocation(fresh);
        },
        "never recorded an allocation");
    EXPECT_DEATH(
        {
            static Orlo::AllocTrackTypeInfo t;
            Orlo::AllocTrackTypeInfo::trackAllocation(t, typeid(TrackedA), 24);
            Orlo::AllocTrackTypeInfo::trackDeallocation(t);
            Orlo::AllocTrackTypeInfo::trackDeallocation(t);
        },
        "more deallocations than allocations of .*TrackedA");
    EXPECT_DEATH(
        {
            static Orlo::AllocTrackTypeInfo t;
            Orlo::AllocTrackTypeInfo::trackAllocation(t, typeid(TrackedA), 24);
            Orlo::AllocTrackTypeInfo::trackAllocation(t, typeid(TrackedB), 8);
        },
        "tracker of .*TrackedA.* was asked to record a .*TrackedB");
}

// ---------------------------------------------------------------------------------------------
// Collection controls

// A map stand-in that records what the control asks of it.
class FakeMap : public Vesk::ControlBase {
  public:
    void init(const Mem::CollectionDescriptor& d) override {
        inits.push_back(dynamic_cast<const Vesk::MapDescriptor&>(d));
        initialized_ = true;
    }
    void controlDetach() override {
        ++detaches;
        initialized_ = false;
    }
    Vesk::MountStatus mountStatus() override { return initialized_ ? 1 : 0; }
    bool initialized() const override { return initialized_; }
    std::string name() override { return "/sys/T/counter"; }

    std::vector<Vesk::MapDescriptor> inits;
    int detaches = 0;

  private:
    bool initialized_ = false;
};

TEST(OrloVeskCollectionControl, MountsAndUnmountsItsMap) {
    FakeMap map;
    const uint64_t live = Orlo::AllocTrackTypeInfo::liveCount(typeid(OrloVesk::CollectionControl));
    Ptr<OrloVesk::CollectionControl> control = new OrloVesk::CollectionControl(&map);
    EXPECT_EQ(Orlo::AllocTrackTypeInfo::liveCount(typeid(OrloVesk::CollectionControl)), live + 1)
        << "a control lives in tracked runtime memory";
    Vesk::MapDescriptor reader(64, Vesk::reader);
    reader.assertOnOrphanAccess = 1;
    control->mount(reader);
    ASSERT_EQ(map.inits.size(), 1u);
    EXPECT_EQ(map.inits[0], reader);
    EXPECT_EQ(control->mountCalls(), 1u);
    control->unmount();
    EXPECT_EQ(map.detaches, 1);
    EXPECT_EQ(control->unmountCalls(), 1u);

    control->mapIs(nullptr);
    EXPECT_THROW(control->mount(reader), Pimbo::InvalidInitializeException);
    EXPECT_THROW(control->unmount(), Pimbo::InvalidInitializeException);
    EXPECT_EQ(map.inits.size(), 1u);
    control.reset();
    EXPECT_EQ(Orlo::AllocTrackTypeInfo::liveCount(typeid(OrloVesk::CollectionControl)), live);
}

TEST(OrloVeskCollectionControl, RecordsReportsInOrderAndHoldsTheEntity) {
    FakeMap map;
    Ptr<OrloVesk::CollectionControl> control = new OrloVesk::CollectionControl(&map);
    control->quiescedIs(true);
    control->mountStatusIs(map.mountStatus());
    control->mountStatusIs(OrloPlinth::MountStatus(1));
    control->quiescedIs(false);
    control->mountStatusIs(0);
    EXPECT_EQ(control->historyString(),
              "quiesced:true mountStatus:notMounted mountStatus:mounted quiesced:false "
              "mountStatus:notMounted");
    EXPECT_EQ(control->quiescedCalls(), 2u);
    EXPECT_EQ(control->mountStatusCalls(), 3u);
    EXPECT_FALSE(control->quiesced());
    EXPECT_EQ(control->mountStatus(), OrloPlinth::MountStatus(0));
    EXPECT_EQ(OrloPlinth::MountStatus(3).toString(), "flushing");
    EXPECT_EQ(OrloPlinth::MountStatus(9).toString(), "unknown(9)");

    int destroyed = 0;
    Ptr<Leaf> t = Leaf::make("T", &destroyed);
    control->entityRefIs(t);
    EXPECT_EQ(control->entityRef().get(), t.get());
    control->entityRefIs(t);
    EXPECT_EQ(control->map(), &map) << "still holding the same entity";
    t.reset();
    EXPECT_EQ(destroyed, 0) << "the control holds the entity";
    control.reset();
    EXPECT_EQ(destroyed, 1) << "and releases it when it goes";

    // Letting the entity go forgets the map, which belonged to it.
    Ptr<OrloVesk::CollectionControl> handedOver = new OrloVesk::CollectionControl(&map);
    handedOver->entityRefIs(Leaf::make("U", &destroyed));
    handedOver->entityRefIs(Ptr<Orlo::Entity>());
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(handedOver->map(), nullptr);
    EXPECT_THROW(handedOver->mount(Vesk::MapDescriptor(8)), Pimbo::InvalidInitializeException);
    EXPECT_EQ(map.inits.size(), 0u);

    Ptr<OrloPlinth::CollectionControl> bounded = new OrloPlinth::CollectionControl;
    for (size_t i = 0; i < OrloPlinth::CollectionControl::kHistorySize + 5; ++i) {
        bounded->quiescedIs(i % 2 == 0);
    }
    EXPECT_EQ(bounded->history().size(), OrloPlinth::CollectionControl::kHistorySize);
    EXPECT_EQ(bounded->quiescedCalls(), OrloPlinth::CollectionControl::kHistorySize + 5);
}

// ---------------------------------------------------------------------------------------------
// Event writer and trace helpers

TEST(HovaEventWriter, CounterAddressesAreStablePerName) {
    Hova::EventWriter& w = Hova::writer();
    EXPECT_EQ(&w, &Hova::writer());
    uint64_t* is = w.counter("EntityTest.counterIs");
    uint64_t* del = w.counter("EntityTest.counterDel");
    ASSERT_NE(is, nullptr);
    EXPECT_NE(is, del);
    const uint64_t start = *is;
    *is += 3;
    // Many later registrations must not move an existing counter.
    for (int i = 0; i < 2000; ++i) {
        w.counter("EntityTest.filler." + std::to_string(i));
    }
    EXPECT_EQ(w.counter("EntityTest.counterIs"), is);
    EXPECT_EQ(*is, start + 3);
    EXPECT_EQ(w.value("EntityTest.counterIs"), start + 3);
    EXPECT_EQ(w.snapshot().at("EntityTest.counterIs"), start + 3);
    EXPECT_EQ(w.value("EntityTest.never"), 0u);
    EXPECT_EQ(w.snapshot().count("EntityTest.never"), 0u);
}

TEST(PimboTraceUtil, HandleNamesAndCanaryLines) {
    EXPECT_EQ(Pimbo::Util::traceHandleName("/sys/T/counter", "counter", false),
              "Vesk:/sys/T/counter:counter");
    EXPECT_EQ(Pimbo::Util::traceHandleName("a", "b", true),
              Pimbo::Util::traceHandleName("a", "b", false));

    struct Line {
        unsigned level;
        std::string handler, message;
    };
    std::vector<Line> lines;
    Pimbo::Platform::getDebugHandler("Canary")->levelMaskIs(0);  // masks do not matter
    Pimbo::Platform::traceSinkIs([&](const Pimbo::Platform::TraceRecord& r) {
        lines.push_back(Line{r.level, std::string(r.handler), std::string(r.message)});
    });
    Pimbo::Util::emitCanaryLog("mounted /x mountStatus:1");
    Pimbo::Platform::traceSinkIs(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 0u);
    EXPECT_EQ(lines[0].handler, "Canary");
    EXPECT_EQ(lines[0].message, "canary: mounted /x mountStatus:1");
}

}  // namespace
