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
