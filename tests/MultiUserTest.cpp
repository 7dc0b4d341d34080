// A table on a host shared with other local users: every attack that uid 65534 can prepare
// against a root writer and root readers leaves every file outside the table unchanged, leaves
// another live table whole, and ends with the writer started or refused with one clear line;
// nothing hangs, and no reader reads a table that uid 65534 forged.
//
// Each attack is one row of kAttacks: how uid 65534 plants it and what the root writer must do.
// Most are planted inside root's own table directory while it was open to everyone (chmod 0777,
// closed again before the writer runs), which is how a name of another user's making can sit in
// a directory that is trusted otherwise. Then, as root, a reader (bare and through a table's
// front) and a writer run, each in a forked child whose report is awaited with a bound: a child
// that has not reported by then is killed and the attack counts as a hang.
//
// Needs root (to switch children to uid 65534); skips with a message otherwise.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Mem/TableDir.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"
#include "Vesk/VeskReader.h"
#include "WriterTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Simple = CounterEntrySimpleOps;
using R = Records<Simple>;
using Report = std::map<std::string, std::string>;

constexpr uid_t kNobody = 65534;
// The attacked table, named so that a table "T" in the directory "sys" mounts it through its
// front; the live table another writer of this process holds.
const char* const kTable = "sys/T/counter";
const char* const kLive = "live/counter";  // in a root of its own beside the attacked one
constexpr uint64_t kLiveRecords = 100;
constexpr uint64_t kForged = 666;  // packets of key 1 in every forged table
// Only a hang comes near this bound on a child's report.
constexpr int kBoundMs = 60000;

// A forked child that runs `body` as root, or as uid and gid 65534, and reports "name=value"
// lines. It then exits or, with `linger`, keeps what it opened (a lock) until the Child goes.
class Child {
  public:
    Child(bool nobody, const std::function<void(Report&)>& body, bool linger = false) {
        int fds[2];
        if (::pipe(fds) != 0)
            std::abort();
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
            Report r;
            if (nobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 ||
                           ::setuid(kNobody) != 0)) {
                r["error"] = "cannot become uid 65534";
            } else {
                try {
                    body(r);
                } catch (const std::exception& e) {
                    r["error"] = e.what();
                }
            }
            std::string all;
            for (auto& [name, value] : r) {
                for (size_t nl; (nl = value.find('\n')) != std::string::npos;)
                    value.replace(nl, 1, "\\n");  // a second line shows, never splits
                all += name + "=" + value + "\n";
            }
            all += "end\n";
            [[maybe_unused]] ssize_t n = ::write(fds[1], all.data(), all.size());
            while (linger)
                ::pause();
            ::_exit(0);
        }
        ::close(fds[1]);
        in_ = fds[0];
    }
    ~Child() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(in_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The report; {"hung"} when none came within the bound (the child is killed), {"died"}
    // with the wait status when the child ended without one.
    Report report() {
        std::string all;
        while (all.find("end\n") == std::string::npos) {
            pollfd p{in_, POLLIN, 0};
            if (::poll(&p, 1, kBoundMs) == 0) {
                ::kill(pid_, SIGKILL);
                return {{"hung", "no report within the bound"}};
            }
            char chunk[4096];
            const ssize_t n = ::read(in_, chunk, sizeof chunk);
            if (n <= 0) {
                int status = 0;
                ::waitpid(pid_, &status, 0);
                return {{"died", fmt::format("wait status {:#x}", status)}};
            }
            all.append(chunk, size_t(n));
        }
        Report out;
        for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = all.substr(at, nl - at);
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return out;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
};

// Every file and directory under `dir` as lstat sees it (a symbolic link by its target, a small
// regular file by its bytes): what "nothing changed" compares. Link counts and ctimes are left
// out: removing a planted hard link from a table changes them and nothing else.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path();
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        std::string what =
            fmt::format("ino {} mode {:o} uid {} gid {} size {} mtime {}.{}", st.st_ino, st.st_mode,
                        st.st_uid, st.st_gid, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        if (S_ISLNK(st.st_mode)) {
            what += " -> " + fs::read_symlink(path, ec).string();
        } else if (S_ISREG(st.st_mode) && st.st_size <= (1 << 20)) {
            const std::vector<unsigned char> bytes = readFile(path);
            what += " " + std::string(bytes.begin(), bytes.end());
        }
        out[path] = what;
    }
    return out;
}

// Steps of uid 65534 throw what failed, so a plant that did not happen is reported.
void must(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}
void relink(const std::string& path, const std::string& target) {
    ::unlink(path.c_str());
    must(::symlink(target.c_str(), path.c_str()) == 0, "symlink " + path);
}
void fifo(const std::string& path) {
    ::unlink(path.c_str());
    must(::mkfifo(path.c_str(), 0644) == 0, "mkfifo " + path);
}

// The places of one attack, and what root and uid 65534 do to prepare it.
struct Env {
    std::string root;     // the test's root, root's
    std::string outside;  // beside it: a sticky directory everyone may write, as /dev/shm
    std::string victim;   // a file of root's there, mode 0600
    std::string live;     // the live table's directory there, in a root of root's
    std::string aroot;    // uid 65534's own directory there (made by forge or bigFile)
    std::string table;    // the attacked table's directory
    std::string runRoot;  // the root the writer and the readers are given
    std::vector<std::unique_ptr<Child>> holders;

    std::string file(const std::string& name) const { return table + "/" + name; }
    std::string big() const { return aroot + "/big"; }

    // Root's table, left by a writer that ended: records 1..10.
    void previousTable() const {
        auto w = makeWriter<Simple>(Vesk::MapDescriptor(1000), kTable);
        ASSERT_TRUE(w->initialize("previous"));
        for (uint64_t k = 1; k <= 10; ++k)
            w->write(R::make(k, k), true);
    }
    void freshTable() const { Mem::RootPath(*testHandler(), kTable, true).ensureDirectory(); }

    void nobody(const std::function<void()>& steps, bool linger = false) {
        auto child = std::make_unique<Child>(
            true,
            [&](Report& r) {
                steps();
                r["planted"] = "1";
            },
            linger);
        Report r = child->report();
        EXPECT_EQ(r.count("planted"), 1u)
            << "the attack was not planted: " << r["error"] << r["hung"] << r["died"];
        if (linger)
            holders.push_back(std::move(child));
    }
    // uid 65534 at work in root's directory `dir` while it was open to everyone.
    void plantIn(const std::string& dir, const std::function<void()>& steps) {
        ::chmod(dir.c_str(), 0777);
        nobody(steps);
        ::chmod(dir.c_str(), 0755);
    }
    // The usual plant: in the table's own directory (left by a writer, or new and empty).
    void plantInTable(bool previous, const std::function<void()>& steps) {
        previous ? previousTable() : freshTable();
        plantIn(table, steps);
    }
    // The table directory's parent, made by root.
    std::string parent() const {
        fs::create_directories(fs::path(table).parent_path());
        return fs::path(table).parent_path();
    }
    // uid 65534's own table at `kTable` in the root `at`, key 1 forged; as a child of 65534.
    void forge(const std::string& at) const {
        Mem::RootPath::rootIs(at);
        auto w = makeWriter<Simple>(Vesk::MapDescriptor(1000), kTable);
        must(w->initialize("forge"), "forging a table");
        w->write(R::make(1, kForged), true);
        w.release();  // the child ends without detaching
    }
    // A 64 MiB file of uid 65534's (sparse); as a child of 65534.
    void bigFile() const {
        ::mkdir(aroot.c_str(), 0755);
        const int fd = ::open(big().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        must(fd >= 0 && ::ftruncate(fd, 64 << 20) == 0, "big file");
        ::close(fd);
    }
};

struct Attack {
    const char* name;
    std::function<void(Env&)> plant;
    bool starts;              // the writer starts, else it refuses with an error holding `error`
    std::string error;        // ("{table}", "{root}", "{aroot}" stand for those directories)
    std::string marker = {};  // when set: the marker a root reader then finds (TableDir)
};

void PrintTo(const Attack& attack, std::ostream* os) {
    *os << attack.name;
}

const std::vector<Attack> kAttacks = {
    {"SymlinkAtOwner",
     [](Env& e) { e.plantInTable(true, [&] { relink(e.file("owner"), e.victim); }); }, false,
     "{table}/owner is a symbolic link"},
    {"SymlinkAtBuckets",
     [](Env& e) { e.plantInTable(true, [&] { relink(e.file("buckets"), e.victim); }); }, false,
     "{table}/buckets is a symbolic link"},
    {"SymlinkAtWriterLock",
     [](Env& e) { e.plantInTable(true, [&] { relink(e.file("writer-lock"), e.victim); }); }, false,
     "{table}/writer-lock is a symbolic link"},
    {"DanglingSymlinkAtSlots",
     [](Env& e) {
         e.plantInTable(false, [&] { relink(e.file("slots"), e.outside + "/made-by-root"); });
     },
     false, "{table}/slots is a symbolic link"},
    {"SymlinkAtCinder",
     [](Env& e) { e.plantInTable(true, [&] { relink(e.file("cinder"), e.victim); }); }, true, ""},
    {"MarkerSymlinkedToABigFile",
     [](Env& e) {
         e.plantInTable(true, [&] {
             e.bigFile();
             relink(e.file("corruption-detected"), e.big());
         });
     },
     true, "", "ELOOP"},
    {"MarkerHardLinkedToABigFile",
     [](Env& e) {
         e.plantInTable(true, [&] {
             e.bigFile();
             must(::link(e.big().c_str(), e.file("corruption-detected").c_str()) == 0, "link");
         });
     },
     true, "", "EMLINK"},
    // The reader finds the cinder file naming another generation and records the corruption:
    // by renaming its own file over the planted link.
    {"MarkerSymlinkUnderAReaderThatFindsCorruption",
     [](Env& e) {
         e.plantInTable(true, [&] { relink(e.file("corruption-detected"), e.victim); });
         Plinth::CinderFile(*testHandler(), Mem::RootPath(*testHandler(), kTable, true), true)
             .write(Plinth::CinderId(9, 9));
     },
     true, "", "written"},
    {"TableDirectoryIsASymlink",
     [](Env& e) {
         e.plantIn(e.parent(), [&] {
             e.forge(e.aroot + "/forged");
             relink(e.table, e.aroot + "/forged/" + kTable);
         });
     },
     false, "refusing directory {table}: it is a symbolic link"},
    {"FreshTableLinkedToTheLiveTablesFiles",
     [](Env& e) {
         e.plantInTable(false, [&] {
             for (const char* f : {"slots", "buckets"})
                 relink(e.file(f), e.live + "/" + f);
         });
     },
     false, "{table}/slots is a symbolic link"},
    {"RootOwnedByNobodyHoldingAForgedTable",
     [](Env& e) {
         e.nobody([&] { e.forge(e.aroot); });
         e.runRoot = e.aroot;
     },
     false, "untrusted directory {aroot} (owner uid 65534, mode 0755)"},
    {"TableDirectoryOfNobodyHoldingAForgedTable",
     [](Env& e) {
         e.plantIn(e.parent(), [&] {
             e.forge(e.aroot + "/forged");
             must(::rename((e.aroot + "/forged/" + kTable).c_str(), e.table.c_str()) == 0,
                  "rename");
         });
     },
     false, "untrusted table directory {table} (owner uid 65534, mode 0755)"},
    // The real table is renamed away and a forged one put in its place.
    {"WorldWritableRootWithTheTableSwapped",
     [](Env& e) {
         e.previousTable();
         ::chmod(e.root.c_str(), 0777);
         e.nobody([&] {
             e.forge(e.aroot + "/forged");
             must(::rename((e.root + "/sys").c_str(), (e.root + "/sys.real").c_str()) == 0, "mv");
             must(::rename((e.aroot + "/forged/sys").c_str(), (e.root + "/sys").c_str()) == 0,
                  "mv");
         });
     },
     false, "untrusted directory {root} (owner uid 0, mode 0777)"},
    // A lock file that others could open, as one made before it was private to its owner.
    {"SharedLockOnALegacyWriterLock",
     [](Env& e) {
         e.previousTable();
         ::chmod(e.file("writer-lock").c_str(), 0644);
         e.nobody(
             [&] {
                 const int fd = ::open(e.file("writer-lock").c_str(), O_RDONLY);
                 struct flock fl {};
                 fl.l_type = F_RDLCK;
                 must(fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0, "shared lock");
             },
             true);
     },
     true, ""},
    {"FlockOnOwner",
     [](Env& e) {
         e.previousTable();
         e.nobody(
             [&] {
                 const int fd = ::open(e.file("owner").c_str(), O_RDONLY);
                 must(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0, "flock");
             },
             true);
     },
     true, ""},
    {"FifoAsSlots", [](Env& e) { e.plantInTable(true, [&] { fifo(e.file("slots")); }); }, false,
     "{table}/slots is a FIFO"},
    {"FifoAsOwner", [](Env& e) { e.plantInTable(true, [&] { fifo(e.file("owner")); }); }, false,
     "{table}/owner is a FIFO"},
    {"FifoAsCinder", [](Env& e) { e.plantInTable(true, [&] { fifo(e.file("cinder")); }); }, true,
     ""},
    // A file of its own that uid 65534 could go on writing through a descriptor it kept.
    {"SlotsReplacedByAFileOfNobodys",
     [](Env& e) {
         e.plantInTable(true, [&] {
             ::unlink(e.file("slots").c_str());
             const int fd = ::open(e.file("slots").c_str(), O_WRONLY | O_CREAT, 0644);
             must(fd >= 0 && ::ftruncate(fd, 1 << 16) == 0, "slots of nobody's");
         });
     },
     false, "{table}/slots belongs to uid 65534"},
};

// The root writer: starts, takes a record and validates, or reports why it refused.
void runWriter(Report& r) {
    auto w = makeWriter<Simple>(Vesk::MapDescriptor(1000), kTable);
    w->initialize("attacked");
    w->write(R::make(2, 2), true);
    r["writer"] = w->validate() ? "started" : "invalid";
    w.release();  // the child ends without detaching
}

// What key 1 reads as through a reader: "forged", "real", "absent" or "none" (not attached).
template <class Lookup>
std::string keyOne(bool attached, Lookup lookup) {
    if (!attached)
        return "none";
    bool found = false;
    CounterEntrySimple buffer{};
    const CounterEntrySimple* v = lookup(found, &buffer);
    return !found ? "absent" : v->packets() == kForged ? "forged" : "real";
}

// Root readers: a bare reader, a table's front, and the marker read through TableDir.
void runReaders(Report& r) {
    Vesk::VeskReader<Simple> reader(*testHandler(), kTable, Simple{}, nullptr);
    r["reader"] = keyOne(reader.initialize("attacked"), [&](bool& found, void* buffer) {
        return reader.lookup(CounterIndex(1), found, buffer);
    });
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    dir->entityIs(table);
    table->counterControl()->mount(Vesk::MapDescriptor(1000, Vesk::reader));
    r["front"] = keyOne(table->counter.mountStatus() != 0, [&](bool& found, void* buffer) {
        return table->counter.safeLookup(CounterIndex(1), found, buffer);
    });
    Mem::FileError error;
    const Mem::TableDir tableDir = Mem::TableDir::open(Mem::RootPath(*testHandler(), kTable, false),
                                                       Mem::TableDir::Access::reader, error);
    std::string text;
    if (tableDir.valid() && tableDir.readFile(Vesk::Util::kCorruptionFileName,
                                              Vesk::Util::kCorruptionTextLimit, text, error)) {
        r["marker"] = "written";
    } else {
        const char* name = ::strerrorname_np(error.errnum);
        r["marker"] = name != nullptr ? name : std::to_string(error.errnum);
    }
}

class MultiUser : public ::testing::TestWithParam<Attack> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to plant attacks as uid 65534 (nobody); skipped";
        testHandler()->levelMaskIs(0);
        ASSERT_EQ(::chmod(root_.dir().c_str(), 0755), 0);
        std::string pattern = "/dev/shm/vesk-outside-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        env_.root = root_.dir();
        env_.outside = pattern;
        ASSERT_EQ(::chmod(env_.outside.c_str(), 01777), 0);
        env_.victim = env_.outside + "/victim";
        env_.aroot = env_.outside + "/nobody";
        env_.table = root_.path(kTable);
        env_.runRoot = root_.dir();
        const int fd = ::open(env_.victim.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "root's own bytes\n", 17), 17);
        ::close(fd);
        Mem::RootPath::rootIs(env_.outside + "/live-root");
        live_ = makeWriter<Simple>(Vesk::MapDescriptor(1000), kLive);
        Mem::RootPath::rootIs(root_.dir());
        env_.live = live_->rootPath().directory();
        ASSERT_TRUE(live_->initialize("live"));
        for (uint64_t k = 1; k <= kLiveRecords; ++k)
            live_->write(R::make(k, k), true);
    }
    void TearDown() override {
        env_.holders.clear();
        live_.reset();
        std::error_code ec;
        if (!env_.outside.empty())
            fs::remove_all(env_.outside, ec);
        testHandler()->levelMaskIs(Pimbo::Platform::defaultLevelMask());
    }

    TestRoot root_;
    Env env_;
    std::unique_ptr<Vesk::VeskWriter<Simple>> live_;
};

TEST_P(MultiUser, NothingOutsideTheTableChangesAndTheWriterStartsOrRefuses) {
    const Attack& attack = GetParam();
    attack.plant(env_);
    const auto outside = snapshot(env_.outside);
    ASSERT_EQ(outside.count(env_.live + "/slots"), 1u);

    const std::string runRoot = env_.runRoot;
    const auto inRoot = [&](void (*run)(Report&)) {
        return Child(false,
                     [&](Report& r) {
                         Mem::RootPath::rootIs(runRoot);
                         run(r);
                     })
            .report();
    };
    Report readers = inRoot(runReaders);
    Report writer = inRoot(runWriter);

    for (Report* r : {&readers, &writer}) {
        EXPECT_EQ(r->count("hung"), 0u) << "a run hung and was killed";
        EXPECT_EQ(r->count("died"), 0u) << (*r)["died"];
    }
    EXPECT_NE(readers["reader"], "forged");
    EXPECT_NE(readers["front"], "forged");
    EXPECT_EQ(readers["error"], "");
    if (!attack.marker.empty()) {
        EXPECT_EQ(readers["marker"], attack.marker);
    }
    if (attack.starts) {
        EXPECT_EQ(writer["writer"], "started") << writer["error"];
    } else {
        std::string text = attack.error;
        for (const auto& [name, dir] : {std::pair<std::string, std::string>{"{table}", env_.table},
                                        {"{root}", env_.root},
                                        {"{aroot}", env_.aroot}}) {
            if (const size_t at = text.find(name); at != std::string::npos)
                text.replace(at, name.size(), dir);
        }
        EXPECT_EQ(writer.count("writer"), 0u) << "the writer started";
        EXPECT_NE(writer["error"].find(text), std::string::npos)
            << "expected: " << text << "\nfound: " << writer["error"];
        EXPECT_EQ(writer["error"].find("\\n"), std::string::npos) << "more than one line";
    }

    EXPECT_EQ(snapshot(env_.outside), outside) << "a file outside the table changed";
    EXPECT_TRUE(live_->validate()) << live_->lastValidationFailure();
    for (uint64_t k = 1; k <= kLiveRecords; ++k) {
        bool found = false;
        const CounterEntrySimple* v = live_->lookup(CounterIndex(k), found, nullptr);
        ASSERT_TRUE(found && Simple::valueEqual(*v, R::make(k, k))) << "live record " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Attacks, MultiUser, ::testing::ValuesIn(kAttacks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
