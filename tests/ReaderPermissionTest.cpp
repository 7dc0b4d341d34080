// A reader needs read access only, and has no more than that: the files are mapped read-only, so
// a store through a reader's mapping faults (and a read past the mapping hits its guard page); a
// reader running as an unprivileged user attaches to files it may read and answers, and is
// refused cleanly, naming the reason, by files it may not read.
//
// The unprivileged cases switch a forked child to uid and gid 65534 (nobody); they need root and
// skip with a message otherwise.
#include "FlexCounters2/FlexCounters2Vesk.h"
#include "Orlo/Entity.h"
#include "OrloVesk/CollectionControl.h"
#include "Plinth/CinderFile.h"
#include "Vesk/VeskReader.h"
#include "WriterTestUtil.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace VeskTest;
using Simple = CounterEntrySimpleOps;
using Reader = Vesk::VeskReader<Simple>;
using R = Records<Simple>;

constexpr uid_t kNobody = 65534;
// The path a table "T" in the root directory "sys" gives its map, so that a table's front and a
// bare reader find the same files.
const char* const kTable = "sys/T/counter";

std::shared_ptr<Pimbo::Platform::DebugHandler> handler() {
    return Pimbo::Platform::getDebugHandler("ReaderPermissionTest");
}

void publishCinder(Plinth::CinderId id) {
    Mem::RootPath rp(*handler(), kTable, true);
    Plinth::CinderFile(*handler(), rp, true).write(id);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// A store that must fault: SIGSEGV, or the sanitizer's report of it in a sanitized build.
#if defined(VESK_SANITIZED)
#define EXPECT_FAULTS(statement) EXPECT_DEATH(statement, "SEGV")
#else
#define EXPECT_FAULTS(statement) EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGSEGV), "")
#endif

class ReaderPermission : public ::testing::Test {
  protected:
    void SetUp() override {
        handler()->levelMaskIs(0);
        writer_ = attachedWriter<Simple>(shrinkingDescriptor(1000), kCinder, kTable);
        for (uint64_t k = 1; k <= 50; ++k)
            writer_->write(R::make(k, k), true);
        publishCinder(kCinder);
    }
    void TearDown() override { handler()->levelMaskIs(Pimbo::Platform::defaultLevelMask()); }

    std::string tableFile(const std::string& file) const {
        return root_.path(std::string(kTable) + "/" + file);
    }

    TestRoot root_;
    std::unique_ptr<Vesk::VeskWriter<Simple>> writer_;
};

// ----- the mapping is read-only -----

TEST_F(ReaderPermission, AStoreIntoTheRecordALookupCopiedFaults) {
    Reader r(*handler(), kTable, Simple{}, nullptr);
    ASSERT_TRUE(r.initialize("test"));
    bool found = false;
    CounterEntrySimple copy{};
    const CounterEntrySimple* got = r.lookup(CounterIndex(17), found, &copy);
    ASSERT_TRUE(found);
    // Lookups answer with copies, never with pointers into the writer's file ...
    EXPECT_EQ(got, &copy);
    // ... but the cache anchor says where the record lives in the reader's mapping: its flags
    // word, followed by the slot's rhash and then the record itself.
    const Mem::CacheVersionAnchor at = r.getCacheVersionAnchor();
    ASSERT_LT(at.offset, r.slotTable().region().mappedSize());
    char* base = reinterpret_cast<char*>(r.slotTable().header());
    volatile uint32_t* flags = reinterpret_cast<uint32_t*>(base + at.offset);
    volatile uint64_t* key = reinterpret_cast<uint64_t*>(base + at.offset + 8);
    ASSERT_EQ(*key, 17u) << "the anchor does not point at the record that was copied";
    EXPECT_FAULTS(*key = 99);
    EXPECT_FAULTS(*flags = 0);
    // The same holds for the bucket file and for the slot file's header.
    volatile uint64_t* bucket =
        const_cast<uint64_t*>(reinterpret_cast<const uint64_t*>(r.hashMap().buckets()[0]));
    EXPECT_FAULTS(*bucket = 0);
    volatile char* magic = base;
    EXPECT_FAULTS(*magic = 'X');

    // Nothing reached the file: the writer's view is unchanged and valid.
    EXPECT_EQ(*key, 17u);
    EXPECT_TRUE(writer_->validate(kCinder, false)) << writer_->lastValidationFailure();
    r.lookup(CounterIndex(17), found, &copy);
    ASSERT_TRUE(found);
    EXPECT_TRUE(Simple::valueEqual(copy, R::make(17, 17)));
}

TEST_F(ReaderPermission, AReadPastTheReadersMappingFaults) {
    Reader r(*handler(), kTable, Simple{}, nullptr);
    ASSERT_TRUE(r.initialize("test"));
    bool found = false;
    r.lookup(CounterIndex(1), found, nullptr);  // maps the slot array
    ASSERT_TRUE(found);
    const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
    const uint64_t mapped = r.slotTable().region().mappedSize();
    ASSERT_GT(mapped, 0u);
    const char* base = reinterpret_cast<const char*>(r.slotTable().header());
    // The last mapped byte is readable; the first byte of the next page is the guard.
    volatile const char* last = base + mapped - 1;
    (void)*last;
    volatile const char* guard = base + (mapped + page - 1) / page * page;
    EXPECT_FAULTS((void)*guard);
}

// ----- an unprivileged reader -----

// Runs `body` in a child switched to uid and gid 65534 and returns what it reported, one
// "name=value" line per item; "exit" holds the child's wait status.
template <class Body>
std::map<std::string, std::string> asNobody(Body body) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {{"error", "pipe failed"}};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::vector<std::string> report;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0) {
            report.push_back("error=cannot become uid 65534");
        } else {
            try {
                body(report);
            } catch (const std::exception& e) {
                report.push_back(std::string("error=exception ") + e.what());
            }
        }
        std::string all;
        for (const std::string& line : report)
            all += line + "\n";
        const ssize_t n = ::write(fds[1], all.data(), all.size());
        ::_exit(n == ssize_t(all.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof(chunk))) > 0;)
        all.append(chunk, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::map<std::string, std::string> out;
    size_t start = 0;
    while (start < all.size()) {
        const size_t nl = all.find('\n', start);
        const std::string line = all.substr(start, nl - start);
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            out[line.substr(0, eq)] += line.substr(eq + 1);
        start = nl == std::string::npos ? all.size() : nl + 1;
    }
    out["exit"] = std::to_string(status);
    return out;
}

class UnprivilegedReader : public ReaderPermission {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run a reader as uid 65534 (nobody); skipped";
        ReaderPermission::SetUp();
        // The test's private root is made 0700; the table's own directories are 0755.
        ASSERT_EQ(::chmod(root_.dir().c_str(), 0755), 0);
    }

    void chmodData(mode_t mode) {
        for (const char* file : {"slots", "buckets"})
            ASSERT_EQ(::chmod(tableFile(file).c_str(), mode), 0) << file;
    }
};

// What an unprivileged reader reports: whether it attached, what its lookups and its
// iteration returned, and its traces at levels 0 and 2 (lower case).
void readAsNobody(std::vector<std::string>& report) {
    std::string traces;
    Pimbo::Platform::traceSinkIs([&traces](const Pimbo::Platform::TraceRecord& t) {
        traces += lower(std::string(t.message)) + "|";
    });
    handler()->levelMaskIs(0x0005);  // levels 0 and 2
    {
        Reader r(*handler(), kTable, Simple{}, nullptr);
        const bool ok = r.initialize("nobody");
        report.push_back(fmt::format("initialize={}", ok));
        report.push_back(fmt::format("failure={}", Vesk::attachFailureText(r.attachFailure())));
        if (ok) {
            uint64_t hits = 0, right = 0;
            for (uint64_t k = 1; k <= 60; ++k) {
                bool found = false;
                CounterEntrySimple v{};
                r.lookup(CounterIndex(k), found, &v);
                hits += found;
                right += found && Simple::valueEqual(v, R::make(k, k));
            }
            report.push_back(fmt::format("hits={}", hits));
            report.push_back(fmt::format("right={}", right));
            uint64_t iterated = 0;
            CounterEntrySimple v{};
            Vesk::IterHint hint;
            for (bool more = r.first(v, hint); more && iterated <= 100;
                 more = r.next(v.key(), v, hint)) {
                ++iterated;
            }
            report.push_back(fmt::format("iterated={}", iterated));
        }
    }
    // The same table mounted as a reader the way a program does it: through its front.
    {
        auto dir = Orlo::Directory::DirectoryIs("sys");
        auto table = DravoCounters::FlexCounters2::counterTableSimpleFactory("T");
        dir->entityIs(table);
        table->counterControl()->mount(Vesk::MapDescriptor(1000, Vesk::reader));
        report.push_back(fmt::format("frontMount={}", table->counter.mountStatus()));
        bool found = false;
        CounterEntrySimple v{};
        table->counter.safeLookup(CounterIndex(5), found, &v);
        report.push_back(fmt::format("frontFound={}", found));
        dir->entityDelAll();
    }
    Pimbo::Platform::traceSinkIs({});
    report.push_back("traces=" + traces);
}

TEST_F(UnprivilegedReader, AttachesToReadableFilesAndAnswers) {
    chmodData(0644);
    auto got = asNobody(readAsNobody);
    EXPECT_EQ(got["exit"], "0");
    EXPECT_EQ(got["error"], "");
    EXPECT_EQ(got["initialize"], "true") << got["traces"];
    EXPECT_EQ(got["hits"], "50");
    EXPECT_EQ(got["right"], "50");
    EXPECT_EQ(got["iterated"], "50");
    EXPECT_EQ(got["frontMount"], "1") << got["traces"];
    EXPECT_EQ(got["frontFound"], "true");
}

TEST_F(UnprivilegedReader, IsRefusedByFilesItMayNotReadAndSaysWhy) {
    chmodData(0600);
    auto got = asNobody(readAsNobody);
    EXPECT_EQ(got["exit"], "0");
    EXPECT_EQ(got["error"], "");
    EXPECT_EQ(got["initialize"], "false");
    EXPECT_EQ(got["failure"], "permission denied");
    EXPECT_NE(got["traces"].find("permission denied"), std::string::npos) << got["traces"];
    EXPECT_NE(got["traces"].find(lower(tableFile("buckets"))), std::string::npos) << got["traces"];
    // The front stays a placeholder and answers "absent".
    EXPECT_EQ(got["frontMount"], "0");
    EXPECT_EQ(got["frontFound"], "false");
}

TEST_F(UnprivilegedReader, AnUnreadableSlotFileAloneIsRefusedWithItsReason) {
    chmodData(0644);
    ASSERT_EQ(::chmod(tableFile("slots").c_str(), 0600), 0);
    auto got = asNobody(readAsNobody);
    EXPECT_EQ(got["exit"], "0");
    EXPECT_EQ(got["initialize"], "false");
    const std::string& traces = got["traces"];
    EXPECT_NE(traces.find("failed to attach to slots"), std::string::npos) << traces;
    EXPECT_NE(traces.find(lower("open " + tableFile("slots") + ": permission denied")),
              std::string::npos)
        << traces;
    EXPECT_EQ(got["frontMount"], "0");
}

}  // namespace
