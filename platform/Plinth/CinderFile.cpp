#include "Plinth/CinderFile.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/HashMix.h"

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
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        reason = fmt::format("cinder file {} cannot be opened: {}", path_, std::strerror(errno));
        return false;
    }
    // One byte more than a record, so that a longer file is caught too.
    char buffer[sizeof(CinderFileRecord) + 1];
    ssize_t n;
    do {
        n = ::pread(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    if (n < 0) {
        reason = fmt::format("cinder file {} cannot be read: {}", path_, std::strerror(saved));
        return false;
    }
    if (size_t(n) != sizeof(CinderFileRecord)) {
        reason =
            fmt::format("cinder file {} has {} {} bytes, expected {}", path_,
                        size_t(n) > sizeof(CinderFileRecord) ? "more than" : "only",
                        size_t(n) > sizeof(CinderFileRecord) ? n - 1 : n, sizeof(CinderFileRecord));
        return false;
    }
    CinderFileRecord record;
    std::memcpy(&record, buffer, sizeof record);
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
    rootPath_.ensureDirectory();
    CinderFileRecord record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.magic, CinderFileRecord::kMagic, sizeof record.magic);
    record.version = CinderFileRecord::kVersion;
    record.cinderId = id.value;
    record.checksum = record.computeChecksum();

    // The temporary name is per process; only the table's one writer writes this file.
    const std::string temp = fmt::format("{}.tmp.{}", path_, ::getpid());
    const char* step = "open";
    int error = 0;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno;
    } else {
        ssize_t n;
        do {
            n = ::write(fd, &record, sizeof record);
        } while (n < 0 && errno == EINTR);
        if (n != ssize_t(sizeof record)) {
            step = "write";
            error = n < 0 ? errno : ENOSPC;
        } else if (::fchmod(fd, 0644) != 0) {
            step = "fchmod";
            error = errno;
        }
        if (::close(fd) != 0 && error == 0) {
            step = "close";
            error = errno;
        }
        if (error == 0 && ::rename(temp.c_str(), path_.c_str()) != 0) {
            step = "rename";
            error = errno;
        }
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        PIMBO_THROW(Pimbo::MemoryResourceException,
                    "cannot store cinderId {} in {}: {} of {} failed: {}", id, path_, step, temp,
                    std::strerror(error));
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
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
        return 0;
    }
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) * 1e-9;
}

void CinderFile::remove() {
    PIMBO_TRACE(3, "removing file: {}", path_);
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        PIMBO_TRACE(0, "cannot remove cinder file {}: {}", path_, std::strerror(errno));
    }
}

}  // namespace Plinth
