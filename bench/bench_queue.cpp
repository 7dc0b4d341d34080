// The change queue's costs, side by side in one run:
//  - the writer's overwrite and insert with notifications off, on without a follower, and on
//    with a follower process consuming (median ns per operation of interleaved passes, and the
//    overhead against off);
//  - the notifications one follower process applies per second (a Vesk::Syncer on its event
//    loop, copying the record of each notified slot) while the writer overwrites at full speed;
//  - the wake-up latency from the writer to the follower's handler: the writer puts its
//    CLOCK_MONOTONIC in the record just before write(), the follower's handler takes the time
//    when it copies that record; one write per wake-up. Measured twice: with a writer that runs
//    its event loop while it waits for the answer (as a writer process does: the look at the
//    followers that the writer's pacing put off runs from its timer), and with one that waits
//    outside it (a put-off look then waits for the next change or the follower's poll).
//
//   build-bench/bench/bench_queue [records]      (records: 100000 by default)
#include "FlexCounters2/CounterTables.h"
#include "Pimbo/EventLoop.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskShadow/Syncer.h"

#include "BenchUtil.h"
#include "ChildProcess.h"
#include "RecordKinds.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace DravoCounters::FlexCounters2;
using Ops = CounterEntrySimpleOps;
using Kind = VeskTool::Kind<Ops>;
using Writer = Vesk::VeskWriter<Ops>;

namespace {

using VeskBench::nowNs;

constexpr int kPasses = 15;
constexpr int kLatencySamples = 2000;
constexpr uint64_t kFollowNs = 1000000000;  // the writer overwrites this long for the follower

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("bench");
}

std::unique_ptr<Writer> makeWriter(const std::string& name, uint64_t n, bool notify) {
    Vesk::MapDescriptor d(static_cast<uint32_t>(n));
    d.notify = notify ? 1 : 0;
    auto w = std::make_unique<Writer>(handler(), name, d, Ops{}, "Bench");
    w->initialize("none");
    return w;
}

// The longest wait for an answer of the follower: far beyond any answer's time, so only a
// follower that missed something or hangs reaches it.
constexpr int kAnswerMs = 30000;

// Fixed-size messages to and from the other process; a short read or write (the other side
// died) ends the run.
template <class T>
void put(VeskTool::ChildProcess& other, const T& v) {
    if (!other.writeAll(&v, sizeof v))
        std::abort();
}
template <class T>
T take(VeskTool::ChildProcess& other) {
    T v;
    if (!other.readAll(&v, sizeof v))
        std::abort();
    return v;
}

// The follower's first answer: attached to the queue, woken by the writer's socket or polling.
enum Ready : char { kWoken = 'w', kPolling = 'p', kNotAttached = 'n' };

struct Tally {
    uint64_t applied = 0, resyncs = 0, ns = 0;
    uint64_t firstNs = 0, lastNs = 0;  // when the first and the last of them were applied
};

// The follower process: a Syncer copies the record of every notified slot. One-byte commands
// from the parent: 's' starts counting, 'r' reports the Tally since, 'q' ends. With `latency`,
// it sends the parent the time since the writer's timestamp (the record's packets) of each
// record it copies.
[[noreturn]] void follow(const std::string& name, VeskTool::ChildProcess& parent, bool latency) {
    Vesk::VeskReader<Ops> table(handler(), name.c_str(), Ops{}, nullptr);
    Vesk::Reader::Counters counters;
    const Vesk::RootPath path(handler(), name, false);
    Vesk::Syncer::Reader queue(handler(), path, counters);
    if (!table.initialize("follow"))
        ::_exit(1);
    auto& slots = table.slotTable();
    Tally t;
    uint64_t start = nowNs();
    Vesk::Syncer syncer(
        queue, path,
        [&](uint32_t slot, uint64_t) {
            if (slot >= slots.capacity())
                slots.doResize();
            CounterEntrySimple v{};
            if (slot < slots.capacity() && (slots.getValue(slot, v).flags & Vesk::OCCUPIED)) {
                benchmark::DoNotOptimize(v);
                if (latency)
                    put(parent, nowNs() - v.packets());
            }
            t.lastNs = nowNs();
            t.firstNs = t.applied++ == 0 ? t.lastNs : t.firstNs;
        },
        [&] { return ++t.resyncs != 0; });  // the first one: the queue is attached
    bool done = false;
    Pimbo::eventLoop().addFd(parent.in(), [&] {
        const char c = take<char>(parent);
        if (c == 's') {
            t = Tally();
            start = nowNs();
            put(parent, true);
        } else if (c == 'r') {
            t.ns = nowNs() - start;
            put(parent, t);
        } else {
            done = true;
        }
    });
    // Ready once the queue is attached, which the loop's first run does: a change published
    // before that is in the table only (the attach starts after the writer's latest entry), and
    // would never come as a notification.
    syncer.start();
    for (int ms = 0; t.resyncs == 0 && ms < kAnswerMs; ms += 10)
        Pimbo::eventLoop().poll(10);
    put(parent, t.resyncs == 0 ? kNotAttached : syncer.woken() ? kWoken : kPolling);
    while (!done)
        Pimbo::eventLoop().poll(100);
    ::_exit(0);
}

class Follower {
  public:
    Follower(const std::string& name, bool latency) {
        if (!child_.start(
                [&](VeskTool::ChildProcess& parent) -> int { follow(name, parent, latency); }))
            std::abort();
        const Ready ready = receive<Ready>("its first answer (attached to the queue)");
        if (ready == kNotAttached)
            fail("the follower could not attach to the queue");
        if (ready == kPolling)
            std::fprintf(stderr, "the follower of %s polls: no wake-up socket\n", name.c_str());
    }
    ~Follower() {
        put(child_, 'q');
        child_.wait(kAnswerMs / 1000.0);
    }
    void start() {
        put(child_, 's');
        receive<bool>("the start of a count");
    }
    void signal(int sig) { child_.kill(sig); }
    Tally tally() {
        put(child_, 'r');
        return receive<Tally>("a count of the notifications it applied");
    }
    uint64_t sample() { return receive<uint64_t>("a wake-up latency sample"); }
    // The same, running this process's event loop until the sample comes.
    uint64_t sampleOnLoop() {
        bool ready = false;
        Pimbo::eventLoop().addFd(child_.in(), [&] { ready = true; });
        for (int ms = 0; !ready && ms < kAnswerMs; ms += 100)
            Pimbo::eventLoop().poll(100);
        Pimbo::eventLoop().removeFd(child_.in());
        return sample();
    }

  private:
    // The follower's next answer, `what`; a follower that gives none in kAnswerMs ends the run.
    template <class T>
    T receive(const char* what) {
        if (!child_.readable(kAnswerMs))
            fail(fmt::format("no {} from the follower within {} s", what, kAnswerMs / 1000));
        return take<T>(child_);
    }
    [[noreturn]] void fail(const std::string& why) {
        child_.kill();
        std::fprintf(stderr, "bench_queue: %s\n", why.c_str());
        std::exit(1);
    }

    VeskTool::ChildProcess child_;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One writer of n records in one of the three modes, and its timed passes.
struct Mode {
    const char* label;
    std::unique_ptr<Writer> writer;
    std::unique_ptr<Follower> follower;
    std::vector<double> overwrite, insert;  // ns per operation of each pass
};

void throughput(uint64_t n) {
    std::vector<uint64_t> keys(n);
    for (uint64_t i = 0; i < n; ++i)
        keys[i] = i;
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(42));
    Mode modes[] = {{"notify off", {}, {}, {}, {}},
                    {"notify on", {}, {}, {}, {}},
                    {"notify on + follower", {}, {}, {}, {}}};
    for (int m = 0; m < 3; ++m) {
        const std::string name = "bench/queue" + std::to_string(m);
        modes[m].writer = makeWriter(name, n, m != 0);
        if (m == 2)
            modes[m].follower = std::make_unique<Follower>(name, false);
    }
    // Passes interleave the modes, so that a machine busy with something else slows all three.
    for (int pass = 0; pass <= kPasses; ++pass) {
        for (Mode& mode : modes) {
            Writer& w = *mode.writer;
            CounterEntrySimple gone;
            for (uint64_t k : keys)
                w.remove(CounterIndex(k), gone);
            uint64_t t0 = nowNs();
            for (uint64_t k : keys)
                w.write(Kind::make(k, 0), true);
            const double insert = double(nowNs() - t0) / double(n);
            t0 = nowNs();
            for (uint64_t k : keys)
                w.write(Kind::make(k, pass + 1), true);
            const double overwrite = double(nowNs() - t0) / double(n);
            if (pass > 0) {  // pass 0 warms up
                mode.insert.push_back(insert);
                mode.overwrite.push_back(overwrite);
            }
        }
    }
    std::printf("%lu records, median of %d passes, ns per operation\n", (unsigned long)n, kPasses);
    std::printf("%-22s %10s %8s %10s %8s\n", "", "overwrite", "vs off", "insert", "vs off");
    const double offOverwrite = median(modes[0].overwrite), offInsert = median(modes[0].insert);
    for (const Mode& mode : modes) {
        const double o = median(mode.overwrite), i = median(mode.insert);
        std::printf("%-22s %10.1f %+7.1f%% %10.1f %+7.1f%%\n", mode.label, o,
                    100 * (o / offOverwrite - 1), i, 100 * (i / offInsert - 1));
    }

    // The follower while the writer overwrites at full speed for about a second.
    Mode& followed = modes[2];
    Writer& w = *followed.writer;
    followed.follower->start();
    const uint64_t first = w.sequence().sequence, t0 = nowNs();
    for (uint64_t round = 1000; nowNs() - t0 < kFollowNs; ++round) {
        for (uint64_t k : keys)
            w.write(Kind::make(k, round), true);
    }
    const double writerNs = double(nowNs() - t0);
    const Tally t = followed.follower->tally();
    const double published = double(w.sequence().sequence - first);
    std::printf(
        "\nfollower: %.2f M notifications applied/s (%lu in %.2f s; %lu resyncs after "
        "overruns); the writer published %.2f M/s\n",
        double(t.applied) / double(t.ns) * 1e3, (unsigned long)t.applied, double(t.ns) * 1e-9,
        (unsigned long)t.resyncs, published / writerNs * 1e3);

    // How fast the follower drains a backlog: stopped while the writer fills most of the ring
    // (16 x 4096 entries), then let go.
    const uint64_t backlog = std::min<uint64_t>(n, 60000);
    followed.follower->start();
    followed.follower->signal(SIGSTOP);
    for (uint64_t i = 0; i < backlog; ++i)
        w.write(Kind::make(keys[i], 1u << 20), true);
    followed.follower->signal(SIGCONT);
    Tally d;
    for (int i = 0; i < 10000 && d.applied < backlog; ++i)
        d = followed.follower->tally();
    std::printf("follower draining a backlog of %lu: %.2f M notifications applied/s\n",
                (unsigned long)d.applied, double(d.applied) / double(d.lastNs - d.firstNs) * 1e3);
    for (Mode& mode : modes)
        mode.writer->cleanup();
}

void latency(bool onLoop) {
    const std::string name = onLoop ? "bench/latency-loop" : "bench/latency";
    auto w = makeWriter(name, 64, true);
    std::vector<double> us;
    {
        Follower follower(name, true);
        for (int i = 0; i < kLatencySamples; ++i) {
            CounterEntrySimple v = Kind::make(1, 0);
            v.packetsIs(nowNs());
            w->write(v, true);
            us.push_back(double(onLoop ? follower.sampleOnLoop() : follower.sample()) * 1e-3);
        }
    }
    std::sort(us.begin(), us.end());
    std::printf(
        "%swake-up latency, write() to the follower's handler, %d samples, the writer waiting %s "
        "its event loop: p50 %.1f us, p99 %.1f us, max %.1f us\n",
        onLoop ? "\n" : "", kLatencySamples, onLoop ? "on" : "outside", us[us.size() / 2],
        us[us.size() * 99 / 100], us.back());
    w->cleanup();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    VeskBench::root();
    throughput(argc > 1 ? std::stoull(argv[1]) : 100000);
    latency(true);
    latency(false);
    return 0;
}
