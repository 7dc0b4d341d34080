// Mem::PlinthWrapper: a table file mapped by its writer or a reader, or process memory (local).
#include "Mem/Util.h"
#include "Plinth/PlinthWrapper.h"
#include "support/Tables.h"

#include <algorithm>

namespace {

using namespace VeskTest;
using Mem::PlinthWrapper;
const uint64_t kPage = Mem::pageSize_;

unsigned char patternByte(uint64_t i, unsigned tag) {
    return tag == 0 ? 0 : static_cast<unsigned char>((i * 131u + tag) % 251u + 1u);
}
void fill(void* p, uint64_t n, unsigned tag) {
    for (uint64_t i = 0; i < n; ++i)
        static_cast<unsigned char*>(p)[i] = patternByte(i, tag);
}
// Bytes [from, to) hold the pattern of `tag` (0: zeros).
bool holds(const void* p, uint64_t from, uint64_t to, unsigned tag) {
    for (uint64_t i = from; i < to; ++i)
        if (static_cast<const unsigned char*>(p)[i] != patternByte(i, tag))
            return false;
    return true;
}
bool has(const std::string& text, std::initializer_list<std::string> parts) {
    return std::ranges::all_of(parts, [&](auto& p) { return text.find(p) != std::string::npos; });
}

struct MemRegion : ::testing::Test {
    PlinthWrapper region(bool writer = true, bool local = false) const {
        return PlinthWrapper(*testHandler(), Mem::RootPath(*testHandler(), "t", writer), "slots",
                             local);
    }
    TestRoot root_;
};
using MemRegionProcess = MemRegion;
using MemRegionDeathTest = MemRegion;

// The writer makes the file with its mode and never shortens it; a reader follows its growth,
// refuses to map beyond the file and keeps its mapping when a resize fails.
TEST_F(MemRegion, ReaderFollowsGrowth) {
    auto w = region();
    const mode_t mask = ::umask(077);
    void* p = w.attach(3 * kPage, PlinthWrapper::kWriter);
    ::umask(mask);
    ASSERT_NE(p, nullptr) << w.errorText();
    EXPECT_EQ(std::filesystem::status(w.getFilename()).permissions(), std::filesystem::perms(0644));
    fill(p, 3 * kPage, 1);
    w.detach();
    ASSERT_NE(w.attach(kPage, PlinthWrapper::kWriter), nullptr) << w.errorText();
    auto r = region(false);
    EXPECT_EQ(r.attach(6 * kPage, PlinthWrapper::kReader), nullptr);
    EXPECT_TRUE(has(r.errorText(), {r.getFilename(), std::to_string(6 * kPage)})) << r.errorText();
    void* base = r.attach(kPage, PlinthWrapper::kReader);
    ASSERT_NE(base, nullptr) << r.errorText();
    ASSERT_NE(p = w.resize(8 * kPage + 100), nullptr) << w.errorText();
    EXPECT_TRUE(holds(p, 0, 3 * kPage, 1) && holds(p, 3 * kPage, 8 * kPage + 100, 0))
        << "a smaller attach shortened the file";
    fill(p, 8 * kPage, 2);
    EXPECT_EQ(r.resize(9 * kPage), nullptr);
    EXPECT_EQ(r.base(), base) << "a failed resize lost the mapping";
    ASSERT_NE(p = r.resize(8 * kPage), nullptr) << r.errorText();
    EXPECT_TRUE(holds(p, 0, 8 * kPage, 2));
    EXPECT_FALSE(r.punchHole(0)) << "a reader punched a hole";
}

TEST_F(MemRegion, LocalModeNeverTouchesTheFileSystem) {
    for (const bool heap : {false, true}) {
        auto w = region(true, true);
        w.useHeapIs(heap);
        void* p = w.attach(100, PlinthWrapper::kWriter);
        ASSERT_NE(p, nullptr) << w.errorText();
        fill(p, 100, 4);
        ASSERT_NE(p = w.resize(3 * kPage), nullptr) << w.errorText();
        EXPECT_TRUE(w.punchHole(50));  // the grown part is zeros, as is the punched one
        EXPECT_TRUE(holds(p, 0, 50, 4) && holds(p, 50, 3 * kPage, 0)) << heap;
        EXPECT_NE(region(false, true).attach(kPage, PlinthWrapper::kReader), nullptr);
        EXPECT_TRUE(std::filesystem::is_empty(root_.dir())) << "local mode made a file";
    }
}

// A file the reader may not open and a full file system fail with the reason, never a signal.
TEST_F(MemRegionProcess, RefusalsNameTheirReason) {
    auto w = region();
    ASSERT_NE(w.attach(kPage, PlinthWrapper::kWriter), nullptr) << w.errorText();
    ASSERT_EQ(::chmod(w.getFilename().c_str(), 0), 0);
    Child nobody(
        [this](Child& self) {
            auto r = region(false);
            self.send(r.attach(kPage, PlinthWrapper::kReader) ? "mapped" : r.errorText());
            return 0;
        },
        Child::As::nobody);
    std::string text = nobody.receive();
    EXPECT_TRUE(nobody.wait() == Child::kSkip || has(text, {w.getFilename(), "Permission denied"}))
        << text;

    Child full([this](Child& self) {
        if (std::string why; !privateTmpfs("256k", why)) {
            self.send(why);
            return Child::kSkip;
        }
        auto w = region();
        void* p = w.attach(64 * 1024, PlinthWrapper::kWriter);
        const bool refused = w.resize(1024 * 1024) == nullptr;
        fill(p, 64 * 1024, 8);  // every page of the old mapping can still be written
        self.send(!refused || w.base() != p || w.fileSize() != 64 * 1024 ? "resized"
                  : region().attach(1024 * 1024, PlinthWrapper::kWriter) ? "attached"
                                                                         : w.errorText());
        return 0;
    });
    text = full.receive();
    const int rc = full.wait();
    if (rc == Child::kSkip)
        GTEST_SKIP() << text;
    ASSERT_EQ(rc, 0) << "the child died of signal " << rc - 128 << "; " << text;
    EXPECT_TRUE(has(text, {"No space left on device", "/t/slots", std::to_string(1024 * 1024)}))
        << text;
}

// A stray store through a reader or a read past its mapping dies, even where the file goes on.
TEST_F(MemRegionDeathTest, StrayAccessDies) {
    auto w = region();
    ASSERT_NE(w.attach(2 * kPage, PlinthWrapper::kWriter), nullptr) << w.errorText();
    auto r = region(false);
    auto* q = static_cast<volatile unsigned char*>(r.attach(kPage, PlinthWrapper::kReader));
    ASSERT_NE(q, nullptr) << r.errorText();
    EXPECT_DEATH(q[0] = 1, "");
    EXPECT_DEATH(std::printf("%d", int(q[kPage])), "");
}

}  // namespace
