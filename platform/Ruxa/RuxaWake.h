// RuxaWake: the wake-ups of a table's notification queue, over the Unix-domain stream socket
// "notifications.wake" in the table's directory.
//
// The writer listens on the socket (WakeSender); each follower connects to it (connectWake)
// and watches its end on its event loop. After a batch of changes the writer sends one byte to
// every connected follower, with MSG_DONTWAIT: a follower that is slow, stopped or gone costs
// the writer a dropped wake-up (its socket buffer is full: it has unread wake-ups anyway) or a
// closed connection, never a blocked writer. A wake-up carries nothing: the queue file is the
// truth, so a follower that gets none (no socket, a writer gone) polls the queue instead.
//
// The socket is bound by the path "/proc/self/fd/<directory fd>/notifications.wake": the
// directory is the one Mem::TableDir opened and trusted, never a path that could be bent, and
// bind() never follows a name that already exists (it fails), so nothing planted there is
// written through. The file gets the table's file mode and group; a follower needs write
// permission on it to connect, so the same users may follow a table as may read it. An abstract
// socket name would need no file but could be taken by any local user and has no mode.
//
// Who calls what: WakeSender is the writer thread's; connectWake any follower thread.
#pragma once

#include "Mem/Fd.h"
#include "Mem/TableDir.h"
#include "Vesk/RootPath.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Ruxa {

class WakeSender {
  public:
    static constexpr const char* kFileName = "notifications.wake";

    // Listens on the table's wake-up socket, replacing a stale one. False with `why` naming
    // the socket and the reason; the followers then poll.
    bool open(const Vesk::RootPath& rootPath, std::string& why);
    // Stops listening, drops the followers and removes the socket file.
    void close();
    bool listening() const { return static_cast<bool>(listener_); }

    // Something was published: the next wake() sends.
    void pending() { pending_ = true; }
    // Takes the followers that connected since the last look (at most one look a millisecond;
    // a follower not taken yet polls), then sends each one wake-up when something was
    // published since the last wake(). Never blocks. True when the number of followers changed.
    bool wake();
    size_t followers() const { return followers_.size(); }

    // Removes the wake-up socket in `dir` (one a writer that died left behind); anything else
    // at its name stays.
    static void removeSocket(const Mem::TableDir& dir);

  private:
    Mem::Fd listener_;
    std::vector<Mem::Fd> followers_;
    Mem::TableDir dir_;
    bool pending_ = false;
    uint64_t lastAccept_ = 0;  // the millisecond of the last look for new followers
};

// A follower's connection to the wake-up socket of `rootPath` (non-blocking); invalid with
// `why` set when there is no socket or it cannot connect.
Mem::Fd connectWake(const Vesk::RootPath& rootPath, std::string& why);

// Reads all the wake-ups waiting on `fd`; returns how many came. `closed` is set when the
// writer closed its end (or the connection failed).
int drainWake(int fd, bool& closed);

}  // namespace Ruxa
