// The `vesk` tool run as a user runs it, every command a process of its own (VESK_TOOL overrides
// the build's binary) in a private root; what it prints is compared with what the writer wrote.
#include "Ruxa/RuxaQueue.h"
#include "support/Damage.h"

#include <grp.h>
#include <poll.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Simple = CounterEntrySimpleOps;
constexpr auto npos = std::string::npos;

struct Result {
    int status = -1;  // the exit status, or 128 + the signal that ended the tool
    std::string out;  // stdout and stderr
};

// One run of the tool on the words of `command` ('' is an empty word) in a Child leading its own
// process group, killed with the Tool; stdout goes to `outFd` or, with stderr, to one pipe.
class Tool {
  public:
    explicit Tool(const std::string& command, Child::As as = Child::As::self, int outFd = -1) {
        const char* env = std::getenv("VESK_TOOL");
        std::vector<std::string> words{env != nullptr && *env != '\0' ? env : VESK_TOOL_PATH};
        std::istringstream in(command);
        for (std::string w; std::getline(in, w, ' ');)
            words.push_back(w == "''" ? "" : w);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            std::abort();
        child_ = std::make_unique<Child>(
            [&](Child&) {
                ::setpgid(0, 0);
                ::dup2(outFd >= 0 ? outFd : out[1], STDOUT_FILENO);
                ::dup2(out[1], STDERR_FILENO);
                std::vector<char*> argv;
                for (std::string& w : words)
                    argv.push_back(w.data());
                argv.push_back(nullptr);
                ::execv(argv[0], argv.data());
                return 127;
            },
            as);
        ::close(out[1]);
        fd_.reset(out[0]);
    }
    ~Tool() { ::kill(-child_->pid(), SIGKILL); }  // the Child reaps it

    // Reads until the output holds `text` (true) or ends; past kWait the tool is killed, failing.
    bool read(const std::string& text = "\1") {
        return read([&](const std::string& out) { return out.find(text) != npos; });
    }
    // Reads until `done` holds for the output so far (true) or the output ends, as above.
    bool read(const std::function<bool(const std::string&)>& done) {
        while (fd_ && !done(r_.out)) {
            const auto left =
                (end_ - std::chrono::steady_clock::now()) / std::chrono::milliseconds(1);
            pollfd p{fd_.get(), POLLIN, 0};
            char buffer[65536];
            const int ready = left > 0 ? ::poll(&p, 1, int(left)) : 0;
            const ssize_t n = ready == 1 ? ::read(fd_.get(), buffer, sizeof buffer) : 0;
            if (n > 0)
                r_.out.append(buffer, size_t(n));
            else if (ready == 0 && ::kill(-child_->pid(), SIGKILL) == 0)
                ADD_FAILURE() << "the tool did not end within " << Child::kWait << " s";
            if (n <= 0 && ready != -1)
                fd_.reset();
        }
        return bool(fd_);
    }
    void signal(int sig) { ::kill(child_->pid(), sig); }
    // The whole output (the tool and all it started are gone) and the status.
    Result wait() {
        read();
        r_.status = child_->wait();
        return r_;
    }

  private:
    std::unique_ptr<Child> child_;
    Pimbo::Fd fd_;
    Result r_;
    std::chrono::steady_clock::time_point end_ =
        std::chrono::steady_clock::now() + std::chrono::seconds(int(Child::kWait));
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}
uint64_t keyOf(const std::string& jsonLine) {
    return std::stoull(jsonLine.substr(jsonLine.find(':') + 1));
}
// The short line dump prints for a record: "7: packets=12 octets=1500".
template <class Ops>
std::string recordLine(const typename Ops::Value& v) {
    std::string line = std::to_string(Ops::key(v).value());
    const auto values = Kind<Ops>::fields(v);
    for (size_t i = 0; i < values.size(); ++i)
        line += fmt::format("{}{}={}", i == 0 ? ": " : " ", Kind<Ops>::kFields[i], values[i]);
    return line;
}
// A simple record's JSON line equals this when it is a whole record the writer wrote.
std::string simpleAsWritten(const std::string& line) {
    const uint64_t k = keyOf(line);
    const uint64_t packets = std::stoull(line.substr(line.find("packets") + 10));
    return recordJson<Simple>(Kind<Simple>::make(k, (packets - k % 100) / packetStep(k)));
}

class VeskToolProcess : public ::testing::Test {
  protected:
    std::string rooted(const std::string& command) const {
        return command.find("--root") != npos ? command : command + " --root " + root_.dir();
    }
    Result vesk(const std::string& command, Child::As as = Child::As::self, int outFd = -1) {
        return Tool(rooted(command), as, outFd).wait();
    }
    std::string fill(const std::string& table, const std::string& type, uint64_t count,
                     const std::string& more = "") {
        const Result r =
            vesk("fill " + table + " --type " + type + " --count " + std::to_string(count) + more);
        EXPECT_EQ(r.status, 0) << table << ": " << r.out;
        return r.out;
    }
    std::string path(const std::string& rel) const { return root_.path(rel); }

    // The dumps hold keys 0..count-1 of Ops, each as the fill that printed `filled` left it.
    template <class Ops>
    void expectDump(const std::string& table, uint64_t count, const std::string& filled) {
        SCOPED_TRACE(table);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(filled, m, std::regex(R"((\d+) updates \()"))) << filled;
        const auto json = lines(vesk("dump " + table + " --json").out);
        const auto plain = lines(vesk("dump " + table).out);
        const auto streps = lines(vesk("dump " + table + " --strep").out);
        ASSERT_TRUE(json.size() == count && plain.size() == count && streps.size() == count);
        std::set<uint64_t> keys;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t k = keyOf(json[i]);
            const auto v = Kind<Ops>::make(k, generationAfter(k, count, std::stoull(m[1])));
            EXPECT_TRUE(k < count && keys.insert(k).second) << json[i];
            EXPECT_TRUE(json[i] == recordJson<Ops>(v) && plain[i] == recordLine<Ops>(v) &&
                        streps[i] == testing::PrintToString(v))
                << json[i] << "\n"
                << plain[i];
        }
    }

    TestRoot root_;
};

// Every command beside a live fill; SIGTERM leaves exactly what it wrote, which the next writer
// reuses; dump agrees with the writer for every type.
TEST_F(VeskToolProcess, LiveFill) {
    const std::regex lsRow(R"(\nt +simple +300 +\d+ +\d+ +(\S+) +(yes|no) +(\S+)\n)");
    std::smatch m;
    Tool live(rooted("fill t --type simple --count 300 --updates-per-sec 4000"));
    ASSERT_TRUE(live.read(" ready: "));
    const std::string ls = vesk("ls").out;
    ASSERT_TRUE(std::regex_search(ls, m, lsRow) && m[2] == "yes") << ls;
    const std::string generation = m[3];
    const std::string stat = vesk("stat t").out;
    for (const char* line :
         {R"(\nrecords +300\n)", R"(\nwriter +pid \d+, alive\n)", R"(records walked +300 )"})
        EXPECT_TRUE(std::regex_search(stat, std::regex(line))) << stat;
    // get: each record whole, in the order asked; a missing key is "not found", status 1.
    const Result get = vesk("get t 0 7 0x12b 5000 --json");
    const auto got = lines(get.out);
    ASSERT_TRUE(get.status == 1 && got.size() == 5u) << get.out;
    for (const auto& [i, key] : {std::pair{0, 0ull}, {1, 7ull}, {2, 299ull}})
        EXPECT_TRUE(keyOf(got[i]) == key && got[i] == simpleAsWritten(got[i])) << got[i];
    EXPECT_EQ(got[3], R"({"key": 5000, "error": "not found"})");
    EXPECT_NE(got[4].find("not found: 1 of 4 keys"), npos) << got[4];
    std::set<uint64_t> keys;  // dump: every key once, each a record the writer wrote
    for (const std::string& line : lines(vesk("dump t --json").out))
        EXPECT_TRUE(keys.insert(keyOf(line)).second && line == simpleAsWritten(line)) << line;
    EXPECT_TRUE(keys.size() == 300 && *keys.rbegin() == 299);
    // watch: two refreshes of the five busiest, busiest first, the busiest moving.
    const auto watch = lines(vesk("watch t --interval 0.5 --count 2 --top 5").out);
    ASSERT_EQ(watch.size(), 14u);
    for (const size_t at : {0, 7}) {
        EXPECT_EQ(watch[at].rfind("vesk watch 't' (simple): 300 records", 0), 0u) << watch[at];
        double previous = 1e300;
        for (size_t row = at + 2; row < at + 7; ++row) {
            uint64_t key = 300, packets = 0;
            double rate = -1;
            std::istringstream(watch[row]) >> key >> packets >> rate;
            EXPECT_TRUE(key < 300 && rate <= previous && (row > at + 2 || rate > 0)) << watch[row];
            previous = rate;
        }
    }
    const Result check = vesk("check t");  // takes no lock: the writer goes on
    EXPECT_TRUE(check.status == 0 && check.out.find("300 records + ") != npos) << check.out;

    live.signal(SIGTERM);
    const Result stopped = live.wait();
    EXPECT_TRUE(stopped.status == 0 && stopped.out.find("stopped by SIGTERM") != npos &&
                stopped.out.find("files valid, writer detached") != npos)
        << stopped.out;
    expectDump<Simple>("t", 300, stopped.out);
    fill("t", "simple", 300);
    const std::string lsAfter = vesk("ls").out;
    ASSERT_TRUE(std::regex_search(lsAfter, m, lsRow) && m[1] == "-" && m[2] == "no") << lsAfter;
    EXPECT_EQ(m[3], generation) << "the files were re-formatted instead of reused";

    const auto fillAndCompare = [&]<class Ops>(Ops, uint64_t count = 200) {
        const std::string name = Kind<Ops>::kName;
        expectDump<Ops>(name, count,
                        fill(name, name, count, " --updates-per-sec 5000 --seconds 0.4"));
    };
    fillAndCompare(CounterEntryNormalOps{});
    fillAndCompare(CounterEntryWideOps{});
    fillAndCompare(CounterEntryBitmap64Ops{});
    fillAndCompare(CounterEntryNormalOps{}, 70);   // a smaller fill leaves exactly its own keys
    fill("cap", "wide", 100, " --capacity 3000");  // formatted for 3000 records at once
    const std::string capacityLs = vesk("ls").out;
    EXPECT_TRUE(std::regex_search(capacityLs, std::regex(R"(\ncap +wide +100 +3000 +4096 )")))
        << capacityLs;
}

// Every command ends with its status; one that fails says why in one line (check after its
// heading).
TEST_F(VeskToolProcess, StatusAndOneLine) {
    ASSERT_EQ(::chmod(root_.dir().c_str(), 0700), 0);  // closed to uid 65534
    fill("holder/inner", "wide", 3);
    for (const char* t : {"gone", "odd"})
        fill(t, "simple", 100);
    fill("free", "simple", 200);
    fill("free", "simple", 100);  // 100 free slots besides its 100 records
    fill("t", "simple", 2000);    // its dump overflows the output buffer
    for (const char* dir : {"notatable/sub", "garbage", "f", "open"})
        fs::create_directories(path(dir));
    fs::permissions(path("open"), fs::perms::all);
    std::ofstream(path("plainfile")) << "x";
    std::ofstream(path("garbage/slots")) << std::string(4096, 'g');
    for (const char* node : {"t/corruption-detected", "f/slots", "f/owner", "f/cinder"})
        ASSERT_EQ(::mknod(path(node).c_str(), (node[0] == 'f' ? S_IFSOCK : S_IFIFO) | 0644, 0), 0);
    fs::remove(path("gone/buckets"));
    pwriteAt(path("odd/slots"), Off::kValueType, "Elsewhere::CounterEntryOther", 29);
    // A live writer caught inside an insert: the critical-section bit set, the record not counted.
    Tool busy(rooted("fill busy --type simple --count 10 --seconds 600"));
    ASSERT_TRUE(busy.read(" ready: "));
    pwriteValue(path("busy/slots"), Off::kRuntimeFlags, uint16_t(1));
    pwriteValue(path("busy/slots"), Off::kOccupied, uint32_t(9));

    EXPECT_NE(vesk("check free").out.find("100 records + 100 free = 200 slots"), npos);
    int closed[2];
    ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
    const Pimbo::Fd pipeEnd(closed[1]), full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    ::close(closed[0]);

    const std::string wide = " --type wide --count 1";
    const struct group* g = ::getgrgid(65534);  // none, or not root: group is ""
    const std::string group = ::geteuid() == 0 && g != nullptr ? g->gr_name : "";
    const struct {
        std::string command;
        int status;
        std::string text;
        Child::As as = Child::As::self;
        int out = -1;  // the tool's stdout when set
    } cases[] = {
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"fill t --cout 10", 2, "vesk fill: unknown option '--cout'; did you mean '--count'?"},
        {"get t 1 --jsn", 2, "unknown option '--jsn'; did you mean '--json'?"},
        {"ls --tables x", 2, "vesk ls: unknown option '--tables' (see"},
        {"fill u --type simple --count 1 2", 2, "vesk fill: unexpected argument '2'"},
        {"dump t --json --strep", 2, "excludes"},
        {"--help", 4, "No space left on device", Child::As::self, full.get()},
        {"fill --help", 4, "No space left on device", Child::As::self, full.get()},
        {"fill u --root " + path("u/deeper") + wide, 3, "directory " + path("u") + " does not"},
        {"demo --root " + path("open"), 3,
         "refusing untrusted directory above the root " + path("open")},
        {"get t", 2, "KEY is required"},
        {"get t abc", 2, "bad number 'abc'"},
        {"fill u --type simple --count -1", 2, "bad number '-1' for --count"},
        {"watch t --interval 0", 2, "bad number"},
        {"fill t --type double --count 5", 2, "wrong record type 'double'"},
        {"fill u --mode 0666" + wide, 2, "bad mode '0666'"},
        {"fill u --group no-such-g" + wide, 2, "no such group 'no-such-g'"},
        {"fill u --capacity 2147483647" + wide, 3, "u: capacity hint 2147483647 is beyond"},
        {"ls --root ''", 2, "bad --root ''"},
        {"serve --listen 9477", 2, "bad address '9477' for --listen"},
        {"serve --listen [::1]:65536", 2, "bad address '[::1]:65536'"},
        {"serve --listen 203.0.113.9:0", 2, "cannot listen on 203.0.113.9:0"},
        {"serve --max-series -5", 2, "bad number '-5' for --max-series"},
        {"stat ../t", 2, "bad table name"},
        {"fill a\tb" + wide, 2, "bad table name"},
        {"fill d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d" + wide, 2, "bad table name"},  // too deep
        {"get missing 1", 3, "no such table"},
        {"ls --root " + path("nowhere"), 3, "does not exist"},
        {"dump notatable", 3, "not a table"},
        {"dump holder", 3, "holds tables such as 'holder/inner'"},
        {"dump plainfile", 3, "not a table"},
        {"dump garbage", 3, "not a table"},
        {"fill notatable" + wide, 3, "not a table"},
        {"fill t/in" + wide, 3, "'t' is a table"},
        {"fill plainfile/x" + wide, 3, "plainfile is a regular file, not a directory"},
        {"fill t --type normal --count 5", 3, "wrong record type"},
        {"get odd 1", 3, "wrong record type"},
        {"watch t --count 1", 3, "writer absent"},
        {"follow t", 3, "writer absent"},
        {"get t 1", 3, "permission denied", Child::As::nobody},
        {"fill p" + wide, 3, "permission denied", Child::As::nobody},
        {"ls", 0, ""},
        {"stat t", 0, ""},
        {"get f 1", 3, "f/slots is a socket"},
        {"check f", 3, "f/slots is a socket"},
        {"fill f --type simple --count 1", 3, "f/owner is a socket"},
        {"check gone", 3, "gone/buckets does not exist"},
        {"check busy", 3, "writer mid-change"},
        {"dump t", 4, "No space left on device", Child::As::self, full.get()},
        {"dump t", 0, "", Child::As::self, pipeEnd.get()},
        {"fill m --type simple --count 5 --mode 0640 --group " + group, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        if ((c.as == Child::As::nobody || c.command.ends_with("--group ")) && group.empty())
            continue;  // only root may run the tool as uid 65534 or give a table its group
        const Result r = vesk(c.command, c.as, c.out);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.text), npos) << r.out;
        const bool oneLine = c.status >= 2 && c.command.rfind("check", 0) != 0;
        if (oneLine || c.out >= 0) {  // a closed pipe: nothing at all
            EXPECT_EQ(lines(r.out).size(), size_t(oneLine)) << r.out;
            EXPECT_EQ(r.out.rfind("vesk", 0) == 0, oneLine) << r.out;
        }
    }
    EXPECT_FALSE(fs::exists(path("u"))) << "a refused fill created its table";
    for (const char* file : {"", "/slots", "/buckets", "/owner", "/cinder"}) {
        struct stat st {};
        EXPECT_TRUE(group.empty() || (::stat((path("m") + file).c_str(), &st) == 0 &&
                                      (st.st_mode & 07777) == (*file != '\0' ? 0640u : 0750u) &&
                                      st.st_gid == 65534u))
            << file << ": mode " << std::oct << st.st_mode << ", group " << std::dec << st.st_gid;
    }
}

// Every damage the checker names (support/Damage.h), each in a table its writer left: `check`
// reports each fault (status 1) and writes nothing; `get` of the probe ends in one line as a
// reader's lookup does, `dump` and `stat` as its iteration does.
TEST_F(VeskToolProcess, CheckReportsDamage) {
    for (const DamageKind& kind : damageKinds()) {
        if (kind.checker.empty())
            continue;
        SCOPED_TRACE(kind.what);
        DamagedTable d(kind, "damaged");
        d.w.reset();
        const auto before = snapshot(d.dir);
        const Result check = vesk("check damaged");
        EXPECT_TRUE(check.status == 1 && check.out.find("  FAULT  ") != npos) << check.out;
        for (const std::string& fault : lines(kind.checker))
            EXPECT_NE(check.out.find(d.says(fault)), npos) << check.out;
        EXPECT_TRUE(snapshot(d.dir) == before) << "check wrote to the table";
        const std::pair<std::string, const char*> reads[] = {
            {"get damaged " + std::to_string(d.probe), kind.reader.walk},
            {"dump damaged --table-order", kind.reader.iteration},
            {"stat damaged", kind.reader.iteration}};
        for (const auto& [command, says] : reads) {
            if (says == nullptr || *says == '\0')
                continue;
            const Result r = vesk(command);
            EXPECT_TRUE(r.status == 3 && lines(r.out).size() == 1 &&
                        r.out.find(d.says(says)) != npos)
                << command << ": " << r.out;
        }
        fs::remove_all(d.dir);
    }
}

// A table taken away under its writer, or cut short or re-formatted under a dump held part way by
// its full pipe, ends the command with status 3 and the reason: never a partial table with status
// 0, nor a signal.
TEST_F(VeskToolProcess, SpoiltUnderACommand) {
    const struct {
        const char *command, *started;
        std::function<void()> spoil;
        const char* says;
    } cases[] = {{"fill t --type simple --count 300 --seconds 600", " ready: ",
                  [&] { fs::remove_all(path("t")); }, "was taken away under its writer"},
                 {"dump t", "\n", [&] { fs::resize_file(path("t/slots"), 0); },
                  "t/slots shrank under the reader"},
                 {"dump t", "\n", [&] { fs::remove(path("t/owner")), fill("t", "simple", 20000); },
                  "table 't' was re-formatted while it was dumped"}};  // the next writer re-formats
    for (const auto& c : cases) {
        fill("t", "simple", 20000);
        Tool tool(rooted(c.command));
        ASSERT_TRUE(tool.read(c.started));  // a dump is then held by its full pipe
        c.spoil();
        const Result got = tool.wait();
        EXPECT_TRUE(got.status == 3 && got.out.find(c.says) != npos)
            << c.command << ": "
            << got.out.substr(got.out.size() - std::min<size_t>(got.out.size(), 200));
        fs::remove_all(path("t"));
    }
}

// follow beside a live fill --notify: its lines hold changes beyond the first sync and, folded by
// key, end as the table its writer left; follow then ends by itself. A table whose writer does
// not publish is refused once the shadow attached.
TEST_F(VeskToolProcess, FollowShowsEveryChange) {
    const struct {
        const char *fill, *follow;
        int status;
        const char* says;
    } cases[] = {
        {" --notify", "", 0, "every change it published was applied"},
        {" --notify", " --keys-only", 0, "every change it published was applied"},
        {" --notify", " --json", 0, "every change it published was applied"},
        {"", "", 3,
         "table 't' does not publish changes (its writer was not started with "
         "--notify): notification queue"},
    };
    const std::regex keyText(R"(key.: (\d+)|^(\d+))"), changesText(R"(, (\d+) changes,)");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.follow + std::string(c.fill));
        if (c.status != 0)  // the queue of an earlier writer is no current one
            fill("t", "simple", 300, " --notify");
        Tool writer(rooted(std::string("fill t --type simple --count 300 --updates-per-sec 4000") +
                           c.fill));
        ASSERT_TRUE(writer.read(" ready: "));
        Tool follow(rooted(std::string("follow t") + c.follow));
        // More changes than the first sync's 300 records: the writer's updates came through.
        follow.read([&](const std::string& out) {
            std::smatch m;
            for (auto at = out.cbegin(); std::regex_search(at, out.cend(), m, changesText);
                 at = m[0].second) {
                if (std::stoull(m[1]) > 300)
                    return true;
            }
            return false;
        });
        writer.signal(SIGTERM);
        EXPECT_EQ(writer.wait().status, 0);
        const Result followed = follow.wait();
        EXPECT_TRUE(followed.status == c.status && followed.out.find(c.says) != npos)
            << followed.out.substr(followed.out.size() -
                                   std::min<size_t>(followed.out.size(), 400));
        if (c.status != 0) {
            EXPECT_EQ(lines(followed.out).size(), 1u) << followed.out;
            continue;
        }
        std::map<uint64_t, std::string> folded;
        for (const std::string& line : lines(followed.out)) {
            std::smatch m;
            if (line.rfind("vesk follow", 0) != 0 && std::regex_search(line, m, keyText))
                folded[std::stoull(m[1].matched ? m[1] : m[2])] = line;
        }
        const bool json = std::string(c.follow).find("--json") != npos;
        std::map<uint64_t, std::string> dumped;
        for (const std::string& line : lines(vesk(json ? "dump t --json" : "dump t").out)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(line, m, keyText)) << line;
            dumped[std::stoull(m[1].matched ? m[1] : m[2])] = line;
        }
        EXPECT_EQ(dumped.size(), 300u);
        EXPECT_TRUE(folded == dumped) << "follow ended as another table than the writer left";
        fs::remove_all(path("t"));
    }
}

// A queue withdrawn (generation 0) and no writer left: follow ends with status 3; with --wait it
// waits for the table, follows its writer and the next one, and waits on, caught up.
TEST_F(VeskToolProcess, FollowWaitAndWithdrawnQueue) {
    const std::regex synced(R"(\(synced\), \d+ changes, 300 records, writer pid)");
    Tool follow(rooted("follow t --wait"));
    ASSERT_TRUE(follow.read("waiting for a writer"));
    auto read = [&](const std::regex& says, const std::string& after) {
        return follow.read([&](const std::string& out) {
            const size_t at = out.find(after);
            return at != npos && std::regex_search(out.cbegin() + long(at), out.cend(), says);
        });
    };
    {
        Tool writer(rooted("fill t --type simple --count 300 --updates-per-sec 4000 --notify"));
        ASSERT_TRUE(writer.read(" ready: ") && read(synced, ""));
        Tool plain(rooted("follow t"));
        ASSERT_TRUE(plain.read("mount status 2 (synced)"));
        pwriteValue(path("t/notifications"), offsetof(Ruxa::QueueFileHeader, generation),
                    uint32_t(0));
        ASSERT_TRUE(follow.read("notification queue withdrawn"));
        writer.signal(SIGTERM);
        EXPECT_EQ(writer.wait().status, 0);
        const Result r = plain.wait();  // before another writer runs
        EXPECT_TRUE(r.status == 3 &&
                    r.out.find("queue withdrawn: the notification queue of table 't'") != npos)
            << r.out.substr(r.out.rfind("vesk follow"));
    }
    Tool writer(rooted("fill t --type simple --count 300 --updates-per-sec 4000 --notify"));
    ASSERT_TRUE(writer.read(" ready: ") && read(synced, "notification queue withdrawn"));
    writer.signal(SIGTERM);
    EXPECT_EQ(writer.wait().status, 0);
    ASSERT_TRUE(read(std::regex("lag 0, .* 300 records, writer stopped"), ""));
    follow.signal(SIGINT);
    EXPECT_EQ(follow.wait().status, 0);
}

// The demo ends without torn, lost or backward records; killed, its processes end with it; either
// way its private root is removed.
TEST_F(VeskToolProcess, Demo) {
    const Result demo =
        vesk("demo --seconds 1.5 --count 3000 --readers 2 --seed " + std::to_string(testSeed()));
    EXPECT_EQ(demo.status, 0) << demo.out;
    // "ok" only with every record written, none torn, lost or gone back, and readers that ran.
    for (const char* line :
         {"result: +ok", R"(lookups: +[1-9]\d* \()", R"(iterations: +[1-9]\d* )",
          R"(shadow: +12000 records followed, [1-9]\d* changes applied, \d+ resyncs, 0 diff)"})
        EXPECT_TRUE(std::regex_search(demo.out, std::regex(line))) << line << "\n" << demo.out;
    EXPECT_TRUE(fs::is_empty(root_.dir())) << "the demo left its private root behind";

    Tool killed(rooted("demo --seconds 600 --count 1000"));
    ASSERT_TRUE(killed.read(" s  "));  // a progress line: its readers run
    killed.signal(SIGKILL);
    EXPECT_EQ(killed.wait().status, 128 + SIGKILL);  // the pipe ends with the demo's last process
    EXPECT_TRUE(fs::is_empty(root_.dir())) << "the killed demo left its private root behind";
}

// The self-check the demo counts torn records by: a copy mixing two writes of a record (the
// newer with the low half of its last word from the older) fails it.
TEST(VeskTool, RecordsTheToolWritesCatchAMixedCopy) {
    const auto expectCaught = []<class Ops>(Ops) {
        using K = Kind<Ops>;
        const auto mix = [](auto v, const auto& from) {
            std::memcpy(reinterpret_cast<char*>(&v) + sizeof v - 8,
                        reinterpret_cast<const char*>(&from) + sizeof v - 8, 4);
            return v;
        };
        for (const uint64_t k : {0ull, 1ull, 15ull, 99ull, 100ull, 12345ull, 1ull << 40})
            for (const uint64_t n : {0ull, 1ull, 2ull, 1000ull}) {
                SCOPED_TRACE(testing::Message() << K::kName << " key " << k << " generation " << n);
                const auto older = K::make(k, n), newer = K::make(k, n + 1);
                EXPECT_TRUE(K::selfCheck(older) && K::selfCheck(newer));
                EXPECT_GT(K::progress(newer), K::progress(older));
                EXPECT_FALSE(K::selfCheck(mix(newer, older)) || K::selfCheck(mix(older, newer)));
            }
    };
    expectCaught(CounterEntrySimpleOps{});
    expectCaught(CounterEntryNormalOps{});
    expectCaught(CounterEntryBitmap64Ops{});
}

}  // namespace
