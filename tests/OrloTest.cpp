// Tests of the entity-runtime stand-in: text parsing and formatting, the key hash, and
// intrusive reference counting.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <bit>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "Orlo/Exception.h"
#include "Orlo/Hash.h"
#include "Orlo/Ptr.h"
#include "Orlo/String.h"
#include "Orlo/Text.h"

namespace {

using Orlo::String;
using ull = unsigned long long;
constexpr ull kMaxU64 = std::numeric_limits<ull>::max();

// Runs f and returns the message of the exception E it throws; fails the test otherwise.
template <class E, class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        EXPECT_STREQ(e.what(), e.msg().c_str());
        return e.msg();
    }
    ADD_FAILURE() << "expected an exception";
    return {};
}

// ---------------------------------------------------------------------------------------------
// Text

TEST(OrloText, UnsignedStrepRoundTripsAtTheLimits) {
    for (ull value : {0ull, 1ull, 9ull, 10ull, 4294967296ull, kMaxU64 - 1, kMaxU64}) {
        const String strep = Orlo::valueToStrep(value);
        auto it = strep.begin();
        EXPECT_EQ(Orlo::deserializeAttr<ull>(it, strep.end(), "n"), value) << strep;
        EXPECT_TRUE(it == strep.end()) << strep;
        EXPECT_EQ(Orlo::strepToValue(strep, static_cast<ull*>(nullptr)), value);
    }
    EXPECT_EQ(Orlo::valueToStrep(kMaxU64), String("18446744073709551615"));
    EXPECT_EQ(Orlo::valueToStrep(0), String("0"));
    EXPECT_EQ(Orlo::strepToValue<ull>("007", nullptr), 7u);
}

TEST(OrloText, NumberStopsAtFirstNonDigit) {
    const String s("123, 'octets': 4");
    auto it = s.begin();
    EXPECT_EQ(Orlo::deserializeAttr<ull>(it, s.end(), "packets"), 123u);
    EXPECT_EQ(it - s.begin(), 3);
    uint64_t asU64 = 0;  // uint64_t is a different type from unsigned long long on LP64
    Orlo::needString(it, s.end(), ", 'octets': ");
    asU64 = Orlo::deserializeAttr<uint64_t>(it, s.end(), "octets");
    EXPECT_EQ(asU64, 4u);
}

TEST(OrloText, NumberBeyond64BitsIsRangeErrorNamingAttribute) {
    for (const char* text : {"18446744073709551616", "18446744073709551620",
                             "99999999999999999999999999", "100000000000000000000"}) {
        const String s(text);
        auto it = s.begin();
        const std::string msg = messageOf<Orlo::RangeException>(
            [&] { Orlo::deserializeAttr<ull>(it, s.end(), "packets"); });
        EXPECT_NE(msg.find("'packets'"), std::string::npos) << msg;
        EXPECT_NE(msg.find(text), std::string::npos) << msg;
        EXPECT_TRUE(it == s.begin()) << "a failed read must not move the iterator";
    }
}

TEST(OrloText, MissingDigitsIsParseErrorNamingAttribute) {
    for (const char* text : {"", "x1", "-1", " 1", "+1"}) {
        const String s(text);
        auto it = s.begin();
        const std::string msg = messageOf<Orlo::ParseException>(
            [&] { Orlo::deserializeAttr<ull>(it, s.end(), "octets"); });
        EXPECT_NE(msg.find("'octets'"), std::string::npos) << msg;
        EXPECT_TRUE(it == s.begin());
    }
}

TEST(OrloText, NeedStringConsumesExactlyTheLiteral) {
    const String s("'key': 7");
    auto it = s.begin();
    Orlo::needString(it, s.end(), "'key': ");
    EXPECT_EQ(std::string(it, s.end()), "7");
    Orlo::needString(it, s.end(), "");
    EXPECT_EQ(std::string(it, s.end()), "7");
}

TEST(OrloText, NeedStringMismatchQuotesExpectedAndFound) {
    const String s("'key':7, 'packets': 1");
    auto it = s.begin();
    const std::string msg =
        messageOf<Orlo::ParseException>([&] { Orlo::needString(it, s.end(), "'key': "); });
    EXPECT_NE(msg.find("expected \"'key': \""), std::string::npos) << msg;
    EXPECT_NE(msg.find("found \"'key':7, 'packets': 1\""), std::string::npos) << msg;
    EXPECT_TRUE(it == s.begin());

    const String shortText("'ke");  // the literal runs past the end of the text
    auto it2 = shortText.begin();
    const std::string atEnd =
        messageOf<Orlo::ParseException>([&] { Orlo::needString(it2, shortText.end(), "'key': "); });
    EXPECT_NE(atEnd.find("found \"'ke\""), std::string::npos) << atEnd;
}

TEST(OrloText, TrailingTextIsRejectedWithOffsetAndLeftover) {
    const String s("12 trailing");
    const std::string msg =
        messageOf<Orlo::ParseException>([&] { Orlo::strepToValue<ull>(s, nullptr); });
    EXPECT_NE(msg.find("offset 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find("\" trailing\""), std::string::npos) << msg;
    EXPECT_NO_THROW(Orlo::strepToValueEnd(s, s.end()));
    EXPECT_THROW(Orlo::strepToValueEnd(s, s.end() - 1), Orlo::ParseException);
}

TEST(OrloText, RethrowFromDeserializeAttrPrefixesAttribute) {
    const Orlo::RangeException original("18446744073709551616 is larger than the maximum");
    const std::string msg =
        messageOf<Orlo::RangeException>([&] { Orlo::rethrowFromDeserializeAttr(original, "key"); });
    EXPECT_EQ(msg, "attribute 'key': " + original.msg());
}

// A value with a parsing constructor, read the way record types read themselves.
struct Pair {
    ull a = 0, b = 0;
    Pair(String::IteratorConst& it, String::IteratorConst end) {
        Orlo::needString(it, end, "(");
        a = Orlo::deserializeAttr<ull>(it, end, "a");
        Orlo::needString(it, end, ", ");
        b = Orlo::deserializeAttr<ull>(it, end, "b");
        Orlo::needString(it, end, ")");
    }
};

TEST(OrloText, ValuesWithParsingConstructorsNestAndReportThePath) {
    const Pair p = Orlo::strepToValue<Pair>("(1, 18446744073709551615)", nullptr);
    EXPECT_EQ(p.a, 1u);
    EXPECT_EQ(p.b, kMaxU64);
    EXPECT_THROW(Orlo::strepToValue<Pair>("(1, 2))", nullptr), Orlo::ParseException);

    const String tooBig("(1, 18446744073709551616)");
    auto it = tooBig.begin();
    const std::string msg = messageOf<Orlo::RangeException>(
        [&] { Orlo::deserializeAttr<Pair>(it, tooBig.end(), "pair"); });
    EXPECT_EQ(msg.rfind("attribute 'pair': attribute 'b': ", 0), 0u) << msg;

    // Parse errors pass through without the attribute prefix.
    const String badSep("(1; 2)");
    auto it2 = badSep.begin();
    const std::string parseMsg = messageOf<Orlo::ParseException>(
        [&] { Orlo::deserializeAttr<Pair>(it2, badSep.end(), "pair"); });
    EXPECT_EQ(parseMsg.find("'pair'"), std::string::npos) << parseMsg;
}

TEST(OrloText, FormatHandlesAnyLength) {
    for (std::size_t n : {0u, 1u, 254u, 255u, 256u, 257u, 1000u, 5000u}) {
        const std::string body(n, 'a');
        EXPECT_EQ(Orlo::format("%s", body.c_str()).str(), body) << "length " << n;
    }
    const std::string big(1500, 'x');
    const String s = Orlo::format("<%s|%llu|%05d>", big.c_str(), kMaxU64, 42);
    EXPECT_EQ(s.str(), "<" + big + "|18446744073709551615|00042>");
}

TEST(OrloText, DemanglesTypeNames) {
    EXPECT_EQ(Orlo::demangledName<Orlo::ParseException>(), "Orlo::ParseException");
    EXPECT_EQ(Orlo::demangledName<std::vector<int>>().rfind("std::vector<int", 0), 0u);
    EXPECT_EQ(Orlo::demangleStdString("not a mangled name"), "not a mangled name");
}

TEST(OrloString, ComparesPrintsAndFormats) {
    const String a("abc");
    const String b(std::string("abd"));
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a == "abc");
    EXPECT_EQ(std::string(a.begin(), a.end()), "abc");
    EXPECT_EQ(fmt::format("[{:>5}]", a), "[  abc]");
    std::ostringstream os;
    os << a << '|' << b;
    EXPECT_EQ(os.str(), "abc|abd");
}

// ---------------------------------------------------------------------------------------------
// Hash

// Reference values computed independently from the published definition. A change of any of
// them breaks every existing table file.
struct PinnedHash {
    uint32_t seed;
    uint64_t value;
    uint32_t hash;
};
constexpr PinnedHash kPinned[] = {
    {0x0u, 0x0ull, 0x00000000u},
    {0x0u, 0x1ull, 0x469913f8u},
    {0x0u, 0x7ull, 0x69b9ef37u},
    {0x0u, 0xffffffffffffffffull, 0x461be887u},
    {0x1u, 0x0ull, 0x993d6596u},
    {0x1u, 0x7ull, 0x3af9ec33u},
    {0xdeadbeefu, 0x0123456789abcdefull, 0x4332f20eu},
    {0xffffffffu, 0xffffffffffffffffull, 0xfa3ab81du},
    {0x2au, 1000000ull, 0x2923eb76u},
};
static_assert(Orlo::hashSingleAttr(0x2au, 1000000ull) == 0x2923eb76u,
              "hashSingleAttr must be usable in constant expressions");

TEST(OrloHash, MatchesPinnedValues) {
    for (const PinnedHash& p : kPinned) {
        EXPECT_EQ(Orlo::hashSingleAttr(p.seed, p.value), p.hash)
            << fmt::format("seed {:#x} value {:#x}", p.seed, p.value);
    }
}

// Regular key patterns (consecutive, strided, high-word only) must fill 1024 buckets evenly
// whether the bucket comes from the low bits or from the high bits of the hash. The mean is
// 97.7 keys per bucket; a sound hash stays within about 35 of it.
TEST(OrloHash, RegularKeysSpreadEvenlyOverBuckets) {
    constexpr int kKeys = 100000;
    const std::pair<const char*, int> patterns[] = {
        {"consecutive", 0}, {"stride 4096", 12}, {"high word", 32}};
    for (const auto& [name, shift] : patterns) {
        std::vector<int> low(1024), high(1024);
        for (uint64_t k = 0; k < kKeys; ++k) {
            const uint32_t h = Orlo::hashSingleAttr(0, k << shift);
            ++low[h & 1023];
            ++high[h >> 22];
        }
        for (const auto* buckets : {&low, &high}) {
            const auto [mn, mx] = std::minmax_element(buckets->begin(), buckets->end());
            EXPECT_LT(*mx, 150) << name;
            EXPECT_GT(*mn, 50) << name;
        }
    }
}

// Flipping one bit of the value or of the seed flips each output bit with probability ~1/2.
TEST(OrloHash, OneBitChangeAvalanches) {
    constexpr int kInputs = 1000;
    long totalFlips = 0;
    std::vector<long> flipsPerInputBit(64), flipsPerOutputBit(32);
    long seedFlips = 0;
    for (int i = 0; i < kInputs; ++i) {
        const uint64_t x = uint64_t(i + 1) * 0x9E3779B97F4A7C15ull;
        const uint32_t seed = uint32_t(i) * 2654435761u;
        const uint32_t hx = Orlo::hashSingleAttr(0, x);
        for (int b = 0; b < 64; ++b) {
            const uint32_t diff = hx ^ Orlo::hashSingleAttr(0, x ^ (1ull << b));
            totalFlips += std::popcount(diff);
            flipsPerInputBit[b] += std::popcount(diff);
            for (int o = 0; o < 32; ++o) {
                flipsPerOutputBit[o] += (diff >> o) & 1;
            }
        }
        for (int b = 0; b < 32; ++b) {
            seedFlips += std::popcount(Orlo::hashSingleAttr(seed, x) ^
                                       Orlo::hashSingleAttr(seed ^ (1u << b), x));
        }
    }
    const double mean = double(totalFlips) / (kInputs * 64);
    EXPECT_NEAR(mean, 16.0, 0.5);
    for (int b = 0; b < 64; ++b) {
        EXPECT_NEAR(double(flipsPerInputBit[b]) / kInputs, 16.0, 1.0) << "input bit " << b;
    }
    for (int o = 0; o < 32; ++o) {
        EXPECT_NEAR(double(flipsPerOutputBit[o]) / (kInputs * 64), 0.5, 0.05) << "output bit " << o;
    }
    EXPECT_NEAR(double(seedFlips) / (kInputs * 32), 16.0, 0.5);
}

TEST(OrloHash, DifferentSeedsGiveDifferentHashes) {
    const uint32_t seeds[] = {0u, 1u, 2u, 0x80000000u, 0xffffffffu};
    for (uint32_t s1 : seeds) {
        for (uint32_t s2 : seeds) {
            if (s1 == s2) {
                continue;
            }
            int same = 0;
            for (uint64_t k = 0; k < 10000; ++k) {
                same += Orlo::hashSingleAttr(s1, k) == Orlo::hashSingleAttr(s2, k);
            }
            EXPECT_EQ(same, 0) << fmt::format("seeds {:#x} and {:#x}", s1, s2);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Reference counting

struct Tracked : Orlo::PtrInterface {
    explicit Tracked(int* deletions) : deletions_(deletions) {}
    ~Tracked() override { ++*deletions_; }
    int* deletions_;
};
struct TrackedChild : Tracked {
    using Tracked::Tracked;
};

// Restores the process-wide pointer mode after a test that changes it.
struct ThreadSafePointersGuard {
    explicit ThreadSafePointersGuard(bool on) { Orlo::VFPtrInterface::threadSafePointers_ = on; }
    ~ThreadSafePointersGuard() { Orlo::VFPtrInterface::threadSafePointers_ = saved_; }
    bool saved_ = Orlo::VFPtrInterface::threadSafePointers_;
};

void checkCountsThroughCopiesAndMoves() {
    int deletions = 0;
    Orlo::Ptr<Tracked> p1 = new Tracked(&deletions);
    EXPECT_EQ(p1->references(), 1u);
    Orlo::Ptr<Tracked> p2 = p1;
    EXPECT_EQ(p1->references(), 2u);
    Orlo::Ptr<Tracked> p3 = std::move(p2);
    EXPECT_FALSE(p2);
    EXPECT_EQ(p1->references(), 2u);
    Orlo::Ptr<Tracked>& alias = p3;
    p3 = alias;  // self-assignment keeps the reference
    EXPECT_EQ(p1->references(), 2u);
    p3.reset();
    EXPECT_EQ(p1->references(), 1u);
    EXPECT_EQ(deletions, 0);
    p1 = new Tracked(&deletions);  // releases the first object
    EXPECT_EQ(deletions, 1);
    p1 = nullptr;
    EXPECT_EQ(deletions, 2);
}

TEST(OrloPtr, CountsFollowCopiesMovesAndResets) {
    checkCountsThroughCopiesAndMoves();
}

TEST(OrloPtr, PlainCountingWhenPointersAreNotThreadSafe) {
    ThreadSafePointersGuard guard(false);
    checkCountsThroughCopiesAndMoves();
}

TEST(OrloPtr, ConvertsComparesAndOrders) {
    int deletions = 0;
    {
        Orlo::Ptr<TrackedChild> child = new TrackedChild(&deletions);
        Orlo::Ptr<Tracked> base = child;
        Orlo::Ptr<const Tracked> constBase = base;
        EXPECT_EQ(child->references(), 3u);
        EXPECT_TRUE(base == child);
        EXPECT_TRUE(constBase == base);
        Orlo::Ptr<Tracked> moved = std::move(child);
        EXPECT_EQ(moved->references(), 3u);

        Orlo::Ptr<Tracked> other = new Tracked(&deletions);
        EXPECT_TRUE(other != base);
        EXPECT_EQ(other < base, std::less<Tracked*>()(other.get(), base.get()));
        EXPECT_NE(other < base, base < other);
        EXPECT_FALSE(Orlo::Ptr<Tracked>() != nullptr);
        EXPECT_TRUE(other != nullptr);
        EXPECT_EQ(&*other, other.get());
    }
    EXPECT_EQ(deletions, 2);
}

TEST(OrloPtr, ComparingWithRawPointerTakesNoReference) {
    int deletions = 0;
    Tracked* raw = new Tracked(&deletions);
    Orlo::Ptr<Tracked> empty;
    EXPECT_FALSE(empty == raw);
    EXPECT_EQ(raw->references(), 0u);
    EXPECT_EQ(deletions, 0);
    delete raw;
}

TEST(OrloPtr, FlagsDoNotDisturbTheCount) {
    int deletions = 0;
    Orlo::Ptr<Tracked> p = new Tracked(&deletions);
    p->hasNotificationActiveIs(true);
    EXPECT_TRUE(p->hasNotificationActive());
    EXPECT_EQ(p->references(), 1u);
    Orlo::Ptr<Tracked> q = p;
    EXPECT_EQ(p->references(), 2u);
    EXPECT_TRUE(p->hasNotificationActive());
    p->hasNotificationActiveIs(false);
    EXPECT_FALSE(p->hasNotificationActive());
    EXPECT_EQ(p->references(), 2u);
}

// An object that returns itself to a pool instead of being deleted.
struct Pooled : Orlo::PtrInterface {
    explicit Pooled(std::vector<Pooled*>* pool) : pool_(pool) {}
    void handleZeroRef() override { pool_->push_back(this); }
    std::vector<Pooled*>* pool_;
};

TEST(OrloPtr, HandleZeroRefOverrideKeepsObject) {
    std::vector<Pooled*> pool;
    Pooled* object = new Pooled(&pool);
    { Orlo::Ptr<Pooled> p = object; }
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_EQ(pool[0], object);
    EXPECT_EQ(object->references(), 0u);
    {
        Orlo::Ptr<Pooled> again = pool.back();  // reused after release
        pool.pop_back();
        EXPECT_EQ(again->references(), 1u);
    }
    ASSERT_EQ(pool.size(), 1u);
    delete pool.back();
}

// Hears about its last reference going; may keep itself alive by taking one.
struct Watched : Tracked {
    using Tracked::Tracked;
    void zeroReferencesIs(bool zero) override {
        ++calls_;
        EXPECT_TRUE(zero);
        if (keepAlive_) {
            keeper_ = this;
        }
    }
    int calls_ = 0;
    bool keepAlive_ = false;
    Orlo::Ptr<Watched> keeper_;
};

TEST(OrloPtr, ZeroReferencesHookRunsOnlyWhenNotificationActive) {
    int deletions = 0;
    Watched* quiet = new Watched(&deletions);
    { Orlo::Ptr<Watched> p = quiet; }
    EXPECT_EQ(deletions, 1);  // not told, deleted

    Watched* kept = new Watched(&deletions);
    kept->hasNotificationActiveIs(true);
    kept->keepAlive_ = true;
    { Orlo::Ptr<Watched> p = kept; }
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(kept->calls_, 1);
    EXPECT_EQ(kept->references(), 1u);

    kept->keepAlive_ = false;
    Orlo::Ptr<Watched> last = std::move(kept->keeper_);
    last.reset();  // told again, and this time deleted
    EXPECT_EQ(deletions, 2);
}

// Records the count reaching zero instead of deleting itself, so that a broken count shows up
// as a wrong number rather than as a use after free.
struct Resident : Orlo::PtrInterface {
    void handleZeroRef() override { ++zeroRefs_; }
    std::atomic<int> zeroRefs_{0};
};

TEST(OrloPtr, ConcurrentCopiesKeepTheCountExact) {
    ThreadSafePointersGuard guard(true);
    constexpr int kIterations = 500000;
    constexpr int kHeld = 1000;
    constexpr uint32_t kBase = 1u << 20;  // keeps any drift from lost updates far from zero
    Resident object;
    for (uint32_t i = 0; i < kBase; ++i) {
        object.newRef();
    }
    Orlo::Ptr<Resident> shared = &object;
    // Copies go through a call the optimiser cannot see into, so each one really reads and
    // writes the count instead of being folded with the release that follows it.
    Orlo::Ptr<Resident> (*volatile copy)(const Orlo::Ptr<Resident>&) =
        [](const Orlo::Ptr<Resident>& p) { return p; };
    std::vector<Orlo::Ptr<Resident>> held[2];
    // Each thread keeps copying until the other has done its share too, so the two loops
    // overlap for at least kIterations even when one thread starts late.
    struct alignas(64) Progress {
        std::atomic<int> done{0};
    } progress[2];
    auto work = [&](int self) {
        const int other = 1 - self;
        for (int i = 0; i < kIterations || progress[other].done.load() < kIterations; ++i) {
            Orlo::Ptr<Resident> a = copy(shared);
            Orlo::Ptr<Resident> b = copy(a);
            progress[self].done.store(i + 1, std::memory_order_relaxed);
        }
        for (int i = 0; i < kHeld; ++i) {
            held[self].push_back(copy(shared));
        }
    };
    std::thread t1(work, 0);
    std::thread t2(work, 1);
    t1.join();
    t2.join();
    ASSERT_EQ(object.references(), kBase + 1 + 2 * kHeld);
    held[0].clear();
    held[1].clear();
    shared.reset();
    ASSERT_EQ(object.references(), kBase);
    for (uint32_t i = 0; i < kBase; ++i) {
        object.deleteRef();
    }
    EXPECT_EQ(object.references(), 0u);
    EXPECT_EQ(object.zeroRefs_.load(), 1);
}

// Two threads drop the last two references at the same moment: exactly one of them deletes.
TEST(OrloPtr, ConcurrentLastReleasesDeleteExactlyOnce) {
    ThreadSafePointersGuard guard(true);
    constexpr int kRounds = 2000;
    int deletions = 0;
    int badRounds = 0;
    Orlo::Ptr<Tracked> slots[2];
    std::barrier sync(3);
    auto releaser = [&](int slot) {
        for (int r = 0; r < kRounds; ++r) {
            sync.arrive_and_wait();  // slots filled
            slots[slot].reset();
            sync.arrive_and_wait();  // slots released
        }
    };
    std::thread t1(releaser, 0);
    std::thread t2(releaser, 1);
    for (int r = 0; r < kRounds; ++r) {
        slots[0] = new Tracked(&deletions);
        slots[1] = slots[0];
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        // No ASSERT here: leaving the loop early would strand the threads at the barrier.
        badRounds += deletions != r + 1;
    }
    t1.join();
    t2.join();
    EXPECT_EQ(badRounds, 0);
    EXPECT_EQ(deletions, kRounds);
}

TEST(OrloPtrDeathTest, DoubleReleaseStopsTheProcess) {
    int deletions = 0;
    Tracked* object = new Tracked(&deletions);
    EXPECT_DEATH(object->deleteRef(), "reference count is already 0");
    delete object;
}

}  // namespace
