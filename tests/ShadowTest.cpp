// Shadows (value and key-only) mounted through the front against a writer that publishes its
// changes: every change reaches the client in order and the local copy equals the writer's
// table whenever the shadow is quiesced, across grows, shrinks and moved keys, an overrun of
// the queue, a writer restart that reuses or re-formats the files, and a writer killed
// mid-change; entries refused by the queue's check change nothing; a flush reports what it
// removes only when asked to; an answer's anchor, a report that fails and a paused shadow.
#include "Pimbo/EventLoop.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"
#include "Vesk/VeskMap.h"
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

TEST_P(ShadowTest, FollowsEveryChangeAcrossGrowsShrinksOverrunRestartAndReformat) {
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
    EXPECT_EQ(f.shadow().syncer().resyncs(), resyncs + 1);
    const auto gauges = f.map.readerCounters().shadow;  // refreshed when read
    EXPECT_TRUE(gauges.resyncs == resyncs + 1 && gauges.wakeups > 0 &&
                gauges.queueGeneration == f.shadow().queue().generation() &&
                (gauges.cinderMappedSize > 0) == f.keyOnly)
        << f.map.readerCounters().toString();
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
TEST_P(ShadowTest, EntriesBeyondTheTableUnchangedOrRefusedAndFlushes) {
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
        const auto reported = f.reported;
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

// An answer's anchor is taken with the answer: it holds while the record answered is unchanged
// and fails once that record changed (in the copy, or in the table for a key-only shadow), and
// the anchor kept stays the current one until another answer is made.
TEST_P(ShadowTest, AnAnswersAnchorHoldsUntilItsRecordChanged) {
    auto w = startWriter();
    for (uint64_t k = 1; k <= 3; ++k)
        w->write(Kind<Ops>::make(k, k), true);
    Follower f(GetParam());
    f.expectEquals(*w, "synced");
    f.map.callbacks().onValue = [](const Value&) {};  // no answers from inside the reports
    f.map.callbacks().onKey = [](const CounterIndex&) {};
    Vesk::VeskInterface<Ops>& s = f.map.interface();
    Value v{};
    Vesk::IterHint hint;
    bool found = false;
    const std::pair<const char*, std::function<void()>> answers[] = {
        {"lookup", [&] { v = *s.lookup(CounterIndex(2), found, nullptr); }},
        {"first", [&] { s.first(v, hint); }},
        {"next", [&] { s.next(Value(v).key(), v, hint); }},
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
}

// A client callback that throws: the follower lets go of the queue and, at the next poll,
// resyncs reporting every record again, the one whose report failed among them; the failure is
// traced under the notifier's name.
TEST_P(ShadowTest, AReportThatThrowsIsMadeAgainByTheNextResync) {
    auto w = startWriter();
    for (uint64_t k = 1; k <= 5; ++k)
        w->write(Kind<Ops>::make(k, k), true);
    Follower f(GetParam());
    f.expectEquals(*w, "synced");
    const uint64_t resyncs = f.shadow().syncer().resyncs();
    TraceCapture traces;
    int throws = 1;
    auto failingOnce = [&throws](auto report) {
        return [report, &throws](const auto& x) {
            if (throws > 0 && throws-- > 0)
                throw std::runtime_error("client failed");
            report(x);
        };
    };
    f.map.callbacks().onValue = failingOnce(f.map.callbacks().onValue);
    f.map.callbacks().onKey = failingOnce(f.map.callbacks().onKey);
    w->write(Kind<Ops>::make(6, 6), true);
    EXPECT_NO_THROW(f.expectEquals(*w, "reported again"));
    EXPECT_EQ(throws, 0);
    EXPECT_EQ(f.shadow().syncer().resyncs(), resyncs + 1);
    EXPECT_TRUE(traces.contains(0, "Vesk-DummyShadowNotifier",
                                fmt::format("the client's {} callback failed for key:6: client "
                                            "failed",
                                            f.keyOnly ? "key-changed" : "record-changed")))
        << traces.text;
}

// A paused shadow (notifying false) applies nothing, yet hears its writer go; a flush that ends
// tells the sentry; a shadow attached again meanwhile follows once notifying again.
TEST_P(ShadowTest, APausedShadowAppliesNothingUntilNotifyingAgain) {
    auto w = startWriter();
    for (uint64_t k = 1; k <= 5; ++k)
        w->write(Kind<Ops>::make(k, k), true);
    Follower f(GetParam(), 1);
    f.expectEquals(*w, "synced");
    TraceCapture traces(5);
    const uint16_t levels = Pimbo::Platform::defaultLevelMask();
    Pimbo::Platform::allLevelMasksIs(0x23);  // failures, milestones and the sentry's events
    f.map.notifyingIs(false);
    const uint64_t changes = f.changes;
    w->write(Kind<Ops>::make(6, 6), true);
    for (int i = 0; i < 30 && f.changes == changes; ++i)
        Pimbo::eventLoop().poll(10);
    EXPECT_EQ(f.changes, changes);
    EXPECT_FALSE(f.map.quiesced());
    const std::string slots = slotsPath(*w);
    w.reset();  // its wake-up connection closes
    auto pollUntil = [&](const std::string& text) {
        for (int i = 0; i < 500 && !traces.has(text); ++i)
            Pimbo::eventLoop().poll(10);
        return traces.has(text);
    };
    EXPECT_TRUE(pollUntil("event:disconnect"));
    EXPECT_TRUE(traces.contains(1, "VeskShadow",
                                "disconnected while zolt processing is disabled, syncer "
                                "mode:follow done:true"));
    std::filesystem::remove(slots);  // the sentry detaches; the flush tells it when it is over
    EXPECT_TRUE(pollUntil("event:flushComplete"));
    Pimbo::Platform::allLevelMasksIs(levels);
    w = startWriter();
    w->write(Kind<Ops>::make(7, 7), true);
    f.map.notifyingIs(true);
    f.expectEquals(*w, "notifying again");
}

}  // namespace

// A shadow attached again before the loop ran the flush of its detach (here with nothing to
// flush: its last record went and its local array with it) finishes that flush first and
// follows the writer again.
TEST(Shadow, AttachedAgainBeforeItsFlushRanFollowsAgain) {
    TestRoot root;
    auto w = startWriter();
    w->write(Kind<Ops>::make(3, 3), true);
    Follower f(Vesk::shadow);
    f.expectEquals(*w, "synced");
    Value removed{};
    w->remove(CounterIndex(3), removed);
    f.expectEquals(*w, "emptied");
    ASSERT_EQ(f.shadow().localCapacity(), 0u);
    f.statuses.clear();
    f.map.detach(true);
    ASSERT_EQ(f.map.mountStatus(), 3);
    f.map.notifyingIs(true);  // the sentry hears of it, and attaches the shadow again
    w->write(Kind<Ops>::make(4, 4), true);
    f.expectEquals(*w, "attached again");
    EXPECT_EQ(f.statuses, (std::vector<Vesk::MountStatus>{3, 1, 2})) << "each move reported";
}

// A local copy whose index cannot grow (the process has no memory left): the follower lets go
// of the queue and retries; once memory is back, its resync reports every record.
TEST(ShadowProcess, AnIndexThatCouldNotGrowIsResyncedOnceMemoryIsBack) {
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
        std::ifstream statm("/proc/self/statm");
        uint64_t vmPages = 0;
        statm >> vmPages;
        std::vector<char>().swap(room);
        struct rlimit saved;
        if (!f.settle() || ::getrlimit(RLIMIT_AS, &saved) != 0)
            return 1;
        const struct rlimit tight = {vmPages * 4096, saved.rlim_max};
        ::setrlimit(RLIMIT_AS, &tight);
        for (uint64_t k = 1; k <= 2000; ++k)  // the index doubles past a page of buckets
            w->write(Kind<Ops>::make(k, k), true);
        for (int i = 0; i < 200 && f.shadow().syncer().lastFailure().empty(); ++i)
            Pimbo::eventLoop().poll(5);
        const std::string failure = f.shadow().syncer().lastFailure();
        ::setrlimit(RLIMIT_AS, &saved);
        std::map<uint64_t, Value> expected;
        for (const Value& v : iterateAll(*w))
            expected[v.key().value()] = v;
        const bool settled = f.settle();
        self.send(fmt::format("{}; settled:{} equal:{}", failure, settled, f.reported == expected));
        return 0;
    });
    const std::string line = child.receive();
    EXPECT_EQ(child.wait(), 0) << child.rest();
    EXPECT_NE(line.find("failed to resize"), std::string::npos) << line;
    EXPECT_NE(line.find("; settled:true equal:true"), std::string::npos) << line;
}

// A value and a key-only shadow follow a writer process that grows and shrinks its table until
// it is killed at a random point, maybe in the middle of a change; the writer's restart (which
// reuses the files, or re-formats them when the kill left them damaged) and the changes after
// it leave both shadows equal to its table.
TEST(ShadowProcess, TwoShadowsFollowAWriterProcessKilledMidChangeAndItsRestart) {
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

// A table whose header announces more slots than its file holds: the shadow that meets it
// reports the corruption (the front counts it and marks the table) and answers from its copy.
TEST(Shadow, CorruptionMetByAShadowIsReportedToItsFront) {
    TestRoot root;
    auto w = startWriter();
    for (uint64_t k = 1; k <= 10; ++k)
        w->write(Kind<Ops>::make(k, k), true);
    Follower f(Vesk::shadow);
    f.expectEquals(*w, "synced");
    pwriteValue(slotsPath(*w), Off::kNumSlotsVersion, uint64_t(0xFFFFFFF000000099));
    w->write(Kind<Ops>::make(11, 11), true);
    for (int i = 0; i < 1000 && f.map.corruptionsDetected() == 0; ++i)
        Pimbo::eventLoop().poll(5);
    EXPECT_GT(f.map.corruptionsDetected(), 0u);
    EXPECT_TRUE(std::filesystem::exists(Vesk::RootPath(*testHandler(), kTableName, false)
                                            .filePath(Vesk::Util::kCorruptionFileName)));
    bool found = false;
    EXPECT_EQ(*f.map.interface().lookup(CounterIndex(5), found, nullptr), Kind<Ops>::make(5, 5));
    EXPECT_TRUE(found);
}
