// The version anchor, the table path that never leaves the root (and the name rule) and the
// process-local store.
#include "Mem/Util.h"
#include "Mem/VersionAnchor.h"
#include "Nebo/Local.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableName.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// An anchor passes while its word is unchanged and mapped, follows a re-map, and once invalid
// stays invalid.
TEST(MemAnchor, PassesOnlyWhileItsWordIsUnchangedAndMapped) {
    alignas(8) uint32_t words[4] = {0, 0, 0x10, 0};
    alignas(8) uint32_t moved[4] = {0, 0, 0x10, 0};
    Mem::VersionAnchor anchor;
    anchor.set(words[2], &words[2], words);
    EXPECT_NO_THROW(anchor.validate());
    words[2] = 0x14;
    try {
        anchor.validate();
        ADD_FAILURE() << "validate passed after the word changed";
    } catch (const Mem::VersionMismatchException& e) {
        EXPECT_NE(e.msg().find("0x10"), std::string::npos) << e.msg();
        EXPECT_NE(e.msg().find("0x14"), std::string::npos) << e.msg();
    }
    anchor.rebase(moved, 12);  // the word, bytes 8..11, is still whole
    EXPECT_NO_THROW(anchor.validate()) << "it read the old base";
    moved[2] = 0x18;
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.rebase(words, 11);  // cuts the word
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.rebase(moved, 16);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException) << "invalid came back";
    anchor.set(words[0], &words[0], words);
    anchor.rebase(moved, 3);
    EXPECT_FALSE(anchor.isSet()) << "a 3-byte mapping held a 4-byte word";
}

TEST(MemAnchorDeathTest, NeverSetAnchorStops) {
    Mem::VersionAnchor unset;
    unset.rebase(&unset, sizeof unset);
    EXPECT_DEATH(unset.validate(), "default-constructed VersionAnchor");
}

// A table's name never reaches above the root.
// A name that leaves the root, or that cannot be shown as it is, names no table; listings show
// such names escaped.
TEST(MemRootPath, NameRule) {
    auto& handler = *Pimbo::Platform::getDebugHandler("MemCoreTest");
    for (const char* name : {"..", "../etc", "a/../../b", "a/..", "bad\xffutf8", "over\xc0\xaflong",
                             "bell\a", "esc\x1b[2J", "c1\xc2\x85",
                             "rtl\xe2\x80\xae"
                             "exe",
                             "isolate\xe2\x81\xa6", "surrogate\xed\xa0\x80", "del\x7f"})
        EXPECT_THROW(Mem::RootPath(handler, name, true), Pimbo::InvalidInitializeException) << name;
    for (const char* name : {"port1", "a b.c-d_e", "z\xc3\xa4hler", "\xe6\x97\xa5\xe6\x9c\xac"})
        EXPECT_EQ(Mem::tableNameProblem(name), nullptr) << name;
    EXPECT_STREQ(Mem::tableNameProblem(std::string(256, 'a')), "longer than 255 bytes");
    struct Case {
        const char* name;
        const char* shown;
    };
    for (const Case& c : {Case{"a\x1b[2Jb", "a\\x1b[2Jb"}, Case{"x\xffy", "x\\xffy"},
                          Case{"r\xe2\x80\xaes", "r\\u202es"}, Case{"back\\slash", "back\\\\slash"},
                          Case{"z\xc3\xa4hler", "z\xc3\xa4hler"}})
        EXPECT_EQ(Mem::escapedName(c.name), c.shown);
}

// A size that does not fit in 64 bits is refused, never wrapped.
TEST(MemUtil, MultiplyOverflowCheck) {
    EXPECT_EQ(Mem::multiplyOverflowCheck(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFE00000001ull);
    EXPECT_EQ(Mem::multiplyOverflowCheck(0, ~0ull), 0u);
    EXPECT_EQ(Mem::multiplyOverflowCheck(1ull << 32, 1ull << 31), 1ull << 63);
    EXPECT_THROW(Mem::multiplyOverflowCheck(~0ull, 2), Pimbo::RuntimeException);
    EXPECT_THROW(Mem::multiplyOverflowCheck(1ull << 32, 1ull << 32), Pimbo::RuntimeException);
}

// The local store keeps its elements through growth, shrinking and a move between the mapping
// and the heap; writes past the end are refused.
TEST(NeboLocal, GrowShrinkMoveAndRefuse) {
    Nebo::Local<uint64_t> store;
    const auto expectElements = [&store](uint32_t n, const char* when) {
        ASSERT_EQ(store.members(), n) << when;
        ASSERT_GE(store.capacity(), n) << when;
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(std::as_const(store).get(i), i < 1000 ? i * 3 : 0)
                << when << " element " << i;
        EXPECT_EQ(std::as_const(store).get(n), 0u) << when << ": past the end reads as default";
    };
    for (uint64_t i = 0; i < 1000; ++i)
        store.push(i * 3);
    expectElements(1000, "after pushes");
    EXPECT_EQ(store.back(), 2997u);
    for (bool heap : {true, false}) {
        store.useHeapIs(heap);
        expectElements(1000, heap ? "moved to the heap" : "moved back to a mapping");
    }
    store.capacityIs(1200);
    expectElements(1200, "after growing to 1200 (new elements zero)");
    store.capacityIs(10);
    store.pop();
    expectElements(9, "after shrinking");
    EXPECT_THROW(store.write(9, 1), Pimbo::OutOfRangeException);
    store.write(8, 24);
    EXPECT_EQ(store.back(), 24u);
    EXPECT_EQ(Nebo::Local<uint64_t>(5, 7).back(), 7u);
}

}  // namespace
