// RuxaWake: the wake-ups of a table's notification queue, over the Unix-domain stream socket
// "notifications.wake" in the table's directory, and each follower's "wake wanted" word.
//
// The writer listens on the socket (WakeSender); each follower connects to it (WakeReceiver)
// and watches its end on its event loop. When the writer takes a follower's connection it makes
// a wake word for it: a one-page memfd, sealed against shrinking and growing, mapped read-write,
// whose descriptor it passes over the connection (SCM_RIGHTS) with the follower's first
// wake-up byte; a follower it cannot pass one to is dropped. The word keeps Q7 of
// doc/file-format.md; a byte is sent with MSG_DONTWAIT.
// No wake-up is lost (Dekker): the writer stores a count, fences, loads the word; the follower
// stores the word, fences, loads the count. One of them sees the other's store: the follower
// finds the entry, or the writer's next look finds the 1 and sends (a byte that arrives for an
// entry already read is a harmless spurious wake-up).
//
// What a change costs the writer does not depend on how many follow. A look at the followers
// costs in proportion to them, so the writer paces its looks: after a look that cost its thread
// t (CPU time) it makes its next one once about kIdleShare * t has passed (counted in batches of
// changes at their recent pace), so that looks take at most about 1/kIdleShare of its time
// however many follow and whatever they do. A writer that makes few changes, or waits between
// them, looks after each; one that stops right after a look owes the next, which a one-shot timer
// on the process's event loop (Pimbo::eventLoop()) makes once that time has passed, or its next
// change. A writer whose
// process never runs its event loop leaves such a last wake-up to its next change or to the
// followers' poll. A look also takes the followers that connected (at most once a millisecond)
// and, once a second, drops those whose connection went.
//
// Caps: at most kMaxFollowers followers, and at most kMaxFollowersPerUser of any one user other
// than the writer's own user and root; a connection beyond them is closed at once (the follower
// polls) and counted as refused. Each connection's send buffer is the smallest the kernel allows
// (a few unread wake-ups), and a follower whose buffer is full (it does not read its wake-ups)
// is not looked at again until the once-a-second check finds room in it: it has unread wake-ups
// anyway. So no follower, and no user, can stall the writer or grow its kernel memory beyond
// a few kilobytes per connection.
//
// A follower that is slow, stopped or gone costs the writer a dropped wake-up or a closed
// connection, never a blocked writer. A hostile follower owns its word alone: whatever it stores
// there only brings itself spurious or missed wake-ups, and the seals keep it from shrinking the
// page under the writer's mapping. A wake-up carries nothing: the queue file is the truth, so a
// follower that gets none (no socket, no word, refused, a writer gone, a missed wake-up) finds
// the change at its next poll (Vesk::Syncer). A follower checks the descriptor it is passed (at
// least a page, shrinking sealed) and otherwise ignores it and polls.
//
// The socket is bound by the path "/proc/self/fd/<directory fd>/notifications.wake": the
// directory is the one Mem::TableDir opened and trusted, never a path that could be bent, and
// bind() never follows a name that already exists (it fails), so nothing planted there is
// written through. Whoever may read the table may follow it awake: the socket gets the table's
// file mode with a write bit beside each read bit (0644 gives 0666, 0640 gives 0660; connecting
// needs write permission) and the table's group. An abstract socket name would need no file but
// could be taken by any local user and has no mode.
//
// Who calls what: WakeSender is the writer thread's (its timer runs on that thread's event
// loop); a WakeReceiver its follower's thread.
#pragma once

#include "Mem/Atomic.h"
#include "Pimbo/Fd.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableDir.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Ruxa {

// One follower's wake word (Q7): the first 4 bytes of a sealed one-page memfd that the writer
// and that follower both map shared read-write. Unmapped when it goes.
class WakeWord {
  public:
    WakeWord() = default;
    ~WakeWord() { reset(); }
    WakeWord(WakeWord&& other) noexcept : page_(std::exchange(other.page_, nullptr)) {}
    WakeWord& operator=(WakeWord&& other) noexcept {
        if (this != &other) {
            reset();
            page_ = std::exchange(other.page_, nullptr);
        }
        return *this;
    }
    explicit operator bool() const { return page_ != nullptr; }

    // The writer's: a new zeroed page sealed against shrinking, growing and further seals, and
    // its descriptor in `fd` to pass on. Invalid, with errno set, when it cannot.
    static WakeWord create(Pimbo::Fd& fd);
    // The follower's: maps the page of `fd` when the file holds at least a page and is sealed
    // against shrinking (nobody can then cut the mapping short); invalid otherwise.
    static WakeWord adopt(int fd);

    // The follower, about to sleep: asks for a wake-up. The full fence orders the store before
    // the follower's next look at the queue's counts.
    void ask() {
        Mem::storeRelaxed32(page_, 1);
        Mem::fullFence();
    }
    // The writer, after its full fence: whether the follower asked; clears the request. The
    // load is relaxed: the fence before it orders it after the counts (Q7); the store of 0 may
    // overwrite a newer 1, but the byte sent after it then wakes that follower anyway.
    bool take() {
        if (Mem::loadRelaxed32(page_) == 0)
            return false;
        Mem::storeRelaxed32(page_, 0);
        return true;
    }

  private:
    void reset();
    void* page_ = nullptr;
};

class WakeSender {
  public:
    static constexpr const char* kFileName = "notifications.wake";
    static constexpr size_t kMaxFollowers = 1024;
    static constexpr size_t kMaxFollowersPerUser = 64;
    // Looks at the followers take at most about 1/kIdleShare of the writer's time.
    static constexpr uint64_t kIdleShare = 32;

    WakeSender() = default;
    ~WakeSender() { close(); }
    WakeSender(const WakeSender&) = delete;
    WakeSender& operator=(const WakeSender&) = delete;

    // Listens on the table's wake-up socket, replacing a stale one. False with `why` naming
    // the socket and the reason; the followers then poll.
    bool open(const Vesk::RootPath& rootPath, std::string& why);
    // Stops listening, drops the followers and removes the socket file.
    void close();
    bool listening() const { return static_cast<bool>(listener_); }

    // Something was published: the batch's wake() looks at the followers when a look is due.
    void pending() { pending_ = true; }
    // The end of a batch of changes: when something was published since the last look and a
    // look is due, looks (see the top of this file); otherwise the look is owed. Never blocks.
    // True when the number of followers (or of those refused) changed.
    bool wake() {
        if (!pending_)
            return false;
        pending_ = false;
        ++batches_;
        if (--untilLook_ > 0) [[likely]] {
            owe();
            return false;
        }
        return look();
    }
    // A look at the followers is owed: the timer or the next change makes it.
    bool owed() const { return owed_; }
    size_t followers() const { return followers_.size(); }
    // Connections refused by the caps since the socket was last opened.
    uint64_t refused() const { return refused_; }
    // Called (on the writer's thread) when a look from the timer changed the followers.
    void onFollowersChanged(std::function<void()> f) { changed_ = std::move(f); }

    // Removes the wake-up socket in `dir` (one a writer that died left behind); anything else
    // at its name stays.
    static void removeSocket(const Mem::TableDir& dir);

  private:
    struct Follower {
        Pimbo::Fd socket;
        WakeWord word;
        uid_t user = 0;
        bool full = false;  // its send buffer was full at the last byte: not looked at
    };
    // Makes the wake word of a follower just taken and passes it on; false when it cannot.
    static bool welcome(Follower& f);
    // Takes the connections waiting, within the caps.
    void accept();
    // Drops the followers whose connection went; those whose send buffer has room again are
    // looked at again.
    void checkConnections();
    void drop(size_t i);
    // Looks at the followers now and paces the next look.
    bool look();
    void owe() {
        if (owed_)
            return;
        owed_ = true;
        armTimer();
    }
    void armTimer();

    Pimbo::Fd listener_;
    std::vector<Follower> followers_;
    std::unordered_map<uid_t, size_t> perUser_;
    Mem::TableDir dir_;
    uid_t self_ = 0;
    bool pending_ = false;
    bool owed_ = false;
    int64_t untilLook_ = 1;    // batches until the next look
    uint64_t batches_ = 0;     // batches since the last look
    uint64_t lastLookNs_ = 0;  // when the last look ended (the clock's time)
    uint64_t lookNs_ = 0;      // and what it cost (the thread's time)
    uint64_t lastAcceptNs_ = 0;
    uint64_t lastCheckNs_ = 0;
    uint64_t refused_ = 0;
    Pimbo::Fd timer_;  // one-shot, on the event loop while listening
    bool timerArmed_ = false;
    std::function<void()> changed_;
};

// A follower's end: its connection to the wake-up socket and the wake word the writer passed.
class WakeReceiver {
  public:
    // Connects (non-blocking) to the wake-up socket of `rootPath`; false with `why` set when
    // there is no socket or it cannot connect.
    bool connect(const Vesk::RootPath& rootPath, std::string& why);
    void close();
    int fd() const { return socket_.get(); }
    explicit operator bool() const { return static_cast<bool>(socket_); }
    // The writer passed this follower its wake word.
    bool hasWord() const { return static_cast<bool>(word_); }

    // Reads all the wake-ups waiting, and the wake word when the writer passes it; returns how
    // many wake-ups came. `closed` is set when the writer closed its end (or the connection
    // failed).
    int drain(bool& closed);
    // Before the follower sleeps: asks for a wake-up (Q7); the caller must read the queue once
    // more. False when it has no word (yet): the follower then relies on its poll.
    bool ask() {
        if (!word_)
            return false;
        word_.ask();
        return true;
    }

  private:
    Pimbo::Fd socket_;
    WakeWord word_;
};

}  // namespace Ruxa
