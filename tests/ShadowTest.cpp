// Shadows (value and key-only) mounted through the front against a writer that publishes its
// changes: every change reaches the client in order and the copy equals the writer's table when
// quiesced, across grows, shrinks, moved keys, an overrun, restarts and a writer killed
// mid-change, failed reports and a copy that cannot grow; refused entries change nothing; flushes,
// pauses, the anchors of answers.
#include "Pimbo/EventLoop.h"
#include "Plinth/CinderFile.h"
#include "VeskMap/VeskMap.h"
#include "support/Harness.h"
#include "support/Tables.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

namespace {

using namespace VeskTest;
using Ops = CounterEntrySimpleOps;
using Value = Ops::Value;
using Shadow = Vesk::VeskShadow<Ops>;
constexpr uint64_t kNoSequence = Vesk::VeskShadowBase::kNoSequence;

// A writer that publishes its changes, started as a process would start it; with `cinder`,
// over files of another generation, which it re-formats.
std::unique_ptr<Vesk::VeskWriter<Ops>> startWriter(Plinth::CinderId cinder = {}) {
    if (!cinder.isNone())
        Plinth::CinderFile(*testHandler(), Vesk::RootPath(*testHandler(), kTableName, true), true)
            .write(cinder);
    auto d = shrinkingDescriptor(4096);
    d.notify = 1;
    auto w = makeWriter<Ops>(d);
    w->initialize("start");
    return w;
}

// A shadow of the test table mounted through a front, and what its callbacks reported. Inside a
// callback the shadow must already answer for the key reported (invariant 2 of the store).
struct Follower {
    explicit Follower(Vesk::VeskType type, uint8_t flushNotify = 0)
        : keyOnly(type == Vesk::keyshadow) {
        auto& c = map.callbacks();
        c.onValue = [this](const Value& v) {
            reported[v.key().value()] = v;
            ++changes;
            bool found = false;
            const Value* now = map.interface().lookup(v.key(), found, nullptr);
            misanswered += !found || !(*now == v);
        };
        c.onKey = [this](const CounterIndex& k) {
            bool found = false;
            Value now{};
            map.interface().lookup(k, found, &now);
            misanswered += !found;
            reported[k.value()] = now;
            ++changes;
        };
        c.onKey2 = [this](const CounterIndex& k) {
            reported.erase(k.value());
            ++removals;
            ++changes;
            bool found = true;
            map.interface().lookup(k, found, nullptr);
            misanswered += found;
        };
        c.onMountStatus = [this] { statuses.push_back(map.mountStatus()); };
        map.notifyingIs(true);
        Vesk::MapDescriptor d(1000, type);
        d.notify = 1;
        d.shadowFlagBit2 = flushNotify;
        map.init(d);
    }
    Shadow& shadow() { return dynamic_cast<Shadow&>(map.interface()); }
    // Runs the loop until the shadow has applied all the writer published (bounded).
    bool settle() {
        for (int i = 0; i < 3000 && !(map.mountStatus() == 2 && map.quiesced()); ++i)
            Pimbo::eventLoop().poll(10);
        return map.mountStatus() == 2 && map.quiesced();
    }
    // The shadow equals the writer: its iteration, its lookups and what its callbacks reported
    // hold exactly the writer's records, and no callback saw a wrong answer.
    void expectEquals(Vesk::VeskWriter<Ops>& w, const std::string& when) {
        SCOPED_TRACE(when);
        ASSERT_TRUE(settle()) << "mountStatus:" << map.mountStatus();
        std::map<uint64_t, Value> expected;
        for (const Value& v : iterateAll(w))
            expected[v.key().value()] = v;
        std::map<uint64_t, Value> iterated;
        Value v{};
        Vesk::IterHint hint;
        for (bool more = map.interface().first(v, hint); more && iterated.size() <= expected.size();
             more = map.interface().next(v.key(), v, hint))
            iterated[v.key().value()] = v;
        EXPECT_EQ(iterated, expected);
        EXPECT_EQ(reported, expected);
        EXPECT_EQ(map.interface().members(), expected.size());
        for (uint64_t k = 0; k < 3000; k += 7) {
            bool found = false;
            const Value* v = map.interface().lookup(CounterIndex(k), found, nullptr);
            const auto e = expected.find(k);
            EXPECT_EQ(found, e != expected.end()) << k;
            if (found && e != expected.end()) {
                EXPECT_EQ(*v, e->second) << k;
            }
        }
        EXPECT_EQ(misanswered, 0u);
    }

    bool keyOnly;
    Vesk::VeskMap<Ops> map{Ops{}, kTableName};
    std::map<uint64_t, Value> reported;
    uint64_t removals = 0;
    uint64_t changes = 0;  // every report
    uint64_t misanswered = 0;
    std::vector<Vesk::MountStatus> statuses;  // as each mount-status report found it
};

// Random inserts, overwrites and removals in waves that grow the table to ~2000 records and
// shrink it back to a few.
void churn(Vesk::VeskWriter<Ops>& w, std::mt19937_64& rng, uint64_t ops, uint64_t keys) {
    for (uint64_t i = 0; i < ops; ++i) {
        const uint64_t k = rng() % keys;
        Value removed{};
        if (rng() % 3 == 0)
            w.remove(CounterIndex(k), removed);
        else
            w.write(Kind<Ops>::make(k, rng() % 1000), true);
    }
}

class ShadowTest : public ::testing::TestWithParam<Vesk::VeskType> {
  protected:
    TestRoot root_;
};
INSTANTIATE_TEST_SUITE_P(, ShadowTest, ::testing::Values(Vesk::shadow, Vesk::keyshadow),
                         [](const auto& p) { return std::string(Vesk::veskTypeName(p.param)); });

TEST_P(ShadowTest, FollowsEveryChange) {
    std::mt19937_64 rng(testSeed());
    SCOPED_TRACE(fmt::format("VESK_TEST_SEED={}", testSeed()));
    auto w = startWriter();
    churn(*w, rng, 100, 200);
    // Reporting the keys a flush removes: a re-format detaches the shadow (its files' generation
    // changed) and attaches it again, and the client must hear of the keys that went.
    Follower f(GetParam(), 1);
    f.expectEquals(*w, "first sync");
    for (int wave = 0; wave < 4; ++wave) {
        churn(*w, rng, 3000, 2500);  // grows
        f.expectEquals(*w, fmt::format("wave {} up", wave));
        for (uint64_t k = 0; k < 2500; ++k) {  // shrinks to a handful
            Value removed{};
            if (k % 97 != 0)
                w->remove(CounterIndex(k), removed);
        }
        f.expectEquals(*w, fmt::format("wave {} down", wave));
    }
    const auto& c = f.map.readerCounters().shadow;
    EXPECT_GT(c.slotGrows, 0u);
    EXPECT_GT(c.slotShrinks, 0u);
    EXPECT_GT(c.movedKeys, 0u);  // the writer's shrinks move records down

    const uint64_t resyncs = f.shadow().syncer().resyncs();
    for (uint64_t i = 0; i < 70000; ++i)  // more than the queue holds, with nobody reading
        w->write(Kind<Ops>::make(i % 300, i), true);
    f.expectEquals(*w, "overrun");
    const auto g = f.map.readerCounters().shadow;  // gauges refreshed when read
    EXPECT_TRUE(g.resyncs == resyncs + 1 && g.wakeups > 0 &&
                (g.cinderMappedSize > 0) == f.keyOnly &&
                g.queueGeneration == f.shadow().queue().generation());
    for (const Plinth::CinderId id : {Plinth::CinderId(), Plinth::CinderId(7, 2)}) {
        w.reset();  // and restarted: reusing its files, or re-formatting them
        w = startWriter(id);
        churn(*w, rng, 500, 400);
        f.expectEquals(*w, fmt::format("restart as {}", id));
    }
}

// The store's own cases, driven entry by entry: an index beyond the shared table changes
// nothing; an unchanged record is news only to a key-only shadow; an entry the queue no longer
// vouches for changes nothing and is counted; a flush reports its removals only when asked.
TEST_P(ShadowTest, EntriesBeyondTheTable) {
    const bool keyOnly = GetParam() == Vesk::keyshadow;
    for (const uint8_t flushNotify : {0, 1}) {
        SCOPED_TRACE(fmt::format("flushNotify {}", flushNotify));
        TestRoot root;
        auto w = startWriter();
        for (uint64_t k = 1; k <= 20; ++k)
            w->write(Kind<Ops>::make(k, k), true);
        Follower f(GetParam(), flushNotify);
        f.expectEquals(*w, "synced");
        Shadow& s = f.shadow();
        const uint32_t local = s.localCapacity();
        EXPECT_TRUE(s.initialize("again"));  // an initialized shadow only reconnects
        bool direct = false;                 // read from the table itself
        EXPECT_EQ(*s.directLookup(CounterIndex(5), direct, nullptr), Kind<Ops>::make(5, 5));
        EXPECT_TRUE(direct);
        EXPECT_TRUE(s.doSlot(w->capacity() + 1000, kNoSequence, true));
        EXPECT_EQ(s.localCapacity(), local);
        uint64_t calls = 0;
        const auto saved = f.map.callbacks();
        f.map.callbacks().onValue = [&](const Value&) { ++calls; };
        f.map.callbacks().onKey = [&](const CounterIndex&) { ++calls; };
        for (uint32_t i = 0; i < local; ++i)
            EXPECT_TRUE(s.doSlot(i, kNoSequence, true));
        EXPECT_EQ(calls, keyOnly ? 20u : 0u);
        f.map.callbacks() = saved;

        // Key 3 goes; its entry is refused while the queue is let go, so the copy keeps it (a
        // key-only shadow reads the record from the table: gone already).
        Value removed{};
        ASSERT_TRUE(w->remove(CounterIndex(3), removed));
        s.queue().detach();
        uint32_t refused = 0;
        for (uint32_t i = 0; i < local; ++i)
            refused += !s.doSlot(i, 99, true);
        EXPECT_EQ(refused, 1u);
        bool found = false;
        s.lookup(CounterIndex(3), found, nullptr);
        EXPECT_EQ(found, !keyOnly);
        f.expectEquals(*w, "queue attached again");  // the resync removes it

        const uint64_t before = f.removals;
        f.map.controlDetach();  // unmounted: flushed, never attached again
        EXPECT_EQ(f.map.mountStatus(), 3);
        if (flushNotify != 0) {
            s.detach(true);  // a forced detach ends the pending flush at once
            EXPECT_EQ(f.map.mountStatus(), 0);
        }
        for (int i = 0; i < 100 && f.map.mountStatus() == 3; ++i)
            Pimbo::eventLoop().poll(10);
        EXPECT_EQ(f.map.mountStatus(), 0);
        EXPECT_EQ(f.removals - before, flushNotify ? 19u : 0u);
    }
}

// Regression: an unmount that ended a pending flush told the client of the move twice, and the
// mount status before its quiescence.
TEST_P(ShadowTest, UnmountEndsPendingFlush) {
    auto w = startWriter();
    w->write(Kind<Ops>::make(1, 1), true);
    Follower f(GetParam());
    f.expectEquals(*w, "synced");
    std::string told;
    f.map.callbacks().onQuiesced = [&](bool q) { told += fmt::format("quiesced:{} ", q); };
    f.map.callbacks().onMountStatus = [&] { told += fmt::format("{} ", f.map.mountStatus()); };
    f.map.detach(true);     // as the sentry does: the flush starts
    f.map.controlDetach();  // and the unmount ends it at once
    EXPECT_EQ(told, "quiesced:false 3 quiesced:false 0 ");
}

// A client callback that throws: the follower resyncs at the next poll, reporting every record
// again (the failure traced under the notifier's name). An answer's anchor is taken with it: it
// holds while that record is unchanged and fails once it changed (in the copy, or in the table
// for a key-only shadow). A paused shadow (notifying false) applies nothing yet hears its writer
// go; a flush tells the sentry when it is over; attached again, it follows once notifying.
TEST_P(ShadowTest, FailuresAnchorsAndPause) {
    auto w = startWriter();
    for (uint64_t k = 1; k <= 5; ++k)
        w->write(Kind<Ops>::make(k, k), true);
    Follower f(GetParam(), 1);
    f.expectEquals(*w, "synced");
    const auto callbacks = f.map.callbacks();
    const uint64_t resyncs = f.shadow().syncer().resyncs();
    TraceCapture traces(5);
    bool fail = true;  // the next report throws
    f.map.callbacks().onValue = [&, report = callbacks.onValue](const Value& x) {
        std::exchange(fail, false) ? throw std::runtime_error("client failed") : report(x);
    };
    f.map.callbacks().onKey = [&, report = callbacks.onKey](const CounterIndex& x) {
        std::exchange(fail, false) ? throw std::runtime_error("client failed") : report(x);
    };
    w->write(Kind<Ops>::make(6, 6), true);
    EXPECT_NO_THROW(f.expectEquals(*w, "reported again"));
    EXPECT_TRUE(!fail && f.shadow().syncer().resyncs() == resyncs + 1 &&
                traces.contains(0, "Vesk-DummyShadowNotifier",
                                fmt::format("the client's {}-changed callback failed for key:6: "
                                            "client failed",
                                            f.keyOnly ? "key" : "record")));

    f.map.callbacks().onValue = [](const Value&) {};  // no answers from inside the reports
    f.map.callbacks().onKey = [](const CounterIndex&) {};
    auto& s = f.map.interface();
    Value v{};
    Vesk::IterHint hint;
    bool found = false;  // answered by lookup
    const std::pair<const char*, std::function<void()>> answers[] = {
        {"lookup", [&] { v = *s.lookup(CounterIndex(2), found, nullptr); }},
        {"next", [&] { s.first(v, hint) && s.next(Value(v).key(), v, hint); }},
    };
    for (const auto& [how, answer] : answers) {
        SCOPED_TRACE(how);
        answer();
        const Mem::CacheVersionAnchor kept = f.map.getCacheVersionAnchor();
        EXPECT_NO_THROW(f.map.validateVersionAnchor());
        w->write(Kind<Ops>::make(v.key().value(), v.packets() + 100), true);
        ASSERT_TRUE(f.settle());
        EXPECT_THROW(f.map.validateVersionAnchor(), Mem::VersionMismatchException);
        EXPECT_TRUE(f.map.compareVersionAnchor(kept));
    }

    f.map.callbacks() = callbacks;
    f.map.notifyingIs(false);
    const uint64_t changes = f.changes;
    w->write(Kind<Ops>::make(7, 7), true);
    for (int i = 0; i < 30 && f.changes == changes; ++i)
        Pimbo::eventLoop().poll(10);
    EXPECT_TRUE(f.changes == changes && !f.map.quiesced());
    const uint16_t levels = Pimbo::Platform::defaultLevelMask();
    Pimbo::Platform::allLevelMasksIs(0x23);  // failures, milestones and the sentry's events
    const std::string slots = slotsPath(*w);
    w.reset();  // its wake-up connection closes; then the sentry sees a file go, and the flush
    for (const char* event : {"event:disconnect", "event:flushComplete"}) {
        for (int i = 0; i < 500 && !traces.has(event); ++i)
            Pimbo::eventLoop().poll(10);
        std::filesystem::remove(slots);
    }
    EXPECT_TRUE(traces.has("event:disconnect") && traces.has("event:flushComplete") &&
                traces.contains(1, "VeskShadow",
                                "disconnected while zolt processing is disabled, syncer "
                                "mode:follow done:true"));
    Pimbo::Platform::allLevelMasksIs(levels);
    w = startWriter();
    w->write(Kind<Ops>::make(8, 8), true);
    f.map.notifyingIs(true);
    f.expectEquals(*w, "notifying again");

    // Its last record gone (the local array with it), detached and attached again by the sentry
    // before the loop ran the flush: it finishes the flush first, follows again, and each move
    // of its mount status was reported.
    Value removed{};
    w->remove(CounterIndex(8), removed);
    f.expectEquals(*w, "emptied");
    f.statuses.clear();
    f.map.detach(true);
    f.map.notifyingIs(true);  // the sentry hears of it
    w->write(Kind<Ops>::make(9, 9), true);
    f.expectEquals(*w, "attached again");
    EXPECT_EQ(f.statuses, (std::vector<Vesk::MountStatus>{3, 1, 2}));

    // A header that announces more slots than the file holds: the shadow reports the corruption
    // (the front counts it and marks the table); a value shadow answers from its copy.
    pwriteValue(slotsPath(*w), Off::kNumSlotsVersion, uint64_t(0xFFFFFFF000000099));
    w->write(Kind<Ops>::make(10, 10), true);
    for (int i = 0; i < 1000 && f.map.corruptionsDetected() == 0; ++i)
        Pimbo::eventLoop().poll(5);
    EXPECT_GT(f.map.corruptionsDetected(), 0u);
    EXPECT_TRUE(f.keyOnly || *f.map.interface().lookup(CounterIndex(9), found, nullptr) ==
                                 Kind<Ops>::make(9, 9));
}

}  // namespace

// A local copy whose index cannot grow (no memory left): once memory is back, the follower's
// resync reports every record.
TEST(ShadowProcess, ResyncAfterFailedGrow) {
#if defined(VESK_SANITIZED)
    GTEST_SKIP() << "the sanitizer's runtime needs the mappings this test denies";
#endif
    TestRoot root;
    Child child([](Child& self) {
        auto d = shrinkingDescriptor(8192);
        d.notify = 1;
        d.capacityHint = 4096;  // neither the writer's files nor the local array grow below
        auto w = makeWriter<Ops>(d);
        w->initialize("start");
        Follower f(Vesk::shadow);
        std::vector<char> room(100000);  // freed below: room for small allocations
        uint64_t vmPages = 0;
        std::ifstream("/proc/self/statm") >> vmPages;
        std::vector<char>().swap(room);
        struct rlimit saved, tight;
        if (!f.settle() || ::getrlimit(RLIMIT_AS, &saved) != 0)
            return 1;
        tight = {vmPages * 4096, saved.rlim_max};
        ::setrlimit(RLIMIT_AS, &tight);
        for (uint64_t k = 1; k <= 2000; ++k)  // the index doubles past a page of buckets
            w->write(Kind<Ops>::make(k, k), true);
        for (int i = 0; i < 200 && f.shadow().syncer().lastFailure().empty(); ++i)
            Pimbo::eventLoop().poll(5);
        ::setrlimit(RLIMIT_AS, &saved);
        const std::string failure = f.shadow().syncer().lastFailure();  // the index's grow
        const bool all = f.settle() && f.reported.size() == 2000 && f.misanswered == 0;
        self.send(failure.find("failed to resize") != std::string::npos && all ? "ok" : failure);
        return 0;
    });
    EXPECT_EQ(child.receive(), "ok");
    EXPECT_EQ(child.wait(), 0) << child.rest();
}

// A value and a key-only shadow follow a writer process that grows and shrinks its table until
// it is killed at a random point, maybe in the middle of a change; the writer's restart (which
// reuses the files, or re-formats them when the kill left them damaged) and the changes after
// it leave both shadows equal to its table.
TEST(ShadowProcess, TwoShadowsAcrossAKill) {
    TestRoot root;
    const uint64_t seed = testSeed();
    SCOPED_TRACE(fmt::format("VESK_TEST_SEED={}", seed));
    Child writer([seed](Child& parent) -> int {
        auto w = startWriter();
        std::mt19937_64 rng(seed);
        parent.send("started");
        for (;;) {
            churn(*w, rng, 4000, 3000);
            for (uint64_t k = 0; k < 3000; ++k) {  // down to a few dozen
                Value removed{};
                if (k % 50 != 0)
                    w->remove(CounterIndex(k), removed);
            }
        }
    });
    ASSERT_EQ(writer.receive(), "started") << writer.rest();
    Follower values(Vesk::shadow, 1);
    Follower keys(Vesk::keyshadow, 1);
    std::mt19937_64 rng(seed + 1);
    // Changes reported before the kill, and a shrink of the local copy (a resync after an overrun
    // may skip one: the loop waits for it).
    const uint64_t until = 20000 + rng() % 40000;
    auto shrunk = [&] { return values.map.readerCounters().shadow.slotShrinks > 0; };
    for (int i = 0; i < 6000 && (std::min(values.changes, keys.changes) < until || !shrunk()); ++i)
        Pimbo::eventLoop().poll(5);
    writer.kill(SIGKILL);  // and reaped
    EXPECT_GE(std::min(values.changes, keys.changes), until);
    EXPECT_GT(values.map.readerCounters().shadow.slotShrinks, 0u);
    auto w = startWriter();
    churn(*w, rng, 500, 400);
    values.expectEquals(*w, "value shadow");
    keys.expectEquals(*w, "key-only shadow");
}
