#include "TableFiles.h"

#include "Mem/Atomic.h"
#include "Mem/RootPath.h"
#include "Mem/SafeHeaderCopy.h"
#include "Mem/WriterLock.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "RecordKinds.h"
#include "ToolError.h"
#include "Vesk/Util.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace VeskTool {

namespace fs = std::filesystem;

Pimbo::Platform::DebugHandler& toolHandler() {
    static const std::shared_ptr<Pimbo::Platform::DebugHandler> handler =
        Pimbo::Platform::getDebugHandler("vesk");
    return *handler;
}

void checkTableName(const std::string& name) {
    bool ok = !name.empty() && name.front() != '/' && name.back() != '/' && name.size() < 512;
    std::string_view rest(name);
    while (ok && !rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        ok = !part.empty() && part != "." && part != "..";
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    if (!ok) {
        throw ToolError(kUsage, fmt::format("bad table name '{}': a table is named by a relative "
                                            "path of plain names, such as 'port/counter'",
                                            name));
    }
}

// ----- MappedFile -----

bool MappedFile::open(const std::string& path) {
    unmap();
    path_ = path;
    error_ = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error_ = errno;
        ::close(fd);
        return false;
    }
    size_ = uint64_t(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            error_ = errno;
            size_ = 0;
            ::close(fd);
            return false;
        }
        data_ = static_cast<const char*>(p);
    }
    ::close(fd);
    return true;
}

void MappedFile::unmap() {
    if (data_ != nullptr)
        ::munmap(const_cast<char*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

// ----- header copies -----

namespace {

// Copies `bytes` of a live header so that every byte belongs to one version of the 8-byte
// versioned count at `count`: the writer publishes a new count (version + 1) with one release
// store after the fields that belong to it. Each further pass is caused by one resize of the
// writer.
void stableCopy(const void* live, void* out, size_t bytes, const void* count) {
    uint64_t before = Mem::loadAcquire64(count);
    for (;;) {
        Mem::copyRelaxed(out, live, bytes);
        Mem::readFence();
        const uint64_t after = Mem::loadAcquire64(count);
        if (uint32_t(after) == uint32_t(before))
            return;
        before = after;
        Mem::spinPause();
    }
}

}  // namespace

void copySlotHeader(const void* live, SlotHeaderCopy& out) {
    stableCopy(live, out.bytes, sizeof(out.bytes),
               static_cast<const char*>(live) + offsetof(Vesk::SlotTableHeader, numSlots));
}

void copyBucketHeader(const void* live, VeskCore::BucketHeader& out) {
    stableCopy(live, &out, sizeof(out),
               static_cast<const char*>(live) + offsetof(VeskCore::BucketHeader, numBuckets));
}

// ----- TableProbe -----

bool TableProbe::validate(std::string& reason) const {
    if (!haveSlots) {
        reason = fmt::format("{}/slots is missing", directory);
        return false;
    }
    if (!haveBuckets) {
        reason = fmt::format("{}/buckets is missing or shorter than its header", directory);
        return false;
    }
    if (cinder.isNone()) {
        reason = fmt::format(
            "{}/cinder is missing or damaged: the writer never finished the "
            "files of this generation",
            directory);
        return false;
    }
    const Vesk::SlotTableHeader& h = slotHeader();
    const char* type = kind >= 0 ? kKindTypeNames[size_t(kind)] : nullptr;
    const uint32_t valueSize =
        kind >= 0 ? withKind(kind, []<class Ops>() { return uint32_t(Ops::valueSize); }) : 0;
    if (!h.validate(toolHandler(), slotFileSize, cinder, reason, type, valueSize)) {
        reason = fmt::format("{}/slots: {}", directory, reason);
        return false;
    }
    if (!VeskCore::BucketTable<Vesk::SlotLink>::validateHeader(buckets, bucketFileSize, cinder,
                                                               reason)) {
        reason = fmt::format("{}/buckets: {}", directory, reason);
        return false;
    }
    return true;
}

std::string TableProbe::writerText() const {
    if (writerPid != 0)
        return fmt::format("pid {}, {}", writerPid, writerAlive ? "alive" : "not running");
    if (writerAlive)
        return "attaching (the writer lock is held)";
    return ownerValid ? "none (detached)" : "none (no valid owner file)";
}

std::string TableProbe::typeText() const {
    if (kind >= 0)
        return kKindNames[size_t(kind)];
    return valueType.empty() ? "?" : valueType;
}

namespace {

std::string errnoText(int e) {
    return std::strerror(e);
}

// The first table found below `dir` (for the message about a directory of tables).
std::string firstTableBelow(const std::string& dir, const std::string& prefix) {
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        const std::string sub = dir + "/" + n;
        if (fs::exists(sub + "/slots", ec) || fs::exists(sub + "/owner", ec))
            return prefix + n;
    }
    for (const std::string& n : names) {
        const std::string found = firstTableBelow(dir + "/" + n, prefix + n + "/");
        if (!found.empty())
            return found;
    }
    return "";
}

void readOwner(TableProbe& p, const Mem::RootPath& rootPath) {
    Pimbo::Platform::DebugHandler& handler = toolHandler();
    try {
        const Plinth::OwnerFile owner(handler, rootPath, false);
        p.ownerValid = owner.validate();
        if (p.ownerValid)
            p.ownerConduit = owner.conduitInfo().socketName;
    } catch (const Pimbo::Exception&) {
        p.ownerValid = false;
    }
    if (!p.ownerConduit.empty()) {
        try {
            p.writerPid = Plinth::ConduitName::ConduitNameIs(p.ownerConduit).first();
        } catch (const Pimbo::Exception&) {
            p.writerPid = 0;
        }
        std::string ownerName;
        p.writerAlive = Mem::WriterLock::ownerIsAlive(handler, p.ownerConduit, ownerName);
    }
    // A writer that is attaching holds the lock before it records itself.
    if (!p.writerAlive)
        p.writerAlive = Mem::WriterLock::heldByOther(rootPath);
}

}  // namespace

TableProbe probeTable(const std::string& name) {
    checkTableName(name);
    TableProbe p;
    p.name = name;
    const std::string root = Mem::RootPath::root();
    p.directory = root + "/" + name;

    struct stat st {};
    if (::stat(p.directory.c_str(), &st) != 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM) {
            throw ToolError(kTable, fmt::format("permission denied: cannot reach table '{}' at {}: "
                                                "{}",
                                                name, p.directory, errnoText(e)));
        }
        if (e == ENOENT && ::access(root.c_str(), F_OK) != 0) {
            throw ToolError(kTable, fmt::format("no such table: '{}' (the root directory {} does "
                                                "not exist)",
                                                name, root));
        }
        throw ToolError(kTable,
                        fmt::format("no such table: '{}' (no directory {})", name, p.directory));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw ToolError(kTable, fmt::format("not a table: {} is not a directory", p.directory));
    }

    MappedFile slots;
    const std::string slotsPath = p.directory + "/slots";
    if (!slots.open(slotsPath)) {
        const int e = slots.error();
        if (e == EACCES || e == EPERM) {
            throw ToolError(kTable, fmt::format("permission denied: cannot read {}: {}", slotsPath,
                                                errnoText(e)));
        }
        if (e != ENOENT) {
            throw ToolError(kTable, fmt::format("cannot read {}: {}", slotsPath, errnoText(e)));
        }
        std::error_code ec;
        if (::access(p.directory.c_str(), R_OK | X_OK) != 0) {
            throw ToolError(kTable, fmt::format("permission denied: cannot read directory {}: {}",
                                                p.directory, errnoText(errno)));
        }
        if (fs::exists(p.directory + "/owner", ec)) {
            readOwner(p, Mem::RootPath(toolHandler(), name, false));
            if (p.writerAlive) {
                throw ToolError(kTable, fmt::format("table '{}' is being created by its writer "
                                                    "({}); it has no slot file yet",
                                                    name, p.writerText()));
            }
            throw ToolError(kTable, fmt::format("writer absent: table '{}' has no slot file (its "
                                                "writer stopped before it created one)",
                                                name));
        }
        const std::string below = firstTableBelow(p.directory, name + "/");
        if (!below.empty()) {
            throw ToolError(kTable, fmt::format("not a table: {} has no slot file; it holds "
                                                "tables such as '{}'",
                                                p.directory, below));
        }
        throw ToolError(kTable, fmt::format("not a table: {} has no slot file", p.directory));
    }
    p.slotFileSize = slots.size();
    if (slots.size() < sizeof(Vesk::SlotTableHeader)) {
        throw ToolError(kTable,
                        fmt::format("not a table: {} is {} bytes, shorter than a slot file "
                                    "header ({} bytes)",
                                    slotsPath, slots.size(), sizeof(Vesk::SlotTableHeader)));
    }
    copySlotHeader(slots.data(), p.slots);
    p.haveSlots = true;
    const Vesk::SlotTableHeader& h = p.slotHeader();
    if (std::memcmp(h.magic, Vesk::SlotTableHeader::kMagic, sizeof(h.magic)) != 0) {
        uint64_t m = 0;
        std::memcpy(&m, h.magic, sizeof(m));
        throw ToolError(kTable, fmt::format("not a table: {} is not a slot file (magic {:#x}, "
                                            "expected VESK_SLT)",
                                            slotsPath, m));
    }
    p.valueType.assign(h.valueType, strnlen(h.valueType, sizeof(h.valueType)));
    p.kind = kindByTypeName(p.valueType);
    if (p.kind < 0) {
        throw ToolError(kTable, fmt::format("wrong record type: table '{}' holds records of type "
                                            "'{}', which is none of simple, normal, wide, "
                                            "bitmap64",
                                            name, p.valueType));
    }

    MappedFile buckets;
    if (buckets.open(p.directory + "/buckets") &&
        buckets.size() >= sizeof(VeskCore::BucketHeader)) {
        copyBucketHeader(buckets.data(), p.buckets);
        p.bucketFileSize = buckets.size();
        p.haveBuckets = true;
    }

    const Mem::RootPath rootPath(toolHandler(), name, false);
    p.cinder = Plinth::CinderFile(toolHandler(), rootPath, false).read();
    readOwner(p, rootPath);
    std::ifstream marker(p.directory + "/" + Vesk::Util::kCorruptionFileName);
    if (marker) {
        p.haveMarker = true;
        std::getline(marker, p.markerText);
    }
    return p;
}

std::vector<std::string> findTables(const std::string& root) {
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM) {
            throw ToolError(kTable, fmt::format("permission denied: cannot reach the root "
                                                "directory {}: {}",
                                                root, errnoText(e)));
        }
        throw ToolError(kTable, fmt::format("no such directory: the root directory {} does not "
                                            "exist (no table was created under it)",
                                            root));
    }
    if (!S_ISDIR(st.st_mode))
        throw ToolError(kTable, fmt::format("not a directory: the root {} is a file", root));
    if (::access(root.c_str(), R_OK | X_OK) != 0) {
        throw ToolError(kTable, fmt::format("permission denied: cannot read the root directory "
                                            "{}: {}",
                                            root, errnoText(errno)));
    }
    std::vector<std::string> tables;
    // Depth-first; a table's own directory is not searched further.
    std::vector<std::pair<std::string, int>> pending{{"", 0}};
    while (!pending.empty()) {
        const auto [rel, depth] = pending.back();
        pending.pop_back();
        const std::string dir = rel.empty() ? root : root + "/" + rel;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code e2;
            if (it->is_symlink(e2) || !it->is_directory(e2))
                continue;
            const std::string name =
                (rel.empty() ? "" : rel + "/") + it->path().filename().string();
            const std::string path = root + "/" + name;
            if (fs::exists(path + "/slots", e2) || fs::exists(path + "/owner", e2)) {
                tables.push_back(name);
            } else if (depth < 16) {
                pending.emplace_back(name, depth + 1);
            }
        }
    }
    std::sort(tables.begin(), tables.end());
    return tables;
}

}  // namespace VeskTool
