// Lifecycle of a writer: a restart reuses the files its predecessor left or re-formats them for
// a stated reason; a table has one live writer at a time across processes; detach leaves
// reusable files and cleanup removes them; the header dump; and the process-local writer
// (Vesk::Tmp), which never touches a file.
//
// Multi-process cases fork a peer that talks to the test through two pipes and dies with
// SIGKILL; every wait for a peer's message is bounded.
#include "WriterTestUtil.h"

#include "Mem/Atomics.h"
#include "Mem/WriterLock.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "Vesk/Util.h"
#include "Zolt/ConduitAcceptSm.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sets the level mask of the writers' debug handler for one scope.
class LevelMask {
  public:
    explicit LevelMask(uint16_t mask) : previous_(testHandler()->levelMask()) {
        testHandler()->levelMaskIs(mask);
    }
    ~LevelMask() { testHandler()->levelMaskIs(previous_); }
    LevelMask(const LevelMask&) = delete;
    LevelMask& operator=(const LevelMask&) = delete;

  private:
    uint16_t previous_;
};

// Every entry below dir: regular files with their bytes, directories as "<dir>".
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_directory()) {
            out[rel] = "<dir>";
        } else {
            const auto bytes = readFile(e.path().string());
            out[rel] = std::string(bytes.begin(), bytes.end());
        }
    }
    return out;
}

// The names of the files in a directory, sorted.
std::vector<std::string> filesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A forked peer process. The child runs `body` with the peer seen from its side and exits; it
// dies with the test process. Lines travel through one pipe each way.
class Peer {
  public:
    explicit Peer(const std::function<void(Peer&)>& body) {
        int down[2];
        int up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ < 0)
            std::abort();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
            ::close(down[1]);
            ::close(up[0]);
            in_ = down[0];
            out_ = up[1];
            body(*this);
            ::_exit(0);
        }
        ::close(down[0]);
        ::close(up[1]);
        in_ = up[0];
        out_ = down[1];
    }
    ~Peer() {
        killHard();
        ::close(in_);
        ::close(out_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void send(const std::string& text) {
        const std::string line = text + "\n";
        if (::write(out_, line.data(), line.size()) != ssize_t(line.size()))
            std::abort();
    }
    // The next line from the other side; "" when it ended or sent nothing for 60 s.
    std::string receive() {
        std::string line;
        for (;;) {
            pollfd p{in_, POLLIN, 0};
            if (::poll(&p, 1, 60000) != 1)
                return "";
            char c;
            if (::read(in_, &c, 1) != 1)
                return "";
            if (c == '\n')
                return line;
            line += c;
        }
    }
    // Parks the child until it is killed.
    [[noreturn]] static void block() {
        for (;;)
            ::pause();
    }
    // SIGKILL and reap: the child's descriptors and locks are gone afterwards.
    void killHard() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

// ----- contents of a table -----

template <class Ops>
using WriterOf = Vesk::VeskWriter<Ops>;
// key -> n of the record Records<Ops>::make(key, n)
using Contents = std::map<uint64_t, uint64_t>;
constexpr uint64_t kKeySpan = 400;  // every key a test uses is below this

template <class Ops>
void put(Vesk::VeskInterface<Ops>& w, Contents& c, uint64_t k, uint64_t n) {
    w.write(Records<Ops>::make(k, n), true);
    c[k] = n;
}

template <class Ops>
void del(Vesk::VeskInterface<Ops>& w, Contents& c, uint64_t k) {
    typename Ops::Value removed;
    ASSERT_TRUE(w.remove(CounterIndex(k), removed)) << "key " << k;
    EXPECT_EQ(removed, Records<Ops>::make(k, c[k]));
    c.erase(k);
}

// Grows the table by inserts, then overwrites and removes records, so that the free list is
// out of id order.
template <class Ops>
void fill(Vesk::VeskInterface<Ops>& w, Contents& c) {
    for (uint64_t k = 1; k <= 300; ++k)
        put(w, c, k, k);
    for (uint64_t k = 3; k <= 300; k += 3)
        put(w, c, k, k + 1000);
    for (uint64_t k = 5; k <= 300; k += 5)
        del(w, c, k);
}

// Exactly the records of c are in the table, found by lookup and by iteration.
template <class Ops, class W>
void expectContents(W& w, const Contents& c) {
    EXPECT_EQ(w.members(), c.size());
    for (uint64_t k = 0; k < kKeySpan; ++k) {
        bool found = false;
        const auto* v = w.lookup(CounterIndex(k), found, nullptr);
        const auto it = c.find(k);
        ASSERT_EQ(found, it != c.end()) << "key " << k;
        if (found) {
            EXPECT_EQ(*v, Records<Ops>::make(k, it->second)) << "key " << k;
        }
    }
    const auto all = iterateAll(w);
    EXPECT_EQ(all.size(), c.size());
    for (const auto& v : all) {
        const auto it = c.find(v.key().value());
        ASSERT_NE(it, c.end()) << "iteration returned key " << v.key().value();
        EXPECT_EQ(v, Records<Ops>::make(it->first, it->second));
    }
}

// "" when exactly the records of c are in the table, else the first difference (for checks in
// a child process, where no test assertion reaches the report).
template <class W>
std::string differences(W& w, const Contents& c) {
    using O = typename W::OpsType;
    if (w.members() != c.size())
        return fmt::format("members {} instead of {}; ", w.members(), c.size());
    for (uint64_t k = 0; k < kKeySpan; ++k) {
        bool found = false;
        const auto* v = w.lookup(CounterIndex(k), found, nullptr);
        const auto it = c.find(k);
        if (found != (it != c.end()))
            return fmt::format("key {} found:{}; ", k, found);
        if (found && !(*v == Records<O>::make(k, it->second)))
            return fmt::format("key {} holds {}; ", k, *v);
    }
    if (iterateAll(w).size() != c.size())
        return "iteration disagrees; ";
    return "";
}

// The table takes writes and removes and stays valid.
template <class Ops, class W>
void expectWorks(W& w, Contents& c) {
    for (uint64_t k = 1; k <= 200; ++k)
        put(w, c, k, k * 7);
    del(w, c, 10);
    expectContents<Ops>(w, c);
    EXPECT_TRUE(w.validate()) << w.lastValidationFailure();
}

// ----- restart: reuse or re-format -----

template <class Ops>
struct OtherRecordType;
template <>
struct OtherRecordType<CounterEntrySimpleOps> {
    using type = CounterEntryNormalOps;  // the same slot size under another name
};
template <>
struct OtherRecordType<CounterEntryNormalOps> {
    using type = CounterEntryWideOps;
};
template <>
struct OtherRecordType<CounterEntryWideOps> {
    using type = CounterEntryBitmap64Ops;
};
template <>
struct OtherRecordType<CounterEntryBitmap64Ops> {
    using type = CounterEntrySimpleOps;
};

template <class Ops>
std::unique_ptr<WriterOf<Ops>> started() {
    auto w = makeWriter<Ops>(shrinkingDescriptor(100000));
    EXPECT_TRUE(w->initialize("restart"));
    EXPECT_EQ(w->mountStatus(), 1u);
    return w;
}

// What a closed table left behind.
struct Closed {
    Plinth::CinderId cinder;
    std::string slots;  // path of the slot file
    uint32_t numSlots = 0;
    uint32_t numSlotsVersion = 0;
    uint64_t slotFileSize = 0;

    // The slot file as raw bytes, for a table of slotSize.
    RawTable raw(uint32_t slotSize) const {
        return RawTable{readFile(slots), {}, slotSize, 576 + slotSize};
    }
};

template <class Ops>
class WriterRestartTest : public ::testing::Test {
  protected:
    using R = Records<Ops>;

    // A grown, used table, closed.
    Closed writeAndClose() {
        Closed c;
        auto w = started<Ops>();
        fill(*w, contents_);
        EXPECT_TRUE(w->validate()) << w->lastValidationFailure();
        c.cinder = w->cinderId();
        c.slots = slotsPath(*w);
        w.reset();
        const RawTable raw = c.raw(R::kSlotSize);
        c.numSlots = raw.numSlots();
        c.numSlotsVersion = raw.numSlotsVersion();
        c.slotFileSize = statFile(c.slots).size;
        EXPECT_GT(c.numSlots, R::kPageSlots) << "the table did not grow";
        return c;
    }

    // The restarted writer w of record type O made a new generation: no record is left, the
    // slot file kept its length, numSlots moved on by `versionSteps` versions (at least one
    // when 0), and the new table works.
    template <class O>
    void expectReformat(WriterOf<O>& w, const Closed& before, uint32_t versionSteps) {
        EXPECT_EQ(w.cinderId().first(), before.cinder.first());
        EXPECT_EQ(w.cinderId().second(), uint16_t(before.cinder.second() + 1));
        EXPECT_EQ(Plinth::CinderFile(*testHandler(), w.rootPath(), false).read(), w.cinderId());
        EXPECT_EQ(w.capacity(), Records<O>::kPageSlots);
        Contents none;
        expectContents<O>(w, none);
        EXPECT_EQ(statFile(before.slots).size, before.slotFileSize);
        const RawTable raw = before.raw(Records<O>::kSlotSize);
        if (versionSteps != 0) {
            EXPECT_EQ(raw.numSlotsVersion(), before.numSlotsVersion + versionSteps);
        } else {
            EXPECT_GT(raw.numSlotsVersion(), before.numSlotsVersion);
        }
        EXPECT_EQ(raw.numSlots(), Records<O>::kPageSlots);
        expectWorks<O>(w, none);
    }

    // Damages the closed table (damage returns the reason the restart must name), restarts and
    // checks the traces and the re-format.
    void damagedRestart(const std::function<std::string(const Closed&)>& damage) {
        const Closed before = writeAndClose();
        const std::string reason = damage(before);
        TraceCapture traces;
        LevelMask levels(0x3);
        auto w = started<Ops>();
        EXPECT_TRUE(traces.contains(0, "VeskWriter", reason)) << reason;
        EXPECT_TRUE(traces.contains(
            0, "VeskWriter", fmt::format("Vesk {} validation failed: {}", kTableName, reason)));
        EXPECT_TRUE(traces.contains(0, "VeskWriter", "failed to validate existing files"));
        EXPECT_TRUE(traces.contains(
            1, "VeskWriter", fmt::format("all entries from {} will be lost", w->rootPath())));
        EXPECT_TRUE(traces.contains(1, "VeskWriter", "re-formatted successfully"));
        expectReformat(*w, before, 1);
    }

    TestRoot root_;
    Contents contents_;
};

TYPED_TEST_SUITE(WriterRestartTest, AllOps, OpsNames);

TYPED_TEST(WriterRestartTest, SequentialWritersReuseTheFilesAndTheGeneration) {
    auto first = started<TypeParam>();
    fill(*first, this->contents_);
    const Plinth::CinderId cinder = first->cinderId();
    EXPECT_FALSE(cinder.isNone());
    first.reset();

    {
        TraceCapture traces;
        LevelMask levels(0x3);
        auto second = started<TypeParam>();
        EXPECT_EQ(second->cinderId(), cinder);
        expectContents<TypeParam>(*second, this->contents_);
        EXPECT_TRUE(second->validate()) << second->lastValidationFailure();
        for (const auto& r : traces.records()) {
            EXPECT_NE(r.level, 0u) << r.className << ": " << r.message;
            EXPECT_FALSE(contains(r.message, "will be lost")) << r.message;
        }
        // The second writer's own changes survive the next restart too.
        put(*second, this->contents_, 350, 5);
        put(*second, this->contents_, 1, 77);
        del(*second, this->contents_, 2);
    }
    auto third = started<TypeParam>();
    EXPECT_EQ(third->cinderId(), cinder);
    expectContents<TypeParam>(*third, this->contents_);
    EXPECT_TRUE(third->validate()) << third->lastValidationFailure();
}

TYPED_TEST(WriterRestartTest, CriticalSectionBitLeftSetReformats) {
    this->damagedRestart([](const Closed& c) {
        pwriteValue<uint16_t>(c.slots, Off::kRuntimeFlags, 1);
        return std::string("bad critical section runtimeFlags:1");
    });
}

TYPED_TEST(WriterRestartTest, LoopingFreeListReformats) {
    this->damagedRestart([](const Closed& c) {
        const RawTable raw = c.raw(Records<TypeParam>::kSlotSize);
        std::vector<uint32_t> free;
        EXPECT_EQ(raw.walkFree(free), "");
        if (free.size() < 3)
            throw std::runtime_error("free list too short");
        // The last free slot leads back to the head.
        pwriteValue<uint32_t>(c.slots, slotOffset<WriterOf<TypeParam>>(free.back(), Off::kLinkNext),
                              free.front());
        return fmt::format("duplicate freeSlot detected: {}", free.front());
    });
}

TYPED_TEST(WriterRestartTest, FreeListIdEqualToNumSlotsReformats) {
    this->damagedRestart([](const Closed& c) {
        const RawTable raw = c.raw(Records<TypeParam>::kSlotSize);
        std::vector<uint32_t> free;
        EXPECT_EQ(raw.walkFree(free), "");
        if (free.empty())
            throw std::runtime_error("no free slot");
        pwriteValue<uint32_t>(c.slots, slotOffset<WriterOf<TypeParam>>(free.back(), Off::kLinkNext),
                              c.numSlots);
        return fmt::format("corrupted free slot detected with out of bound index: {}", c.numSlots);
    });
}

TYPED_TEST(WriterRestartTest, OccupiedSlotsOneTooHighReformats) {
    this->damagedRestart([](const Closed& c) {
        const uint32_t occupied = c.raw(Records<TypeParam>::kSlotSize).occupied();
        pwriteValue<uint32_t>(c.slots, Off::kOccupied, occupied + 1);
        return fmt::format("mismatch header->occupiedSlots:{} count:{}", occupied + 1, occupied);
    });
}

TYPED_TEST(WriterRestartTest, HeaderOfAnotherRecordTypeReformats) {
    using Other = typename OtherRecordType<TypeParam>::type;
    const Closed before = this->writeAndClose();
    TraceCapture traces;
    LevelMask levels(0x3);
    auto w = started<Other>();
    EXPECT_TRUE(
        traces.contains(0, "SlotTable::Header",
                        fmt::format("bad valueType:{} expecting:{}", Records<TypeParam>::kTypeName,
                                    Records<Other>::kTypeName)));
    EXPECT_TRUE(traces.contains(0, "VeskWriter", "failed to attach to existing files"));
    EXPECT_TRUE(traces.contains(1, "VeskWriter", "re-formatted successfully"));
    const RawTable raw = before.raw(Records<Other>::kSlotSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&raw.slots[Off::kValueType])),
              Records<Other>::kTypeName);
    this->expectReformat(*w, before, 0);
}

// ----- ownership between processes -----

using Ops = CounterEntrySimpleOps;
using R = Records<Ops>;

class WriterOwnershipTest : public ::testing::Test {
  protected:
    // A peer that owns the table with keys 1..50 and reports "SOCKETNAME CINDER", then waits
    // to be killed.
    std::unique_ptr<Peer> owner() {
        auto p = std::make_unique<Peer>([](Peer& self) {
            auto w = makeWriter<Ops>(shrinkingDescriptor(100000));
            if (!w->initialize("owner"))
                ::_exit(2);
            for (uint64_t k = 1; k <= 50; ++k)
                w->write(R::make(k, k), true);
            self.send(
                fmt::format("{} {}", Zolt::ConduitAcceptSm::socketName(), w->cinderId().value));
            Peer::block();
        });
        std::istringstream report(p->receive());
        report >> ownerName_ >> ownerCinder_;
        EXPECT_FALSE(ownerName_.empty()) << "the owner did not start";
        EXPECT_NE(ownerName_, Zolt::ConduitAcceptSm::socketName());
        return p;
    }
    void expectOwnerRecords(WriterOf<Ops>& w) {
        Contents c;
        for (uint64_t k = 1; k <= 50; ++k)
            c[k] = k;
        expectContents<Ops>(w, c);
    }
    std::string tableDir() const { return root_.path(kTableName); }

    TestRoot root_;
    TraceCapture quiet_;
    std::string ownerName_;
    uint32_t ownerCinder_ = 0;
};

TEST_F(WriterOwnershipTest, SecondWriterIsRefusedWhileTheOwnerLivesAndTakesOverAfterItsKill) {
    auto peer = owner();
    const auto before = snapshot(root_.dir());
    ASSERT_TRUE(before.count(std::string(kTableName) + "/slots"));
    {
        auto second = makeWriter<Ops>(shrinkingDescriptor(100000));
        try {
            second->initialize("second");
            ADD_FAILURE() << "a second writer initialized while the owner lives";
        } catch (const Pimbo::InvalidInitializeException& e) {
            EXPECT_TRUE(contains(e.msg(), tableDir())) << e.msg();
            EXPECT_TRUE(contains(e.msg(), ownerName_)) << e.msg();
        }
        EXPECT_EQ(second->mountStatus(), 0u);
    }
    EXPECT_TRUE(snapshot(root_.dir()) == before) << "the refused writer changed the files";

    peer->killHard();
    auto next = makeWriter<Ops>(shrinkingDescriptor(100000));
    ASSERT_TRUE(next->initialize("takeover"));
    EXPECT_EQ(next->cinderId().value, ownerCinder_);
    expectOwnerRecords(*next);
    EXPECT_TRUE(next->validate()) << next->lastValidationFailure();
    Plinth::OwnerFile file(*testHandler(), next->rootPath(), false);
    EXPECT_EQ(file.conduitInfo().socketName, Zolt::ConduitAcceptSm::socketName());
}

TEST_F(WriterOwnershipTest, CleanupOfALiveOwnersTableIsRefusedAndRemovesNothing) {
    auto peer = owner();
    Vesk::Util::writeCorruptionFile(
        *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
    const auto before = snapshot(root_.dir());
    ASSERT_TRUE(before.count(std::string(kTableName) + "/" + Vesk::Util::kCorruptionFileName));
    {
        auto cleaner = makeWriter<Ops>(shrinkingDescriptor(100000));
        try {
            cleaner->cleanup();
            ADD_FAILURE() << "cleanup of a live owner's table went ahead";
        } catch (const Pimbo::NoPermissionException& e) {
            EXPECT_TRUE(contains(e.msg(), tableDir())) << e.msg();
            EXPECT_TRUE(contains(e.msg(), ownerName_)) << e.msg();
        }
    }
    EXPECT_TRUE(snapshot(root_.dir()) == before) << "the refused cleanup changed the files";

    // Once the owner is gone, cleanup goes ahead.
    peer->killHard();
    auto cleaner = makeWriter<Ops>(shrinkingDescriptor(100000));
    EXPECT_TRUE(cleaner->cleanup());
    for (const auto& f : filesOf(tableDir()))
        EXPECT_EQ(f, Mem::WriterLock::kFileName);
}

// ----- detach, cleanup, marker and header dump -----

class WriterDetachTest : public ::testing::Test {
  protected:
    std::string tableDir() const { return root_.path(kTableName); }
    bool exists(const std::string& file) const { return fs::exists(tableDir() + "/" + file); }

    TestRoot root_;
    TraceCapture quiet_;
    Contents contents_;
};

TEST_F(WriterDetachTest, DetachLeavesValidFilesForTheNextWriter) {
    auto w = started<Ops>();
    fill(*w, contents_);
    auto* area = w->directWrite(R::make(333, 0));
    *area = R::make(333, 9);
    w->directCommit();
    contents_[333] = 9;
    const Plinth::CinderId cinder = w->cinderId();
    {
        Plinth::OwnerFile file(*testHandler(), w->rootPath(), false);
        EXPECT_EQ(file.conduitInfo().socketName, Zolt::ConduitAcceptSm::socketName());
        EXPECT_EQ(file.typeName(), "CounterTableTest");
    }
    EXPECT_TRUE(Mem::WriterLock::heldByOther(w->rootPath()));

    w->detach(false);
    EXPECT_EQ(w->mountStatus(), 0u);
    EXPECT_FALSE(Mem::WriterLock::heldByOther(w->rootPath())) << "detach kept the writer lock";
    EXPECT_TRUE(Plinth::OwnerFile(*testHandler(), w->rootPath(), false).validate());

    // Another writer object reuses everything...
    {
        auto next = started<Ops>();
        EXPECT_EQ(next->cinderId(), cinder);
        expectContents<Ops>(*next, contents_);
        EXPECT_TRUE(next->validate()) << next->lastValidationFailure();
        put(*next, contents_, 334, 1);
    }
    // ... and so does the detached one, initialized again.
    ASSERT_TRUE(w->initialize("again"));
    EXPECT_EQ(w->cinderId(), cinder);
    expectContents<Ops>(*w, contents_);
    EXPECT_TRUE(w->validate()) << w->lastValidationFailure();
}

// Regression: detach rewrote the owner file through a read-only handle, so the refusal was
// swallowed as "owner file corruption" and the departed writer stayed named as the owner.
TEST_F(WriterDetachTest, DetachClearsThisProcessFromTheOwnerFile) {
    auto w = started<Ops>();
    put(*w, contents_, 1, 1);
    TraceCapture traces;
    w->detach(false);
    Plinth::OwnerFile file(*testHandler(), w->rootPath(), false);
    EXPECT_TRUE(file.validate()) << file.headerToString();
    EXPECT_TRUE(file.conduitInfo().empty()) << file.headerToString();
    EXPECT_EQ(file.typeName(), "CounterTableTest");
    for (const auto& r : traces.records()) {
        EXPECT_FALSE(contains(r.message, "ignoring owner file corruption")) << r.message;
    }
}

using WriterDetachDeathTest = WriterDetachTest;

TEST_F(WriterDetachDeathTest, DetachWithAnOpenDirectOperationIsFatal) {
    EXPECT_DEATH(
        {
            auto w = started<Ops>();
            w->write(R::make(1, 1), true);
            w->directWrite(R::make(2, 2));
            w->detach(false);
        },
        "unbalanced directSlot");
    // The destructor detaches too: an open directUpdate stops it just the same.
    EXPECT_DEATH(
        {
            auto w = started<Ops>();
            w->write(R::make(1, 1), true);
            w->directUpdate(CounterIndex(1));
            w.reset();
        },
        "unbalanced directSlot");
}

TEST_F(WriterDetachTest, CleanupRemovesEveryFileOfTheTable) {
    const std::vector<std::string> files = {"slots", "buckets", Plinth::CinderFile::kFileName,
                                            Plinth::OwnerFile::kFileName,
                                            Vesk::Util::kCorruptionFileName};
    // From a closed table, by a writer that never attached.
    {
        auto w = started<Ops>();
        fill(*w, contents_);
    }
    Vesk::Util::writeCorruptionFile(
        *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
    for (const auto& f : files)
        ASSERT_TRUE(exists(f)) << f;
    {
        auto cleaner = makeWriter<Ops>(shrinkingDescriptor(100000));
        EXPECT_TRUE(cleaner->cleanup());
    }
    for (const auto& f : files)
        EXPECT_FALSE(exists(f)) << f;
    for (const auto& f : filesOf(tableDir()))
        EXPECT_EQ(f, Mem::WriterLock::kFileName);

    // The next writer starts a fresh table.
    {
        auto w = started<Ops>();
        Contents none;
        expectContents<Ops>(*w, none);
        expectWorks<Ops>(*w, none);
        // By the table's own writer, while attached.
        Vesk::Util::writeCorruptionFile(
            *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
        EXPECT_TRUE(w->cleanup());
        for (const auto& f : files)
            EXPECT_FALSE(exists(f)) << f;
    }
    for (const auto& f : files)
        EXPECT_FALSE(exists(f)) << "the writer's detach made " << f;

    // Regression: a file that stays (here a directory at the marker's name) was not reported.
    fs::create_directory(tableDir() + "/" + Vesk::Util::kCorruptionFileName);
    EXPECT_FALSE(makeWriter<Ops>(shrinkingDescriptor(100000))->cleanup());
}

TEST_F(WriterDetachTest, AttachAndFileCheckRemoveTheCorruptionMarker) {
    {
        auto w = started<Ops>();
        put(*w, contents_, 1, 1);
    }
    Vesk::Util::writeCorruptionFile(
        *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
    auto w = started<Ops>();
    EXPECT_FALSE(exists(Vesk::Util::kCorruptionFileName));
    expectContents<Ops>(*w, contents_);

    Vesk::Util::writeCorruptionFile(*testHandler(),
                                    Mem::RootPath(*testHandler(), kTableName, false), "seen again");
    EXPECT_TRUE(w->validateFiles());
    EXPECT_FALSE(exists(Vesk::Util::kCorruptionFileName));
    // Regression: a damaged file was reported by a trace only; the result stayed true.
    Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(Plinth::CinderId(1, 1));
    EXPECT_FALSE(w->validateFiles());
}

// Regression: a local table of a pid that is a multiple of 65536, and a re-format that wrapped
// the second half, got the "none" id.
TEST_F(WriterDetachTest, GenerationIdIsNeverNone) {
    EXPECT_EQ(Vesk::localCinderId(3 * 65536), Plinth::CinderId(0, 1));
    EXPECT_EQ(Vesk::localCinderId(70000), Plinth::CinderId(70000 - 65536, 0));
    Plinth::CinderFile(*testHandler(), Mem::RootPath(*testHandler(), kTableName, true), true)
        .write(Plinth::CinderId(0, 0xFFFF));
    auto w = started<Ops>();  // no owner file: re-formats into the next generation
    EXPECT_EQ(w->cinderId(), Plinth::CinderId(0, 1));
}

TEST_F(WriterDetachTest, DumpHeadersNamesTheTableAndHoldsBothHeaders) {
    auto w = started<Ops>();
    for (uint64_t k = 1; k <= 3; ++k)
        put(*w, contents_, k, k);
    const std::string dump = w->dumpHeaders();
    const std::string slotHeader = w->slotTable().header()->toString();
    const std::string bucketHeader = w->hashMap().bucketWriter().header()->toString();
    EXPECT_EQ(dump.rfind(fmt::format("Vesk table \"{}\"", kTableName), 0), 0u) << dump;
    EXPECT_TRUE(contains(dump, slotHeader)) << dump;
    EXPECT_TRUE(contains(dump, bucketHeader)) << dump;
    EXPECT_LT(dump.find(slotHeader), dump.find(bucketHeader));
    // The texts are those of this table.
    EXPECT_TRUE(contains(slotHeader, "occupiedSlots:3 ")) << slotHeader;
    EXPECT_TRUE(contains(slotHeader, R::kTypeName)) << slotHeader;
    EXPECT_TRUE(contains(slotHeader, fmt::format("cinder:{}", w->cinderId()))) << slotHeader;
    EXPECT_TRUE(contains(bucketHeader, fmt::format("cinder:{}", w->cinderId()))) << bucketHeader;
}

// ----- the process-local writer -----

template <class O>
class TmpWriterTest : public ::testing::Test {
  protected:
    TestRoot root_;
};
TYPED_TEST_SUITE(TmpWriterTest, AllOps, OpsNames);

TYPED_TEST(TmpWriterTest, WorksInMemoryAndNeverCreatesAFile) {
    Vesk::Tmp<TypeParam> t(*testHandler(), kTableName, TypeParam{}, shrinkingDescriptor(100));
    ASSERT_TRUE(t.initialize("local"));
    EXPECT_EQ(t.mountStatus(), 0u);
    EXPECT_EQ(t.capacity(), Records<TypeParam>::kPageSlots);
    Contents c;
    for (uint64_t k = 0; k < kKeySpan; ++k)
        put(t, c, k, k + 1);
    const uint32_t grown = t.capacity();
    EXPECT_GE(grown, uint32_t(kKeySpan));
    EXPECT_GT(t.buckets(), 2u);
    for (uint64_t k = 0; k < kKeySpan; k += 2)
        put(t, c, k, k + 5000);
    for (uint64_t k = 0; k < kKeySpan; ++k) {
        if (k % 10 != 0)
            del(t, c, k);
    }
    EXPECT_LT(t.capacity(), grown) << "the table did not shrink";
    expectContents<TypeParam>(t, c);
    EXPECT_TRUE(t.validate()) << t.lastValidationFailure();
    auto* area = t.directWrite(Records<TypeParam>::make(999, 0));
    *area = Records<TypeParam>::make(999, 3);
    t.directCommit();
    c[999] = 3;
    bool found = false;
    EXPECT_EQ(*t.lookup(CounterIndex(999), found, nullptr), Records<TypeParam>::make(999, 3));
    EXPECT_TRUE(found);
    EXPECT_TRUE(t.validateFiles());
    EXPECT_TRUE(t.cleanup());
    EXPECT_TRUE(fs::is_empty(this->root_.dir())) << "a local writer made files";
    t.detach(false);
    EXPECT_TRUE(fs::is_empty(this->root_.dir())) << "a local writer made files at detach";
}

class TmpWriterProcessTest : public ::testing::Test {
  protected:
    TestRoot root_;
    TraceCapture quiet_;
};

TEST_F(TmpWriterProcessTest, StillChecksTheProcessorsAtomics) {
    struct Restore {
        ~Restore() { Mem::Atomics::simulateMissingSupportIs(false); }
    } restore;
    Mem::Atomics::simulateMissingSupportIs(true);
    Vesk::Tmp<Ops> t(*testHandler(), kTableName, Ops{});
    try {
        t.initialize("local");
        ADD_FAILURE() << "a local writer initialized without atomics";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(), "Hardware does not support Atomics");
    }
    auto shared = makeWriter<Ops>(shrinkingDescriptor(100));
    EXPECT_THROW(shared->initialize("shared"), Pimbo::InvalidInitializeException);
    EXPECT_TRUE(fs::is_empty(root_.dir()));

    Mem::Atomics::simulateMissingSupportIs(false);
    EXPECT_TRUE(t.initialize("local"));
    Contents c;
    put(t, c, 1, 1);
    expectContents<Ops>(t, c);
}

TEST_F(TmpWriterProcessTest, LeavesTheRealWritersTableAlone) {
    // A live writer owns the table in another process; a local writer of the same name comes
    // and goes here without a refusal and without touching a byte of the table.
    auto peer = std::make_unique<Peer>([](Peer& self) {
        auto w = makeWriter<Ops>(shrinkingDescriptor(100000));
        if (!w->initialize("owner"))
            ::_exit(2);
        for (uint64_t k = 1; k <= 50; ++k)
            w->write(R::make(k, k), true);
        self.send("ready");
        Peer::block();
    });
    ASSERT_EQ(peer->receive(), "ready");
    const std::string dir = root_.path(kTableName);
    Vesk::Util::writeCorruptionFile(
        *testHandler(), Mem::RootPath(*testHandler(), kTableName, false), "seen by a reader");
    const auto before = snapshot(root_.dir());
    {
        Vesk::Tmp<Ops> t(*testHandler(), kTableName, Ops{});
        ASSERT_TRUE(t.initialize("local"));
        Contents c;
        for (uint64_t k = 1; k <= 200; ++k)
            put(t, c, k, k + 100);
        expectContents<Ops>(t, c);
        EXPECT_TRUE(t.cleanup());
    }
    EXPECT_TRUE(snapshot(root_.dir()) == before) << "a local writer touched the table's files";
    EXPECT_TRUE(fs::exists(dir + "/" + Vesk::Util::kCorruptionFileName));
}

TEST_F(TmpWriterProcessTest, TwoProcessesWithOneNameDoNotSeeEachOther) {
    // A local table created before the fork is copied into the child, not shared with it.
    Contents mine;
    Vesk::Tmp<Ops> inherited(*testHandler(), kTableName, Ops{});
    ASSERT_TRUE(inherited.initialize("local"));
    for (uint64_t k = 1; k <= 100; ++k)
        put(inherited, mine, k, 1);

    Peer peer([&inherited](Peer& self) {
        Contents theirs;
        for (uint64_t k = 1; k <= 150; ++k)
            put(inherited, theirs, k, 2);
        Vesk::Tmp<Ops> fresh(*testHandler(), kTableName, Ops{});
        if (!fresh.initialize("local"))
            ::_exit(2);
        Contents freshTheirs;
        std::string report = differences(fresh, freshTheirs);
        for (uint64_t k = 300; k <= 350; ++k)
            put(fresh, freshTheirs, k, 3);
        self.send("written");
        if (self.receive() != "check")
            ::_exit(3);
        // Nothing the parent wrote meanwhile is here.
        report += differences(inherited, theirs) + differences(fresh, freshTheirs);
        self.send(report.empty() ? "ok" : report);
    });
    ASSERT_EQ(peer.receive(), "written");
    expectContents<Ops>(inherited, mine);
    Vesk::Tmp<Ops> fresh(*testHandler(), kTableName, Ops{});
    ASSERT_TRUE(fresh.initialize("local"));
    Contents freshMine;
    expectContents<Ops>(fresh, freshMine);
    for (uint64_t k = 200; k <= 250; ++k)
        put(fresh, freshMine, k, 4);
    for (uint64_t k = 300; k <= 310; ++k)
        put(inherited, mine, k, 5);
    peer.send("check");
    EXPECT_EQ(peer.receive(), "ok");
    expectContents<Ops>(inherited, mine);
    expectContents<Ops>(fresh, freshMine);
    EXPECT_TRUE(fs::is_empty(root_.dir()));
}

}  // namespace
