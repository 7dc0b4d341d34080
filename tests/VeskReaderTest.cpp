// The reader against a writer in the same process, on the same files (private root): attach and
// refusals, lookups and iteration, re-mapping across grows and shrinks, version anchors, a
// re-formatted table, the read-only mapping, and files with hostile bytes.
#include "Mem/Atomics.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"
#include "Vesk/VeskReader.h"
#include "WriterTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

namespace {

using namespace VeskTest;

std::shared_ptr<Pimbo::Platform::DebugHandler> readerHandler() {
    return Pimbo::Platform::getDebugHandler("VeskReaderTest");
}

// Writes the cinder file of the test table, as the writer's lifecycle does once its files are
// complete.
void publishCinder(Plinth::CinderId id, const std::string& name = kTableName) {
    Mem::RootPath rp(*readerHandler(), name, true);
    Plinth::CinderFile(*readerHandler(), rp, true).write(id);
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

template <class Ops>
class ReaderFixture : public ::testing::Test {
  protected:
    using Writer = Vesk::VeskWriter<Ops>;
    using Reader = Vesk::VeskReader<Ops>;
    using R = Records<Ops>;
    using Value = typename Ops::Value;

    void SetUp() override { readerHandler()->levelMaskIs(0); }
    void TearDown() override { readerHandler()->levelMaskIs(Pimbo::Platform::defaultLevelMask()); }

    std::unique_ptr<Writer> startWriter(const Vesk::MapDescriptor& d,
                                        Plinth::CinderId id = kCinder) {
        auto w = attachedWriter<Ops>(d, id);
        publishCinder(id);
        return w;
    }
    std::unique_ptr<Reader> startReader() {
        auto r = std::make_unique<Reader>(*readerHandler(), kTableName, Ops{}, nullptr);
        EXPECT_TRUE(r->initialize("test"));
        return r;
    }
    // The reader finds exactly what the writer holds, by lookup and by iteration.
    void expectSameContents(Writer& w, Reader& r) {
        const auto expected = iterateAll(w);
        const auto seen = iterateAll(r);
        ASSERT_EQ(seen.size(), expected.size());
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_TRUE(Ops::valueEqual(seen[i], expected[i])) << "position " << i;
        for (const Value& v : expected) {
            bool found = false;
            Value buffer{};
            const Value* got = r.lookup(Ops::key(v), found, &buffer);
            ASSERT_TRUE(found) << Ops::key(v).value();
            EXPECT_EQ(got, &buffer);
            EXPECT_TRUE(Ops::valueEqual(buffer, v));
        }
    }

    TestRoot root_;
};

// ----- lifecycle -----

using Simple = CounterEntrySimpleOps;
class VeskReaderLifecycle : public ReaderFixture<Simple> {};

TEST_F(VeskReaderLifecycle, InitializeTracesSuccessOnceAndDetachTwiceIsHarmless) {
    auto w = startWriter(shrinkingDescriptor(1000));
    TraceCapture traces;
    readerHandler()->levelMaskIs(0x0023);  // levels 0, 1 and 5
    Reader r(*readerHandler(), kTableName, Simple{}, nullptr);
    EXPECT_EQ(r.mountStatus(), 0u);
    ASSERT_TRUE(r.initialize("boot"));
    ASSERT_TRUE(r.initialize("again"));
    std::vector<std::string> successes;
    for (const auto& t : traces.records()) {
        if (t.className == "VeskReader" && t.level == 1 && startsWith(t.message, "success "))
            successes.push_back(t.message);
    }
    ASSERT_EQ(successes.size(), 1u);
    const std::string dir = root_.path(kTableName);
    EXPECT_TRUE(startsWith(successes[0], "success " + dir + " capacity:0 cinderId:7:1 mtime:"))
        << successes[0];
    EXPECT_NE(successes[0].find(" event:boot"), std::string::npos) << successes[0];
    EXPECT_EQ(r.mountStatus(), 1u);
    EXPECT_TRUE(r.quiesced());
    EXPECT_EQ(r.type(), Vesk::reader);
    EXPECT_EQ(r.cinderId(), kCinder);
    EXPECT_EQ(r.veskName(), kTableName);
    EXPECT_EQ(r.buckets(), w->buckets());
    EXPECT_EQ(r.maxSize(), 1000u);
    EXPECT_THROW(r.write(R::make(1, 1), true), Pimbo::NoPermissionException);
    w->write(R::make(2, 20), true);
    bool found = false;
    r.lookup(CounterIndex(2), found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_TRUE(r.validateVersionAnchor());

    r.detach(false);
    // The anchor pointed into a mapping that is gone: refused, never read.
    EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
    EXPECT_TRUE(traces.contains(1, "VeskReader", dir + " detached"));
    EXPECT_FALSE(traces.contains(5, "VeskReader", "already detached"));
    r.detach(false);
    EXPECT_TRUE(traces.contains(5, "VeskReader", "already detached"));
    EXPECT_EQ(r.mountStatus(), 0u);
    found = true;
    EXPECT_EQ(r.lookup(CounterIndex(2), found, nullptr), &r.defaultValue());
    EXPECT_FALSE(found);
    // Attaching again after a detach works.
    ASSERT_TRUE(r.initialize("re"));
    w->write(R::make(5, 50), true);
    r.lookup(CounterIndex(5), found, nullptr);
    EXPECT_TRUE(found);
}

// initialize refuses with a reason a caller can act on, and a message naming the file.
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
    readerHandler()->levelMaskIs(0x0001);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        attachedWriter<Simple>(shrinkingDescriptor(100), kCinder, c.table);
        publishCinder(kCinder, c.table);
        c.damage(root_.path(c.table));
        Reader r(*readerHandler(), c.table, Simple{}, nullptr);
        EXPECT_FALSE(r.initialize("refused"));
        EXPECT_EQ(r.attachFailure(), c.failure) << r.attachFailureMessage();
        EXPECT_NE(r.attachFailureMessage().find(root_.path(c.table)), std::string::npos)
            << r.attachFailureMessage();
    }
    EXPECT_TRUE(traces.contains(0, "SlotReaderTable", "cannot attach to shmem size:616"));
    // A reader records a refused generation in the marker of a table it owns.
    const std::string marker =
        readText(root_.path(std::string("generation/") + Vesk::Util::kCorruptionFileName));
    EXPECT_TRUE(startsWith(marker, "bad bucket cinder:7:1 wanted:9:9")) << marker;

    auto w = startWriter(shrinkingDescriptor(100));
    Mem::Atomics::simulateMissingSupportIs(true);
    Reader r(*readerHandler(), kTableName, Simple{}, nullptr);
    try {
        r.initialize("no atomics");
        ADD_FAILURE() << "initialize accepted a processor without atomics";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_EQ(e.msg(), "Hardware does not support Atomics");
    }
    Mem::Atomics::simulateMissingSupportIs(false);
    EXPECT_TRUE(r.initialize("atomics back"));
}

TEST_F(VeskReaderLifecycle, AReaderOfAnotherRecordTypeRefusesTheTable) {
    auto w = startWriter(shrinkingDescriptor(100));
    w->write(R::make(1, 1), true);
    TraceCapture traces;
    readerHandler()->levelMaskIs(0x0001);
    // Normal has the same sizes as Simple: only the type name tells them apart.
    Vesk::VeskReader<CounterEntryNormalOps> normal(*readerHandler(), kTableName,
                                                   CounterEntryNormalOps{}, nullptr);
    EXPECT_FALSE(normal.initialize("wrong type"));
    EXPECT_EQ(normal.attachFailure(), Vesk::AttachFailure::otherRecordType);
    EXPECT_TRUE(traces.contains(0, "VeskReader", "failed to validate slots"));
    const std::string expected =
        "bad valueType:DravoCounters::FlexCounters2::CounterEntrySimple "
        "expecting:DravoCounters::FlexCounters2::CounterEntryNormal";
    EXPECT_TRUE(traces.contains(0, "SlotTable::Header", expected));
    const std::string marker =
        readText(root_.path(std::string(kTableName) + "/" + Vesk::Util::kCorruptionFileName));
    EXPECT_TRUE(startsWith(marker, expected)) << marker;
    Vesk::VeskReader<CounterEntryWideOps> wide(*readerHandler(), kTableName, CounterEntryWideOps{},
                                               nullptr);
    EXPECT_FALSE(wide.initialize("wrong type"));
    EXPECT_EQ(wide.mountStatus(), 0u);
}

TEST_F(VeskReaderLifecycle, DumpHeadersShowsBothFiles) {
    auto w = startWriter(shrinkingDescriptor(100));
    auto r = startReader();
    const std::string text = r->dumpHeaders();
    EXPECT_TRUE(startsWith(text, "Vesk table \"" + root_.path(kTableName) + "\"\n\n\nmagic:"))
        << text;
    EXPECT_NE(text.find("valueType:\"DravoCounters::FlexCounters2::CounterEntrySimple\""),
              std::string::npos);
    EXPECT_NE(text.find("\n\nmagic:0x544b425f4b534556 version:1 cinder:7:1 numBuckets:"),
              std::string::npos)
        << text;
}

// A store through the reader's mapping faults: the files are mapped read-only.
TEST_F(VeskReaderLifecycle, StoresThroughTheReadersMappingDie) {
    auto w = startWriter(shrinkingDescriptor(100));
    auto r = startReader();
    w->write(R::make(3, 3), true);
    bool found = false;
    r->lookup(CounterIndex(3), found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_DEATH(
        {
            volatile char* p = reinterpret_cast<char*>(r->slotTable().header());
            p[0] = 'X';
        },
        "");
    EXPECT_DEATH(
        {
            volatile char* p =
                const_cast<char*>(reinterpret_cast<const char*>(r->hashMap().buckets().header()));
            p[24] = 1;
        },
        "");
    // Nothing was changed in the writer's view.
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// ----- reads, typed over the four record types -----

template <class Ops>
class VeskReaderTyped : public ReaderFixture<Ops> {};
TYPED_TEST_SUITE(VeskReaderTyped, AllOps, OpsNames);

TYPED_TEST(VeskReaderTyped, LookupsHitAndMissAndIterationReturnsTheWritersRecords) {
    using R = Records<TypeParam>;
    using Value = typename TypeParam::Value;
    auto w = this->startWriter(shrinkingDescriptor(1000));
    auto r = this->startReader();
    // An empty table: nothing found, iteration ends at once with the default record.
    Value out = R::make(99, 99);
    Vesk::IterHint hint;
    EXPECT_FALSE(r->first(out, hint));
    EXPECT_TRUE(TypeParam::valueEqual(out, Value{}));
    for (uint64_t k = 1; k <= 40; ++k)
        w->write(R::make(k * 7, k), true);
    this->expectSameContents(*w, *r);

    // Found without a buffer: the reader's scratch value.
    bool found = false;
    const Value* got = r->lookup(CounterIndex(21), found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_EQ(got, &r->scratch());
    EXPECT_TRUE(TypeParam::valueEqual(*got, R::make(21, 3)));
    EXPECT_TRUE(r->validateVersionAnchor());
    const Mem::CacheVersionAnchor cached = r->getCacheVersionAnchor();
    EXPECT_NE(cached.offset, Mem::VersionAnchor::kNotSet);

    // A miss with a buffer: the zero record, the default pointer, and no record vouched for.
    Value buffer = R::make(5, 5);
    got = r->lookup(CounterIndex(8), found, &buffer);
    EXPECT_FALSE(found);
    EXPECT_EQ(got, &r->defaultValue());
    EXPECT_TRUE(TypeParam::valueEqual(buffer, Value{}));
    EXPECT_EQ(r->getCacheVersionAnchor().offset, Mem::VersionAnchor::kInvalid);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);

    // An overwrite after the lookup: the anchor no longer vouches for the copy.
    r->lookup(CounterIndex(14), found, &buffer);
    ASSERT_TRUE(found);
    EXPECT_TRUE(r->validateVersionAnchor());
    Value changed = R::make(14, 2);
    R::change(changed, 1234);
    w->write(changed, true);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->lookup(CounterIndex(14), found, &buffer);
    EXPECT_TRUE(TypeParam::valueEqual(buffer, changed));
    EXPECT_TRUE(r->validateVersionAnchor());
    // A removal is seen too.
    Value removed;
    ASSERT_TRUE(w->remove(CounterIndex(14), removed));
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->lookup(CounterIndex(14), found, &buffer);
    EXPECT_FALSE(found);
    this->expectSameContents(*w, *r);
    const auto counters = r->readerCounters();
    EXPECT_GT(counters.lookups, 40u);
    EXPECT_GT(counters.iterations, 40u);
    EXPECT_GT(counters.slotFileSize, 0u);
    EXPECT_GT(counters.bucketFileSize, 0u);
}

TYPED_TEST(VeskReaderTyped, NextFindsTheSuccessorWhateverTheHint) {
    using R = Records<TypeParam>;
    using Value = typename TypeParam::Value;
    auto w = this->startWriter(shrinkingDescriptor(1000));
    auto r = this->startReader();
    for (uint64_t k = 1; k <= 30; ++k)
        w->write(R::make(k, k), true);
    const auto order = iterateAll(*w);
    ASSERT_EQ(order.size(), 30u);
    // A hint taken at one record, used with another key: the successor of the key given.
    Value at;
    Vesk::IterHint hintAt;
    ASSERT_TRUE(r->first(at, hintAt));
    for (size_t i = 2; i + 1 < order.size(); ++i) {
        Value out;
        Vesk::IterHint hint = hintAt;
        ASSERT_TRUE(r->next(TypeParam::key(order[i]), out, hint));
        EXPECT_TRUE(TypeParam::valueEqual(out, order[i + 1])) << i;
    }
    // The successor of a removed key, and the end of the table.
    Value removed;
    ASSERT_TRUE(w->remove(TypeParam::key(order[10]), removed));
    Value out;
    Vesk::IterHint hint;
    ASSERT_TRUE(r->next(TypeParam::key(order[10]), out, hint));
    EXPECT_TRUE(TypeParam::valueEqual(out, order[11]));
    EXPECT_FALSE(r->next(TypeParam::key(order.back()), out, hint));
    EXPECT_GT(r->readerCounters().slowPaths, 0u);
}

TYPED_TEST(VeskReaderTyped, ReMapsAsTheWriterGrowsAndShrinksBetweenCalls) {
    using R = Records<TypeParam>;
    auto w = this->startWriter(shrinkingDescriptor(100000));
    auto r = this->startReader();
    const uint32_t firstCapacity = w->capacity();
    // Every insert is followed by reads, so the reader meets every slot count and bucket count.
    std::mt19937_64 rng(42);
    for (uint64_t k = 1; k <= 1500; ++k) {
        w->write(R::make(k, k), true);
        bool found = false;
        const uint64_t probe = 1 + rng() % k;
        typename TypeParam::Value buffer;
        r->lookup(CounterIndex(probe), found, &buffer);
        ASSERT_TRUE(found) << "key " << probe << " after " << k << " inserts";
        EXPECT_TRUE(TypeParam::valueEqual(buffer, R::make(probe, probe)));
        r->lookup(CounterIndex(k + 100000), found, &buffer);
        ASSERT_FALSE(found);
    }
    EXPECT_GT(w->capacity(), firstCapacity);
    EXPECT_EQ(r->capacity(), w->capacity());
    EXPECT_EQ(r->buckets(), w->buckets());
    this->expectSameContents(*w, *r);
    auto grown = r->readerCounters();
    EXPECT_GT(grown.resizes, 3u);
    EXPECT_GT(grown.bucketResizes, 5u);
    EXPECT_GT(grown.remapRetries, 3u);

    // Shrink back, reading between removals.
    for (uint64_t k = 1; k <= 1490; ++k) {
        typename TypeParam::Value removed;
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
        bool found = true;
        r->lookup(CounterIndex(k), found, nullptr);
        ASSERT_FALSE(found) << k;
        r->lookup(CounterIndex(1500), found, nullptr);
        ASSERT_TRUE(found) << "after removing " << k;
    }
    EXPECT_LT(w->capacity(), 1500u);
    EXPECT_EQ(r->capacity(), w->capacity());
    EXPECT_EQ(r->buckets(), w->buckets());
    this->expectSameContents(*w, *r);
    const auto shrunk = r->readerCounters();
    EXPECT_GT(shrunk.resizes, grown.resizes);
    EXPECT_GT(shrunk.bucketResizes, grown.bucketResizes);
    EXPECT_TRUE(w->validate(kCinder, false)) << w->lastValidationFailure();
}

// The writer grows (then shrinks) between the calls of one iteration: every key present from
// start to end is returned exactly once, whatever was re-mapped in between.
TYPED_TEST(VeskReaderTyped, AnIterationAcrossResizesReturnsEveryLastingKeyOnce) {
    using R = Records<TypeParam>;
    using Value = typename TypeParam::Value;
    auto w = this->startWriter(shrinkingDescriptor(100000));
    auto r = this->startReader();
    for (uint64_t k = 1; k <= 60; ++k)
        w->write(R::make(k, k), true);
    for (int pass = 0; pass < 2; ++pass) {
        const bool growing = pass == 0;
        std::set<uint64_t> seen;
        uint64_t extra = 1000;
        Value v;
        Vesk::IterHint hint;
        const uint64_t remapsBefore = r->readerCounters().remapRetries;
        for (bool more = r->first(v, hint); more; more = r->next(TypeParam::key(v), v, hint)) {
            ASSERT_TRUE(seen.insert(TypeParam::key(v).value()).second)
                << "key " << TypeParam::key(v).value() << " returned twice";
            ASSERT_LT(seen.size(), 10000u);
            // 40 inserts (or removals) between two calls, 2400 in all: several grows (shrinks)
            // per iteration.
            for (int i = 0; i < 40 && extra < 1000 + 2400; ++i, ++extra) {
                if (growing) {
                    w->write(R::make(extra, extra), true);
                } else {
                    Value removed;
                    ASSERT_TRUE(w->remove(CounterIndex(extra), removed));
                }
            }
        }
        for (uint64_t k = 1; k <= 60; ++k)
            EXPECT_EQ(seen.count(k), 1u) << "key " << k << " missed, pass " << pass;
        EXPECT_GT(r->readerCounters().remapRetries, remapsBefore) << "pass " << pass;
    }
}

TYPED_TEST(VeskReaderTyped, AnchorFollowsAMovedMappingAndRefusesAMovedRecord) {
    using R = Records<TypeParam>;
    auto w = this->startWriter(shrinkingDescriptor(100000));
    auto r = this->startReader();
    w->write(R::make(1, 1), true);
    bool found = false;
    r->lookup(CounterIndex(1), found, nullptr);
    ASSERT_TRUE(found);
    // Grow far enough that the reader's mapping moves; record 1 stays where it is.
    for (uint64_t k = 2; k <= 3000; ++k)
        w->write(R::make(k, k), true);
    r->lookup(CounterIndex(2), found, nullptr);
    ASSERT_TRUE(found);
    r->lookup(CounterIndex(1), found, nullptr);
    ASSERT_TRUE(found);
    for (uint64_t k = 2; k <= 3000; ++k)
        w->write(R::make(k, k), true);           // same records: flags of 2.. move, not of 1
    r->lookup(CounterIndex(2), found, nullptr);  // re-map point
    // The last anchor is key 2's and it is current.
    EXPECT_TRUE(r->validateVersionAnchor());
    // Key 3000 lives high in the file: a shrink moves it down, its old slot is released.
    r->lookup(CounterIndex(3000), found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_TRUE(r->validateVersionAnchor());
    for (uint64_t k = 1; k < 3000; ++k) {
        typename TypeParam::Value removed;
        ASSERT_TRUE(w->remove(CounterIndex(k), removed));
    }
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->lookup(CounterIndex(3000), found, nullptr);
    ASSERT_TRUE(found);
    EXPECT_TRUE(r->validateVersionAnchor());
    EXPECT_GT(r->readerCounters().baseChanges + r->readerCounters().resizes, 2u);
}

// ----- slot-level behaviour -----

class SlotReaderTableTest : public ReaderFixture<Simple> {};

TEST_F(SlotReaderTableTest, FirstResizeMapsAndALookasideCopyIsTakenWhole) {
    auto w = startWriter(shrinkingDescriptor(100));
    auto r = startReader();
    auto& table = r->slotTable();
    EXPECT_EQ(table.capacity(), 0u);
    Value out;
    try {
        table.getValue(0, out);
        ADD_FAILURE() << "read of an unmapped slot";
    } catch (const Pimbo::CorruptionDetectedException& e) {
        EXPECT_EQ(e.msg(), "out-of-range index:0 numSlots:0");
    }
    EXPECT_TRUE(table.doResize());
    EXPECT_FALSE(table.doResize());
    EXPECT_EQ(table.capacity(), w->capacity());

    w->write(R::make(4, 40), true);
    // Freeze the writer in the middle of an in-place copy: LOOKASIDE set in the slot, the new
    // record complete in the lookaside slot, the slot's own bytes torn.
    const uint32_t slot = 0;
    const std::string path = slotsPath(*w);
    const auto raw = RawTable::of(*w);
    const uint64_t at = raw.headerSize + uint64_t(slot) * raw.slotSize;
    ASSERT_EQ(raw.slot(slot).key, 4u);
    const Value fresh = R::make(4, 41);
    pwriteAt(path, Off::kLookaside + Off::kValue, &fresh, sizeof(fresh));
    pwriteValue<uint32_t>(path, Off::kLookaside + Off::kRhash, raw.slot(slot).rhash);
    pwriteValue<uint64_t>(path, at + Off::kValue + 8, 0xDEADBEEFDEADBEEFull);
    pwriteValue<uint32_t>(path, at + Off::kFlags, raw.slot(slot).flags + 2);
    const uint64_t before = r->readerCounters().lookasideReads;
    const auto got = table.getValue(slot, out);
    EXPECT_TRUE(Simple::valueEqual(out, fresh));
    EXPECT_EQ(got.flags, raw.slot(slot).flags + 2);
    EXPECT_EQ(got.rhash, raw.slot(slot).rhash);
    EXPECT_EQ(r->readerCounters().lookasideReads, before + 1);
    bool found = false;
    Value buffer;
    r->lookup(CounterIndex(4), found, &buffer);
    EXPECT_TRUE(found);
    EXPECT_TRUE(Simple::valueEqual(buffer, fresh));
}

TEST_F(SlotReaderTableTest, AFileShorterThanItsCountIsCorruptionAndTheOldMappingStays) {
    auto w = startWriter(shrinkingDescriptor(100000));
    auto r = startReader();
    bool found = false;
    r->lookup(CounterIndex(1), found, nullptr);
    const uint32_t mapped = r->capacity();
    for (uint64_t k = 1; k <= 200; ++k)
        w->write(R::make(k, k), true);
    // Cut the file below what the writer's new count needs.
    const std::string path = slotsPath(*w);
    const uint64_t cut = 616 + uint64_t(mapped) * 40;
    ASSERT_EQ(::truncate(path.c_str(), off_t(cut)), 0);
    try {
        r->slotTable().doResize();
        ADD_FAILURE() << "mapped beyond the end of the file";
    } catch (const Pimbo::CorruptionDetectedException& e) {
        EXPECT_EQ(e.msg(),
                  fmt::format("requesting to map {} {} slots. Requested file resize to "
                              "{} but real file size is {}",
                              path, w->capacity(), 616 + uint64_t(w->capacity()) * 40, cut));
    }
    EXPECT_EQ(r->capacity(), mapped);
    // A lookup now meets the same fault on its re-map and reports it.
    EXPECT_THROW(r->lookup(CounterIndex(150), found, nullptr), Pimbo::CorruptionDetectedException);
}

// ----- a re-formatted table (a new generation) -----

class VeskReaderGeneration : public ReaderFixture<Simple> {
  protected:
    // The writer re-formats its files in place under a new cinder id and refills them.
    void reformat(Writer& w, Plinth::CinderId id, bool publish) {
        w.attach(id);
        for (uint64_t k = 500; k < 520; ++k)
            w.write(R::make(k, k), true);
        if (publish)
            publishCinder(id);
    }
};

TEST_F(VeskReaderGeneration, ANewGenerationIsNoticedAndItsKeysAreFound) {
    auto w = startWriter(shrinkingDescriptor(1000));
    auto r = startReader();
    for (uint64_t k = 1; k <= 100; ++k)
        w->write(R::make(k, k), true);
    bool found = false;
    r->lookup(CounterIndex(50), found, nullptr);
    ASSERT_TRUE(found);

    const Plinth::CinderId next(7, 2);
    reformat(*w, next, true);
    // The first call after the re-format already answers from the new generation.
    Value first;
    r->lookup(CounterIndex(510), found, &first);
    EXPECT_TRUE(found);
    EXPECT_TRUE(Simple::valueEqual(first, R::make(510, 510)));
    EXPECT_EQ(r->readerCounters().generationChanges, 1u);
    EXPECT_EQ(r->mountStatus(), 1u);
    EXPECT_EQ(r->cinderId(), next);
    for (uint64_t k = 500; k < 520; ++k) {
        Value buffer;
        r->lookup(CounterIndex(k), found, &buffer);
        ASSERT_TRUE(found) << k;
        EXPECT_TRUE(Simple::valueEqual(buffer, R::make(k, k)));
    }
    r->lookup(CounterIndex(50), found, nullptr);
    EXPECT_FALSE(found);
    expectSameContents(*w, *r);
}

TEST_F(VeskReaderGeneration, WhileTheNewGenerationIsNotPublishedTheReaderIsUnmounted) {
    auto w = startWriter(shrinkingDescriptor(1000));
    auto r = startReader();
    for (uint64_t k = 1; k <= 10; ++k)
        w->write(R::make(k, k), true);
    Value out;
    Vesk::IterHint hint;
    ASSERT_TRUE(r->first(out, hint));

    const Plinth::CinderId next(7, 3);
    reformat(*w, next, false);  // the cinder file still names the old generation
    bool found = true;
    EXPECT_EQ(r->lookup(CounterIndex(505), found, nullptr), &r->defaultValue());
    EXPECT_FALSE(found);
    EXPECT_EQ(r->mountStatus(), 0u);
    EXPECT_FALSE(r->next(CounterIndex(1), out, hint));
    EXPECT_FALSE(r->first(out, hint));
    EXPECT_TRUE(Simple::valueEqual(out, Value{}));
    EXPECT_EQ(r->readerCounters().generationChanges, 1u);

    publishCinder(next);
    Value buffer;
    r->lookup(CounterIndex(505), found, &buffer);
    EXPECT_TRUE(found);
    EXPECT_TRUE(Simple::valueEqual(buffer, R::make(505, 505)));
    EXPECT_EQ(r->mountStatus(), 1u);
    EXPECT_EQ(r->cinderId(), next);
    expectSameContents(*w, *r);
}

TEST_F(VeskReaderGeneration, AChangedHashSeedAloneIsANewGeneration) {
    auto w = startWriter(shrinkingDescriptor(1000));
    auto r = startReader();
    w->write(R::make(1, 1), true);
    bool found = false;
    r->lookup(CounterIndex(1), found, nullptr);
    ASSERT_TRUE(found);
    // Same cinder id, another seed (and a checksum that matches it).
    const std::string path = slotsPath(*w);
    auto raw = RawTable::of(*w);
    const uint32_t seed = raw.seed() ^ 0x5A5A5A5Au;
    pwriteValue<uint32_t>(path, Off::kHashSeed, seed);
    raw = RawTable::of(*w);
    pwriteValue<uint32_t>(path, Off::kHash, headerChecksum(raw.slots));
    // The record now sits in a bucket the new seed does not lead to: the reader may answer
    // "absent" or find the damage, but it hashes with the new seed from now on.
    try {
        r->lookup(CounterIndex(1), found, nullptr);
    } catch (const Pimbo::CorruptionDetectedException&) {
    }
    EXPECT_EQ(r->readerCounters().generationChanges, 1u);
    EXPECT_EQ(r->slotTable().attachedHashSeed(), seed);
}

// ----- hostile bytes -----

// Copies of a valid table's files with random damage (the header checksum recomputed so the
// damage gets past it): the reader refuses, throws a Pimbo exception or answers, and never
// crashes, loops or reads outside its mapping.
TEST(VeskReaderHostile, DamagedFilesNeverCrashOrHang) {
    TestRoot root;
    auto handler = Pimbo::Platform::getDebugHandler("VeskReaderHostile");
    handler->levelMaskIs(0);
    const uint64_t seed = testSeed();
    const uint64_t iterations = envCount("VESK_HOSTILE_ITERATIONS", 3000);
    std::mt19937_64 rng(seed);

    // A valid table that grew and shrank a little, with holes in its chains.
    std::vector<unsigned char> slots, buckets;
    std::vector<uint64_t> keys;
    {
        auto w = attachedWriter<Simple>(shrinkingDescriptor(5000), kCinder, "valid/counter");
        for (uint64_t k = 1; k <= 300; ++k)
            w->write(Records<Simple>::make(k * 3, k), true);
        for (uint64_t k = 1; k <= 300; k += 3) {
            CounterEntrySimple removed;
            w->remove(CounterIndex(k * 3), removed);
        }
        for (const auto& v : iterateAll(*w))
            keys.push_back(v.key().value());
        slots = readFile(slotsPath(*w));
        buckets = readFile(bucketsPath(*w));
    }
    const std::string name = "hostile/counter";
    Mem::RootPath rp(*handler, name, true);
    rp.ensureDirectory();
    Plinth::CinderFile(*handler, rp, true).write(kCinder);
    auto put = [&](const std::string& file, const std::vector<unsigned char>& bytes) {
        std::ofstream out(rp.filePath(file), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };

    uint64_t refused = 0, threw = 0, answered = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        auto s = slots;
        auto b = buckets;
        auto& target = rng() % 3 == 0 ? b : s;
        const uint64_t how = rng() % 4;
        const uint64_t damages = 1 + rng() % 6;
        for (uint64_t d = 0; d < damages; ++d) {
            if (how == 0) {  // random bytes anywhere
                target[rng() % target.size()] = uint8_t(rng());
            } else if (how == 1 || how == 2) {  // plausible words: ids, markers, counts, flags
                const uint64_t word = (rng() % (target.size() / 4)) * 4;
                const uint32_t choices[] = {uint32_t(rng() % 64),
                                            uint32_t(rng() % 1024),
                                            0x80000000u | uint32_t(rng() % 64),
                                            0xFFFFFFFFu,
                                            0x7FFFFFFFu,
                                            1,
                                            uint32_t(rng())};
                const uint32_t v = choices[rng() % 7];
                std::memcpy(&target[word], &v, 4);
            } else {  // a shorter file
                target.resize(rng() % target.size());
                break;
            }
        }
        if (s.size() >= 576) {
            const uint32_t sum = headerChecksum(s);
            std::memcpy(&s[Off::kHash], &sum, 4);
        }
        put("slots", s);
        put("buckets", b);

        Vesk::VeskReader<Simple> r(*handler, name.c_str(), Simple{}, nullptr);
        try {
            if (!r.initialize("hostile")) {
                ++refused;
                continue;
            }
            for (int n = 0; n < 20; ++n) {
                bool found = false;
                const uint64_t k = n % 2 == 0 ? keys[rng() % keys.size()] : rng();
                try {
                    r.lookup(CounterIndex(k), found, nullptr);
                } catch (const Pimbo::Exception&) {
                    ++threw;
                }
            }
            // One full iteration, bounded here: a damaged table may lead next() back to an
            // earlier key, but every single call must return.
            CounterEntrySimple v;
            Vesk::IterHint hint;
            uint64_t steps = 0;
            try {
                for (bool more = r.first(v, hint); more && steps < 4 * keys.size(); ++steps)
                    more = r.next(v.key(), v, hint);
            } catch (const Pimbo::Exception&) {
                ++threw;
            }
            ++answered;
        } catch (const Pimbo::Exception&) {
            ++threw;
        }
    }
    std::printf("hostile files: %llu refused, %llu answered, %llu exceptions\n",
                static_cast<unsigned long long>(refused), static_cast<unsigned long long>(answered),
                static_cast<unsigned long long>(threw));
    // Both the refusal path and the read paths over damaged chains really ran.
    EXPECT_GT(refused, 0u);
    EXPECT_GT(answered, 0u);
    EXPECT_GT(threw, 0u);
}

}  // namespace
