// The writer's rate beside the followers of its wake-up socket: a writer of a table that
// publishes its changes overwrites its records for a fixed time
//  - with no follower;
//  - with F followers connected that never ask for a wake-up (they stay awake);
//  - with F followers that keep asking for one (each stores 1 into its wake word every
//    millisecond and never reads its connection: the flood that fills socket buffers).
// The followers are the connections of four child processes, which sleep between their rounds.
// Reported: updates per second in each case and as a ratio of the rate without followers, the
// followers the writer took and refused, and the kernel's slab memory grown meanwhile.
//
//   build-bench/bench/bench_followers [followers] [seconds per case]   (2000 and 1 by default)
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Ruxa/RuxaWake.h"
#include "Vesk/VeskWriter.h"

#include "BenchUtil.h"
#include "RecordKinds.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Kind = VeskTool::Kind<Ops>;
using Writer = Vesk::VeskWriter<Ops>;

namespace {

using VeskBench::nowNs;

constexpr int kChildren = 4;
constexpr uint64_t kRecords = 4096;
const char* const kTable = "bench/followers";

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("bench");
}

// Slab memory of the kernel in kB (/proc/meminfo), where socket buffers are counted.
uint64_t slabKb() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t kb = 0;
    while (in >> key >> kb)
        if (key == "Slab:")
            return kb;
        else
            in.ignore(64, '\n');
    return 0;
}

// A child holding `count` connections, which says on `out` that it runs, then until its parent
// goes, every millisecond: connects those not connected yet (the socket's backlog is short),
// and on each one connected asks for a wake-up when `ask` (and never reads again once it holds
// its wake word), else reads what came.
[[noreturn]] void holdFollowers(int count, int out, bool ask) {
    const Vesk::RootPath path(handler(), kTable, false);
    std::vector<Ruxa::WakeReceiver> followers(static_cast<size_t>(count));
    char ready = 1;
    if (::write(out, &ready, 1) != 1)
        ::_exit(1);
    for (std::string why;; ::usleep(1000)) {
        for (auto& f : followers) {
            bool closed = false;
            if (!f)
                f.connect(path, why);
            else if (!ask || !f.ask())  // no word yet: it comes with the first byte
                f.drain(closed);
        }
        if (::getppid() == 1)
            ::_exit(0);
    }
}

struct Followers {
    std::vector<pid_t> pids;
    Followers(int total, bool ask) {
        for (int c = 0; c < kChildren; ++c) {
            int up[2];
            if (::pipe(up) != 0)
                std::abort();
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(up[0]);
                holdFollowers(total / kChildren + (c < total % kChildren ? 1 : 0), up[1], ask);
            }
            ::close(up[1]);
            char ready = 0;
            if (::read(up[0], &ready, 1) != 1)
                std::abort();
            ::close(up[0]);
            pids.push_back(pid);
        }
    }
    ~Followers() {
        for (pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Overwrites for `seconds`; updates per second.
double rate(Writer& w, double seconds) {
    uint64_t updates = 0;
    const uint64_t t0 = nowNs(), end = t0 + uint64_t(seconds * 1e9);
    for (uint64_t now = t0; now < end; now = nowNs()) {
        for (uint64_t k = 0; k < kRecords; ++k)
            w.write(Kind::make(k, updates + k), true);
        updates += kRecords;
    }
    return double(updates) / (double(nowNs() - t0) * 1e-9);
}

// Writes until the writer has taken every follower that connected (its count stops growing).
size_t takeFollowers(Writer& w) {
    size_t seen = 0;
    for (int still = 0; still < 20;) {
        rate(w, 0.01);
        const size_t now = w.notificationQueue()->followers();
        still = now == seen ? still + 1 : 0;
        seen = now;
    }
    return seen;
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::stoi(argv[1]) : 2000;
    const double seconds = argc > 2 ? std::stod(argv[2]) : 1.0;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    VeskBench::root();
    Vesk::MapDescriptor d(uint32_t(kRecords * 2));
    d.notify = 1;
    Writer w(handler(), kTable, d, Ops{}, "Bench");
    w.initialize("none");
    rate(w, 0.2);  // warm up
    const double alone = rate(w, seconds);
    std::printf("writer overwriting %lu records, %.1f s per case\n", (unsigned long)kRecords,
                seconds);
    std::printf("%-34s %14s %8s %10s %12s\n", "", "updates/s", "ratio", "followers", "slab +MB");
    std::printf("%-34s %14.0f %8.3f %10d %12s\n", "no follower", alone, 1.0, 0, "-");
    for (const bool ask : {false, true}) {
        const uint64_t slab = slabKb();
        auto followers = std::make_unique<Followers>(total, ask);
        const size_t taken = takeFollowers(w);
        const double r = rate(w, seconds);
        const std::string label =
            std::to_string(total) + (ask ? " followers asking" : " followers awake");
        std::printf("%-34s %14.0f %8.3f %10zu %12.1f\n", label.c_str(), r, r / alone, taken,
                    (double(slabKb()) - double(slab)) / 1024);
        std::fflush(stdout);
        followers.reset();
        while (w.notificationQueue()->followers() != 0)  // the writer notices they went
            rate(w, 0.01);
    }
    w.cleanup();
    return 0;
}
