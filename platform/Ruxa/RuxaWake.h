// RuxaWake: the wake-ups of a table's notification queue, over the Unix-domain stream socket
// "notifications.wake" in the table's directory, and each follower's "wake wanted" word.
//
// The writer listens on the socket (WakeSender); each follower connects to it (WakeReceiver)
// and watches its end on its event loop. When the writer takes a follower's connection it makes
// a wake word for it: a one-page memfd, sealed against shrinking and growing, mapped read-write,
// whose descriptor it passes over the connection (SCM_RIGHTS) with the follower's first
// wake-up byte; a follower it cannot pass one to is dropped. The word extends the invariants
// Q1 to Q6 of Ruxa/RuxaQueue.h:
//  Q7. A follower that found nothing new stores 1 into its word, issues a full fence, and reads
//      the queue once more before it sleeps. After a batch of changes the writer issues one full
//      fence, then loads each follower's word; only a follower whose word is not 0 gets the
//      word reset to 0 and one byte (MSG_DONTWAIT). An awake follower costs the writer a load.
// No wake-up is lost (Dekker): the writer stores a count, fences, loads the word; the follower
// stores the word, fences, loads the count. One of them sees the other's store: the follower
// finds the entry, or the writer finds the 1 and sends (a byte that arrives for an entry
// already read is a harmless spurious wake-up).
//
// A follower that is slow, stopped or gone costs the writer a dropped wake-up (its socket buffer
// is full: it has unread wake-ups anyway) or a closed connection, never a blocked writer. A
// hostile follower owns its word alone: whatever it stores there only brings itself spurious or
// missed wake-ups, and the seals keep it from shrinking the page under the writer's mapping. A
// wake-up carries nothing: the queue file is the truth, so a follower that gets none (no socket,
// no word, a writer gone, a missed wake-up) finds the change at its next poll (Vesk::Syncer).
// A follower checks the descriptor it is passed (at least a page, shrinking sealed) and
// otherwise ignores it and polls.
//
// The socket is bound by the path "/proc/self/fd/<directory fd>/notifications.wake": the
// directory is the one Mem::TableDir opened and trusted, never a path that could be bent, and
// bind() never follows a name that already exists (it fails), so nothing planted there is
// written through. The file gets the table's file mode and group; a follower needs write
// permission on it to connect, so the same users may follow a table as may read it. An abstract
// socket name would need no file but could be taken by any local user and has no mode.
//
// Who calls what: WakeSender is the writer thread's; a WakeReceiver its follower's thread.
#pragma once

#include "Mem/Atomic.h"
#include "Mem/Fd.h"
#include "Mem/TableDir.h"
#include "Vesk/RootPath.h"

#include <cstdint>
#include <string>
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
    static WakeWord create(Mem::Fd& fd);
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

    // Listens on the table's wake-up socket, replacing a stale one. False with `why` naming
    // the socket and the reason; the followers then poll.
    bool open(const Vesk::RootPath& rootPath, std::string& why);
    // Stops listening, drops the followers and removes the socket file.
    void close();
    bool listening() const { return static_cast<bool>(listener_); }

    // Something was published: the next wake() looks at the followers' words.
    void pending() { pending_ = true; }
    // When something was published since the last wake(): takes the followers that connected
    // since the last look, passing each its wake word with a first wake-up, then sends one
    // wake-up to each follower that asked for one (Q7). Never blocks. True when the number of
    // followers changed. A look for new followers is due at every kLookEvery-th call, and then
    // only when the coarse clock moved to another millisecond: even the clock's read would cost
    // a change more than publishing it. A follower not taken yet polls.
    bool wake() {
        if (!pending_)
            return false;
        pending_ = false;
        if (--untilLook_ != 0 && followers_.empty()) [[likely]]
            return false;
        return wakeFollowers();
    }
    size_t followers() const { return followers_.size(); }

    // Removes the wake-up socket in `dir` (one a writer that died left behind); anything else
    // at its name stays.
    static void removeSocket(const Mem::TableDir& dir);

  private:
    struct Follower {
        Mem::Fd socket;
        WakeWord word;
    };
    // Makes the wake word of a follower just taken and passes it on; false when it cannot.
    static bool welcome(Follower& f);
    // wake() when a look is due or there are followers.
    bool wakeFollowers();
    // Drops the followers whose connection was closed or failed.
    void dropHungUp();

    Mem::Fd listener_;
    std::vector<Follower> followers_;
    Mem::TableDir dir_;
    bool pending_ = false;
    static constexpr uint32_t kLookEvery = 16;
    uint32_t untilLook_ = 1;        // calls of wake() until the next look is due
    uint64_t lastAccept_ = 0;       // the millisecond of the last look for new followers
    uint64_t lastHangUpCheck_ = 0;  // and of the last look for followers gone
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
    Mem::Fd socket_;
    WakeWord word_;
};

}  // namespace Ruxa
