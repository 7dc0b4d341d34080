// A table on a host shared with other users: uid 65534 plants each attack, mostly in a directory
// of root's opened to everyone meanwhile; then root's readers and writer run, each in a Child.
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Plinth/CinderFile.h"
#include "Plinth/TableDir.h"
#include "Vesk/VeskReader.h"
#include "VeskBase/Util.h"
#include "support/Tables.h"

#include <sys/file.h>

#include <filesystem>
#include <map>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Simple = CounterEntrySimpleOps;
using Rec = Kind<Simple>;

const char* const kTable = "sys/T/counter";  // the front of table "T" in directory "sys" mounts it
constexpr uint64_t kForged = 666;            // the generation of key 1 in every forged table

// Runs `body` in `child`, which stays, holding what it opened, while `child` lives; the one line
// it gives ("error: ..." when it threw), "" when it hung or died.
std::string ask(std::unique_ptr<Child>& child, Child::As as,
                const std::function<std::string()>& body) {
    child.reset();
    child = std::make_unique<Child>(
        [&](Child& c) -> int {
            std::string line;
            try {
                line = body();
            } catch (const std::exception& e) {
                line = std::string("error: ") + e.what();
            }
            std::replace(line.begin(), line.end(), '\n', '|');  // a second line shows
            c.send(line);
            Child::block();
        },
        as);
    return child->receive();
}

// Every entry under `dir` as lstat sees it, with a small file's bytes (no link counts or ctimes:
// removing a planted hard link changes only them; a link changes only by being replaced).
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        ::lstat(entry.path().c_str(), &st);
        out[entry.path()] =
            fmt::format("ino {} mode {:o} uid {} gid {} size {} mtime {}.{}", st.st_ino, st.st_mode,
                        st.st_uid, st.st_gid, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode) && st.st_size <= (1 << 20))
            for (const unsigned char c : readFile(entry.path()))
                out[entry.path()] += char(c);
    }
    return out;
}

void must(bool ok, const std::string& what) {  // steps of uid 65534 throw what failed
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}
// Puts a symbolic link to `target` at `path`, or a FIFO when `target` is "".
void relink(const std::string& path, const std::string& target) {
    ::unlink(path.c_str());
    const bool fifo = target.empty();
    must((fifo ? ::mkfifo(path.c_str(), 0644) : ::symlink(target.c_str(), path.c_str())) == 0,
         "planting " + path);
}
std::string ownFile(const std::string& path, off_t size) {
    ::unlink(path.c_str());
    Pimbo::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    must(fd && ::ftruncate(fd.get(), size) == 0, "creating " + path);
    return path;
}
// A table at `name`, keys 1..count at their own generation (key 1 at kForged when forged).
std::unique_ptr<Vesk::VeskWriter<Simple>> makeTable(const char* name, uint64_t count,
                                                    bool forged = false) {
    auto w = makeWriter<Simple>(Vesk::MapDescriptor(1000), name);
    must(w->initialize("made"), name);
    for (uint64_t k = 1; k <= count; ++k)
        w->write(Rec::make(k, forged ? kForged : k), true);
    return w;
}

// The places of one attack, and a live table of root's beside it (records 1..100).
struct Env {
    TestRoot testRoot;
    std::string root = testRoot.dir();
    std::string outside = [] {  // a sticky directory everyone may write, as /dev/shm
        std::string dir = "/dev/shm/vesk-outside-XXXXXX";
        must(::mkdtemp(dir.data()) != nullptr && ::chmod(dir.c_str(), 01777) == 0, dir);
        return dir;
    }();
    std::string victim = ownFile(outside + "/victim", 17);  // root's own file there
    std::string aroot = outside + "/nobody";                // uid 65534's own directory there
    std::string table = testRoot.path(kTable);              // the attacked table
    std::string runRoot = root;  // the root that root's writer and readers are given
    std::unique_ptr<Vesk::VeskWriter<Simple>> live;
    std::unique_ptr<Child> attacker;  // uid 65534, holding what it opened

    Env() {
        Mem::RootPath::rootIs(outside + "/live-root");
        live = makeTable("live/counter", 100);
        Mem::RootPath::rootIs(root);
    }
    ~Env() {
        live.reset();
        fs::remove_all(outside);
    }
    std::string file(const std::string& name) const { return table + "/" + name; }
    std::string big() const {  // as uid 65534: a 64 MiB file of its own
        ::mkdir(aroot.c_str(), 0755);
        return ownFile(aroot + "/big", 1 << 26);
    }
    // As uid 65534: its own forged table at kTable in root `aroot` (or `aroot`/forged).
    std::string forge(bool inAroot = false) const {
        const std::string at = inAroot ? aroot : aroot + "/forged";
        ::mkdir(aroot.c_str(), 0755);  // a writer makes the root alone, not its parent
        Mem::RootPath::rootIs(at);
        makeTable(kTable, 1, true).release();
        return at;
    }
};

// What root makes before the plant, and which directory it opens to everyone meanwhile: previous,
// a table at kTable left by a writer that ended (keys 1..10), its directory; fresh, the table's
// directory, new and empty; parent, the table directory's parent; none, nothing.
enum class Open { previous, fresh, parent, none };

struct Attack {
    const char* name;
    Open open;
    std::function<void(Env&)> plant;  // uid 65534's steps
    const char* refusal;              // "" when the writer starts, else part of its one line
    const char* marker = "";          // when set: what the root reader's marker read gives
    std::function<void(Env&)> prepare = [](Env&) {};  // root's steps before the plant
    friend void PrintTo(const Attack& a, std::ostream* os) { *os << a.name; }  // a row: its name
};

// A symbolic link to root's victim, or a FIFO, at a file of a previous table.
Attack atPrevious(const char* name, const char* file, const char* refusal, bool link = true) {
    return {name, Open::previous, [=](Env& e) { relink(e.file(file), link ? e.victim : ""); },
            refusal};
}

// In refusals, "{table}", "{root}" and "{aroot}" stand for those directories.
const std::vector<Attack> kAttacks = {
    atPrevious("SymlinkAtOwner", "owner", "{table}/owner is a symbolic link"),
    atPrevious("SymlinkAtBuckets", "buckets", "{table}/buckets is a symbolic link"),
    atPrevious("SymlinkAtWriterLock", "writer-lock", "{table}/writer-lock is a symbolic link"),
    atPrevious("SymlinkAtCinder", "cinder", ""),
    atPrevious("FifoAsSlots", "slots", "{table}/slots is a FIFO", false),
    atPrevious("FifoAsOwner", "owner", "{table}/owner is a FIFO", false),
    atPrevious("FifoAsCinder", "cinder", "", false),
    {"MarkerSymlinkToBigFile", Open::previous,
     [](Env& e) { relink(e.file("corruption-detected"), e.big()); }, "", "ELOOP"},
    {"MarkerHardLinkToBigFile", Open::previous,
     [](Env& e) {
         must(::link(e.big().c_str(), e.file("corruption-detected").c_str()) == 0, "ln");
     },
     "", "EMLINK"},
    // The reader finds another generation's cinder and renames its marker over the link.
    {"MarkerLinkUnderCorruptReader", Open::previous,
     [](Env& e) { relink(e.file("corruption-detected"), e.victim); }, "", "written",
     [](Env&) {
         Plinth::CinderFile(*testHandler(), Mem::RootPath(*testHandler(), kTable, true), true)
             .write(Plinth::CinderId(9, 9));
     }},
    {"TableDirIsSymlink", Open::parent, [](Env& e) { relink(e.table, e.forge() + "/" + kTable); },
     "refusing directory {table}: it is a symbolic link"},
    {"FreshLinkedToLive", Open::fresh,
     [](Env& e) { relink(e.file("slots"), e.live->rootPath().directory() + "/slots"); },
     "{table}/slots is a symbolic link"},
    {"NobodysRootWithForgedTable", Open::none, [](Env& e) { e.forge(true); },
     "untrusted directory {aroot} (owner uid 65534, mode 0755)", "",
     [](Env& e) { e.runRoot = e.aroot; }},
    {"NobodysDirWithForgedTable", Open::parent,
     [](Env& e) { must(::rename((e.forge() + "/" + kTable).c_str(), e.table.c_str()) == 0, "mv"); },
     "untrusted table directory {table} (owner uid 65534, mode 0755)"},
    {"WritableRootTableSwapped", Open::none,
     [](Env& e) {
         must(::rename((e.root + "/sys").c_str(), (e.root + "/sys.real").c_str()) == 0, "mv");
         must(::rename((e.forge() + "/sys").c_str(), (e.root + "/sys").c_str()) == 0, "mv");
     },
     "untrusted directory {root} (owner uid 0, mode 0777)", "",
     [](Env& e) {
         makeTable(kTable, 10);
         ::chmod(e.root.c_str(), 0777);
     }},
    // A lock file that others could open, as one made before it was private to its owner.
    {"SharedLockOnLegacyLock", Open::previous,
     [](Env& e) {
         struct flock fl {};
         fl.l_type = F_RDLCK;
         const int fd = ::open(e.file("writer-lock").c_str(), O_RDONLY);
         must(fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0, "shared lock");
     },
     "", "", [](Env& e) { ::chmod(e.file("writer-lock").c_str(), 0644); }},
    {"FlockOnOwner", Open::previous,
     [](Env& e) {
         const int fd = ::open(e.file("owner").c_str(), O_RDONLY);
         must(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0, "flock");
     },
     ""},
    // A file of its own that uid 65534 could go on writing through a descriptor it kept.
    {"SlotsReplacedByNobodys", Open::previous, [](Env& e) { ownFile(e.file("slots"), 1 << 16); },
     "{table}/slots belongs to uid 65534"},
};

// Key 1 in `root` through a bare reader and a table's front ("forged" when one reads the forged
// record, else "-"), then what the marker read gives.
std::string runReaders(const std::string& root) {
    Mem::RootPath::rootIs(root);
    auto keyOne = [](bool attached, auto lookup) -> std::string {
        bool found = false;
        CounterEntrySimple buffer{};
        const CounterEntrySimple* v = attached ? lookup(found, &buffer) : nullptr;
        return found && v->packets() == Rec::make(1, kForged).packets() ? "forged " : "- ";
    };
    Vesk::VeskReader<Simple> reader(*testHandler(), kTable, Simple{}, nullptr);
    std::string line = keyOne(reader.initialize("attacked"), [&](bool& found, void* buffer) {
        return reader.lookup(CounterIndex(1), found, buffer);
    });
    auto dir = Orlo::Directory::DirectoryIs("sys");
    auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
    dir->entityIs(table);
    table->counterControl()->mount(Vesk::MapDescriptor(1000, Vesk::reader));
    line += keyOne(table->counter.mountStatus() != 0, [&](bool& found, void* buffer) {
        return table->counter.safeLookup(CounterIndex(1), found, buffer);
    });
    Mem::FileError error;
    const auto tableDir = Mem::TableDir::open(Mem::RootPath(*testHandler(), kTable, false),
                                              Mem::TableDir::Access::reader, error);
    std::string text;
    if (tableDir.valid() && tableDir.readFile(Vesk::Util::kCorruptionFileName,
                                              Vesk::Util::kCorruptionTextLimit, text, error))
        return line + "written";
    const char* name = ::strerrorname_np(error.errnum);
    return line + (name != nullptr ? name : std::to_string(error.errnum));
}

class MultiUserProcess : public ::testing::TestWithParam<Attack> {};

TEST_P(MultiUserProcess, NothingOutsideChanges) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to plant attacks as uid 65534 (nobody)";
    const Attack& a = GetParam();
    TraceCapture quiet;
    Env e;
    const std::string open = a.open == Open::parent ? fs::path(e.table).parent_path().string()
                             : a.open == Open::none ? ""
                                                    : e.table;
    if (a.open == Open::previous)
        makeTable(kTable, 10);  // detached when it goes
    else if (!open.empty())
        fs::create_directories(open);
    a.prepare(e);
    ::chmod(open.c_str(), 0777);
    const std::string planted =
        ask(e.attacker, Child::As::nobody, [&] { return a.plant(e), std::string("planted"); });
    ::chmod(open.c_str(), 0755);
    ASSERT_EQ(planted, "planted") << "the attack was not planted";
    const auto outside = snapshot(e.outside);

    std::unique_ptr<Child> root;
    const std::string readers = ask(root, Child::As::self, [&] { return runReaders(e.runRoot); });
    const std::string writer = ask(root, Child::As::self, [&] {
        Mem::RootPath::rootIs(e.runRoot);
        return std::string(makeTable(kTable, 2).release()->validate() ? "started" : "invalid");
    });
    EXPECT_TRUE(readers != "" && readers.find("forged") == std::string::npos &&
                readers.find("error") == std::string::npos)
        << "the readers hung, died, threw or read a forged record: " << readers;
    EXPECT_TRUE(*a.marker == '\0' || readers.ends_with(std::string(" ") + a.marker)) << readers;
    const std::string want = fmt::format(fmt::runtime(*a.refusal != '\0' ? a.refusal : "started"),
                                         fmt::arg("table", e.table), fmt::arg("root", e.root),
                                         fmt::arg("aroot", e.aroot));
    EXPECT_TRUE(writer.find(want) != std::string::npos && writer.find('|') == std::string::npos)
        << "expected one line with: " << want << "\nfound: " << writer;
    EXPECT_EQ(snapshot(e.outside), outside) << "a file outside the table (or the live one) changed";
}

INSTANTIATE_TEST_SUITE_P(Attacks, MultiUserProcess, ::testing::ValuesIn(kAttacks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
