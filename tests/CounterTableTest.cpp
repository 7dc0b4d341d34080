// The counter tables and their map fronts: made, parented, mounted, written, observed, released.
#include "Mem/Atomics.h"
#include "Pimbo/EventLoop.h"
#include "Zolt/ConduitAcceptSm.h"
#include "support/Tables.h"

#include <unistd.h>

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

namespace {

using namespace DravoCounters::FlexCounters2;
using Control = OrloVesk::CollectionControl;
using VeskTest::thrown;

// The record stored under `key`, if any; a miss must answer the zero record.
template <class Map>
std::optional<typename Map::Value> lookup(Map& m, uint64_t key) {
    bool found = true;
    typename Map::Value buffer{};
    const typename Map::Value got = *m.safeLookup(CounterIndex(key), found, &buffer);
    EXPECT_TRUE(found || got == typename Map::Value{}) << "a miss answered a record";
    return found ? std::optional(got) : std::nullopt;
}
// Every record in iteration order (the binding's iterator), by key; `order` gets the keys.
template <class Table>
auto contents(Table& t, std::vector<uint64_t>* order = nullptr) {
    std::map<uint64_t, typename Table::Map::Value> out;
    typename Table::Map::IteratorConst it(&t.counter);
    for (bool valid = it.valid(); valid && out.size() <= 100000; valid = it.advance()) {
        EXPECT_TRUE(out.emplace(it.value().key().value(), it.value()).second) << "key twice";
        if (order != nullptr)
            order->push_back(it.value().key().value());
    }
    return out;
}

// The tables' three event counters since `before`: counterIs, counterDel, counterNotify.
using Counts = std::array<uint64_t, 3>;
Counts since(const Counts& before = {}) {
    const Hova::EventWriter& w = Hova::writer();
    return {w.value("counterIs") - before[0], w.value("counterDel") - before[1],
            w.value("counterNotify") - before[2]};
}

// Keeps the key of every notification of attribute `counter` (258) in arrival order.
struct Observer : Orlo::Notifiee {
    void listen(Orlo::Entity* table) { table->notifieeList().newMember(table, this); }
    void onAttribute(uint32_t id, const void* key) override {
        if (id == 258)
            keys.push_back(static_cast<const CounterIndex*>(key)->value());
        if (id == 258 && onKey)
            onKey(keys.back());
    }
    std::vector<uint64_t> keys;
    std::function<void(uint64_t)> onKey;
};

template <class T>
uint64_t live() {
    return Orlo::AllocTrackTypeInfo::liveCount(typeid(T));
}

using D = Vesk::MapDescriptor;
D desc(uint32_t size, Vesk::VeskType type, std::initializer_list<uint8_t D::*> flags = {}) {
    D d(size, type);
    for (uint8_t D::*flag : flags)
        d.*flag = 1;
    return d;
}
const D kWriter(1000);
const D kReader(1000, Vesk::reader);

// A table "T" in a new root "sys" (map /sys/T/counter, shared by all), mounted with `d` if any.
template <class Table = CounterTableNormal>
struct Placed {
    explicit Placed(const D* d = nullptr, Orlo::Ptr<Table> made = Table::create("T"))
        : table(made) {
        dir->entityIs(table);
        if (d != nullptr)
            control->mount(*d);
    }
    ~Placed() { dir->entityDelAll(); }
    Table* operator->() const { return table.get(); }
    std::string history() const { return control->historyString(); }
    std::string state() {
        auto& m = table->counter;
        return fmt::format("initialized:{} sentry:{} mountStatus:{} {}", m.initialized(),
                           m.hasMounter(), m.mountStatus(),
                           Vesk::veskTypeName(m.interface().type()));
    }
    Orlo::Ptr<Orlo::Directory> dir = Orlo::Directory::DirectoryIs("sys");
    Orlo::Ptr<Table> table;
    Orlo::Ptr<Control> control = table->counterControl();
};

struct Factory {
    static auto of(CounterEntrySimpleOps) { return &counterTableSimpleFactory; }
    static auto of(CounterEntryNormalOps) { return &counterTableNormalFactory; }
    static auto of(CounterEntryWideOps) { return &counterTableWideFactory; }
    static auto of(CounterEntryBitmap64Ops) { return &counterTableBitmap64Factory; }
};

class CounterTableTest : public ::testing::Test {
  protected:
    bool exists(const std::string& file) const {
        return std::filesystem::exists(root_.path("sys/T/counter/" + file));
    }
    VeskTest::TestRoot root_;
};
template <class Ops>
class CounterTableTyped : public CounterTableTest {};
TYPED_TEST_SUITE(CounterTableTyped, VeskTest::AllKinds);

// A factory's table, local (even as a reader), makes no files; a reader sees a writer's records.
TYPED_TEST(CounterTableTyped, WritesAndReadsBack) {
    using Ops = typename TypeParam::Ops;
    using K = VeskTool::Kind<Ops>;
    using Table = typename decltype(Factory::of(Ops{})(""))::element_type;
    std::map<uint64_t, typename K::Value> expected;
    for (uint64_t k = 1; k <= 300; ++k)
        expected[k * 7919] = K::make(k * 7919, k);
    const D local = desc(0, Vesk::reader, {&D::localMem, &D::heap});
    Placed<Table> l(&local, Factory::of(Ops{})("T"));
    for (const auto& [key, record] : expected)
        l->counterIs(record);
    EXPECT_EQ(contents(*l.table), expected);
    EXPECT_TRUE(std::filesystem::is_empty(this->root_.dir())) << "a local table made files";

    Placed<Table> w(&kWriter);
    Placed<Table> r(&kReader);
    for (const auto& [key, record] : expected)
        w->counterIs(record);
    EXPECT_EQ(contents(*r.table), expected);
}

using Table = CounterTableNormal;
using Record = CounterEntryNormal;
using Ops = CounterEntryNormalOps;
Record rec(uint64_t key, uint64_t n) {
    return VeskTool::Kind<Ops>::make(key, n);
}
std::map<uint64_t, Record> fill(Table& t, uint64_t n) {
    std::map<uint64_t, Record> written;
    for (uint64_t k = 1; k <= n; ++k)
        t.counterIs(written[k * 101] = rec(k * 101, k));
    return written;
}
constexpr const char* kUnmounted = "initialized:false sentry:false mountStatus:0 reader";

// A table mounted as a shadow (opted in with notify) of a writer that publishes: the first sync
// is no news to its observers (their callbacks wait for it), then they hear every key the writer
// changed, in order (a key changed twice before the shadow looked is heard once, with its latest
// record); the table answers from its copy.
TEST_F(CounterTableTest, ShadowNotifiesInOrder) {
    const D publishing = desc(1000, Vesk::writer, {&D::notify});
    Placed<> w(&publishing);
    const auto written = fill(*w.table, 30);
    Placed<> s;
    Orlo::Ptr<Observer> o = new Observer;
    o->listen(s.table.get());
    s->counter.notifyingIs(true);
    s.control->mount(desc(1000, Vesk::shadow, {&D::notify}));
    auto settle = [&] {
        for (int i = 0; i < 2000 && !(s->counter.mountStatus() == 2 && s->counter.quiesced()); ++i)
            Pimbo::eventLoop().poll(5);
        return s->counter.mountStatus() == 2 && s->counter.quiesced();
    };
    ASSERT_TRUE(settle());
    EXPECT_TRUE(o->keys.empty());
    EXPECT_EQ(contents(*s.table), written);
    for (const uint64_t k : {303, 707, 5, 303, 909}) {
        if (k == 909)
            w->counterDel(CounterIndex(k));
        else
            w->counterIs(rec(k, 99));
    }
    ASSERT_TRUE(settle());
    EXPECT_EQ(o->keys, std::vector<uint64_t>({303, 707, 5, 909}));
    EXPECT_EQ(contents(*s.table), contents(*w.table));
}

// Repeated or refused inits change nothing (not even cleanupFirst); cleanup removes the files.
TEST_F(CounterTableTest, InitRefusals) {
    VeskTest::TraceCapture traces(0);
    const D clean = desc(1000, Vesk::writer, {&D::cleanupFirst});
    Placed<> p(&clean);
    const auto written = fill(*p.table, 30);
    p.control->mount(clean);
    const D other = desc(2000, Vesk::writer, {&D::cleanupFirst});
    EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&] { p.control->mount(other); }),
              fmt::format("name:/sys/T/counter already initialized, old {}, new {}",
                          clean.toString(), other.toString()));
    EXPECT_EQ(
        p.state() + " " + p.history(),
        "initialized:true sentry:true mountStatus:1 writer quiesced:true mountStatus:mounted");
    EXPECT_EQ(contents(*p.table), written) << "a repeated or refused init cleaned the table up";
    EXPECT_EQ(p->counter.writerCounters().slotAllocations, 30u);
    p.control->unmount();
    EXPECT_EQ(p->counter.writerCounters().slotAllocations, 30u)
        << "the totals went with the writer";
    EXPECT_THROW(p->counter.validateVersionAnchor(), Mem::VersionMismatchException);
    const std::string shadow =
        "cannot initialize collection /sys/T/counter with DummyRuxaWriter not supported in ";
    const std::pair<D, std::string> refusals[] = {
        {desc(1000, Vesk::writer, {&D::heap, &D::cleanupFirst}),
         "cannot initialize collection /sys/T/counter heap allocation in non-local mode not "
         "allowed"},
        {desc(0, Vesk::writer, {&D::cleanupFirst}),
         "0 is not a valid initialization size for collection /sys/T/counter in writer mode"},
        {desc(1000, Vesk::shadow, {&D::synchronous, &D::cleanupFirst}), shadow + "shadow mode"},
        {desc(1000, Vesk::shadow, {&D::localMem, &D::cleanupFirst}), shadow + "shadow mode"},
        // Asynchronous, with notifications on: the key callbacks are set aside first.
        {desc(1000, Vesk::keyshadow, {&D::cleanupFirst}), shadow + "keyshadow mode"},
    };
    p->counter.notifyingIs(true);
    const std::string unmounted = p.state() + " " + p.history();  // the unmount's news told
    EXPECT_EQ(unmounted, std::string(kUnmounted) + " quiesced:true mountStatus:mounted " +
                             "quiesced:false mountStatus:notMounted");
    for (const auto& [d, text] : refusals) {
        EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&, &d = d] { p.control->mount(d); }),
                  text);
        EXPECT_EQ(p.state() + " " + p.history(), unmounted) << text;
        EXPECT_TRUE(exists("slots")) << text;
    }
    EXPECT_FALSE(p->counter.keyNotifications());
    p.control->mount(clean);
    EXPECT_TRUE(contents(*p.table).empty()) << "cleanupFirst kept the records";
    // Regression: each detach wrapped the placeholder again; cleanup then reported corruption.
    fill(*p.table, 20);
    p->counter.detach(true);
    auto* first = dynamic_cast<Vesk::VeskDummy<Ops>*>(&p->counter.interface());
    p->counter.detach(true);
    EXPECT_EQ(&p->counter.interface(), first) << "the placeholder was wrapped again";
    p->counter.cleanupAndDetach();
    while (Pimbo::eventLoop().poll(0)) {  // what the sentry has to say
    }
    for (const char* file : {"slots", "buckets", "cinder", "owner"})
        EXPECT_FALSE(exists(file)) << file;
    EXPECT_EQ(p.state(), kUnmounted);
    p.dir->entityDelAll();
    EXPECT_EQ(traces.text, "");
}

// Regressions: a refused writer stayed half made, a throwing sentry outlived its init.
TEST_F(CounterTableTest, SecondWriterGetsPlaceholder) {
    Placed<> owner(&kWriter);
    Placed<> second;
    const auto written = fill(*owner.table, 40);
    const std::string refusal =
        thrown<Pimbo::InvalidInitializeException>([&] { second.control->mount(kWriter); });
    EXPECT_NE(refusal.find("/sys/T/counter is owned by another live writer"), std::string::npos)
        << refusal;
    EXPECT_EQ(second.state() + second.history(), kUnmounted);
    // A reader whose sentry throws at its first event (the attach) keeps no sentry. Regression:
    // the throwing quiesced callback kept the attach's move from being told at all.
    Vesk::VeskMap<Ops> map(Ops{}, "/sys/T/counter");
    map.callbacks().onQuiesced = [](bool) { throw std::runtime_error("attach refused"); };
    std::vector<Vesk::MountStatus> told;
    map.callbacks().onMountStatus = [&] { told.push_back(map.mountStatus()); };
    EXPECT_THROW(map.init(kReader), std::runtime_error);
    EXPECT_FALSE(map.hasMounter());
    EXPECT_EQ(told, std::vector<Vesk::MountStatus>{1});
    map.callbacks().onQuiesced = [](bool) {};
    map.init(kReader);
    EXPECT_EQ(lookup(map, 101), written.at(101));
    // The owner file names the live writer; an unmounted writer clears itself from it.
    EXPECT_EQ(second->counter.owner(),
              fmt::format("{}:{}", Zolt::ConduitAcceptSm::socketName(), ::getpid()));
    owner.control->unmount();
    EXPECT_EQ(owner->counter.owner(), ":0");
    second.control->mount(kWriter);
    EXPECT_EQ(contents(*second.table), written);
}

using VeskMapDeathTest = CounterTableTest;

TEST_F(VeskMapDeathTest, FatalMisuse) {
    Vesk::VeskMap<Ops> map(Ops{}, "/sys/M/counter");
    EXPECT_DEATH(map.cleanupAndDetach(), "/sys/M/counter trying to cleanup uninitialized vesk");
    EXPECT_DEATH(map.init(D(1000, Vesk::VeskType(9))), "not a valid reader type:9");
    map.init(kWriter);
    EXPECT_DEATH(map.notifyingIs(true), "not allowed at this time");
    Placed<> p;
    EXPECT_DEATH(p.control->mount(Vesk::MapDescriptor(1000, Vesk::shadow)),
                 "notifications unexpectedly disabled prior to initialization with asynchronous");
    const D d = desc(1000, Vesk::writer, {&D::assertOnOrphanAccess});
    p.control->mount(d);
    p.dir->entityDel("T");
    EXPECT_EQ(p->counter.mountStatus(), 0u);  // answered without a fault
    EXPECT_DEATH(lookup(p->counter, 1), "you're trying to operate on an orphan vesk entity");
    EXPECT_DEATH(p.control->mount(d), "Re-initializing .* already become an orphan");
}

// Every call is counted and every changed key told (counterDelAll's only when observed); a write
// refused by a reader, or by a corruption (a chained slot not OCCUPIED), tells nobody.
TEST_F(CounterTableTest, CountsAndNotifies) {
    VeskTest::TraceCapture traces;  // the level-0 reports of the damaged table
    Placed<> p(&kWriter);
    Orlo::Ptr<Observer> observer = new Observer;
    const uint64_t n = 500;
    for (bool observed : {false, true}) {
        fill(*p.table, n);
        std::vector<uint64_t> order;
        contents(*p.table, &order);
        if (observed)
            observer->listen(p.table.get());
        const Counts before = since();
        p->counterDelAll();
        EXPECT_EQ(since(before), (observed ? Counts{0, n, n} : Counts{})) << observed;
        EXPECT_EQ(observer->keys, observed ? order : std::vector<uint64_t>{});
        EXPECT_TRUE(contents(*p.table).empty());
    }
    observer->keys.clear();
    const Counts before = since();
    p->counterIs(rec(10, 1));
    p->counterIs(rec(11, 2));
    p->counterIs(rec(10, 3));
    EXPECT_EQ(p->counterDel(CounterIndex(10)), rec(10, 3));
    EXPECT_EQ(p->counterDel(CounterIndex(10)), Record{}) << "absent: zeros, nobody told";
    p->counterCommit(p->counter.interface().directWrite(rec(20, 5)));
    Record* area = p->counter.interface().directUpdate(CounterIndex(11));
    ASSERT_NE(area, nullptr);
    *area = rec(11, 7);
    p->counterCommit(area);
    p->counterNotify(CounterIndex(77));
    EXPECT_EQ(since(before), (Counts{5, 2, 7}));
    EXPECT_EQ(observer->keys, (std::vector<uint64_t>{10, 11, 10, 10, 20, 11, 77}));
    EXPECT_EQ(contents(*p.table), (std::map<uint64_t, Record>{{11, rec(11, 7)}, {20, rec(20, 5)}}));

    // Regression: counterDel answered what an observer's own counterDel left in its scratch.
    observer->onKey = [&](uint64_t key) {
        if (key == 20)
            p->counterDel(CounterIndex(11));
    };
    EXPECT_EQ(p->counterDel(CounterIndex(20)), rec(20, 5));
    Placed<> r(&kReader);
    fill(*p.table, 40);
    using W = Vesk::VeskWriter<Ops>;
    auto& writer = dynamic_cast<W&>(p->counter.interface());
    const uint32_t id = VeskTest::slotIdOf(writer, 1717);  // marked free below
    VeskTest::pwriteValue(VeskTest::slotsPath(writer),
                          VeskTest::slotOffset<W>(id, VeskTest::Off::kFlags), 4u);
    observer->listen(r.table.get());
    observer->keys.clear();
    const Counts refused = since();
    EXPECT_THROW(r->counterIs(rec(9, 9)), Pimbo::NoPermissionException);
    EXPECT_THROW(r->counterDel(CounterIndex(9)), Pimbo::NoPermissionException);
    EXPECT_EQ(thrown<Pimbo::CorruptionDetectedException>([&] { p->counterIs(rec(1717, 9)); }),
              fmt::format("slotId: {} not marked as occupied", id));
    EXPECT_THROW(p->counterDel(CounterIndex(1717)), Pimbo::CorruptionDetectedException);
    EXPECT_EQ(since(refused), (Counts{2, 2, 0}));
    EXPECT_TRUE(observer->keys.empty());
    EXPECT_EQ(p->counter.corruptionsDetected(), 2u);
    // A reader front reports the damage and answers "absent" or ends its iteration there.
    EXPECT_EQ(lookup(r->counter, 1717), std::nullopt);
    EXPECT_LT(contents(*r.table).size(), 40u);
    EXPECT_EQ(r->counter.corruptionsDetected(), 2u);
    EXPECT_GT(r->counter.readerCounters().lookups, 0u);
    EXPECT_THROW(p->counterDelAll(), Pimbo::CorruptionDetectedException);
    EXPECT_FALSE(p->counter.validate());
    EXPECT_TRUE(p->counter.validateFiles("T", 1)) << "the files themselves are whole";
}

// The first parent renames and empties the map (unmounting it); a second parent is refused.
TEST_F(CounterTableTest, Parenting) {
    Placed<> sys;
    // Regression: a local writer that could not be built left the front without any.
    Orlo::Ptr<Table> u = Table::create("U");
    u->counterIs(rec(1, 1));
    Mem::Atomics::simulateMissingSupportIs(true);
    EXPECT_THROW(sys.dir->entityIs(u), Pimbo::InvalidInitializeException);
    Mem::Atomics::simulateMissingSupportIs(false);
    EXPECT_TRUE(lookup(u->counter, 1)) << "the old local writer is gone";
    sys.dir->entityDel("U");
    Orlo::Ptr<Table> t = Table::create("T2");
    t->counterControl()->mount(kWriter);
    t->counterIs(rec(3, 3));
    sys.dir->entityIs(t);
    EXPECT_FALSE(t->counter.initialized()) << "the mounted front was not unmounted first";
    EXPECT_TRUE(contents(*t).empty());
    t->counterIs(rec(4, 4));
    auto other = Orlo::Directory::DirectoryIs("other");
    EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&] { other->entityIs(t); }),
              "Entity T2 already initialized");
    EXPECT_TRUE(lookup(t->counter, 4)) << "a second parent emptied the table";
    other->entityDelAll();  // it holds T2 since the refused move
}

// Every state released in every order (AddressSanitizer shows any touch of freed memory): the last
// outside reference hands the table to its control, which keeps it until it lets go; without a
// control, or without notification, the last reference deletes it.
TEST_F(CounterTableTest, TearDown) {
    const uint64_t tables = live<Table>();
    const uint64_t controls = live<Control>();
    enum State { unmounted, parented, writer, reader, orphan };
    enum Order { tableFirst, controlFirst, directoryFirst, controlLetsGo, noControl, noNotify };
    Placed<> source(&kWriter);  // what the reader state reads
    source->counterIs(rec(42, 42));
    for (int state = unmounted; state <= orphan; ++state) {
        for (int order = tableFirst; order <= noNotify; ++order) {
            SCOPED_TRACE(fmt::format("state {} order {}", state, order));
            auto dir = Orlo::Directory::DirectoryIs(state == reader ? "sys" : "own");
            Orlo::Ptr<Table> t = Table::create("T");
            Orlo::Ptr<Control> control = t->counterControl();
            Table* raw = t.get();
            if (state != unmounted)
                dir->entityIs(t);
            if (state == writer || state == orphan || state == reader)
                control->mount(state == reader ? kReader : kWriter);
            if (state != parented && state != reader)
                t->counterIs(rec(42, 42));
            if (state == orphan)
                dir->entityDel("T");
            EXPECT_EQ(lookup(t->counter, 42).has_value(), state != parented && state != orphan)
                << "an orphan answers";
            const bool held = dir->entities() != 0;
            if (order == noControl)
                t->counterControlIs(nullptr);
            if (order == noNotify)
                t->hasNotificationActiveIs(false);
            if (order == controlFirst) {
                control.reset();
                EXPECT_EQ(live<Control>(), controls + 2) << "the table lost its control";
            }
            if (order >= directoryFirst)
                dir->entityDelAll();
            t.reset();
            if (order >= noControl) {
                EXPECT_EQ(live<Table>(), tables + 1) << "the last reference kept the table";
                EXPECT_THROW(control->unmount(), Pimbo::InvalidInitializeException);
            } else if (control) {
                EXPECT_EQ(control->entityRef().get(), held && order == tableFirst ? nullptr : raw);
            }
            if (order == controlLetsGo && state == unmounted) {  // still usable through it
                EXPECT_TRUE(lookup(raw->counter, 42));
                control->mount(kWriter);
                raw->counterIs(rec(3, 3));
            }
            if (order == controlLetsGo) {
                control->entityRefIs(nullptr);
                EXPECT_THROW(control->mount(kWriter), Pimbo::InvalidInitializeException);
            }
            control.reset();
            dir->entityDelAll();
            EXPECT_EQ(live<Table>(), tables + 1);
            EXPECT_EQ(live<Control>(), controls + 1);
        }
    }
    Orlo::Ptr<Table> next = Table::create("T");  // the released files are free for the next writer
    next->counterControl()->mount(kWriter);
    EXPECT_TRUE(lookup(next->counter, 3));
    next.reset();
    // Regression: the first control was freed while the map still sent it news (use after free).
    Orlo::Ptr<Table> u = Table::create("U");
    Orlo::Ptr<Control> control = new Control(&u->counter);
    u->counterControlIs(control);
    u.reset();
    EXPECT_EQ(live<Control>(), controls + 3) << "the control the news go to is gone";
    control->mount(kWriter);
    control->unmount();
    EXPECT_EQ(control->historyString(), "entityRef:set") << "the news went to another control";
}

}  // namespace
