// The reader against a writer on the same files: attach and its refusals, reads across grows,
// shrinks and re-formats, what a reader may touch, and damaged tables every walk must end on.
#include "Mem/Atomics.h"
#include "Plinth/CinderFile.h"
#include "Vesk/Util.h"
#include "Vesk/VeskReader.h"
#include "support/Tables.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using namespace VeskTest;
using Simple = CounterEntrySimpleOps;
using K = Kind<Simple>;
using Value = CounterEntrySimple;

void publishCinder(Plinth::CinderId id, const std::string& name = kTableName) {
    Mem::RootPath rp(*testHandler(), name, true);
    Plinth::CinderFile(*testHandler(), rp, true).write(id);
}

// A writer of a growable table with its files published, and a reader attached to them.
class VeskReader : public ::testing::Test {
  protected:
    void SetUp() override {
        testHandler()->levelMaskIs(0);
        w = attachedWriter<Simple>(shrinkingDescriptor(100000));
        publishCinder(kCinder);
        r = std::make_unique<Vesk::VeskReader<Simple>>(*testHandler(), kTableName, Simple{},
                                                       nullptr);
        ASSERT_TRUE(r->initialize("test"));
    }
    void TearDown() override { testHandler()->levelMaskIs(Pimbo::Platform::defaultLevelMask()); }

    void write(uint64_t from, uint64_t to, uint64_t n = 1) {
        for (uint64_t k = from; k <= to; ++k)
            w->write(K::make(k, n), true);
    }
    void remove(uint64_t from, uint64_t to) {
        Value removed;
        for (uint64_t k = from; k <= to; ++k)
            w->remove(CounterIndex(k), removed);
    }
    bool has(uint64_t key) {
        bool found = false;
        r->lookup(CounterIndex(key), found, nullptr);
        return found;
    }
    // The reader finds exactly what the writer holds, by iteration and by lookup.
    void expectSameContents() {
        const auto expected = iterateAll(*w);
        EXPECT_EQ(iterateAll(*r), expected);
        for (const Value& v : expected) {
            bool found = false;
            Value copy{};
            EXPECT_EQ(r->lookup(v.key(), found, &copy), &copy);
            EXPECT_TRUE(found && copy == v) << v.key().value();
        }
    }

    TestRoot root_;
    std::unique_ptr<Vesk::VeskWriter<Simple>> w;
    std::unique_ptr<Vesk::VeskReader<Simple>> r;
};

// initialize refuses with a reason a caller can act on, and a message naming the table.
TEST_F(VeskReader, RefusalsSayWhyAsAValueAndAtomicsAreRequired) {
    auto set = [](const std::string& file, uint64_t off, uint32_t v) { pwriteValue(file, off, v); };
    const struct {
        const char* table;
        std::function<void(const std::string&)> damage;  // of the table's directory
        const char* failure;
    } cases[] = {
        {"noslots", [](auto& d) { std::filesystem::remove(d + "/slots"); }, "no files yet"},
        {"nocinder", [](auto& d) { std::filesystem::remove(d + "/cinder"); }, "no files yet"},
        {"nodir", [](auto& d) { std::filesystem::remove_all(d); }, "no files yet"},
        {"file",
         [](auto& d) {
             std::filesystem::remove_all(d);
             std::ofstream(d) << "x";
         },
         "not a table"},
        {"short", [](auto& d) { ASSERT_EQ(::truncate((d + "/slots").c_str(), 1), 0); },
         "not a table"},
        {"empty", [](auto& d) { ASSERT_EQ(::truncate((d + "/slots").c_str(), 0), 0); },
         "not a table"},
        {"magic", [&](auto& d) { set(d + "/slots", Off::kMagic, 0); }, "not a table"},
        {"bmagic", [&](auto& d) { set(d + "/buckets", Off::kBucketMagic, 0); }, "not a table"},
        {"version", [&](auto& d) { set(d + "/slots", Off::kVersion, 9); }, "other version"},
        {"bversion", [&](auto& d) { set(d + "/buckets", Off::kBucketVersion, 9); },
         "other version"},
        {"generation", [](auto&) { publishCinder(Plinth::CinderId(9, 9), "generation"); },
         "other generation"},
        {"sgeneration", [&](auto& d) { set(d + "/slots", Off::kCinder, 99); }, "other generation"},
        {"checksum", [&](auto& d) { set(d + "/slots", Off::kMaxSlots, 5); }, "corrupt"},
        {"bcount", [&](auto& d) { set(d + "/buckets", Off::kNumBuckets, 3); }, "corrupt"},
        {"untrusted", [](auto& d) { ASSERT_EQ(::chmod(d.c_str(), 0777), 0); },
         "untrusted directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        attachedWriter<Simple>(shrinkingDescriptor(100), kCinder, c.table);
        publishCinder(kCinder, c.table);
        c.damage(root_.path(c.table));
        Vesk::VeskReader<Simple> refused(*testHandler(), c.table, Simple{}, nullptr);
        EXPECT_FALSE(refused.initialize("refused"));
        EXPECT_STREQ(Vesk::attachFailureText(refused.attachFailure()), c.failure);
        EXPECT_NE(refused.attachFailureMessage().find(root_.path(c.table)), std::string::npos)
            << refused.attachFailureMessage();
    }
    // A refused generation or record type goes into the marker of a table the reader owns
    // (Normal has the sizes of Simple: only the type name tells them apart).
    Vesk::VeskReader<CounterEntryNormalOps> normal(*testHandler(), kTableName, {}, nullptr);
    EXPECT_FALSE(normal.initialize("wrong type"));
    EXPECT_STREQ(Vesk::attachFailureText(normal.attachFailure()), "other record type");
    for (const auto& [table, says] :
         {std::pair("generation", "bad bucket cinder:7:1 wanted:9:9"),
          {kTableName,
           "bad valueType:DravoCounters::FlexCounters2::CounterEntrySimple "
           "expecting:DravoCounters::FlexCounters2::CounterEntryNormal"}}) {
        const auto marker = readFile(root_.path(table) + "/" + Vesk::Util::kCorruptionFileName);
        EXPECT_EQ(std::string(marker.begin(), marker.end()).rfind(says, 0), 0u) << table;
    }

    Mem::Atomics::simulateMissingSupportIs(true);
    Vesk::VeskReader<Simple> noAtomics(*testHandler(), kTableName, Simple{}, nullptr);
    EXPECT_EQ(
        thrown<Pimbo::InvalidInitializeException>([&] { noAtomics.initialize("no atomics"); }),
        "Hardware does not support Atomics");
    Mem::Atomics::simulateMissingSupportIs(false);
    EXPECT_TRUE(noAtomics.initialize("atomics back"));
    EXPECT_TRUE(noAtomics.initialize("attached already"));
}

// Lookups hit and miss; the anchor vouches only for the record returned last, wherever the
// mapping moved; next finds the successor whatever the hint.
TEST_F(VeskReader, LookupsNextAndTheAnchorAcrossGrowsAndShrinks) {
    Value out = K::make(99, 99);
    Vesk::IterHint hint;
    EXPECT_FALSE(r->first(out, hint));
    EXPECT_EQ(out, Value{});
    write(1, 40);
    expectSameContents();
    // Found without a buffer: the reader's scratch value, vouched for by the anchor.
    bool found = false;
    EXPECT_EQ(r->lookup(CounterIndex(21), found, nullptr), &r->scratch());
    EXPECT_TRUE(found && r->scratch() == K::make(21, 1));
    EXPECT_TRUE(r->validateVersionAnchor());
    // A miss: the zero record, and no record vouched for.
    Value buffer = K::make(5, 5);
    EXPECT_EQ(r->lookup(CounterIndex(80), found, &buffer), &r->defaultValue());
    EXPECT_FALSE(found);
    EXPECT_EQ(buffer, Value{});
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    // An overwrite and a removal after a lookup: the anchor no longer vouches for the copy.
    ASSERT_TRUE(has(14));
    write(14, 14, 1234);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->lookup(CounterIndex(14), found, &buffer);
    EXPECT_EQ(buffer, K::make(14, 1234));
    remove(14, 14);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    EXPECT_FALSE(has(14));

    // next from a hint taken at another record, after a removed key, at the end.
    const auto order = iterateAll(*w);
    ASSERT_TRUE(r->first(out, hint));
    for (size_t i = 2; i + 1 < order.size(); ++i) {
        Vesk::IterHint at = hint;
        ASSERT_TRUE(r->next(order[i].key(), out, at));
        EXPECT_EQ(out, order[i + 1]) << i;
    }
    remove(order[10].key().value(), order[10].key().value());
    ASSERT_TRUE(r->next(order[10].key(), out, hint));
    EXPECT_EQ(out, order[11]);
    EXPECT_FALSE(r->next(order.back().key(), out, hint));
    EXPECT_GT(r->readerCounters().slowPaths, 0u);

    // Grown so far that the reader's mapping moves; record 1 stays where it is.
    write(41, 3000);
    ASSERT_TRUE(has(1));
    EXPECT_TRUE(r->validateVersionAnchor());
    // Key 3000 lives high in the file: a shrink moves it down and releases its old slot.
    ASSERT_TRUE(has(3000));
    remove(1, 2999);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    ASSERT_TRUE(has(3000));
    EXPECT_TRUE(r->validateVersionAnchor());
    EXPECT_GT(r->readerCounters().baseChanges, 0u);
    expectSameContents();
    // Detached, twice: the anchor's mapping is gone (refused, never read), lookups say "absent".
    r->detach(false);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->detach(false);
    EXPECT_FALSE(has(3000));
    ASSERT_TRUE(r->initialize("again"));
    EXPECT_TRUE(has(3000));
}

// A slot file cut below the count its header gives: the re-map refuses naming both sizes, the old
// mapping stays, and a lookup that needs the re-map reports it.
TEST_F(VeskReader, AFileShorterThanItsCountIsRefusedAndTheOldMappingStays) {
    using T = Vesk::SlotTable<Simple>;
    has(1);
    const uint32_t mapped = r->capacity();
    write(1, 200);
    const std::string path = slotsPath(*w);
    const uint64_t cut = T::headerSize + uint64_t(mapped) * T::slotSize;
    ASSERT_EQ(::truncate(path.c_str(), off_t(cut)), 0);
    EXPECT_EQ(thrown<Pimbo::CorruptionDetectedException>([&] { r->slotTable().doResize(); }),
              fmt::format(
                  "requesting to map {} {} slots. Requested file resize to {} but real file "
                  "size is {}",
                  path, w->capacity(), T::headerSize + uint64_t(w->capacity()) * T::slotSize, cut));
    EXPECT_EQ(r->capacity(), mapped);
    EXPECT_THROW(has(150), Pimbo::CorruptionDetectedException);
}

// A re-format under a new cinder id: unpublished, the reader is unmounted and answers "absent";
// then it answers from the new generation alone. A changed hash seed alone is one too.
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

    const uint32_t seed = RawTable::of(*w).seed() ^ 0x5A5A5A5Au;
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHashSeed, seed);
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHash, headerChecksum(RawTable::of(*w).slots));
    // The records sit where the new seed does not lead: "absent" or damage, but the new seed.
    thrown<Pimbo::CorruptionDetectedException>([&] { has(505); });
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
    // The cache anchor says where the copied record lives (its flags, the rhash, the record).
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
using UnprivilegedReaderProcess = VeskReader;
TEST_F(UnprivilegedReaderProcess, AttachesToReadableFilesAndIsRefusedByOthersSayingWhy) {
    const struct {
        mode_t slots, buckets;
        const char* named;  // the file a refusal names; "": attached
    } cases[] = {
        {0644, 0644, ""}, {0600, 0600, "buckets"}, {0600, 0644, "slots"}, {0644, 0600, "buckets"}};
    write(1, 50);
    for (const auto& c : cases) {
        ASSERT_EQ(::chmod(slotsPath(*w).c_str(), c.slots), 0);
        ASSERT_EQ(::chmod(bucketsPath(*w).c_str(), c.buckets), 0);
        Child nobody(
            [&](Child& self) {
                Vesk::VeskReader<Simple> r(*testHandler(), kTableName, Simple{}, nullptr);
                const bool attached = r.initialize("nobody");
                self.send(fmt::format("attached:{} failure:{} same:{}\n{}", attached,
                                      Vesk::attachFailureText(r.attachFailure()),
                                      attached && iterateAll(r) == iterateAll(*w),
                                      r.attachFailureMessage()));
                return 0;
            },
            Child::As::nobody);
        const std::string said = nobody.receive();
        if (nobody.wait() == Child::kSkip)
            GTEST_SKIP() << said;
        EXPECT_EQ(said, *c.named ? "attached:false failure:permission denied same:false"
                                 : "attached:true failure: same:true");
        const std::string named =
            *c.named ? root_.path(std::string(kTableName) + "/" + c.named) : "";
        EXPECT_NE(nobody.rest().find(named), std::string::npos);
    }
}

// ----- damaged files: every walk ends, naming the damage -----

// Records a, b, c follow each other in one bucket's chain; one word is damaged under an attached
// reader. A lookup of c, a hintless next after b and a full iteration each end naming the damage
// (null: not checked); a walk that never ends hangs the child, which the bounded wait catches.
TEST(ReaderDamageProcess, EveryWalkOverADamagedTableEndsNamingTheDamage) {
    using W = Vesk::VeskWriter<Simple>;
    struct Table {
        W& w;
        std::vector<RawSlot> list;  // the records in list order; a is list[a]
        size_t a = 0;
        void set(size_t i, uint64_t field, uint32_t v) {
            pwriteValue(slotsPath(w), slotOffset<W>(list[i].id, field), v);
        }
        uint32_t bucket(size_t i) const { return w.hashKeyValue(list[i].key) % w.buckets(); }
        // The link that ends the table (the last bucket's or its last record's) leads to bucket 0.
        void endAtFirst() {
            const RawTable raw = RawTable::of(w);
            const uint32_t last = raw.numBuckets() - 1;  // last in bucket order too
            if (raw.bucketNext(last) == kEnd)
                pwriteValue(bucketsPath(w), Off::kBuckets + 8u * last + 4, kMarker);
            else
                pwriteValue(slotsPath(w), slotOffset<W>(list.back().id, Off::kLinkNext), kMarker);
        }
    };
    const char *cycle = "hash chain cycle detected", *back = "iteration went back";
    const struct {
        const char* name;
        std::function<void(Table&)> damage;
        const char *lookup, *next = lookup, *iteration = next;  // what each walk says
    } cases[] = {
        {"b links back to a", [](Table& t) { t.set(t.a + 1, Off::kLinkNext, t.list[t.a].id); },
         cycle, cycle, back},
        {"b links to itself", [](Table& t) { t.set(t.a + 1, Off::kLinkNext, t.list[t.a + 1].id); },
         cycle, cycle, back},
        {"b links beyond the slots", [](Table& t) { t.set(t.a + 1, Off::kLinkNext, 0x7FFFFFF0u); },
         "out-of-range index"},
        {"b is free", [](Table& t) { t.set(t.a + 1, Off::kFlags, 4u); }, "not marked as occupied"},
        {"b leads to its own bucket",
         [](Table& t) { t.set(t.a + 1, Off::kLinkNext, kMarker | t.bucket(t.a)); },
         "with next bucket"},
        {"the end of the table leads to the first bucket", [](Table& t) { t.endAtFirst(); },
         nullptr, nullptr, back},
        {"an empty table whose end leads to the first bucket",
         [](Table& t) {
             CounterEntrySimple removed;
             for (const RawSlot& s : t.list)
                 t.w.remove(CounterIndex(s.key), removed);
             t.endAtFirst();
         },
         nullptr, nullptr, "bucket cycle detected"},
    };
    Child child([&](Child& self) {
        testHandler()->levelMaskIs(0);
        for (const auto& c : cases) {
            TestRoot root;
            auto w = attachedWriter<Simple>(Vesk::MapDescriptor(1000));
            publishCinder(kCinder);
            for (uint64_t k = 1; k <= 200; ++k)
                w->write(Kind<Simple>::make(k, 1), true);
            Table t{*w, {}};
            for (const auto& v : iterateAll(*w))  // list order
                t.list.push_back(
                    RawSlot{slotIdOf(*w, v.key().value()), 0, 0, 0, 0, v.key().value(), {}});
            while (t.a + 2 < t.list.size() && t.bucket(t.a) != t.bucket(t.a + 2))
                ++t.a;
            if (t.a + 2 >= t.list.size())
                return 1;
            Vesk::VeskReader<Simple> r(*testHandler(), kTableName, Simple{}, nullptr);
            r.initialize("damaged");
            const uint64_t b = t.list[t.a + 1].key, c3 = t.list[t.a + 2].key;
            c.damage(t);
            CounterEntrySimple v;
            bool found = false;
            Vesk::IterHint hint;
            // "" when the walk ends saying `expected`, else what it said.
            auto walk = [](const char* expected, const std::function<void()>& f) {
                const std::string said = thrown<Pimbo::CorruptionDetectedException>(f);
                return !expected || said.find(expected) != std::string::npos ? "" : " " + said;
            };
            std::string said =
                c.name + walk(c.lookup, [&] { r.lookup(CounterIndex(c3), found, nullptr); });
            said += walk(c.next, [&] { r.next(CounterIndex(b), v, hint); });
            self.send(said + walk(c.iteration, [&] {
                          for (bool more = r.first(v, hint); more;
                               more = r.next(v.key(), v, hint)) {
                          }
                      }));
        }
        return 0;
    });
    for (const auto& c : cases)
        ASSERT_EQ(child.receive(), c.name) << "a walk never ended, or ended saying something else";
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
