// The counter tables: entities that own one `counter` attribute, a shared-memory map from
// CounterIndex to one record type. A table is the write path of its records: it writes,
// deletes, commits and clears records through its map, tells its observers which key changed
// (attribute 258), counts its calls in three event counters ("counterIs", "counterDel",
// "counterNotify"), and forwards the map's mount-status and quiesced news to its collection
// control.
//
// How a program uses one:
//   auto table = counterTableSimpleFactory("t");
//   directory->entityIs(table);                        // a place in the entity tree
//   table->counterControl()->mount(descriptor);        // shared memory: writer or reader
//   table->counterIs(record);
//
// Threads: every operation runs on the thread that owns the entity tree; nothing locks.
#pragma once

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Hova/EventWriter.h"
#include "Orlo/Alloc.h"
#include "Orlo/Entity.h"
#include "Orlo/Notifiee.h"
#include "OrloVesk/CollectionControl.h"
#include "OrloVesk/OrloVeskMap.h"

#include <cstdint>
#include <typeinfo>

// The reader, writer and shadow of each record type are compiled once, in the library
// (FlexCounters2/*Instances.cpp): users do not compile them again.
namespace Vesk {
#define FLEXCOUNTERS2_EXTERN_MAPS(NAME)                        \
    extern template class VeskReader<FLEXCOUNTERS2_OPS(NAME)>; \
    extern template class VeskWriter<FLEXCOUNTERS2_OPS(NAME)>; \
    extern template class Tmp<FLEXCOUNTERS2_OPS(NAME)>;        \
    extern template class VeskShadow<FLEXCOUNTERS2_OPS(NAME)>;
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_EXTERN_MAPS)
}  // namespace Vesk

namespace DravoCounters::FlexCounters2 {

// The type indices of the module description (FlexCounters2/Reflection.cpp): 0 the key, then
// the records in the order of AllRecords, the base, and the tables in the same order.
class CounterTableBase : public Orlo::Entity {
  public:
    static constexpr uint16_t kTypeIndex = 1 + AllRecords::kCount;

    Orlo::NotifieeList& notifieeList() override { return notifieeList_; }
    Orlo::OrloType fwkType() const override {
        return Orlo::OrloType{&flexCounters2VeskModule, kTypeIndex};
    }
    Orlo::String name() const override { return name_; }
    void handleParent(const Orlo::Ptr<Orlo::Entity>&) override {}

  protected:
    explicit CounterTableBase(const Orlo::String& name) : name_(name) {}
    ~CounterTableBase() override { notifieeList_.deleteAll(); }

  private:
    Orlo::String name_;
    Orlo::NotifieeList notifieeList_;
};

// The four tables are this one class template; Derived is the concrete table.
template <class Derived, class Record>
class CounterTable : public CounterTableBase {
  public:
    using OpsT = RecordOps<Record>;
    using Wrapper = OrloVesk::OrloVeskMapValueWrapper<Record, CounterIndex, &Record::key>;
    using Map = OrloVesk::OrloVeskMap<Derived, Wrapper, CounterIndex, OpsT>;
    static constexpr uint16_t kTypeIndex =
        CounterTableBase::kTypeIndex + 1 + AllRecords::kIndexOf<Record>;
    static constexpr uint32_t kCounterAttribute = 258;
    static constexpr uint32_t kCounterControlAttribute = 259;

    Orlo::OrloType fwkType() const override {
        return Orlo::OrloType{&flexCounters2VeskModule, kTypeIndex};
    }

    // Writes the record under its key (replacing what is there) and notifies its key.
    void counterIs(const Record& record) {
        ++*counterIsCount_;
        counter.safeWrite(record);
        counterNotify(record.key());
    }

    // Removes the key; returns the removed record, or an all-zero record when it was absent.
    Record counterDel(const CounterIndex& key) {
        ++*counterDelCount_;
        if (!counter.safeRemove(key, scratch_))
            return Record{};
        // Copied before observers run: one that writes to the table cannot change the answer.
        const Record removed = scratch_;
        counterNotify(key);
        return removed;
    }

    // Completes a direct update opened with the map's directWrite or directUpdate.
    void counterCommit(const Record* record) {
        ++*counterIsCount_;
        counter.directCommit();
        counterNotify(record->key());
    }

    // Removes every record; with observers each removal is a full counterDel.
    void counterDelAll() {
        const bool silent = notifieeList().empty();
        Record value{};
        Vesk::IterHint hint;
        bool more = false;
        try {
            more = counter.interface().first(value, hint);
        } catch (const Pimbo::CorruptionDetectedException& e) {
            counter.doCorruptionDetected(e.msg());
            return;
        }
        while (more) {
            const CounterIndex key = value.key();
            if (silent) {
                counter.safeRemove(key, scratch_);
            } else {
                counterDel(key);
            }
            try {
                // Continues from the key just removed: next finds what followed it.
                more = counter.interface().next(key, value, hint);
            } catch (const Pimbo::CorruptionDetectedException& e) {
                counter.doCorruptionDetected(e.msg());
                return;
            }
        }
    }

    // Tells every observer of attribute `counter` that this key changed.
    void counterNotify(const CounterIndex& key) {
        notifieeList().visit(kCounterAttribute, &key);
        ++*counterNotifyCount_;
    }

    void counterNotifyQuiesced(bool quiesced) { control_->quiescedIs(quiesced); }
    void counterNotifyMountStatus() {
        control_->mountStatusIs(OrloPlinth::MountStatus(counter.mountStatus()));
    }

    void counterControlIs(const Orlo::Ptr<OrloVesk::CollectionControl>& control) {
        if (control == counterControl_)
            return;
        counterControl_ = control;
        notifieeList().visit(kCounterControlAttribute);
    }
    Orlo::Ptr<OrloVesk::CollectionControl> counterControl() const { return counterControl_; }

    void handleParent(const Orlo::Ptr<Orlo::Entity>&) override { counter.handleParent(); }

    // Runtime memory, recorded by the allocation tracker of the concrete table type.
    static void* operator new(size_t size) {
        void* p = Orlo::orloMemAlloc(size);
        Orlo::AllocTrackTypeInfo::trackAllocation(Orlo::AllocTrackTypeInfo::forType<Derived>(),
                                                  typeid(Derived), size);
        return p;
    }
    static void operator delete(void* p) {
        Orlo::AllocTrackTypeInfo::trackDeallocation(Orlo::AllocTrackTypeInfo::forType<Derived>());
        Orlo::orloMemFree(p);
    }

    // A new table held by the returned reference.
    static Orlo::Ptr<Derived> create(const Orlo::String& name) {
        Orlo::Ptr<Derived> table(new Derived(name));
        table->hasNotificationActiveIs(true);
        return table;
    }

    // The map of attribute `counter`.
    Map counter;

  protected:
    explicit CounterTable(const Orlo::String& name) : CounterTableBase(name), counter(OpsT{}) {
        Hova::EventWriter& events = Hova::writer();
        counterIsCount_ = events.counter("counterIs");
        counterDelCount_ = events.counter("counterDel");
        counterNotifyCount_ = events.counter("counterNotify");
        zeroReferences_ = Orlo::Ptr<ZeroReferencesNotifiee>(new ZeroReferencesNotifiee(this));
        zeroReferences_->hasNotificationActiveIs(true);
        notifieeList().newMember(this, zeroReferences_);
        constructionControl_ =
            Orlo::Ptr<OrloVesk::CollectionControl>(new OrloVesk::CollectionControl(&counter));
        constructionControl_->hasNotificationActiveIs(true);
        counterControl_ = constructionControl_;
        control_ = constructionControl_.get();
    }

    // Binds the map to the table; run by the concrete table's constructor, once the table is a
    // Derived.
    void bindCounter(Derived* self) {
        counter.entity("counter", self, &CounterTable::counterNotify,
                       &CounterTable::counterNotifyMountStatus,
                       &CounterTable::counterNotifyQuiesced);
    }

    ~CounterTable() override {
        // A control that still has this table's map must not reach it after this point. The
        // control that holds a handed-over table forgets the map itself.
        if (constructionControl_ && constructionControl_->map() == &counter) {
            constructionControl_->mapIs(nullptr);
        }
        counterControl_ = nullptr;
        constructionControl_ = nullptr;
    }

  private:
    // Hears that the last outside reference to the table went, and hands the table to its
    // collection control, which keeps it alive from then on.
    class ZeroReferencesNotifiee : public Orlo::NotifieeConst {
      public:
        explicit ZeroReferencesNotifiee(CounterTable* table) : table_(table) {}
        void onZeroReferences() override { table_->handOver(this); }

      private:
        CounterTable* table_;
    };

    void handOver(ZeroReferencesNotifiee* notifiee) {
        // Keep the notifiee alive while it runs, and take it off the list first: nothing of the
        // table is touched after the control may have released it.
        Orlo::Ptr<ZeroReferencesNotifiee> keep(notifiee);
        Orlo::NotifieeListPtr(notifieeList()).deleteMember(this, notifiee);
        zeroReferences_ = nullptr;
        Orlo::Ptr<OrloVesk::CollectionControl> control = counterControl_;
        if (!control)
            return;  // nobody to hand over to: the table is destroyed
        {
            Orlo::Ptr<Orlo::Entity> self(this);
            control->entityRefIs(self);
        }
        counterControl_ = nullptr;
        // The control created with the table still hears the map's news (control_). When it is
        // the one that now holds the table it outlives the table; any other control holds the
        // table, so the table keeps the construction control alive (no cycle).
        if (control == constructionControl_)
            constructionControl_ = nullptr;
    }

    uint64_t* counterIsCount_ = nullptr;
    uint64_t* counterDelCount_ = nullptr;
    uint64_t* counterNotifyCount_ = nullptr;
    Orlo::Ptr<ZeroReferencesNotifiee> zeroReferences_;
    Orlo::Ptr<OrloVesk::CollectionControl> counterControl_;
    // The control created with the table; mount-status and quiesced news always go to it
    // (control_). Held while the table lives, unless that control holds the table itself.
    Orlo::Ptr<OrloVesk::CollectionControl> constructionControl_;
    OrloVesk::CollectionControl* control_ = nullptr;
    Record scratch_{};
};

// The table of each record type: CounterTable<Name> with its factory counterTable<Name>Factory,
// and CounterTableOf<CounterEntry<Name>>, the table of a record type.
template <CounterRecord Record>
struct CounterTableOf;
#define FLEXCOUNTERS2_COUNTER_TABLE(NAME)                                                          \
    class CounterTable##NAME final : public CounterTable<CounterTable##NAME, CounterEntry##NAME> { \
      public:                                                                                      \
        static Orlo::Ptr<CounterTable##NAME> CounterTable##NAME##Is(const Orlo::String& name) {    \
            return create(name);                                                                   \
        }                                                                                          \
                                                                                                   \
      private:                                                                                     \
        friend class CounterTable<CounterTable##NAME, CounterEntry##NAME>;                         \
        explicit CounterTable##NAME(const Orlo::String& name)                                      \
            : CounterTable<CounterTable##NAME, CounterEntry##NAME>(name) {                         \
            this->bindCounter(this);                                                               \
        }                                                                                          \
    };                                                                                             \
    template <>                                                                                    \
    struct CounterTableOf<CounterEntry##NAME> {                                                    \
        using type = CounterTable##NAME;                                                           \
    };                                                                                             \
    Orlo::Ptr<CounterTable##NAME> counterTable##NAME##Factory(const Orlo::String& name);
FLEXCOUNTERS2_FOR_EACH_RECORD(FLEXCOUNTERS2_COUNTER_TABLE)
#undef FLEXCOUNTERS2_COUNTER_TABLE

}  // namespace DravoCounters::FlexCounters2
