#include "TableFiles.h"

#include "Mem/Atomic.h"
#include "Mem/MappingRegistry.h"
#include "Mem/RootPath.h"
#include "Mem/SafeHeaderCopy.h"
#include "Mem/TableName.h"
#include "Mem/WriterLock.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "RecordKinds.h"
#include "ToolError.h"
#include "Vesk/Util.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace VeskTool {

Pimbo::Platform::DebugHandler& toolHandler() {
    static const std::shared_ptr<Pimbo::Platform::DebugHandler> handler =
        Pimbo::Platform::getDebugHandler("vesk");
    return *handler;
}

void checkTableName(const std::string& name) {
    bool ok = !name.empty() && name.front() != '/' && name.back() != '/' && name.size() < 512;
    size_t depth = 0;
    std::string_view rest(name);
    // Each component follows the library's name rule: a name `ls` prints must not move its
    // cursor, ring, end its line or turn the text around it.
    while (ok && !rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        ok = Mem::tableNameProblem(part) == nullptr && ++depth <= kMaxTableDepth;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    if (!ok) {
        throw ToolError(kUsage, fmt::format("bad table name '{}': a table is named by a relative "
                                            "path of at most {} plain, printable names, such as "
                                            "'port/counter'",
                                            Mem::escapedName(name), kMaxTableDepth));
    }
}

void throwFileError(const std::string& table, const Mem::FileError& error) {
    switch (error.errnum) {
        case ENOENT:
            throw ToolError(kTable, fmt::format("no such table: '{}' ({})", table, error.text));
        case EACCES:
            throw ToolError(kTable, "permission denied: " + error.text);
        case ENOTDIR:
        case EINVAL:
        case ELOOP:
        case EMLINK:
            throw ToolError(kTable, "not a table: " + error.text);
        default:
            throw ToolError(kTable, error.text);
    }
}

// ----- MappedFile -----

bool MappedFile::open(const Mem::TableDir& dir, const std::string& name) {
    unmap();
    path_ = dir.filePath(name);
    const Mem::Fd fd = dir.openFile(name, Mem::TableDir::FileAccess::read, error_);
    if (!fd)
        return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error_.set(errno, fmt::format("cannot stat {}: {}", path_, std::strerror(errno)));
        return false;
    }
    size_ = uint64_t(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd.get(), 0);
        if (p == MAP_FAILED) {
            error_.set(errno, fmt::format("cannot map {}: {}", path_, std::strerror(errno)));
            size_ = 0;
            return false;
        }
        data_ = static_cast<const char*>(p);
        Mem::MappingRegistry::add(data_, size_, path_);
    }
    return true;
}

void MappedFile::unmap() {
    if (data_ != nullptr) {
        Mem::MappingRegistry::remove(data_);
        ::munmap(const_cast<char*>(data_), size_);
    }
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

void readWriter(TableProbe& p, const Mem::RootPath& rootPath) {
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
    }
    p.writerAlive = Mem::WriterLock::writerRuns(handler, rootPath);
}

bool isTableDirectory(const Mem::TableDir& dir) {
    return dir.exists("slots") || dir.exists(Plinth::OwnerFile::kFileName);
}

std::vector<std::string> tablesBelow(const std::string& name, size_t limit) {
    std::vector<std::string> tables;
    // Depth-first; a table's own directory is not searched further.
    std::vector<std::string> pending{name};
    while (!pending.empty() && tables.size() < limit) {
        const std::string at = pending.back();
        pending.pop_back();
        Mem::FileError error;
        const Mem::TableDir dir = Mem::TableDir::open(Mem::RootPath(toolHandler(), at, false),
                                                      Mem::TableDir::Access::reader, error);
        if (!dir.valid())
            continue;
        if (at != name && isTableDirectory(dir)) {
            tables.push_back(at);
            continue;
        }
        const size_t depth = at.empty() ? 0 : size_t(std::count(at.begin(), at.end(), '/')) + 1;
        if (depth >= kMaxTableDepth)
            continue;
        const std::vector<std::string> subs = dir.subdirectories();
        for (auto it = subs.rbegin(); it != subs.rend(); ++it)
            pending.push_back(at.empty() ? *it : at + "/" + *it);
    }
    std::sort(tables.begin(), tables.end());
    return tables;
}

std::vector<std::string> findTables() {
    Mem::FileError error;
    const Mem::RootPath rootPath(toolHandler(), "", false);
    if (!Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error).valid()) {
        if (error.errnum == ENOENT) {
            throw ToolError(kTable, fmt::format("no such directory: the root directory {} does "
                                                "not exist (no table was created under it): {}",
                                                rootPath.directory(), error.text));
        }
        throwFileError("", error);
    }
    return tablesBelow("");
}

TableProbe probeTable(const std::string& name) {
    checkTableName(name);
    TableProbe p;
    p.name = name;
    const Mem::RootPath rootPath(toolHandler(), name, false);
    p.directory = rootPath.directory();
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    if (!dir.valid())
        throwFileError(name, error);

    MappedFile slots;
    if (!slots.open(dir, "slots")) {
        if (slots.error().errnum != ENOENT)
            throwFileError(name, slots.error());
        if (dir.exists(Plinth::OwnerFile::kFileName)) {
            readWriter(p, rootPath);
            if (p.writerAlive) {
                throw ToolError(kTable, fmt::format("table '{}' is being created by its writer "
                                                    "({}); it has no slot file yet",
                                                    name, p.writerText()));
            }
            throw ToolError(kTable, fmt::format("writer absent: table '{}' has no slot file (its "
                                                "writer stopped before it created one)",
                                                name));
        }
        const std::vector<std::string> below = tablesBelow(name, 1);
        if (!below.empty()) {
            throw ToolError(kTable, fmt::format("not a table: {} has no slot file; it holds "
                                                "tables such as '{}'",
                                                p.directory, below.front()));
        }
        throw ToolError(kTable, fmt::format("not a table: {} has no slot file", p.directory));
    }
    if (slots.size() < sizeof(Vesk::SlotTableHeader)) {
        throw ToolError(kTable,
                        fmt::format("not a table: {} is {} bytes, shorter than a slot file "
                                    "header ({} bytes)",
                                    slots.path(), slots.size(), sizeof(Vesk::SlotTableHeader)));
    }
    copySlotHeader(slots.data(), p.slots);
    const Vesk::SlotTableHeader& h = p.slotHeader();
    if (std::memcmp(h.magic, Vesk::SlotTableHeader::kMagic, sizeof(h.magic)) != 0) {
        uint64_t m = 0;
        std::memcpy(&m, h.magic, sizeof(m));
        throw ToolError(kTable, fmt::format("not a table: {} is not a slot file (magic {:#x}, "
                                            "expected VESK_SLT)",
                                            slots.path(), m));
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
    if (buckets.open(dir, "buckets") && buckets.size() >= sizeof(VeskCore::BucketHeader)) {
        copyBucketHeader(buckets.data(), p.buckets);
        p.haveBuckets = true;
    }
    p.cinder = Plinth::CinderFile(toolHandler(), rootPath, false).read();
    readWriter(p, rootPath);
    // The marker is read with a limit: a marker linked to an endless file is cut, not followed.
    std::string marker;
    if (dir.readFile(Vesk::Util::kCorruptionFileName, Vesk::Util::kCorruptionTextLimit, marker,
                     error) ||
        error.errnum == EFBIG) {
        p.haveMarker = true;
        p.markerText =
            marker.substr(0, std::min(marker.find('\n'), Vesk::Util::kCorruptionTextLimit));
    } else if (error.errnum != ENOENT) {
        p.haveMarker = true;
        p.markerText = "(unreadable: " + error.text + ")";
    }
    return p;
}

}  // namespace VeskTool
