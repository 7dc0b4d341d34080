#include "VeskMap/Sentry.h"

#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Plinth/CinderFile.h"
#include "Plinth/TableDir.h"
#include "Vesk/VeskInterfaceBase.h"
#include "VeskMap/InotifyMgr.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace Mem {

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

}  // namespace Mem
