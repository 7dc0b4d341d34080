// The one test support layer: private table roots, a trace capture, the seed of randomized
// tests and one child-process harness. Every test file uses these instead of its own.
#pragma once

#include "Pimbo/Debug.h"

#include <sys/types.h>

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

// A forked child that runs `body` and exits with its result. The child dies with the test
// process (a parent-death signal, checked against a parent that died before it was set), its
// traces are discarded, and it talks to the parent over one line channel each way. Every wait
// is bounded; a child that outlives a wait is killed and the wait says so.
class Child {
  public:
    // Exit status of a child that cannot do its part here (no root, no mount namespace); it
    // sends why as its last line.
    static constexpr int kSkip = 77;
    // Exit status of a child whose body threw; it sends "child threw: <what>" as its last line.
    // The exception never reaches the child's copy of the test runner, which would go on to run
    // the rest of the suite in the child.
    static constexpr int kThrew = 70;
    static constexpr double kWait = 60;  // seconds; generous, only a hang reaches it

    enum class As { self, nobody };
    // As::nobody: the child drops to uid and gid 65534 first, or exits kSkip.
    explicit Child(std::function<int(Child&)> body, As as = As::self);
    ~Child();  // kills and reaps
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // One line to the other side (from either side).
    void send(const std::string& line);
    // The next line from the other side; "" when it ended or nothing came within `seconds`.
    std::string receive(double seconds = kWait);
    // Waits for the child's end: its exit status, 128 + the signal that ended it, or -1 when it
    // did not end within `seconds` (it is killed then).
    int wait(double seconds = kWait);
    // Sends `sig`; with SIGKILL also reaps.
    void kill(int sig = 9);
    // Waits until the child has ended without reaping it (it stays a zombie); false on timeout.
    bool waitDead(double seconds = kWait);
    pid_t pid() const { return pid_; }
    // Everything the child sent that the parent has not received yet, after it ended.
    std::string rest();

    // In the child: parks it until it is asked to end (SIGTERM, as the destructor does) or killed.
    [[noreturn]] static void block();

  private:
    int runBody(const std::function<int(Child&)>& body);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// In a child: a private mount namespace with a fresh tmpfs of `size` ("256k"; further mount
// options may follow it: "32m,huge=always"), mode 0755, made the process's table root; false
// with `why` when the system does not allow it.
bool privateTmpfs(const std::string& size, std::string& why);

}  // namespace VeskTest
