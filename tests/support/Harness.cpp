#include "support/Harness.h"

#include "Plinth/RootPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool writeLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

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

int Child::runBody(const std::function<int(Child&)>& body) {
    try {
        return body(*this);
    } catch (const std::exception& e) {
        send(std::string("child threw: ") + e.what());
    } catch (...) {
        send("child threw");
    }
    return kThrew;
}

Child::Child(std::function<int(Child&)> body, As as) {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0)
        std::abort();
    processRoot();  // made by the parent, so the child never owns it
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0)
        std::abort();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);  // the parent died before the signal was set
        Pimbo::Platform::traceSinkIs([](const Pimbo::Platform::TraceRecord&) {});
        ::close(down[1]);
        ::close(up[0]);
        in_ = down[0];
        out_ = up[1];
        int rc = kSkip;
        if (as == As::nobody && !becomeNobody())
            send("SKIP: dropping to uid 65534 needs root");
        else
            rc = runBody(body);
        std::fflush(stdout);
        std::fflush(stderr);
        flushCoverage();
        ::_exit(rc);
    }
    ::close(down[0]);
    ::close(up[1]);
    in_ = up[0];
    out_ = down[1];
}

Child::~Child() {
    // Asked first, so a parked child ends cleanly (writing its coverage counts in a coverage
    // build); one that does not end soon is killed.
    if (!reaped_ && pid_ > 0 && ::kill(pid_, SIGTERM) == 0)
        wait(10);
    kill();
    ::close(in_);
    ::close(out_);
}

void Child::send(const std::string& line) {
    writeLine(out_, line);
}

std::string Child::receive(double seconds) {
    std::string line;
    const double deadline = now() + seconds;
    for (;;) {
        // A line begun is read to its end (it was written at once): a short wait loses none.
        const double left = line.empty() ? deadline - now() : kWait;
        pollfd p{in_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left * 1000) + 1) != 1)
            return "";
        char c;
        if (::read(in_, &c, 1) != 1)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
}

std::string Child::rest() {
    std::string text;
    char buffer[512];
    pollfd p{in_, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1) {
        const ssize_t n = ::read(in_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    return text;
}

int Child::wait(double seconds) {
    if (reaped_)
        return status_;
    const double deadline = now() + seconds;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (now() > deadline) {
            kill();
            return -1;
        }
        ::usleep(2000);
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

void Child::kill(int sig) {
    if (reaped_ || pid_ <= 0)
        return;
    ::kill(pid_, sig);
    if (sig == SIGKILL) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        status_ = 128 + SIGKILL;
    }
}

bool Child::waitDead(double seconds) {
    const double deadline = now() + seconds;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT | WNOHANG) == 0 &&
            info.si_pid == pid_)
            return true;
        if (now() > deadline)
            return false;
        ::usleep(2000);
    }
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
