// The `vesk` tool driven as a user drives it: every command is a separate process started from
// here (the tool binary comes from the build, VESK_TOOL overrides it), with a private root under
// /dev/shm per test. A `vesk fill` keeps writing in the background while the other commands
// read; their output is parsed and compared with what the writer wrote.
#include "../tools/RecordKinds.h"
#include "Orlo/Hash.h"
#include "TestRoot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace VeskTool;
using Clock = std::chrono::steady_clock;

std::string toolPath() {
    if (const char* p = std::getenv("VESK_TOOL"); p != nullptr && *p != '\0')
        return p;
#ifdef VESK_TOOL_PATH
    return VESK_TOOL_PATH;
#else
    return "vesk";
#endif
}

struct Result {
    bool exited = false;  // ended by exit, not by a signal
    int status = -1;
    std::string out;
    std::string err;
};

// One run of the tool, its output read through pipes while it runs.
class Tool {
  public:
    // runAs >= 0: the child drops to that user and group id before it runs the tool. outFd >= 0:
    // the tool's stdout instead of a pipe. The tool leads its own process group, which goes
    // with it (its children too).
    explicit Tool(const std::vector<std::string>& args, int runAs = -1, int outFd = -1) {
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            std::abort();
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(outFd >= 0 ? outFd : out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::close(out[0]);
            ::close(err[0]);
            ::close(out[1]);
            ::close(err[1]);
            if (runAs >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(runAs)) != 0 ||
                               ::setuid(uid_t(runAs)) != 0)) {
                ::_exit(126);
            }
            const std::string path = toolPath();
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~Tool() {
        if (pid_ > 0 && !reaped_) {
            ::kill(-pid_, SIGKILL);
            wait(10);
        }
        closeFds();
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    // Reads output until stdout holds `text`; false after `seconds` or when the tool ended.
    bool waitForOutput(const std::string& text, double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (result_.out.find(text) == std::string::npos) {
            if (Clock::now() > deadline || !pump(50))
                return result_.out.find(text) != std::string::npos;
        }
        return true;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // Waits until the tool has written something to stdout, without reading it.
    bool outputWaiting(double seconds) {
        pollfd p{outFd_, POLLIN, 0};
        return ::poll(&p, 1, int(seconds * 1000)) == 1;
    }

    // Waits for the end (killing the tool after `seconds`) and returns what it did.
    Result wait(double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (pump(50)) {
            if (Clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ADD_FAILURE() << "the tool did not end within " << seconds << " s";
                break;
            }
        }
        while (pump(50)) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        result_.exited = WIFEXITED(status);
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        closeFds();
        return result_;
    }

    const std::string& out() const { return result_.out; }

  private:
    // Reads what is there; false once both pipes are at their end.
    bool pump(int timeoutMs) {
        std::vector<pollfd> fds;
        if (outFd_ >= 0)
            fds.push_back({outFd_, POLLIN, 0});
        if (errFd_ >= 0)
            fds.push_back({errFd_, POLLIN, 0});
        if (fds.empty())
            return false;
        if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
            return true;
        for (const pollfd& p : fds) {
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(p.fd, buffer, sizeof(buffer));
            std::string& into = p.fd == outFd_ ? result_.out : result_.err;
            if (n > 0) {
                into.append(buffer, size_t(n));
            } else {
                ::close(p.fd);
                (p.fd == outFd_ ? outFd_ : errFd_) = -1;
            }
        }
        return true;
    }
    void closeFds() {
        if (outFd_ >= 0)
            ::close(outFd_);
        if (errFd_ >= 0)
            ::close(errFd_);
        outFd_ = errFd_ = -1;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    Result result_;
};

Result run(const std::vector<std::string>& args, double seconds = 30, int runAs = -1) {
    Tool tool(args, runAs);
    return tool.wait(seconds);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// A JSON record line as the tool prints it: {"key": 7, "packets": 12, "octets": 1500}.
std::map<std::string, uint64_t> parseJson(const std::string& line) {
    static const std::regex whole(R"(^\{"key": \d+(, "\w+": \d+)*\}$)");
    static const std::regex field(R"R("(\w+)": (\d+))R");
    std::map<std::string, uint64_t> fields;
    if (!std::regex_match(line, whole)) {
        ADD_FAILURE() << "not a JSON record line: " << line;
        return fields;
    }
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it)
        fields[(*it)[1]] = std::stoull((*it)[2]);
    return fields;
}

// The fields of a record as JSON would name them.
template <class Ops>
std::map<std::string, uint64_t> expectedFields(const typename Ops::Value& v) {
    std::map<std::string, uint64_t> fields{{"key", Ops::key(v).value()}};
    const auto values = Kind<Ops>::fields(v);
    for (size_t i = 0; i < values.size(); ++i)
        fields[Kind<Ops>::kFields[i]] = values[i];
    return fields;
}

// The number of updates a finished `vesk fill` reports ("..., 5713 updates (...)").
uint64_t updatesMade(const std::string& fillOutput) {
    static const std::regex updates(R"((\d+) updates \()");
    std::smatch m;
    if (!std::regex_search(fillOutput, m, updates)) {
        ADD_FAILURE() << "no update count in: " << fillOutput;
        return 0;
    }
    return std::stoull(m[1]);
}

// An error as the issue wants it: exited normally with `status`, one line on stderr that names
// the problem, nothing on stdout.
void expectOneLineError(const Result& r, int status, const std::string& problem,
                        const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(r.exited) << "ended by a signal: " << r.err;
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("vesk", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// The bytes of every file of a directory tree, by path.
std::map<std::string, std::string> snapshotFiles(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files[e.path().string()] = bytes.str();
    }
    return files;
}

void pokeU32(const std::string& path, uint64_t offset, uint32_t value) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, &value, sizeof(value), off_t(offset)), ssize_t(sizeof(value)));
    ::close(fd);
}
uint32_t peekU32(const std::string& path, uint64_t offset) {
    uint32_t value = 0;
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::pread(fd, &value, sizeof(value), off_t(offset)), ssize_t(sizeof(value)));
    ::close(fd);
    return value;
}

// Slot files of simple tables: 576-byte header, 40-byte lookaside slot, then 40-byte slots:
// link (version, next), flags, rhash, record.
constexpr uint64_t kSimpleSlot0 = 616;
constexpr uint64_t kSimpleSlotSize = 40;

// ----- tests -----

TEST(VeskTool, HelpListsEveryCommandAndEveryCommandTakesRootAndHelp) {
    const Result all = run({"--help"});
    EXPECT_EQ(all.status, 0);
    for (const char* command : {"ls", "stat", "dump", "get", "watch", "fill", "check", "demo"}) {
        EXPECT_NE(all.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
        const Result one = run({command, "--help"});
        EXPECT_EQ(one.status, 0) << command;
        EXPECT_NE(one.out.find(std::string("Usage: vesk ") + command), std::string::npos)
            << one.out;
        EXPECT_NE(one.out.find("--root DIR"), std::string::npos) << command;
    }
}

// The scenario of a user: `vesk fill` in one shell, every other command in another while the
// fill keeps updating; then the fill is interrupted and what is left is exactly what it wrote.
TEST(VeskTool, LiveTableSeenByEveryCommandWhileTheFillUpdates) {
    using Ops = CounterEntrySimpleOps;
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    constexpr uint64_t kCount = 300;
    Tool fill({"fill", "t", "--root", r, "--type", "simple", "--count", std::to_string(kCount),
               "--updates-per-sec", "4000"});
    ASSERT_TRUE(fill.waitForOutput(" ready: ", 20)) << fill.out();

    const Result ls = run({"ls", "--root", r});
    ASSERT_EQ(ls.status, 0) << ls.err;
    const auto lsLines = lines(ls.out);
    ASSERT_EQ(lsLines.size(), 2u) << ls.out;
    EXPECT_TRUE(std::regex_search(lsLines[1],
                                  std::regex(R"(^t +simple +300 +\d+ +\d+ +\d+ +yes +\d+:\d+$)")))
        << lsLines[1];

    const Result stat = run({"stat", "t", "--root", r});
    ASSERT_EQ(stat.status, 0) << stat.err;
    EXPECT_TRUE(std::regex_search(stat.out, std::regex(R"(\nrecords +300\n)"))) << stat.out;
    EXPECT_TRUE(std::regex_search(stat.out, std::regex(R"(\nwriter +pid \d+, alive\n)")))
        << stat.out;
    EXPECT_TRUE(std::regex_search(stat.out, std::regex(R"(records walked +300 )"))) << stat.out;

    // get: each record whole, in the order asked.
    const Result get = run({"get", "t", "0", "7", "0x12b", "--root", r, "--json"});
    ASSERT_EQ(get.status, 0) << get.err;
    const auto getLines = lines(get.out);
    ASSERT_EQ(getLines.size(), 3u) << get.out;
    const uint64_t asked[] = {0, 7, 299};
    for (size_t i = 0; i < 3; ++i) {
        const auto f = parseJson(getLines[i]);
        EXPECT_EQ(f.at("key"), asked[i]);
        const uint64_t k = asked[i];
        const uint64_t n = (f.at("packets") - k % 100) / packetStep(k);
        EXPECT_EQ(f, expectedFields<Ops>(Kind<Ops>::make(k, n))) << getLines[i];
    }

    // dump --json: every key once, every record one that the writer wrote.
    const Result dump = run({"dump", "t", "--root", r, "--json"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    std::set<uint64_t> keys;
    for (const std::string& line : lines(dump.out)) {
        const auto f = parseJson(line);
        const uint64_t k = f.at("key");
        EXPECT_TRUE(keys.insert(k).second) << "key " << k << " twice";
        const uint64_t n = (f.at("packets") - k % 100) / packetStep(k);
        EXPECT_EQ(f, expectedFields<Ops>(Kind<Ops>::make(k, n))) << line;
    }
    EXPECT_EQ(keys.size(), kCount);
    EXPECT_EQ(*keys.rbegin(), kCount - 1);

    // watch, bounded: two refreshes of the five busiest, with rates, busiest first.
    const Result watch =
        run({"watch", "t", "--root", r, "--interval", "0.5", "--count", "2", "--top", "5"});
    ASSERT_EQ(watch.status, 0) << watch.err;
    const auto watchLines = lines(watch.out);
    ASSERT_EQ(watchLines.size(), 14u) << watch.out;
    for (int refresh = 0; refresh < 2; ++refresh) {
        const size_t at = size_t(refresh) * 7;
        EXPECT_EQ(watchLines[at].rfind("vesk watch 't' (simple): 300 records", 0), 0u)
            << watchLines[at];
        EXPECT_TRUE(std::regex_search(watchLines[at + 1],
                                      std::regex(R"(^KEY +packets +packets/s +octets +octets/s$)")))
            << watchLines[at + 1];
        double previous = 1e300;
        for (size_t row = at + 2; row < at + 7; ++row) {
            std::istringstream in(watchLines[row]);
            uint64_t key, packets, octets;
            double packetRate, octetRate;
            ASSERT_TRUE(in >> key >> packets >> packetRate >> octets >> octetRate)
                << watchLines[row];
            EXPECT_LT(key, kCount);
            EXPECT_LE(packetRate, previous) << "not the busiest first: " << watchLines[row];
            previous = packetRate;
        }
        // 4000 updates/s over 300 keys, up to 16 packets each: the busiest move.
        std::istringstream top(watchLines[at + 2]);
        uint64_t key, packets;
        double packetRate;
        top >> key >> packets >> packetRate;
        EXPECT_GT(packetRate, 0.0) << watchLines[at + 2];
    }

    // check beside the live writer: no lock taken, so the writer goes on.
    const Result check = run({"check", "t", "--root", r});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("result      ok"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("300 records + "), std::string::npos) << check.out;

    fill.signal(SIGINT);
    const Result filled = fill.wait(20);
    ASSERT_EQ(filled.status, 0) << filled.out << filled.err;
    EXPECT_NE(filled.out.find("stopped by SIGINT"), std::string::npos) << filled.out;
    EXPECT_NE(filled.out.find("files valid, writer detached"), std::string::npos) << filled.out;
    const uint64_t updates = updatesMade(filled.out);
    EXPECT_GT(updates, 0u);

    // What is left is exactly what the writer wrote: key k at its round-robin generation.
    const Result after = run({"dump", "t", "--root", r, "--json"});
    ASSERT_EQ(after.status, 0) << after.err;
    size_t records = 0;
    for (const std::string& line : lines(after.out)) {
        const auto f = parseJson(line);
        const uint64_t k = f.at("key");
        EXPECT_EQ(f, expectedFields<Ops>(Kind<Ops>::make(k, generationAfter(k, kCount, updates))))
            << line;
        ++records;
    }
    EXPECT_EQ(records, kCount);
    const Result lsAfter = run({"ls", "--root", r});
    EXPECT_TRUE(std::regex_search(lsAfter.out, std::regex(R"(\nt +simple +300 .* - +no +)")))
        << lsAfter.out;
    EXPECT_EQ(run({"check", "t", "--root", r}).status, 0);
}

// dump agrees record for record with the writer for the four record types, in both forms; a
// second, smaller fill of the same table leaves exactly its own keys.
template <class Ops>
void fillAndCompare(const std::string& r, uint64_t count) {
    const std::string name = Kind<Ops>::kName;
    SCOPED_TRACE(name);
    const Result fill =
        run({"fill", name, "--root", r, "--type", name, "--count", std::to_string(count),
             "--updates-per-sec", "5000", "--seconds", "0.4"});
    ASSERT_EQ(fill.status, 0) << fill.out << fill.err;
    const uint64_t updates = updatesMade(fill.out);

    const Result json = run({"dump", name, "--root", r, "--json"});
    const Result plain = run({"dump", name, "--root", r});
    ASSERT_EQ(json.status, 0) << json.err;
    ASSERT_EQ(plain.status, 0) << plain.err;
    const auto jsonLines = lines(json.out);
    const auto plainLines = lines(plain.out);
    ASSERT_EQ(jsonLines.size(), count);
    ASSERT_EQ(plainLines.size(), count);
    std::set<uint64_t> keys;
    for (size_t i = 0; i < count; ++i) {
        const auto f = parseJson(jsonLines[i]);
        const uint64_t k = f.at("key");
        keys.insert(k);
        const auto expected = Kind<Ops>::make(k, generationAfter(k, count, updates));
        EXPECT_EQ(f, expectedFields<Ops>(expected)) << jsonLines[i];
        // Both forms list the records in the same (table) order.
        std::ostringstream strep;
        strep << expected;
        EXPECT_EQ(plainLines[i], strep.str());
    }
    EXPECT_EQ(keys.size(), count);
}

TEST(VeskTool, DumpAgreesRecordForRecordWithTheWriterForEveryType) {
    VeskTest::TestRoot root;
    fillAndCompare<CounterEntrySimpleOps>(root.dir(), 200);
    fillAndCompare<CounterEntryNormalOps>(root.dir(), 200);
    fillAndCompare<CounterEntryWideOps>(root.dir(), 200);
    fillAndCompare<CounterEntryBitmap64Ops>(root.dir(), 200);
    // The same table again with fewer keys: the earlier keys beyond the new count are gone.
    fillAndCompare<CounterEntryNormalOps>(root.dir(), 70);
}

TEST(VeskTool, ErrorsAreOneLineNamingTheProblem) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    ASSERT_EQ(run({"fill", "t", "--root", r, "--type", "simple", "--count", "10"}).status, 0);
    std::filesystem::create_directories(r + "/notatable/sub");
    std::filesystem::create_directories(r + "/holder/inner");
    ASSERT_EQ(run({"fill", "holder/inner", "--root", r, "--type", "wide", "--count", "3"}).status,
              0);
    std::ofstream(r + "/plainfile") << "x";
    std::filesystem::create_directories(r + "/garbage");
    std::ofstream(r + "/garbage/slots") << std::string(4096, 'g');

    expectOneLineError(run({"get", "missing", "1", "--root", r}), 3, "no such table",
                       "get on a missing table");
    expectOneLineError(run({"get", "t", "abc", "--root", r}), 2, "bad number 'abc'",
                       "get with a key that is not a number");
    expectOneLineError(run({"get", "t", "1", "-5", "--root", r}), 2, "bad number",
                       "get with a negative key");
    expectOneLineError(run({"fill", "u", "--root", r, "--type", "simple", "--count", "-1"}), 2,
                       "bad number '-1' for --count", "fill with --count -1");
    expectOneLineError(run({"fill", "u", "--root", r, "--type", "simple", "--count", "12x"}), 2,
                       "bad number", "fill with --count 12x");
    expectOneLineError(
        run({"fill", "u", "--root", r, "--type", "simple", "--count", "5", "--seconds", "-2"}), 2,
        "bad number", "fill with --seconds -2");
    EXPECT_FALSE(std::filesystem::exists(r + "/u")) << "a refused fill created its table";
    expectOneLineError(run({"dump", "notatable", "--root", r}), 3, "not a table",
                       "dump on a directory that is not a table");
    expectOneLineError(run({"dump", "holder", "--root", r}), 3,
                       "holds tables such as 'holder/inner'", "dump on a directory of tables");
    expectOneLineError(run({"dump", "plainfile", "--root", r}), 3, "not a table", "dump on a file");
    expectOneLineError(run({"dump", "garbage", "--root", r}), 3, "not a table",
                       "dump on a directory whose slot file is no slot file");
    expectOneLineError(run({"fill", "t", "--root", r, "--type", "normal", "--count", "5"}), 3,
                       "wrong record type", "fill of a simple table as normal");
    expectOneLineError(run({"fill", "t", "--root", r, "--type", "double", "--count", "5"}), 2,
                       "wrong record type 'double'", "fill with an unknown type");
    expectOneLineError(run({"fill", "notatable", "--root", r, "--type", "wide", "--count", "5"}), 3,
                       "not a table", "fill into a directory that holds other things");
    expectOneLineError(run({"watch", "t", "--root", r, "--count", "1"}), 3, "writer absent",
                       "watch of a table whose writer left");
    expectOneLineError(run({"watch", "t", "--root", r, "--interval", "0"}), 2, "bad number",
                       "watch with a zero interval");
    expectOneLineError(run({"stat", "../t", "--root", r}), 2, "bad table name",
                       "a table name that leaves the root");
    expectOneLineError(run({"frobnicate"}), 2, "unknown command 'frobnicate'", "unknown command");
    expectOneLineError(run({"get", "t", "--root", r}), 2, "KEY is required", "get without a key");
    expectOneLineError(run({"ls", "--root", r + "/nowhere"}), 3, "does not exist",
                       "ls of a missing root");
    expectOneLineError(run({"ls", "--root", ""}), 2, "bad --root ''", "an empty root");
    expectOneLineError(run({"fill", "a\tb", "--root", r, "--type", "wide", "--count", "1"}), 2,
                       "bad table name", "a name with a control character");
    std::string deep;
    for (int i = 0; i < 17; ++i)
        deep += i == 0 ? "d" : "/d";
    expectOneLineError(run({"fill", deep, "--root", r, "--type", "wide", "--count", "1"}), 2,
                       "bad table name", "a name deeper than ls looks");
    expectOneLineError(run({"fill", "t/in", "--root", r, "--type", "wide", "--count", "1"}), 3,
                       "'t' is a table", "a table inside a table, which ls would not list");
    expectOneLineError(run({"fill", "plainfile/x", "--root", r, "--type", "wide", "--count", "1"}),
                       3, "plainfile is a regular file, not a directory", "fill below a file");
    expectOneLineError(
        run({"fill", "u", "--root", r, "--type", "wide", "--count", "1", "--mode", "0666"}), 2,
        "bad mode '0666'", "a mode that lets others write");
    expectOneLineError(
        run({"fill", "u", "--root", r, "--type", "wide", "--count", "1", "--group", "no-such-g"}),
        2, "no such group 'no-such-g'", "an unknown group");

    // A table of a record type this tool does not know (its type name rewritten in place).
    ASSERT_EQ(run({"fill", "odd", "--root", r, "--type", "simple", "--count", "4"}).status, 0);
    {
        const std::string slots = r + "/odd/slots";
        std::fstream f(slots, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20);
        f << "Elsewhere::CounterEntryOther";
        f.put('\0');
    }
    expectOneLineError(run({"get", "odd", "1", "--root", r}), 3, "wrong record type",
                       "get on a table of an unknown record type");

    // Permission: another user may not reach the private root (0700).
    if (::geteuid() == 0) {
        expectOneLineError(run({"get", "t", "1", "--root", r}, 30, 65534), 3, "permission denied",
                           "get by a user who may not read the table");
        expectOneLineError(
            run({"fill", "p", "--root", r, "--type", "wide", "--count", "1"}, 30, 65534), 3,
            "permission denied", "fill by a user who may not write there");
    } else {
        ::chmod((r + "/t/slots").c_str(), 0);
        expectOneLineError(run({"get", "t", "1", "--root", r}), 3, "permission denied",
                           "get of a table whose slot file may not be read");
        ::chmod((r + "/t/slots").c_str(), 0644);
    }
}

TEST(VeskTool, GetAnswersNotFoundForEachMissingKey) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    ASSERT_EQ(run({"fill", "t", "--root", r, "--type", "normal", "--count", "50"}).status, 0);
    const Result get = run({"get", "t", "1", "5000", "49", "50", "--root", r});
    EXPECT_EQ(get.status, 1);
    const auto out = lines(get.out);
    ASSERT_EQ(out.size(), 4u) << get.out;
    std::ostringstream one, last;
    one << Kind<CounterEntryNormalOps>::make(1, 0);
    last << Kind<CounterEntryNormalOps>::make(49, 0);
    EXPECT_EQ(out[0], one.str());
    EXPECT_EQ(out[1], "5000: not found");
    EXPECT_EQ(out[2], last.str());
    EXPECT_EQ(out[3], "50: not found");
    EXPECT_EQ(std::count(get.err.begin(), get.err.end(), '\n'), 1) << get.err;
    EXPECT_NE(get.err.find("not found: 2 of 4 keys"), std::string::npos) << get.err;
}

// FIFOs planted at a table's file names never hang a command: each ends, with status 0 when the
// table itself is whole.
TEST(VeskTool, PlantedFifosNeverHangACommand) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    ASSERT_EQ(run({"fill", "t", "--root", r, "--type", "simple", "--count", "10"}).status, 0);
    ASSERT_EQ(::mkfifo((r + "/t/corruption-detected").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir((r + "/f").c_str(), 0755), 0);
    for (const char* file : {"/f/slots", "/f/owner", "/f/cinder"})
        ASSERT_EQ(::mkfifo((r + file).c_str(), 0644), 0);
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"ls"}, 0},
        {{"stat", "t"}, 0},
        {{"dump", "t"}, 0},
        {{"check", "t"}, 0},
        {{"get", "f", "1"}, 3},
        {{"check", "f"}, 3},
        {{"fill", "f", "--type", "simple", "--count", "1"}, 3},
    };
    for (const auto& [args, status] : cases) {
        std::vector<std::string> withRoot = args;
        withRoot.insert(withRoot.end(), {"--root", r});
        const Result got = run(withRoot, 20);
        EXPECT_EQ(got.status, status) << args[0] << ": " << got.err;
    }
}

// check writes nothing, and finds each kind of damage with a non-zero status.
TEST(VeskTool, CheckFindsDamageAndWritesNothing) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    for (const char* t :
         {"clean", "occupied", "cycle", "rhash", "count", "free", "lookaside", "marker"})
        ASSERT_EQ(run({"fill", t, "--root", r, "--type", "simple", "--count", "100"}).status, 0);
    // "free": 100 records and 100 free slots.
    ASSERT_EQ(run({"fill", "free", "--root", r, "--type", "simple", "--count", "200"}).status, 0);
    ASSERT_EQ(run({"fill", "free", "--root", r, "--type", "simple", "--count", "100"}).status, 0);

    const auto before = snapshotFiles(r);
    const Result clean = run({"check", "clean", "--root", r});
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    EXPECT_NE(clean.out.find("100 records + 0 free = 100 slots"), std::string::npos) << clean.out;
    const Result free = run({"check", "free", "--root", r});
    EXPECT_EQ(free.status, 0) << free.out << free.err;
    EXPECT_NE(free.out.find("100 records + 100 free = 200 slots"), std::string::npos) << free.out;
    EXPECT_EQ(snapshotFiles(r), before) << "check changed or created a file";

    auto slot = [&](const std::string& t, uint32_t id) {
        return std::make_pair(r + "/" + t + "/slots", kSimpleSlot0 + id * kSimpleSlotSize);
    };
    struct Damage {
        const char* table;
        const char* finding;
    };
    {
        const auto [path, at] = slot("occupied", 0);
        pokeU32(path, at + 8, peekU32(path, at + 8) & ~1u);
    }
    {
        const auto [path, at] = slot("cycle", 0);
        pokeU32(path, at + 4, 0);  // slot 0 links to itself
    }
    {
        const auto [path, at] = slot("rhash", 3);
        pokeU32(path, at + 12, peekU32(path, at + 12) ^ 0x80000000u);
    }
    {
        const auto [path, at] = slot("lookaside", 5);
        pokeU32(path, at + 8, peekU32(path, at + 8) | 2);  // LOOKASIDE left set
    }
    // The chain of key 0's bucket is cut short by a marker naming the bucket itself.
    const uint32_t numBuckets = peekU32(r + "/marker/buckets", 20);
    const uint32_t b =
        Orlo::hashSingleAttr(peekU32(r + "/marker/slots", 564), uint64_t(0)) % numBuckets;
    pokeU32(r + "/marker/buckets", 24 + 8 * b + 4, 0x80000000u | b);
    pokeU32(r + "/count/slots", 552, 99);  // occupiedSlots
    pokeU32(r + "/free/slots", 556, 0);    // the free list starts at an occupied slot
    for (const Damage& d :
         {Damage{"occupied", "not marked OCCUPIED"}, Damage{"cycle", "slot 0 is reached twice"},
          Damage{"rhash", "slot 3 (key "}, Damage{"count", "occupiedSlots is 99"},
          Damage{"free", "slot 0 is both in a chain and on the free list"},
          Damage{"lookaside", "has LOOKASIDE set"}, Damage{"marker", "continues with bucket"}}) {
        SCOPED_TRACE(d.table);
        const Result check = run({"check", d.table, "--root", r});
        EXPECT_TRUE(check.exited);
        EXPECT_EQ(check.status, 1) << check.out << check.err;
        EXPECT_NE(check.out.find(std::string("FAULT       ") + ""), std::string::npos) << check.out;
        EXPECT_NE(check.out.find(d.finding), std::string::npos) << check.out;
        EXPECT_EQ(std::count(check.err.begin(), check.err.end(), '\n'), 1) << check.err;
        EXPECT_NE(check.err.find("fault"), std::string::npos) << check.err;
    }
    // A lookup that meets the damaged chain reports it instead of "not found".
    const Result get = run({"get", "marker", "0", "--root", r});
    EXPECT_EQ(get.status, 3) << get.out << get.err;
    EXPECT_NE(get.err.find("with next bucket: " + std::to_string(b)), std::string::npos) << get.err;
    // The readers of the damaged table stop with one line that names it; nothing crashes.
    for (const char* command : {"dump", "stat"}) {
        const Result r2 = run({command, "cycle", "--root", r});
        EXPECT_TRUE(r2.exited) << command;
        EXPECT_EQ(r2.status, 3) << command << ": " << r2.err;
        EXPECT_EQ(std::count(r2.err.begin(), r2.err.end(), '\n'), 1) << r2.err;
        EXPECT_NE(r2.err.find("table 'cycle': "), std::string::npos) << r2.err;
    }
}

// check that sees no stable table says why with status 3, never "FAULT" with status 1: a table
// that lost a file, and a live writer paused inside a change.
TEST(VeskTool, CheckWithoutAStablePictureSaysWhyWithStatus3) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    ASSERT_EQ(run({"fill", "gone", "--root", r, "--type", "simple", "--count", "10"}).status, 0);
    std::filesystem::remove(r + "/gone/buckets");
    Tool live(
        {"fill", "busy", "--root", r, "--type", "simple", "--count", "10", "--seconds", "600"});
    ASSERT_TRUE(live.waitForOutput(" ready: ", 20)) << live.out();
    // As inside an insert: the critical-section bit set, the record not yet counted.
    pokeU32(r + "/busy/slots", 544, peekU32(r + "/busy/slots", 544) | 1u << 16);
    pokeU32(r + "/busy/slots", 552, 9);
    for (const auto& [table, why] : {std::pair{"gone", "gone/buckets does not exist"},
                                     std::pair{"busy", "writer mid-change"}}) {
        const Result check = run({"check", table, "--root", r});
        EXPECT_EQ(check.status, 3) << check.out << check.err;
        EXPECT_NE(check.err.find(why), std::string::npos) << check.err;
        EXPECT_EQ(check.out.find("FAULT"), std::string::npos) << check.out;
    }
}

// A table changed under a dump part way through its walk (held there by its full output pipe)
// ends the dump with status 3 and the reason, never with a partial table and status 0, never by
// a signal.
TEST(VeskTool, ADumpPartWayThroughItsWalkNeverPassesOffAPartialTable) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    for (const auto& [change, why] :
         {std::pair{"shrink", "t/slots shrank under the reader"},
          std::pair{"re-format", "table 't' was re-formatted while it was dumped"}}) {
        SCOPED_TRACE(change);
        const std::vector<std::string> fill{"fill",   "t",      "--root",  r,
                                            "--type", "simple", "--count", "20000"};
        ASSERT_EQ(run(fill).status, 0);
        Tool dump({"dump", "t", "--root", r});
        ASSERT_TRUE(dump.outputWaiting(30));
        if (std::string(change) == "shrink") {
            ASSERT_EQ(::truncate((r + "/t/slots").c_str(), 0), 0);
        } else {
            std::filesystem::remove(r + "/t/owner");  // the next writer re-formats
            ASSERT_EQ(run(fill).status, 0);
        }
        const Result got = dump.wait(30);
        EXPECT_TRUE(got.exited);
        EXPECT_EQ(got.status, 3) << got.err;
        EXPECT_NE(got.err.find(why), std::string::npos) << got.err;
        std::filesystem::remove_all(r + "/t");
    }
}

// Output that cannot be written fails with status 4 and the reason; a reader of the output that
// went away (a closed pipe) ends the command quietly with status 0.
TEST(VeskTool, UnwritableOutputFailsLoudlyAndAClosedPipeEndsQuietly) {
    VeskTest::TestRoot root;
    ASSERT_EQ(run({"fill", "t", "--root", root.dir(), "--type", "simple", "--count", "10"}).status,
              0);
    int closed[2];
    ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
    ::close(closed[0]);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    for (const auto& [fd, status, error] :
         {std::tuple{full, 4, "No space left on device"}, std::tuple{closed[1], 0, ""}}) {
        const Result got = Tool({"dump", "t", "--root", root.dir()}, -1, fd).wait(30);
        EXPECT_TRUE(got.exited);
        EXPECT_EQ(got.status, status) << got.err;
        EXPECT_EQ(got.err.empty(), *error == '\0') << got.err;
        EXPECT_NE(got.err.find(error), std::string::npos) << got.err;
        ::close(fd);
    }
}

// A slot file left shorter than its header (a full file system, a writer killed before it sized
// the file) is re-formatted by the next fill.
TEST(VeskTool, FillReformatsASlotFileShorterThanItsHeader) {
    VeskTest::TestRoot root;
    const std::vector<std::string> fill{"fill",   "t",      "--root",  root.dir(),
                                        "--type", "simple", "--count", "10"};
    for (const off_t size : {0, 100}) {
        ASSERT_EQ(run(fill).status, 0);
        ASSERT_EQ(::truncate(root.path("t/slots").c_str(), size), 0);
        const Result again = run(fill);
        EXPECT_EQ(again.status, 0) << size << ": " << again.err;
        EXPECT_NE(again.out.find("files valid"), std::string::npos) << again.out;
    }
}

// --mode and --group give the table's files and its directory their mode and group.
TEST(VeskTool, FillGivesTheTableTheModeAndGroupAskedFor) {
    const struct group* g = ::getgrgid(65534);
    if (::geteuid() != 0 || g == nullptr)
        GTEST_SKIP() << "needs root and group 65534 to give a table another group; skipped";
    VeskTest::TestRoot root;
    ASSERT_EQ(run({"fill", "t", "--root", root.dir(), "--type", "simple", "--count", "5", "--mode",
                   "0640", "--group", g->gr_name})
                  .status,
              0);
    for (const char* file : {"", "/slots", "/buckets", "/owner", "/cinder"}) {
        struct stat st {};
        ASSERT_EQ(::stat((root.path("t") + file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 07777, *file != '\0' ? 0640u : 0750u) << file;
        EXPECT_EQ(st.st_gid, 65534u) << file;
    }
}

// SIGTERM detaches cleanly: the files validate, and the next writer reuses them (same
// generation, records kept) instead of re-formatting.
TEST(VeskTool, FillDetachesOnSigtermOrALostDirectoryAndTheNextWriterReusesTheFiles) {
    VeskTest::TestRoot root;
    const std::string r = root.dir();
    Tool fill({"fill", "t", "--root", r, "--type", "wide", "--count", "1000", "--updates-per-sec",
               "2000"});
    ASSERT_TRUE(fill.waitForOutput(" ready: ", 20)) << fill.out();
    const Result live = run({"ls", "--root", r});
    fill.signal(SIGTERM);
    const Result stopped = fill.wait(20);
    EXPECT_EQ(stopped.status, 0) << stopped.out << stopped.err;
    EXPECT_NE(stopped.out.find("stopped by SIGTERM"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("files valid"), std::string::npos) << stopped.out;

    std::smatch m;
    const std::regex generation(R"(\nt +wide +1000 +\d+ +\d+ +(\S+) +(\S+) +(\S+))");
    ASSERT_TRUE(std::regex_search(live.out, m, generation)) << live.out;
    EXPECT_EQ(m[2], "yes");
    const std::string liveGeneration = m[3];
    EXPECT_EQ(run({"check", "t", "--root", r}).status, 0);

    ASSERT_EQ(run({"fill", "t", "--root", r, "--type", "wide", "--count", "1000"}).status, 0);
    const Result after = run({"ls", "--root", r});
    ASSERT_TRUE(std::regex_search(after.out, m, generation)) << after.out;
    EXPECT_EQ(m[1], "-");
    EXPECT_EQ(m[2], "no");
    EXPECT_EQ(m[3], liveGeneration) << "the files were re-formatted instead of reused";

    // A table directory taken away under a live writer ends its fill, detached, with status 3.
    Tool again({"fill", "t", "--root", r, "--type", "wide", "--count", "1000", "--updates-per-sec",
                "2000"});
    ASSERT_TRUE(again.waitForOutput(" ready: ", 20)) << again.out();
    std::filesystem::remove_all(r + "/t");
    const Result lost = again.wait(20);
    EXPECT_EQ(lost.status, 3) << lost.out << lost.err;
    EXPECT_NE(lost.err.find("was taken away under its writer"), std::string::npos) << lost.err;
}

// The demo counts torn records through the records' self-check: a copy that mixes two writes of
// one record must fail it, whole records must pass, and a newer write must show more progress.
TEST(VeskTool, RecordsTheToolWritesCatchAMixedCopy) {
    using Simple = Kind<CounterEntrySimpleOps>;
    using Normal = Kind<CounterEntryNormalOps>;
    using Bitmap = Kind<CounterEntryBitmap64Ops>;
    for (const uint64_t k : {0ull, 1ull, 15ull, 99ull, 100ull, 12345ull, 1ull << 40}) {
        for (const uint64_t n : {0ull, 1ull, 2ull, 1000ull}) {
            SCOPED_TRACE(testing::Message() << "key " << k << " generation " << n);
            const auto s0 = Simple::make(k, n), s1 = Simple::make(k, n + 1);
            EXPECT_TRUE(Simple::selfCheck(s0) && Simple::selfCheck(s1));
            EXPECT_GT(Simple::progress(s1), Simple::progress(s0));
            auto mixed = s1;
            mixed.octetsIs(s0.octets());
            EXPECT_FALSE(Simple::selfCheck(mixed));
            mixed = s0;
            mixed.octetsIs(s1.octets());
            EXPECT_FALSE(Simple::selfCheck(mixed));

            const auto n0 = Normal::make(k, n), n1 = Normal::make(k, n + 1);
            EXPECT_TRUE(Normal::selfCheck(n0) && Normal::selfCheck(n1));
            EXPECT_GT(Normal::progress(n1), Normal::progress(n0));
            auto half = n1;
            half.counterBIs(n0.counterB());
            EXPECT_FALSE(Normal::selfCheck(half));

            const auto b0 = Bitmap::make(k, n), b1 = Bitmap::make(k, n + 1);
            EXPECT_TRUE(Bitmap::selfCheck(b0) && Bitmap::selfCheck(b1));
            EXPECT_GT(Bitmap::progress(b1), Bitmap::progress(b0));
            auto torn = b1;
            torn.bitsIs((b1.bits() & ~0xFFFFFFFFull) | (b0.bits() & 0xFFFFFFFFull));
            EXPECT_FALSE(Bitmap::selfCheck(torn));
        }
    }
}

TEST(VeskTool, DemoRunsToItsSummaryWithoutTornRecordsAndCleansUp) {
    VeskTest::TestRoot root;
    // The readers pick keys at random; VESK_TEST_SEED replays a run's choice.
    uint64_t seed = uint64_t(::getpid()) << 32 ^ uint64_t(::time(nullptr));
    if (const char* s = std::getenv("VESK_TEST_SEED"); s != nullptr && *s != '\0')
        seed = std::strtoull(s, nullptr, 0);
    std::printf("VESK_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
    const Result demo = run({"demo", "--root", root.dir(), "--seconds", "1.5", "--count", "3000",
                             "--readers", "2", "--seed", std::to_string(seed)},
                            120);
    EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
    for (const char* line :
         {"records:           12000 (4 tables x 3000)", "torn records:      0\n",
          "lost records:      0\n", "records gone back: 0\n", "result:            ok"}) {
        EXPECT_NE(demo.out.find(line), std::string::npos) << line << "\n" << demo.out;
    }
    EXPECT_TRUE(std::regex_search(demo.out, std::regex(R"(writes: +\d+ \(\d+/s\))"))) << demo.out;
    EXPECT_TRUE(std::regex_search(demo.out, std::regex(R"(lookups: +[1-9]\d* \(\d+/s\))")))
        << demo.out;
    EXPECT_TRUE(std::regex_search(demo.out, std::regex(R"(iterations: +[1-9]\d* )"))) << demo.out;
    EXPECT_TRUE(std::filesystem::is_empty(root.dir())) << "the demo left its private root behind";
}

// The demo's processes end with it, even when it is killed, and its private root goes with them.
TEST(VeskTool, DemoProcessesEndWithAKilledParentAndRemoveItsRoot) {
    VeskTest::TestRoot root;
    Tool demo({"demo", "--root", root.dir(), "--seconds", "600", "--count", "1000"});
    ASSERT_TRUE(demo.waitForOutput(" s  ", 60)) << demo.out();  // a progress line: readers run
    demo.signal(SIGKILL);
    // The output pipes end when the last process of the demo has ended.
    EXPECT_EQ(demo.wait(60).status, 128 + SIGKILL);
    EXPECT_TRUE(std::filesystem::is_empty(root.dir())) << "the demo left its private root behind";
}

}  // namespace
