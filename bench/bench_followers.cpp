// The writer's rate beside the followers of its wake-up socket: the writer of a table that
// publishes its changes overwrites its records, in passes that alternate with those of a second
// table of the same writer process that nobody follows (so that a machine busy with something
// else slows both alike), and the rates are compared as a ratio
//  - with no follower;
//  - with F followers connected that never ask for a wake-up (they stay awake);
//  - with F followers that keep asking for one (each stores 1 into its wake word every
//    millisecond and never reads its connection: the flood that fills socket buffers).
// The followers are the connections of four child processes, which sleep between their rounds.
// Reported: updates per second of both tables in each case and their ratio, the
// followers the writer took and refused (its caps), and the kernel's slab memory grown
// meanwhile.
//
//   build-bench/bench/bench_followers [followers] [seconds per case]   (2000 and 2 by default)
#include "FlexCounters2/CounterTables.h"
#include "Ruxa/RuxaWake.h"
#include "Vesk/VeskWriter.h"

#include "BenchUtil.h"
#include "ChildProcess.h"
#include "RecordKinds.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

// A child holding `count` connections, which tells its parent that it runs, then until its
// parent goes (ChildProcess.h), every millisecond: connects those not connected yet (the
// socket's backlog is short), and on each one connected asks for a wake-up when `ask` (and
// never reads again once it holds its wake word), else reads what came.
[[noreturn]] void holdFollowers(int count, VeskTool::ChildProcess& parent, bool ask) {
    const Vesk::RootPath path(handler(), kTable, false);
    std::vector<Ruxa::WakeReceiver> followers(static_cast<size_t>(count));
    const char ready = 1;
    if (!parent.writeAll(&ready, 1))
        ::_exit(1);
    for (std::string why;; ::usleep(1000)) {
        bool backlogFull = false;
        for (auto& f : followers) {
            bool closed = false;
            if (!f && !backlogFull)
                backlogFull = !f.connect(path, why);  // tried again in the next round
            else if (f && (!ask || !f.ask()))         // no word yet: it comes with the first byte
                f.drain(closed);
        }
    }
}

// The children holding the followers; killed with the object.
struct Followers {
    std::vector<std::unique_ptr<VeskTool::ChildProcess>> children;
    Followers(int total, bool ask) {
        for (int c = 0; c < kChildren; ++c) {
            const int count = total / kChildren + (c < total % kChildren ? 1 : 0);
            auto& child = *children.emplace_back(std::make_unique<VeskTool::ChildProcess>());
            char ready = 0;
            if (!child.start([count, ask](VeskTool::ChildProcess& parent) -> int {
                    holdFollowers(count, parent, ask);
                }) ||
                !child.readAll(&ready, 1))
                std::abort();
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

// Writes until the writer has taken or refused each of `total` followers that connect (or for
// 30 s at most); the number taken.
size_t takeFollowers(Writer& w, size_t total) {
    const Ruxa::RuxaWriter& q = *w.notificationQueue();
    const uint64_t refusedBefore = q.refusedFollowers(), end = nowNs() + 30000000000ull;
    while (q.followers() + (q.refusedFollowers() - refusedBefore) < total && nowNs() < end)
        rate(w, 0.01);
    return q.followers();
}

// Passes of `seconds` / kPasses over the followed table and the one beside it, alternately;
// the median rate of each and the median of the ratios of the pairs.
struct Pair {
    double followed = 0, alone = 0, ratio = 0;
};
constexpr int kPasses = 9;
Pair measure(Writer& followed, Writer& alone, double seconds) {
    std::vector<double> f, a, r;
    for (int p = 0; p < kPasses; ++p) {
        a.push_back(rate(alone, seconds / kPasses));
        f.push_back(rate(followed, seconds / kPasses));
        r.push_back(f.back() / a.back());
    }
    for (auto* v : {&f, &a, &r})
        std::sort(v->begin(), v->end());
    return {f[kPasses / 2], a[kPasses / 2], r[kPasses / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::stoi(argv[1]) : 2000;
    const double seconds = argc > 2 ? std::stod(argv[2]) : 2.0;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    VeskBench::root();
    Vesk::MapDescriptor d(uint32_t(kRecords * 2));
    d.notify = 1;
    Writer w(handler(), kTable, d, Ops{}, "Bench");
    Writer beside(handler(), "bench/beside", d, Ops{}, "Bench");
    w.initialize("none");
    beside.initialize("none");
    rate(w, 0.2);  // warm up
    rate(beside, 0.2);
    std::printf(
        "two writers overwriting %lu records each, the followed one and one beside it "
        "without followers, in alternate passes (%.1f s per case)\n",
        (unsigned long)kRecords, seconds);
    std::printf("%-24s %14s %14s %8s %10s %8s %10s\n", "", "followed/s", "beside/s", "ratio",
                "followers", "refused", "slab +MB");
    for (const int mode : {0, 1, 2}) {  // none, awake, asking
        const uint64_t slab = slabKb();
        const int count = mode == 0 ? 0 : total;
        auto followers = std::make_unique<Followers>(count, mode == 2);
        const uint64_t refusedBefore = w.notificationQueue()->refusedFollowers();
        const size_t taken = takeFollowers(w, size_t(count));
        const uint64_t refused = w.notificationQueue()->refusedFollowers() - refusedBefore;
        const Pair m = measure(w, beside, seconds);
        const std::string label = mode == 0   ? std::string("no follower")
                                  : mode == 1 ? std::to_string(total) + " followers awake"
                                              : std::to_string(total) + " followers asking";
        std::printf("%-24s %14.0f %14.0f %8.3f %10zu %8lu %10.1f\n", label.c_str(), m.followed,
                    m.alone, m.ratio, taken, (unsigned long)refused,
                    (double(slabKb()) - double(slab)) / 1024);
        std::fflush(stdout);
        followers.reset();
        while (w.notificationQueue()->followers() != 0)  // the writer notices they went
            rate(w, 0.01);
    }
    w.cleanup();
    beside.cleanup();
    return 0;
}
