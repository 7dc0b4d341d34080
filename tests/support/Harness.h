// The one test support layer: private table roots, a trace capture, the seed of randomized
// tests and one child-process harness. Every test file uses these instead of its own.
#pragma once

#include "ChildProcess.h"
#include "Pimbo/Debug.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace VeskTest {

// ----- private roots -----------------------------------------------------------------------

// This test process's own directory, "/dev/shm/vesk-test-<pid>-XXXXXX", made at first use and
// removed when the process ends normally. The directories of test processes that are gone (a
// crash, a kill, a death test) are removed at the first use and at the end of every run, so no
// run leaves any behind. Forked children never remove it.
const std::string& processRoot();
// Removes the directories of test processes that no longer run.
void sweepDeadRoots();

// A fresh, empty table root below processRoot() (mode 0755), made the process's Mem::RootPath
// root while the object lives; removed with everything in it afterwards.
class TestRoot {
  public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

  private:
    std::string previous_;
    std::string dir_;
};

// ----- traces --------------------------------------------------------------------------------

// Collects every trace of level <= maxLevel while it lives (and silences the default sink
// meanwhile): `text` holds their messages one per line.
class TraceCapture {
  public:
    struct Record {
        unsigned level;
        std::string className;
        std::string message;
    };
    explicit TraceCapture(unsigned maxLevel = 0);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    bool has(const std::string& part) const { return text.find(part) != std::string::npos; }
    // A trace of exactly this level, class and message was seen.
    bool contains(unsigned level, const std::string& className, const std::string& message) const;
    std::string text;

  private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

// ----- randomized tests ----------------------------------------------------------------------

// The seed of every randomized test of this run: VESK_TEST_SEED when set, else a fresh one.
// Printed once per process ("seed N: rerun with VESK_TEST_SEED=N").
uint64_t testSeed();
// An iteration count: `ci` unless VESK_TEST_SCALE multiplies it (a soak).
uint64_t scaled(uint64_t ci);

// ----- child processes ----------------------------------------------------------------------

// A forked child (ChildProcess.h) that runs `body` and exits with its result. The child dies
// with the test process (SIGKILL), its traces are discarded, and it talks to the parent over one
// line channel each way. Every wait is bounded (kWait); a child that outlives a wait is killed
// and the wait says so. The destructor asks the child to end (SIGTERM), then kills and reaps it.
class Child : public VeskTool::ChildProcess {
  public:
    // Exit status of a child that cannot do its part here (no root, no mount namespace); it
    // sends why as its last line.
    static constexpr int kSkip = 77;
    // Exit status of a child whose body threw; it sends "child threw: <what>" as its last line.
    // The exception never reaches the child's copy of the test runner, which would go on to run
    // the rest of the suite in the child.
    static constexpr int kThrew = ChildProcess::kThrew;

    enum class As { self, nobody };
    // As::nobody: the child drops to uid and gid 65534 first, or exits kSkip.
    explicit Child(std::function<int(Child&)> body, As as = As::self);
    ~Child();

    // In the child: parks it until it is asked to end (SIGTERM, as the destructor does) or killed.
    [[noreturn]] static void block();

  private:
    int runBody(const std::function<int(Child&)>& body, As as);
};

// In a child: a private mount namespace with a fresh tmpfs of `size` ("256k"; further mount
// options may follow it: "32m,huge=always"), mode 0755, made the process's table root; false
// with `why` when the system does not allow it.
bool privateTmpfs(const std::string& size, std::string& why);

}  // namespace VeskTest
