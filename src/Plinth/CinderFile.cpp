#include "Plinth/CinderFile.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/HashMix.h"
#include "Plinth/RecordFile.h"
#include "Plinth/TableDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Plinth {

uint32_t CinderFileRecord::computeChecksum() const {
    Pimbo::Impl::HashMix<uint32_t> mix;
    const auto* bytes = reinterpret_cast<const unsigned char*>(this);
    mix.add(bytes + kChecksumStart, sizeof(CinderFileRecord) - kChecksumStart);
    return mix.value();
}

CinderFile::CinderFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                       bool create)
    : Pimbo::Debuggable(handler, "CinderFile"),
      rootPath_(rootPath),
      path_(rootPath.filePath(kFileName)),
      create_(create) {}

bool CinderFile::readRecord(Plinth::CinderId& id, std::string& reason, bool& missing) const {
    missing = false;
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(
        rootPath_, create_ ? Mem::TableDir::Access::writerExisting : Mem::TableDir::Access::reader,
        error);
    std::string bytes;
    if (!dir.valid() || !dir.readFile(kFileName, sizeof(CinderFileRecord), bytes, error)) {
        missing = error.errnum == ENOENT;
        reason = error.errnum == EFBIG
                     ? fmt::format("cinder file {} has more than {} bytes, expected {}", path_,
                                   sizeof(CinderFileRecord), sizeof(CinderFileRecord))
                     : fmt::format("cinder file {} cannot be read: {}", path_, error.text);
        return false;
    }
    if (bytes.size() != sizeof(CinderFileRecord)) {
        reason = fmt::format("cinder file {} has only {} bytes, expected {}", path_, bytes.size(),
                             sizeof(CinderFileRecord));
        return false;
    }
    CinderFileRecord record;
    std::memcpy(&record, bytes.data(), sizeof record);
    if (std::memcmp(record.magic, CinderFileRecord::kMagic, sizeof record.magic) != 0) {
        uint64_t magic;
        std::memcpy(&magic, record.magic, sizeof magic);
        reason = fmt::format("cinder file {}: bad magic: {:x}", path_, magic);
        return false;
    }
    if (record.version != CinderFileRecord::kVersion) {
        reason = fmt::format("cinder file {}: bad version: {} (expected {})", path_, record.version,
                             CinderFileRecord::kVersion);
        return false;
    }
    const uint32_t computed = record.computeChecksum();
    if (record.checksum != computed) {
        reason = fmt::format("cinder file {}: bad checksum: {:#010x} (computed {:#010x})", path_,
                             record.checksum, computed);
        return false;
    }
    id = Plinth::CinderId(record.cinderId);
    return true;
}

Plinth::CinderId CinderFile::read() const {
    Plinth::CinderId id;
    std::string reason;
    bool missing = false;
    if (readRecord(id, reason, missing)) {
        return id;
    }
    if (missing) {
        PIMBO_TRACE(5, "{}", reason);
    } else {
        PIMBO_TRACE(0, "{}", reason);
    }
    return Plinth::CinderId();
}

void CinderFile::write(Plinth::CinderId id) {
    if (!create_) {
        PIMBO_THROW(Pimbo::NoPermissionException,
                    "cannot store cinderId {} in {}: opened read-only", id, path_);
    }
    CinderFileRecord record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.magic, CinderFileRecord::kMagic, sizeof record.magic);
    record.version = CinderFileRecord::kVersion;
    record.cinderId = id.value;
    record.checksum = record.computeChecksum();

    // A new file renamed into place (invariant 2), through the table directory's door.
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath_, Mem::TableDir::Access::writer, error);
    if (!dir.valid() || !storeRecord(dir, kFileName, &record, sizeof record, error)) {
        PIMBO_THROW(Pimbo::MemoryResourceException, "cannot store cinderId {} in {}: {}", id, path_,
                    error.text);
    }
    PIMBO_TRACE(5, "stored cinderId {} in {}", id, path_);
}

bool CinderFile::validate(Plinth::CinderId id) const {
    Plinth::CinderId stored;
    std::string reason;
    bool missing = false;
    if (!readRecord(stored, reason, missing)) {
        PIMBO_TRACE(0, "{}", reason);
        return false;
    }
    if (stored != id) {
        PIMBO_TRACE(0, "cinder file {} holds cinderId {}, expected {}", path_, stored, id);
        return false;
    }
    return true;
}

double CinderFile::mtime() const {
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath_, Mem::TableDir::Access::reader, error);
    struct stat st;
    if (!dir.statEntry(kFileName, st)) {
        return 0;
    }
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) * 1e-9;
}

bool CinderFile::remove() {
    PIMBO_TRACE(3, "removing file: {}", path_);
    if (!rootPath_.removeFile(kFileName)) {
        PIMBO_TRACE(0, "cannot remove cinder file {}", path_);
        return false;
    }
    return true;
}

}  // namespace Plinth
