// Plinth::CinderFile: the file "cinder" in a table's directory, which stores the writer's
// restart-generation identifier (Plinth::CinderId) so that a restarted writer finds the
// generation of the files it left behind.
//
// Who may call what:
//   - the table's writer (create true): writes and removes the file;
//   - readers (create false): only read it.
//
// Invariants:
//   1. The file is one CinderFileRecord, exactly sizeof(CinderFileRecord) bytes; its magic,
//      version and checksum are checked before the id is believed. A missing, short, long or
//      damaged file reads as 0 (none), so the writer re-formats rather than trust it.
//   2. write() builds the new file beside the old one and renames it into place: a reader or a
//      restarted writer sees the old record or the new one, never a partly written file. Only
//      on a file system without room for that file is the record written in place, with one
//      write (Plinth/RecordFile.h): a restart that keeps the generation rewrites the same bytes;
//      a reader that meets another record half-written takes it for none, and looks again.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace Plinth {

// The bytes of the cinder file (host byte order).
struct CinderFileRecord {
    static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'C', 'I', 'N'};
    static constexpr uint32_t kVersion = 1;
    // The checksum covers every byte from here to the end.
    static constexpr size_t kChecksumStart = 16;

    char magic[8];
    uint32_t version;
    uint32_t checksum;  // Pimbo::Impl::HashMix<uint32_t> of bytes [kChecksumStart, end)
    uint32_t cinderId;  // Plinth::CinderId::value
    uint32_t reserved;  // 0

    uint32_t computeChecksum() const;
};
static_assert(std::is_standard_layout_v<CinderFileRecord>);
static_assert(offsetof(CinderFileRecord, magic) == 0);
static_assert(offsetof(CinderFileRecord, version) == 8);
static_assert(offsetof(CinderFileRecord, checksum) == 12);
static_assert(offsetof(CinderFileRecord, cinderId) == CinderFileRecord::kChecksumStart);
static_assert(offsetof(CinderFileRecord, reserved) == 20);
static_assert(sizeof(CinderFileRecord) == 24);

class CinderFile : public Pimbo::Debuggable {
  public:
    static constexpr const char* kFileName = "cinder";

    CinderFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath, bool create);

    // The stored id; 0 when the file is missing, short or damaged (a damaged file is traced at
    // level 0 with the reason).
    Plinth::CinderId read() const;
    // Stores `id` (an O_EXCL temporary renamed into place, or in place on a full file system;
    // the table's file mode). Throws
    // Pimbo::NoPermissionException without create, Pimbo::MemoryResourceException naming the file
    // and the id when the write fails.
    void write(Plinth::CinderId id);
    // The file holds a valid record of `id`.
    bool validate(Plinth::CinderId id) const;
    // Modification time in seconds since the epoch; 0 when missing.
    double mtime() const;
    // Removes the file; a missing file is not an error. False (traced at level 0) when the file
    // is there and stays.
    bool remove();
    const std::string& path() const { return path_; }

  private:
    // The id in a valid file; false with `reason` for a missing or damaged one.
    bool readRecord(Plinth::CinderId& id, std::string& reason, bool& missing) const;

    Mem::RootPath rootPath_;
    std::string path_;
    bool create_;
};

}  // namespace Plinth
