// Reader sentries tell a stand-in map to attach or detach as a table comes, goes or changes
// generation, only from the event loop or event(); a writer sentry reports a removal once.
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/EventLoop.h"
#include "Plinth/CinderFile.h"
#include "Plinth/RootPath.h"
#include "VeskMap/Sentry.h"
#include "support/Tables.h"

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using Plinth::CinderId;
const std::string kTable = "sys/ports/T/counter";

void settle() {  // runs the event loop until nothing is left to run
    while (Pimbo::eventLoop().poll(0)) {
    }
}

Plinth::CinderFile cinder(bool writer) {  // the table's, as its writer or as a reader
    auto& h = *testHandler();
    return Plinth::CinderFile(h, Vesk::RootPath(h, kTable, writer), writer);
}

// The writer's side: the directory, the files, "cinder" last.
void publish(CinderId id) {
    const Vesk::RootPath path(*testHandler(), kTable, true);
    path.ensureDirectory();
    std::ofstream(path.filePath("slots")) << "s";
    std::ofstream(path.filePath("buckets")) << "b";
    cinder(true).write(id);
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
        held = cinder(false).read();
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
        sentry_ = std::make_unique<Mem::ReaderSentry>(*testHandler(), path_, &map_);
        sentry_->event(event, false);
    }
    Calls settled() {
        settle();
        return map_.calls;
    }
    size_t watches() const { return Mem::ReaderSentry::watchedDirectories() - baseline_; }

    TestRoot root_;
    const Vesk::RootPath path_{*testHandler(), kTable, false};
    StandInMap map_;
    std::unique_ptr<Mem::ReaderSentry> sentry_;
    size_t baseline_ = 0;
};

TEST_F(ReaderSentryTest, AttachDetachAndNewCinder) {
    start();  // watches the nearest existing ancestor until the table's directory comes
    fs::create_directory(root_.path("sys"));
    settle();
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys"));
    publish(CinderId(7, 1));
    EXPECT_EQ(map_.calls, Calls{}) << "callbacks come only from the event loop";
    EXPECT_EQ(settled(), Calls{"attach:inotify"});
    // Changes that leave the same generation in place say nothing, nor does "buckets" going alone.
    std::ofstream(path_.filePath("unrelated")) << "x";
    cinder(true).write(CinderId(7, 1));
    fs::remove(path_.filePath("buckets"));
    EXPECT_EQ(settled(), Calls{"attach:inotify"});
    fs::remove(path_.filePath("slots"));
    EXPECT_EQ(settled(), (Calls{"attach:inotify", "detach:true"}));
    publish(CinderId(1, 2));
    EXPECT_EQ(settled(), (Calls{"attach:inotify", "detach:true", "attach:inotify"}));
    // A new cinder id: detach, then attach. A map whose attach threw is offered the files again,
    // not while the writer is at work on "slots" and "buckets" but when "cinder" follows.
    map_.failAttach = true;
    map_.calls.clear();
    TraceCapture traces;
    cinder(true).write(CinderId(1, 4));
    EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify"}));
    EXPECT_TRUE(traces.has("handling a change of its files failed: refused")) << traces.text;
    map_.failAttach = false;
    std::ofstream(path_.filePath("slots")) << "rewritten";
    std::ofstream(path_.filePath("buckets")) << "rewritten";
    EXPECT_EQ(settled().size(), 2u);
    cinder(true).write(CinderId(1, 4));
    EXPECT_EQ(settled(), (Calls{"detach:true", "attach:inotify", "attach:inotify"}));
    // The directory moves away: detach, and the watch moves up to wait for it.
    fs::rename(path_.directory(), root_.path("moved"));
    EXPECT_EQ(settled().back(), "detach:true");
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys/ports/T"));
}

TEST_F(ReaderSentryTest, EventAndPurge) {
    publish(CinderId(3, 3));
    start("tryAttach");
    EXPECT_EQ(map_.calls, Calls{"attach:tryAttach"});
    sentry_->event("tryAttach", false);  // attached: nothing more
    EXPECT_EQ(settled(), Calls{"attach:tryAttach"});
    // Unless the map cleared the status (it kept a flushing implementation on detach).
    sentry_->status() = 0;
    sentry_->event("again", false);
    EXPECT_EQ(map_.calls, (Calls{"attach:tryAttach", "attach:again"}));
    StandInMap local;
    local.local = true;
    Mem::ReaderSentry(*testHandler(), path_, &local).event("init", false);
    EXPECT_TRUE(local.calls.empty() && watches() == 1u) << "a table in local memory needs no watch";
    // Records dropped by a purge (the kernel's end of the watch too) are replaced by one look.
    fs::remove_all(path_.directory());
    sentry_->purgeInotifyRecord();
    EXPECT_EQ(settled(), (Calls{"attach:tryAttach", "attach:again", "detach:true"}));
    EXPECT_EQ(sentry_->watchedDirectory(), root_.path("sys/ports/T"));
    sentry_->purgeInotifyRecord();  // nothing changed: nothing called
    EXPECT_EQ(settled().size(), 3u);
}

TEST_F(ReaderSentryTest, SharedWatchAndDeletedSentry) {
    publish(CinderId(4, 1));
    StandInMap other;
    auto second = std::make_unique<Mem::ReaderSentry>(*testHandler(), path_, &other);
    second->event("init", false);
    start();
    EXPECT_EQ(watches(), 1u);
    map_.onDetach = [this] { sentry_.reset(); };  // the map is unmounted when it detaches
    cinder(true).write(CinderId(4, 2));
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

TEST(WriterSentry, ReportsRemovedFilesOnce) {
    using Act = std::function<void(const std::string& dir, Mem::WriterSentry* sentry)>;
    const auto rm = [](const std::string& what, const std::string& movedTo = "") -> Act {
        return [=](const std::string& d, auto) {
            movedTo.empty() ? void(fs::remove_all(d + what)) : fs::rename(d + what, d + movedTo);
        };
    };
    const auto copyOver = [](const std::string& what) -> Act {  // as `mv copy slots` would
        return [=](const std::string& d, auto) {
            fs::copy_file(d + what, d + "/copy");
            fs::rename(d + "/copy", d + what);
        };
    };
    const struct {
        const char* name;
        Act act;           // done to the published table directory
        const char* lost;  // what it reports lost ("{dir}": the table directory), "" nothing
        bool beforeSentry = false;
    } cases[] = {
        {"directory removed", rm(""), "table directory {dir}"},
        {"directory moved", rm("", ".old"), "table directory {dir}"},
        {"a parent removed", [](auto& d, auto) { fs::remove_all(fs::path(d).parent_path()); },
         "table directory {dir}"},
        {"directory gone before the sentry", rm(""), "table directory {dir}", true},
        {"slots deleted", rm("/slots"), "{dir}/slots"},
        {"buckets deleted", rm("/buckets"), "{dir}/buckets"},
        {"cinder renamed away", rm("/cinder", "/old"), "{dir}/cinder"},
        {"a copy renamed over slots", copyOver("/slots"), "{dir}/slots"},
        {"a copy renamed over buckets", copyOver("/buckets"), "{dir}/buckets"},
        {"cinder rewritten", [](auto&, auto) { cinder(true).write(CinderId(2, 2)); }, ""},
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
        TestRoot root;
        settle();
        const size_t baseline = Mem::ReaderSentry::watchedDirectories();
        publish(CinderId(1, 1));
        std::ofstream(root.path(kTable + "/owner")) << "o";
        const Vesk::RootPath path(*testHandler(), kTable, true);
        StandInWriter writer;
        if (c.beforeSentry)
            c.act(path.directory(), nullptr);
        auto sentry = std::make_unique<Mem::WriterSentry>(*testHandler(), &writer, path);
        EXPECT_EQ(sentry->watching(), !c.beforeSentry);
        if (!c.beforeSentry)
            c.act(path.directory(), sentry.get());
        EXPECT_EQ(writer.lost, Calls{}) << "only the event loop reports";
        settle();
        const auto expected = fmt::format(fmt::runtime(c.lost), fmt::arg("dir", path.directory()));
        EXPECT_EQ(writer.lost, expected.empty() ? Calls{} : Calls{expected});
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
TEST(WriterSentry, FrontDetaches) {
    using Ops = CounterEntrySimpleOps;
    TestRoot root;
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    dir->entityIs(table);
    table->counterControl()->mount(Vesk::MapDescriptor(100));
    const std::string directory = root.path("sys/T/counter");
    TraceCapture traces;
    fs::remove_all(directory);
    settle();
    EXPECT_TRUE(traces.contains(
        0, "VeskMap", "table directory " + directory + " was removed under its writer; detached"));
    EXPECT_EQ(table->counter.mountStatus(), 0u);
    auto second = makeWriter<Ops>(Vesk::MapDescriptor(100), "sys/T/counter");
    ASSERT_TRUE(second->initialize("second"));
    EXPECT_THROW(table->counterIs(Kind<Ops>::make(4, 4)), Pimbo::NoPermissionException);
    EXPECT_EQ(second->members(), 0u);
    dir->entityDelAll();

    Mem::WriterSentry sentry(*testHandler(), *second);
    fs::remove_all(root.path("sys"));
    settle();
    EXPECT_EQ(sentry.lostFiles(), "table directory " + directory);
}

}  // namespace
