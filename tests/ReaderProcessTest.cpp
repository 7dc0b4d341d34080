// Readers in other processes than their writer, the way programs use them: a counter table
// mounted as a reader (its front, its reader sentry, the process's event loop) in one process,
// the table's writer in another.
//
//  - A reader mounted before its writer exists waits as a placeholder and attaches by itself once
//    the writer's files appear; it answers lookups and iterations; the quiesced callback comes
//    before the mount-status callback; it falls back to the placeholder when the writer's files
//    are removed and attaches again when they come back. tryAttach attaches at once.
//  - Writer restarts under readers that look up and iterate all the time: a writer killed with
//    SIGKILL and restarted reuses its files (same generation) and the readers keep answering
//    right throughout; a writer restarted over files it left in the middle of a change
//    re-formats them (a new generation), and the readers move to it, find what the new writer
//    wrote and nothing of the old generation.
//
// Every other process is this test binary started again (/proc/self/exe) with
// VESK_PROCESS_ROLE set: it then serves one role from the global test environment's set-up,
// before any test runs, and exits. Processes talk
// over pipes, one command line and one answer line at a time; every wait is bounded, nothing is
// timed. Records carry a self-check (octets a fixed mix of key and packets), so a torn or mixed
// copy shows up wherever it is read.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Pimbo/EventLoop.h"
#include "WriterTestUtil.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using namespace DravoCounters::FlexCounters2;
using VeskTest::TestRoot;

constexpr const char* kRoleEnv = "VESK_PROCESS_ROLE";
constexpr const char* kRootEnv = "VESK_PROCESS_ROOT";
constexpr const char* kSeedEnv = "VESK_PROCESS_SEED";
// The command and answer pipes of a helper process sit at these descriptors.
constexpr int kCommandFd = 100;
constexpr int kAnswerFd = 101;
// Upper bound of any wait for an answer: a process that does not answer by then is hung.
constexpr int kAnswerWaitMs = 180 * 1000;
// Keys at and above this are never written.
constexpr uint64_t kNeverBase = uint64_t(1) << 40;
// No table of these tests holds more keys.
constexpr size_t kMaxKeys = 20000;

uint64_t selfCheck(uint64_t key, uint64_t packets) {
    return (key * 0x9E3779B97F4A7C15ull) ^ (packets * 0xC2B2AE3D27D4EB4Full) ^
           0x2545F4914F6CDD1Dull;
}

CounterEntrySimple record(uint64_t key, uint64_t packets) {
    CounterEntrySimple v{CounterIndex(key)};
    v.packetsIs(packets);
    v.octetsIs(selfCheck(key, packets));
    return v;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

uint64_t num(const std::vector<std::string>& w, size_t i) {
    return i < w.size() ? std::strtoull(w[i].c_str(), nullptr, 0) : 0;
}

// "key=value" fields of an answer; "first=" takes the rest of the line.
std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> out;
    const size_t tail = line.find(" first=");
    const std::string head = tail == std::string::npos ? line : line.substr(0, tail);
    if (tail != std::string::npos)
        out["first"] = line.substr(tail + 7);
    for (const std::string& w : words(head)) {
        const size_t eq = w.find('=');
        if (eq != std::string::npos)
            out[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return out;
}

uint64_t field(const std::map<std::string, std::string>& f, const std::string& name) {
    const auto it = f.find(name);
    return it == f.end() ? ~uint64_t(0) : std::strtoull(it->second.c_str(), nullptr, 0);
}

std::string text(const std::map<std::string, std::string>& f, const std::string& name) {
    const auto it = f.find(name);
    return it == f.end() ? std::string() : it->second;
}

// ----- one line at a time over a pipe -----

class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line (without its newline); false on end of file, error or after waitMs
    // (-1: no limit).
    bool next(std::string& line, int waitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return true;
            }
            int wait = -1;
            if (waitMs >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return false;
                wait = int(left.count());
            }
            if (!readable(wait))
                return false;
            char chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer_.append(chunk, size_t(n));
        }
    }

    // A whole line is waiting (or the pipe was closed).
    bool pending() { return buffer_.find('\n') != std::string::npos || readable(0); }

  private:
    bool readable(int waitMs) {
        pollfd p{fd_, POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, waitMs);
        } while (rc < 0 && errno == EINTR);
        return rc > 0;
    }

    int fd_;
    std::string buffer_;
};

bool writeLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// ----- the table both roles use: /sys/T/counter under the test's root -----

struct Placed {
    Orlo::Ptr<Orlo::Directory> dir;
    Orlo::Ptr<CounterTableSimple> table;
    Orlo::Ptr<OrloVesk::CollectionControl> control;

    void place() {
        dir = Orlo::Directory::DirectoryIs("sys");
        table = counterTableSimpleFactory("T");
        control = table->counterControl();
        dir->entityIs(table);
    }
    ~Placed() {
        if (dir)
            dir->entityDelAll();
    }
};

void pollEvents() {
    while (Pimbo::eventLoop().poll(0)) {
    }
}

// ----- the writer role -----
//
// Commands: "mount" (as a writer; answers the cinder id), "base B" (packets continue from B),
// "fill A B" (writes keys A..B), "run HA HB CA CB" (from now on, between commands, overwrites
// held keys HA..HB and inserts and removes churn keys CA..CB, growing and shrinking the table),
// "pause", "cleanup" (removes the files), "exit".
class WriterRole {
  public:
    explicit WriterRole(uint64_t seed) : rng_(seed) {}

    std::string handle(const std::vector<std::string>& w) {
        const std::string& c = w[0];
        if (c == "mount") {
            if (!placed_.table)
                placed_.place();
            Vesk::MapDescriptor d(1u << 16);
            d.shrinkSlots = 1;
            d.shrinkBuckets = 1;
            placed_.control->mount(d);
            return fmt::format("ok mount={} cinder={}", placed_.table->counter.mountStatus(),
                               placed_.table->counter.cinderId().value);
        }
        if (c == "base") {
            packets_ = std::max(packets_, num(w, 1));
            return "ok";
        }
        if (c == "fill") {
            for (uint64_t k = num(w, 1); k <= num(w, 2); ++k)
                placed_.table->counterIs(record(k, ++packets_));
            return fmt::format("ok packets={}", packets_);
        }
        if (c == "run") {
            held_ = {num(w, 1), num(w, 2)};
            churn_ = {num(w, 3), num(w, 4)};
            running_ = true;
            return "ok";
        }
        if (c == "pause") {
            running_ = false;
            return fmt::format("ok batches={} packets={}", batches_, packets_);
        }
        if (c == "cleanup") {
            running_ = false;
            present_.clear();
            placed_.table->counter.cleanupAndDetach();
            return "ok";
        }
        return "unknown command " + c;
    }

    bool running() const { return running_; }

    // One batch of changes: overwrites of held keys, inserts and removals of churn keys that
    // swing the table between a few dozen and about 1500 records.
    void batch() {
        ++batches_;
        CounterTableSimple& t = *placed_.table;
        for (int i = 0; i < 64; ++i) {
            if (present_.size() >= 1500)
                growing_ = false;
            if (present_.size() <= 20)
                growing_ = true;
            const uint64_t dice = rng_() % 100;
            if (dice < 30) {
                const uint64_t k = held_.first + rng_() % (held_.second - held_.first + 1);
                t.counterIs(record(k, ++packets_));
            } else if (dice < (growing_ ? 50u : 80u) && !present_.empty()) {
                auto it = present_.begin();
                std::advance(it, rng_() % std::min<size_t>(present_.size(), 16));
                t.counterDel(CounterIndex(*it));
                present_.erase(it);
            } else {
                const uint64_t k = churn_.first + rng_() % (churn_.second - churn_.first + 1);
                t.counterIs(record(k, ++packets_));
                present_.insert(k);
            }
        }
    }

  private:
    Placed placed_;
    std::mt19937_64 rng_;
    uint64_t packets_ = 0;
    uint64_t batches_ = 0;
    bool running_ = false;
    bool growing_ = true;
    std::pair<uint64_t, uint64_t> held_{1, 1};
    std::pair<uint64_t, uint64_t> churn_{1, 1};
    std::set<uint64_t> present_;
};

// ----- the reader role -----
//
// Commands: "mount" (as a reader), "status", "poll" (runs what the event loop holds),
// "waitmount S" (polls the event loop until the mount status is S), "tryattach", "lookup K",
// "iterate", and for checking readers: "rule ..." (what must hold, below), "loop" (from now on,
// between commands, looks up and iterates all the time and checks every answer), "rounds N"
// (answers once N more rounds were done), "waitgen C" (answers once the reader is attached to
// generation C), "report", "exit".
//
// Checks of every answer: the record is whole (self-check), its key is the key asked for,
// never-written keys are absent, one iteration returns no key twice, and a key's packets never go
// back while the generation (cinder id) stays. A rule adds, while the reader is attached to the
// rule's generation before and after an operation: keys that must be present, keys that must be
// absent, the least packets of any record (no record of an older writer); "stay" makes leaving
// that generation a failure.
class ReaderRole {
  public:
    explicit ReaderRole(uint64_t seed) : rng_(seed) {}

    std::string handle(const std::vector<std::string>& w) {
        const std::string& c = w[0];
        if (c == "mount") {
            placed_.place();
            placed_.control->mount(Vesk::MapDescriptor(1000, Vesk::reader));
            return "ok " + status();
        }
        if (c == "status")
            return "ok " + status();
        if (c == "poll") {
            pollEvents();
            return "ok " + status();
        }
        if (c == "waitmount") {
            const uint32_t want = uint32_t(num(w, 1));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (map().mountStatus() != want && std::chrono::steady_clock::now() < deadline)
                Pimbo::eventLoop().poll(100);
            return (map().mountStatus() == want ? "ok " : "timeout ") + status();
        }
        if (c == "tryattach") {
            map().tryAttach();
            return "ok " + status();
        }
        if (c == "lookup") {
            bool found = false;
            CounterEntrySimple buffer{};
            const CounterEntrySimple got =
                *map().safeLookup(CounterIndex(num(w, 1)), found, &buffer);
            if (!found)
                return fmt::format("absent packets={} octets={}", got.packets(), got.octets());
            return fmt::format("found key={} packets={} octets={}", got.key().value(),
                               got.packets(), got.octets());
        }
        if (c == "iterate") {
            std::string out = "ok";
            size_t n = 0;
            CounterTableSimple::Map::IteratorConst it(&map());
            for (bool valid = it.valid(); valid && n < kMaxKeys; valid = it.advance(), ++n)
                out += fmt::format(" {}:{}", it.value().key().value(), it.value().packets());
            return out;
        }
        if (c == "rule")
            return setRule(w);
        if (c == "loop") {
            looping_ = true;
            return "ok";
        }
        if (c == "rounds") {
            const uint64_t target = rounds_ + num(w, 1);
            while (rounds_ < target)
                round();
            return "ok " + report();
        }
        if (c == "waitgen") {
            const uint32_t cinder = uint32_t(num(w, 1));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!(map().mountStatus() == 1 && map().cinderId().value == cinder) &&
                   std::chrono::steady_clock::now() < deadline) {
                round();
            }
            return (map().cinderId().value == cinder ? "ok " : "timeout ") + report();
        }
        if (c == "report")
            return "ok " + report();
        return "unknown command " + c;
    }

    bool looping() const { return looping_; }

    // One round: whatever the event loop holds (sentry news), then lookups, and every eighth
    // round a full iteration.
    void round() {
        pollEvents();
        ++rounds_;
        for (int i = 0; i < 8; ++i) {
            const uint64_t dice = rng_() % 4;
            uint64_t k;
            if (dice == 0 && !rule_.present.empty()) {
                const auto& [from, to] = rule_.present[rng_() % rule_.present.size()];
                k = from + rng_() % (to - from + 1);
            } else if (dice == 1 && !rule_.absent.empty()) {
                const auto& [from, to] = rule_.absent[rng_() % rule_.absent.size()];
                k = from + rng_() % (to - from + 1);
            } else if (dice == 2) {
                k = kNeverBase + rng_() % 100000;
            } else {
                k = 1 + rng_() % 8000;
            }
            checkLookup(k);
        }
        if (rounds_ % 8 == 0)
            checkIteration();
    }

  private:
    using Range = std::pair<uint64_t, uint64_t>;
    struct Rule {
        bool active = false;
        bool stay = false;
        uint32_t cinder = 0;
        uint64_t minPackets = 0;
        std::vector<Range> present;
        std::vector<Range> absent;
    };
    // What decides whether an answer can be judged by the rule.
    struct State {
        uint32_t mount;
        uint32_t cinder;
        uint64_t corruptions;
        bool operator==(const State&) const = default;
    };

    CounterTableSimple::Map& map() { return placed_.table->counter; }

    State state() {
        return State{map().mountStatus(), map().cinderId().value, map().corruptionsDetected()};
    }

    std::string status() {
        return fmt::format("mount={} type={} cinder={} history={}", map().mountStatus(),
                           unsigned(map().interface().type()), map().cinderId().value,
                           fmt::join(words(placed_.control->historyString()), ","));
    }

    // "rule none" | "rule stay|gen CINDER MINPACKETS [present A B]... [absent A B]..."
    std::string setRule(const std::vector<std::string>& w) {
        rule_ = Rule{};
        if (w.size() < 2 || w[1] == "none")
            return "ok";
        rule_.active = true;
        rule_.stay = w[1] == "stay";
        rule_.cinder = uint32_t(num(w, 2));
        rule_.minPackets = num(w, 3);
        for (size_t i = 4; i + 2 < w.size(); i += 3) {
            const Range r{num(w, i + 1), num(w, i + 2)};
            (w[i] == "present" ? rule_.present : rule_.absent).push_back(r);
        }
        return "ok";
    }

    static bool in(const std::vector<Range>& ranges, uint64_t k) {
        for (const auto& [from, to] : ranges) {
            if (k >= from && k <= to)
                return true;
        }
        return false;
    }

    bool judged(const State& before, const State& after) const {
        return rule_.active && before == after && after.mount == 1 && after.cinder == rule_.cinder;
    }

    void fail(const std::string& what) {
        if (failures_++ == 0)
            firstFailure_ = what;
    }

    // A record as any reader must see it.
    void checkRecord(const CounterEntrySimple& v, uint64_t key, const State& s, bool judge,
                     const char* where) {
        if (v.key().value() != key) {
            fail(fmt::format("{}: asked for key {}, got key {}", where, key, v.key().value()));
            return;
        }
        if (v.octets() != selfCheck(key, v.packets())) {
            fail(fmt::format("{}: torn record key:{} packets:{} octets:{:#x}", where, key,
                             v.packets(), v.octets()));
            return;
        }
        if (key >= kNeverBase)
            fail(fmt::format("{}: never-written key {} found", where, key));
        if (s.cinder != lastCinder_) {
            lastSeen_.clear();
            lastCinder_ = s.cinder;
        }
        uint64_t& last = lastSeen_[key];
        if (v.packets() < last) {
            fail(fmt::format("{}: key {} went back from packets {} to {} in generation {}", where,
                             key, last, v.packets(), s.cinder));
        }
        last = std::max(last, v.packets());
        if (judge && v.packets() < rule_.minPackets) {
            fail(fmt::format("{}: key {} has packets {} of an older writer in generation {}", where,
                             key, v.packets(), s.cinder));
        }
        if (judge && in(rule_.absent, key))
            fail(fmt::format("{}: key {} found, but it must be absent", where, key));
    }

    void checkStay(const State& s) {
        if (rule_.active && rule_.stay && (s.mount != 1 || s.cinder != rule_.cinder)) {
            fail(fmt::format("left generation {}: mount:{} cinder:{}", rule_.cinder, s.mount,
                             s.cinder));
        }
    }

    void checkLookup(uint64_t k) {
        const State before = state();
        bool found = false;
        CounterEntrySimple buffer{};
        const CounterEntrySimple got = *map().safeLookup(CounterIndex(k), found, &buffer);
        const State after = state();
        ++lookups_;
        const bool judge = judged(before, after);
        if (found) {
            checkRecord(got, k, after, judge, "lookup");
        } else if (!(got == CounterEntrySimple{})) {
            fail(fmt::format("lookup: key {} absent but not answered with the zero record", k));
        } else if (judge && in(rule_.present, k)) {
            fail(fmt::format("lookup: key {} reported absent in generation {}", k, after.cinder));
        }
        checkStay(after);
    }

    void checkIteration() {
        const State before = state();
        std::set<uint64_t> keys;
        CounterTableSimple::Map::IteratorConst it(&map());
        for (bool valid = it.valid(); valid; valid = it.advance()) {
            const CounterEntrySimple& v = it.value();
            if (!keys.insert(v.key().value()).second) {
                fail(fmt::format("iteration returned key {} twice", v.key().value()));
                break;
            }
            if (keys.size() > kMaxKeys) {
                fail("iteration longer than any table of this test");
                break;
            }
            const State now = state();
            checkRecord(v, v.key().value(), now, judged(before, now), "iteration");
        }
        const State after = state();
        ++iterations_;
        if (judged(before, after)) {
            for (const auto& [from, to] : rule_.present) {
                for (uint64_t k = from; k <= to; ++k) {
                    if (keys.count(k) == 0) {
                        fail(fmt::format("iteration missed key {} in generation {}", k,
                                         after.cinder));
                        break;
                    }
                }
            }
        }
        checkStay(after);
    }

    std::string report() {
        const Vesk::Reader::Counters c = map().readerCounters();
        return fmt::format(
            "rounds={} lookups={} iterations={} failures={} mount={} cinder={} corruptions={} "
            "retries={} remaps={} resizes={} generationChanges={} history={} first={}",
            rounds_, lookups_, iterations_, failures_, map().mountStatus(), map().cinderId().value,
            map().corruptionsDetected(), c.retries, c.remapRetries, c.resizes, c.generationChanges,
            fmt::join(words(placed_.control->historyString()), ","), firstFailure_);
    }

    Placed placed_;
    std::mt19937_64 rng_;
    Rule rule_;
    bool looping_ = false;
    uint64_t rounds_ = 0;
    uint64_t lookups_ = 0;
    uint64_t iterations_ = 0;
    uint64_t failures_ = 0;
    std::string firstFailure_;
    uint32_t lastCinder_ = 0;
    std::unordered_map<uint64_t, uint64_t> lastSeen_;
};

// Serves commands until "exit" or until the test process goes away.
template <class Role>
int serve(Role& role) {
    LineReader commands(kCommandFd);
    for (;;) {
        if (role.running() && !commands.pending()) {
            role.batch();
            continue;
        }
        std::string line;
        if (!commands.next(line, -1))
            return 0;  // the test process is gone
        const std::vector<std::string> w = words(line);
        if (w.empty())
            continue;
        std::string answer;
        try {
            answer = w[0] == "exit" ? "ok" : role.handle(w);
        } catch (const std::exception& e) {
            answer = std::string("exception ") + e.what();
        }
        if (!writeLine(kAnswerFd, answer) || w[0] == "exit")
            return 0;
    }
}

// A reader role is "running" while it loops.
struct LoopingReader {
    ReaderRole role;
    explicit LoopingReader(uint64_t seed) : role(seed) {}
    bool running() const { return role.looping(); }
    void batch() { role.round(); }
    std::string handle(const std::vector<std::string>& w) { return role.handle(w); }
};

// Runs the role this process was started for, if any, and never returns then.
void runRoleIfAsked() {
    const char* role = std::getenv(kRoleEnv);
    if (role == nullptr || *role == '\0')
        return;
    // Traces of a helper name the process they come from.
    Pimbo::Platform::traceSinkIs(
        [tag = fmt::format("{} {}", role, ::getpid())](const Pimbo::Platform::TraceRecord& r) {
            std::fprintf(stderr, "[%s] level:%u [%.*s] %.*s\n", tag.c_str(), r.level,
                         int(r.className.size()), r.className.data(), int(r.message.size()),
                         r.message.data());
        });
    int rc = 0;
    try {
        Mem::RootPath::rootIs(std::getenv(kRootEnv));
        const uint64_t seed = std::strtoull(std::getenv(kSeedEnv), nullptr, 0);
        if (std::strcmp(role, "writer") == 0) {
            WriterRole writer(seed);
            rc = serve(writer);
        } else {
            LoopingReader reader(seed);
            rc = serve(reader);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s role: %s\n", role, e.what());
        rc = 2;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(rc);
}

// A process started for a role serves it instead of running tests.
class RoleEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { runRoleIfAsked(); }
};
[[maybe_unused]] ::testing::Environment* const kRoleEnvironment =
    ::testing::AddGlobalTestEnvironment(new RoleEnvironment);

// ----- the test's side: helper processes -----

class Helper {
  public:
    // Starts this binary again in `role`, inside the test's root.
    Helper(const std::string& role, const std::string& root, uint64_t seed) : role_(role) {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // dup2 clears close-on-exec on the copies: the child keeps exactly these two.
            if (::dup2(toChild[0], kCommandFd) < 0 || ::dup2(fromChild[1], kAnswerFd) < 0)
                ::_exit(126);
            ::setenv(kRoleEnv, role.c_str(), 1);
            ::setenv(kRootEnv, root.c_str(), 1);
            ::setenv(kSeedEnv, std::to_string(seed).c_str(), 1);
            // gtest sets up its environments only when a test is selected; the role's answers
            // go through the pipes, so gtest's own output is not wanted.
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0)
                ::dup2(devNull, STDOUT_FILENO);
            char self[] = "/proc/self/exe";
            char filter[] = "--gtest_filter=ReaderProcess.*";
            char* argv[] = {self, filter, nullptr};
            ::execv(self, argv);
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        out_ = toChild[1];
        in_ = fromChild[0];
        answers_ = std::make_unique<LineReader>(in_);
    }
    ~Helper() {
        if (out_ >= 0)
            ::close(out_);
        if (in_ >= 0)
            ::close(in_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Sends one command and returns the answer ("" after a failure recorded in the test).
    std::string ask(const std::string& command) {
        std::string answer;
        if (!writeLine(out_, command) || !answers_->next(answer, kAnswerWaitMs)) {
            ADD_FAILURE() << role_ << " process " << pid_ << " gave no answer to \"" << command
                          << "\"";
            return "";
        }
        return answer;
    }
    // Asks and expects an answer that starts with "ok".
    std::string ok(const std::string& command) {
        const std::string answer = ask(command);
        EXPECT_EQ(answer.rfind("ok", 0), 0u) << role_ << " \"" << command << "\": " << answer;
        return answer;
    }

    // Kills the process at once and returns its wait status.
    int kill9() {
        ::kill(pid_, SIGKILL);
        return reap();
    }
    // Tells the process to exit and returns its wait status.
    int exit() {
        ask("exit");
        return reap();
    }

  private:
    int reap() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    std::string role_;
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::unique_ptr<LineReader> answers_;
};

bool exitedCleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string statusText(int status) {
    if (WIFSIGNALED(status))
        return fmt::format("killed by signal {}", WTERMSIG(status));
    return fmt::format("exit code {}", WEXITSTATUS(status));
}

class ReaderProcess : public ::testing::Test {
  protected:
    void SetUp() override { seed_ = VeskTest::testSeed(); }

    std::unique_ptr<Helper> start(const std::string& role) {
        return std::make_unique<Helper>(role, root_.dir(), seed_ + ++started_);
    }

    std::string slotsFile() const { return root_.path("sys/T/counter/slots"); }

    TestRoot root_;
    uint64_t seed_ = 0;
    uint64_t started_ = 0;
};

// ----- attaching across processes -----

TEST_F(ReaderProcess, AReaderMountedBeforeItsWriterFollowsTheWritersFiles) {
    auto reader = start("reader");
    // No writer yet: a placeholder that answers with the zero record.
    EXPECT_EQ(reader->ok("mount"), "ok mount=0 type=2 cinder=0 history=");
    EXPECT_EQ(reader->ask("lookup 5"), "absent packets=0 octets=0");
    EXPECT_EQ(reader->ok("poll"), "ok mount=0 type=2 cinder=0 history=");

    auto writer = start("writer");
    const auto mounted = fields(writer->ok("mount"));
    const uint64_t cinder = field(mounted, "cinder");
    ASSERT_NE(cinder, 0u);
    writer->ok("base 100");
    writer->ok("fill 1 40");

    // The sentry hears of the files from the reader's event loop and attaches.
    EXPECT_EQ(reader->ok("waitmount 1"),
              fmt::format("ok mount=1 type=2 cinder={} history=quiesced:true,mountStatus:mounted",
                          cinder));
    std::string expected = "ok";
    for (uint64_t k = 1; k <= 40; ++k)
        expected += fmt::format(" {}:{}", k, 100 + k);
    // Iteration order is the table's, not the keys': compare as sets.
    auto asSet = [](const std::string& answer) {
        const auto w = words(answer);
        return std::set<std::string>(w.begin(), w.end());
    };
    EXPECT_EQ(asSet(reader->ask("iterate")), asSet(expected));
    const CounterEntrySimple r7 = record(7, 107);
    EXPECT_EQ(reader->ask("lookup 7"),
              fmt::format("found key=7 packets=107 octets={}", r7.octets()));
    EXPECT_EQ(reader->ask("lookup 41"), "absent packets=0 octets=0");

    // The writer removes its files: the reader goes back to the placeholder.
    writer->ok("cleanup");
    EXPECT_EQ(reader->ok("waitmount 0"),
              "ok mount=0 type=2 cinder=0 history=quiesced:true,mountStatus:mounted,"
              "quiesced:false,mountStatus:notMounted");
    EXPECT_EQ(reader->ask("lookup 7"), "absent packets=0 octets=0");
    EXPECT_EQ(reader->ask("iterate"), "ok");

    // The files come back (a new writer generation): attached again, to the new records only.
    const auto again = fields(writer->ok("mount"));
    writer->ok("base 500");
    writer->ok("fill 100 102");
    const std::string back = reader->ok("waitmount 1");
    EXPECT_EQ(field(fields(back), "cinder"), field(again, "cinder")) << back;
    EXPECT_NE(back.find("history=quiesced:true,mountStatus:mounted,quiesced:false,mountStatus:"
                        "notMounted,quiesced:true,mountStatus:mounted"),
              std::string::npos)
        << back;
    EXPECT_EQ(asSet(reader->ask("iterate")), asSet("ok 100:501 101:502 102:503"));
    EXPECT_EQ(reader->ask("lookup 7"), "absent packets=0 octets=0");
    EXPECT_EQ(reader->ask("lookup 101"),
              fmt::format("found key=101 packets=502 octets={}", record(101, 502).octets()));

    const int w = writer->exit();
    const int r = reader->exit();
    EXPECT_TRUE(exitedCleanly(w)) << statusText(w);
    EXPECT_TRUE(exitedCleanly(r)) << statusText(r);
}

TEST_F(ReaderProcess, TryAttachAttachesAtOnceWhenTheFilesAreThere) {
    auto reader = start("reader");
    EXPECT_EQ(reader->ok("mount"), "ok mount=0 type=2 cinder=0 history=");
    // Nothing to attach to yet.
    EXPECT_EQ(reader->ok("tryattach"), "ok mount=0 type=2 cinder=0 history=");

    auto writer = start("writer");
    const uint64_t cinder = field(fields(writer->ok("mount")), "cinder");
    writer->ok("base 10");
    writer->ok("fill 1 3");
    // The reader has not polled its event loop since: tryAttach alone attaches.
    const std::string attached = fmt::format(
        "ok mount=1 type=2 cinder={} history=quiesced:true,mountStatus:mounted", cinder);
    EXPECT_EQ(reader->ok("tryattach"), attached);
    EXPECT_EQ(reader->ask("lookup 2"),
              fmt::format("found key=2 packets=12 octets={}", record(2, 12).octets()));
    // What the event loop still holds about those files changes nothing.
    EXPECT_EQ(reader->ok("poll"), attached);
    EXPECT_EQ(reader->ok("tryattach"), attached);

    const int w = writer->exit();
    const int r = reader->exit();
    EXPECT_TRUE(exitedCleanly(w)) << statusText(w);
    EXPECT_TRUE(exitedCleanly(r)) << statusText(r);
}

// ----- writer restarts under running readers -----

TEST_F(ReaderProcess, ReadersKeepAnsweringRightAcrossWriterKillsReuseAndReformat) {
    constexpr int kReaders = 2;
    const uint64_t rounds = VeskTest::envCount("VESK_PROCESS_ROUNDS", 500);

    // The first writer: held keys 1..64 that are never removed, churn keys 1000..2999.
    auto writer = start("writer");
    const uint64_t first = field(fields(writer->ok("mount")), "cinder");
    ASSERT_NE(first, 0u);
    writer->ok("base 1000000");
    writer->ok("fill 1 64");
    writer->ok("run 1 64 1000 2999");

    std::vector<std::unique_ptr<Helper>> readers;
    const std::string stay = fmt::format("rule stay {} 0 present 1 64", first);
    for (int i = 0; i < kReaders; ++i) {
        readers.push_back(start("reader"));
        EXPECT_EQ(field(fields(readers.back()->ok("mount")), "cinder"), first);
        readers.back()->ok(stay);
        readers.back()->ok("loop");
    }
    auto runRounds = [&](const char* phase) {
        for (int i = 0; i < kReaders; ++i) {
            const auto f = fields(readers[i]->ok(fmt::format("rounds {}", rounds)));
            EXPECT_EQ(field(f, "failures"), 0u)
                << "reader " << i << ", " << phase << ": " << text(f, "first");
        }
    };
    runRounds("first writer");

    // Killed while idle: its files stay complete, the readers keep answering from them.
    writer->ok("pause");
    const int killed = writer->kill9();
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << statusText(killed);
    runRounds("no writer");

    // Restarted: it reuses the files (same generation) and goes on changing them.
    writer = start("writer");
    EXPECT_EQ(field(fields(writer->ok("mount")), "cinder"), first) << "the files were not reused";
    writer->ok("base 2000000000");
    writer->ok("run 1 64 1000 2999");
    runRounds("restarted writer");
    for (int i = 0; i < kReaders; ++i) {
        const auto f = fields(readers[i]->ok("report"));
        // Nothing the readers met needed explaining as corruption.
        EXPECT_EQ(field(f, "corruptions"), 0u) << "reader " << i;
        EXPECT_EQ(field(f, "generationChanges"), 0u) << "reader " << i;
        EXPECT_GT(field(f, "iterations"), 0u) << "reader " << i;
    }

    // Killed again, and its files marked as left in the middle of a change: the next writer
    // re-formats them, a new generation.
    writer->ok("pause");
    writer->kill9();
    for (auto& r : readers)
        r->ok("rule none");
    {
        auto bytes = VeskTest::readFile(slotsFile());
        uint16_t runtimeFlags = VeskTest::rd<uint16_t>(bytes, VeskTest::Off::kRuntimeFlags);
        runtimeFlags |= Vesk::CRITICAL_SECTION;
        VeskTest::pwriteValue<uint16_t>(slotsFile(), VeskTest::Off::kRuntimeFlags, runtimeFlags);
    }
    writer = start("writer");
    const uint64_t next = field(fields(writer->ok("mount")), "cinder");
    EXPECT_NE(next, first);
    EXPECT_EQ(Plinth::CinderId(uint32_t(next)).second(),
              Plinth::CinderId(uint32_t(first)).second() + 1);
    // Half of the old held keys are written again, new keys too; the rest of the old ones
    // (33..64 and the old churn keys) must be gone.
    writer->ok("base 3000000000");
    writer->ok("fill 1 32");
    writer->ok("fill 5001 5032");
    writer->ok("run 1 32 6000 7999");
    const std::string gen = fmt::format(
        "rule gen {} 3000000000 present 1 32 present 5001 5032 absent 33 64 absent 1000 2999",
        next);
    for (int i = 0; i < kReaders; ++i) {
        readers[i]->ok(gen);
        const auto f = fields(readers[i]->ok(fmt::format("waitgen {}", next)));
        EXPECT_EQ(field(f, "cinder"), next)
            << "reader " << i << " never reached the new generation";
        // From here on the reader must stay on the new generation.
        readers[i]->ok(fmt::format(
            "rule stay {} 3000000000 present 1 32 present 5001 5032 absent 33 64 absent 1000 2999",
            next));
    }
    runRounds("re-formatted table");

    writer->ok("pause");
    const int w = writer->exit();
    EXPECT_TRUE(exitedCleanly(w)) << statusText(w);
    for (int i = 0; i < kReaders; ++i) {
        const std::string last = readers[i]->ok("report");
        std::printf("reader %d: %s\n", i, last.c_str());
        const auto f = fields(last);
        EXPECT_EQ(field(f, "failures"), 0u) << "reader " << i << ": " << text(f, "first");
        EXPECT_EQ(field(f, "mount"), 1u);
        const int r = readers[i]->exit();
        EXPECT_TRUE(exitedCleanly(r)) << "reader " << i << ": " << statusText(r);
    }
}

}  // namespace
