// Tests of the sentries: a reader sentry in this process watches a table's directory with
// inotify and tells a stand-in map to attach when the writer's files appear, to detach when
// they go, and to detach and attach again for a new generation - only from the event loop (or
// from inside its own event operation). A writer sentry tells its writer's front (or answers a
// program without one) when the table's directory or a writer's file was removed under it.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mem/Sentry.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/Debug.h"
#include "Pimbo/EventLoop.h"
#include "Plinth/CinderFile.h"
#include "Vesk/RootPath.h"
#include "WriterTestUtil.h"

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

Pimbo::Platform::DebugHandler& handler() {
    static auto h = Pimbo::Platform::getDebugHandler("SentryTest");
    return *h;
}

// Runs the process's event loop until nothing is left to run.
void settle() {
    while (Pimbo::eventLoop().poll(0)) {
    }
}

// The map side of a reader sentry: records each call and holds the cinder id it attached to.
class StandInMap : public Mem::ReaderSentry::Notifiee {
  public:
    explicit StandInMap(const Vesk::RootPath& path) : path_(path) {}

    bool notifying() override { return true; }
    Plinth::CinderId cinderId() override { return held; }
    void detach(bool deleted) override {
        calls.push_back(fmt::format("detach:{}", deleted));
        attached = false;
        if (onDetach) {
            onDetach();
        }
    }
    void attach(const std::string& event) override {
        calls.push_back("attach:" + event);
        if (!failAttach) {
            held = Plinth::CinderFile(handler(), path_, false).read();
            attached = true;
        }
        if (onAttach) {
            onAttach();
        }
    }
    bool readerFullyAttached() override { return attached; }
    bool localMem() override { return local; }
    std::string modeStr() override { return "reader"; }
    bool disconnectedActiveReader() override { return false; }

    Calls calls;
    bool attached = false;
    bool failAttach = false;
    bool local = false;
    Plinth::CinderId held;
    std::function<void()> onAttach, onDetach;

  private:
    Vesk::RootPath path_;
};

// The writer's side: makes the directory, the files, and writes "cinder" last (by rename).
void publish(const std::string& table, Plinth::CinderId id) {
    const Vesk::RootPath path(handler(), table, true);
    path.ensureDirectory();
    std::ofstream(path.filePath("slots")) << "s";
    std::ofstream(path.filePath("buckets")) << "b";
    Plinth::CinderFile(handler(), path, true).write(id);
}

const std::string kTable = "sys/ports/T/counter";

class ReaderSentryTest : public testing::Test {
  protected:
    void SetUp() override {
        settle();  // nothing of an earlier test may reach this one
        baseline_ = Mem::ReaderSentry::watchedDirectories();
    }

    VeskTest::TestRoot root_;
    size_t baseline_ = 0;
};

TEST_F(ReaderSentryTest, FilesInDirectoriesMadeLaterAttachExactlyOnceFromTheLoop) {
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    EXPECT_TRUE(map.calls.empty());
    EXPECT_EQ(sentry.watchedDirectory(), root_.dir()) << "the nearest existing ancestor";

    fs::create_directory(root_.path("sys"));
    EXPECT_EQ(sentry.watchedDirectory(), root_.dir()) << "nothing moves outside the loop";
    settle();
    EXPECT_EQ(sentry.watchedDirectory(), root_.path("sys")) << "the watch moves down";

    publish(kTable, Plinth::CinderId(7, 1));
    EXPECT_TRUE(map.calls.empty()) << "callbacks come only from the event loop";
    settle();
    EXPECT_EQ(map.calls, Calls{"attach:inotify"});
    EXPECT_EQ(map.held, Plinth::CinderId(7, 1));
    EXPECT_EQ(sentry.watchedDirectory(), path.directory());

    // Changes that leave the same generation in place say nothing.
    std::ofstream(path.filePath("unrelated")) << "x";
    Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true)
        .write(Plinth::CinderId(7, 1));
    settle();
    EXPECT_EQ(map.calls, Calls{"attach:inotify"});
}

TEST_F(ReaderSentryTest, EventAttachesAtOnceWhenTheFilesAlreadyExist) {
    publish(kTable, Plinth::CinderId(3, 3));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("tryAttach", false);
    EXPECT_EQ(map.calls, Calls{"attach:tryAttach"});
    settle();
    sentry.event("tryAttach", false);  // attached: nothing more
    EXPECT_EQ(map.calls, Calls{"attach:tryAttach"});
    EXPECT_EQ(sentry.watchedDirectory(), path.directory());
}

TEST_F(ReaderSentryTest, ANotFullyAttachedMapIsOfferedTheFilesAgain) {
    publish(kTable, Plinth::CinderId(3, 4));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    map.failAttach = true;
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    EXPECT_EQ(map.calls, Calls{"attach:init"});
    map.failAttach = false;

    // A writer at work on "slots" and "buckets" is not a reason to try again: "cinder" is
    // written last.
    const Vesk::RootPath writerPath(handler(), kTable, true);
    std::ofstream(writerPath.filePath("slots")) << "rewritten";
    std::ofstream(writerPath.filePath("buckets")) << "rewritten";
    settle();
    EXPECT_EQ(map.calls, Calls{"attach:init"});

    Plinth::CinderFile(handler(), writerPath, true).write(Plinth::CinderId(3, 5));
    settle();
    EXPECT_EQ(map.calls, (Calls{"attach:init", "attach:inotify"}));
    EXPECT_TRUE(map.attached);
    EXPECT_EQ(map.held, Plinth::CinderId(3, 5));
}

TEST_F(ReaderSentryTest, DeletedFilesDetachAndNewFilesAttachAgain) {
    publish(kTable, Plinth::CinderId(1, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    ASSERT_EQ(map.calls, Calls{"attach:init"});

    // Losing the bucket file alone is not the writer going away.
    fs::remove(path.filePath("buckets"));
    settle();
    EXPECT_EQ(map.calls, Calls{"attach:init"});

    fs::remove(path.filePath("slots"));
    settle();
    EXPECT_EQ(map.calls, (Calls{"attach:init", "detach:true"}));

    publish(kTable, Plinth::CinderId(1, 2));
    settle();
    EXPECT_EQ(map.calls, (Calls{"attach:init", "detach:true", "attach:inotify"}));
    EXPECT_EQ(map.held, Plinth::CinderId(1, 2));

    // The whole directory goes: detach, and the watch moves up to wait for it.
    fs::remove_all(path.directory());
    settle();
    EXPECT_EQ(map.calls.back(), "detach:true");
    EXPECT_EQ(map.calls.size(), 4u);
    EXPECT_EQ(sentry.watchedDirectory(), root_.path("sys/ports/T"));

    publish(kTable, Plinth::CinderId(1, 3));
    settle();
    EXPECT_EQ(map.calls.size(), 5u);
    EXPECT_EQ(map.calls.back(), "attach:inotify");
    EXPECT_EQ(map.held, Plinth::CinderId(1, 3));
    EXPECT_EQ(sentry.watchedDirectory(), path.directory());
}

TEST_F(ReaderSentryTest, ANewCinderIdDetachesThenAttaches) {
    publish(kTable, Plinth::CinderId(5, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    map.calls.clear();

    Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true)
        .write(Plinth::CinderId(5, 2));
    settle();
    EXPECT_EQ(map.calls, (Calls{"detach:true", "attach:inotify"}));
    EXPECT_EQ(map.held, Plinth::CinderId(5, 2));
}

TEST_F(ReaderSentryTest, ADeletedSentryHearsNothingAndLeavesNoWatch) {
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    auto sentry = std::make_unique<Mem::ReaderSentry>(handler(), path, &map);
    sentry->event("init", false);
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_ + 1);
    publish(kTable, Plinth::CinderId(2, 1));  // records queued for the sentry
    sentry.reset();
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_);
    settle();
    EXPECT_TRUE(map.calls.empty());
}

TEST_F(ReaderSentryTest, ASentryDeletedInsideItsCallbackStopsThere) {
    publish(kTable, Plinth::CinderId(4, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    auto sentry = std::make_unique<Mem::ReaderSentry>(handler(), path, &map);
    sentry->event("init", false);
    map.onDetach = [&] { sentry.reset(); };  // the map is unmounted when it detaches
    Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true)
        .write(Plinth::CinderId(4, 2));
    settle();
    EXPECT_EQ(map.calls, (Calls{"attach:init", "detach:true"})) << "no attach after deletion";
    EXPECT_FALSE(sentry);
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_);
}

TEST_F(ReaderSentryTest, SentriesOfOneTableShareAWatchAndLeaveIndependently) {
    publish(kTable, Plinth::CinderId(6, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap first(path), second(path);
    auto a = std::make_unique<Mem::ReaderSentry>(handler(), path, &first);
    Mem::ReaderSentry b(handler(), path, &second);
    a->event("init", false);
    b.event("init", false);
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_ + 1);
    a.reset();
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_ + 1) << "b still watches";

    Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true)
        .write(Plinth::CinderId(6, 2));
    settle();
    EXPECT_EQ(first.calls, Calls{"attach:init"});
    EXPECT_EQ(second.calls, (Calls{"attach:init", "detach:true", "attach:inotify"}));
}

TEST_F(ReaderSentryTest, PurgedRecordsAreReplacedByOneFreshLook) {
    publish(kTable, Plinth::CinderId(8, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);

    fs::remove(path.filePath("slots"));  // its record is queued, then dropped by the purge
    sentry.purgeInotifyRecord();
    settle();
    EXPECT_EQ(map.calls, (Calls{"attach:init", "detach:true"}));

    // A purge with nothing changed calls nothing.
    sentry.purgeInotifyRecord();
    settle();
    EXPECT_EQ(map.calls.size(), 2u);
}

TEST_F(ReaderSentryTest, AClearedStatusMakesTheMapAttachAgain) {
    publish(kTable, Plinth::CinderId(9, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    // The map kept a flushing implementation on detach and cleared the flag.
    sentry.status() = 0;
    sentry.event("tryAttach", false);
    EXPECT_EQ(map.calls, (Calls{"attach:init", "attach:tryAttach"}));
    EXPECT_EQ(sentry.status(), 1);
}

TEST_F(ReaderSentryTest, ATableInLocalMemoryNeedsNoWatch) {
    publish(kTable, Plinth::CinderId(10, 1));
    const Vesk::RootPath path(handler(), kTable, false);
    StandInMap map(path);
    map.local = true;
    Mem::ReaderSentry sentry(handler(), path, &map);
    sentry.event("init", false);
    EXPECT_TRUE(map.calls.empty());
    EXPECT_EQ(sentry.watchedDirectory(), "");
    EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline_);
}

// The map side of a writer sentry: records what it was told was lost.
class StandInWriter : public Mem::WriterSentry::Notifiee {
  public:
    Plinth::CinderId cinderId() override { return Plinth::CinderId(1, 1); }
    bool validate() override { return true; }
    bool validateFiles(const std::string&, unsigned) override { return true; }
    void filesLost(const std::string& what) override { lost.push_back(what); }
    Calls lost;
};

struct Removal {
    const char* name;
    // Done to the published table `dir` (a sentry watches it unless `beforeSentry`).
    std::function<void(const std::string& dir, Mem::WriterSentry* sentry)> act;
    const char* lost;  // "" nothing; "DIR" the table directory; else the file named
    bool beforeSentry = false;
};

TEST(WriterSentry, ReportsItsDirectoryOrAWriterFileRemovedUnderItOnceFromTheLoop) {
    const auto remove = [](const char* file) {
        return [file](const std::string& dir, Mem::WriterSentry*) { fs::remove(dir + "/" + file); };
    };
    const std::vector<Removal> cases = {
        {"directory removed", [](const std::string& d, auto) { fs::remove_all(d); }, "DIR"},
        {"directory moved", [](const std::string& d, auto) { fs::rename(d, d + ".old"); }, "DIR"},
        {"a parent removed",
         [](const std::string& d, auto) { fs::remove_all(fs::path(d).parent_path()); }, "DIR"},
        {"directory gone before the sentry", [](const std::string& d, auto) { fs::remove_all(d); },
         "DIR", true},
        {"slots deleted", remove("slots"), "slots"},
        {"buckets deleted", remove("buckets"), "buckets"},
        {"cinder renamed away",
         [](const std::string& d, auto) { fs::rename(d + "/cinder", d + "/old"); }, "cinder"},
        {"cinder rewritten by its writer",
         [](const std::string&, auto) {
             Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true)
                 .write(Plinth::CinderId(2, 2));
         },
         ""},
        {"another file removed", remove("owner"), ""},
        {"the writer's own cleanup, then a purge",
         [](const std::string& d, Mem::WriterSentry* sentry) {
             fs::remove(d + "/slots");
             fs::remove(d + "/cinder");
             sentry->purgeInotifyRecord();
         },
         ""},
    };
    for (const Removal& c : cases) {
        SCOPED_TRACE(c.name);
        VeskTest::TestRoot root;
        settle();
        const size_t baseline = Mem::ReaderSentry::watchedDirectories();
        publish(kTable, Plinth::CinderId(1, 1));
        std::ofstream(root.path(kTable + "/owner")) << "o";
        const Vesk::RootPath path(handler(), kTable, true);
        StandInWriter writer;
        if (c.beforeSentry)
            c.act(path.directory(), nullptr);
        auto sentry = std::make_unique<Mem::WriterSentry>(handler(), &writer, path);
        EXPECT_EQ(sentry->watching(), !c.beforeSentry);
        if (!c.beforeSentry)
            c.act(path.directory(), sentry.get());
        EXPECT_TRUE(writer.lost.empty()) << "only the event loop reports";
        settle();
        const std::string expected = std::string(c.lost) == "DIR"
                                         ? "table directory " + path.directory()
                                     : *c.lost != '\0' ? path.filePath(c.lost)
                                                       : "";
        EXPECT_EQ(writer.lost, expected.empty() ? Calls{} : Calls{expected});
        EXPECT_EQ(sentry->lostFiles(), expected);
        EXPECT_EQ(sentry->watching(), expected.empty());
        // Then the whole table goes: told now if nothing was before, and never a second time.
        fs::remove_all(root.path("sys"));
        settle();
        EXPECT_EQ(writer.lost.size(), 1u);
        sentry.reset();
        EXPECT_EQ(Mem::ReaderSentry::watchedDirectories(), baseline) << "the watch went with it";
    }
}

// A front's writer whose directory went: it detaches and says so, and a second writer that
// re-created the table at the same path is left alone.
TEST(WriterSentry, AFrontDetachesItsWriterWhenTheDirectoryIsRemoved) {
    using R = VeskTest::Records<DravoCounters::FlexCounters2::CounterEntrySimpleOps>;
    VeskTest::TestRoot root;
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    dir->entityIs(table);
    table->counterControl()->mount(Vesk::MapDescriptor(100));
    table->counterIs(R::make(1, 1));
    const std::string directory = root.path("sys/T/counter");

    VeskTest::TraceCapture traces;
    fs::remove_all(directory);
    settle();
    EXPECT_TRUE(traces.contains(
        0, "VeskMap", "table directory " + directory + " was removed under its writer; detached"));
    EXPECT_EQ(table->counter.mountStatus(), 0u);
    EXPECT_THROW(table->counterIs(R::make(2, 2)), Pimbo::NoPermissionException);

    auto second = VeskTest::makeWriter<DravoCounters::FlexCounters2::CounterEntrySimpleOps>(
        Vesk::MapDescriptor(100), "sys/T/counter");
    ASSERT_TRUE(second->initialize("second"));
    second->write(R::make(3, 3), true);
    EXPECT_THROW(table->counterIs(R::make(4, 4)), Pimbo::NoPermissionException);
    bool found = false;
    second->lookup(DravoCounters::FlexCounters2::CounterIndex(4), found, nullptr);
    EXPECT_FALSE(found);
    EXPECT_TRUE(second->validate());
    dir->entityDelAll();
}

// A program that drives a writer without a front builds the sentry over the writer and asks.
TEST(WriterSentry, OverAWriterWithoutAFrontAnswersWhatWasLost) {
    VeskTest::TestRoot root;
    VeskTest::TraceCapture quiet;  // the writer's detach finds no owner file left, and says so
    auto writer = VeskTest::makeWriter<DravoCounters::FlexCounters2::CounterEntrySimpleOps>(
        Vesk::MapDescriptor(100), kTable);
    ASSERT_TRUE(writer->initialize("fill"));
    Mem::WriterSentry sentry(handler(), *writer);
    settle();
    EXPECT_EQ(sentry.lostFiles(), "");
    fs::remove_all(root.path("sys"));
    settle();
    EXPECT_EQ(sentry.lostFiles(), "table directory " + root.path(kTable));
}

}  // namespace
