// Mem::PlinthWrapper: one file of a table mapped into this process (or, in local mode, process
// memory standing in for it).
//
// Who may call what:
//   - mode 0 (writer): the table's one writer process. It creates the file (with the table's
//     FileMode, 0644 by default, whatever the umask), extends it with posix_fallocate before
//     every mapping, and may punch holes.
//   - mode 1 (reader): any number of reader processes. They map the file read-only and never
//     change it.
//
// Invariants:
//   0. Files are opened only through Mem::TableDir: never through a symbolic link, never a
//      FIFO or device, never in a directory another user could change.
//   1. The file never shrinks: attach and resize only extend it, and punchHole keeps its length,
//      so a reader that still maps an older, longer view never faults on a truncated page.
//   2. A writer's file is extended (blocks allocated, holes filled) before the mapping that
//      covers it exists: a full file system shows up as a failed attach or resize with
//      "No space left on device" in errorText(), never as a SIGBUS on a later store.
//   3. Every mapping sits directly before a PROT_NONE guard page: an access past the mapped
//      size (from the next page boundary on) faults at once instead of reading a neighbour.
//      A mapping of 2 MiB or more (without an address asked for) starts on a 2 MiB boundary, so
//      that on a tmpfs that hands out 2 MiB pages (mounted with huge=always) the kernel can map
//      them whole; elsewhere the alignment changes nothing.
//   4. A reader maps only bytes the file holds: a file shorter than the size asked for fails.
//   5. A failed attach leaves the wrapper detached; a failed resize leaves the old mapping (and
//      its base) valid. Both return null and set errorText(), which names the file, the sizes
//      and the system's reason ("cannot open /dev/shm/vesk/t/slots: Permission denied").
//   6. In local mode the file system is never touched: the memory is a Mem::Local.
//   7. A reader's mapping is guarded (Mem/MappingRegistry.h): when another process cuts the
//      file short, the lost pages read as zeros instead of raising SIGBUS, and lostPages()
//      says so until the next attach. Its owner asks after reading.
//
// One owning thread; no locks.
#pragma once

#include "Mem/Local.h"
#include "Pimbo/Debuggable.h"
#include "Pimbo/Fd.h"
#include "Plinth/RootPath.h"

#include <cstdint>
#include <string>

namespace Mem {

class PlinthWrapper : public Pimbo::Debuggable {
  public:
    static constexpr int kWriter = 0;
    static constexpr int kReader = 1;

    PlinthWrapper(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                  std::string fileName, bool local);
    ~PlinthWrapper();
    PlinthWrapper(const PlinthWrapper&) = delete;
    PlinthWrapper& operator=(const PlinthWrapper&) = delete;

    // Local mode only: heap (true) or anonymous mapping (false) for the stand-in memory.
    void useHeapIs(bool useHeap) { local_.useHeapIs(useHeap); }

    // Maps `size` bytes of the file in `mode` (kWriter or kReader), detaching first when
    // attached. `address` is a placement hint only. Returns the base or null.
    void* attach(uint64_t size, int mode, void* address = nullptr);
    // Maps exactly `size` bytes instead (a writer extends the file first). The base may move;
    // on failure returns null and the old mapping stays valid.
    void* resize(uint64_t size);
    // Writer only: releases the file's blocks from `offset` to its end, keeping its length;
    // the released bytes read as zero. Local mode zeroes the memory from `offset` on. Returns
    // false (errorText() set) when nothing could be released.
    bool punchHole(uint64_t offset);
    // Unmaps and closes. Harmless when detached.
    void detach();
    // Detaches and removes the file (a missing file is not an error). False, with the reason
    // traced, when the file is there and stays.
    bool remove();

    // The file's size now (of the file mapped while attached, else of the file at the path);
    // 0 for a missing or empty file. Local mode: the local region's size.
    uint64_t memSize() const;
    // Bytes mapped now (0 when detached).
    uint64_t mappedSize() const;
    // stat of the file at the path, 0 when missing. Local mode: the local region's size.
    uint64_t fileSize() const;
    // Full path of the file (also in local mode, where it only names the table).
    const std::string& getFilename() const { return path_; }
    // The file's name in the table's directory ("slots").
    const std::string& name() const { return fileName_; }
    std::string errorText() const;
    // The system's error number of the last failed open (ENOENT, EACCES, EPERM for a refused
    // directory, EINVAL for a file that is not a regular file); 0 when the failure was not
    // the open.
    int errorNumber() const { return errno_; }
    void* base() const;
    bool attached() const { return base() != nullptr; }
    // A reader's mapping lost pages to a file cut short since the last attach (see 7 above).
    bool lostPages() const;
    // The mapped file no longer has a name (it was removed, or another file was renamed over
    // it): one fstat. False when detached or in local mode.
    bool unlinked() const;
    // Mode of the current (or last) attach; -1 before the first.
    int mode() const { return mode_; }
    bool local() const { return isLocal_; }

  private:
    // Reserves the range, maps the file over its start; null (errorText_ set) on failure.
    void* mapFile(uint64_t size, void* hint);
    // Writer: allocates the file's blocks up to `size` (never shortening it).
    bool extendFile(uint64_t size);
    // Reader: the file holds at least `size` bytes.
    bool fileHolds(uint64_t size);
    bool checkSize(const char* operation, uint64_t size);
    // Takes the mapping at base_ out of the registry (before it is unmapped), keeping its loss.
    void forget();
    void fail(std::string text);

    Mem::RootPath rootPath_;
    std::string fileName_;
    std::string path_;
    bool isLocal_;
    Mem::Local local_;
    Pimbo::Fd fd_;
    int mode_ = -1;
    int errno_ = 0;
    char* base_ = nullptr;
    uint64_t mappedSize_ = 0;
    bool lostPages_ = false;
    std::string errorText_;
};

}  // namespace Mem
