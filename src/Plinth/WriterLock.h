// Mem::WriterLock: at most one writer per table across all processes of the host.
//
// The lock is an open-file-description (OFD) write lock on the whole file "writer-lock" in the
// table's directory. The kernel drops it when its description is closed, which happens when
// the holder releases it or dies in any way (SIGKILL included), so a crashed writer never
// blocks its successor and no stale pid file has to be interpreted. OFD locks conflict between
// descriptions, not between processes: a second acquire in the same process fails too.
//
// Invariants:
//   1. A WriterLock object holds the lock from its creation to release() or destruction.
//   2. The lock is on the file that is at the path: when the file was replaced while being
//      locked, the lock is taken again on the new file.
//   3. The lock file is never removed by this class, since a writer that locked a removed file
//      would exclude nobody. A lock file that others may open is replaced by a private one
//      (kFileMode) unless the owner file names a live writer.
//   4. The file is opened only through Mem::TableDir, in a directory that only its owner (or
//      root) may change.
//
// Also here: the checks of whether a recorded owner (its conduit name "PID:STARTTIME", see
// Zolt::ConduitAcceptSm) is alive or is this process.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Pimbo/Fd.h"
#include "Plinth/RootPath.h"

#include <memory>
#include <string>

namespace Mem {

class WriterLock : public Pimbo::Debuggable {
  public:
    static constexpr const char* kFileName = "writer-lock";
    static constexpr unsigned kFileMode = 0600;

    // Takes the table's writer lock without waiting. Creates the directory and the lock file
    // (kFileMode: only its owner may open it, so nobody else can hold or block the lock) when
    // missing and the root path may create. Returns null with `error` naming the file (and the
    // recorded owner, when the owner file names one); *heldByOther tells whether that is
    // because another description holds the lock (a live writer), rather than a file that
    // cannot be opened or locked (permission, read-only or full file system).
    static std::unique_ptr<WriterLock> acquireWriterLock(Pimbo::Platform::DebugHandler& handler,
                                                         const Mem::RootPath& rootPath,
                                                         std::string& error,
                                                         bool* heldByOther = nullptr);
    // Some open file description other than the probing one holds the lock right now (a
    // WriterLock of this very process included). False when the file is missing or this
    // process may not open it.
    static bool heldByOther(const Mem::RootPath& rootPath);
    // A writer of the table runs: its owner file names a live process, or some description
    // holds its lock (a writer that is attaching locks before it records itself).
    static bool writerRuns(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath);
    // Sets ownerName to socketName and tells whether the process it names runs now: the pid
    // exists, is not a zombie and has the recorded start time. An unparsable name is not alive.
    static bool ownerIsAlive(Pimbo::Platform::DebugHandler& handler, const std::string& socketName,
                             std::string& ownerName);
    // socketName is this process's conduit name.
    static bool ownerIsMe(Pimbo::Platform::DebugHandler& handler, const std::string& socketName);

    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    // Drops the lock and closes the file. Harmless when released.
    void release();
    bool held() const { return static_cast<bool>(fd_); }
    const std::string& path() const { return path_; }

  private:
    WriterLock(Pimbo::Platform::DebugHandler& handler, std::string path, Pimbo::Fd fd);

    std::string path_;
    Pimbo::Fd fd_;
};

}  // namespace Mem
