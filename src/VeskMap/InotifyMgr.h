// InotifyMgr: the process's one inotify instance, which the reader and writer sentries
// (VeskMap/Sentry.h) share, and the records it hands them.
//
// Owner's thread only, like the sentries and the event loop.
#pragma once

#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Pimbo/Fd.h"
#include "Pimbo/Format.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <unordered_map>
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
inline std::string absoluteDirectory(const std::string& dir) {
    std::string out = std::filesystem::absolute(dir).lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

inline std::string parentOf(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : dir.substr(0, slash);
}

inline bool isDirectory(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace SentryImpl
}  // namespace Mem
