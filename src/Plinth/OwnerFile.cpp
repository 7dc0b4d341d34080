#include "Plinth/OwnerFile.h"

#include "Pimbo/Exception.h"
#include "Pimbo/Format.h"
#include "Pimbo/HashMix.h"
#include "Plinth/RecordFile.h"
#include "Plinth/TableDir.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

namespace Plinth {
namespace {

// The text of a NUL-padded field, cut at its size when the terminator is missing.
std::string fieldText(const char* field, size_t size) {
    return std::string(field, ::strnlen(field, size));
}

bool terminated(const char* field, size_t size) {
    return ::memchr(field, '\0', size) != nullptr;
}

uint64_t magicValue(const char (&magic)[8]) {
    uint64_t v;
    std::memcpy(&v, magic, sizeof v);
    return v;
}

bool parseNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && p == text.data() + text.size();
}

}  // namespace

// --- ConduitInfo, ConduitName --------------------------------------------------------------

std::string ConduitInfo::toString() const {
    return fmt::format("socketName:{} tableId:{:#x}", socketName, tableId);
}

ConduitName ConduitName::ConduitNameIs(const std::string& socketName) {
    const size_t colon = socketName.find(':');
    uint64_t pid = 0;
    uint64_t startTime = 0;
    if (colon == std::string::npos ||
        !parseNumber(std::string_view(socketName).substr(0, colon), pid) ||
        !parseNumber(std::string_view(socketName).substr(colon + 1), startTime) || pid == 0 ||
        pid > uint64_t(std::numeric_limits<pid_t>::max())) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "bad conduit name: {}", socketName);
    }
    return ConduitName(pid, startTime);
}

std::string ConduitName::toString() const {
    return fmt::format("{}:{}", first_, second_);
}

// --- OwnerFileRecord -----------------------------------------------------------------------

uint32_t OwnerFileRecord::computeChecksum() const {
    Pimbo::Impl::HashMix<uint32_t> mix;
    const auto* bytes = reinterpret_cast<const unsigned char*>(this);
    mix.add(bytes + kChecksumStart, sizeof(OwnerFileRecord) - kChecksumStart);
    return mix.value();
}

namespace {

OwnerFileRecord blankRecord() {
    OwnerFileRecord r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.magic, OwnerFileRecord::kMagic, sizeof r.magic);
    r.version = OwnerFileRecord::kVersion;
    r.tableId = ConduitInfo().tableId;
    return r;
}

std::string fieldsToString(const OwnerFileRecord& r) {
    return fmt::format("magic:{:#018x} version:{} checksum:{:#010x} typeName:{} plinthType:{} {}",
                       magicValue(r.magic), r.version, r.checksum,
                       fieldText(r.typeName, sizeof r.typeName), r.plinthType,
                       ConduitInfo{fieldText(r.socketName, sizeof r.socketName), r.tableId});
}

}  // namespace

// --- OwnerFile -----------------------------------------------------------------------------

OwnerFile::OwnerFile(Pimbo::Platform::DebugHandler& handler, const Mem::RootPath& rootPath,
                     bool create)
    : Pimbo::Debuggable(handler, "OwnerFile"),
      rootPath_(rootPath),
      path_(rootPath.filePath(kFileName)),
      create_(create) {}

OwnerFile::~OwnerFile() {
    unlock();
}

Mem::TableDir OwnerFile::openDir(Mem::FileError& error, bool making) const {
    const Mem::TableDir::Access access = !create_ ? Mem::TableDir::Access::reader
                                         : making ? Mem::TableDir::Access::writer
                                                  : Mem::TableDir::Access::writerExisting;
    return Mem::TableDir::open(rootPath_, access, error);
}

bool OwnerFile::lock() {
    if (lockFd_) {
        return true;
    }
    Mem::FileError error;
    const Mem::TableDir dir = openDir(error, true);
    Pimbo::Fd fd;
    if (dir.valid()) {
        fd = dir.openFile(
            kFileName,
            create_ ? Mem::TableDir::FileAccess::create : Mem::TableDir::FileAccess::read, error);
    }
    if (!fd) {
        if (!create_ && error.errnum == ENOENT) {
            PIMBO_TRACE(5, "no owner file {} to lock", path_);
            return false;
        }
        PIMBO_THROW(Pimbo::MemoryResourceException, "cannot open owner file {} to lock it: {}",
                    path_, error.text);
    }
    // Never waits: anyone who may read the file may hold a flock on it, so waiting would let
    // any local user stop every writer. Writers exclude each other through Mem::WriterLock.
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        PIMBO_TRACE(1, "owner file {} is locked by another process ({}); not waiting for it", path_,
                    std::strerror(errno));
        return false;
    }
    lockFd_ = std::move(fd);
    PIMBO_TRACE(5, "locked {}", path_);
    return true;
}

void OwnerFile::unlock() {
    // Closing the only descriptor of the open file description drops the flock.
    lockFd_.reset();
}

OwnerFile::Load OwnerFile::loadOnce(OwnerFileRecord& record, std::string& reason) const {
    Mem::FileError error;
    const Mem::TableDir dir = openDir(error);
    std::string bytes;
    if (!dir.valid() || !dir.readFile(kFileName, sizeof(OwnerFileRecord), bytes, error)) {
        if (error.errnum == EFBIG) {
            reason = fmt::format("owner file {} has more than {} bytes, expected {}", path_,
                                 sizeof(OwnerFileRecord), sizeof(OwnerFileRecord));
            return Load::unreadable;
        }
        reason = fmt::format("owner file {} cannot be read: {}", path_, error.text);
        return error.errnum == ENOENT ? Load::missing : Load::unreadable;
    }
    if (bytes.size() != sizeof(OwnerFileRecord)) {
        reason = fmt::format("owner file {} has only {} bytes, expected {}", path_, bytes.size(),
                             sizeof(OwnerFileRecord));
        return Load::unreadable;
    }
    std::memcpy(&record, bytes.data(), sizeof record);
    if (std::memcmp(record.magic, OwnerFileRecord::kMagic, sizeof record.magic) != 0) {
        reason = fmt::format("owner file {}: bad magic: {:x}", path_, magicValue(record.magic));
        return Load::damaged;
    }
    if (record.version != OwnerFileRecord::kVersion) {
        reason = fmt::format("owner file {}: bad version: {} (expected {})", path_, record.version,
                             OwnerFileRecord::kVersion);
        return Load::damaged;
    }
    const uint32_t computed = record.computeChecksum();
    if (record.checksum != computed) {
        reason = fmt::format("owner file {}: bad checksum: {:#010x} (computed {:#010x})", path_,
                             record.checksum, computed);
        return Load::damaged;
    }
    if (!terminated(record.socketName, sizeof record.socketName) ||
        !terminated(record.typeName, sizeof record.typeName)) {
        reason = fmt::format("owner file {}: unterminated name field", path_);
        return Load::damaged;
    }
    return Load::ok;
}

bool OwnerFile::load(OwnerFileRecord& record, std::string& reason) const {
    // A record found damaged is read again: a rewrite in place may have been under way
    // (Plinth/RecordFile.h).
    Load found = loadOnce(record, reason);
    for (int again = 0; found == Load::damaged && again < kDamagedRereads; ++again)
        found = loadOnce(record, reason);
    return found == Load::ok;
}

OwnerFileRecord OwnerFile::loadOrThrow() const {
    OwnerFileRecord record;
    std::string reason;
    if (!load(record, reason)) {
        PIMBO_THROW(Pimbo::CorruptionDetectedException, "{}", reason);
    }
    return record;
}

OwnerFileRecord OwnerFile::current() const {
    OwnerFileRecord record;
    std::string reason;
    if (load(record, reason)) {
        return record;
    }
    PIMBO_TRACE(1, "rewriting owner file from a blank record: {}", reason);
    return blankRecord();
}

bool OwnerFile::validate() const {
    OwnerFileRecord record;
    std::string reason;
    return load(record, reason);
}

bool OwnerFile::validateFile() const {
    OwnerFileRecord record;
    std::string reason;
    if (load(record, reason)) {
        return true;
    }
    PIMBO_TRACE(0, "{}", reason);
    return false;
}

void OwnerFile::checkWritable(const char* operation) const {
    if (!create_) {
        PIMBO_THROW(Pimbo::NoPermissionException, "{}: owner file {} was opened read-only",
                    operation, path_);
    }
}

void OwnerFile::store(OwnerFileRecord record) {
    record.checksum = record.computeChecksum();
    Mem::FileError error;
    const Mem::TableDir dir = openDir(error, true);
    if (!dir.valid() || !storeRecord(dir, kFileName, &record, sizeof record, error)) {
        PIMBO_THROW(Pimbo::MemoryResourceException, "cannot write owner file {}: {}", path_,
                    error.text);
    }
}

void OwnerFile::typeNameIs(const std::string& typeName) {
    checkWritable("typeNameIs");
    if (typeName.size() >= OwnerFileRecord::kTypeNameSize) {
        PIMBO_THROW(Pimbo::OutOfRangeException,
                    "type name of {} has {} characters, more than {}: {}", path_, typeName.size(),
                    OwnerFileRecord::kTypeNameSize - 1, typeName);
    }
    OwnerFileRecord record = current();
    std::memset(record.typeName, 0, sizeof record.typeName);
    std::memcpy(record.typeName, typeName.data(), typeName.size());
    store(record);
}

void OwnerFile::plinthTypeIs(uint32_t plinthType) {
    checkWritable("plinthTypeIs");
    OwnerFileRecord record = current();
    record.plinthType = plinthType;
    store(record);
}

void OwnerFile::conduitInfoIs(const ConduitInfo& conduitInfo) {
    checkWritable("conduitInfoIs");
    if (conduitInfo.socketName.size() >= OwnerFileRecord::kSocketNameSize) {
        PIMBO_THROW(Pimbo::OutOfRangeException,
                    "socket name for owner file {} has {} characters, more than {}: {}", path_,
                    conduitInfo.socketName.size(), OwnerFileRecord::kSocketNameSize - 1,
                    conduitInfo.socketName);
    }
    OwnerFileRecord record = current();
    std::memset(record.socketName, 0, sizeof record.socketName);
    std::memcpy(record.socketName, conduitInfo.socketName.data(), conduitInfo.socketName.size());
    record.tableId = conduitInfo.tableId;
    store(record);
    PIMBO_TRACE(5, "{} {}", path_, conduitInfo);
}

std::string OwnerFile::typeName() const {
    const OwnerFileRecord record = loadOrThrow();
    return fieldText(record.typeName, sizeof record.typeName);
}

uint32_t OwnerFile::plinthType() const {
    return loadOrThrow().plinthType;
}

ConduitInfo OwnerFile::conduitInfo() const {
    const OwnerFileRecord record = loadOrThrow();
    return ConduitInfo{fieldText(record.socketName, sizeof record.socketName), record.tableId};
}

std::string OwnerFile::headerToString() const {
    OwnerFileRecord record;
    std::string reason;
    switch (loadOnce(record, reason)) {
        case Load::ok:
            return fmt::format("owner file {} {}", path_, fieldsToString(record));
        case Load::damaged:
            // A record-sized file that fails a check still shows what it holds.
            return fmt::format("{}; as found: {}", reason, fieldsToString(record));
        case Load::missing:
        case Load::unreadable:
            break;
    }
    return reason;
}

bool OwnerFile::remove() {
    PIMBO_TRACE(3, "removing file: {}", path_);
    if (!rootPath_.removeFile(kFileName)) {
        PIMBO_TRACE(0, "cannot remove owner file {}", path_);
        return false;
    }
    return true;
}

}  // namespace Plinth
