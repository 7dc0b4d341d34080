#include "support/Harness.h"

#include "Plinth/RootPath.h"

#include <dirent.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#ifdef VESK_COVERAGE
// The coverage runtime's list of instrumented objects (the executable and each shared library)
// and its call that writes one object's counts so far.
extern "C" {
struct GcovRoot {
    void* list;
    unsigned flags;
    GcovRoot* next;
    GcovRoot* prev;
};
extern struct {
    unsigned version;
    GcovRoot* root;
} __gcov_master;
void __gcov_dump_one(GcovRoot* root);
}
#endif

namespace VeskTest {
namespace {

// A child ends with _exit, so it writes its coverage counts itself, those of the library
// included.
void flushCoverage() {
#ifdef VESK_COVERAGE
    for (GcovRoot* root = __gcov_master.root; root != nullptr; root = root->next)
        __gcov_dump_one(root);
#endif
}

constexpr const char* kShm = "/dev/shm";
constexpr const char* kPrefix = "vesk-test-";

pid_t rootOwner = 0;  // the process that made processRoot(); only it removes it

void removeTree(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

struct RootRemover {
    ~RootRemover() {
        if (rootOwner == ::getpid())
            removeTree(processRoot());
        sweepDeadRoots();
    }
};

// In a child: drops to uid and gid 65534 (no supplementary groups); false when it may not.
bool becomeNobody() {
    return ::geteuid() == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 &&
           ::setuid(65534) == 0;
}

}  // namespace

void sweepDeadRoots() {
    DIR* d = ::opendir(kShm);
    if (d == nullptr)
        return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind(kPrefix, 0) != 0)
            continue;
        // Only names of the form PREFIX<pid>-XXXXXX are ours to judge.
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + std::strlen(kPrefix), &end, 10);
        if (end == nullptr || *end != '-')
            continue;
        struct stat st;
        const std::string path = std::string(kShm) + "/" + name;
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH &&
            ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
            removeTree(path);
    }
    ::closedir(d);
}

const std::string& processRoot() {
    static const std::string root = [] {
        sweepDeadRoots();
        std::string pattern =
            std::string(kShm) + "/" + kPrefix + std::to_string(::getpid()) + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr || ::chmod(pattern.c_str(), 0755) != 0) {
            std::perror("cannot make the test root");
            std::abort();
        }
        rootOwner = ::getpid();
        return pattern;
    }();
    static RootRemover remover;
    return root;
}

TestRoot::TestRoot() : previous_(Mem::RootPath::root()) {
    // Named by the process too: forked children count on from the same number, and one that was
    // killed leaves its roots behind.
    static std::atomic<uint64_t> next{0};
    dir_ = processRoot() + "/r" + std::to_string(++next) + "-" + std::to_string(::getpid());
    if (::mkdir(dir_.c_str(), 0755) != 0 || ::chmod(dir_.c_str(), 0755) != 0) {
        std::perror("cannot make a test root");
        std::abort();
    }
    Mem::RootPath::rootIs(dir_);
}

TestRoot::~TestRoot() {
    Mem::RootPath::rootIs(previous_);
    removeTree(dir_);
}

TraceCapture::TraceCapture(unsigned maxLevel) {
    Pimbo::Platform::traceSinkIs([this, maxLevel](const Pimbo::Platform::TraceRecord& r) {
        if (r.level > maxLevel)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(Record{r.level, std::string(r.className), std::string(r.message)});
        text += std::string(r.message) + "\n";
    });
}

TraceCapture::~TraceCapture() {
    Pimbo::Platform::traceSinkIs({});
}

bool TraceCapture::contains(unsigned level, const std::string& className,
                            const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Record& r : records_) {
        if (r.level == level && r.className == className && r.message == message)
            return true;
    }
    return false;
}

uint64_t testSeed() {
    static const uint64_t seed = [] {
        uint64_t s = 0;
        if (const char* e = std::getenv("VESK_TEST_SEED"); e != nullptr && *e != '\0')
            s = std::strtoull(e, nullptr, 0);
        else
            s = std::random_device{}() | uint64_t(std::random_device{}()) << 32;
        std::fprintf(stderr, "seed %llu: rerun with VESK_TEST_SEED=%llu\n",
                     static_cast<unsigned long long>(s), static_cast<unsigned long long>(s));
        return s;
    }();
    return seed;
}

uint64_t scaled(uint64_t ci) {
    const char* e = std::getenv("VESK_TEST_SCALE");
    const uint64_t scale = e != nullptr ? std::strtoull(e, nullptr, 0) : 1;
    return ci * (scale == 0 ? 1 : scale);
}

// ----- Child -----

int Child::runBody(const std::function<int(Child&)>& body, As as) {
    Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
    int rc = kThrew;
    if (as == As::nobody && !becomeNobody()) {
        send("SKIP: dropping to uid 65534 needs root");
        rc = kSkip;
    } else {
        try {
            rc = body(*this);
        } catch (const std::exception& e) {
            send(std::string("child threw: ") + e.what());
        } catch (...) {
            send("child threw");
        }
    }
    flushCoverage();
    return rc;
}

Child::Child(std::function<int(Child&)> body, As as) {
    processRoot();  // made by the parent, so the child never owns it
    if (!start([this, &body, as](ChildProcess&) { return runBody(body, as); }))
        std::abort();
}

Child::~Child() {
    // Asked first, so a parked child ends cleanly (writing its coverage counts in a coverage
    // build); one that does not end soon is killed.
    kill(SIGTERM);
    wait(10);
}

void Child::block() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, nullptr);
    int sig = 0;
    while (::sigwait(&term, &sig) != 0) {
    }
    flushCoverage();
    ::_exit(0);
}

bool privateTmpfs(const std::string& size, std::string& why) {
    auto failed = [&why](const char* what) {
        why = std::string(what) + " failed: " + std::strerror(errno) +
              " (needs root or CAP_SYS_ADMIN)";
        return false;
    };
    if (::unshare(CLONE_NEWNS) != 0)
        return failed("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("making the mounts private");
    const std::string dir = processRoot() + "/tmpfs-" + std::to_string(::getpid());
    if (::mkdir(dir.c_str(), 0755) != 0)
        return failed("mkdir");
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0755").c_str()) != 0)
        return failed("mounting a tmpfs");
    Mem::RootPath::rootIs(dir);
    return true;
}

}  // namespace VeskTest
