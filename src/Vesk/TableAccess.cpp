// The probe of a table's files and the search for tables below a directory (TableAccess.h).
#include "Vesk/TableAccess.h"

#include "Orlo/Module.h"
#include "Pimbo/Debug.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/PlinthWrapper.h"
#include "Plinth/RootPath.h"
#include "Plinth/SafeHeaderCopy.h"
#include "Plinth/TableDir.h"
#include "Plinth/TableName.h"
#include "Plinth/WriterLock.h"
#include "VeskBase/Util.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Vesk {

Pimbo::Platform::DebugHandler& tableAccessHandler() {
    static const std::shared_ptr<Pimbo::Platform::DebugHandler> handler =
        Pimbo::Platform::getDebugHandler("vesk");
    return *handler;
}

bool writerRuns(const std::string& name) {
    return Mem::WriterLock::writerRuns(tableAccessHandler(),
                                       Mem::RootPath(tableAccessHandler(), name, false));
}

bool rootOpens(std::string& directory, Mem::FileError& error) {
    const Mem::RootPath rootPath(tableAccessHandler(), "", false);
    directory = rootPath.directory();
    return Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error).valid();
}

std::string TableProbe::writerText() const {
    if (writerPid != 0)
        return fmt::format("pid {}, {}", writerPid, writerAlive ? "alive" : "not running");
    if (writerAlive)
        return "attaching (the writer lock is held)";
    return ownerValid ? "none (detached)" : "none (no valid owner file)";
}

bool isTableDirectory(const Mem::TableDir& dir) {
    return dir.exists("slots") || dir.exists(Plinth::OwnerFile::kFileName);
}

std::vector<std::string> tablesBelow(const std::string& name, size_t limit,
                                     std::vector<std::string>* unnamed,
                                     std::map<std::string, OwnerStamp>* owners) {
    std::vector<std::string> tables;
    // Depth-first; a table's own directory is not searched further.
    std::vector<std::string> pending{name};
    while (!pending.empty() && tables.size() < limit) {
        const std::string at = pending.back();
        pending.pop_back();
        Mem::FileError error;
        const Mem::TableDir dir = Mem::TableDir::open(
            Mem::RootPath(tableAccessHandler(), at, false), Mem::TableDir::Access::reader, error);
        if (!dir.valid())
            continue;
        struct stat owner {};
        const bool hasOwner = at != name && dir.statEntry(Plinth::OwnerFile::kFileName, owner);
        if (hasOwner || (at != name && dir.exists("slots"))) {
            if (hasOwner && owners != nullptr) {
                (*owners)[at] =
                    OwnerStamp{uint64_t(owner.st_ino), uint64_t(owner.st_size),
                               int64_t(owner.st_mtim.tv_sec) * 1000000000 + owner.st_mtim.tv_nsec};
            }
            tables.push_back(at);
            continue;
        }
        const size_t depth = at.empty() ? 0 : size_t(std::count(at.begin(), at.end(), '/')) + 1;
        if (depth >= kMaxTableDepth)
            continue;
        const std::vector<std::string> subs = dir.subdirectories();
        for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
            std::string sub = at.empty() ? *it : at + "/" + *it;
            if (Mem::tableNameProblem(*it) == nullptr)
                pending.push_back(std::move(sub));
            else if (unnamed != nullptr)
                unnamed->push_back(std::move(sub));
        }
    }
    std::sort(tables.begin(), tables.end());
    return tables;
}

namespace {

[[noreturn]] void refuse(AttachFailure reason, std::string message) {
    throw TableUnreadableException(reason, std::move(message));
}

void readWriter(TableProbe& p, const Mem::RootPath& rootPath) {
    Pimbo::Platform::DebugHandler& handler = tableAccessHandler();
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
    p.writerAlive = writerRuns(p.name);
}

// The slot file would not map: say what stands at its name.
[[noreturn]] void refuseSlots(TableProbe& p, const Mem::TableDir& dir,
                              const Mem::PlinthWrapper& slots, const Mem::RootPath& rootPath) {
    const int e = slots.errorNumber();
    if (e != ENOENT && e != 0)
        refuse(attachFailureOf(e), slots.errorText());
    if (e == 0) {
        const uint64_t size = slots.memSize();
        refuse(size < sizeof(SlotTableHeader) ? AttachFailure::notATable : AttachFailure::cannotMap,
               size < sizeof(SlotTableHeader)
                   ? fmt::format("{} is {} bytes, shorter than a slot file header ({} bytes)",
                                 slots.getFilename(), size, sizeof(SlotTableHeader))
                   : slots.errorText());
    }
    if (dir.exists(Plinth::OwnerFile::kFileName)) {
        readWriter(p, rootPath);
        if (p.writerAlive) {
            refuse(AttachFailure::noFiles,
                   fmt::format("table '{}' is being created by its writer ({}); it has no slot "
                               "file yet",
                               p.name, p.writerText()));
        }
        refuse(AttachFailure::writerAbsent,
               fmt::format("table '{}' has no slot file (its writer stopped before it created "
                           "one)",
                           p.name));
    }
    const std::vector<std::string> below = tablesBelow(p.name, 1);
    if (!below.empty()) {
        refuse(AttachFailure::notATable,
               fmt::format("{} has no slot file; it holds tables such as '{}'", p.directory,
                           below.front()));
    }
    refuse(AttachFailure::notATable, fmt::format("{} has no slot file", p.directory));
}

}  // namespace

TableProbe probeTable(const std::string& name) {
    Pimbo::Platform::DebugHandler& handler = tableAccessHandler();
    TableProbe p;
    p.name = name;
    const Mem::RootPath rootPath(handler, name, false);
    p.directory = rootPath.directory();
    Mem::FileError error;
    const Mem::TableDir dir = Mem::TableDir::open(rootPath, Mem::TableDir::Access::reader, error);
    if (!dir.valid()) {
        if (error.errnum == ENOENT)
            refuse(AttachFailure::noSuchTable, fmt::format("'{}' ({})", name, error.text));
        refuse(attachFailureOf(error.errnum), error.text);
    }

    // Both headers through guarded read-only mappings: copied, then the guard asked once.
    Mem::PlinthWrapper slots(handler, rootPath, "slots", false);
    const auto* live = static_cast<const SlotTableHeader*>(
        slots.attach(sizeof(SlotTableHeader), Mem::PlinthWrapper::kReader));
    if (live == nullptr)
        refuseSlots(p, dir, slots, rootPath);
    Mem::safeHeaderCopy(live, p.slotBytes, sizeof(p.slotBytes), &live->numSlots, slots);
    Mem::PlinthWrapper buckets(handler, rootPath, "buckets", false);
    if (const auto* h = static_cast<const VeskCore::BucketHeader*>(
            buckets.attach(sizeof(VeskCore::BucketHeader), Mem::PlinthWrapper::kReader))) {
        Mem::safeHeaderCopy(h, &p.buckets, sizeof(p.buckets), &h->numBuckets, buckets);
        p.haveBuckets = true;
    }
    for (const Mem::PlinthWrapper* file : {&slots, &buckets}) {
        if (file->lostPages())
            refuse(AttachFailure::fileShrank, shrankText(file->getFilename()));
    }

    const SlotTableHeader& h = p.slotHeader();
    if (std::memcmp(h.magic, SlotTableHeader::kMagic, sizeof(h.magic)) != 0) {
        uint64_t m = 0;
        std::memcpy(&m, h.magic, sizeof(m));
        refuse(AttachFailure::notATable,
               fmt::format("{} is not a slot file (magic {:#x}, expected VESK_SLT)",
                           slots.getFilename(), m));
    }
    p.valueType.assign(h.valueType, strnlen(h.valueType, sizeof(h.valueType)));
    const std::optional<Orlo::OrloTypeBase> type = Orlo::typeNamed(p.valueType);
    if (!type || Orlo::describeType(*type).kind != Orlo::kKindValue) {
        refuse(AttachFailure::unknownRecordType,
               fmt::format("table '{}' holds records of type '{}', which no registered module "
                           "describes",
                           name, p.valueType));
    }
    p.cinder = Plinth::CinderFile(handler, rootPath, false).read();
    readWriter(p, rootPath);
    // The marker is read with a limit: a marker linked to an endless file is cut, not followed.
    std::string marker;
    if (dir.readFile(Util::kCorruptionFileName, Util::kCorruptionTextLimit, marker, error) ||
        error.errnum == EFBIG) {
        p.haveMarker = true;
        p.markerText = marker.substr(0, std::min(marker.find('\n'), Util::kCorruptionTextLimit));
    } else if (error.errnum != ENOENT) {
        p.haveMarker = true;
        p.markerText = "(unreadable: " + error.text + ")";
    }
    return p;
}

}  // namespace Vesk
