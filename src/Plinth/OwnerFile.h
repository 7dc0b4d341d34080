// Plinth::OwnerFile: the file "owner" in a table's directory, which records the process that owns
// the table (its conduit), the table's record type name and its table type.
//
// Who may call what:
//   - the table's writer (create true): locks the file, rewrites it, removes it on cleanup;
//   - any reader (create false): reads and validates it; never creates or writes it.
//
// Invariants:
//   1. The file is one OwnerFileRecord, exactly sizeof(OwnerFileRecord) bytes. Nothing in it is
//      trusted before size, magic, version and checksum (in that order) have been checked, and
//      a failed check names the file, the check and the value found.
//   2. A rewrite replaces the whole file (Mem::TableDir::replaceFile: a temporary renamed into
//      place), so a reader, and a writer killed mid-way, find the old record or the new one,
//      never a mix. Only on a file system without room for the temporary is the record written
//      in place, with one write (Plinth/RecordFile.h); a record that fails its checksum is read
//      again twice before it is taken for damaged.
//   3. lock() is a best effort that never waits (invariant of every lock of a table: nobody
//      else can make a writer wait). Its flock stays on the file it opened, which the next
//      rewrite replaces; writers exclude each other through Mem::WriterLock, not through it.
//   4. The file is read and written only through Mem::TableDir.
//
// One owning thread per object; processes coordinate through Mem::WriterLock.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableDir.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace Plinth {

// Where a table's owner can be reached: the owner process's conduit name ("PID:STARTTIME", see
// Zolt::ConduitAcceptSm) and a table id (all bits set: none).
struct ConduitInfo {
    std::string socketName;
    uint64_t tableId = ~0ull;

    // No owner is recorded.
    bool empty() const { return socketName.empty(); }
    // "socketName:{} tableId:{:#x}"
    std::string toString() const;

    friend bool operator==(const ConduitInfo&, const ConduitInfo&) = default;
};

// A parsed conduit name "PID:STARTTIME": two decimal numbers, the pid (1 or more) and the start
// time of that process.
class ConduitName {
  public:
    // Parses `socketName`; throws Pimbo::CorruptionDetectedException "bad conduit name: {}" on
    // anything other than two decimal numbers separated by one ':' (no signs, spaces or empty
    // parts; the pid non-zero and within the range of a pid).
    static ConduitName ConduitNameIs(const std::string& socketName);

    // The pid.
    uint64_t first() const { return first_; }
    // The process's start time.
    uint64_t second() const { return second_; }
    std::string toString() const;

  private:
    ConduitName(uint64_t first, uint64_t second) : first_(first), second_(second) {}

    uint64_t first_;
    uint64_t second_;
};

// The bytes of the owner file. Little-endian, as the host writes it; strings are NUL-terminated
// and NUL-padded to their full size so that the checksum is deterministic.
struct OwnerFileRecord {
    static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'O', 'W', 'N'};
    static constexpr uint32_t kVersion = 1;
    static constexpr size_t kSocketNameSize = 128;  // up to 127 characters
    static constexpr size_t kTypeNameSize = 512;    // up to 511 characters
    // The checksum covers every byte from here to the end.
    static constexpr size_t kChecksumStart = 16;

    char magic[8];
    uint32_t version;
    uint32_t checksum;  // Pimbo::Impl::HashMix<uint32_t> of bytes [kChecksumStart, end)
    uint32_t plinthType;
    uint32_t reserved;  // 0
    uint64_t tableId;
    char socketName[kSocketNameSize];
    char typeName[kTypeNameSize];

    // The checksum of this record's covered bytes.
    uint32_t computeChecksum() const;
};
static_assert(std::is_standard_layout_v<OwnerFileRecord>);
static_assert(offsetof(OwnerFileRecord, magic) == 0);
static_assert(offsetof(OwnerFileRecord, version) == 8);
static_assert(offsetof(OwnerFileRecord, checksum) == 12);
static_assert(offsetof(OwnerFileRecord, plinthType) == OwnerFileRecord::kChecksumStart);
static_assert(offsetof(OwnerFileRecord, reserved) == 20);
static_assert(offsetof(OwnerFileRecord, tableId) == 24);
static_assert(offsetof(OwnerFileRecord, socketName) == 32);
static_assert(offsetof(OwnerFileRecord, typeName) == 160);
static_assert(sizeof(OwnerFileRecord) == 672);

class OwnerFile : public Pimbo::Debuggable {
  public:
    static constexpr const char* kFileName = "owner";

    OwnerFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath, bool create);
    ~OwnerFile();
    OwnerFile(const OwnerFile&) = delete;
    OwnerFile& operator=(const OwnerFile&) = delete;

    // Takes an exclusive flock on the owner file as it is now, without ever waiting; true when
    // held (until unlock() or destruction; a rewrite replaces the file, so the lock then stays
    // on the old one). Anyone who may read the file may flock it: the lock is a best effort
    // that excludes nobody; writers exclude each other through Mem::WriterLock. With create,
    // makes the directory and the file when missing; without, a missing file leaves nothing
    // locked. Throws Pimbo::MemoryResourceException naming the file when it cannot be opened.
    bool lock();
    void unlock();
    bool locked() const { return static_cast<bool>(lockFd_); }

    // The file exists and has the right size, magic, version and checksum.
    bool validate() const;
    // As validate(), tracing the reason at level 0 when it fails.
    bool validateFile() const;

    // Rewrite the one field in the file, keeping the others when the file is valid (a damaged
    // file is rewritten from a blank record: empty names, type 0, no conduit). Throw
    // Pimbo::NoPermissionException without create, Pimbo::OutOfRangeException for a name
    // longer than its field, Pimbo::MemoryResourceException naming the file when the write
    // fails.
    void typeNameIs(const std::string& typeName);
    void plinthTypeIs(uint32_t plinthType);
    void conduitInfoIs(const ConduitInfo& conduitInfo);

    // The fields of a valid file; throw Pimbo::CorruptionDetectedException with the reason when
    // the file does not validate (a missing file included).
    std::string typeName() const;
    uint32_t plinthType() const;
    ConduitInfo conduitInfo() const;

    // Every field as text, or why the file is unreadable (with the fields as found when the file
    // has the size of a record).
    std::string headerToString() const;

    // Removes the file; a missing file is not an error. A lock held stays on the removed file.
    // False (traced at level 0) when the file is there and stays.
    bool remove();
    const std::string& path() const { return path_; }

  private:
    // missing: no file; unreadable: cannot be read or has the wrong size; damaged: a check
    // failed on a record-sized file.
    enum class Load { ok, missing, unreadable, damaged };
    static constexpr int kDamagedRereads = 2;

    // Reads the file into `record` (filled for ok and damaged); on failure `reason` names the
    // file, the check and the value.
    Load loadOnce(OwnerFileRecord& record, std::string& reason) const;
    bool load(OwnerFileRecord& record, std::string& reason) const;
    OwnerFileRecord loadOrThrow() const;
    // The valid record in the file, or a blank one.
    OwnerFileRecord current() const;
    // Writes `record` with a fresh checksum as the whole file.
    void store(OwnerFileRecord record);
    void checkWritable(const char* operation) const;
    // The table directory: with writer trust when this handle may create, and made when
    // missing only when `making` (a lock or a write; a read never brings back a directory that
    // was removed).
    Mem::TableDir openDir(Mem::FileError& error, bool making = false) const;

    Mem::RootPath rootPath_;
    std::string path_;
    bool create_;
    Pimbo::Fd lockFd_;
};

}  // namespace Plinth
