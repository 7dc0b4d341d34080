// Reader sentries tell a stand-in map to attach or detach as a table comes, goes or changes
// generation, only from the event loop or event(); a writer sentry reports a removal once.
#include "Mem/Sentry.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/EventLoop.h"
#include "Plinth/CinderFile.h"
#include "Vesk/RootPath.h"
#include "support/Tables.h"

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using Plinth::CinderId;
const std::string kTable = "sys/ports/T/counter";

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("SentryTest");
}

void settle() {  // runs the event loop until nothing is left to run
    while (Pimbo::eventLoop().poll(0)) {
    }
}

void writeCinder(CinderId id) {
    Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, true), true).write(id);
}

// The writer's side: the directory, the files, "cinder" last.
void publish(CinderId id) {
    const Vesk::RootPath path(handler(), kTable, true);
    path.ensureDirectory();
    std::ofstream(path.filePath("slots")) << "s";
    std::ofstream(path.filePath("buckets")) << "b";
    writeCinder(id);
}

// Records each call and holds the cinder id it attached to.
struct StandInMap : Mem::ReaderSentry::Notifiee {
    bool notifying() override { return true; }
    CinderId cinderId() override { return held; }
    void detach(bool deleted) override {
        calls.push_back(fmt::format("detach:{}", deleted));
        attached = false;
        if (onDetach)
            onDetach();
    }
    void attach(const std::string& event) override {
        calls.push_back("attach:" + event);
        if (failAttach)
            throw std::runtime_error("refused");
        held =
            Plinth::CinderFile(handler(), Vesk::RootPath(handler(), kTable, false), false).read();
        attached = true;
    }
    bool readerFullyAttached() override { return attached; }
    bool localMem() override { return local; }
    std::string modeStr() override { return "reader"; }
    bool disconnectedActiveReader() override { return false; }

    Calls calls;
    bool attached = false, failAttach = false, local = false;
    CinderId held;
    std::function<void()> onDetach;
};

struct ReaderSentryTest : testing::Test {
    void SetUp() override {
        settle();  // nothing of an earlier test may reach this one
        baseline_ = Mem::ReaderSentry::watchedDirectories();
    }
    void start(const char* event = "init") {
        sentry_ = std::make_unique<Mem::ReaderSentry>(handler(), path_, &map_);
        sentry_->event(event, false);
    }
    Calls settled() {
        settle();
        return map_.calls;
    }
    size_t watches() const { return Mem::ReaderSentry::watchedDirectories() - baseline_; }

    VeskTest::TestRoot root_;
    const Vesk::RootPath path_{handler(), kTable, false};
    StandInMap map_;
    std::unique_ptr<Mem::ReaderSentry> sentry_;
    size_t baseline_ = 0;
};

TEST_F(ReaderSentryTest, FilesAttachOnceFromTheLoopDeletedOnesDetachANewCinderIdDoesBoth) {
    start();
    EXPECT_EQ(sentry_->watchedDirectory(), root_.dir()) << "the nearest existing ancestor";
    fs::create_directory(root_.path("sys"));
    EXPECT_EQ(sentry_->watchedDirectory(), root_.dir()) << "nothing moves outside the loop";
    settle();
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys"));
    publish(CinderId(7, 1));
    EXPECT_EQ(map_.calls, Calls{}) << "callbacks come only from the event loop";
    EXPECT_EQ(settled(), Calls{"attach:inotify"});
    // Changes that leave the same generation in place say nothing.
    std::ofstream(path_.filePath("unrelated")) << "x";
    writeCinder(CinderId(7, 1));
    EXPECT_EQ(settled(), Calls{"attach:inotify"});
    map_.calls.clear();
    fs::remove(path_.filePath("buckets"));  // alone not the writer going away
    EXPECT_EQ(settled(), Calls{});
    fs::remove(path_.filePath("slots"));
    EXPECT_EQ(settled(), Calls{"detach:true"});
    publish(CinderId(1, 2));
    EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify"}));
    // The directory moves away: detach, and the watch moves up to wait for it.
    fs::rename(path_.directory(), root_.path("moved"));
    map_.calls.clear();
    EXPECT_EQ(settled(), Calls{"detach:true"});
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys/ports/T"));
    publish(CinderId(1, 3));
    EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify"}));
    // A new cinder id: detach, then attach. A map whose attach threw is offered the files again,
    // not while the writer is at work on "slots" and "buckets" but when "cinder" follows.
    map_.failAttach = true;
    map_.calls.clear();
    writeCinder(CinderId(1, 4));
    {
        VeskTest::TraceCapture traces;
        EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify"}));
        EXPECT_TRUE(traces.has("handling a change of its files failed: refused")) << traces.text;
    }
    map_.failAttach = false;
    std::ofstream(path_.filePath("slots")) << "rewritten";
    std::ofstream(path_.filePath("buckets")) << "rewritten";
    EXPECT_EQ(settled().size(), 2u);
    writeCinder(CinderId(1, 4));
    EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify", "attach:inotify"}));
}

TEST_F(ReaderSentryTest, EventAttachesAtOnceWhenTheFilesExistAndAPurgeLooksAgain) {
    publish(CinderId(3, 3));
    start("tryAttach");
    EXPECT_EQ(map_.calls, Calls{"attach:tryAttach"});
    sentry_->event("tryAttach", false);  // attached: nothing more
    EXPECT_EQ(settled(), Calls{"attach:tryAttach"});
    // Unless the map cleared the status (it kept a flushing implementation on detach).
    sentry_->status() = 0;
    sentry_->event("again", false);
    EXPECT_EQ(map_.calls, (Calls{"attach:tryAttach", "attach:again"}));
    EXPECT_EQ(sentry_->status(), 1);
    // A table in local memory needs no watch.
    StandInMap local;
    local.local = true;
    Mem::ReaderSentry(handler(), path_, &local).event("init", false);
    EXPECT_EQ(local.calls, Calls{});
    EXPECT_EQ(watches(), 1u);
    // Records dropped by a purge (the kernel's end of the watch too) are replaced by one look.
    map_.calls.clear();
    fs::remove_all(path_.directory());
    sentry_->purgeInotifyRecord();
    EXPECT_EQ(settled(), Calls{"detach:true"});
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys/ports/T"));
    sentry_->purgeInotifyRecord();  // nothing changed: nothing called
    EXPECT_EQ(settled().size(), 1u);
}

TEST_F(ReaderSentryTest, SentriesShareAWatchAndADeletedOneHearsNothingEvenInItsCallback) {
    publish(CinderId(4, 1));
    StandInMap other;
    auto second = std::make_unique<Mem::ReaderSentry>(handler(), path_, &other);
    second->event("init", false);
    start();
    EXPECT_EQ(watches(), 1u);
    map_.onDetach = [this] { sentry_.reset(); };  // the map is unmounted when it detaches
    writeCinder(CinderId(4, 2));
    EXPECT_EQ(settled(), (Calls{"attach:init", "detach:true"})) << "no attach after deletion";
    EXPECT_EQ(other.calls, (Calls{"attach:init", "detach:true", "attach:inotify"}));
    EXPECT_EQ(watches(), 1u) << "the second one still watches";
    second.reset();
    EXPECT_EQ(watches(), 0u);
    start();
    publish(CinderId(4, 3));  // records queued for the sentry
    sentry_.reset();
    EXPECT_EQ(settled(), (Calls{"attach:init", "detach:true", "attach:init"}));
}

// The map side of a writer sentry: records what it was told was lost.
struct StandInWriter : Mem::WriterSentry::Notifiee {
    CinderId cinderId() override { return CinderId(1, 1); }
    bool validate() override { return true; }
    bool validateFiles(const std::string&, unsigned) override { return true; }
    void filesLost(const std::string& what) override { lost.push_back(what); }
    Calls lost;
};

TEST(WriterSentry, ReportsItsDirectoryOrAWriterFileRemovedUnderItOnceFromTheLoop) {
    using Act = std::function<void(const std::string& dir, Mem::WriterSentry* sentry)>;
    const auto rm = [](const std::string& what, const std::string& movedTo = "") -> Act {
        return [=](const std::string& d, auto) {
            movedTo.empty() ? void(fs::remove_all(d + what)) : fs::rename(d + what, d + movedTo);
        };
    };
    const struct {
        const char* name;
        Act act;           // done to the published table directory
        const char* lost;  // "" nothing; "DIR" the table directory; else the file named
        bool beforeSentry = false;
    } cases[] = {
        {"directory removed", rm(""), "DIR"},
        {"directory moved", rm("", ".old"), "DIR"},
        {"a parent removed",
         [](const std::string& d, auto) { fs::remove_all(fs::path(d).parent_path()); }, "DIR"},
        {"directory gone before the sentry", rm(""), "DIR", true},
        {"slots deleted", rm("/slots"), "slots"},
        {"buckets deleted", rm("/buckets"), "buckets"},
        {"cinder renamed away", rm("/cinder", "/old"), "cinder"},
        {"cinder rewritten by its writer", [](auto&, auto) { writeCinder(CinderId(2, 2)); }, ""},
        {"another file removed", rm("/owner"), ""},
        {"the writer's own cleanup, then a purge",
         [](const std::string& d, Mem::WriterSentry* sentry) {
             fs::remove(d + "/slots");
             fs::remove(d + "/cinder");
             sentry->purgeInotifyRecord();
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VeskTest::TestRoot root;
        settle();
        const size_t baseline = Mem::ReaderSentry::watchedDirectories();
        publish(CinderId(1, 1));
        std::ofstream(root.path(kTable + "/owner")) << "o";
        const Vesk::RootPath path(handler(), kTable, true);
        StandInWriter writer;
        if (c.beforeSentry)
            c.act(path.directory(), nullptr);
        auto sentry = std::make_unique<Mem::WriterSentry>(handler(), &writer, path);
        EXPECT_EQ(sentry->watching(), !c.beforeSentry);
        if (!c.beforeSentry)
            c.act(path.directory(), sentry.get());
        EXPECT_EQ(writer.lost, Calls{}) << "only the event loop reports";
        settle();
        const std::string lost = c.lost;
        const std::string expected = lost == "DIR"  ? "table directory " + path.directory()
                                     : lost.empty() ? ""
                                                    : path.filePath(c.lost);
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

// A front's writer whose directory went detaches and says so, and leaves alone a second writer
// that re-created the table at the same path. A program without a front asks the sentry.
TEST(WriterSentry, AFrontDetachesItsWriterAndAProgramWithoutOneIsTold) {
    using Ops = VeskTest::CounterEntrySimpleOps;
    VeskTest::TestRoot root;
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    dir->entityIs(table);
    table->counterControl()->mount(Vesk::MapDescriptor(100));
    const std::string directory = root.path("sys/T/counter");
    VeskTest::TraceCapture traces;
    fs::remove_all(directory);
    settle();
    EXPECT_TRUE(traces.contains(
        0, "VeskMap", "table directory " + directory + " was removed under its writer; detached"));
    EXPECT_EQ(table->counter.mountStatus(), 0u);
    auto second = VeskTest::makeWriter<Ops>(Vesk::MapDescriptor(100), "sys/T/counter");
    ASSERT_TRUE(second->initialize("second"));
    EXPECT_THROW(table->counterIs(VeskTest::Kind<Ops>::make(4, 4)), Pimbo::NoPermissionException);
    EXPECT_EQ(second->members(), 0u);
    dir->entityDelAll();

    Mem::WriterSentry sentry(handler(), *second);
    settle();
    EXPECT_EQ(sentry.lostFiles(), "");
    fs::remove_all(root.path("sys"));
    settle();
    EXPECT_EQ(sentry.lostFiles(), "table directory " + directory);
}

}  // namespace
