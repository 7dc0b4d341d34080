// Tests of the counter key and the four record types: layout, equality and ordering, streps,
// short forms, parsing and rejection of bad text, and the operations bundles.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Orlo/Exception.h"
#include "Orlo/Hash.h"
#include "Orlo/Text.h"
#include "Pimbo/Format.h"

namespace {

using namespace DravoCounters::FlexCounters2;
using Orlo::String;
using ull = unsigned long long;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// Seed of the randomized cases: VESK_TEST_SEED when set, else a fresh one; printed either way.
uint64_t testSeed() {
    static const uint64_t seed = [] {
        const char* env = std::getenv("VESK_TEST_SEED");
        const uint64_t s = env ? std::strtoull(env, nullptr, 0) : std::random_device{}();
        std::printf("FlexCounters2Vesk tests: VESK_TEST_SEED=%" PRIu64 "\n", s);
        return s;
    }();
    return seed;
}

// Interesting 64-bit values: the edges, and a mixture of short and long decimal numbers.
uint64_t randomWord(std::mt19937_64& rng) {
    switch (rng() % 4) {
        case 0:
            return rng() % 10;
        case 1:
            return kMax - rng() % 3;
        case 2:
            return rng() >> (rng() % 64);
        default:
            return rng();
    }
}

std::string dec(uint64_t v) {
    return std::to_string(v);
}
std::string hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<ull>(v));
    return buf;
}

// Per-type description used by the typed tests: how to build a record from its words (key
// first, then the counters in field order, through the accessors) and what its texts must be,
// written out independently of the code under test.
template <class R>
struct Traits;

template <>
struct Traits<CounterEntrySimple> {
    using Ops = CounterEntrySimpleOps;
    static constexpr size_t kWords = 3;
    static constexpr bool kWrapped = true;  // strep is Value('...', ** {...})
    static constexpr const char* kLastAttr = "octets";
    using Words = std::array<uint64_t, kWords>;
    static CounterEntrySimple make(const Words& w) {
        CounterEntrySimple r{CounterIndex(w[0])};
        r.packetsIs(w[1]);
        r.octetsIs(w[2]);
        return r;
    }
    static std::string strep(const Words& w) {
        return "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key': " + dec(w[0]) +
               ", 'packets': " + dec(w[1]) + ", 'octets': " + dec(w[2]) + "})";
    }
    static std::string shortForm(const Words& w) {
        return "[key: " + dec(w[0]) + "] S " + dec(w[1]) + ", " + dec(w[2]);
    }
};

template <>
struct Traits<CounterEntryNormal> {
    using Ops = CounterEntryNormalOps;
    static constexpr size_t kWords = 3;
    static constexpr bool kWrapped = true;
    static constexpr const char* kLastAttr = "counterB";
    using Words = std::array<uint64_t, kWords>;
    static CounterEntryNormal make(const Words& w) {
        CounterEntryNormal r{CounterIndex(w[0])};
        r.counterAIs(w[1]);
        r.counterBIs(w[2]);
        return r;
    }
    static std::string strep(const Words& w) {
        return "Value('DravoCounters::FlexCounters2::CounterEntryNormal', ** {'key': " + dec(w[0]) +
               ", 'counterA': " + dec(w[1]) + ", 'counterB': " + dec(w[2]) + "})";
    }
    static std::string shortForm(const Words& w) {
        return "[key: " + dec(w[0]) + "] N " + dec(w[1]) + ", " + dec(w[2]);
    }
};

template <>
struct Traits<CounterEntryWide> {
    using Ops = CounterEntryWideOps;
    static constexpr size_t kWords = 1;
    static constexpr bool kWrapped = false;  // strep is the key's strep
    static constexpr const char* kLastAttr = "key";
    using Words = std::array<uint64_t, kWords>;
    static CounterEntryWide make(const Words& w) { return CounterEntryWide{CounterIndex(w[0])}; }
    static std::string strep(const Words& w) { return dec(w[0]); }
    static std::string shortForm(const Words& w) { return "[key: " + dec(w[0]) + "] W "; }
};

template <>
struct Traits<CounterEntryBitmap64> {
    using Ops = CounterEntryBitmap64Ops;
    static constexpr size_t kWords = 2;
    static constexpr bool kWrapped = true;
    static constexpr const char* kLastAttr = "bits";
    using Words = std::array<uint64_t, kWords>;
    static CounterEntryBitmap64 make(const Words& w) {
        CounterEntryBitmap64 r{CounterIndex(w[0])};
        r.bitsIs(w[1]);
        return r;
    }
    static std::string strep(const Words& w) {
        return "Value('DravoCounters::FlexCounters2::CounterEntryBitmap64', ** {'key': " +
               dec(w[0]) + ", 'bits': " + dec(w[1]) + "})";
    }
    static std::string shortForm(const Words& w) {
        return "[key: " + dec(w[0]) + "] B " + hex(w[1]);
    }
};

// One valid strep of every type, for the cross-type rejection test.
const std::vector<std::pair<std::string, std::string>>& strepsOfEveryType() {
    static const std::vector<std::pair<std::string, std::string>> all = {
        {CounterEntrySimple::typeName(), Traits<CounterEntrySimple>::strep({7, 12, 1500})},
        {CounterEntryNormal::typeName(), Traits<CounterEntryNormal>::strep({7, 12, 1500})},
        {CounterEntryWide::typeName(), Traits<CounterEntryWide>::strep({7})},
        {CounterEntryBitmap64::typeName(), Traits<CounterEntryBitmap64>::strep({7, 255})},
    };
    return all;
}

template <class R>
R parse(const std::string& text) {
    return Orlo::strepToValue<R>(String(text), nullptr);
}

template <class R>
class CounterEntryTest : public ::testing::Test {
  protected:
    using T = Traits<R>;
    using Words = typename T::Words;

    // Edge cases first, then seeded random records.
    static std::vector<Words> samples(size_t randomCount) {
        std::vector<Words> out;
        Words w{};
        out.push_back(w);  // all zero
        w.fill(kMax);
        out.push_back(w);
        for (size_t i = 0; i < T::kWords; ++i) {
            w[i] = i + 1;
        }
        out.push_back(w);
        std::mt19937_64 rng(testSeed() ^ std::hash<std::string>()(R::typeName()));
        for (size_t n = 0; n < randomCount; ++n) {
            for (auto& x : w) {
                x = randomWord(rng);
            }
            out.push_back(w);
        }
        return out;
    }
};

using RecordTypes = ::testing::Types<CounterEntrySimple, CounterEntryNormal, CounterEntryWide,
                                     CounterEntryBitmap64>;
// Names the typed cases after the record ("CounterEntryTest/CounterEntrySimple.…").
struct RecordName {
    template <class R>
    static std::string GetName(int) {
        const std::string full = R::typeName();
        return full.substr(full.rfind(':') + 1);
    }
};
TYPED_TEST_SUITE(CounterEntryTest, RecordTypes, RecordName);

TYPED_TEST(CounterEntryTest, BytesAreTheFieldsInOrder) {
    using R = TypeParam;
    using T = Traits<R>;
    static_assert(std::is_standard_layout_v<R> && std::is_trivially_copyable_v<R>);
    static_assert(sizeof(R) == 8 * T::kWords);
    for (const auto& w : this->samples(20)) {
        const R r = T::make(w);
        typename T::Words bytes;
        std::memcpy(bytes.data(), &r, sizeof r);
        EXPECT_EQ(bytes, w) << r.veskString();
        // A record copied in from a slot's bytes reads back the same fields.
        R copied;
        std::memcpy(static_cast<void*>(&copied), w.data(), sizeof copied);
        EXPECT_EQ(copied, r) << r.veskString();
    }
}

TYPED_TEST(CounterEntryTest, DefaultAndKeyConstructorsZeroTheCounters) {
    using R = TypeParam;
    using T = Traits<R>;
    const R zero;
    const std::array<unsigned char, sizeof(R)> noBytes{};
    EXPECT_EQ(std::memcmp(&zero, noBytes.data(), sizeof(R)), 0);

    typename T::Words w{};
    w[0] = kMax;
    const R keyed{CounterIndex(kMax)};
    EXPECT_EQ(keyed, T::make(w));
    EXPECT_EQ(keyed.key(), CounterIndex(kMax));
    EXPECT_EQ(&keyed.counterIndex(), &keyed.key());
    EXPECT_NE(keyed, zero);
}

TYPED_TEST(CounterEntryTest, EveryFieldTakesPartInEquality) {
    using T = Traits<TypeParam>;
    for (const auto& w : this->samples(5)) {
        EXPECT_TRUE(T::make(w) == T::make(w));
        EXPECT_FALSE(T::make(w) != T::make(w));
        for (size_t i = 0; i < T::kWords; ++i) {
            auto changed = w;
            changed[i] ^= uint64_t(1) << (i * 13 % 64);
            EXPECT_FALSE(T::make(w) == T::make(changed)) << "field " << i;
            EXPECT_TRUE(T::make(w) != T::make(changed)) << "field " << i;
        }
    }
}

TYPED_TEST(CounterEntryTest, StrepAndShortFormMatchCharacterForCharacter) {
    using R = TypeParam;
    using T = Traits<R>;
    for (const auto& w : this->samples(50)) {
        const R r = T::make(w);
        EXPECT_EQ(valueToStrep(r), String(T::strep(w)));
        EXPECT_EQ(r.veskString(), String(T::shortForm(w)));
        std::ostringstream os;
        os << r;
        EXPECT_EQ(os.str(), T::strep(w));
        EXPECT_EQ(fmt::format("{}", r), T::shortForm(w));
    }
}

TYPED_TEST(CounterEntryTest, StrepParsesBackToAnEqualRecord) {
    using R = TypeParam;
    using T = Traits<R>;
    for (const auto& w : this->samples(200)) {
        const R r = T::make(w);
        const String strep = valueToStrep(r);
        EXPECT_EQ(parse<R>(strep), r) << strep;

        // The parsing constructor consumes exactly the strep and leaves what follows.
        const String embedded(std::string(strep) + ", rest");
        auto it = embedded.begin();
        EXPECT_EQ(R(it, embedded.end()), r);
        EXPECT_EQ(std::string(it, embedded.end()), ", rest");
    }
}

TYPED_TEST(CounterEntryTest, TrailingTextIsRejected) {
    using R = TypeParam;
    using T = Traits<R>;
    const std::string strep = T::strep({7});
    for (const char* tail : {" ", "x", "})", ",7"}) {
        EXPECT_THROW(parse<R>(strep + tail), Orlo::ParseException) << strep + tail;
    }
}

TYPED_TEST(CounterEntryTest, StrepOfAnotherTypeIsRejected) {
    using R = TypeParam;
    for (const auto& [type, strep] : strepsOfEveryType()) {
        if (type == R::typeName()) {
            EXPECT_NO_THROW(parse<R>(strep)) << strep;
            continue;
        }
        // Wide reads a bare key, so it parses the digits of nothing else; every other record
        // names its type first.
        EXPECT_THROW(parse<R>(strep), Orlo::ParseException) << R::typeName() << " from " << strep;
    }
}

TYPED_TEST(CounterEntryTest, TruncatedStrepIsRejected) {
    using R = TypeParam;
    using T = Traits<R>;
    typename T::Words w;
    w.fill(kMax);
    const std::string strep = T::strep(w);
    // A bare key's prefixes are themselves valid keys; only the empty text is not.
    const size_t checked = T::kWrapped ? strep.size() : 1;
    for (size_t n = 0; n < checked; ++n) {
        EXPECT_THROW(parse<R>(strep.substr(0, n)), Orlo::ParseException) << strep.substr(0, n);
    }
}

TYPED_TEST(CounterEntryTest, OversizedNumbersAreRangeErrorsNamingTheAttribute) {
    using R = TypeParam;
    using T = Traits<R>;
    typename T::Words w{};
    w.fill(1);
    const std::string strep = T::strep(w);
    const std::string tooBig = "18446744073709551616";  // 2^64

    // The key, then the last counter.
    const std::string badKey =
        T::kWrapped ? std::string(strep).replace(strep.find("'key': 1") + 7, 1, tooBig) : tooBig;
    try {
        parse<R>(badKey);
        ADD_FAILURE() << "accepted " << badKey;
    } catch (const Orlo::RangeException& e) {
        EXPECT_EQ(e.msg().rfind("attribute 'key': ", 0), 0u) << e.msg();
        EXPECT_NE(e.msg().find(tooBig), std::string::npos) << e.msg();
    }
    if constexpr (T::kWrapped) {
        std::string badLast = strep;
        badLast.replace(badLast.rfind("1})"), 1, tooBig);
        try {
            parse<R>(badLast);
            ADD_FAILURE() << "accepted " << badLast;
        } catch (const Orlo::RangeException& e) {
            EXPECT_EQ(e.msg().rfind(fmt::format("attribute '{}': ", T::kLastAttr), 0), 0u)
                << e.msg();
        }
    }
}

TYPED_TEST(CounterEntryTest, MissingBlankAfterKeyIsRejected) {
    using R = TypeParam;
    using T = Traits<R>;
    if constexpr (T::kWrapped) {
        typename T::Words w;
        w.fill(5);
        std::string strep = T::strep(w);
        const size_t at = strep.find("'key': ");
        ASSERT_NE(at, std::string::npos);
        strep.erase(at + 6, 1);
        try {
            parse<R>(strep);
            ADD_FAILURE() << "accepted " << strep;
        } catch (const Orlo::ParseException& e) {
            EXPECT_NE(e.msg().find("'key': "), std::string::npos) << e.msg();
        }
    } else {
        EXPECT_THROW(parse<R>(" 5"), Orlo::ParseException);
    }
}

TYPED_TEST(CounterEntryTest, OpsBundleReadsTheKeyAndNamesTheType) {
    using R = TypeParam;
    using Ops = typename Traits<R>::Ops;
    static_assert(std::is_same_v<typename Ops::Value, R>);
    static_assert(std::is_same_v<typename Ops::Key, CounterIndex>);
    static_assert(Ops::valueSize == sizeof(R));
    EXPECT_STREQ(Ops::typeName(), R::typeName());
    EXPECT_EQ(std::string(R::typeName()).rfind("DravoCounters::FlexCounters2::CounterEntry", 0),
              0u);

    Ops ops;
    EXPECT_EQ(ops.defaultValue, R());
    const R r{CounterIndex(0x1234)};
    EXPECT_EQ(&Ops::key(r), &r.key());
    ops.hashSeedIs(77);
    EXPECT_EQ(ops.hashKey(r.key()), Orlo::hashSingleAttr(77, 0x1234));
    EXPECT_TRUE(ops.keyLess(CounterIndex(1), CounterIndex(kMax)));
    EXPECT_TRUE(ops.keyEqual(r.key(), CounterIndex(0x1234)));
}

// ---------------------------------------------------------------------------------------------
// CounterIndex

TEST(CounterIndex, StrepShortFormAndTypeName) {
    EXPECT_EQ(valueToStrep(CounterIndex()), String("0"));
    EXPECT_EQ(valueToStrep(CounterIndex(5)), String("5"));
    EXPECT_EQ(CounterIndex(7).veskString(), String("key: 7"));
    EXPECT_EQ(fmt::format("{}", CounterIndex(7)), "key: 7");
    EXPECT_STREQ(CounterIndex::typeName(), "DravoCounters::FlexCounters2::CounterIndex");
    EXPECT_EQ(CounterIndex().value(), 0u);
}

TEST(CounterIndex, LargestKeyIsUnsignedEverywhere) {
    const CounterIndex largest(kMax);
    EXPECT_TRUE(CounterIndex(1) < largest);
    EXPECT_FALSE(largest < CounterIndex(1));
    EXPECT_FALSE(largest < largest);
    EXPECT_TRUE(std::less<CounterIndex>()(CounterIndex(0), largest));
    EXPECT_EQ(largest.veskString(), String("key: 18446744073709551615"));
    EXPECT_EQ(valueToStrep(largest), String("18446744073709551615"));
    EXPECT_EQ(parse<CounterIndex>("18446744073709551615"), largest);

    std::vector<CounterIndex> keys = {largest, CounterIndex(1ull << 63), CounterIndex(0),
                                      CounterIndex(1), CounterIndex((1ull << 63) - 1)};
    std::sort(keys.begin(), keys.end());
    std::vector<uint64_t> values;
    for (const auto& k : keys) {
        values.push_back(k.value());
    }
    EXPECT_EQ(values, (std::vector<uint64_t>{0, 1, (1ull << 63) - 1, 1ull << 63, kMax}));
}

TEST(CounterIndex, StreamOutputFollowsTheStreamFlags) {
    std::ostringstream os;
    os << CounterIndex(255) << ' ' << std::hex << CounterIndex(255) << ' ' << std::dec
       << std::setw(6) << std::setfill('0') << CounterIndex(42);
    EXPECT_EQ(os.str(), "255 ff 000042");
}

TEST(CounterIndex, RejectsBadText) {
    EXPECT_THROW(parse<CounterIndex>(""), Orlo::ParseException);
    EXPECT_THROW(parse<CounterIndex>("-1"), Orlo::ParseException);
    EXPECT_THROW(parse<CounterIndex>("5 "), Orlo::ParseException);
    EXPECT_THROW(parse<CounterIndex>("0x5"), Orlo::ParseException);
    EXPECT_THROW(parse<CounterIndex>(Traits<CounterEntrySimple>::strep({5, 0, 0})),
                 Orlo::ParseException);
    EXPECT_THROW(parse<CounterIndex>("18446744073709551616"), Orlo::RangeException);
}

// A key standing as an attribute: range errors get the attribute's name in front, other errors
// pass unchanged.
TEST(CounterIndex, DeserializeAttrNamesTheAttributeOnRangeErrors) {
    const String tooBig("99999999999999999999");
    auto it = tooBig.begin();
    try {
        Orlo::deserializeAttr<CounterIndex>(it, tooBig.end(), "owner");
        ADD_FAILURE() << "accepted " << tooBig;
    } catch (const Orlo::RangeException& e) {
        EXPECT_EQ(e.msg().rfind("attribute 'owner': attribute 'value': ", 0), 0u) << e.msg();
    }

    const String notANumber("x7");
    it = notANumber.begin();
    try {
        Orlo::deserializeAttr<CounterIndex>(it, notANumber.end(), "owner");
        ADD_FAILURE() << "accepted " << notANumber;
    } catch (const Orlo::ParseException& e) {
        EXPECT_EQ(e.msg().find("owner"), std::string::npos) << e.msg();
    }
    EXPECT_TRUE(it == notANumber.begin());

    const String good("42})");
    it = good.begin();
    EXPECT_EQ(Orlo::deserializeAttr<CounterIndex>(it, good.end(), "owner"), CounterIndex(42));
    EXPECT_EQ(std::string(it, good.end()), "})");
}

// ---------------------------------------------------------------------------------------------
// Type-specific cases

TEST(CounterEntryValues, DefaultSimpleStrepParsesBack) {
    const std::string expected =
        "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key': 0, 'packets': 0, "
        "'octets': 0})";
    EXPECT_EQ(valueToStrep(CounterEntrySimple()), String(expected));
    EXPECT_EQ(parse<CounterEntrySimple>(expected), CounterEntrySimple());
}

TEST(CounterEntryValues, ShortFormsOfTypicalRecords) {
    CounterEntrySimple simple{CounterIndex(7)};
    simple.packetsIs(12);
    simple.octetsIs(1500);
    EXPECT_EQ(simple.veskString(), String("[key: 7] S 12, 1500"));
    EXPECT_EQ(simple.packets(), 12u);
    EXPECT_EQ(simple.octets(), 1500u);

    CounterEntryBitmap64 bitmap{CounterIndex(7)};
    bitmap.bitsIs(255);
    EXPECT_EQ(bitmap.veskString(), String("[key: 7] B ff"));
    EXPECT_EQ(valueToStrep(bitmap),
              String("Value('DravoCounters::FlexCounters2::CounterEntryBitmap64', ** {'key': 7, "
                     "'bits': 255})"));
    bitmap.bitsIs(0);
    EXPECT_EQ(bitmap.veskString(), String("[key: 7] B 0"));
    bitmap.bitsIs(0x0800000000000000ull);
    EXPECT_EQ(bitmap.veskString(), String("[key: 7] B 800000000000000"));

    EXPECT_EQ(CounterEntryWide(CounterIndex(3)).veskString(), String("[key: 3] W "));
    CounterEntryNormal normal{CounterIndex(kMax)};
    normal.counterAIs(1);
    normal.counterBIs(2);
    EXPECT_EQ(normal.veskString(), String("[key: 18446744073709551615] N 1, 2"));
}

// The short form is built in a fresh stream: flags left on a caller's stream do not leak in.
TEST(CounterEntryValues, ShortFormIgnoresCallerStreamFlags) {
    std::ostringstream os;
    os << std::hex << std::setfill('*');
    CounterEntrySimple simple{CounterIndex(10)};
    simple.packetsIs(11);
    os << simple.veskString() << ' ' << simple;
    EXPECT_EQ(os.str(),
              "[key: 10] S 11, 0 Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** "
              "{'key': 10, 'packets': 11, 'octets': 0})");
}

TEST(CounterEntryValues, WideAndKeyStrepsAreInterchangeable) {
    const CounterEntryWide wide{CounterIndex(5)};
    EXPECT_EQ(valueToStrep(wide), valueToStrep(CounterIndex(5)));
    EXPECT_EQ(parse<CounterEntryWide>(valueToStrep(CounterIndex(5))), wide);
    EXPECT_EQ(parse<CounterIndex>(valueToStrep(wide)), CounterIndex(5));
}

TEST(CounterEntryValues, SameKeyDifferentCountersAreUnequal) {
    CounterEntrySimple a{CounterIndex(9)};
    CounterEntrySimple b{CounterIndex(9)};
    b.octetsIs(1);
    EXPECT_NE(a, b);
    a.octetsIs(1);
    EXPECT_EQ(a, b);
    CounterEntryNormal n1{CounterIndex(9)};
    CounterEntryNormal n2{CounterIndex(9)};
    n2.counterAIs(1);
    EXPECT_NE(n1, n2);
}

// Records of the Simple and Normal kinds have the same shape; only the type name and the field
// names tell their streps apart, and each parser insists on its own.
TEST(CounterEntryValues, SameShapeDifferentNamesAreRejected) {
    std::string text = Traits<CounterEntrySimple>::strep({1, 2, 3});
    text.replace(text.find("'packets'"), 9, "'counterA'");
    EXPECT_THROW(parse<CounterEntrySimple>(text), Orlo::ParseException);
    text.replace(text.find("CounterEntrySimple"), 18, "CounterEntryNormal");
    EXPECT_THROW(parse<CounterEntryNormal>(text), Orlo::ParseException);
    text.replace(text.find("'octets'"), 8, "'counterB'");
    EXPECT_EQ(parse<CounterEntryNormal>(text), Traits<CounterEntryNormal>::make({1, 2, 3}));
}

// Every parse error derives from std::exception so generic callers can report it.
TEST(CounterEntryValues, ParseErrorsAreStdExceptions) {
    try {
        parse<CounterEntryBitmap64>("Value('x')");
        ADD_FAILURE() << "accepted";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("CounterEntryBitmap64"), std::string::npos)
            << e.what();
    }
}

}  // namespace
