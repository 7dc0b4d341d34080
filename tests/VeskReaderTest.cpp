// The reader against a writer on the same files (a private root): attach and its refusals, lookups
// and iteration, re-mapping across grows and shrinks, version anchors, a re-formatted table,
// damaged chains that every walk must end on, and what the reader may do: its mapping is
// read-only with a guard page after it, and another user reads only files it may read.
#include "Mem/Atomics.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"
#include "Vesk/VeskReader.h"
#include "support/Tables.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

namespace {

using namespace VeskTest;
using Simple = CounterEntrySimpleOps;

Pimbo::Platform::DebugHandler& handler() {
    return *Pimbo::Platform::getDebugHandler("VeskReaderTest");
}

void publishCinder(Plinth::CinderId id, const std::string& name = kTableName) {
    Mem::RootPath rp(handler(), name, true);
    Plinth::CinderFile(handler(), rp, true).write(id);
}

std::string text(const std::string& path) {
    const auto bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A writer of a growable table with its files published, and a reader attached to them.
template <class Ops>
class ReaderFixture : public ::testing::Test {
  protected:
    using K = Kind<Ops>;
    using Value = typename Ops::Value;

    void SetUp() override {
        handler().levelMaskIs(0);
        w = attachedWriter<Ops>(shrinkingDescriptor(100000));
        publishCinder(kCinder);
        r = std::make_unique<Vesk::VeskReader<Ops>>(handler(), kTableName, Ops{}, nullptr);
        ASSERT_TRUE(r->initialize("test"));
    }
    void TearDown() override { handler().levelMaskIs(Pimbo::Platform::defaultLevelMask()); }

    void write(uint64_t from, uint64_t to, uint64_t n = 1) {
        for (uint64_t k = from; k <= to; ++k)
            w->write(K::make(k, n), true);
    }
    void remove(uint64_t from, uint64_t to) {
        Value removed;
        for (uint64_t k = from; k <= to; ++k)
            ASSERT_TRUE(w->remove(CounterIndex(k), removed)) << k;
    }
    bool has(uint64_t key) {
        bool found = false;
        r->lookup(CounterIndex(key), found, nullptr);
        return found;
    }
    // The reader finds exactly what the writer holds, by iteration and by lookup.
    void expectSameContents() {
        const auto expected = iterateAll(*w);
        const auto seen = iterateAll(*r);
        ASSERT_EQ(seen.size(), expected.size());
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_TRUE(Ops::valueEqual(seen[i], expected[i])) << "position " << i;
        for (const Value& v : expected) {
            bool found = false;
            Value copy{};
            EXPECT_EQ(r->lookup(Ops::key(v), found, &copy), &copy);
            EXPECT_TRUE(found && Ops::valueEqual(copy, v)) << Ops::key(v).value();
        }
    }

    TestRoot root_;
    std::unique_ptr<Vesk::VeskWriter<Ops>> w;
    std::unique_ptr<Vesk::VeskReader<Ops>> r;
};

// ----- attach and refusals -----

using VeskReaderLifecycle = ReaderFixture<Simple>;

// initialize refuses with a reason a caller can act on, and a message naming the table.
TEST_F(VeskReaderLifecycle, RefusalsSayWhyAsAValueAndAtomicsAreRequired) {
    using F = Vesk::AttachFailure;
    struct Case {
        const char* table;
        std::function<void(const std::string&)> damage;  // of the table's directory
        F failure;
    };
    const Case cases[] = {
        {"noslots", [](auto& d) { std::filesystem::remove(d + "/slots"); }, F::noFiles},
        {"nocinder", [](auto& d) { std::filesystem::remove(d + "/cinder"); }, F::noFiles},
        {"short", [](auto& d) { ASSERT_EQ(::truncate((d + "/slots").c_str(), 1), 0); },
         F::notATable},
        {"magic", [](auto& d) { pwriteValue<uint32_t>(d + "/slots", Off::kMagic, 0); },
         F::notATable},
        {"version", [](auto& d) { pwriteValue<uint32_t>(d + "/slots", Off::kVersion, 9); },
         F::otherVersion},
        {"generation", [](auto&) { publishCinder(Plinth::CinderId(9, 9), "generation"); },
         F::otherGeneration},
        {"checksum", [](auto& d) { pwriteValue<uint32_t>(d + "/slots", Off::kMaxSlots, 5); },
         F::corrupt},
        {"untrusted", [](auto& d) { ASSERT_EQ(::chmod(d.c_str(), 0777), 0); },
         F::untrustedDirectory},
    };
    TraceCapture traces;
    handler().levelMaskIs(0x0001);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        attachedWriter<Simple>(shrinkingDescriptor(100), kCinder, c.table);
        publishCinder(kCinder, c.table);
        c.damage(root_.path(c.table));
        Vesk::VeskReader<Simple> refused(handler(), c.table, Simple{}, nullptr);
        EXPECT_FALSE(refused.initialize("refused"));
        EXPECT_EQ(refused.attachFailure(), c.failure) << refused.attachFailureMessage();
        EXPECT_NE(refused.attachFailureMessage().find(root_.path(c.table)), std::string::npos)
            << refused.attachFailureMessage();
    }
    EXPECT_TRUE(traces.contains(0, "SlotReaderTable", "cannot attach to shmem size:616"));
    // A reader records a refused generation in the marker of a table it owns.
    const std::string marker =
        text(root_.path(std::string("generation/") + Vesk::Util::kCorruptionFileName));
    EXPECT_EQ(marker.rfind("bad bucket cinder:7:1 wanted:9:9", 0), 0u) << marker;

    Mem::Atomics::simulateMissingSupportIs(true);
    Vesk::VeskReader<Simple> noAtomics(handler(), kTableName, Simple{}, nullptr);
    try {
        noAtomics.initialize("no atomics");
        ADD_FAILURE() << "initialize accepted a processor without atomics";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(), "Hardware does not support Atomics");
    }
    Mem::Atomics::simulateMissingSupportIs(false);
    EXPECT_TRUE(noAtomics.initialize("atomics back"));
}

TEST_F(VeskReaderLifecycle, AReaderOfAnotherRecordTypeRefusesTheTable) {
    // Normal has the sizes of Simple: only the type name tells them apart.
    Vesk::VeskReader<CounterEntryNormalOps> normal(handler(), kTableName, {}, nullptr);
    EXPECT_FALSE(normal.initialize("wrong type"));
    EXPECT_EQ(normal.attachFailure(), Vesk::AttachFailure::otherRecordType);
    const std::string marker =
        text(root_.path(std::string(kTableName) + "/" + Vesk::Util::kCorruptionFileName));
    EXPECT_EQ(marker.rfind("bad valueType:DravoCounters::FlexCounters2::CounterEntrySimple "
                           "expecting:DravoCounters::FlexCounters2::CounterEntryNormal",
                           0),
              0u)
        << marker;
    Vesk::VeskReader<CounterEntryWideOps> wide(handler(), kTableName, {}, nullptr);
    EXPECT_FALSE(wide.initialize("wrong type"));
    EXPECT_EQ(wide.mountStatus(), 0u);
}

// ----- reads: one write-and-read-back per record type -----

template <class Ops>
using VeskReaderTyped = ReaderFixture<Ops>;
TYPED_TEST_SUITE(VeskReaderTyped, AllOps, OpsNames);

TYPED_TEST(VeskReaderTyped, LookupsHitAndMissAndIterationReturnsTheWritersRecords) {
    using Value = typename TypeParam::Value;
    using K = Kind<TypeParam>;
    auto& r = *this->r;
    // An empty table: iteration ends at once with the zero record.
    Value out = K::make(99, 99);
    Vesk::IterHint hint;
    EXPECT_FALSE(r.first(out, hint));
    EXPECT_TRUE(TypeParam::valueEqual(out, Value{}));
    for (uint64_t k = 1; k <= 40; ++k)
        this->w->write(K::make(k * 7, k), true);
    this->expectSameContents();

    // Found without a buffer: the reader's scratch value, vouched for by the anchor.
    bool found = false;
    EXPECT_EQ(r.lookup(CounterIndex(21), found, nullptr), &r.scratch());
    EXPECT_TRUE(found && TypeParam::valueEqual(r.scratch(), K::make(21, 3)));
    EXPECT_TRUE(r.validateVersionAnchor());
    // A miss: the zero record, and no record vouched for.
    Value buffer = K::make(5, 5);
    EXPECT_EQ(r.lookup(CounterIndex(8), found, &buffer), &r.defaultValue());
    EXPECT_FALSE(found);
    EXPECT_TRUE(TypeParam::valueEqual(buffer, Value{}));
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
    // An overwrite and a removal after a lookup: the anchor no longer vouches for the copy.
    ASSERT_TRUE(this->has(14));
    this->w->write(K::make(14, 1234), true);
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
    r.lookup(CounterIndex(14), found, &buffer);
    EXPECT_TRUE(TypeParam::valueEqual(buffer, K::make(14, 1234)));
    this->remove(14, 14);
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
    EXPECT_FALSE(this->has(14));
    this->expectSameContents();
}

// ----- reads across the writer's changes -----

using VeskReader = ReaderFixture<Simple>;

TEST_F(VeskReader, NextFindsTheSuccessorWhateverTheHint) {
    write(1, 30);
    const auto order = iterateAll(*w);
    // A hint taken at one record, used with another key: the successor of the key given.
    Value at, out;
    Vesk::IterHint hintAt;
    ASSERT_TRUE(r->first(at, hintAt));
    for (size_t i = 2; i + 1 < order.size(); ++i) {
        Vesk::IterHint hint = hintAt;
        ASSERT_TRUE(r->next(Simple::key(order[i]), out, hint));
        EXPECT_TRUE(Simple::valueEqual(out, order[i + 1])) << i;
    }
    // The successor of a removed key, and the end of the table.
    remove(order[10].key().value(), order[10].key().value());
    Vesk::IterHint hint;
    ASSERT_TRUE(r->next(Simple::key(order[10]), out, hint));
    EXPECT_TRUE(Simple::valueEqual(out, order[11]));
    EXPECT_FALSE(r->next(Simple::key(order.back()), out, hint));
    EXPECT_GT(r->readerCounters().slowPaths, 0u);
}

// The writer grows, then shrinks, between the calls of one iteration: every key present from
// start to end is returned exactly once, whatever was re-mapped in between; then the reader
// answers as the writer does.
TEST_F(VeskReader, ReMapsAsTheWriterGrowsAndShrinksAndAnIterationReturnsEveryLastingKeyOnce) {
    write(1, 60);
    for (const bool growing : {true, false}) {
        std::multiset<uint64_t> seen;
        uint64_t extra = 1000;
        Value v;
        Vesk::IterHint hint;
        const auto before = r->readerCounters();
        for (bool more = r->first(v, hint); more && seen.size() < 10000;
             more = r->next(Simple::key(v), v, hint)) {
            seen.insert(v.key().value());
            // 40 changes between two calls, 2400 in all: several grows (shrinks) per iteration.
            if (extra < 3400)
                growing ? write(extra, extra + 39) : remove(extra, extra + 39);
            extra += 40;
        }
        for (uint64_t k = 1; k <= 60; ++k)
            EXPECT_EQ(seen.count(k), 1u) << "key " << k << ", growing " << growing;
        EXPECT_EQ(r->capacity(), w->capacity());
        EXPECT_EQ(r->buckets(), w->buckets());
        expectSameContents();
        const auto after = r->readerCounters();
        EXPECT_GT(after.remapRetries, before.remapRetries + 3) << "growing " << growing;
        EXPECT_GT(after.resizes, before.resizes + 3) << "growing " << growing;
        EXPECT_GT(after.bucketResizes, before.bucketResizes + 3) << "growing " << growing;
    }
}

TEST_F(VeskReader, AnchorFollowsAMovedMappingAndRefusesAMovedRecord) {
    write(1, 1);
    ASSERT_TRUE(has(1));
    // Grow far enough that the reader's mapping moves; record 1 stays where it is.
    write(2, 3000);
    ASSERT_TRUE(has(1));
    EXPECT_TRUE(r->validateVersionAnchor());
    // Key 3000 lives high in the file: a shrink moves it down and releases its old slot.
    ASSERT_TRUE(has(3000));
    remove(1, 2999);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    ASSERT_TRUE(has(3000));
    EXPECT_TRUE(r->validateVersionAnchor());
    EXPECT_GT(r->readerCounters().baseChanges, 0u);
}

// The writer re-formats its files in place under a new cinder id: while the new generation is
// not published the reader is unmounted and answers "absent"; then it answers from it alone. A
// changed hash seed alone is a new generation too.
TEST_F(VeskReader, AReformattedTableIsANewGeneration) {
    write(1, 100);
    Value out;
    Vesk::IterHint hint;
    ASSERT_TRUE(r->first(out, hint));
    const Plinth::CinderId next(7, 2);
    w->attach(next);
    write(500, 519);
    EXPECT_FALSE(has(505));
    EXPECT_EQ(r->mountStatus(), 0u);
    EXPECT_FALSE(r->next(CounterIndex(1), out, hint));
    EXPECT_FALSE(r->first(out, hint));
    publishCinder(next);
    EXPECT_TRUE(has(505));
    EXPECT_EQ(r->cinderId(), next);
    EXPECT_FALSE(has(50));
    expectSameContents();
    EXPECT_EQ(r->readerCounters().generationChanges, 1u);

    const auto raw = RawTable::of(*w);
    const uint32_t seed = raw.seed() ^ 0x5A5A5A5Au;
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHashSeed, seed);
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHash, headerChecksum(RawTable::of(*w).slots));
    // The records now sit in buckets the new seed does not lead to: the reader may answer
    // "absent" or find the damage, but it hashes with the new seed from now on.
    try {
        has(505);
    } catch (const Pimbo::CorruptionDetectedException&) {
    }
    EXPECT_EQ(r->readerCounters().generationChanges, 2u);
    EXPECT_EQ(r->slotTable().attachedHashSeed(), seed);
}

// ----- what a reader may do -----

// A store that must fault: SIGSEGV, or the sanitizer's report of it in a sanitized build.
#if defined(VESK_SANITIZED)
#define EXPECT_FAULTS(statement) EXPECT_DEATH(statement, "SEGV")
#else
#define EXPECT_FAULTS(statement) EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGSEGV), "")
#endif

TEST_F(VeskReader, AStoreIntoTheMappingOrAReadPastItFaults) {
    write(1, 50);
    // Lookups answer with copies; the cache anchor says where the record lives in the mapping:
    // its flags word, the slot's rhash, then the record.
    ASSERT_TRUE(has(17));
    char* base = reinterpret_cast<char*>(r->slotTable().header());
    volatile uint64_t* key =
        reinterpret_cast<uint64_t*>(base + r->getCacheVersionAnchor().offset + 8);
    ASSERT_EQ(*key, 17u) << "the anchor does not point at the record that was copied";
    EXPECT_FAULTS(*key = 99);
    volatile uint64_t* bucket =
        const_cast<uint64_t*>(reinterpret_cast<const uint64_t*>(r->hashMap().buckets()[0]));
    EXPECT_FAULTS(*bucket = 0);
    // The last mapped byte is readable; the first byte of the next page is the guard.
    const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
    const uint64_t mapped = r->slotTable().region().mappedSize();
    volatile const char* last = base + mapped - 1;
    (void)*last;
    volatile const char* guard = base + (mapped + page - 1) / page * page;
    EXPECT_FAULTS((void)*guard);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// A reader as uid 65534 on files of these modes.
TEST(UnprivilegedReaderProcess, AttachesToReadableFilesAndIsRefusedByOthersSayingWhy) {
    struct Case {
        mode_t slots, buckets;
        const char* said;   // what the reader says
        const char* named;  // the file its refusal names
    };
    const Case cases[] = {
        {0644, 0644, "attached:true failure: right answers:50", ""},
        {0600, 0600, "attached:false failure:permission denied", "buckets"},
        {0600, 0644, "attached:false failure:permission denied", "slots"},
        {0644, 0600, "attached:false failure:permission denied", "buckets"},
    };
    TestRoot root;
    auto w = attachedWriter<Simple>(shrinkingDescriptor(1000));
    publishCinder(kCinder);
    for (uint64_t k = 1; k <= 50; ++k)
        w->write(Kind<Simple>::make(k, k), true);
    for (const Case& c : cases) {
        ASSERT_EQ(::chmod(slotsPath(*w).c_str(), c.slots), 0);
        ASSERT_EQ(::chmod(bucketsPath(*w).c_str(), c.buckets), 0);
        Child nobody(
            [](Child& self) {
                Vesk::VeskReader<Simple> r(handler(), kTableName, Simple{}, nullptr);
                const bool attached = r.initialize("nobody");
                std::string said = fmt::format("attached:{} failure:{}", attached,
                                               Vesk::attachFailureText(r.attachFailure()));
                uint64_t right = 0;
                for (uint64_t k = 1; k <= 60 && r.mountStatus() == 1; ++k) {
                    bool found = false;
                    CounterEntrySimple v{};
                    r.lookup(CounterIndex(k), found, &v);
                    right += found && Simple::valueEqual(v, Kind<Simple>::make(k, k));
                }
                self.send(said +
                          (r.mountStatus() == 1 ? fmt::format(" right answers:{}", right) : ""));
                self.send(r.attachFailureMessage());
                return 0;
            },
            Child::As::nobody);
        const std::string said = nobody.receive();
        if (nobody.wait() == Child::kSkip)
            GTEST_SKIP() << said;
        EXPECT_EQ(said, c.said);
        const std::string message = nobody.rest();
        EXPECT_NE(message.find(*c.named ? root.path(std::string(kTableName) + "/" + c.named) : ""),
                  std::string::npos)
            << message;
    }
}

// ----- damaged files: every walk ends, naming the damage -----

// Each case damages slot b of three records a, b, c that follow each other in one bucket's
// chain, under an attached reader. A lookup of c's key, a next after b's key without a hint (the
// slow path) and a full iteration must each end with a corruption that names the damage. A walk
// that would not end is what the bounded wait for the child catches.
TEST(ReaderDamageProcess, EveryWalkOverADamagedChainEndsNamingTheDamage) {
    struct Case {
        const char* name;
        uint64_t field;  // of slot b
        std::function<uint32_t(uint32_t a, uint32_t b, uint32_t bucket)> value;
        const char* lookup;  // what the lookup says
        const char* next;    // what the next says
    };
    const Case cases[] = {
        {"a link back in the chain", Off::kLinkNext, [](auto a, auto, auto) { return a; },
         "hash chain cycle detected", "hash chain cycle detected"},
        {"a slot linked to itself", Off::kLinkNext, [](auto, auto b, auto) { return b; },
         "hash chain cycle detected", "hash chain cycle detected"},
        {"a link beyond the slots", Off::kLinkNext, [](auto, auto, auto) { return 0x7FFFFFF0u; },
         "out-of-range index", "out-of-range index"},
        {"a free slot in the chain", Off::kFlags, [](auto, auto, auto) { return 4u; },
         "not marked as occupied", "not marked as occupied"},
        {"a marker of the chain's own bucket", Off::kLinkNext,
         [](auto, auto, auto bucket) { return kMarker | bucket; }, "with next bucket",
         "with next bucket"},
    };
    using W = Vesk::VeskWriter<Simple>;
    handler().levelMaskIs(0);
    Child child([&](Child& self) {
        for (const Case& c : cases) {
            TestRoot root;
            auto w = attachedWriter<Simple>(shrinkingDescriptor(1000));
            publishCinder(kCinder);
            for (uint64_t k = 1; k <= 60; ++k)
                w->write(Kind<Simple>::make(k, 1), true);
            std::vector<RawSlot> chain;
            RawTable::of(*w).walkChains(chain);
            auto bucket = [&](size_t i) { return w->hashKeyValue(chain[i].key) % w->buckets(); };
            size_t at = 0;
            while (at + 2 < chain.size() && bucket(at) != bucket(at + 2))
                ++at;
            if (at + 2 >= chain.size())
                return 1;
            Vesk::VeskReader<Simple> r(handler(), kTableName, Simple{}, nullptr);
            r.initialize("damaged");
            pwriteValue<uint32_t>(slotsPath(*w), slotOffset<W>(chain[at + 1].id, c.field),
                                  c.value(chain[at].id, chain[at + 1].id, bucket(at)));
            CounterEntrySimple v;
            bool found = false;
            auto said = [&](const std::function<void()>& walk) -> std::string {
                try {
                    walk();
                    return "no corruption";
                } catch (const Pimbo::CorruptionDetectedException& e) {
                    return e.msg();
                }
            };
            const std::string lookup =
                said([&] { r.lookup(CounterIndex(chain[at + 2].key), found, nullptr); });
            const std::string next = said([&] {
                Vesk::IterHint hint;
                r.next(CounterIndex(chain[at + 1].key), v, hint);
            });
            const std::string iteration = said([&] {
                Vesk::IterHint hint;
                for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
                }
            });
            self.send(fmt::format("{}| {} | {} | {}", c.name, lookup, next, iteration));
        }
        return 0;
    });
    for (const Case& c : cases) {
        const std::string line = child.receive();
        EXPECT_EQ(line.rfind(std::string(c.name) + "|", 0), 0u) << c.name << ": never ended";
        EXPECT_NE(line.find(c.lookup), std::string::npos) << line;
        EXPECT_NE(line.find(c.next, line.find(c.lookup) + 1), std::string::npos) << line;
        EXPECT_EQ(line.find("no corruption"), std::string::npos) << line;
    }
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
