// Who owns a table: the cinder file, the owner file, the writer lock and whether an owner lives.
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/TableDir.h"
#include "Plinth/WriterLock.h"
#include "VeskBase/Util.h"
#include "Zolt/ConduitAcceptSm.h"
#include "support/Tables.h"

#include <csignal>
#include <filesystem>

namespace {

using namespace VeskTest;
namespace fs = std::filesystem;
using Mem::WriterLock;

std::string readText(const std::string& path) {
    const auto bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}
// A file's bytes spoilt every way: one byte short, one long, empty, each byte flipped.
std::vector<std::string> damaged(const std::string& good) {
    std::vector<std::string> out = {good.substr(0, good.size() - 1), good + '\0', ""};
    for (size_t i = 0; i < good.size(); ++i)
        out.push_back(good.substr(0, i) + char(good[i] ^ 0x10) + good.substr(i + 1));
    return out;
}

struct Ownership : ::testing::Test {
    Mem::RootPath table(bool mayCreate = true) const {
        return Mem::RootPath(*testHandler(), kTableName, mayCreate);
    }
    std::unique_ptr<WriterLock> acquire(std::string& error, bool* held = nullptr) const {
        return WriterLock::acquireWriterLock(*testHandler(), table(), error, held);
    }
    // With a directory in the way of the rename at `path`, `write` throws naming path and what.
    void expectWriteFailure(const std::function<void()>& write, const std::string& path,
                            const std::string& what) {
        fs::remove(path);
        fs::create_directory(path);
        const std::string msg = thrown<Pimbo::MemoryResourceException>(write);
        EXPECT_TRUE(msg.find(path) != std::string::npos && msg.find(what) != std::string::npos)
            << "a failed write threw: " << msg;
        EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), {}), 1)
            << "a temporary was left behind";
    }
    TestRoot root_;
};
using OwnershipProcess = Ownership;

TEST_F(Ownership, CinderFile) {
    Plinth::CinderFile reader(*testHandler(), table(false), false);
    EXPECT_EQ(reader.read(), Plinth::CinderId()) << "a missing file reads as none";
    EXPECT_THROW(reader.write(Plinth::CinderId(1, 1)), Pimbo::NoPermissionException);
    EXPECT_FALSE(fs::exists(root_.path(kTableName))) << "a reader creates nothing";

    Plinth::CinderFile writer(*testHandler(), table(), true);
    const mode_t mask = ::umask(077);
    writer.write(Plinth::CinderId(5, 9));
    ::umask(mask);
    EXPECT_TRUE(reader.validate(Plinth::CinderId(5, 9)) && !reader.validate({5, 8}));
    EXPECT_EQ(fs::status(writer.path()).permissions(), fs::perms(0644)) << "whatever the umask";
    for (const std::string& bytes : damaged(readText(writer.path()))) {
        std::ofstream(writer.path(), std::ios::trunc) << bytes;
        TraceCapture traces;
        EXPECT_TRUE(reader.read().isNone() && traces.has(writer.path())) << traces.text;
    }
    expectWriteFailure([&] { writer.write({2, 2}); }, writer.path(), "2:2");
}

TEST_F(OwnershipProcess, OwnerFile) {
    Plinth::OwnerFile reader(*testHandler(), table(false), false);
    EXPECT_THROW(reader.conduitInfoIs({"1:2", 3}), Pimbo::NoPermissionException);
    EXPECT_FALSE(reader.lock() || fs::exists(reader.path())) << "a reader creates nothing";

    Plinth::OwnerFile writer(*testHandler(), table(), true);
    const Plinth::ConduitInfo conduit{std::string(127, '9'), 0x77};  // the longest names fit
    writer.typeNameIs(std::string(511, 't'));
    writer.conduitInfoIs(conduit);
    EXPECT_EQ(reader.conduitInfo(), conduit);
    EXPECT_THROW(writer.typeNameIs(std::string(512, 'u')), Pimbo::OutOfRangeException);
    EXPECT_THROW(writer.conduitInfoIs({std::string(128, '8'), 1}), Pimbo::OutOfRangeException);
    EXPECT_EQ(reader.typeName(), std::string(511, 't')) << "a rewrite or a refusal lost it";

    // The lock never waits: a second holder, here in another process, is told no at once.
    ASSERT_TRUE(writer.lock());
    Child second([this](Child& self) {
        self.send(Plinth::OwnerFile(*testHandler(), table(), true).lock() ? "locked" : "refused");
        return 0;
    });
    EXPECT_EQ(second.receive(), "refused") << "a second holder waited or got the lock";
    EXPECT_EQ(second.wait(), 0);  // the child's copy of the descriptor holds the flock as well
    writer.unlock();
    EXPECT_TRUE(Plinth::OwnerFile(*testHandler(), table(), true).lock());

    const std::string good = readText(writer.path());
    auto cases = damaged(good);
    // Whole records with a matching checksum: of another version, and with a name left open.
    for (const bool otherVersion : {true, false}) {
        Plinth::OwnerFileRecord r;
        std::memcpy(&r, good.data(), sizeof r);
        otherVersion ? void(r.version = 2) : void(std::memset(r.typeName, 't', sizeof r.typeName));
        r.checksum = r.computeChecksum();
        cases.emplace_back(reinterpret_cast<const char*>(&r), sizeof r);
    }
    for (const std::string& bytes : cases) {
        std::ofstream(writer.path(), std::ios::trunc) << bytes;
        TraceCapture traces;
        EXPECT_TRUE(!reader.validateFile() && traces.has(writer.path())) << traces.text;
        const std::string msg =
            thrown<Pimbo::CorruptionDetectedException>([&] { reader.conduitInfo(); });
        EXPECT_NE(msg.find(writer.path()), std::string::npos) << "a damaged file was read: " << msg;
    }
    writer.plinthTypeIs(9);  // a damaged file is rewritten whole from a blank record
    EXPECT_TRUE(reader.validate() && reader.conduitInfo().empty());
    expectWriteFailure([&] { writer.plinthTypeIs(1); }, writer.path(), "owner");
}

// One private writer lock per table until its holder is gone; an owner lives while its pid runs.
TEST_F(OwnershipProcess, WriterLockAndOwnerAlive) {
    auto& h = *testHandler();
    std::string error, name;
    bool held = false;
    auto lock = acquire(error);
    ASSERT_NE(lock, nullptr) << error;
    EXPECT_EQ(fs::status(lock->path()).permissions(), fs::perms(0600)) << "others could hold it";
    const std::string me = Zolt::ConduitAcceptSm::socketName();
    Plinth::OwnerFile(h, table(), true).conduitInfoIs({me, 1});
    EXPECT_FALSE(acquire(error, &held)) << "a second description in this process";
    EXPECT_TRUE(held && error.find(lock->path()) != std::string::npos &&
                error.find(me) != std::string::npos)
        << error;
    lock.reset();
    EXPECT_FALSE(WriterLock::acquireWriterLock(h, Mem::RootPath(h, "u", false), error));
    EXPECT_FALSE(fs::exists(root_.path("u"))) << "a path that may not create got a lock file";

    const auto alive = [&](const std::string& s) { return WriterLock::ownerIsAlive(h, s, name); };
    const Plinth::ConduitName parsed = Plinth::ConduitName::ConduitNameIs(me);
    const std::string earlier = fmt::format("{}:{}", parsed.first(), parsed.second() - 1);
    EXPECT_TRUE(alive(me) && !alive(earlier) && !alive("a:1"));
    for (const std::string bad : {"", "12", ":34", "a:1", "+1:2", " 1:2", "1:2:3", "0:5",
                                  "4294967296:1", "1:99999999999999999999"})
        EXPECT_THROW(Plinth::ConduitName::ConduitNameIs(bad), Pimbo::CorruptionDetectedException)
            << bad;
    Child holder([&](Child& self) -> int {
        auto theirs = acquire(error);
        self.send(theirs ? Zolt::ConduitAcceptSm::socketName() : error);
        Child::block();
    });
    const std::string theirs = holder.receive();
    EXPECT_TRUE(alive(theirs) && !WriterLock::ownerIsMe(h, theirs));
    EXPECT_TRUE(!acquire(error, &held) && held && WriterLock::heldByOther(table()));
    ::kill(holder.pid(), SIGKILL);
    ASSERT_TRUE(holder.waitDead());
    EXPECT_FALSE(alive(theirs)) << "a zombie";
    EXPECT_FALSE(WriterLock::heldByOther(table())) << "the lock outlived its holder";
    EXPECT_TRUE(acquire(error)) << error;
    // A lock file of the old, shared mode is not replaced while its recorded writer lives.
    ASSERT_EQ(::chmod(table().filePath(WriterLock::kFileName).c_str(), 0644), 0);
    EXPECT_TRUE(!acquire(error, &held) && held && error.find(me) != std::string::npos) << error;
}

// The marker is replaced whole in own directories, only traced in a missing one or another
// user's (open to everyone, so its mode alone would let it through). Regression: a reader wrote it.
TEST_F(OwnershipProcess, MarkerOnlyInOwnDirectories) {
    auto& h = *testHandler();
    const Mem::RootPath own = table();
    own.ensureDirectory();
    EXPECT_TRUE(Vesk::Util::writeCorruptionFile(h, own, "first reason"));
    EXPECT_TRUE(Vesk::Util::writeCorruptionFile(h, own, "bad magic: 42"));
    EXPECT_FALSE(Vesk::Util::writeCorruptionFile(h, Mem::RootPath(h, "none", false), "lost"));
    EXPECT_FALSE(fs::exists(root_.path("none")));
    ASSERT_EQ(::chmod(own.directory().c_str(), 0777), 0);
    Child nobody(
        [&](Child& self) {
            TraceCapture traces;
            const bool wrote = Vesk::Util::writeCorruptionFile(h, own, "readonly");
            self.send(wrote ? "wrote" : traces.has("readonly") ? "traced" : "untraced");
            return 0;
        },
        Child::As::nobody);
    const std::string result = nobody.receive();
    if (nobody.wait() == Child::kSkip)
        GTEST_SKIP() << result;
    EXPECT_EQ(result, "traced");
    EXPECT_EQ(readText(own.filePath(Vesk::Util::kCorruptionFileName)), "bad magic: 42\n")
        << "another user's reason reached the marker";
}

// Above the root a symbolic link is followed only when root or the caller owns it, wherever it
// lies; the directory holding it is trusted first, and the root itself is never one.
// Regression: another user's link in a sticky directory sent root's writer into another table.
TEST_F(OwnershipProcess, LinksAboveTheRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give links to other users";
    const std::string link = "untrusted symbolic link", dir = "untrusted directory above the root";
    const struct {
        const char *at, *to, *root;  // the link, its target and the root, below the test root
        uid_t owner;
        std::string asRoot, asNobody;  // "" when followed, else part of the refusal
    } cases[] = {
        {"sticky/l", "/target", "sticky/l/r", 0, "", ""},
        {"sticky/l", "/target", "sticky/l/r", 65534, link, ""},
        {"sticky/l", "/target", "sticky/l/r", 4242, link, link},
        {"plain/l", "../target", "plain/l/r", 65534, link, ""},
        {"theirs/l", "/target", "theirs/l/r", 0, dir, dir},
        {"sticky/l", "/sticky/theirs", "sticky/l/r", 0, link, link},  // on to a link of 4242's
        {"sticky/l", "/theirs", "sticky/l/r", 0, dir, dir},
        {"target/s", "/target/r", "target/s", 0, "it is a symbolic link", "it is a symbolic link"},
    };
    fs::create_directories(root_.path("target/r/t"));
    for (const auto& [at, mode] : {std::pair{"sticky", 01777}, {"plain", 0755}, {"theirs", 0755}})
        ASSERT_TRUE(fs::create_directory(root_.path(at)) && !::chmod(root_.path(at).c_str(), mode));
    ASSERT_EQ(::chown(root_.path("theirs").c_str(), 4242, 4242), 0);
    ASSERT_EQ(::symlink(root_.path("target").c_str(), root_.path("sticky/theirs").c_str()), 0);
    ASSERT_EQ(::lchown(root_.path("sticky/theirs").c_str(), 4242, 4242), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(fmt::format("{} -> {} of uid {}", c.at, c.to, c.owner));
        const std::string at = root_.path(c.at), to = c.to[0] == '/' ? root_.dir() + c.to : c.to;
        ASSERT_TRUE(!::symlink(to.c_str(), at.c_str()) && !::lchown(at.c_str(), c.owner, c.owner));
        const auto open = [&] {
            Mem::RootPath::rootIs(root_.path(c.root));
            Mem::FileError error;
            const bool opened = Mem::TableDir::open(Mem::RootPath(*testHandler(), "t", false),
                                                    Mem::TableDir::Access::reader, error)
                                    .valid();
            return opened ? std::string("followed") : error.text;
        };
        const std::string mine = open();
        Child nobody([&](Child& self) { return self.send(open()), 0; }, Child::As::nobody);
        const std::string theirs = nobody.receive();
        for (const auto& [got, want] : {std::pair{mine, c.asRoot}, {theirs, c.asNobody}})
            EXPECT_NE(got.find(want.empty() ? "followed" : want), std::string::npos) << got;
        fs::remove(at);
    }
}

// A writer makes its root only in an existing directory; anything more names what is missing.
TEST_F(Ownership, RootOnlyInExistingDirectory) {
    Mem::FileError error;
    for (const std::string root : {"a/b", "a"}) {
        Mem::RootPath::rootIs(root_.path(root));
        const bool opened =
            Mem::TableDir::open(table(), Mem::TableDir::Access::writer, error).valid();
        EXPECT_TRUE(root == "a" ? opened && fs::exists(root_.path("a/t"))
                                : !fs::exists(root_.path("a")) &&
                                      error.text.starts_with("directory " + root_.path("a") +
                                                             " does not exist"))
            << root << ": " << error.text;
    }
}

// Regression: two writers both replacing a lock file of the old (shared) mode both held the lock.
// Runs rounds until both contenders replaced the file in one; exactly one must hold it each time.
TEST_F(OwnershipProcess, LegacyLockFile) {
    std::string error;
    ASSERT_TRUE(acquire(error)) << error;  // makes the file
    const auto contend = [this](Child& self) {
        testHandler()->levelMaskIs(0x3);
        for (std::string error; self.receive() == "go";) {
            TraceCapture traces(1);
            const auto lock = acquire(error);
            self.send(fmt::format("{}{}", lock ? "held" : "refused",
                                  traces.has("replacing writer lock") ? " replaced" : ""));
            self.receive();  // holds it until the round ends
        }
        return 0;
    };
    Child contenders[2] = {Child(contend), Child(contend)};
    bool raced = false;
    for (uint64_t round = 0; !raced && round < scaled(5000); ++round) {
        ASSERT_EQ(::chmod(table().filePath(WriterLock::kFileName).c_str(), 0644), 0);
        for (auto& c : contenders)
            c.send("go");
        const std::string lines = contenders[0].receive() + "; " + contenders[1].receive();
        ASSERT_NE(lines.starts_with("held"), lines.find("; held") != std::string::npos)
            << "exactly one holds it, round " << round << ": " << lines;
        raced = lines.find("replaced") != lines.rfind("replaced");  // both replaced the file
        for (auto& c : contenders)
            c.send("next");
    }
    EXPECT_TRUE(raced) << "the contenders never both replaced the file";
}

}  // namespace
