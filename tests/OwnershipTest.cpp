// Ownership of a table's files: the cinder file, the owner file and conduit names, the writer
// lock, corruption reporting and core-file marking.
//
// Every test runs under a private table root below /dev/shm, restored afterwards. The other
// process of a multi-process case is a forked child that reports back through a pipe and is
// ended with SIGKILL by the parent.
#include "Mem/RootPath.h"
#include "Mem/Shared.h"
#include "Mem/WriterLock.h"
#include "Pimbo/Core.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "TestRoot.h"
#include "Vesk/Util.h"
#include "Zolt/ConduitAcceptSm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Captures the level-0 traces emitted while it lives.
struct TraceCapture {
    TraceCapture() {
        Pimbo::Platform::traceSinkIs([this](const Pimbo::Platform::TraceRecord& r) {
            if (r.level == 0) {
                text += std::string(r.message) + "\n";
            }
        });
    }
    ~TraceCapture() { Pimbo::Platform::traceSinkIs({}); }
    std::string text;
};

// A forked child running `body`, which writes its report (one line) to the given fd and then
// either returns (the child exits) or blocks until killed.
class Child {
  public:
    explicit Child(const std::function<void(int)>& body) {
        int fds[2];
        if (::pipe(fds) != 0) {
            std::abort();
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            body(fds[1]);
            ::_exit(0);
        }
        ::close(fds[1]);
        in_ = fds[0];
    }
    ~Child() {
        kill();
        reap();
        ::close(in_);
    }
    // The child's report up to its newline (waits for it).
    std::string report() {
        std::string line;
        char c;
        while (::read(in_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    void kill() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
        }
    }
    // Waits until the child has ended without reaping it: it stays a zombie.
    void waitDead() {
        siginfo_t info;
        ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT);
    }
    void reap() {
        if (!reaped_) {
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    bool reaped_ = false;
};

void send(int fd, const std::string& text) {
    const std::string line = text + "\n";
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
}

class OwnershipTest : public testing::Test {
  protected:
    void SetUp() override { handler_->levelMaskIs(1); }

    Mem::RootPath table(bool mayCreate = true) {
        return Mem::RootPath(*handler_, "t/counter", mayCreate);
    }

    VeskTest::TestRoot root_;
    std::shared_ptr<Pimbo::Platform::DebugHandler> handler_ =
        Pimbo::Platform::getDebugHandler("OwnershipTest");
};

// --- cinder file -----------------------------------------------------------------------------

TEST_F(OwnershipTest, CinderFileRoundTripReplacesTheFileWhole) {
    Plinth::CinderFile reader(*handler_, table(false), false);
    EXPECT_EQ(reader.read(), Plinth::CinderId()) << "missing file reads as none";
    EXPECT_EQ(reader.mtime(), 0.0);
    EXPECT_THROW(reader.write(Plinth::CinderId(1, 1)), Pimbo::NoPermissionException);
    EXPECT_FALSE(fs::exists(root_.path("t/counter"))) << "a reader creates nothing";

    Plinth::CinderFile writer(*handler_, table(), true);
    const mode_t oldMask = ::umask(077);
    writer.write(Plinth::CinderId(0x1234, 7));
    ::umask(oldMask);
    EXPECT_EQ(reader.read(), Plinth::CinderId(0x1234, 7));
    EXPECT_TRUE(reader.validate(Plinth::CinderId(0x1234, 7)));
    EXPECT_FALSE(reader.validate(Plinth::CinderId(0x1234, 8)));
    EXPECT_GT(reader.mtime(), 0.0);
    EXPECT_EQ(fs::status(writer.path()).permissions(), fs::perms(0644)) << "whatever the umask";

    writer.write(Plinth::CinderId(5, 9));
    EXPECT_EQ(reader.read(), Plinth::CinderId(5, 9));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_.path("t/counter"))) {
        names.push_back(e.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"cinder"}) << "no temporary file left behind";

    writer.remove();
    EXPECT_EQ(reader.read(), Plinth::CinderId());
    EXPECT_FALSE(reader.validate(Plinth::CinderId(5, 9)));
}

TEST_F(OwnershipTest, CinderFileDamagedReadsAsNone) {
    Plinth::CinderFile cinder(*handler_, table(), true);
    cinder.write(Plinth::CinderId(3, 4));
    const std::string good = readText(cinder.path());
    ASSERT_EQ(good.size(), sizeof(Plinth::CinderFileRecord));

    std::vector<std::string> damaged = {good.substr(0, good.size() - 1), good + '\0', ""};
    for (size_t i = 0; i < good.size(); ++i) {
        std::string flipped = good;
        flipped[i] = char(flipped[i] ^ 0x10);
        damaged.push_back(flipped);
    }
    for (size_t i = 0; i < damaged.size(); ++i) {
        writeText(cinder.path(), damaged[i]);
        TraceCapture traces;
        EXPECT_EQ(cinder.read(), Plinth::CinderId()) << "damage " << i;
        EXPECT_FALSE(cinder.validate(Plinth::CinderId(3, 4))) << "damage " << i;
        EXPECT_NE(traces.text.find(cinder.path()), std::string::npos) << traces.text;
    }
    writeText(cinder.path(), good);
    EXPECT_EQ(cinder.read(), Plinth::CinderId(3, 4)) << "the damage cases were all that failed";
}

TEST_F(OwnershipTest, CinderFileWriteFailureNamesThePathAndKeepsNoTemp) {
    Plinth::CinderFile cinder(*handler_, table(), true);
    fs::create_directories(cinder.path());  // a directory in the way of the rename
    try {
        cinder.write(Plinth::CinderId(2, 2));
        FAIL() << "nothing thrown";
    } catch (const Pimbo::MemoryResourceException& e) {
        EXPECT_NE(e.msg().find(cinder.path()), std::string::npos) << e.msg();
        EXPECT_NE(e.msg().find("2:2"), std::string::npos) << e.msg();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(root_.path("t/counter")), {}), 1);
}

// --- owner file ------------------------------------------------------------------------------

TEST_F(OwnershipTest, OwnerFileKeepsEveryFieldAndRewritesOneAtATime) {
    Plinth::OwnerFile reader(*handler_, table(false), false);
    EXPECT_FALSE(reader.validate());
    EXPECT_THROW(reader.conduitInfoIs({"1:2", 3}), Pimbo::NoPermissionException);
    EXPECT_FALSE(fs::exists(reader.path()));

    Plinth::OwnerFile writer(*handler_, table(), true);
    const std::string type = "DravoCounters::FlexCounters2::CounterEntryWide";
    writer.typeNameIs(type);
    writer.plinthTypeIs(0xA5A5u);
    writer.conduitInfoIs({"4321:99887766", 0x77});
    EXPECT_TRUE(reader.validate());
    EXPECT_EQ(reader.typeName(), type);
    EXPECT_EQ(reader.plinthType(), 0xA5A5u);
    EXPECT_EQ(reader.conduitInfo(), (Plinth::ConduitInfo{"4321:99887766", 0x77}));
    EXPECT_EQ(fs::file_size(writer.path()), sizeof(Plinth::OwnerFileRecord));
    const std::string header = reader.headerToString();
    for (const std::string& part : {type, std::string("42405"), std::string("4321:99887766")}) {
        EXPECT_NE(header.find(part), std::string::npos) << header;
    }

    // Clearing the conduit keeps the other fields; the longest names fit, longer ones do not.
    writer.conduitInfoIs(Plinth::ConduitInfo());
    EXPECT_TRUE(reader.conduitInfo().empty());
    EXPECT_EQ(reader.conduitInfo().tableId, ~0ull);
    EXPECT_EQ(reader.typeName(), type);
    writer.typeNameIs(std::string(511, 't'));
    writer.conduitInfoIs({std::string(127, '9'), 1});
    EXPECT_EQ(reader.typeName(), std::string(511, 't'));
    EXPECT_EQ(reader.conduitInfo().socketName, std::string(127, '9'));
    EXPECT_THROW(writer.typeNameIs(std::string(512, 'u')), Pimbo::OutOfRangeException);
    EXPECT_THROW(writer.conduitInfoIs({std::string(128, '8'), 1}), Pimbo::OutOfRangeException);
    EXPECT_EQ(reader.typeName(), std::string(511, 't')) << "a refused name changes nothing";
    EXPECT_EQ(reader.plinthType(), 0xA5A5u);
}

TEST_F(OwnershipTest, OwnerFileDamagedFailsValidationAndThrowsOnRead) {
    Plinth::OwnerFile owner(*handler_, table(), true);
    owner.typeNameIs("T");
    owner.conduitInfoIs({"10:20", 30});
    const std::string good = readText(owner.path());

    std::vector<std::string> damaged = {good.substr(0, 671), good + 'x'};
    for (size_t i = 0; i < good.size(); ++i) {
        std::string flipped = good;
        flipped[i] = char(flipped[i] ^ 0x01);
        damaged.push_back(flipped);
    }
    // A record that is whole but of another version, with a matching checksum.
    Plinth::OwnerFileRecord other;
    std::memcpy(&other, good.data(), sizeof other);
    other.version = 2;
    other.checksum = other.computeChecksum();
    damaged.emplace_back(reinterpret_cast<const char*>(&other), sizeof other);

    for (size_t i = 0; i < damaged.size(); ++i) {
        writeText(owner.path(), damaged[i]);
        ASSERT_FALSE(owner.validate()) << "damage " << i;
        TraceCapture traces;
        EXPECT_FALSE(owner.validateFile());
        EXPECT_NE(traces.text.find(owner.path()), std::string::npos) << traces.text;
        try {
            owner.conduitInfo();
            ADD_FAILURE() << "damage " << i << ": nothing thrown";
        } catch (const Pimbo::CorruptionDetectedException& e) {
            EXPECT_NE(e.msg().find(owner.path()), std::string::npos) << e.msg();
            EXPECT_NE(owner.headerToString().find(e.msg()), std::string::npos);
        }
    }
    EXPECT_NE(owner.headerToString().find("bad version: 2"), std::string::npos);

    // A damaged file is rewritten whole from a blank record.
    owner.plinthTypeIs(9);
    EXPECT_TRUE(owner.validate());
    EXPECT_EQ(owner.plinthType(), 9u);
    EXPECT_TRUE(owner.conduitInfo().empty());
    owner.remove();
    EXPECT_THROW(owner.conduitInfo(), Pimbo::CorruptionDetectedException);
}

// Whether another description can take an exclusive flock on the file at `path` right now.
bool flockFree(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

TEST_F(OwnershipTest, OwnerFileLockNeverWaits) {
    Plinth::OwnerFile reader(*handler_, table(false), false);
    reader.lock();
    EXPECT_FALSE(reader.locked()) << "a reader finds no file to lock and creates none";
    EXPECT_FALSE(fs::exists(reader.path()));

    auto first = std::make_unique<Plinth::OwnerFile>(*handler_, table(), true);
    first->lock();
    ASSERT_TRUE(first->locked());
    EXPECT_FALSE(flockFree(first->path()));
    first->unlock();
    EXPECT_TRUE(flockFree(first->path()));

    // Anyone who can read the owner file can flock it: a lock held elsewhere never makes a
    // writer wait, and lock() says it did not get it.
    first->lock();
    Plinth::OwnerFile second(*handler_, table(), true);
    EXPECT_FALSE(second.lock());
    EXPECT_FALSE(second.locked());
    first.reset();
    EXPECT_TRUE(second.lock());
}

// --- conduit names ---------------------------------------------------------------------------

TEST_F(OwnershipTest, ConduitNameParsesPidAndStartTimeAndRejectsTheRest) {
    const Plinth::ConduitName name = Plinth::ConduitName::ConduitNameIs("1234:98765");
    EXPECT_EQ(name.first(), 1234u);
    EXPECT_EQ(name.second(), 98765u);
    for (const std::string bad :
         {"", ":", "12", "12:", ":34", "a:1", "1:b", "-1:2", "+1:2", " 1:2", "1:2 ", "1:2:3",
          "1::2", "0:5", "4294967296:1", "1:99999999999999999999999"}) {
        try {
            Plinth::ConduitName::ConduitNameIs(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const Pimbo::CorruptionDetectedException& e) {
            EXPECT_EQ(e.msg(), "bad conduit name: " + bad);
        }
    }

    // This process's name: its pid and field 22 of /proc/self/stat.
    const std::string stat = readText("/proc/self/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int n = 3; n <= 22; ++n) {
        fields >> field;
    }
    const Plinth::ConduitName me =
        Plinth::ConduitName::ConduitNameIs(Zolt::ConduitAcceptSm::socketName());
    EXPECT_EQ(me.first(), uint64_t(::getpid()));
    EXPECT_EQ(std::to_string(me.second()), field);
}

// --- writer lock -----------------------------------------------------------------------------

TEST_F(OwnershipTest, WriterLockExcludesASecondDescriptionInTheSameProcess) {
    std::string error;
    auto lock = Mem::WriterLock::acquireWriterLock(*handler_, table(), error);
    ASSERT_NE(lock, nullptr) << error;
    EXPECT_EQ(fs::status(lock->path()).permissions(), fs::perms(0600));
    EXPECT_TRUE(Mem::WriterLock::heldByOther(table()));

    Plinth::OwnerFile(*handler_, table(), true)
        .conduitInfoIs({Zolt::ConduitAcceptSm::socketName(), 1});
    EXPECT_EQ(Mem::WriterLock::acquireWriterLock(*handler_, table(), error), nullptr);
    EXPECT_NE(error.find(lock->path()), std::string::npos) << error;
    EXPECT_NE(error.find(Zolt::ConduitAcceptSm::socketName()), std::string::npos) << error;

    lock->release();
    EXPECT_FALSE(Mem::WriterLock::heldByOther(table()));
    lock = Mem::WriterLock::acquireWriterLock(*handler_, table(), error);
    ASSERT_NE(lock, nullptr) << error;
    lock.reset();
    EXPECT_FALSE(Mem::WriterLock::heldByOther(table())) << "destruction releases";

    EXPECT_EQ(
        Mem::WriterLock::acquireWriterLock(*handler_, Mem::RootPath(*handler_, "u", false), error),
        nullptr)
        << "a path that may not create gets no lock file";
    EXPECT_FALSE(fs::exists(root_.path("u")));
}

TEST_F(OwnershipTest, WriterLockOfAKilledChildIsFreeAtOnce) {
    const Mem::RootPath path = table();
    Child child([&](int out) {
        std::string error;
        auto lock = Mem::WriterLock::acquireWriterLock(*handler_, path, error);
        send(out, lock ? "locked" : error);
        ::pause();
    });
    ASSERT_EQ(child.report(), "locked");
    std::string error;
    EXPECT_EQ(Mem::WriterLock::acquireWriterLock(*handler_, path, error), nullptr);
    EXPECT_NE(error.find("held by another writer"), std::string::npos) << error;
    EXPECT_TRUE(Mem::WriterLock::heldByOther(path));

    child.kill();
    child.reap();
    EXPECT_FALSE(Mem::WriterLock::heldByOther(path));
    EXPECT_NE(Mem::WriterLock::acquireWriterLock(*handler_, path, error), nullptr) << error;
}

TEST_F(OwnershipTest, OwnerIsAliveOnlyForTheRunningProcessOfThatStartTime) {
    const std::string me = Zolt::ConduitAcceptSm::socketName();
    std::string name;
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(*handler_, me, name));
    EXPECT_EQ(name, me);
    EXPECT_TRUE(Mem::WriterLock::ownerIsMe(*handler_, me));

    // Same pid, another start time: an earlier process that had this pid.
    const Plinth::ConduitName parsed = Plinth::ConduitName::ConduitNameIs(me);
    const std::string earlier = fmt::format("{}:{}", parsed.first(), parsed.second() - 1);
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(*handler_, earlier, name));
    EXPECT_FALSE(Mem::WriterLock::ownerIsMe(*handler_, earlier));
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(*handler_, "not a name", name));
    EXPECT_EQ(name, "not a name");

    // A child has a name of its own, which it alone recognises as itself.
    Child child([&](int out) {
        const std::string mine = Zolt::ConduitAcceptSm::socketName();
        const bool ok = Mem::WriterLock::ownerIsMe(*handler_, mine) &&
                        !Mem::WriterLock::ownerIsMe(*handler_, me);
        send(out, ok ? mine : "wrong identity " + mine);
        ::pause();
    });
    const std::string childName = child.report();
    EXPECT_EQ(Plinth::ConduitName::ConduitNameIs(childName).first(), uint64_t(child.pid()));
    EXPECT_FALSE(Mem::WriterLock::ownerIsMe(*handler_, childName));
    EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(*handler_, childName, name));

    child.kill();
    child.waitDead();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(*handler_, childName, name)) << "a zombie";
    child.reap();
    EXPECT_FALSE(Mem::WriterLock::ownerIsAlive(*handler_, childName, name));
    EXPECT_EQ(name, childName);
}

// --- corruption reporting and file checks ----------------------------------------------------

TEST_F(OwnershipTest, ValidateFileWantsARegularFileOfTheSize) {
    const Mem::RootPath table(*handler_, "t", true);
    table.ensureDirectory();
    writeText(table.filePath("f"), std::string(100, 'x'));
    fs::create_directories(table.filePath("d"));
    EXPECT_TRUE(Vesk::Util::validateFile(*handler_, table, "f", 100));
    EXPECT_TRUE(Vesk::Util::validateFile(*handler_, table, "f", 99));
    TraceCapture traces;
    EXPECT_FALSE(Vesk::Util::validateFile(*handler_, table, "f", 101));
    EXPECT_FALSE(Vesk::Util::validateFile(*handler_, table, "d", 0));
    EXPECT_FALSE(Vesk::Util::validateFile(*handler_, table, "missing", 0));
    EXPECT_NE(traces.text.find("101"), std::string::npos) << traces.text;
    EXPECT_NE(traces.text.find(table.filePath("missing")), std::string::npos) << traces.text;
}

TEST_F(OwnershipTest, CorruptionFileIsWrittenWhereAllowedAndOnlyTracedElsewhere) {
    const Mem::RootPath table(*handler_, "t", true);
    table.ensureDirectory();
    const std::string file = table.filePath(Vesk::Util::kCorruptionFileName);
    EXPECT_TRUE(Vesk::Util::writeCorruptionFile(*handler_, table, "first reason"));
    EXPECT_TRUE(Vesk::Util::writeCorruptionFile(*handler_, table, "bad magic: 42"));
    EXPECT_EQ(readText(file), "bad magic: 42\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(table.directory()), {}), 1)
        << "no temporary file left";

    {
        TraceCapture traces;
        EXPECT_FALSE(Vesk::Util::writeCorruptionFile(
            *handler_, Mem::RootPath(*handler_, "none", false), "lost reason"));
        EXPECT_NE(traces.text.find("lost reason"), std::string::npos) << traces.text;
        EXPECT_FALSE(fs::exists(root_.path("none")));
    }

    // A reader of another user's table only traces, even where it could write: the directory
    // is made writable for everyone to prove that the owner check, not the mode, refuses.
    const Mem::RootPath locked(*handler_, "ro", true);
    locked.ensureDirectory();
    ::chmod(root_.dir().c_str(), 0755);
    Child child([&](int out) {
        if (::getuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            send(out, "cannot drop root");
            return;
        }
        TraceCapture traces;
        const bool wrote = Vesk::Util::writeCorruptionFile(*handler_, locked, "readonly reason");
        send(out, wrote                                                      ? "wrote"
                  : traces.text.find("readonly reason") == std::string::npos ? "untraced"
                                                                             : "traced");
    });
    EXPECT_EQ(child.report(), "traced");
    child.reap();
    EXPECT_FALSE(fs::exists(locked.filePath(Vesk::Util::kCorruptionFileName)));
}

TEST_F(OwnershipTest, ValidationSettingsDefaultToLenientDeviceAndStrictChecks) {
    EXPECT_FALSE(Vesk::Util::runningOnPhysicalDut());
    EXPECT_TRUE(Vesk::Util::strictValidation());
    EXPECT_FALSE(Mem::Shared::dumpToCore());
    Vesk::Util::runningOnPhysicalDutIs(true);
    Vesk::Util::strictValidationIs(false);
    Mem::Shared::dumpToCoreIs(true);
    EXPECT_TRUE(Vesk::Util::runningOnPhysicalDut());
    EXPECT_FALSE(Vesk::Util::strictValidation());
    EXPECT_TRUE(Mem::Shared::dumpToCore());
    Vesk::Util::runningOnPhysicalDutIs(false);
    Vesk::Util::strictValidationIs(true);
    Mem::Shared::dumpToCoreIs(false);
}

// --- core files ------------------------------------------------------------------------------

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps.
std::string vmFlags(const void* address) {
    std::ifstream in("/proc/self/smaps");
    std::string line;
    bool inside = false;
    const auto a = reinterpret_cast<uintptr_t>(address);
    while (std::getline(in, line)) {
        uintptr_t start = 0;
        uintptr_t end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 &&
            line.find('-') < line.find(' ')) {
            inside = start <= a && a < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return "";
}

TEST_F(OwnershipTest, IncludeShmemInCoreMarksSharedMappingsBelowTheRootOnly) {
    const std::string original = readText("/proc/self/coredump_filter");
    const std::string sibling = root_.dir() + "-sibling";
    fs::create_directories(sibling);
    auto mapFile = [](const std::string& path, int flags) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
        EXPECT_EQ(::ftruncate(fd, 4096), 0);
        void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, flags, fd, 0);
        ::close(fd);
        EXPECT_NE(p, MAP_FAILED);
        EXPECT_EQ(::madvise(p, 4096, MADV_DONTDUMP), 0);
        return p;
    };
    void* table = mapFile(root_.path("slots"), MAP_SHARED);
    void* privateCopy = mapFile(root_.path("bucket"), MAP_PRIVATE);
    void* outside = mapFile(sibling + "/slots", MAP_SHARED);
    ASSERT_NE(vmFlags(table).find(" dd"), std::string::npos) << vmFlags(table);

    EXPECT_EQ(Pimbo::Util::includeShmemInCore(), 1u);
    EXPECT_EQ(vmFlags(table).find(" dd"), std::string::npos) << vmFlags(table);
    EXPECT_NE(vmFlags(privateCopy).find(" dd"), std::string::npos) << "not shared";
    EXPECT_NE(vmFlags(outside).find(" dd"), std::string::npos) << "outside the root";
    unsigned long filter = 0;
    std::istringstream(readText("/proc/self/coredump_filter")) >> std::hex >> filter;
    EXPECT_NE(filter & 0x8, 0u) << "file-backed shared mappings go into the core";

    for (void* p : {table, privateCopy, outside}) {
        ::munmap(p, 4096);
    }
    writeText("/proc/self/coredump_filter", "0x" + original);
    EXPECT_EQ(readText("/proc/self/coredump_filter"), original);
    fs::remove_all(sibling);
}

}  // namespace
