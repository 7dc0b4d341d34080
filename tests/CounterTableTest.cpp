// Tests of the four counter tables doing their whole job as a program uses them: created by their
// factory or static creator, parented under a directory, mounted as a shared-memory writer
// through their collection control, then written, deleted, committed and cleared while
// observers hear every changed key and the three event counters count exactly. Records are
// checked in the table's files (through a reader table of the same path in this process), and
// every table is released in every state and order without leaking or touching freed memory.
#include "WriterTestUtil.h"

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Hova/EventWriter.h"
#include "Mem/Atomics.h"
#include "Orlo/Alloc.h"
#include "Orlo/Entity.h"
#include "Orlo/Notifiee.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/Exception.h"
#include "TestRoot.h"
#include "Vesk/Util.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace DravoCounters::FlexCounters2;
using VeskTest::Records;
using VeskTest::TestRoot;
using VeskTest::TraceCapture;

constexpr uint32_t kCounterAttribute = 258;
constexpr uint32_t kCounterControlAttribute = 259;

// ----- the four tables seen alike -----

template <class Table>
struct TableTraits;

#define TABLE_TRAITS(Table, Entry, Index)                                              \
    template <>                                                                        \
    struct TableTraits<Table> {                                                        \
        using Record = Entry;                                                          \
        using Ops = Entry##Ops;                                                        \
        static constexpr uint16_t kTypeIndex = Index;                                  \
        static constexpr const char* kClass = "DravoCounters::FlexCounters2::" #Table; \
        static Orlo::Ptr<Table> factory(const Orlo::String& name) {                    \
            return Table##FactoryOf(name);                                             \
        }                                                                              \
        static Orlo::Ptr<Table> creator(const Orlo::String& name) {                    \
            return Table::Table##Is(name);                                             \
        }                                                                              \
    }

// The factories under the names the traits macro builds.
Orlo::Ptr<CounterTableSimple> CounterTableSimpleFactoryOf(const Orlo::String& n) {
    return counterTableSimpleFactory(n);
}
Orlo::Ptr<CounterTableNormal> CounterTableNormalFactoryOf(const Orlo::String& n) {
    return counterTableNormalFactory(n);
}
Orlo::Ptr<CounterTableWide> CounterTableWideFactoryOf(const Orlo::String& n) {
    return counterTableWideFactory(n);
}
Orlo::Ptr<CounterTableBitmap64> CounterTableBitmap64FactoryOf(const Orlo::String& n) {
    return counterTableBitmap64Factory(n);
}

TABLE_TRAITS(CounterTableSimple, CounterEntrySimple, 6);
TABLE_TRAITS(CounterTableNormal, CounterEntryNormal, 7);
TABLE_TRAITS(CounterTableWide, CounterEntryWide, 8);
TABLE_TRAITS(CounterTableBitmap64, CounterEntryBitmap64, 9);
#undef TABLE_TRAITS

using Tables = ::testing::Types<CounterTableSimple, CounterTableNormal, CounterTableWide,
                                CounterTableBitmap64>;
struct TableName {
    template <class Table>
    static std::string GetName(int) {
        const std::string full = TableTraits<Table>::kClass;
        return full.substr(full.rfind(':') + 1);
    }
};

// ----- what a table tells the world -----

// The three process-wide event counters at one moment.
struct Counts {
    uint64_t is = 0;
    uint64_t del = 0;
    uint64_t notify = 0;

    static Counts now() {
        const Hova::EventWriter& w = Hova::writer();
        return Counts{w.value("counterIs"), w.value("counterDel"), w.value("counterNotify")};
    }
    Counts since(const Counts& before) const {
        return Counts{is - before.is, del - before.del, notify - before.notify};
    }
    bool operator==(const Counts&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Counts& c) {
        return os << "{counterIs:" << c.is << " counterDel:" << c.del
                  << " counterNotify:" << c.notify << "}";
    }
};

// An observer of a table: keeps every key of attribute `counter` in arrival order and the id of
// every other attribute; may act on the table from inside a key notification.
class Observer : public Orlo::Notifiee {
  public:
    void onAttribute(uint32_t attributeId, const void* key) override {
        if (attributeId != kCounterAttribute) {
            others.push_back(attributeId);
            EXPECT_EQ(key, nullptr) << "attribute " << attributeId;
            return;
        }
        const CounterIndex& k = *static_cast<const CounterIndex*>(key);
        keys.push_back(k.value());
        if (onKey) {
            onKey(k);
        }
    }

    std::vector<uint64_t> keys;
    std::vector<uint32_t> others;
    std::function<void(const CounterIndex&)> onKey;
};

template <class Table>
Orlo::Ptr<Observer> observe(const Orlo::Ptr<Table>& table) {
    Orlo::Ptr<Observer> observer(new Observer);
    table->notifieeList().newMember(table.get(), observer);
    return observer;
}

// ----- reading a table -----

// Whether `key` is stored; `out` receives what the lookup answered (the zero record if not).
template <class Table>
bool lookup(Table& table, uint64_t key, typename TableTraits<Table>::Record& out) {
    using Record = typename TableTraits<Table>::Record;
    bool found = true;
    Record buffer{};
    const Record* p = table.counter.safeLookup(CounterIndex(key), found, &buffer);
    out = *p;
    return found;
}

// Every record of the table in iteration order (the binding's iterator).
template <class Table>
std::vector<typename TableTraits<Table>::Record> records(Table& table) {
    std::vector<typename TableTraits<Table>::Record> out;
    typename Table::Map::IteratorConst it(&table.counter);
    for (bool valid = it.valid(); valid; valid = it.advance()) {
        out.push_back(it.value());
        if (out.size() > 100000) {
            ADD_FAILURE() << "iteration does not end";
            break;
        }
    }
    return out;
}

template <class Table>
std::map<uint64_t, typename TableTraits<Table>::Record> contents(Table& table) {
    std::map<uint64_t, typename TableTraits<Table>::Record> out;
    for (const auto& r : records(table)) {
        EXPECT_TRUE(out.emplace(r.key().value(), r).second) << "key twice: " << r.key().value();
    }
    return out;
}

template <class Table>
class CounterTableTest : public ::testing::Test {
  protected:
    using Tr = TableTraits<Table>;
    using Record = typename Tr::Record;
    using Ops = typename Tr::Ops;
    using Contents = std::map<uint64_t, Record>;

    // Records whose fields all differ from each other and from other keys' (the Wide record
    // is its key only).
    static Record rec(uint64_t key, uint64_t n) { return Records<Ops>::make(key, n); }

    // A table named "T" in the root directory "sys", mounted as a writer of `size` slots.
    struct Placed {
        Orlo::Ptr<Orlo::Directory> dir;
        Orlo::Ptr<Table> table;
    };
    Placed writer(uint32_t size = 1000, const char* dirName = "sys") {
        Placed p{Orlo::Directory::DirectoryIs(dirName), Tr::factory("T")};
        p.dir->entityIs(p.table);
        p.table->counterControl()->mount(Vesk::MapDescriptor(size));
        EXPECT_EQ(p.table->counter.mountStatus(), 1u);
        return p;
    }
    // Another table of the same path, mounted as a reader; the writer's files exist, so it is
    // attached when mount returns.
    Placed reader(const char* dirName = "sys") {
        Placed p{Orlo::Directory::DirectoryIs(dirName), Tr::factory("T")};
        p.dir->entityIs(p.table);
        p.table->counterControl()->mount(Vesk::MapDescriptor(1000, Vesk::reader));
        EXPECT_EQ(p.table->counter.mountStatus(), 1u) << "the reader did not attach";
        return p;
    }

    std::string tableFile(const std::string& file) const {
        return root_.path("sys/T/counter/" + file);
    }
    static bool exists(const std::string& path) { return std::filesystem::exists(path); }

    // Reads every record back through a reader table and compares with `expected`; also each
    // key through lookup.
    void expectReadBack(const Contents& expected) {
        Placed r = reader();
        EXPECT_EQ(contents(*r.table), expected);
        for (const auto& [key, record] : expected) {
            Record got{};
            EXPECT_TRUE(lookup(*r.table, key, got)) << key;
            EXPECT_EQ(got, record) << key;
        }
        r.dir->entityDelAll();
    }

    TestRoot root_;
};
TYPED_TEST_SUITE(CounterTableTest, Tables, TableName);

// ----- creation and the unmounted table -----

TYPED_TEST(CounterTableTest, FactoryAndCreatorMakeATableThatWorksInProcessMemory) {
    using Tr = typename TestFixture::Tr;
    using Record = typename TestFixture::Record;
    const Counts before = Counts::now();
    for (auto make : {&Tr::factory, &Tr::creator}) {
        Orlo::Ptr<TypeParam> t = make("T");
        ASSERT_TRUE(t);
        EXPECT_EQ(t->references(), 1u);
        EXPECT_TRUE(t->hasNotificationActive());
        EXPECT_EQ(t->name(), Orlo::String("T"));
        EXPECT_EQ(t->fwkType().typeIndex, Tr::kTypeIndex);
        EXPECT_FALSE(t->parent());
        EXPECT_EQ(t->counter.mapName(), "T/counter");
        EXPECT_EQ(t->counter.classType(), Tr::kClass);
        ASSERT_TRUE(t->counterControl());
        EXPECT_EQ(t->counterControl()->map(), &t->counter);
        EXPECT_TRUE(t->counter.keyNotifications());

        // A local writer in process memory: a writer that reports not mounted.
        auto* local = dynamic_cast<Vesk::Tmp<typename Tr::Ops>*>(&t->counter.interface());
        ASSERT_NE(local, nullptr);
        EXPECT_EQ(t->counter.interface().type(), Vesk::writer);
        EXPECT_EQ(t->counter.mountStatus(), 0u);
        EXPECT_FALSE(t->counter.initialized());

        for (uint64_t k = 1; k <= 40; ++k) {
            t->counterIs(this->rec(k, k));
        }
        t->counterIs(this->rec(7, 700));
        EXPECT_EQ(t->counterDel(CounterIndex(8)), this->rec(8, 8));
        Record got{};
        ASSERT_TRUE(lookup(*t, 7, got));
        EXPECT_EQ(got, this->rec(7, 700));
        EXPECT_FALSE(lookup(*t, 8, got));
        EXPECT_EQ(got, Record{});
        EXPECT_EQ(contents(*t).size(), 39u);
        t->counterDelAll();
        EXPECT_TRUE(records(*t).empty());
    }
    // Calls are counted in process memory as well: 2 x (40 + 1) writes, 2 deletes.
    EXPECT_EQ(Counts::now().since(before), (Counts{82, 2, 84}));
    // Nothing of an unmounted table lives in files.
    EXPECT_TRUE(std::filesystem::is_empty(this->root_.dir()));
}

TYPED_TEST(CounterTableTest, ParentingRenamesTheMapAndEmptiesItOnce) {
    TraceCapture traces;
    auto handler = Pimbo::Platform::getDebugHandler("VeskTemp");
    const uint16_t mask = handler->levelMask();
    handler->levelMaskIs(mask | (1u << 5));

    auto sys = Orlo::Directory::DirectoryIs("sys");
    auto ports = Orlo::Directory::DirectoryIs("ports");
    sys->entityIs(ports);
    Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
    for (uint64_t k = 1; k <= 10; ++k) {
        t->counterIs(this->rec(k, k));
    }
    {
        // Regression: a new local writer that could not be built left the front without any.
        Orlo::Ptr<TypeParam> u = TableTraits<TypeParam>::factory("U");
        u->counterIs(this->rec(1, 1));
        Mem::Atomics::simulateMissingSupportIs(true);
        EXPECT_THROW(ports->entityIs(u), Pimbo::InvalidInitializeException);
        Mem::Atomics::simulateMissingSupportIs(false);
        EXPECT_EQ(records(*u).size(), 1u) << "the old local writer is gone";
        ports->entityDelAll();
    }
    ports->entityIs(t);
    handler->levelMaskIs(mask);
    EXPECT_EQ(t->counter.mapName(), "/sys/ports/T/counter");
    EXPECT_TRUE(traces.contains(5, "OrloVeskMap", "old:T/counter new:/sys/ports/T/counter"));
    // Records written before the parent came are gone with the old local writer.
    EXPECT_TRUE(records(*t).empty());
    EXPECT_NE(dynamic_cast<Vesk::Tmp<typename TestFixture::Ops>*>(&t->counter.interface()),
              nullptr);
    t->counterIs(this->rec(3, 33));

    // A move to another directory is a second parent assignment.
    auto other = Orlo::Directory::DirectoryIs("other");
    try {
        other->entityIs(t);
        ADD_FAILURE() << "a second parent was accepted";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(), "Entity T already initialized");
    }
    // The new name stands; the records of the first parenting stay.
    EXPECT_EQ(t->counter.mapName(), "/other/T/counter");
    typename TestFixture::Record got{};
    EXPECT_TRUE(lookup(*t, 3, got));
    EXPECT_EQ(got, this->rec(3, 33));
    other->entityDelAll();
    sys->entityDelAll();
    ports->entityDelAll();
}

// ----- the mounted writer -----

TYPED_TEST(CounterTableTest, MountedWriterKeepsItsRecordsInTheFilesOfItsFullPath) {
    using Record = typename TestFixture::Record;
    auto w = this->writer();
    TypeParam& t = *w.table;
    EXPECT_EQ(t.counter.mapName(), "/sys/T/counter");
    EXPECT_EQ(t.counter.interface().type(), Vesk::writer);
    for (const char* file : {"slots", "buckets", "cinder", "owner"}) {
        EXPECT_TRUE(this->exists(this->tableFile(file))) << file;
    }
    EXPECT_FALSE(this->exists(this->root_.path("T/counter")));

    typename TestFixture::Contents expected;
    for (uint64_t k = 1; k <= 300; ++k) {
        t.counterIs(this->rec(k * 7919, k));
        expected[k * 7919] = this->rec(k * 7919, k);
    }
    for (uint64_t k = 1; k <= 300; k += 3) {
        t.counterIs(this->rec(k * 7919, k + 1000));
        expected[k * 7919] = this->rec(k * 7919, k + 1000);
    }
    for (uint64_t k = 2; k <= 300; k += 5) {
        EXPECT_EQ(t.counterDel(CounterIndex(k * 7919)), expected[k * 7919]);
        expected.erase(k * 7919);
    }
    // Direct writes: a new key and an update of an existing one, each completed by commit.
    Record* fresh = t.counter.interface().directWrite(this->rec(5, 55));
    ASSERT_NE(fresh, nullptr);
    t.counterCommit(fresh);
    expected[5] = this->rec(5, 55);
    Record changed = expected[7919];
    Records<typename TestFixture::Ops>::change(changed, 424242);
    Record* area = t.counter.interface().directUpdate(CounterIndex(7919));
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(*area, expected[7919]) << "directUpdate starts from the stored record";
    *area = changed;
    t.counterCommit(area);
    expected[7919] = changed;
    EXPECT_EQ(t.counter.interface().directUpdate(CounterIndex(6)), nullptr);

    EXPECT_EQ(contents(t), expected);
    this->expectReadBack(expected);

    t.counterDelAll();
    EXPECT_TRUE(records(t).empty());
    this->expectReadBack({});
    w.dir->entityDelAll();
}

TYPED_TEST(CounterTableTest, ReaderInTheSameProcessSeesLaterWritesAtOnce) {
    using Record = typename TestFixture::Record;
    auto w = this->writer();
    w.table->counterIs(this->rec(1, 1));
    auto r = this->reader();
    Record got{};
    ASSERT_TRUE(lookup(*r.table, 1, got));
    EXPECT_EQ(got, this->rec(1, 1));
    EXPECT_FALSE(lookup(*r.table, 2, got));
    EXPECT_EQ(got, Record{});

    w.table->counterIs(this->rec(2, 20));
    w.table->counterIs(this->rec(1, 10));
    EXPECT_EQ(w.table->counterDel(CounterIndex(2)), this->rec(2, 20));
    w.table->counterIs(this->rec(3, 30));
    ASSERT_TRUE(lookup(*r.table, 1, got));
    EXPECT_EQ(got, this->rec(1, 10));
    EXPECT_FALSE(lookup(*r.table, 2, got));
    ASSERT_TRUE(lookup(*r.table, 3, got));
    EXPECT_EQ(got, this->rec(3, 30));

    // A reader table refuses writes; the call is counted all the same, and nobody is told.
    auto observer = observe(r.table);
    const Counts before = Counts::now();
    try {
        r.table->counterIs(this->rec(9, 9));
        ADD_FAILURE() << "a reader accepted a write";
    } catch (const Pimbo::NoPermissionException& e) {
        EXPECT_EQ(e.msg(), "write to read-only Vesk table /sys/T/counter value:" +
                               this->rec(9, 9).veskString().str());
    }
    try {
        r.table->counterDel(CounterIndex(1));
        ADD_FAILURE() << "a reader accepted a removal";
    } catch (const Pimbo::NoPermissionException& e) {
        EXPECT_EQ(e.msg(), "remove to read-only Vesk table /sys/T/counter key: 1");
    }
    EXPECT_EQ(Counts::now().since(before), (Counts{1, 1, 0}));
    EXPECT_TRUE(observer->keys.empty());
    EXPECT_FALSE(lookup(*w.table, 9, got));
    r.dir->entityDelAll();
    w.dir->entityDelAll();
}

// ----- observers and event counters -----

TYPED_TEST(CounterTableTest, EveryCallIsCountedAndEveryChangedKeyNotified) {
    using Record = typename TestFixture::Record;
    // Once in process memory, once mounted.
    for (bool mounted : {false, true}) {
        SCOPED_TRACE(mounted ? "mounted" : "unmounted");
        auto dir = Orlo::Directory::DirectoryIs("sys");
        Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
        if (mounted) {
            dir->entityIs(t);
            t->counterControl()->mount(Vesk::MapDescriptor(1000));
        }
        auto observer = observe(t);

        Counts before = Counts::now();
        t->counterIs(this->rec(10, 1));
        t->counterIs(this->rec(11, 2));
        t->counterIs(this->rec(10, 3));  // overwrite
        EXPECT_EQ(Counts::now().since(before), (Counts{3, 0, 3}));
        EXPECT_EQ(observer->keys, (std::vector<uint64_t>{10, 11, 10}));

        // A present key: the whole stored record back, one notification.
        before = Counts::now();
        EXPECT_EQ(t->counterDel(CounterIndex(10)), this->rec(10, 3));
        EXPECT_EQ(Counts::now().since(before), (Counts{0, 1, 1}));
        EXPECT_EQ(observer->keys.back(), 10u);

        // An absent key: zeros, counted, nobody told.
        observer->keys.clear();
        before = Counts::now();
        EXPECT_EQ(t->counterDel(CounterIndex(10)), Record{});
        EXPECT_EQ(t->counterDel(CounterIndex(12345)), Record{});
        EXPECT_EQ(Counts::now().since(before), (Counts{0, 2, 0}));
        EXPECT_TRUE(observer->keys.empty());

        // A commit counts as counterIs and notifies the record's key.
        before = Counts::now();
        Record* area = t->counter.interface().directWrite(this->rec(20, 5));
        t->counterCommit(area);
        EXPECT_EQ(Counts::now().since(before), (Counts{1, 0, 1}));
        EXPECT_EQ(observer->keys, (std::vector<uint64_t>{20}));

        // counterNotify on its own tells the key and counts one notification.
        before = Counts::now();
        t->counterNotify(CounterIndex(77));
        EXPECT_EQ(Counts::now().since(before), (Counts{0, 0, 1}));
        EXPECT_EQ(observer->keys.back(), 77u);
        EXPECT_TRUE(observer->others.empty());
        dir->entityDelAll();
    }
}

TYPED_TEST(CounterTableTest, CounterDelAllNotifiesInIterationOrderOnlyWhenObserved) {
    for (bool mounted : {false, true}) {
        SCOPED_TRACE(mounted ? "mounted" : "unmounted");
        auto dir = Orlo::Directory::DirectoryIs("sys");
        Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
        if (mounted) {
            dir->entityIs(t);
            t->counterControl()->mount(Vesk::MapDescriptor(1000));
        }
        const uint64_t n = mounted ? 500 : 90;

        // Empty: nothing at all.
        Counts before = Counts::now();
        t->counterDelAll();
        EXPECT_EQ(Counts::now().since(before), Counts{});

        // Without observers: silent and uncounted, and the table ends empty.
        for (uint64_t k = 0; k < n; ++k) {
            t->counterIs(this->rec(k * 31 + 1, k));
        }
        before = Counts::now();
        t->counterDelAll();
        EXPECT_EQ(Counts::now().since(before), Counts{});
        EXPECT_TRUE(records(*t).empty());

        // With an observer: one full counterDel per record, in the order iteration gives.
        for (uint64_t k = 0; k < n; ++k) {
            t->counterIs(this->rec(k * 31 + 1, k));
        }
        std::vector<uint64_t> order;
        for (const auto& r : records(*t)) {
            order.push_back(r.key().value());
        }
        ASSERT_EQ(order.size(), n);
        auto observer = observe(t);
        before = Counts::now();
        t->counterDelAll();
        EXPECT_EQ(Counts::now().since(before), (Counts{0, n, n}));
        EXPECT_EQ(observer->keys, order);
        EXPECT_TRUE(records(*t).empty());

        // An observer that goes away leaves the clearing silent again.
        t->notifieeList().deleteMember(t.get(), observer.get());
        t->counterIs(this->rec(1, 1));
        before = Counts::now();
        t->counterDelAll();
        EXPECT_EQ(Counts::now().since(before), Counts{});
        dir->entityDelAll();
    }
}

// Regression: counterDel returned its scratch record after notifying, so an observer that
// removed another key from inside the notification changed what the caller got back.
TYPED_TEST(CounterTableTest, ObserverWritingToTheTableCannotChangeWhatCounterDelReturns) {
    auto w = this->writer();
    TypeParam& t = *w.table;
    t.counterIs(this->rec(1, 100));
    t.counterIs(this->rec(2, 200));
    auto observer = observe(w.table);
    bool busy = false;
    observer->onKey = [&](const CounterIndex& key) {
        if (busy || key.value() != 1) {
            return;
        }
        busy = true;
        t.counterDel(CounterIndex(2));   // overwrites the table's scratch record
        t.counterIs(this->rec(1, 111));  // and puts another record under the key
        busy = false;
    };
    EXPECT_EQ(t.counterDel(CounterIndex(1)), this->rec(1, 100));
    EXPECT_EQ(observer->keys, (std::vector<uint64_t>{1, 2, 1}));
    typename TestFixture::Record got{};
    EXPECT_TRUE(lookup(t, 1, got));
    EXPECT_EQ(got, this->rec(1, 111));
    EXPECT_FALSE(lookup(t, 2, got));
    w.dir->entityDelAll();
}

TYPED_TEST(CounterTableTest, ControlChangesAreNotifiedButNewsStayWithTheFirstControl) {
    auto dir = Orlo::Directory::DirectoryIs("sys");
    Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
    dir->entityIs(t);
    auto observer = observe(t);
    const Orlo::Ptr<OrloVesk::CollectionControl> first = t->counterControl();

    t->counterControlIs(first);
    EXPECT_TRUE(observer->others.empty()) << "the same control was notified";

    Orlo::Ptr<OrloVesk::CollectionControl> second(new OrloVesk::CollectionControl(&t->counter));
    t->counterControlIs(second);
    EXPECT_EQ(observer->others, (std::vector<uint32_t>{kCounterControlAttribute}));
    EXPECT_EQ(t->counterControl(), second);
    EXPECT_TRUE(observer->keys.empty());

    // Mounted through the new control, the map still reports to the one made with the table.
    second->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(first->historyString(), "quiesced:true mountStatus:mounted");
    EXPECT_TRUE(second->history().empty()) << second->historyString();
    second->unmount();
    EXPECT_EQ(first->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");
    EXPECT_EQ(first->mountStatus(), OrloPlinth::MountStatus(0));
    EXPECT_FALSE(first->quiesced());

    t->counterControlIs(nullptr);
    EXPECT_EQ(observer->others, (std::vector<uint32_t>{259, 259}));
    EXPECT_FALSE(t->counterControl());
    dir->entityDelAll();

    // Regression: once nothing outside held the first control or a table handed to another
    // control, the news went to the freed first control.
    Orlo::Ptr<TypeParam> u = TableTraits<TypeParam>::factory("U");
    Orlo::Ptr<OrloVesk::CollectionControl> holder(new OrloVesk::CollectionControl(&u->counter));
    u->counterControlIs(holder);
    u.reset();
    holder->mount(Vesk::MapDescriptor(1000));
    holder->unmount();
    EXPECT_EQ(holder->historyString(), "entityRef:set");
}

// ----- failures -----

TYPED_TEST(CounterTableTest, CorruptionFoundByAWriteReachesTheCallerAndLeavesTheMarker) {
    TraceCapture traces;  // the level-0 reports of the damaged table
    auto w = this->writer();
    TypeParam& t = *w.table;
    for (uint64_t k = 1; k <= 40; ++k) {
        t.counterIs(this->rec(k, k));
    }
    // A slot linked into a chain loses its OCCUPIED bit, as a stray write would leave it.
    VeskTest::RawTable raw;
    raw.slots = VeskTest::readFile(this->tableFile("slots"));
    raw.buckets = VeskTest::readFile(this->tableFile("buckets"));
    raw.slotSize = VeskTest::rd<uint32_t>(raw.slots, VeskTest::Off::kSlotSize);
    raw.headerSize = 576 + raw.slotSize;
    std::vector<VeskTest::RawSlot> chain;
    ASSERT_EQ(raw.walkChains(chain), "");
    ASSERT_EQ(chain.size(), 40u);
    const VeskTest::RawSlot victim = chain[17];
    const uint64_t flagsAt =
        raw.headerSize + uint64_t(victim.id) * raw.slotSize + VeskTest::Off::kFlags;
    VeskTest::pwriteValue<uint32_t>(this->tableFile("slots"), flagsAt, victim.flags & ~1u);
    const std::string expected = fmt::format("slotId: {} not marked as occupied", victim.id);

    auto observer = observe(w.table);
    Counts before = Counts::now();
    try {
        t.counterIs(this->rec(victim.key, 99));
        ADD_FAILURE() << "the damaged chain was not noticed";
    } catch (const Pimbo::CorruptionDetectedException& e) {
        EXPECT_EQ(e.msg(), expected);
    }
    EXPECT_EQ(Counts::now().since(before), (Counts{1, 0, 0}));
    EXPECT_EQ(t.counter.corruptionsDetected(), 1u);
    const std::string marker = this->tableFile(Vesk::Util::kCorruptionFileName);
    ASSERT_TRUE(this->exists(marker));
    const std::vector<unsigned char> text = VeskTest::readFile(marker);
    EXPECT_EQ(std::string(text.begin(), text.end()), expected + "\n");

    before = Counts::now();
    EXPECT_THROW(t.counterDel(CounterIndex(victim.key)), Pimbo::CorruptionDetectedException);
    EXPECT_EQ(Counts::now().since(before), (Counts{0, 1, 0}));
    EXPECT_EQ(t.counter.corruptionsDetected(), 2u);
    EXPECT_TRUE(observer->keys.empty());

    // Repaired, the table works again.
    VeskTest::pwriteValue<uint32_t>(this->tableFile("slots"), flagsAt, victim.flags);
    t.counterIs(this->rec(victim.key, 99));
    EXPECT_EQ(observer->keys, (std::vector<uint64_t>{victim.key}));
    w.dir->entityDelAll();
}

TYPED_TEST(CounterTableTest, OrphanAnswersAsAnEmptyUnmountedTable) {
    using Record = typename TestFixture::Record;
    auto w = this->writer();
    const Orlo::Ptr<OrloVesk::CollectionControl> control = w.table->counterControl();
    w.table->counterIs(this->rec(1, 1));
    w.dir->entityDel("T");
    EXPECT_FALSE(w.table->parent());
    EXPECT_EQ(w.table->counter.mapName(), "T/counter");
    EXPECT_FALSE(w.table->counter.initialized());
    EXPECT_FALSE(w.table->counter.hasMounter());
    EXPECT_EQ(w.table->counter.mountStatus(), 0u);
    EXPECT_EQ(w.table->counter.interface().type(), Vesk::reader);
    EXPECT_EQ(control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");
    Record got{};
    EXPECT_FALSE(lookup(*w.table, 1, got));
    EXPECT_EQ(got, Record{});
    EXPECT_TRUE(records(*w.table).empty());
    EXPECT_THROW(w.table->counterIs(this->rec(2, 2)), Pimbo::NoPermissionException);
    // The files stay behind for the next writer of the path.
    EXPECT_TRUE(this->exists(this->tableFile("slots")));
    auto next = this->writer(1000, "sys");
    EXPECT_TRUE(lookup(*next.table, 1, got));
    next.dir->entityDelAll();
}

// ----- zero references and teardown -----

enum class State { unmounted, parented, writer, reader, orphan };
enum class Order { tableFirst, controlFirst, directoryFirst };

const char* toString(State s) {
    switch (s) {
        case State::unmounted:
            return "unmounted";
        case State::parented:
            return "parented";
        case State::writer:
            return "writer";
        case State::reader:
            return "reader";
        case State::orphan:
            return "orphan";
    }
    return "?";
}
const char* toString(Order o) {
    switch (o) {
        case Order::tableFirst:
            return "table first";
        case Order::controlFirst:
            return "control first";
        case Order::directoryFirst:
            return "directory first";
    }
    return "?";
}

template <class T>
uint64_t live() {
    return Orlo::AllocTrackTypeInfo::liveCount(typeid(T));
}

TYPED_TEST(CounterTableTest, LastOutsideReferenceHandsTheTableToItsControl) {
    using Record = typename TestFixture::Record;
    const uint64_t tables = live<TypeParam>();
    const uint64_t controls = live<OrloVesk::CollectionControl>();
    Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
    Orlo::Ptr<OrloVesk::CollectionControl> control = t->counterControl();
    TypeParam* raw = t.get();
    t->counterIs(this->rec(1, 1));
    EXPECT_EQ(live<TypeParam>(), tables + 1);

    t.reset();
    EXPECT_EQ(live<TypeParam>(), tables + 1) << "the control did not keep the table";
    ASSERT_EQ(control->entityRef().get(), raw);
    EXPECT_EQ(control->history().back().toString(), "entityRef:set");
    EXPECT_FALSE(raw->counterControl());
    EXPECT_EQ(raw->references(), 1u);
    // Still a working table, and the control still mounts its map.
    raw->counterIs(this->rec(2, 2));
    Record got{};
    EXPECT_TRUE(lookup(*raw, 1, got));
    control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(raw->counter.mountStatus(), 1u);
    EXPECT_TRUE(this->exists(this->root_.path("T/counter/slots")));
    raw->counterIs(this->rec(3, 3));

    // Letting the table go destroys it; the control forgets the map with it.
    control->entityRefIs(nullptr);
    EXPECT_EQ(live<TypeParam>(), tables);
    EXPECT_EQ(control->map(), nullptr);
    EXPECT_THROW(control->mount(Vesk::MapDescriptor(1000)), Pimbo::InvalidInitializeException);
    control.reset();
    EXPECT_EQ(live<OrloVesk::CollectionControl>(), controls);
    // The writer's files stay behind, released for the next writer.
    EXPECT_TRUE(this->exists(this->root_.path("T/counter/slots")));
    Orlo::Ptr<TypeParam> next = TableTraits<TypeParam>::factory("T");
    next->counterControl()->mount(Vesk::MapDescriptor(1000));
    EXPECT_TRUE(lookup(*next, 3, got));
    EXPECT_EQ(got, this->rec(3, 3));
}

TYPED_TEST(CounterTableTest, TableWithoutAControlIsDestroyedWithItsLastReference) {
    const uint64_t tables = live<TypeParam>();
    const uint64_t controls = live<OrloVesk::CollectionControl>();
    for (bool mounted : {false, true}) {
        SCOPED_TRACE(mounted ? "mounted" : "unmounted");
        Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
        Orlo::Ptr<OrloVesk::CollectionControl> control = t->counterControl();
        if (mounted) {
            control->mount(Vesk::MapDescriptor(1000));
            t->counterIs(this->rec(5, 5));
        }
        t->counterControlIs(nullptr);
        t.reset();
        EXPECT_EQ(live<TypeParam>(), tables);
        EXPECT_FALSE(control->entityRef());
        EXPECT_EQ(control->map(), nullptr) << "the control kept the map of a destroyed table";
        EXPECT_THROW(control->unmount(), Pimbo::InvalidInitializeException);
        control.reset();
        EXPECT_EQ(live<OrloVesk::CollectionControl>(), controls);
    }
    // The mounted one released its files.
    Orlo::Ptr<TypeParam> next = TableTraits<TypeParam>::factory("T");
    next->counterControl()->mount(Vesk::MapDescriptor(1000));
    typename TestFixture::Record got{};
    EXPECT_TRUE(lookup(*next, 5, got));
}

TYPED_TEST(CounterTableTest, EveryStateTearsDownInEveryReleaseOrder) {
    using Record = typename TestFixture::Record;
    const uint64_t tables = live<TypeParam>();
    const uint64_t controls = live<OrloVesk::CollectionControl>();
    // The writer that the reader state reads from, in a directory of its own.
    auto source = this->writer(1000, "sys");
    source.table->counterIs(this->rec(42, 42));

    for (State state :
         {State::unmounted, State::parented, State::writer, State::reader, State::orphan}) {
        for (Order order : {Order::tableFirst, Order::controlFirst, Order::directoryFirst}) {
            SCOPED_TRACE(std::string(toString(state)) + ", " + toString(order));
            // The writer states use a path of their own so the source keeps its files.
            auto dir = Orlo::Directory::DirectoryIs(state == State::reader ? "sys" : "own");
            Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::factory("T");
            Orlo::Ptr<OrloVesk::CollectionControl> control = t->counterControl();
            TypeParam* raw = t.get();
            if (state != State::unmounted) {
                dir->entityIs(t);
            }
            if (state == State::writer || state == State::orphan) {
                control->mount(Vesk::MapDescriptor(1000));
                t->counterIs(this->rec(7, 7));
            }
            if (state == State::reader) {
                control->mount(Vesk::MapDescriptor(1000, Vesk::reader));
                Record got{};
                EXPECT_TRUE(lookup(*t, 42, got));
            }
            if (state == State::orphan) {
                dir->entityDel("T");
            }
            const bool heldByDirectory = dir->entities() != 0;

            switch (order) {
                case Order::tableFirst:
                    t.reset();
                    if (heldByDirectory) {
                        EXPECT_FALSE(control->entityRef());
                    } else {
                        EXPECT_EQ(control->entityRef().get(), raw);
                        EXPECT_FALSE(raw->counterControl());
                    }
                    EXPECT_EQ(live<TypeParam>(), tables + 2);
                    control.reset();
                    EXPECT_EQ(live<TypeParam>(), tables + (heldByDirectory ? 2 : 1));
                    dir->entityDelAll();
                    dir.reset();
                    break;
                case Order::controlFirst:
                    control.reset();
                    EXPECT_EQ(live<OrloVesk::CollectionControl>(), controls + 2)
                        << "the table lost its control";
                    t.reset();
                    dir->entityDelAll();
                    dir.reset();
                    break;
                case Order::directoryFirst:
                    dir->entityDelAll();
                    dir.reset();
                    EXPECT_EQ(live<TypeParam>(), tables + 2);
                    t.reset();
                    EXPECT_EQ(control->entityRef().get(), raw);
                    control.reset();
                    break;
            }
            EXPECT_EQ(live<TypeParam>(), tables + 1) << "only the source table may be left";
            EXPECT_EQ(live<OrloVesk::CollectionControl>(), controls + 1);
        }
    }
    // The source table kept its records through all of it.
    Record got{};
    EXPECT_TRUE(lookup(*source.table, 42, got));
    source.dir->entityDelAll();
    source.dir.reset();
    source.table.reset();
    EXPECT_EQ(live<TypeParam>(), tables);
    EXPECT_EQ(live<OrloVesk::CollectionControl>(), controls);
}

}  // namespace
