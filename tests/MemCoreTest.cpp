// The small shared-memory building blocks: VersionedRef, VersionAnchor, RootPath and the memory
// arithmetic helpers.
#include "Mem/RootPath.h"
#include "Mem/Util.h"
#include "Mem/VersionAnchor.h"
#include "Mem/VersionedRef.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace {

using Ref = Mem::VersionedRef<uint32_t>;

// --- VersionedRef ----------------------------------------------------------------------------

TEST(MemVersionedRef, VersionIsTheLowHalfOfOneAlignedWord) {
    static_assert(alignof(Ref) == 8);
    const Ref ref{0x11223344u, 0xAABBCCDDu};
    uint64_t word = 0;
    std::memcpy(&word, &ref, sizeof word);
    EXPECT_EQ(word, 0xAABBCCDD11223344ull) << "version in bytes 0-3, value in bytes 4-7";
    EXPECT_EQ(ref.packed(), word);
    EXPECT_EQ(Ref::fromPacked(word), ref);
}

TEST(MemVersionedRef, PublishAndLoadMoveBothHalvesTogether) {
    alignas(8) Ref shared{};
    Ref::publish(&shared, Ref{5, 1024});
    EXPECT_EQ(shared.version, 5u);
    EXPECT_EQ(shared.value, 1024u);
    const Ref seen = Ref::load(&shared);
    EXPECT_EQ(seen, (Ref{5, 1024}));
    EXPECT_NE(seen, (Ref{6, 1024})) << "a changed version is a change";
}

TEST(MemVersionedRef, TextIsHexVersionColonDecimalValue) {
    EXPECT_EQ((Ref{0x1f, 42}).toString(), "0x1f:42");
    EXPECT_EQ((Ref{0, 0}).toString(), "0x0:0");
    EXPECT_EQ((Ref{0xFFFFFFFFu, 4294967295u}).toString(), "0xffffffff:4294967295");
    EXPECT_EQ(fmt::format("numSlots {}", Ref{2, 64}), "numSlots 0x2:64");
}

// --- VersionAnchor ---------------------------------------------------------------------------

// A mapping stand-in: words whose third one is the `flags` word an anchor watches.
struct AnchorTest : testing::Test {
    alignas(8) uint32_t words[8] = {0, 0, 0x10, 0, 0, 0, 0, 0};
    uint32_t* flagsWord = &words[2];
};

TEST_F(AnchorTest, DefaultAnchorIsNotSet) {
    Mem::VersionAnchor anchor;
    EXPECT_EQ(anchor.offset, Mem::VersionAnchor::kNotSet);
    EXPECT_EQ(anchor.offset, 0xFFFFFFFEu);
    EXPECT_EQ(Mem::VersionAnchor::kInvalid, 0xFFFFFFFFu);
    EXPECT_FALSE(anchor.isSet());
    EXPECT_EQ(anchor.base, nullptr);
    const Mem::CacheVersionAnchor cache;
    EXPECT_EQ(cache.offset, 0xFFFFFFFEu);
    EXPECT_EQ(anchor.cache(), cache);
}

TEST_F(AnchorTest, ValidatePassesWhileTheWordIsUnchangedAndThrowsOnceItChanges) {
    Mem::VersionAnchor anchor;
    anchor.set(*flagsWord, flagsWord, words);
    EXPECT_TRUE(anchor.isSet());
    EXPECT_EQ(anchor.offset, 8u);
    EXPECT_EQ(anchor.cache(), (Mem::CacheVersionAnchor{0x10, 8}));
    EXPECT_NO_THROW(anchor.validate());

    *flagsWord = 0x14;
    try {
        anchor.validate();
        FAIL() << "validate passed after the word changed";
    } catch (const Mem::VersionMismatchException& e) {
        EXPECT_NE(e.msg().find("0x10"), std::string::npos) << e.msg();
        EXPECT_NE(e.msg().find("0x14"), std::string::npos) << e.msg();
    }
    // The same value seen again validates again: only the value counts.
    *flagsWord = 0x10;
    EXPECT_NO_THROW(anchor.validate());
}

TEST_F(AnchorTest, InvalidAnchorThrowsEvenWhenTheWordIsUnchanged) {
    Mem::VersionAnchor anchor;
    anchor.set(*flagsWord, flagsWord, words);
    anchor.invalidate();
    EXPECT_FALSE(anchor.isSet());
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    static_assert(std::is_base_of_v<Pimbo::Exception, Mem::VersionMismatchException>);
}

TEST_F(AnchorTest, RebaseKeepsAnAnchorInsideTheNewMappingAndInvalidatesOneOutside) {
    alignas(8) uint32_t moved[8] = {0, 0, 0x10, 0, 0, 0, 0, 0};
    Mem::VersionAnchor anchor;
    anchor.set(*flagsWord, flagsWord, words);

    // The word (bytes 8..11) is still whole in a 12-byte mapping.
    anchor.rebase(moved, 12);
    ASSERT_TRUE(anchor.isSet());
    EXPECT_EQ(anchor.base, reinterpret_cast<const char*>(moved));
    EXPECT_NO_THROW(anchor.validate());
    moved[2] = 0x18;
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException) << "it now reads the new base";
    *flagsWord = 0x77;
    moved[2] = 0x10;
    EXPECT_NO_THROW(anchor.validate()) << "the old base is no longer consulted";

    // An 11-byte mapping cuts the word: invalid from now on, even at the old size.
    anchor.rebase(words, 11);
    EXPECT_FALSE(anchor.isSet());
    EXPECT_EQ(anchor.offset, Mem::VersionAnchor::kInvalid);
    EXPECT_THROW(anchor.validate(), Mem::VersionMismatchException);
    anchor.rebase(moved, 32);
    EXPECT_EQ(anchor.offset, Mem::VersionAnchor::kInvalid);

    // Tiny mappings never hold a word, without wrapping around.
    Mem::VersionAnchor first;
    first.set(words[0], &words[0], words);
    first.rebase(moved, 3);
    EXPECT_EQ(first.offset, Mem::VersionAnchor::kInvalid);

    // Rebasing a never-set anchor leaves it never set.
    Mem::VersionAnchor unset;
    unset.rebase(moved, 32);
    EXPECT_EQ(unset.offset, Mem::VersionAnchor::kNotSet);
}

TEST_F(AnchorTest, ResetForgetsTheAnchor) {
    Mem::VersionAnchor anchor;
    anchor.set(*flagsWord, flagsWord, words);
    anchor.reset();
    EXPECT_EQ(anchor.offset, Mem::VersionAnchor::kNotSet);
    EXPECT_EQ(anchor.base, nullptr);
    EXPECT_EQ(anchor.flags, 0u);
}

TEST_F(AnchorTest, TextNamesFlagsAndOffset) {
    Mem::VersionAnchor anchor;
    anchor.set(0x25, flagsWord, words);
    EXPECT_NE(anchor.toString().find("flags 0x25, offset 0x8"), std::string::npos)
        << anchor.toString();
    EXPECT_EQ(anchor.cache().toString(), "CacheVersionAnchor{ flags 0x25, offset 0x8 }");
}

using AnchorDeathTest = AnchorTest;

TEST_F(AnchorDeathTest, ValidatingANeverSetAnchorStopsTheProcess) {
    Mem::VersionAnchor anchor;
    EXPECT_DEATH(anchor.validate(),
                 "class:VersionAnchor .*should not be called on a default-constructed "
                 "VersionAnchor");
    anchor.set(*flagsWord, flagsWord, words);
    anchor.reset();
    EXPECT_DEATH(anchor.validate(), "default-constructed VersionAnchor");
}

// --- RootPath --------------------------------------------------------------------------------

class MemRootPathTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/dev/shm/vesk-rootpath-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr) << std::strerror(errno);
        dir_ = pattern;
        savedRoot_ = Mem::RootPath::root();
        Mem::RootPath::rootIs(dir_);
    }
    void TearDown() override {
        Mem::RootPath::rootIs(savedRoot_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Pimbo::Platform::DebugHandler& handler() { return *handler_; }

    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_ =
        Pimbo::Platform::getDebugHandler("MemRootPathTest");
    std::string dir_;
    std::string savedRoot_;
};

TEST_F(MemRootPathTest, JoinsNamesBelowTheRoot) {
    EXPECT_EQ(Mem::RootPath::root(), dir_);
    const Mem::RootPath path(handler(), "sys//counters/./t1/", false);
    EXPECT_EQ(path.directory(), dir_ + "/sys/counters/t1");
    EXPECT_EQ(path.name(), "sys//counters/./t1/");
    EXPECT_EQ(path.filePath("slots"), dir_ + "/sys/counters/t1/slots");
    EXPECT_EQ(fmt::format("{}", path), dir_ + "/sys/counters/t1");
    EXPECT_FALSE(path.mayCreate());

    // Names that look like parents but are not ".." are ordinary names.
    EXPECT_EQ(Mem::RootPath(handler(), "a..b/...", false).directory(), dir_ + "/a..b/...");

    // Directory, prefix and name; an empty dir means the process's root and drops the prefix.
    EXPECT_EQ(Mem::RootPath(handler(), "/var/shmem", Mem::RootPath::COMMON_PREFIX, "/", false)
                  .directory(),
              "/var/shmem/vesk");
    EXPECT_EQ(Mem::RootPath(handler(), "/x/", "p", "t", false).directory(), "/x/p/t");
    EXPECT_EQ(Mem::RootPath(handler(), "", "p", "t", false).directory(), dir_ + "/t");
}

TEST_F(MemRootPathTest, RefusesParentComponentsNamingTheTable) {
    for (const std::string name : {"..", "../etc", "a/../../b", "a/.."}) {
        SCOPED_TRACE(name);
        try {
            Mem::RootPath path(handler(), name, true);
            FAIL() << "accepted " << path.directory();
        } catch (const Pimbo::InvalidInitializeException& e) {
            EXPECT_NE(e.msg().find(name), std::string::npos) << e.msg();
        }
    }
    EXPECT_THROW(Mem::RootPath(handler(), "/var", "..", "t", false),
                 Pimbo::InvalidInitializeException);
}

TEST_F(MemRootPathTest, EnsureDirectoryCreatesNestedDirectoriesOnlyWhenAllowed) {
    const Mem::RootPath reader(handler(), "a/b/c", false);
    try {
        reader.ensureDirectory();
        FAIL() << "a path that may not create made " << reader.directory();
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_NE(e.msg().find(dir_ + "/a/b/c"), std::string::npos) << e.msg();
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/a"));

    const Mem::RootPath writer(handler(), "a/b/c", true);
    writer.ensureDirectory();
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/a/b/c"));
    EXPECT_NO_THROW(writer.ensureDirectory()) << "an existing directory is fine";
    EXPECT_NO_THROW(reader.ensureDirectory()) << "even for a path that may not create";
}

TEST_F(MemRootPathTest, EnsureDirectoryNamesTheDirectoryWhenAFileIsInTheWay) {
    std::ofstream(dir_ + "/blocker") << "x";
    const Mem::RootPath below(handler(), "blocker/t", true);
    try {
        below.ensureDirectory();
        FAIL() << "created a directory below a file";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_NE(e.msg().find(dir_ + "/blocker/t"), std::string::npos) << e.msg();
    }
    const Mem::RootPath itself(handler(), "blocker", true);
    try {
        itself.ensureDirectory();
        FAIL() << "accepted a file as the directory";
    } catch (const Pimbo::InvalidInitializeException& e) {
        EXPECT_NE(e.msg().find(dir_ + "/blocker"), std::string::npos) << e.msg();
    }
}

// --- memory arithmetic -----------------------------------------------------------------------

TEST(MemUtil, MultiplyOverflowCheck) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(Mem::multiplyOverflowCheck(0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFE00000001ull);
    EXPECT_EQ(Mem::multiplyOverflowCheck(kMax, 1), kMax);
    EXPECT_EQ(Mem::multiplyOverflowCheck(0, kMax), 0u);
    EXPECT_EQ(Mem::multiplyOverflowCheck(uint64_t(1) << 32, uint64_t(1) << 31), uint64_t(1) << 63);
    EXPECT_THROW(Mem::multiplyOverflowCheck(kMax, 2), Pimbo::RuntimeException);
    try {
        Mem::multiplyOverflowCheck(uint64_t(1) << 32, uint64_t(1) << 32);
        FAIL() << "2^64 fitted in 64 bits";
    } catch (const Pimbo::RuntimeException& e) {
        EXPECT_EQ(e.msg(), "multiplication overflow: 4294967296 x 4294967296");
    }
}

TEST(MemUtil, PageSizeIsTheSystemsPageSize) {
    EXPECT_EQ(Mem::pageSize_, uint32_t(::sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(Mem::pageSize_ & (Mem::pageSize_ - 1), 0u) << "a power of two";
}

}  // namespace
