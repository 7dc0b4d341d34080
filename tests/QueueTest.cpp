// The change-notification queue: a follower sees every change of a writer in order, learns when
// it was overrun or the queue replaced, and refuses a damaged queue.
#include "Ruxa/RuxaReader.h"
#include "Ruxa/RuxaWriter.h"
#include "Vesk/VeskReader.h"
#include "VeskShadow/Syncer.h"
#include "support/Tables.h"
#include "support/TestAccess.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>

namespace VeskTest {
namespace {

using Ops = CounterEntrySimpleOps;
using Value = Ops::Value;
using Reader = Ruxa::RuxaReader<Ruxa::BasicSlot>;
using Next = Reader::Next;

Vesk::MapDescriptor notifying() {
    auto d = shrinkingDescriptor(4096);
    d.notify = 1;
    return d;
}
Vesk::RootPath readerPath() {
    return Vesk::RootPath(*testHandler(), kTableName, false);
}

// A bare ring of 2 buffers of 4 entries and a reader attached to it.
struct SmallQueue {
    TestRoot root;
    Vesk::RootPath path{*testHandler(), kTableName, true};
    Vesk::Writer::Counters wc;
    Vesk::Reader::Counters rc;
    Ruxa::RuxaWriter writer{*testHandler(), path, wc, {2, 4}};
    Reader reader{*testHandler(), readerPath(), rc};
    std::string why;
    SmallQueue() {
        path.ensureDirectory();
        writer.attach(kCinder);
        EXPECT_TRUE(reader.attach(why)) << why;
    }
    void publish(int n) {
        for (int i = 0; i < n; ++i)
            writer.publish(uint32_t(wc.sequence));  // slot = sequence - 1
    }
    // "sequence:slot ..." of the entries next() returns, then how it stopped.
    std::string drain() {
        std::string out;
        uint32_t slot;
        uint64_t seq;
        for (int i = 0; i < 20; ++i) {
            const Next r = reader.next(slot, seq);
            if (r != Next::entry)
                return out + (r == Next::none ? "none" : r == Next::overrun ? "overrun" : "x");
            out += fmt::format("{}:{} ", seq, slot);
        }
        return out;
    }
};

// Consumption in order, overruns, tombstones, and the checks a shadow asks afterwards.
TEST(Queue, ConsumesInOrderAndChecksTheCurrentEntry) {
    const struct Case {
        int before, after, tombstone;
        int64_t applied;  // the shadow's last applied sequence, -1: as attach left it (0)
        const char* first;
        const char* second;
        bool valid, quiesced;
        uint64_t latest;  // the writer's latest sequence
        const char* label;
    } cases[] = {
        // A queue without entries: the latest sequence is its base.
        {0, 0, 0, -1, "none", "none", true, true, 0, "writerSeq:0 shadowSeq:0"},
        {0, 0, 0, 3, "none", "none", true, false, 0, "writerSeq:0 shadowSeq:3"},
        {5, 0, 0, -1, "1:0 2:1 3:2 4:3 5:4 none", "none", true, false, 5,
         "writerSeq:5 shadowSeq:0"},
        {4, 4, 0, 8, "1:0 2:1 3:2 4:3 none", "5:4 6:5 7:6 8:7 none", true, true, 8,
         "writerSeq:8 shadowSeq:8"},
        // A tombstone is passed over; the entry being applied, once tombstoned, is rejected.
        {0, 3, 2, 3, "none", "1:0 3:2 none", true, true, 3, "writerSeq:3 shadowSeq:3"},
        {3, 0, 3, 3, "1:0 2:1 3:2 none", "none", false, true, 3, "writerSeq:3 shadowSeq:3"},
        // The ring recycled buffer 0 before or after it was read.
        {9, 0, 0, -1, "overrun", "overrun", true, false, 9, "writerSeq:9 shadowSeq:0"},
        {4, 8, 0, 4, "1:0 2:1 3:2 4:3 none", "overrun", true, false, 12,
         "writerSeq:12 shadowSeq:4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SmallQueue q;
        q.publish(c.before);
        EXPECT_EQ(q.drain(), c.first);
        q.publish(c.after);
        EXPECT_EQ(q.writer.tombstone(uint64_t(c.tombstone)), c.tombstone != 0);
        EXPECT_EQ(q.drain(), c.second);
        if (c.applied >= 0)
            q.rc.lastAppliedSequence = uint64_t(c.applied);
        EXPECT_EQ(q.reader.validateNotif(), c.valid);
        EXPECT_EQ(q.reader.quiesced(), c.quiesced);
        EXPECT_EQ(q.reader.latestSequence(), c.latest);
    }
    SmallQueue q;
    Ruxa::RuxaReaderTestAccess::currentIs(q.reader, 1, 4);
    const auto e = thrown<Pimbo::CorruptionDetectedException>([&] { q.reader.validateNotif(); });
    EXPECT_EQ(e, "out-of-range index:4 max:4");
}

TEST(Queue, DamagedQueueIsRefusedWithItsReason) {
    constexpr uint64_t kTruncate = ~0ull;
    const struct Case {
        uint64_t offset;
        uint32_t value;
        const char* reason;
    } cases[] = {
        {0, 0x41414141, "bad magic: 46544e5f41414141"},
        {16, 0xFFFFFFFF, "bad numBuffers: 4294967295"},
        {20, 0xFFFFFFFF, "bad bufferEntries: 4294967295"},
        {24, 7, "bad bufferSize: 7 for 4 entries"},
        {32, 5, "bad checksum"},
        {40, 0, "generation 0"},
        {44, 0xFFFFFFFF, "bad currentBuffer: 4294967295 of 2 buffers"},
        {64 + 8, 0xFFFFFFFF, "bad count: 4294967295 in buffer 0"},
        {64, 3, "bad first sequence: 3 in buffer 0"},
        {kTruncate, 100, "truncated: 100 bytes, fewer than the 160"},
        {kTruncate, 0, "missing or empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        SmallQueue q;
        q.writer.detach();
        const std::string file = q.path.filePath(Ruxa::QueueLayout::kFileName);
        if (c.offset == kTruncate)
            ASSERT_EQ(::truncate(file.c_str(), off_t(c.value)), 0);
        else
            pwriteValue(file, c.offset, c.value);
        EXPECT_FALSE(q.reader.attach(q.why));
        EXPECT_NE(q.why.find(c.reason), std::string::npos) << q.why;
    }
}

TEST(Queue, WriterRestartReplacesTheQueue) {
    TestRoot root;
    auto w = attachedWriter<Ops>(notifying());
    Vesk::Reader::Counters rc;
    Reader reader(*testHandler(), readerPath(), rc);
    std::string why;
    ASSERT_TRUE(reader.attach(why)) << why;
    uint32_t slot;
    uint64_t seq;
    for (const Plinth::CinderId id : {kCinder, Plinth::CinderId(7, 2)}) {  // reuse, re-format
        w.reset();
        w = attachedWriter<Ops>(notifying(), id);
        w->write(Kind<Ops>::make(5, 1), true);
        EXPECT_FALSE(reader.validateNotif());
        EXPECT_FALSE(reader.quiesced() || reader.latestSequence());
        EXPECT_EQ(reader.next(slot, seq), Next::replaced);
        ASSERT_TRUE(reader.attach(why)) << why;
        EXPECT_TRUE(reader.quiesced());
        w->write(Kind<Ops>::make(5, 2), true);
        EXPECT_EQ(reader.next(slot, seq), Next::entry);
        EXPECT_TRUE(seq == w->sequence().sequence && reader.latestSequence() == seq);
    }
    // A writer that does not publish takes the queue away: no follower takes it for current.
    w.reset();
    w = attachedWriter<Ops>(shrinkingDescriptor(4096));
    EXPECT_EQ(reader.next(slot, seq), Next::replaced);
    EXPECT_FALSE(reader.attach(why));
    EXPECT_NE(why.find("missing or empty"), std::string::npos) << why;
}

// Q7: a connected follower is sent a wake-up only once after it asked for one, by the look at
// the followers that a batch of changes makes or owes (the event loop's timer makes an owed one);
// a wake word shorter than a page or not sealed against shrinking is refused.
TEST(Queue, WakesAFollowerOnlyOnceAfterItAsked) {
    SmallQueue q;
    Ruxa::WakeReceiver follower;
    ASSERT_TRUE(follower.connect(readerPath(), q.why)) << q.why;
    bool closed = false;
    // {asks, changes, bytes}: the first look takes the follower, its word comes with a byte.
    for (const auto& [ask, changes, bytes] : std::initializer_list<std::array<int, 3>>{
             {0, 1, 1}, {0, 100, 0}, {1, 3, 1}, {0, 100, 0}, {1, 3, 1}, {1, 1, 1}}) {
        EXPECT_EQ(ask && follower.ask(), ask != 0);
        for (int i = 0; i < changes; ++i, q.writer.wake())
            q.publish(1);
        for (int i = 0; i < 1000 && q.writer.wakeOwed(); ++i)
            Pimbo::eventLoop().poll(10);
        EXPECT_EQ(follower.drain(closed), bytes) << ask << " " << changes;
    }
    const int page = int(::sysconf(_SC_PAGESIZE));
    for (const auto& [size, seals] :
         {std::array{page, 0}, {page - 8, F_SEAL_SHRINK}, {page, F_SEAL_SHRINK}}) {
        const Pimbo::Fd fd(::memfd_create("wake", MFD_ALLOW_SEALING));
        ASSERT_TRUE(::ftruncate(fd.get(), size) == 0 && ::fcntl(fd.get(), F_ADD_SEALS, seals) == 0);
        EXPECT_EQ(bool(Ruxa::WakeWord::adopt(fd.get())), seals != 0 && size == page) << size;
    }
}

// A digest of a table's records: "records:N sum:X".
template <class Records, class Get>
std::string digest(const Records& records, Get&& get) {
    uint64_t sum = 0;
    for (const auto& r : records) {
        const Value& v = get(r);
        sum += (v.key().value() + 1) * 0x9E3779B97F4A7C15ull ^ (v.packets() * 31 + v.octets());
    }
    return fmt::format("records:{} sum:{:x}", records.size(), sum);
}

TEST(QueueProcess, FollowerSeesEveryChangeInOrder) {
    TestRoot root;
    auto w = makeWriter<Ops>(notifying());
    w->initialize("start");
    Child follower([](Child& parent) {
        Vesk::VeskReader<Ops> table(*testHandler(), kTableName, Ops{}, nullptr);
        Vesk::Reader::Counters rc;
        Reader queue(*testHandler(), readerPath(), rc);
        std::string why;
        if (!queue.attach(why) || !table.initialize("follow")) {
            parent.send("cannot attach: " + why + table.attachFailureMessage());
            return 1;
        }
        parent.send("ready");
        // What the slots it was told about hold: key -> (slot, record).
        std::map<uint64_t, std::pair<uint32_t, Value>> records;
        auto& slots = table.slotTable();
        uint64_t last = rc.lastAppliedSequence;
        // Each line is a sequence the writer has published; "end" asks for the digest.
        for (std::string line = parent.receive(); line != "end"; line = parent.receive()) {
            for (const uint64_t target = std::stoull(line); last < target;) {
                uint32_t slot;
                uint64_t seq;
                if (const Next r = queue.next(slot, seq); r != Next::entry || seq != last + 1) {
                    parent.send(fmt::format("after {}: result {} sequence {}", last, int(r), seq));
                    return 1;
                }
                last = seq;
                if (slot >= slots.capacity())
                    slots.doResize();
                Value v{};
                std::erase_if(records, [&](const auto& r) { return r.second.first == slot; });
                if (slot < slots.capacity() && (slots.getValue(slot, v).flags & Vesk::OCCUPIED)) {
                    if (!Kind<Ops>::selfCheck(v)) {
                        parent.send(fmt::format("slot {} holds a torn record {}", slot, v));
                        return 1;
                    }
                    records[v.key().value()] = {slot, v};
                }
            }
        }
        parent.send(digest(records, [](const auto& r) -> const Value& { return r.second.second; }));
        return 0;
    });
    ASSERT_EQ(follower.receive(), "ready");
    std::mt19937_64 rng(testSeed());
    const uint64_t ops = std::min<uint64_t>(scaled(6000), 50000);  // below the ring's 65536
    for (uint64_t i = 0; i < ops; ++i) {
        const uint64_t key = rng() % 800;
        const uint64_t phase = 3 * i / ops;  // grow, mix, shrink
        if (rng() % 4 < (phase == 0 ? 1u : phase == 1 ? 2u : 3u)) {
            Value gone;
            w->remove(CounterIndex(key), gone);
        } else {
            w->write(Kind<Ops>::make(key, i), true);
        }
        if (i % 500 == 499 || i + 1 == ops)
            follower.send(std::to_string(w->sequence().sequence));
    }
    follower.send("end");
    EXPECT_EQ(follower.receive(),
              digest(iterateAll(*w), [](const Value& v) -> const Value& { return v; }));
    EXPECT_EQ(follower.wait(), 0) << follower.rest();
    const auto c = w->writerCounters();
    EXPECT_GT(c.slotGrows, 0u);
    EXPECT_GT(c.movedSlots, 0u);  // shrinks moved records: their moves were notified too
}

// A follower driven by the Syncer on its event loop: woken through the writer's socket, or,
// with the socket gone, polling the queue; either way it ends with the writer's records.
TEST(QueueProcess, SyncerFollowsByWakeUpsOrByPolling) {
    for (const bool socket : {true, false}) {
        SCOPED_TRACE(socket ? "socket" : "no socket");
        TestRoot root;
        auto w = makeWriter<Ops>(notifying());
        w->initialize("start");
        if (!socket) {
            const auto wake = readerPath().filePath(Ruxa::WakeSender::kFileName);
            ASSERT_EQ(::unlink(wake.c_str()), 0) << wake;
        }
        Child follower([](Child& parent) {
            Vesk::VeskReader<Ops> table(*testHandler(), kTableName, Ops{}, nullptr);
            Vesk::Reader::Counters rc;
            Reader queue(*testHandler(), readerPath(), rc);
            if (!table.initialize("follow")) {
                parent.send("cannot attach: " + table.attachFailureMessage());
                return 1;
            }
            auto& slots = table.slotTable();
            std::set<uint32_t> changed;
            Vesk::Syncer syncer(
                queue, readerPath(), [&](uint32_t slot, uint64_t) { changed.insert(slot); },
                [&] {  // everything may have changed
                    for (uint32_t s = 0; s < slots.capacity(); ++s)
                        changed.insert(s);
                    return true;
                });
            syncer.batchSizeIs(64);  // several batches, each yielding to the loop
            syncer.start();
            while (syncer.resyncs() == 0)  // the first run attaches, from the loop
                Pimbo::eventLoop().poll(100);
            parent.send(syncer.woken() ? "woken" : "polling");
            const uint64_t target = std::stoull(parent.receive());
            for (int i = 0; i < 1000 && rc.lastAppliedSequence < target; ++i)
                Pimbo::eventLoop().poll(1000);
            if (!changed.empty() && *changed.rbegin() >= slots.capacity())
                slots.doResize();
            std::vector<Value> records;
            for (const uint32_t s : changed) {
                Value v{};
                if (s < slots.capacity() && (slots.getValue(s, v).flags & Vesk::OCCUPIED))
                    records.push_back(v);
            }
            parent.send(
                fmt::format("wakeups:{} resyncs:{} {}", syncer.wakeups() > 0, syncer.resyncs(),
                            digest(records, [](const Value& v) -> const Value& { return v; })));
            return 0;
        });
        ASSERT_EQ(follower.receive(), socket ? "woken" : "polling") << follower.rest();
        for (uint64_t i = 0; i < 600; ++i)
            w->write(Kind<Ops>::make(i % 400, i), true);
        follower.send(std::to_string(w->sequence().sequence));
        EXPECT_EQ(
            follower.receive(),
            fmt::format("wakeups:{} resyncs:1 {}", socket,
                        digest(iterateAll(*w), [](const Value& v) -> const Value& { return v; })));
        EXPECT_EQ(follower.wait(), 0) << follower.rest();
    }
}

// In a child: `count` followers of the wake-up socket; those not connected yet try again every
// millisecond (the backlog is short). With `ask`, each asks for a wake-up every millisecond and
// reads nothing once it holds its word. Answers "count" with "taken:N refused:M" until "end".
int holdFollowers(Child& parent, size_t count, bool ask) {
    std::vector<Ruxa::WakeReceiver> followers(count);
    std::vector<char> refused(count, 0);
    for (std::string why, line; line != "end"; line = parent.receive(0.001)) {
        bool backlogFull = false;
        size_t taken = 0;
        for (size_t i = 0; i < count; ++i) {
            Ruxa::WakeReceiver& f = followers[i];
            bool closed = false;
            if (!f && !refused[i] && !backlogFull)
                backlogFull = !f.connect(readerPath(), why);
            else if (f && !(ask && f.ask()) && (f.drain(closed), closed))
                refused[i] = 1, f.close();
            taken += f.hasWord();
        }
        if (line == "count")
            parent.send(fmt::format("taken:{} refused:{}", taken,
                                    std::count(refused.begin(), refused.end(), 1)));
    }
    return 0;
}

// Writes to `w` until its wake-up socket has taken or refused `count` followers.
void writeUntilTaken(Vesk::VeskWriter<Ops>& w, size_t count) {
    const Ruxa::RuxaWriter& q = *w.notificationQueue();
    for (uint64_t i = 0; i < 50000000 && q.followers() + q.refusedFollowers() < count; ++i)
        w.write(Kind<Ops>::make(i % 1000, i), true);
}

// A wake-up flood: more followers than the writer takes, each asking for wake-ups and reading
// none. The writer takes kMaxFollowers and counts the rest refused in the queue's header, and its
// rate stays near that of a second table of its own that nobody follows (passes alternate; their
// times are compared as a ratio).
TEST(QueueProcess, WakeUpFloodAndCap) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || (files.rlim_cur = files.rlim_max) < 4096 ||
        ::setrlimit(RLIMIT_NOFILE, &files) != 0)
        GTEST_SKIP() << "needs 4096 descriptors for the flood";
    TestRoot root;
    auto followed = makeWriter<Ops>(notifying());
    auto beside = makeWriter<Ops>(notifying(), "beside/counter");
    ASSERT_TRUE(followed->initialize("followed") && beside->initialize("beside"));
    constexpr size_t kEach = Ruxa::WakeSender::kMaxFollowers / 2 + 38;
    Child one([](Child& p) { return holdFollowers(p, kEach, true); });
    Child two([](Child& p) { return holdFollowers(p, kEach, true); });
    writeUntilTaken(*followed, 2 * kEach);
    const auto seconds = [](Vesk::VeskWriter<Ops>& w) {  // of 4000 writes
        const auto start = std::chrono::steady_clock::now();
        for (uint64_t k = 0; k < 4000; ++k)
            w.write(Kind<Ops>::make(k % 1000, k), true);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<double> ratios;  // the followed table's rate over the other's, pass by pass
    for (int p = 0; p < 9; ++p)
        ratios.push_back(seconds(*beside) / seconds(*followed));
    std::sort(ratios.begin(), ratios.end());
    EXPECT_GT(ratios[4], 0.5);
    Vesk::Reader::Counters rc;
    Reader probe(*testHandler(), readerPath(), rc);
    std::string why;
    ASSERT_TRUE(probe.attach(why)) << why;
    EXPECT_EQ(probe.followers(), Ruxa::WakeSender::kMaxFollowers);
    EXPECT_EQ(probe.refusedFollowers(), 2 * kEach - Ruxa::WakeSender::kMaxFollowers);
}

// Whoever may read a table may follow it awake: another user's followers connect to the socket
// of a 0644 table and get their wake words, up to kMaxFollowersPerUser; the rest are refused.
TEST(QueueProcess, AnotherUserFollowsAwakeWithinItsCap) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a follower as uid 65534 (nobody)";
    TestRoot root;
    auto w = makeWriter<Ops>(notifying());
    ASSERT_TRUE(w->initialize("followed"));
    constexpr size_t kTried = Ruxa::WakeSender::kMaxFollowersPerUser + 3;
    Child nobody([](Child& p) { return holdFollowers(p, kTried, false); }, Child::As::nobody);
    writeUntilTaken(*w, kTried);
    nobody.send("count");
    EXPECT_EQ(nobody.receive(),
              fmt::format("taken:{} refused:3", Ruxa::WakeSender::kMaxFollowersPerUser));
}

}  // namespace
}  // namespace VeskTest
