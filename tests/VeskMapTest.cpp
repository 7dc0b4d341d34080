// Tests of the map front and its table binding through the life of a table: every refusal of
// init with its message, re-initialisation, unmounting and mounting again, a writer refused
// because another writer owns the files, a reader that waits for its writer and attaches from
// the event loop or at once through tryAttach, the order of the quiesced and mount-status news,
// the owner of the files, a mounted front that gets its parent, and orphans.
#include "WriterTestUtil.h"

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/Debug.h"
#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "TestRoot.h"
#include "Vesk/VeskMap.h"
#include "Zolt/ConduitAcceptSm.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace DravoCounters::FlexCounters2;
using VeskTest::Records;
using VeskTest::TestRoot;
using VeskTest::TraceCapture;

constexpr const char* kOrphanSuffix =
    ". If you're seeing this, you're trying to operate on an orphan vesk entity";
constexpr const char* kPath = "/sys/T/counter";

template <class Table>
struct TableTraits;

#define TABLE_TRAITS(Table, Entry)                                                                \
    template <>                                                                                   \
    struct TableTraits<Table> {                                                                   \
        using Record = Entry;                                                                     \
        using Ops = Entry##Ops;                                                                   \
        static constexpr const char* kName = #Table;                                              \
        static Orlo::Ptr<Table> make(const Orlo::String& name) { return Table::Table##Is(name); } \
    }
TABLE_TRAITS(CounterTableSimple, CounterEntrySimple);
TABLE_TRAITS(CounterTableNormal, CounterEntryNormal);
TABLE_TRAITS(CounterTableWide, CounterEntryWide);
TABLE_TRAITS(CounterTableBitmap64, CounterEntryBitmap64);
#undef TABLE_TRAITS

using Tables = ::testing::Types<CounterTableSimple, CounterTableNormal, CounterTableWide,
                                CounterTableBitmap64>;
struct TableName {
    template <class Table>
    static std::string GetName(int) {
        return TableTraits<Table>::kName;
    }
};

// Runs everything the sentries have to say.
void pollEvents() {
    while (Pimbo::eventLoop().poll(0)) {
    }
}

// Enables one trace level of a handler while alive.
class LevelOn {
  public:
    LevelOn(Pimbo::Platform::DebugHandler& handler, unsigned level)
        : handler_(handler), mask_(handler.levelMask()) {
        handler_.levelMaskIs(uint16_t(mask_ | (1u << level)));
    }
    ~LevelOn() { handler_.levelMaskIs(mask_); }

  private:
    Pimbo::Platform::DebugHandler& handler_;
    uint16_t mask_;
};

template <class Table>
class VeskMapTest : public ::testing::Test {
  protected:
    using Tr = TableTraits<Table>;
    using Record = typename Tr::Record;
    using Ops = typename Tr::Ops;

    static Record rec(uint64_t key, uint64_t n) { return Records<Ops>::make(key, n); }

    // A table named "T" in a new root directory "sys" (so its map is /sys/T/counter), not
    // mounted. Several of them in one process share the path and so the files.
    struct Placed {
        Orlo::Ptr<Orlo::Directory> dir;
        Orlo::Ptr<Table> table;
        Orlo::Ptr<OrloVesk::CollectionControl> control;

        Table* operator->() const { return table.get(); }
        ~Placed() {
            if (dir) {
                dir->entityDelAll();
            }
        }
    };
    static std::unique_ptr<Placed> place(const char* dirName = "sys") {
        auto p = std::make_unique<Placed>();
        p->dir = Orlo::Directory::DirectoryIs(dirName);
        p->table = Tr::make("T");
        p->control = p->table->counterControl();
        p->dir->entityIs(p->table);
        return p;
    }
    static std::unique_ptr<Placed> writer(uint32_t size = 1000) {
        auto p = place();
        p->control->mount(Vesk::MapDescriptor(size));
        return p;
    }
    static Vesk::MapDescriptor readerDescriptor() {
        return Vesk::MapDescriptor(1000, Vesk::reader);
    }

    static bool find(Table& t, uint64_t key, Record& out) {
        bool found = true;
        Record buffer{};
        out = *t.counter.safeLookup(CounterIndex(key), found, &buffer);
        return found;
    }
    // Every record of the table by key.
    static std::map<uint64_t, Record> contents(Table& t) {
        std::map<uint64_t, Record> out;
        typename Table::Map::IteratorConst it(&t.counter);
        for (bool valid = it.valid(); valid && out.size() <= 100000; valid = it.advance()) {
            out.emplace(it.value().key().value(), it.value());
        }
        return out;
    }
    static std::map<uint64_t, Record> fill(Table& t, uint64_t n, uint64_t round = 0) {
        std::map<uint64_t, Record> written;
        for (uint64_t k = 1; k <= n; ++k) {
            t.counterIs(rec(k * 101, k + round));
            written[k * 101] = rec(k * 101, k + round);
        }
        return written;
    }

    std::string file(const std::string& name, const std::string& table = "sys/T/counter") const {
        return root_.path(table + "/" + name);
    }
    static bool exists(const std::string& path) { return std::filesystem::exists(path); }

    TestRoot root_;
};
TYPED_TEST_SUITE(VeskMapTest, Tables, TableName);

// ----- init -----

TYPED_TEST(VeskMapTest, EveryRefusalOfInitNamesTheTableAndChangesNothing) {
    auto p = this->place();
    auto& map = (*p)->counter;
    (*p)->counterIs(this->rec(1, 1));  // in the local writer

    auto refusal = [&](const Vesk::MapDescriptor& d) -> std::string {
        try {
            p->control->mount(d);
        } catch (const Pimbo::InvalidInitializeException& e) {
            return e.msg();
        }
        return "accepted";
    };
    Vesk::MapDescriptor heap(1000);
    heap.heap = 1;
    EXPECT_EQ(refusal(heap),
              "cannot initialize collection /sys/T/counter heap allocation in non-local mode not "
              "allowed");
    EXPECT_EQ(refusal(Vesk::MapDescriptor(0)),
              "0 is not a valid initialization size for collection /sys/T/counter in writer mode");
    for (const auto& [type, text] :
         {std::pair{Vesk::shadow, "shadow"}, std::pair{Vesk::keyshadow, "keyshadow"}}) {
        Vesk::MapDescriptor d(1000, type);
        d.synchronous = 1;
        EXPECT_EQ(refusal(d), fmt::format("cannot initialize collection /sys/T/counter with "
                                          "DummyRuxaWriter not supported in {} mode",
                                          text));
        d.localMem = 1;
        EXPECT_EQ(refusal(d), fmt::format("cannot initialize collection /sys/T/counter with "
                                          "DummyRuxaWriter not supported in {} mode",
                                          text));
    }
    // Nothing happened: the local writer with its record is still in place, and no file exists.
    EXPECT_FALSE(map.initialized());
    EXPECT_FALSE(map.hasMounter());
    EXPECT_EQ(map.mountStatus(), 0u);
    typename TestFixture::Record got{};
    EXPECT_TRUE(this->find(*p->table, 1, got));
    EXPECT_TRUE(p->control->history().empty()) << p->control->historyString();
    EXPECT_TRUE(std::filesystem::is_empty(this->root_.dir()));

    // An asynchronous shadow with notifications on is refused the same way; its key callbacks
    // are set aside first.
    map.notifyingIs(true);
    EXPECT_EQ(refusal(Vesk::MapDescriptor(1000, Vesk::shadow)),
              "cannot initialize collection /sys/T/counter with DummyRuxaWriter not supported in "
              "shadow mode");
    EXPECT_FALSE(map.keyNotifications());

    // A valid descriptor is accepted afterwards.
    EXPECT_EQ(refusal(Vesk::MapDescriptor(1000)), "accepted");
    EXPECT_EQ(map.mountStatus(), 1u);
}

TYPED_TEST(VeskMapTest, ReInitWithAnEqualDescriptorOnlyTracesAndAnotherIsRefused) {
    TraceCapture traces;
    Vesk::MapDescriptor d(1000);
    d.cleanupFirst = 1;
    auto p = this->place();
    p->control->mount(d);
    auto& map = (*p)->counter;
    const auto written = this->fill(*p->table, 50);
    const std::string history = p->control->historyString();
    EXPECT_EQ(history, "quiesced:true mountStatus:mounted");

    {
        LevelOn level5(map.debugHandler(), 5);
        p->control->mount(d);
    }
    EXPECT_TRUE(traces.contains(5, "VeskMap",
                                fmt::format("name:{} already initialized, new {}", kPath, d)));
    EXPECT_EQ(p->control->historyString(), history);
    EXPECT_EQ(this->contents(*p->table), written) << "a repeated init cleaned the table up";

    Vesk::MapDescriptor other(2000);
    other.cleanupFirst = 1;
    try {
        p->control->mount(other);
        ADD_FAILURE() << "a changed descriptor was accepted";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(),
                  fmt::format("name:{} already initialized, old {}, new {}", kPath, d, other));
    }
    // The first mode stays, with its records and its files.
    EXPECT_EQ(map.descriptor(), d);
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_EQ(map.interface().type(), Vesk::writer);
    EXPECT_TRUE(map.hasMounter());
    EXPECT_EQ(this->contents(*p->table), written) << "a refused init cleaned the table up";
    EXPECT_TRUE(this->exists(this->file("slots")));
    EXPECT_EQ(p->control->historyString(), history);
}

// A refused init must not remove files either when the front is not initialized: after an
// unmount the placeholder still forwards cleanup to the detached writer.
TYPED_TEST(VeskMapTest, RefusedInitWithCleanupFirstKeepsTheDetachedWritersFiles) {
    auto p = this->writer();
    const auto written = this->fill(*p->table, 30);
    p->control->unmount();
    Vesk::MapDescriptor heap(1000);
    heap.heap = 1;
    heap.cleanupFirst = 1;
    EXPECT_THROW(p->control->mount(heap), Pimbo::InvalidInitializeException);
    EXPECT_TRUE(this->exists(this->file("slots"))) << "a refused init removed the files";
    p->control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(this->contents(*p->table), written);
}

// Regression: a second detach (the sentry after an unmount, say) wrapped the placeholder in
// another placeholder each time.
TYPED_TEST(VeskMapTest, ASecondDetachKeepsOnePlaceholderOverTheWriter) {
    using Ops = typename TableTraits<TypeParam>::Ops;
    auto p = this->writer();
    this->fill(*p->table, 3);
    auto& front = p->table->counter;
    front.detach(true);
    auto* first = dynamic_cast<Vesk::VeskDummy<Ops>*>(&front.interface());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(dynamic_cast<Vesk::VeskWriter<Ops>*>(first->wrapped()), nullptr);
    front.detach(true);
    EXPECT_EQ(&front.interface(), first) << "the placeholder was wrapped again";
    EXPECT_TRUE(front.cleanup()) << "cleanup still reaches the detached writer";
    EXPECT_FALSE(this->exists(this->file("slots")));
}

TYPED_TEST(VeskMapTest, UnmountThenMountAgainReusesTheFilesOrCleansThemFirst) {
    auto p = this->writer();
    auto& map = (*p)->counter;
    const auto written = this->fill(*p->table, 60);
    p->control->unmount();
    EXPECT_EQ(p->control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");
    EXPECT_FALSE(map.initialized());
    EXPECT_FALSE(map.hasMounter());
    EXPECT_EQ(map.mountStatus(), 0u);
    EXPECT_EQ(map.interface().type(), Vesk::reader) << "not a placeholder";
    typename TestFixture::Record got{};
    EXPECT_FALSE(this->find(*p->table, 101, got));
    EXPECT_EQ(got, typename TestFixture::Record{});
    EXPECT_THROW((*p)->counterIs(this->rec(1, 1)), Pimbo::NoPermissionException);
    EXPECT_TRUE(this->exists(this->file("slots")));

    // The same descriptor again: accepted, and the writer takes its files back.
    p->control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_EQ(this->contents(*p->table), written);
    EXPECT_EQ(p->control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted "
              "quiesced:true mountStatus:mounted");

    // cleanupFirst on an accepted init removes the old files through the placeholder.
    p->control->unmount();
    Vesk::MapDescriptor clean(1000);
    clean.cleanupFirst = 1;
    p->control->mount(clean);
    EXPECT_TRUE(this->contents(*p->table).empty());
    EXPECT_TRUE(this->exists(this->file("slots")));
    (*p)->counterIs(this->rec(5, 5));
    EXPECT_TRUE(this->find(*p->table, 5, got));
}

// Cleaning up a live writer removes every file of the table and unmounts; a removed owner file
// is what cleanup meant, not corruption to report.
TYPED_TEST(VeskMapTest, CleanupAndDetachRemovesTheFilesWithoutReportingCorruption) {
    TraceCapture traces;
    auto p = this->writer();
    this->fill(*p->table, 20);
    (*p)->counter.cleanupAndDetach();
    for (const char* file : {"slots", "buckets", "cinder", "owner"}) {
        EXPECT_FALSE(this->exists(this->file(file))) << file;
    }
    EXPECT_FALSE((*p)->counter.initialized());
    EXPECT_FALSE((*p)->counter.hasMounter());
    EXPECT_EQ((*p)->counter.mountStatus(), 0u);
    EXPECT_EQ(p->control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");
    p.reset();
    for (const auto& r : traces.records()) {
        EXPECT_NE(r.level, 0u) << r.className << ": " << r.message;
    }
}

TYPED_TEST(VeskMapTest, LocalMemoryInitMakesAWriterWithoutFilesOrSentry) {
    auto p = this->place();
    auto& map = (*p)->counter;
    Vesk::MapDescriptor d(1000);
    d.localMem = 1;
    d.heap = 1;
    p->control->mount(d);
    EXPECT_TRUE(map.initialized());
    EXPECT_TRUE(map.localMem());
    EXPECT_FALSE(map.hasMounter());
    EXPECT_EQ(map.interface().type(), Vesk::writer);
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_EQ(p->control->historyString(), "quiesced:true mountStatus:mounted");
    const auto written = this->fill(*p->table, 200);
    EXPECT_EQ(this->contents(*p->table), written);
    EXPECT_TRUE(std::filesystem::is_empty(this->root_.dir()));

    // A reader type in local memory is a writer too; it is not announced, and its size is not
    // checked.
    auto q = this->place("local");
    Vesk::MapDescriptor r(0, Vesk::reader);
    r.localMem = 1;
    q->control->mount(r);
    EXPECT_EQ((*q)->counter.interface().type(), Vesk::writer);
    EXPECT_TRUE(q->control->history().empty()) << q->control->historyString();
    (*q)->counterIs(this->rec(3, 3));
    typename TestFixture::Record got{};
    EXPECT_TRUE(this->find(*q->table, 3, got));
    EXPECT_EQ(got, this->rec(3, 3));
    EXPECT_TRUE(std::filesystem::is_empty(this->root_.dir()));
}

// Regression: a writer whose initialize threw (the files belong to another live writer) stayed
// installed half made; the front now holds a placeholder and can be mounted later.
TYPED_TEST(VeskMapTest, WriterRefusedBecauseAnotherLiveWriterOwnsTheFilesLeavesAPlaceholder) {
    auto owner = this->writer();
    const auto written = this->fill(*owner->table, 40);
    auto second = this->place();
    auto& map = (*second)->counter;
    try {
        second->control->mount(Vesk::MapDescriptor(1000));
        ADD_FAILURE() << "two writers own one table";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_NE(e.msg().find("is owned by another live writer"), std::string::npos) << e.msg();
        EXPECT_NE(e.msg().find(kPath), std::string::npos) << e.msg();
    }
    EXPECT_FALSE(map.initialized());
    EXPECT_FALSE(map.hasMounter());
    EXPECT_EQ(map.mountStatus(), 0u);
    ASSERT_EQ(map.interface().type(), Vesk::reader) << "the front kept the failed writer";
    typename TestFixture::Record got{};
    EXPECT_FALSE(this->find(*second->table, 101, got));
    EXPECT_THROW((*second)->counterIs(this->rec(1, 1)), Pimbo::NoPermissionException);
    EXPECT_TRUE(second->control->history().empty()) << second->control->historyString();
    // The owner was not disturbed.
    EXPECT_EQ(this->contents(*owner->table), written);
    (*owner)->counterIs(this->rec(7, 7));

    // Once the owner lets go, the second front mounts and takes the records over.
    owner->control->unmount();
    second->control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_TRUE(this->find(*second->table, 7, got));
    EXPECT_EQ(got, this->rec(7, 7));
}

// A sentry that throws from its first event (here: the attach it makes raises from the
// quiesced callback) is deleted before the exception leaves init, so the next init does not
// find a stale sentry.
TYPED_TEST(VeskMapTest, SentryThatThrowsDuringInitIsGoneBeforeTheNextInit) {
    using Ops = typename TestFixture::Ops;
    auto owner = this->writer();
    (*owner)->counterIs(this->rec(9, 9));

    Vesk::VeskMap<Ops> map(Ops{}, kPath);
    int quiescedCalls = 0;
    map.callbacks().onQuiesced = [&](bool) {
        if (++quiescedCalls == 1) {
            throw std::runtime_error("first attach refused");
        }
    };
    EXPECT_THROW(map.init(this->readerDescriptor()), std::runtime_error);
    EXPECT_FALSE(map.hasMounter());
    EXPECT_FALSE(map.initialized());

    map.init(this->readerDescriptor());
    EXPECT_TRUE(map.hasMounter());
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_EQ(quiescedCalls, 2);
    bool found = false;
    typename TestFixture::Record buffer{};
    EXPECT_EQ(*map.safeLookup(CounterIndex(9), found, &buffer), this->rec(9, 9));
    EXPECT_TRUE(found);
}

// ----- readers -----

TYPED_TEST(VeskMapTest, ReaderBeforeItsWriterWaitsAndAttachesFromTheEventLoop) {
    using Record = typename TestFixture::Record;
    auto r = this->place();
    auto& map = (*r)->counter;
    r->control->mount(this->readerDescriptor());
    EXPECT_TRUE(map.initialized());
    EXPECT_TRUE(map.hasMounter());
    EXPECT_EQ(map.mountStatus(), 0u);
    EXPECT_EQ(map.interface().type(), Vesk::reader);
    EXPECT_FALSE(map.readerFullyAttached());
    Record got = this->rec(1, 1);
    EXPECT_FALSE(this->find(*r->table, 101, got));
    EXPECT_EQ(got, Record{});
    EXPECT_TRUE(this->contents(*r->table).empty());
    EXPECT_TRUE(r->control->history().empty()) << r->control->historyString();
    pollEvents();
    EXPECT_EQ(map.mountStatus(), 0u);

    auto w = this->writer();
    const auto written = this->fill(*w->table, 80);
    // The sentry speaks only from the event loop.
    EXPECT_EQ(map.mountStatus(), 0u);
    pollEvents();
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_EQ(map.interface().type(), Vesk::reader);
    EXPECT_TRUE(map.readerFullyAttached());
    EXPECT_EQ(r->control->historyString(), "quiesced:true mountStatus:mounted");
    EXPECT_EQ(this->contents(*r->table), written);
    EXPECT_TRUE(this->find(*r->table, 101, got));
    EXPECT_EQ(got, written.at(101));

    // The writer goes with its files: the reader is detached and waits again.
    (*w)->counter.cleanupAndDetach();
    pollEvents();
    EXPECT_EQ(map.mountStatus(), 0u);
    EXPECT_FALSE(this->find(*r->table, 101, got));
    EXPECT_EQ(r->control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");
    // A new writer of the path: attached again.
    w->control->mount(Vesk::MapDescriptor(1000));
    (*w)->counterIs(this->rec(4, 44));
    pollEvents();
    EXPECT_EQ(map.mountStatus(), 1u);
    EXPECT_TRUE(this->find(*r->table, 4, got));
    EXPECT_EQ(got, this->rec(4, 44));
    EXPECT_FALSE(this->find(*r->table, 101, got));
}

TYPED_TEST(VeskMapTest, TryAttachAttachesAtOnceWhenTheFilesAreThere) {
    TraceCapture traces;
    auto r = this->place();
    auto& map = (*r)->counter;
    r->control->mount(this->readerDescriptor());
    map.tryAttach();
    EXPECT_EQ(map.mountStatus(), 0u) << "attached without a writer";

    auto w = this->writer();
    (*w)->counterIs(this->rec(6, 6));
    map.tryAttach();
    EXPECT_EQ(map.mountStatus(), 1u);
    typename TestFixture::Record got{};
    EXPECT_TRUE(this->find(*r->table, 6, got));
    EXPECT_TRUE(traces.contains(
        0, "Canary",
        fmt::format("canary: mounted {} mountStatus:1", this->root_.path("sys/T/counter"))));
    // The records the event loop still holds change nothing.
    pollEvents();
    EXPECT_EQ(r->control->historyString(), "quiesced:true mountStatus:mounted");

    {
        LevelOn level5(map.debugHandler(), 5);
        map.tryAttach();
    }
    EXPECT_TRUE(traces.contains(
        5, "VeskMap", fmt::format("{} is already mounted, mountStatus:1", map.rootPath())));
    EXPECT_EQ(r->control->historyString(), "quiesced:true mountStatus:mounted");

    // On a writer it does nothing.
    const std::string before = w->control->historyString();
    (*w)->counter.tryAttach();
    EXPECT_EQ(w->control->historyString(), before);
    EXPECT_EQ((*w)->counter.mountStatus(), 1u);
}

// ----- news and owner -----

// The front's owner(); the binding's owner() (the table) hides it.
template <class Table>
std::string ownerOf(Table& t) {
    Vesk::VeskMap<typename TableTraits<Table>::Ops>& front = t.counter;
    return front.owner();
}

TYPED_TEST(VeskMapTest, OwnerNamesThisProcessWhileTheWriterLives) {
    auto w = this->writer();
    const std::string me =
        fmt::format("{}:{}", Zolt::ConduitAcceptSm::socketName(), uint64_t(::getpid()));
    EXPECT_EQ(ownerOf(*w->table), me);
    // A reader of the table names the same owner.
    auto r = this->place();
    r->control->mount(this->readerDescriptor());
    EXPECT_EQ(ownerOf(*r->table), me);
    // Unmounted, the writer has cleared itself from the owner file.
    w->control->unmount();
    EXPECT_EQ(ownerOf(*w->table), ":0");
}

// Parent handling on a mounted front unmounts it first: the old writer lets its files go and
// its sentry is removed, so the front mounts again under its new name.
TYPED_TEST(VeskMapTest, MountedFrontIsUnmountedBeforeItTakesItsParent) {
    Orlo::Ptr<TypeParam> t = TableTraits<TypeParam>::make("T");
    auto control = t->counterControl();
    control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(t->counter.mapName(), "T/counter");
    t->counterIs(this->rec(8, 8));
    EXPECT_TRUE(this->exists(this->file("slots", "T/counter")));

    auto dir = Orlo::Directory::DirectoryIs("sys");
    dir->entityIs(t);
    EXPECT_EQ(t->counter.mapName(), kPath);
    EXPECT_FALSE(t->counter.initialized());
    EXPECT_FALSE(t->counter.hasMounter());
    EXPECT_EQ(t->counter.mountStatus(), 0u);
    EXPECT_NE(dynamic_cast<Vesk::Tmp<typename TestFixture::Ops>*>(&t->counter.interface()),
              nullptr);
    EXPECT_EQ(control->historyString(),
              "quiesced:true mountStatus:mounted quiesced:false mountStatus:notMounted");

    control->mount(Vesk::MapDescriptor(1000));
    EXPECT_EQ(t->counter.mountStatus(), 1u);
    EXPECT_TRUE(this->exists(this->file("slots")));
    typename TestFixture::Record got{};
    EXPECT_FALSE(this->find(*t, 8, got));

    // The old files are free for another writer of the old name.
    Orlo::Ptr<TypeParam> old = TableTraits<TypeParam>::make("T");
    old->counterControl()->mount(Vesk::MapDescriptor(1000));
    EXPECT_TRUE(this->find(*old, 8, got));
    dir->entityDelAll();
}

// ----- fatal misuse -----

template <class Table>
class VeskMapDeathTest : public VeskMapTest<Table> {};
TYPED_TEST_SUITE(VeskMapDeathTest, Tables, TableName);

TYPED_TEST(VeskMapDeathTest, OrphanWithAssertOnOrphanAccessStopsAtTheNextRead) {
    auto p = this->place();
    Vesk::MapDescriptor d(1000);
    d.assertOnOrphanAccess = 1;
    p->control->mount(d);
    (*p)->counterIs(this->rec(1, 1));
    p->dir->entityDel("T");
    auto& map = (*p)->counter;
    EXPECT_TRUE(map.orphanAssert());
    EXPECT_EQ(map.mapName(), "T/counter");
    EXPECT_EQ(map.mountStatus(), 0u);  // answered without a fault
    typename TestFixture::Record got{};
    EXPECT_DEATH(this->find(*p->table, 1, got), kOrphanSuffix);
    EXPECT_DEATH(map.interface().members(), kOrphanSuffix);
    EXPECT_DEATH(p->control->mount(d),
                 "Re-initializing a collection that has already become an orphan and has "
                 "assertOnOrphanAccess set");
}

TYPED_TEST(VeskMapDeathTest, AsynchronousShadowWithoutNotificationsIsFatal) {
    auto p = this->place();
    EXPECT_DEATH(p->control->mount(Vesk::MapDescriptor(1000, Vesk::shadow)),
                 "notifications unexpectedly disabled prior to initialization with "
                 "asynchronous mode");
}

}  // namespace
