// The utility layer: exceptions and the throw routine, fatal assertions, debug handlers and
// trace sinks, bit reversal, file-size arithmetic and hex dumps.
#include "Mem/VersionedRef.h"
#include "Pimbo/Assert.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/Util.h"
#include "Plinth/CinderId.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// --- exceptions --------------------------------------------------------------------------------

template <class E>
class PimboExceptionTest : public testing::Test {};

using ExceptionTypes =
    testing::Types<Pimbo::CorruptionDetectedException, Pimbo::InvalidInitializeException,
                   Pimbo::MemoryResourceException, Pimbo::NoPermissionException,
                   Pimbo::OutOfRangeException, Pimbo::RuntimeException, Vesk::TableFullException,
                   Mem::VersionMismatchException>;
TYPED_TEST_SUITE(PimboExceptionTest, ExceptionTypes);

TYPED_TEST(PimboExceptionTest, ThrowFormatsTheMessageAndRecordsWhere) {
    static_assert(std::is_base_of_v<Pimbo::Exception, TypeParam>);
    static_assert(std::is_base_of_v<std::exception, TypeParam>);
    unsigned line = 0;
    try {
        line = __LINE__ + 1;
        PIMBO_THROW(TypeParam, "table {} index:{} size:{:#x}", "t/counter", 7, 255u);
    } catch (const TypeParam& e) {
        EXPECT_EQ(e.msg(), "table t/counter index:7 size:0xff");
        EXPECT_STREQ(e.what(), e.msg().c_str());
        EXPECT_STREQ(e.file(), "PimboTest.cpp") << "the path is shortened";
        EXPECT_EQ(e.line(), line);
        EXPECT_STREQ(e.function(), "TestBody");
        EXPECT_EQ(e.where(), "PimboTest.cpp:TestBody:" + std::to_string(line));
        return;
    }
    FAIL() << "nothing thrown";
}

TYPED_TEST(PimboExceptionTest, CaughtAsTheBaseClasses) {
    try {
        PIMBO_THROW(TypeParam, "n:{} unable to resize", 12);
    } catch (const Pimbo::Exception& e) {
        EXPECT_EQ(e.msg(), "n:12 unable to resize");
    }
    try {
        PIMBO_THROW(TypeParam, "plain");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "plain");
    }
}

TEST(PimboException, WhereNamesTheSourceBelowPlatformOrSrc) {
    try {
        Pimbo::Util::fileSizeHelper(uint64_t(1) << 40, uint64_t(1) << 40, 0);
        FAIL() << "nothing thrown";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_STREQ(e.file(), "Pimbo/Util.cpp");
        EXPECT_STREQ(e.function(), "fileSizeHelper");
        EXPECT_GT(e.line(), 0u);
        EXPECT_EQ(e.where(), "Pimbo/Util.cpp:fileSizeHelper:" + std::to_string(e.line()));
    }
}

TEST(PimboException, SourceNameShortensCompilerPaths) {
    EXPECT_STREQ(Pimbo::sourceName("/home/u/vesk/src/Vesk/VeskMap.h"), "Vesk/VeskMap.h");
    EXPECT_STREQ(Pimbo::sourceName("/build/x/platform/Mem/Local.cpp"), "Mem/Local.cpp");
    // Below both roots, the one nearer the file wins.
    EXPECT_STREQ(Pimbo::sourceName("/src/x/platform/Pimbo/Util.cpp"), "Pimbo/Util.cpp");
    EXPECT_STREQ(Pimbo::sourceName("Other.cpp"), "Other.cpp");
    EXPECT_STREQ(Pimbo::sourceName(nullptr), "");
}

TEST(PimboException, MessagesFormatOurTypesThroughTheirText) {
    try {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "cinder {} numSlots {} word {:08x}",
                    Plinth::CinderId(3, 9), Mem::VersionedRef<uint32_t>{2, 64}, 0xbeefu);
    } catch (const Pimbo::Exception& e) {
        EXPECT_EQ(e.msg(), "cinder 3:9 numSlots 0x2:64 word 0000beef");
    }
}

// --- fatal assertions --------------------------------------------------------------------------

struct Asserting : Pimbo::Debuggable {
    Asserting() : Pimbo::Debuggable(Pimbo::Platform::getDebugHandler("PimboTest"), "Asserting") {}
    void check(int v) {
        if (v < 0) {
            PIMBO_FAIL("negative value {} (look at the caller)", v);
        }
    }
};

TEST(PimboAssertDeathTest, FailureNamesClassSourceFunctionLineAndMessage) {
    const int line = __LINE__ + 1;
    EXPECT_DEATH(PIMBO_ASSERT_FAIL("SlotTable", "bad index {}", 17),
                 "assertion failed: class:SlotTable source:PimboTest.cpp function:TestBody line:" +
                     std::to_string(line) + " message:bad index 17");
}

TEST(PimboAssertDeathTest, AssertStopsOnlyWhenTheConditionFails) {
    int evaluated = 0;
    PIMBO_ASSERT(++evaluated == 1, "Test", "never shown");
    EXPECT_EQ(evaluated, 1);
    EXPECT_DEATH(PIMBO_ASSERT(evaluated == 2, "Test", "evaluated:{}", evaluated),
                 "class:Test .*message:evaluated:1");

    Asserting a;
    a.check(1);
    EXPECT_DEATH(a.check(-4), "class:Asserting .*function:check .*negative value -4");
}

// --- debug handlers and traces ---------------------------------------------------------------

// Captures every trace record while it lives; the default sink comes back afterwards.
class TraceCapture {
  public:
    struct Record {
        unsigned level;
        std::string handler, className, file, function;
        unsigned line;
        std::string message;
    };

    TraceCapture() {
        Pimbo::Platform::traceSinkIs([this](const Pimbo::Platform::TraceRecord& r) {
            records.push_back({r.level, std::string(r.handler), std::string(r.className), r.file,
                               r.function, r.line, std::string(r.message)});
        });
    }
    ~TraceCapture() { Pimbo::Platform::traceSinkIs({}); }

    std::vector<Record> records;
};

// Formats as "counted" and counts how often fmt asked for its text.
struct Counted {
    static inline int formats = 0;
    std::string toString() const {
        ++formats;
        return "counted";
    }
};

TEST(PimboDebug, HandlersAreSharedByName) {
    auto a = Pimbo::Platform::getDebugHandler("PimboTest.shared");
    auto b = Pimbo::Platform::getDebugHandler("PimboTest.shared");
    auto c = Pimbo::Platform::getDebugHandler("PimboTest.other");
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), c.get());
    EXPECT_EQ(a->name(), "PimboTest.shared");
    a->levelMaskIs(0x0104);
    EXPECT_EQ(b->levelMask(), 0x0104) << "a change through one holder is seen by all";
    EXPECT_TRUE(b->enabled(2));
    EXPECT_TRUE(b->enabled(8));
    EXPECT_FALSE(b->enabled(0));
    EXPECT_FALSE(b->enabled(16)) << "there are only 16 levels";
    EXPECT_FALSE(b->enabled(100));
}

TEST(PimboDebug, NewHandlersTakeTheDefaultMask) {
    const uint16_t saved = Pimbo::Platform::defaultLevelMask();
    Pimbo::Platform::defaultLevelMaskIs(0x0023);
    auto h = Pimbo::Platform::getDebugHandler("PimboTest.defaultMask");
    Pimbo::Platform::defaultLevelMaskIs(saved);
    EXPECT_EQ(h->levelMask(), 0x0023);
}

TEST(PimboDebug, DisabledLevelEvaluatesAndFormatsNothing) {
    auto h = Pimbo::Platform::getDebugHandler("PimboTest.lazy");
    h->levelMaskIs(0x0001);
    TraceCapture capture;
    int sideEffects = 0;
    Counted::formats = 0;
    PIMBO_TRACE_TO(*h, "Lazy", 5, "{} {}", ++sideEffects, Counted{});
    EXPECT_EQ(sideEffects, 0);
    EXPECT_EQ(Counted::formats, 0);
    EXPECT_TRUE(capture.records.empty());

    h->levelMaskIs(0x0021);
    PIMBO_TRACE_TO(*h, "Lazy", 5, "{} {}", ++sideEffects, Counted{});
    EXPECT_EQ(sideEffects, 1);
    EXPECT_EQ(Counted::formats, 1);
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].message, "1 counted");
}

struct Tracing : Pimbo::Debuggable {
    explicit Tracing(std::shared_ptr<Pimbo::Platform::DebugHandler> h)
        : Pimbo::Debuggable(std::move(h), "SlotReaderTable") {}
    unsigned traceResize(unsigned from, unsigned to) {
        const unsigned line = __LINE__ + 1;
        PIMBO_TRACE(2, "growing from: {} to: {}", from, to);
        return line;
    }
};

TEST(PimboDebug, SinkReceivesLevelHandlerClassSourceAndMessage) {
    auto h = Pimbo::Platform::getDebugHandler("PimboTest.sink");
    h->levelMaskIs(0x0005);
    Tracing tracing(h);
    unsigned line = 0;
    {
        TraceCapture capture;
        line = tracing.traceResize(64, 128);
        PIMBO_TRACE_TO(*h, "Other", 0, "corruption detected: {}", "bad magic");
        PIMBO_TRACE_TO(*h, "Other", 1, "not enabled");
        ASSERT_EQ(capture.records.size(), 2u);
        const auto& r = capture.records[0];
        EXPECT_EQ(r.level, 2u);
        EXPECT_EQ(r.handler, "PimboTest.sink");
        EXPECT_EQ(r.className, "SlotReaderTable");
        EXPECT_EQ(r.file, "PimboTest.cpp");
        EXPECT_EQ(r.function, "traceResize");
        EXPECT_EQ(r.line, line);
        EXPECT_EQ(r.message, "growing from: 64 to: 128");
        EXPECT_EQ(capture.records[1].level, 0u);
        EXPECT_EQ(capture.records[1].className, "Other");
        EXPECT_EQ(capture.records[1].message, "corruption detected: bad magic");
    }
    const Pimbo::Platform::TraceRecord record{3, "h", "C", "Vesk/X.h", "f", 12, "removing file: x"};
    EXPECT_EQ(Pimbo::Platform::traceLine(record), "level:3 h Vesk/X.h:f:12 [C] removing file: x");
}

TEST(PimboDebug, DebuggableFollowsAReplacedHandler) {
    auto first = Pimbo::Platform::getDebugHandler("PimboTest.first");
    auto second = Pimbo::Platform::getDebugHandler("PimboTest.second");
    first->levelMaskIs(0x0004);
    second->levelMaskIs(0x0004);
    Tracing tracing(first);
    EXPECT_EQ(&tracing.debugHandler(), first.get());
    tracing.debugHandlerIs(second);
    TraceCapture capture;
    tracing.traceResize(1, 2);
    ASSERT_EQ(capture.records.size(), 1u);
    EXPECT_EQ(capture.records[0].handler, "PimboTest.second");
}

// --- bit reversal ------------------------------------------------------------------------------

uint32_t reverseBitByBit(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i) {
        if (v & (1u << i)) {
            r |= 1u << (31 - i);
        }
    }
    return r;
}

// Seed and iteration count come from VESK_TEST_SEED and VESK_TEST_ITERATIONS when set.
uint64_t testSeed() {
    const char* env = std::getenv("VESK_TEST_SEED");
    const uint64_t seed = env ? std::strtoull(env, nullptr, 0) : std::random_device{}();
    std::cout << "seed (VESK_TEST_SEED): " << seed << std::endl;
    return seed;
}

uint64_t testIterations(uint64_t standard) {
    const char* env = std::getenv("VESK_TEST_ITERATIONS");
    return env ? std::strtoull(env, nullptr, 0) : standard;
}

TEST(PimboUtil, ReverseMovesBitZeroToBitThirtyOne) {
    static_assert(Pimbo::Util::reverse(1u) == 0x80000000u);
    EXPECT_EQ(Pimbo::Util::reverse(0x80000000u), 1u);
    EXPECT_EQ(Pimbo::Util::reverse(0x0000000Fu), 0xF0000000u);
    EXPECT_EQ(Pimbo::Util::reverse(0x12345678u), 0x1E6A2C48u);
    EXPECT_EQ(Pimbo::Util::reverse(0u), 0u);
    EXPECT_EQ(Pimbo::Util::reverse(0xFFFFFFFFu), 0xFFFFFFFFu);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(Pimbo::Util::reverse(1u << i), 1u << (31 - i)) << "bit " << i;
    }
}

TEST(PimboUtil, ReverseIsAnInvolutionOverRandomValues) {
    const uint64_t seed = testSeed();
    std::mt19937_64 rng(seed);
    const uint64_t iterations = testIterations(100000);
    for (uint64_t i = 0; i < iterations; ++i) {
        const uint32_t v = uint32_t(rng());
        const uint32_t r = Pimbo::Util::reverse(v);
        ASSERT_EQ(r, reverseBitByBit(v)) << "value " << v << " seed " << seed;
        ASSERT_EQ(Pimbo::Util::reverse(r), v) << "value " << v << " seed " << seed;
    }
}

// --- file sizes and hex dumps ----------------------------------------------------------------

TEST(PimboUtil, FileSizeHelperAddsHeaderAndThrowsOnOverflow) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(Pimbo::Util::fileSizeHelper(64, 40, 616), 3176u);
    EXPECT_EQ(Pimbo::Util::fileSizeHelper(0, 40, 616), 616u);
    EXPECT_EQ(Pimbo::Util::fileSizeHelper(kMax - 616, 1, 616), kMax) << "exactly fits";
    EXPECT_THROW(Pimbo::Util::fileSizeHelper(kMax - 615, 1, 616), Pimbo::RuntimeException);
    try {
        Pimbo::Util::fileSizeHelper(uint64_t(1) << 60, 40, 616);
        FAIL() << "nothing thrown";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_EQ(e.msg(), "file size overflow: 1152921504606846976 x 40 + 616");
    }
}

TEST(PimboUtil, DumpHexShowsBytesAsTheyLieInMemory) {
    const uint64_t seven = 7;
    EXPECT_EQ(Pimbo::dumpHex(&seven, sizeof seven), "0700000000000000");
    const unsigned char bytes[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x0a};
    EXPECT_EQ(Pimbo::dumpHex(bytes, sizeof bytes), "deadbeef000a");
    EXPECT_EQ(Pimbo::dumpHex(bytes, 0), "");
}

}  // namespace
