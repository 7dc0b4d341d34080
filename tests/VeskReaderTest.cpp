// The reader against a writer on the same files: attach and its refusals, reads across grows,
// shrinks and re-formats, what a reader may touch, and damaged tables every walk must end on.
#include "Mem/Atomics.h"
#include "Plinth/CinderFile.h"
#include "Vesk/VeskReader.h"
#include "VeskBase/Util.h"
#include "support/Damage.h"

#include <signal.h>
#include <sys/stat.h>

#include <functional>

namespace {

using namespace VeskTest;
using Simple = CounterEntrySimpleOps;
using K = Kind<Simple>;
using Value = CounterEntrySimple;
using Corrupt = Pimbo::CorruptionDetectedException;

// A started writer of a growable table, and a reader attached to its files.
class VeskReader : public ::testing::Test {
  protected:
    void SetUp() override {
        testHandler()->levelMaskIs(0);
        w = makeWriter<Simple>(shrinkingDescriptor(100000));
        ASSERT_TRUE(w->initialize("test"));
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
    // lookupMany of the keys from..to (every step-th) finds `hits` of them and answers each as a
    // single lookup does.
    void expectBatchAsSingle(uint64_t from, uint64_t to, uint64_t step, size_t hits) {
        std::vector<CounterIndex> keys;
        for (uint64_t k = from; k <= to; k += step)
            keys.push_back(CounterIndex(k));
        std::vector<Value> out(keys.size(), K::make(7, 7));
        std::unique_ptr<bool[]> found(new bool[keys.size()]);
        EXPECT_EQ(r->lookupMany(keys.data(), keys.size(), out.data(), found.get()), hits);
        for (size_t i = 0; i < keys.size(); ++i) {
            bool one = false;
            Value single{};
            r->lookup(keys[i], one, &single);
            EXPECT_TRUE(found[i] == one && out[i] == single) << keys[i].value();
        }
    }
    // The reader finds exactly what the writer holds, by iteration and by lookup.
    void expectSameContents() {
        const auto expected = iterateAll(*w);
        EXPECT_EQ(iterateAll(*r), expected);
        for (const Value& v : expected) {
            bool found = false;
            Value copy{};
            EXPECT_TRUE(r->lookup(v.key(), found, &copy) == &copy && found && copy == v)
                << v.key().value();
        }
    }

    TestRoot root_;
    std::unique_ptr<Vesk::VeskWriter<Simple>> w;
    std::unique_ptr<Vesk::VeskReader<Simple>> r;
};

// Lookups hit and miss; the anchor vouches only for the record returned last, wherever the
// mapping moved; next finds the successor whatever the hint. Detached, it attaches again only
// where the hardware has atomics.
TEST_F(VeskReader, AcrossGrowsAndShrinks) {
    Value out = K::make(99, 99);
    Vesk::IterHint hint;
    EXPECT_TRUE(!r->first(out, hint) && out == Value{}) << "the empty table";
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
    EXPECT_TRUE(!found && buffer == Value{});
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

    // Grown so far that the reader's mapping moves; a record read before stays where it is (the
    // successor of the removed one: the order depends on the table's random hash seed).
    write(41, 3000);
    ASSERT_TRUE(has(order[11].key().value()) && r->validateVersionAnchor());
    // Key 3000 lives high in the file: a shrink moves it down and releases its old slot.
    ASSERT_TRUE(has(3000));
    remove(1, 2999);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    ASSERT_TRUE(has(3000) && r->validateVersionAnchor());
    EXPECT_GT(r->readerCounters().baseChanges, 0u);
    expectSameContents();
    // Detached, twice: the anchor's mapping is gone (refused, never read), lookups say "absent".
    r->detach(false);
    EXPECT_THROW(r->validateVersionAnchor(), Mem::VersionMismatchException);
    r->detach(false);
    EXPECT_FALSE(has(3000));
    Mem::Atomics::simulateMissingSupportIs(true);
    EXPECT_EQ(thrown<Pimbo::InvalidInitializeException>([&] { r->initialize("no atomics"); }),
              "Hardware does not support Atomics");
    Mem::Atomics::simulateMissingSupportIs(false);
    ASSERT_TRUE(r->initialize("again") && r->initialize("attached already: a no-op"));
    EXPECT_TRUE(has(3000));
}

// A slot-order scan visits each record once: in slot order while nothing moved (a grow moves
// nothing, and its new slots are scanned too), in table order after a shrink moved records, a
// shrink was seen under way (an odd numSlots version) or the table was re-formatted; keys it
// visited before are not visited again. Each change lands while the first stretch is visited.
TEST_F(VeskReader, ScanVisitsEachRecordOnce) {
    struct Case {
        const char* name;
        std::function<void()> during;
        bool tableOrder;
        uint64_t from, to;  // keys present during the whole scan
    };
    const Plinth::CinderId next(9, 3);
    const Case cases[] = {
        {"unchanged", [] {}, false, 1, 1000},
        {"a grow", [&] { write(1001, 1100); }, false, 1, 1100},
        {"a shrink", [&] { remove(1, 900); }, true, 901, 1000},
        {"a shrink under way",
         [&] {
             const auto version = rd<uint32_t>(RawTable::of(*w).slots, Off::kNumSlotsVersion);
             pwriteValue<uint32_t>(slotsPath(*w), Off::kNumSlotsVersion, version + 1);
         },
         true, 1, 1000},
        {"a re-format",
         [&] {
             w->attach(next);
             write(1, 1000, 2);
             Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(next);
         },
         true, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(w->initialize("test"));
        remove(1, 2000);
        write(1, 1000);
        const auto before = r->counters();
        std::map<uint64_t, int> visited;
        bool first = true;
        const Vesk::ScanResult result = r->scan([&](const Value& v) {
            EXPECT_TRUE(K::selfCheck(v)) << v.key().value();
            ++visited[v.key().value()];
            if (std::exchange(first, false))
                c.during();
        });
        EXPECT_EQ(result.tableOrder, c.tableOrder);
        EXPECT_EQ(r->counters().scanFallbacks - before.scanFallbacks, c.tableOrder ? 1u : 0u);
        EXPECT_EQ(result.records, visited.size());
        for (const auto& [key, times] : visited)
            EXPECT_EQ(times, 1) << "key " << key << " visited twice";
        for (uint64_t k = c.from; k <= c.to && c.to != 0; ++k)
            EXPECT_EQ(visited.count(k), 1u) << "key " << k << " missed";
        EXPECT_EQ(r->counters().generationChanges - before.generationChanges, c.to == 0 ? 1u : 0u);
    }
    // The writer's record count is only a hint: one far beyond the file sizes nothing.
    pwriteValue<uint32_t>(slotsPath(*w), Off::kOccupied, 0xFFFFFFF0u);
    EXPECT_EQ(r->scan([](const Value&) {}).records, 1000u);
    // Many lookups in one call answer as single lookups do: hits, misses, more than one group.
    expectBatchAsSingle(990, 1040, 1, 11);
}

// On a table whose buckets outgrow the caches the lookups of one call overlap their memory
// accesses, and the table-order walk asks for the lines of the chains ahead of it; both still
// answer as on a small table, with empty buckets and long chains among those ahead.
TEST_F(VeskReader, LargeTable) {
    write(1, 40000);
    ASSERT_TRUE(has(40000));  // the reader maps the new bucket count
    ASSERT_GE(r->buckets(), 1u << 15);
    expectBatchAsSingle(39001, 40500, 3, 334);
    remove(5000, 15000);
    write(60000, 62000);
    ASSERT_TRUE(has(62000));
    ASSERT_GE(r->buckets(), 1u << 15);
    expectSameContents();
    // Re-formatted under the reader (a new hash seed): the call's first lookup re-attaches,
    // and the keys after it are found with the new seed, not the one they were hashed with.
    const Plinth::CinderId next(7, 2);
    w->attach(next);
    write(1, 40000);
    Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(next);
    expectBatchAsSingle(39001, 40500, 3, 334);
    EXPECT_EQ(r->cinderId(), next);
}

// A slot file cut below the count its header gives: the re-map refuses naming both sizes, the old
// mapping stays, and a lookup that needs the re-map reports it.
TEST_F(VeskReader, ShortFileRefused) {
    using T = Vesk::SlotTable<Simple>;
    has(1);
    const uint32_t mapped = r->capacity();
    write(1, 200);
    const std::string path = slotsPath(*w);
    const uint64_t cut = T::headerSize + uint64_t(mapped) * T::slotSize;
    ASSERT_EQ(::truncate(path.c_str(), off_t(cut)), 0);
    EXPECT_EQ(thrown<Corrupt>([&] { r->slotTable().doResize(); }),
              fmt::format(
                  "requesting to map {} {} slots. Requested file resize to {} but real file "
                  "size is {}",
                  path, w->capacity(), T::headerSize + uint64_t(w->capacity()) * T::slotSize, cut));
    EXPECT_EQ(r->capacity(), mapped);
    EXPECT_THROW(has(150), Corrupt);
}

// A slot or bucket file cut short under a mapped reader: each read that meets the lost pages
// ends naming the file, never with SIGBUS, and once the file is whole again the next read
// attaches anew and answers.
TEST_F(VeskReader, FileCutShort) {
    write(1, 500);
    Value v;
    Vesk::IterHint hint;
    CounterIndex keys[] = {CounterIndex(3), CounterIndex(250)};
    Value out[2];
    bool found[2];
    const struct {
        const char* file;
        std::function<void()> read;
    } cases[] = {
        {"slots", [&] { has(250); }},
        {"slots", [&] { r->first(v, hint); }},
        {"slots", [&] { r->scan([](const Value&) {}); }},
        {"slots", [&] { r->members(); }},
        {"slots", [&] { r->lookupMany(keys, 2, out, found); }},
        {"buckets", [&] { has(250); }},
        {"buckets", [&] { r->first(v, hint); }},
    };
    for (const auto& c : cases) {
        const std::string path = root_.path(kTableName) + "/" + c.file;
        ASSERT_TRUE(has(250));
        const std::vector<unsigned char> whole = readFile(path);
        ASSERT_EQ(::truncate(path.c_str(), 0), 0);
        Vesk::AttachFailure reason = Vesk::AttachFailure::none;
        try {
            c.read();
        } catch (const Vesk::TableUnreadableException& e) {
            reason = e.reason();
            EXPECT_EQ(e.msg(), path +
                                   " shrank under the reader (another process cut the file "
                                   "short)");
        }
        EXPECT_EQ(reason, Vesk::AttachFailure::fileShrank) << c.file;
        pwriteAt(path, 0, whole.data(), whole.size());
        EXPECT_TRUE(has(250) && r->members() == 500) << c.file;
    }
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
    EXPECT_TRUE(!has(505) && r->mountStatus() == 0 && !r->next(CounterIndex(1), out, hint) &&
                !r->first(out, hint))
        << "the unpublished generation was read";
    Plinth::CinderFile(*testHandler(), w->rootPath(), true).write(next);
    EXPECT_TRUE(has(505));
    EXPECT_EQ(r->cinderId(), next);
    EXPECT_FALSE(has(50));
    expectSameContents();

    const uint32_t seed = RawTable::of(*w).seed() ^ 0x5A5A5A5Au;
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHashSeed, seed);
    pwriteValue<uint32_t>(slotsPath(*w), Off::kHash, headerChecksum(RawTable::of(*w).slots));
    // The records sit where the new seed does not lead: "absent" or damage, but the new seed.
    thrown<Corrupt>([&] { has(505); });
    EXPECT_EQ(r->slotTable().attachedHashSeed(), seed);
}

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
    (void)*static_cast<volatile const char*>(base + mapped - 1);
    volatile const char* guard = base + (mapped + page - 1) / page * page;
    EXPECT_FAULTS((void)*guard);
}

// A reader as uid 65534 on files of these modes.
using UnprivilegedReaderProcess = VeskReader;
TEST_F(UnprivilegedReaderProcess, ReadableOrRefusedSayingWhy) {
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
        EXPECT_NE(nobody.rest().find(*c.named ? root_.path(kTableName) + "/" + c.named : ""),
                  std::string::npos);
    }
}

// A table on a tmpfs that hands out 2 MiB pages (mounted with huge=always): a writer
// preallocated for its records fills them without a grow, a reader finds the same records, and
// both map the slot file on a 2 MiB boundary, where the kernel can map its pages whole.
TEST(HugePageRootProcess, SharedOnHugeTmpfs) {
    Child child([](Child& c) {
        std::string why;
        if (!privateTmpfs("32m,huge=always", why)) {
            c.send(why);
            return Child::kSkip;
        }
        constexpr uint32_t kRecords = 100000;  // 4 MB of slots
        Vesk::MapDescriptor d(kRecords);
        d.capacityHint = kRecords;
        auto w = makeWriter<Simple>(d);
        w->initialize("huge");
        for (uint64_t k = 0; k < kRecords; ++k)
            w->write(K::make(k, 1), true);
        Vesk::VeskReader<Simple> r(*testHandler(), kTableName, Simple{}, nullptr);
        const bool attached = r.initialize("huge");
        uint32_t found = 0;
        for (uint64_t k = 0; attached && k < kRecords; ++k) {
            bool hit = false;
            Value copy{};
            r.lookup(CounterIndex(k), hit, &copy);
            found += hit && copy == K::make(k, 1);
        }
        auto aligned = [](const void* p) { return reinterpret_cast<uintptr_t>(p) % (2 << 20); };
        c.send(fmt::format("same:{} found:{} grows:{} misaligned:{} {}",
                           attached && iterateAll(r) == iterateAll(*w), found,
                           w->writerCounters().slotGrows + w->writerCounters().bucketGrows,
                           aligned(w->slotTable().header()), aligned(r.slotTable().header())));
        return 0;
    });
    const std::string said = child.receive();
    const int rc = child.wait();
    if (rc == Child::kSkip)
        GTEST_SKIP() << "no huge=always tmpfs here: " << said;
    EXPECT_EQ(rc, 0) << child.rest();
    EXPECT_EQ(said, "same:true found:100000 grows:0 misaligned:0 0");
}

// ----- damaged files: attach refuses, or every walk ends, naming the damage -----

// Each kind of damage (support/Damage.h) in a fresh table: attach refuses it saying why and naming
// the table (a damaged header also as the validation names it, in the corruption marker too), or
// a lookup of the probe, a hintless next after it and a whole iteration each end, naming the
// damage where the kind says. In a child: a walk that never ends hangs it, the bounded wait
// reports that.
TEST(ReaderDamageProcess, AttachOrWalksName) {
    expectEveryKind(
        [](const DamageKind&) { return true; },
        [](const DamageKind& kind, DamagedTable& d) {
            Vesk::VeskReader<Simple> r(*testHandler(), kTableName, Simple{}, nullptr);
            const bool attached = r.initialize("damaged");
            std::string differed = d.differs("attach", Vesk::attachFailureText(r.attachFailure()),
                                             kind.refusal != nullptr ? kind.refusal : "");
            if (!attached) {
                const auto marker = kind.validation != nullptr
                                        ? readFile(d.file(Vesk::Util::kCorruptionFileName))
                                        : std::vector<unsigned char>{};
                return differed + d.differs("refusal", r.attachFailureMessage(), d.dir.c_str()) +
                       d.differs("refusal", r.attachFailureMessage(), kind.validation) +
                       d.differs("marker", std::string(marker.begin(), marker.end()),
                                 kind.validation);
            }
            Value v;
            bool found = false;
            Vesk::IterHint hint;
            return differed +
                   d.differs("lookup", thrown<Corrupt>([&] {
                                 r.lookup(CounterIndex(d.probe), found, nullptr);
                             }),
                             kind.reader.walk) +
                   d.differs("next",
                             thrown<Corrupt>([&] { r.next(CounterIndex(d.probe), v, hint); }),
                             kind.reader.walk) +
                   d.differs("iteration", thrown<Corrupt>([&] {
                                 for (bool more = r.first(v, hint); more;
                                      more = r.next(v.key(), v, hint)) {
                                 }
                             }),
                             kind.reader.iteration);
        });
}

// Each walk names a damage in its own words, and a slot-order scan checks what it copied as a
// walk does: a lookup, a first, next (after the probe, without a hint: the slow path; from the
// record before the damage: the fast path) and a scan.
TEST(ReaderDamageProcess, EachWalkNamesTheDamage) {
    using W = DamagedTable::Writer;
    // Records of bucket 1 of 4, the one at `at` ({0} its slot) given a key of bucket 2; the
    // walks look for the last.
    auto keyOfBucket2 = [](size_t records, size_t at) {
        return [=](DamagedTable& d) {
            const auto keys = d.chain(1, 4, records);
            // A whole record of bucket 2 (key and rhash): the walks place records by rhash.
            d.n[0] = d.slot(keys[at]);
            const uint64_t stray = keysInBucket(*d.w, 2, 4, 1)[0];
            d.setSlots(slotOffset<W>(uint32_t(d.n[0]), Off::kValue), stray);
            d.setSlots(slotOffset<W>(uint32_t(d.n[0]), Off::kRhash),
                       Pimbo::Util::reverse(d.w->hashKeyValue(stray)));
            d.probe = keys.back();
        };
    };
    const struct {
        const char* what;
        std::function<void(DamagedTable&)> damage;
        const char *lookup, *next, *iteration, *scan;
    } cases[] = {
        {"a key of another bucket mid-chain", keyOfBucket2(3, 1), "bucketIndex:1", "bucketIndex 1",
         "bucketIndex 1", ""},
        {"a key of another bucket first in its chain", keyOfBucket2(2, 0), nullptr, nullptr,
         "corrupt key detected, key:", ""},
        {"a linked record not occupied",
         firstOfTwo([](auto& d, uint32_t id) { d.flags(id, 0, Vesk::OCCUPIED); }),
         "slot:{0} not marked as occupied key:", "slow-path slot:{0} not marked as occupied key:",
         "slot:{0} not marked as occupied key:", ""},
        {"LOOKASIDE left set", stuckLookaside(11), nullptr, nullptr,
         "slot:{1} has LOOKASIDE set (flags {0:#x}) but the lookaside slot holds key:",
         "slot:{1} has LOOKASIDE set (flags {0:#x}) but the lookaside slot holds key:"},
    };
    Child child([&](Child& self) {
        for (const auto& c : cases) {
            TestRoot root;
            DamagedTable d(DamageKind{.what = c.what, .damage = c.damage});
            Vesk::VeskReader<Simple> r(*testHandler(), kTableName, Simple{}, nullptr);
            Value v;
            bool found = false;
            Vesk::IterHint hint;
            const std::string differed =
                !r.initialize("texts")
                    ? "no attach"
                    : d.differs("lookup", thrown<Corrupt>([&] {
                                    r.lookup(CounterIndex(d.probe), found, nullptr);
                                }),
                                c.lookup) +
                          d.differs("next", thrown<Corrupt>([&] {
                                        r.next(CounterIndex(d.probe), v, hint);
                                    }),
                                    c.next) +
                          d.differs("iteration", thrown<Corrupt>([&] { iterateAll(r); }),
                                    c.iteration) +
                          d.differs("scan", thrown<Corrupt>([&] { r.scan([](const Value&) {}); }),
                                    c.scan);
            self.send(differed.empty() ? "ok" : differed);
        }
        return 0;
    });
    for (const auto& c : cases)
        EXPECT_EQ(child.receive(), "ok") << c.what;
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
