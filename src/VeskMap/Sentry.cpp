#include "VeskMap/Sentry.h"

#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderFile.h"
#include "Plinth/TableDir.h"
#include "Vesk/VeskInterfaceBase.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Mem {
namespace SentryImpl {

// Everything a table directory's watcher needs to hear: files appearing (created, renamed in,
// finished), files going (deleted, renamed away), and the directory itself going.
constexpr uint32_t kWatchMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE |
                                IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The wd of a record that the manager makes itself: "look again" for one client.
constexpr int kLookAgainWd = -2;

struct Record {
    uint64_t seq;  // order of arrival, from 1
    int wd;        // -1 for a queue overflow, kLookAgainWd for a look-again record
    uint32_t mask;
    std::string name;
    uint64_t client;  // look-again records only
};

class Client {
  public:
    virtual ~Client() = default;
    virtual void onRecord(const Record& record) = 0;
};

// The process's inotify instance, shared by every reader sentry. It reads the records from
// the kernel when the event loop says so and hands each to the clients that watch its
// directory. One kernel watch per directory, however many clients share it.
//
// Owner's thread only, like the sentries and the event loop.
class InotifyMgr {
  public:
    // Throws Pimbo::InvalidInitializeException when the process cannot have an inotify
    // instance; a later call tries again.
    static InotifyMgr& instance() {
        static InotifyMgr* mgr = nullptr;
        if (mgr == nullptr) {
            mgr = new InotifyMgr;  // never destroyed: sentries may go during exit
        }
        return *mgr;
    }

    uint64_t clientIs(Client* client) {
        const uint64_t id = nextClient_++;
        clients_.emplace(id, client);
        return id;
    }
    // The client hears nothing more, records already queued included.
    void clientDel(uint64_t id) { clients_.erase(id); }

    // Watches the directory `path` for the client; returns the wd, or -1 with `error` set.
    // `flags` adds path flags (IN_DONT_FOLLOW) to the mask.
    int watchIs(uint64_t client, const std::string& path, int& error, uint32_t flags = 0) {
        const int wd = ::inotify_add_watch(fd_.get(), path.c_str(), kWatchMask | flags);
        if (wd < 0) {
            error = errno;
            return -1;
        }
        std::vector<uint64_t>& users = users_[wd];
        if (std::find(users.begin(), users.end(), client) == users.end()) {
            users.push_back(client);
        }
        return wd;
    }
    // The client stops using the watch; the kernel watch goes with its last user.
    void watchDel(uint64_t client, int wd) {
        auto it = users_.find(wd);
        if (it == users_.end()) {
            return;  // the kernel dropped it already (IN_IGNORED)
        }
        std::erase(it->second, client);
        if (it->second.empty()) {
            users_.erase(it);
            // Fails harmlessly when the directory is gone and the kernel dropped the watch.
            ::inotify_rm_watch(fd_.get(), wd);
        }
    }
    size_t watches() const { return users_.size(); }

    // Reads every record the kernel holds into the queue.
    void drain() {
        alignas(inotify_event) char buf[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // EAGAIN: nothing more
            }
            for (const char* p = buf; p < buf + n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(p);
                queue_.push_back(Record{++seq_, ev->wd, ev->mask,
                                        ev->len != 0 ? std::string(ev->name) : std::string(), 0});
                p += sizeof(inotify_event) + ev->len;
            }
        }
    }
    // The sequence number of the last record read.
    uint64_t lastSeq() const { return seq_; }

    // Queues a look-again record for the client and wakes the event loop for it.
    void lookAgain(uint64_t client) {
        queue_.push_back(Record{++seq_, kLookAgainWd, 0, std::string(), client});
        kick();
    }
    // Wakes the event loop to deliver what is queued (records drained by a purge).
    void kick() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(kickFd_.get(), &one, sizeof one);
    }

  private:
    InotifyMgr() {
        // A constructor that throws closes the descriptors it made (Pimbo::Fd).
        fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!fd_) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot watch table files: inotify_init1 failed: {}", std::strerror(errno));
        }
        kickFd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!kickFd_) {
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot watch table files: eventfd failed: {}", std::strerror(errno));
        }
        try {
            Pimbo::eventLoop().addFd(fd_.get(), [this] { onReadable(); });
            Pimbo::eventLoop().addFd(kickFd_.get(), [this] { onReadable(); });
        } catch (const Pimbo::Exception& e) {
            Pimbo::eventLoop().removeFd(fd_.get());
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot watch table files: the event loop refused inotify: {}", e.msg());
        }
    }

    void onReadable() {
        uint64_t kicks;
        while (::read(kickFd_.get(), &kicks, sizeof kicks) == ssize_t(sizeof kicks)) {
        }
        drain();
        if (dispatching_) {
            return;  // a client polled the loop from inside its callback: the outer loop goes on
        }
        struct Dispatching {
            bool& flag;
            explicit Dispatching(bool& f) : flag(f) { flag = true; }
            ~Dispatching() { flag = false; }
        } dispatching(dispatching_);
        while (!queue_.empty()) {
            const Record record = std::move(queue_.front());
            queue_.pop_front();
            deliver(record);
        }
    }

    void deliver(const Record& record) {
        std::vector<uint64_t> targets;
        if (record.wd == kLookAgainWd) {
            targets.push_back(record.client);
        } else if ((record.mask & IN_Q_OVERFLOW) != 0) {
            // Records were lost: every client looks again.
            for (const auto& [id, client] : clients_) {
                targets.push_back(id);
            }
        } else {
            auto it = users_.find(record.wd);
            if (it == users_.end()) {
                return;  // a watch nobody uses any more
            }
            targets = it->second;
            if ((record.mask & IN_IGNORED) != 0) {
                users_.erase(it);  // the kernel dropped the watch
            }
        }
        // Looked up one by one: a client may delete itself or others from inside its call.
        for (uint64_t id : targets) {
            auto c = clients_.find(id);
            if (c != clients_.end()) {
                c->second->onRecord(record);
            }
        }
    }

    Pimbo::Fd fd_;
    Pimbo::Fd kickFd_;
    uint64_t seq_ = 0;
    uint64_t nextClient_ = 1;
    std::deque<Record> queue_;
    std::unordered_map<int, std::vector<uint64_t>> users_;
    std::unordered_map<uint64_t, Client*> clients_;
    bool dispatching_ = false;
};

// The table's directory as an absolute, normal path without a trailing '/'.
std::string absoluteDirectory(const std::string& dir) {
    std::string out = std::filesystem::absolute(dir).lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

std::string parentOf(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : dir.substr(0, slash);
}

bool isDirectory(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace SentryImpl

// ---------------------------------------------------------------------------------------------
// ReaderSentry

// The sentry's membership in the inotify manager and its one watch.
class ReaderSentry::Client : public SentryImpl::Client {
  public:
    explicit Client(ReaderSentry& sentry)
        : sentry_(sentry), mgr_(SentryImpl::InotifyMgr::instance()), id_(mgr_.clientIs(this)) {}
    ~Client() override {
        if (wd_ >= 0) {
            mgr_.watchDel(id_, wd_);
        }
        mgr_.clientDel(id_);
    }

    void onRecord(const SentryImpl::Record& r) override {
        if (r.seq <= purgedUpTo_) {
            return;  // dropped by purgeInotifyRecord
        }
        if (r.wd == SentryImpl::kLookAgainWd || (r.mask & IN_Q_OVERFLOW) != 0) {
            sentry_.reconcile(Look::fresh);
            return;
        }
        if (r.wd != wd_) {
            return;  // a record of a watch this sentry has left
        }
        if ((r.mask & IN_IGNORED) != 0) {
            wd_ = -1;  // the kernel dropped the watch: nothing to remove
            sentry_.reconcile(Look::fresh);
            return;
        }
        if ((r.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
            sentry_.reconcile(Look::fresh);
            return;
        }
        if (sentry_.watchingTable()) {
            if (r.name == kCinderFile &&
                (r.mask & (IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE)) != 0) {
                sentry_.reconcile(Look::cinderArrived);
            } else if (r.name == kSlotsFile || r.name == kBucketsFile || r.name == kCinderFile) {
                sentry_.reconcile(Look::fileChanged);
            }
        } else if (r.name == sentry_.nextComponent()) {
            // A directory on the way appeared: files already in it were announced to nobody.
            sentry_.reconcile(Look::fresh);
        }
        // Nothing may touch this object from here on: reconcile may have deleted the sentry.
    }

    void purge() {
        mgr_.drain();
        purgedUpTo_ = mgr_.lastSeq();
        mgr_.lookAgain(id_);
    }

    ReaderSentry& sentry_;
    SentryImpl::InotifyMgr& mgr_;
    const uint64_t id_;
    int wd_ = -1;
    std::string path_;  // the directory watched
    dev_t dev_ = 0;     // and its identity, to notice a directory replaced under the same name
    ino_t ino_ = 0;
    uint64_t purgedUpTo_ = 0;
};

ReaderSentry::ReaderSentry(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                           Notifiee* notifiee)
    : Pimbo::Debuggable(handler, "ReaderSentry"),
      rootPath_(rootPath),
      directory_(SentryImpl::absoluteDirectory(rootPath.directory())),
      notifiee_(notifiee),
      alive_(std::make_shared<bool>(true)) {
    if (notifiee_ == nullptr) {
        PIMBO_FAIL("reader sentry of {} built without a notifiee", directory_);
    }
}

ReaderSentry::~ReaderSentry() {
    *alive_ = false;
    PIMBO_TRACE(5, "{} watch of {} removed", directory_, watchedDirectory());
}

std::string ReaderSentry::watchedDirectory() const {
    return client_ && client_->wd_ >= 0 ? client_->path_ : std::string();
}

size_t ReaderSentry::watchedDirectories() {
    try {
        return SentryImpl::InotifyMgr::instance().watches();
    } catch (const Pimbo::Exception&) {
        return 0;
    }
}

bool ReaderSentry::attached() {
    return status_ != 0 && notifiee_->readerFullyAttached();
}

bool ReaderSentry::fileExists(const char* file) const {
    struct stat st;
    return ::lstat((directory_ + "/" + file).c_str(), &st) == 0;
}

bool ReaderSentry::filesReady() const {
    return fileExists(kSlotsFile) && fileExists(kBucketsFile) && fileExists(kCinderFile);
}

Plinth::CinderId ReaderSentry::cinderOnDisk() {
    return Plinth::CinderFile(debugHandler(), rootPath_, false).read();
}

bool ReaderSentry::watchingTable() const {
    return client_ && client_->wd_ >= 0 && client_->path_ == directory_;
}

std::string ReaderSentry::nextComponent() const {
    if (!client_ || client_->wd_ < 0) {
        return std::string();
    }
    const std::string& at = client_->path_;
    size_t begin = at == "/" ? 1 : at.size() + 1;
    if (begin > directory_.size()) {
        return std::string();
    }
    const size_t end = directory_.find('/', begin);
    return directory_.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

void ReaderSentry::ensureWatch() {
    if (!client_) {
        client_ = std::make_unique<Client>(*this);
    }
    Client& c = *client_;
    // Directories may come and go while the watch moves; each round places it on the deepest
    // directory that exists and then looks again. A path that never settles is an error.
    constexpr int kRounds = 64;
    for (int round = 0; round < kRounds; ++round) {
        std::string dir = directory_;
        struct stat st;
        while (!SentryImpl::isDirectory(dir, st)) {
            if (dir == "/") {
                PIMBO_THROW(Pimbo::InvalidInitializeException,
                            "cannot watch table directory {}: no directory above it exists",
                            directory_);
            }
            dir = SentryImpl::parentOf(dir);
        }
        if (c.wd_ >= 0 && c.path_ == dir && c.dev_ == st.st_dev && c.ino_ == st.st_ino) {
            return;  // in place, and nothing deeper exists yet
        }
        int error = 0;
        const int wd = c.mgr_.watchIs(c.id_, dir, error);
        if (wd < 0) {
            if (error == ENOENT || error == ENOTDIR) {
                continue;  // the directory went meanwhile: look again
            }
            PIMBO_THROW(Pimbo::InvalidInitializeException,
                        "cannot watch table directory {} (watching {}): {}", directory_, dir,
                        std::strerror(error));
        }
        if (c.wd_ >= 0 && c.wd_ != wd) {
            c.mgr_.watchDel(c.id_, c.wd_);
        }
        c.wd_ = wd;
        c.path_ = dir;
        struct stat now;
        if (SentryImpl::isDirectory(dir, now)) {
            c.dev_ = now.st_dev;
            c.ino_ = now.st_ino;
        } else {
            c.dev_ = 0;
            c.ino_ = 0;  // gone already: the next round moves up
        }
        PIMBO_TRACE(2, "{} watching {} mode:{}", directory_, dir, notifiee_->modeStr());
        // The next round finds the watch in place, or a directory that appeared before the
        // watch did (which no record will announce) and moves down to it.
    }
    PIMBO_THROW(Pimbo::InvalidInitializeException,
                "cannot watch table directory {}: its parent directories keep changing",
                directory_);
}

void ReaderSentry::event(const std::string& eventName, bool flag) {
    PIMBO_TRACE(5, "{} event:{} flag:{} mode:{} notifying:{}", directory_, eventName, flag,
                notifiee_->modeStr(), notifiee_->notifying());
    if (notifiee_->localMem()) {
        return;  // a table in process memory has no files to wait for
    }
    ensureWatch();
    if (!attached() && filesReady()) {
        PIMBO_TRACE(2, "{} files ready, attaching on {}", directory_, eventName);
        status_ = 1;
        notifiee_->attach(eventName);
    }
}

void ReaderSentry::purgeInotifyRecord() {
    PIMBO_TRACE(5, "{}", directory_);
    if (client_) {
        client_->purge();
    }
}

void ReaderSentry::reconcile(Look look) {
    // Copies that stay valid if a callback deletes this sentry.
    const std::shared_ptr<bool> alive = alive_;
    const std::shared_ptr<Pimbo::Platform::DebugHandler> handler = debugHandlerPtr();
    const std::string directory = directory_;
    try {
        ensureWatch();
        if (attached()) {
            if (!watchingTable() || !fileExists(kSlotsFile) || !fileExists(kCinderFile)) {
                PIMBO_TRACE(1, "{} files went away, detaching", directory);
                notifiee_->detach(true);
                if (!*alive) {
                    return;
                }
            } else {
                const Plinth::CinderId onDisk = cinderOnDisk();
                const Plinth::CinderId held = notifiee_->cinderId();
                const bool newGeneration = !onDisk.isNone() && onDisk != held;
                const bool writerBack =
                    look == Look::cinderArrived && notifiee_->disconnectedActiveReader();
                if (!newGeneration && !writerBack) {
                    return;  // still the files the notifiee holds
                }
                PIMBO_TRACE(1, "{} cinderId on disk:{} held:{} writerBack:{}, re-attaching",
                            directory, onDisk, held, writerBack);
                notifiee_->detach(true);
                if (!*alive) {
                    return;
                }
                look = Look::fresh;  // the new generation's cinder is in place already
            }
        }
        // A change of "slots" or "buckets" alone is a writer at work: it writes "cinder" last,
        // and that record (or a fresh look) is the moment to attach.
        if (look != Look::fileChanged && !attached() && filesReady()) {
            PIMBO_TRACE(2, "{} files ready, attaching on {}", directory, kInotifyEvent);
            status_ = 1;
            notifiee_->attach(kInotifyEvent);
        }
    } catch (const std::exception& e) {
        // Reported and dropped: one table's failure must not stop the event loop for the others.
        PIMBO_TRACE_TO(*handler, "ReaderSentry", 0, "{} handling a change of its files failed: {}",
                       directory, e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// WriterSentry

// The sentry's membership in the inotify manager, its watch and the directory it holds.
class WriterSentry::Watch : public SentryImpl::Client {
  public:
    explicit Watch(WriterSentry& sentry)
        : sentry_(sentry), mgr_(SentryImpl::InotifyMgr::instance()), id_(mgr_.clientIs(this)) {}
    ~Watch() override {
        unwatch();
        mgr_.clientDel(id_);
    }

    void onRecord(const SentryImpl::Record& r) override {
        if (r.seq <= purgedUpTo_) {
            return;  // dropped by purgeInotifyRecord
        }
        if (r.wd == SentryImpl::kLookAgainWd || (r.mask & IN_Q_OVERFLOW) != 0) {
            sentry_.look("");
            return;
        }
        if (r.wd != wd_ || wd_ < 0) {
            return;
        }
        if ((r.mask & IN_IGNORED) != 0) {
            wd_ = -1;  // the kernel dropped the watch (the directory is gone)
            sentry_.look("");
        } else if ((r.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
            sentry_.look("");
        } else if ((r.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 &&
                   (r.name == ReaderSentry::kSlotsFile || r.name == ReaderSentry::kBucketsFile ||
                    r.name == ReaderSentry::kCinderFile)) {
            sentry_.look(r.name);
        } else if ((r.mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                   (r.name == ReaderSentry::kSlotsFile || r.name == ReaderSentry::kBucketsFile)) {
            sentry_.look("");  // another file at the name: the writer's own went
        }
        // Nothing may touch this object from here on: the notifiee may have deleted the sentry.
    }

    // The file `name` is still the one the writer mapped when the watch was placed.
    bool held(const char* name) const {
        struct stat st;
        const bool slots = std::strcmp(name, ReaderSentry::kSlotsFile) == 0;
        const Identity& was = slots ? slots_ : buckets_;
        return dir_.statEntry(name, st) && st.st_dev == was.dev && st.st_ino == was.ino;
    }
    void remember() {
        struct stat st;
        if (dir_.statEntry(ReaderSentry::kSlotsFile, st))
            slots_ = {st.st_dev, st.st_ino};
        if (dir_.statEntry(ReaderSentry::kBucketsFile, st))
            buckets_ = {st.st_dev, st.st_ino};
    }

    void unwatch() {
        if (wd_ >= 0) {
            mgr_.watchDel(id_, wd_);
            wd_ = -1;
        }
    }

    void purge() {
        mgr_.drain();
        purgedUpTo_ = mgr_.lastSeq();
        mgr_.kick();  // other clients' records drained here are delivered from the loop
    }

    WriterSentry& sentry_;
    SentryImpl::InotifyMgr& mgr_;
    const uint64_t id_;
    int wd_ = -1;
    TableDir dir_;
    uint64_t purgedUpTo_ = 0;
    // The writer's "slots" and "buckets" as the watch found them.
    struct Identity {
        dev_t dev = 0;
        ino_t ino = 0;
    };
    Identity slots_, buckets_;
};

// What a sentry built over a writer asks of it.
class WriterSentry::WriterNotifiee : public WriterSentry::Notifiee {
  public:
    explicit WriterNotifiee(Vesk::VeskInterfaceBase& writer) : writer_(writer) {}
    Plinth::CinderId cinderId() override { return writer_.cinderId(); }
    bool validate() override { return writer_.validate(); }
    bool validateFiles(const std::string&, unsigned) override { return writer_.validateFiles(); }
    void filesLost(const std::string&) override {}  // the program asks lostFiles()

  private:
    Vesk::VeskInterfaceBase& writer_;
};

WriterSentry::WriterSentry(Pimbo::Platform::DebugHandler& handler, Notifiee* notifiee,
                           const Vesk::RootPath& rootPath)
    : Pimbo::Debuggable(handler, "WriterSentry"), notifiee_(notifiee), rootPath_(rootPath) {
    if (notifiee_ == nullptr) {
        PIMBO_FAIL("writer sentry of {} built without a notifiee", rootPath_);
    }
    watch();
}

WriterSentry::WriterSentry(Pimbo::Platform::DebugHandler& handler, Vesk::VeskInterfaceBase& writer)
    : Pimbo::Debuggable(handler, "WriterSentry"),
      ownNotifiee_(std::make_unique<WriterNotifiee>(writer)),
      notifiee_(ownNotifiee_.get()),
      rootPath_(writer.rootPath()) {
    watch();
}

WriterSentry::~WriterSentry() = default;

bool WriterSentry::watching() const {
    return watch_ && watch_->wd_ >= 0;
}

void WriterSentry::watch() {
    const std::string& directory = rootPath_.directory();
    try {
        watch_ = std::make_unique<Watch>(*this);
    } catch (const Pimbo::Exception& e) {
        PIMBO_TRACE(0, "{} not watched; a removal will go unnoticed: {}", directory, e.msg());
        return;
    }
    Watch& w = *watch_;
    FileError error;
    w.dir_ = TableDir::open(rootPath_, TableDir::Access::writerExisting, error);
    int e = error.errnum;
    if (w.dir_.valid()) {
        w.wd_ = w.mgr_.watchIs(w.id_, directory, e, IN_DONT_FOLLOW);
        w.remember();
        // Placed by path: make sure it is on the directory held (else it went meanwhile).
        if (w.wd_ >= 0 && w.dir_.removed()) {
            e = ENOENT;
        } else if (w.wd_ >= 0) {
            e = 0;
        }
    }
    if (e == ENOENT || e == ENOTDIR) {
        w.mgr_.lookAgain(w.id_);  // reported from the event loop (invariant 7)
    } else if (e != 0) {
        PIMBO_TRACE(0, "{} not watched; a removal will go unnoticed: {}", directory,
                    error ? error.text : std::string(std::strerror(e)));
        w.unwatch();
    } else {
        PIMBO_TRACE(2, "{} watching for its writer", directory);
    }
}

void WriterSentry::look(const std::string& name) {
    if (!lost_.empty() || !watch_) {
        return;
    }
    const TableDir& dir = watch_->dir_;
    std::string what;
    bool replaced = false;
    if (dir.removed()) {
        what = "table directory " + rootPath_.directory();
    } else if (!name.empty()) {
        what = dir.filePath(name);
    } else {
        for (const char* file :
             {ReaderSentry::kSlotsFile, ReaderSentry::kBucketsFile, ReaderSentry::kCinderFile}) {
            const bool there = dir.exists(file);
            replaced =
                there && std::strcmp(file, ReaderSentry::kCinderFile) != 0 && !watch_->held(file);
            if (!there || replaced) {
                what = dir.filePath(file);
                break;
            }
        }
    }
    if (what.empty()) {
        return;  // a record of something that came back, or a look with nothing lost
    }
    lost_ = what;
    watch_->unwatch();
    PIMBO_TRACE(1, "{} was {} under its writer", what, replaced ? "replaced" : "removed");
    notifiee_->filesLost(what);
    // Nothing may touch this object from here on: the notifiee may have deleted the sentry.
}

void WriterSentry::event(const std::string& eventName, bool flag) {
    ++events_;
    lastEvent_ = eventName;
    PIMBO_TRACE(5, "{} event:{} flag:{} cinderId:{}", rootPath_, eventName, flag,
                notifiee_->cinderId());
}

void WriterSentry::purgeInotifyRecord() {
    PIMBO_TRACE(5, "{}", rootPath_);
    if (watch_) {
        watch_->purge();
    }
}

}  // namespace Mem
