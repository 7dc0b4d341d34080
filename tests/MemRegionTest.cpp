// Memory regions: Mem::Local (process memory) and Mem::PlinthWrapper (one file of a table).
//
// Every test runs under a private table root below /dev/shm, restored afterwards. Tests that
// need another identity or another mount namespace run their body in a forked child and report
// back through a pipe.
#include "Mem/Local.h"
#include "Mem/PlinthWrapper.h"
#include "Mem/RootPath.h"
#include "Mem/Util.h"
#include "Pimbo/Debug.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

const uint64_t kPage = Mem::pageSize_;

// Byte i of the pattern a test writes with `tag`.
unsigned char patternByte(uint64_t i, unsigned tag) {
    return static_cast<unsigned char>((i * 131u + tag) % 251u + 1u);
}

void fillPattern(void* p, uint64_t n, unsigned tag) {
    auto* bytes = static_cast<unsigned char*>(p);
    for (uint64_t i = 0; i < n; ++i) {
        bytes[i] = patternByte(i, tag);
    }
}

// The first offset in [from, to) whose byte differs from the pattern, or `to`.
uint64_t firstPatternMismatch(const void* p, uint64_t from, uint64_t to, unsigned tag) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (uint64_t i = from; i < to; ++i) {
        if (bytes[i] != patternByte(i, tag)) {
            return i;
        }
    }
    return to;
}

// The first non-zero offset in [from, to), or `to`.
uint64_t firstNonZero(const void* p, uint64_t from, uint64_t to) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (uint64_t i = from; i < to; ++i) {
        if (bytes[i] != 0) {
            return i;
        }
    }
    return to;
}

unsigned char readByte(const void* p, uint64_t offset) {
    return *(static_cast<const volatile unsigned char*>(p) + offset);
}

struct ChildResult {
    bool exited = false;
    int status = -1;  // exit code, or the signal that ended the child
    std::string message;
};

// Runs `body` in a forked child; its return text goes back through a pipe, and its exit code is
// 0 unless the body called _exit itself.
ChildResult runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {false, -1, std::string("pipe: ") + std::strerror(errno)};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string text = body();
        [[maybe_unused]] ssize_t w = ::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildResult result;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        result.message.append(buffer, n);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return result;
}

class MemRegionTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/dev/shm/vesk-region-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr) << std::strerror(errno);
        dir_ = pattern;
        savedRoot_ = Mem::RootPath::root();
        Mem::RootPath::rootIs(dir_);
    }
    void TearDown() override {
        Mem::RootPath::rootIs(savedRoot_);
        removeRoot();
    }

    // Removes the private root while its mappings stay valid: a death-test child calls it before
    // it dies, since it never reaches TearDown.
    void removeRoot() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Mem::RootPath table(const std::string& name, bool mayCreate = true) {
        return Mem::RootPath(*handler_, name, mayCreate);
    }
    Mem::PlinthWrapper wrapper(const std::string& tableName, bool local = false) {
        return Mem::PlinthWrapper(*handler_, table(tableName), "slots", local);
    }

    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_ =
        Pimbo::Platform::getDebugHandler("MemRegionTest");
    std::string dir_;
    std::string savedRoot_;
};

// --- Mem::Local ---------------------------------------------------------------------------

class MemLocalTest : public testing::TestWithParam<bool> {};

TEST_P(MemLocalTest, GrowsAndShrinksKeepingContents) {
    Mem::Local region;
    region.useHeapIs(GetParam());
    EXPECT_STREQ(region.kind(), GetParam() ? Mem::Local::HEAP : Mem::Local::ANONYMOUS);
    EXPECT_FALSE(region.attached());

    // An empty request still yields room for one element, zeroed.
    void* p = region.attach(0);
    ASSERT_NE(p, nullptr) << region.errorText();
    ASSERT_GE(region.size(), Mem::Local::kMinSize);
    EXPECT_EQ(firstNonZero(p, 0, region.size()), region.size());
    if (!GetParam()) {
        EXPECT_EQ(region.size() % kPage, 0u) << "a mapping holds whole pages";
    }

    p = region.resize(1000);
    ASSERT_NE(p, nullptr) << region.errorText();
    ASSERT_GE(region.size(), 1000u);
    fillPattern(p, 1000, 7);

    p = region.resize(5 * kPage + 3);
    ASSERT_NE(p, nullptr) << region.errorText();
    ASSERT_GE(region.size(), 5 * kPage + 3);
    EXPECT_EQ(firstPatternMismatch(p, 0, 1000, 7), 1000u);
    EXPECT_EQ(firstNonZero(p, 1000, region.size()), region.size()) << "grown bytes read as zero";

    p = region.resize(300);
    ASSERT_NE(p, nullptr) << region.errorText();
    EXPECT_GE(region.size(), 300u);
    EXPECT_EQ(firstPatternMismatch(p, 0, 300, 7), 300u);
    EXPECT_EQ(region.base(), p);

    region.detach();
    EXPECT_FALSE(region.attached());
    EXPECT_EQ(region.size(), 0u);
}

TEST_P(MemLocalTest, RefusesRegionsOfMaxMappingSizeAndKeepsOldMemory) {
    EXPECT_EQ(Mem::Local::maxMappingSize(), uint64_t(1) << 40);
    Mem::Local region;
    region.useHeapIs(GetParam());
    EXPECT_EQ(region.attach(Mem::Local::maxMappingSize()), nullptr);
    EXPECT_FALSE(region.attached());
    EXPECT_NE(region.errorText().find(std::to_string(Mem::Local::maxMappingSize())),
              std::string::npos)
        << region.errorText();

    void* p = region.attach(64);
    ASSERT_NE(p, nullptr);
    fillPattern(p, 64, 3);
    const uint64_t before = region.size();
    EXPECT_EQ(region.resize(Mem::Local::maxMappingSize() + 1), nullptr);
    EXPECT_NE(region.errorText().find(region.kind()), std::string::npos) << region.errorText();
    EXPECT_EQ(region.base(), p);
    EXPECT_EQ(region.size(), before);
    EXPECT_EQ(firstPatternMismatch(p, 0, 64, 3), 64u);
}

TEST_P(MemLocalTest, ResizeOfDetachedRegionAttachesAndEnableGivesMinimumRoom) {
    Mem::Local region;
    region.useHeapIs(GetParam());
    void* p = region.resize(0);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(region.size(), Mem::Local::kMinSize);

    Mem::Local other;
    other.useHeapIs(GetParam());
    ASSERT_NE(other.enable(), nullptr);
    EXPECT_GE(other.size(), Mem::Local::kMinSize);
    fillPattern(other.base(), Mem::Local::kMinSize, 1);
    EXPECT_EQ(other.enable(), other.base()) << "enable on an attached region changes nothing";
    EXPECT_EQ(firstPatternMismatch(other.base(), 0, Mem::Local::kMinSize, 1), Mem::Local::kMinSize);
}

TEST_P(MemLocalTest, SwitchingKindWhileAttachedKeepsContents) {
    Mem::Local region;
    region.useHeapIs(GetParam());
    void* p = region.attach(3000);
    ASSERT_NE(p, nullptr);
    fillPattern(p, 3000, 9);
    region.useHeapIs(!GetParam());
    EXPECT_EQ(region.useHeap(), !GetParam());
    ASSERT_TRUE(region.attached());
    EXPECT_GE(region.size(), 3000u);
    EXPECT_EQ(firstPatternMismatch(region.base(), 0, 3000, 9), 3000u);

    Mem::Local moved(std::move(region));
    EXPECT_FALSE(region.attached());
    ASSERT_TRUE(moved.attached());
    EXPECT_EQ(firstPatternMismatch(moved.base(), 0, 3000, 9), 3000u);
}

INSTANTIATE_TEST_SUITE_P(HeapAndMapping, MemLocalTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Heap" : "Anonymous";
                         });

// --- Mem::PlinthWrapper: files -------------------------------------------------------------

TEST_F(MemRegionTest, WriterCreatesDirectoryAndFile0644WhateverTheUmask) {
    auto region = Mem::PlinthWrapper(*handler_, table("sys/counters/t1"), "slots", false);
    EXPECT_EQ(region.getFilename(), dir_ + "/sys/counters/t1/slots");
    EXPECT_EQ(region.memSize(), 0u) << "no file yet";
    EXPECT_EQ(region.fileSize(), 0u);

    const mode_t oldMask = ::umask(077);
    void* p = region.attach(10000, Mem::PlinthWrapper::kWriter);
    ::umask(oldMask);
    ASSERT_NE(p, nullptr) << region.errorText();
    EXPECT_TRUE(region.attached());
    EXPECT_EQ(region.mode(), Mem::PlinthWrapper::kWriter);

    struct stat st;
    ASSERT_EQ(::stat(region.getFilename().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(uint64_t(st.st_size), 10000u);
    EXPECT_EQ(region.memSize(), 10000u);
    EXPECT_EQ(region.fileSize(), 10000u);
    EXPECT_EQ(region.mappedSize(), 10000u);

    // Stores reach the file: a second, independent mapping sees them.
    fillPattern(p, 10000, 4);
    auto reader = Mem::PlinthWrapper(*handler_, table("sys/counters/t1", false), "slots", false);
    void* r = reader.attach(10000, Mem::PlinthWrapper::kReader);
    ASSERT_NE(r, nullptr) << reader.errorText();
    EXPECT_NE(r, p);
    EXPECT_EQ(firstPatternMismatch(r, 0, 10000, 4), 10000u);
    EXPECT_EQ(reader.mode(), Mem::PlinthWrapper::kReader);

    // The file outlives the mapping; memSize still reports it.
    region.detach();
    EXPECT_FALSE(region.attached());
    EXPECT_EQ(region.mappedSize(), 0u);
    EXPECT_EQ(region.memSize(), 10000u);
}

TEST_F(MemRegionTest, ResizeKeepsContentsAndNeverShortensTheFile) {
    auto region = wrapper("t");
    void* p = region.attach(kPage, Mem::PlinthWrapper::kWriter);
    ASSERT_NE(p, nullptr) << region.errorText();
    fillPattern(p, kPage, 1);

    // Growing maps a new range; the contents come along and the new bytes are zero.
    void* grown = region.resize(3 * kPage + 100);
    ASSERT_NE(grown, nullptr) << region.errorText();
    EXPECT_EQ(region.base(), grown);
    EXPECT_EQ(region.mappedSize(), 3 * kPage + 100);
    EXPECT_EQ(region.fileSize(), 3 * kPage + 100);
    EXPECT_EQ(firstPatternMismatch(grown, 0, kPage, 1), kPage);
    EXPECT_EQ(firstNonZero(grown, kPage, 3 * kPage + 100), 3 * kPage + 100);
    fillPattern(grown, 3 * kPage + 100, 2);

    // Shrinking the mapping leaves the file as long as it was.
    void* shrunk = region.resize(kPage);
    ASSERT_NE(shrunk, nullptr) << region.errorText();
    EXPECT_EQ(region.mappedSize(), kPage);
    EXPECT_EQ(region.fileSize(), 3 * kPage + 100);
    EXPECT_EQ(region.memSize(), 3 * kPage + 100);
    EXPECT_EQ(firstPatternMismatch(shrunk, 0, kPage, 2), kPage);

    // Growing again finds the bytes that were beyond the shrunk mapping.
    void* again = region.resize(3 * kPage + 100);
    ASSERT_NE(again, nullptr) << region.errorText();
    EXPECT_EQ(firstPatternMismatch(again, 0, 3 * kPage + 100, 2), 3 * kPage + 100);

    // A new writer attach at a smaller size neither shortens the file nor loses the data.
    region.detach();
    void* small = region.attach(kPage, Mem::PlinthWrapper::kWriter);
    ASSERT_NE(small, nullptr) << region.errorText();
    EXPECT_EQ(region.fileSize(), 3 * kPage + 100);
    EXPECT_EQ(firstPatternMismatch(small, 0, kPage, 2), kPage);

    // Same size: nothing moves.
    EXPECT_EQ(region.resize(kPage), small);
}

TEST_F(MemRegionTest, ReaderFollowsWriterGrowth) {
    auto writer = wrapper("t");
    void* w = writer.attach(kPage, Mem::PlinthWrapper::kWriter);
    ASSERT_NE(w, nullptr) << writer.errorText();
    fillPattern(w, kPage, 5);

    auto reader = Mem::PlinthWrapper(*handler_, table("t", false), "slots", false);
    ASSERT_NE(reader.attach(kPage, Mem::PlinthWrapper::kReader), nullptr) << reader.errorText();

    w = writer.resize(4 * kPage);
    ASSERT_NE(w, nullptr) << writer.errorText();
    fillPattern(w, 4 * kPage, 6);
    EXPECT_EQ(reader.memSize(), 4 * kPage) << "the reader sees the file's new size";
    void* r = reader.resize(4 * kPage);
    ASSERT_NE(r, nullptr) << reader.errorText();
    EXPECT_EQ(firstPatternMismatch(r, 0, 4 * kPage, 6), 4 * kPage);
    EXPECT_EQ(writer.fileSize(), 4 * kPage) << "the reader changed nothing";
}

TEST_F(MemRegionTest, ReaderRefusesToMapBeyondTheFileAndKeepsItsMapping) {
    auto writer = wrapper("t");
    ASSERT_NE(writer.attach(2 * kPage, Mem::PlinthWrapper::kWriter), nullptr);
    fillPattern(writer.base(), 2 * kPage, 8);

    auto reader = Mem::PlinthWrapper(*handler_, table("t", false), "slots", false);
    EXPECT_EQ(reader.attach(3 * kPage, Mem::PlinthWrapper::kReader), nullptr);
    EXPECT_FALSE(reader.attached());
    EXPECT_NE(reader.errorText().find(reader.getFilename()), std::string::npos)
        << reader.errorText();
    EXPECT_NE(reader.errorText().find(std::to_string(3 * kPage)), std::string::npos)
        << reader.errorText();

    void* r = reader.attach(2 * kPage, Mem::PlinthWrapper::kReader);
    ASSERT_NE(r, nullptr) << reader.errorText();
    EXPECT_EQ(reader.resize(5 * kPage), nullptr);
    EXPECT_EQ(reader.resize(Mem::Local::maxMappingSize()), nullptr);
    EXPECT_NE(reader.errorText().find("largest mapping"), std::string::npos) << reader.errorText();
    EXPECT_EQ(reader.base(), r);
    EXPECT_EQ(reader.mappedSize(), 2 * kPage);
    EXPECT_EQ(firstPatternMismatch(r, 0, 2 * kPage, 8), 2 * kPage);
    EXPECT_EQ(writer.fileSize(), 2 * kPage);
}

TEST_F(MemRegionTest, MissingFileFailsReaderAttachNamingThePath) {
    auto reader = Mem::PlinthWrapper(*handler_, table("absent", false), "slots", false);
    EXPECT_EQ(reader.attach(kPage, Mem::PlinthWrapper::kReader), nullptr);
    EXPECT_FALSE(reader.attached());
    EXPECT_EQ(reader.errorText(), "cannot open " + dir_ + "/absent/slots: directory " + dir_ +
                                      "/absent does not exist");
    EXPECT_EQ(reader.errorNumber(), ENOENT);
    EXPECT_EQ(reader.memSize(), 0u);
    EXPECT_EQ(reader.fileSize(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/absent")) << "a reader creates nothing";
    EXPECT_EQ(reader.resize(kPage), nullptr) << "resize needs an attached region";
}

TEST_F(MemRegionTest, WriterThatMayNotCreateTheDirectoryFails) {
    Mem::PlinthWrapper region(*handler_, table("nodir", false), "slots", false);
    EXPECT_EQ(region.attach(kPage, Mem::PlinthWrapper::kWriter), nullptr);
    EXPECT_NE(region.errorText().find(dir_ + "/nodir"), std::string::npos) << region.errorText();
    EXPECT_EQ(region.attach(kPage, 7), nullptr);
    EXPECT_NE(region.errorText().find("bad mode 7"), std::string::npos) << region.errorText();
}

TEST_F(MemRegionTest, PermissionFailureSaysPermissionDenied) {
    auto writer = wrapper("t");
    ASSERT_NE(writer.attach(kPage, Mem::PlinthWrapper::kWriter), nullptr);
    writer.detach();
    ASSERT_EQ(::chmod(writer.getFilename().c_str(), 0), 0);
    const std::string path = writer.getFilename();

    // root opens anything: the attempt runs as nobody.
    const bool dropPrivileges = ::geteuid() == 0;
    ChildResult child = runInChild([&]() -> std::string {
        if (dropPrivileges && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return std::string("SKIP setuid: ") + std::strerror(errno);
        }
        Mem::PlinthWrapper reader(*handler_, table("t", false), "slots", false);
        if (reader.attach(kPage, Mem::PlinthWrapper::kReader) != nullptr) {
            return "MAPPED";
        }
        return reader.errorText();
    });
    ASSERT_TRUE(child.exited) << "signal " << child.status;
    if (child.message.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << child.message;
    }
    EXPECT_NE(child.message.find(path), std::string::npos) << child.message;
    EXPECT_NE(child.message.find(": Permission denied"), std::string::npos) << child.message;
}

// --- read-only mappings and guard pages -----------------------------------------------------

using MemRegionDeathTest = MemRegionTest;

TEST_F(MemRegionDeathTest, StoreThroughReaderMappingDies) {
    auto writer = wrapper("t");
    ASSERT_NE(writer.attach(kPage, Mem::PlinthWrapper::kWriter), nullptr);
    auto reader = Mem::PlinthWrapper(*handler_, table("t", false), "slots", false);
    auto* r =
        static_cast<volatile unsigned char*>(reader.attach(kPage, Mem::PlinthWrapper::kReader));
    ASSERT_NE(r, nullptr) << reader.errorText();
    EXPECT_EQ(readByte(const_cast<unsigned char*>(r), 0), 0u) << "reading is fine";
    EXPECT_DEATH(
        {
            removeRoot();
            r[0] = 1;
        },
        "");
}

TEST_F(MemRegionDeathTest, ReadPastTheMappedSizeHitsTheGuardPage) {
    auto writer = wrapper("t");
    void* w = writer.attach(2 * kPage, Mem::PlinthWrapper::kWriter);
    ASSERT_NE(w, nullptr) << writer.errorText();
    EXPECT_EQ(readByte(w, 2 * kPage - 1), 0u);
    EXPECT_DEATH(
        {
            removeRoot();
            readByte(w, 2 * kPage);
        },
        "");

    auto reader = Mem::PlinthWrapper(*handler_, table("t", false), "slots", false);
    void* r = reader.attach(kPage, Mem::PlinthWrapper::kReader);
    ASSERT_NE(r, nullptr) << reader.errorText();
    EXPECT_EQ(readByte(r, kPage - 1), 0u);
    EXPECT_DEATH(
        {
            removeRoot();
            readByte(r, kPage);
        },
        "")
        << "the file is longer, but the mapping ends here";

    // The guard follows the mapping through a grow and through an in-place shrink; a mapping
    // that ends inside a page is guarded from the next page boundary on.
    w = writer.resize(4 * kPage);
    ASSERT_NE(w, nullptr);
    EXPECT_DEATH(
        {
            removeRoot();
            readByte(w, 4 * kPage);
        },
        "");
    w = writer.resize(kPage + 10);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(readByte(w, kPage + 9), 0u);
    EXPECT_DEATH(
        {
            removeRoot();
            readByte(w, 2 * kPage);
        },
        "");
}

// --- punching holes ------------------------------------------------------------------------

TEST_F(MemRegionTest, PunchHoleKeepsTheLengthAndReadsZero) {
    auto writer = wrapper("t");
    void* w = writer.attach(4 * kPage, Mem::PlinthWrapper::kWriter);
    ASSERT_NE(w, nullptr) << writer.errorText();
    fillPattern(w, 4 * kPage, 3);

    auto reader = Mem::PlinthWrapper(*handler_, table("t", false), "slots", false);
    void* r = reader.attach(4 * kPage, Mem::PlinthWrapper::kReader);
    ASSERT_NE(r, nullptr) << reader.errorText();

    struct stat before;
    ASSERT_EQ(::stat(writer.getFilename().c_str(), &before), 0);
    ASSERT_TRUE(writer.punchHole(kPage)) << writer.errorText();
    struct stat after;
    ASSERT_EQ(::stat(writer.getFilename().c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_LT(after.st_blocks, before.st_blocks) << "the blocks were released";

    // Both mappings still cover the whole length: the kept part is intact, the rest is zero.
    EXPECT_EQ(firstPatternMismatch(w, 0, kPage, 3), kPage);
    EXPECT_EQ(firstNonZero(w, kPage, 4 * kPage), 4 * kPage);
    EXPECT_EQ(firstPatternMismatch(r, 0, kPage, 3), kPage);
    EXPECT_EQ(firstNonZero(r, kPage, 4 * kPage), 4 * kPage);

    // A later resize backs the hole again and stores there work.
    w = writer.resize(4 * kPage);
    ASSERT_NE(w, nullptr);
    struct stat refilled;
    ASSERT_EQ(::stat(writer.getFilename().c_str(), &refilled), 0);
    EXPECT_EQ(refilled.st_blocks, before.st_blocks);
    fillPattern(w, 4 * kPage, 4);
    EXPECT_EQ(firstPatternMismatch(r, 0, 4 * kPage, 4), 4 * kPage);

    // Past the end there is nothing to release; a reader may not punch at all.
    EXPECT_TRUE(writer.punchHole(8 * kPage));
    EXPECT_FALSE(reader.punchHole(0));
    EXPECT_NE(reader.errorText().find(reader.getFilename()), std::string::npos);
    EXPECT_EQ(firstPatternMismatch(r, 0, 4 * kPage, 4), 4 * kPage);
}

// --- local mode ----------------------------------------------------------------------------

TEST_F(MemRegionTest, LocalModeNeverTouchesTheFileSystem) {
    for (const bool heap : {false, true}) {
        SCOPED_TRACE(heap ? "heap" : "anonymous");
        auto region = wrapper("local/t", true);
        region.useHeapIs(heap);
        EXPECT_EQ(region.getFilename(), dir_ + "/local/t/slots");
        EXPECT_EQ(region.memSize(), 0u);

        void* p = region.attach(100, Mem::PlinthWrapper::kWriter);
        ASSERT_NE(p, nullptr) << region.errorText();
        EXPECT_GE(region.memSize(), 100u);
        fillPattern(p, 100, 2);
        p = region.resize(3 * kPage);
        ASSERT_NE(p, nullptr) << region.errorText();
        EXPECT_GE(region.memSize(), 3 * kPage);
        EXPECT_EQ(region.memSize(), region.mappedSize());
        EXPECT_EQ(firstPatternMismatch(p, 0, 100, 2), 100u);

        fillPattern(p, 3 * kPage, 5);
        EXPECT_TRUE(region.punchHole(kPage));
        EXPECT_EQ(firstPatternMismatch(p, 0, kPage, 5), kPage);
        EXPECT_EQ(firstNonZero(p, kPage, 3 * kPage), 3 * kPage);

        // A reader in local mode also stays in memory.
        auto reader = wrapper("local/t", true);
        EXPECT_NE(reader.attach(kPage, Mem::PlinthWrapper::kReader), nullptr);

        region.detach();
        EXPECT_FALSE(region.attached());
        EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "local mode created something";
    }
}

// --- a full file system --------------------------------------------------------------------

// Mounts a 256 KiB tmpfs in a private mount namespace (a child process) and grows a table file
// beyond it.
TEST_F(MemRegionTest, FullFileSystemFailsResizeWithoutSignal) {
    const std::string mountPoint = dir_ + "/small";
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    const uint64_t fits = 64 * 1024;
    const uint64_t tooLarge = 1024 * 1024;

    ChildResult child = runInChild([&]() -> std::string {
        const bool root = ::geteuid() == 0;
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWNS | (root ? 0 : CLONE_NEWUSER)) != 0) {
            return std::string("SKIP unshare: ") + std::strerror(errno);
        }
        if (!root) {
            // Become root of the new user namespace, as `unshare -r` does.
            auto writeFile = [](const char* file, const std::string& text) {
                const int fd = ::open(file, O_WRONLY);
                if (fd < 0) {
                    return false;
                }
                const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
                ::close(fd);
                return ok;
            };
            if (!writeFile("/proc/self/setgroups", "deny") ||
                !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
                return std::string("SKIP user namespace maps: ") + std::strerror(errno);
            }
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("SKIP private mounts: ") + std::strerror(errno);
        }
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
            return std::string("SKIP mount tmpfs size=256k: ") + std::strerror(errno);
        }

        Mem::RootPath::rootIs(mountPoint);
        Mem::PlinthWrapper region(*handler_, Mem::RootPath(*handler_, "t", true), "slots", false);
        void* p = region.attach(fits, Mem::PlinthWrapper::kWriter);
        if (p == nullptr) {
            return "FAIL attach: " + region.errorText();
        }
        fillPattern(p, fits, 6);
        if (region.resize(tooLarge) != nullptr) {
            return "FAIL resize beyond the tmpfs succeeded";
        }
        const std::string resizeError = region.errorText();
        // The old mapping is intact and every page of it can still be written.
        if (region.base() != p) {
            return "FAIL the base changed";
        }
        if (firstPatternMismatch(p, 0, fits, 6) != fits) {
            return "FAIL contents lost";
        }
        fillPattern(p, fits, 7);
        if (region.fileSize() != fits) {
            return "FAIL file size " + std::to_string(region.fileSize());
        }
        Mem::PlinthWrapper second(*handler_, Mem::RootPath(*handler_, "u", true), "slots", false);
        if (second.attach(tooLarge, Mem::PlinthWrapper::kWriter) != nullptr) {
            return "FAIL attach beyond the tmpfs succeeded";
        }
        return resizeError + "\n" + second.errorText();
    });
    ASSERT_TRUE(child.exited) << "the child died of signal " << child.status;
    ASSERT_EQ(child.status, 0);
    if (child.message.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs in a private mount namespace: "
                     << child.message;
    }
    ASSERT_EQ(child.message.rfind("FAIL", 0), std::string::npos) << child.message;
    const size_t newline = child.message.find('\n');
    ASSERT_NE(newline, std::string::npos) << child.message;
    const std::string resizeError = child.message.substr(0, newline);
    const std::string attachError = child.message.substr(newline + 1);
    EXPECT_NE(resizeError.find("No space left on device"), std::string::npos) << resizeError;
    EXPECT_NE(resizeError.find(mountPoint + "/t/slots"), std::string::npos) << resizeError;
    EXPECT_NE(resizeError.find(std::to_string(tooLarge)), std::string::npos) << resizeError;
    EXPECT_NE(attachError.find("No space left on device"), std::string::npos) << attachError;
}

}  // namespace
