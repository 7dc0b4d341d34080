// The four record types where the record matters: their bytes, text forms and parsing.
#include "support/Tables.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <tuple>

namespace {

using namespace DravoCounters::FlexCounters2;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// The record whose bytes are these words (BytesAreTheFieldsInOrder: its fields, key first).
template <class Ops>
typename Ops::Value fromWords(const std::vector<uint64_t>& words) {
    typename Ops::Value v;
    EXPECT_EQ(words.size() * 8, sizeof v);
    std::memcpy(static_cast<void*>(&v), words.data(), sizeof v);
    return v;
}

template <class Ops>
class CounterEntryTest : public ::testing::Test {};
TYPED_TEST_SUITE(CounterEntryTest, VeskTest::AllKinds);

TYPED_TEST(CounterEntryTest, BytesAreTheFieldsInOrder) {
    using Ops = typename TypeParam::Ops;
    const auto v = VeskTool::Kind<Ops>::make(kMax - 1, 12345);
    std::vector<uint64_t> words{v.key().value()};
    for (uint64_t f : VeskTool::Kind<Ops>::fields(v))
        words.push_back(f);
    EXPECT_EQ(fromWords<Ops>(words), v);
    // The key order of every map is the unsigned order of the values.
    EXPECT_TRUE(Ops{}.keyLess(CounterIndex(1), CounterIndex(kMax)));
}

// The text forms of each type, by kind: simple, normal, wide, bitmap64.
const std::string kValue = "Value('DravoCounters::FlexCounters2::CounterEntry";
struct Text {
    std::vector<uint64_t> words;
    std::string strep;
    const char* shortForm;
};
const Text kTexts[] = {
    {{7, 12, 1500},
     kValue + "Simple', ** {'key': 7, 'packets': 12, 'octets': 1500})",
     "[key: 7] S 12, 1500"},
    {{7, 1, 2},
     kValue + "Normal', ** {'key': 7, 'counterA': 1, 'counterB': 2})",
     "[key: 7] N 1, 2"},
    {{kMax}, "18446744073709551615", "[key: 18446744073709551615] W "},
    {{kMax, 0x0800000000000000},
     kValue + "Bitmap64', ** {'key': 18446744073709551615, 'bits': 576460752303423488})",
     "[key: 18446744073709551615] B 800000000000000"},
};

TEST(CounterEntryText, RoundTrips) {
    for (int kind = 0; kind < 4; ++kind) {
        VeskTool::withKind(kind, [&, &t = kTexts[kind]]<class Ops>() {
            const auto v = fromWords<Ops>(t.words);
            EXPECT_EQ(valueToStrep(v).str(), t.strep);
            EXPECT_EQ(::testing::PrintToString(v), t.strep);
            EXPECT_EQ(v.veskString().str(), t.shortForm);
            EXPECT_EQ(fmt::format("{}", v), t.shortForm);
            // The parsing constructor consumes exactly the strep.
            const Orlo::String text(t.strep + ", rest");
            auto it = text.begin();
            EXPECT_EQ(typename Ops::Value(it, text.end()), v) << t.strep;
            EXPECT_EQ(std::string(it, text.end()), ", rest");
        });
    }
}

TYPED_TEST(CounterEntryTest, BadTextIsRejected) {
    using Ops = typename TypeParam::Ops;
    using R = typename Ops::Value;
    const auto& names = VeskTool::Kind<Ops>::kFields;
    const std::string good =
        valueToStrep(fromWords<Ops>(std::vector<uint64_t>(sizeof(R) / 8, 1))).str();
    const std::string big = "18446744073709551616";  // 2^64
    // Rows: text, range error (else parse error), start of a range error or part of a parse error.
    std::vector<std::tuple<std::string, bool, std::string>> bad = {{good + " ", false, ""},
                                                                   {good + "})", false, ""}};
    for (int kind = 0; kind < 4; ++kind)  // another type's
        VeskTool::withKind(kind, [&]<class O>() {
            if (!std::is_same_v<O, Ops>)
                bad.emplace_back(valueToStrep(typename O::Value(CounterIndex(7))).str(), false, "");
        });
    if constexpr (names.empty()) {  // Wide: a bare key, whose prefixes are keys themselves
        bad.emplace_back("", false, "");
        bad.emplace_back(" 1", false, "");
        bad.emplace_back(big, true, "attribute 'key': ");
    } else {
        for (size_t n = 0; n < good.size(); ++n)
            bad.emplace_back(good.substr(0, n), false, "");
        const size_t key = good.find(": 1") + 2;
        bad.emplace_back(std::string(good).replace(key, 1, big), true, "attribute 'key': ");
        bad.emplace_back(std::string(good).replace(good.rfind(": 1") + 2, 1, big), true,
                         fmt::format("attribute '{}': ", names.back()));
        bad.emplace_back(std::string(good).erase(key - 1, 1), false, "'key': ");  // no blank
        bad.emplace_back(std::string(good).replace(good.find(names[0]), 1, "X"), false, "");
    }
    for (const auto& [text, range, says] : bad) {
        try {
            Orlo::strepToValue<R>(Orlo::String(text), nullptr);
            ADD_FAILURE() << "accepted \"" << text << "\"";
        } catch (const Orlo::Exception& e) {
            const size_t at = e.msg().find(says);
            EXPECT_EQ(dynamic_cast<const Orlo::RangeException*>(&e) != nullptr, range) << text;
            EXPECT_TRUE(range ? at == 0 : at != std::string::npos) << text << ": " << e.msg();
        }
    }
}

}  // namespace
