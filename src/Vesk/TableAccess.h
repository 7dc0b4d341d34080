// TableAccess: the one read-only way into a table, for every front end that reads tables it did
// not make (the `vesk` tool, its endpoint, the Python module): a probe of the table's files,
// a reader attached to them, and why either failed, as a value.
//
// Who may call what: any thread, on objects of its own; nothing here is shared between calls
// except the process's table root (Mem::RootPath::rootIs), which is read when a call starts.
// Nothing here writes, creates or locks anything: every file is opened read-only through
// Mem::TableDir (no symbolic link, FIFO, device or another user's file is ever opened), small
// files are read with a size limit, and whether the writer runs is asked without taking its
// lock. The table's writer may change the files at any moment, or another process that may
// write them may cut them short:
//  1. Headers are copied with the seqlock rule of the file format (Plinth/SafeHeaderCopy.h: copy
//     between two equal loads of the header's versioned count); the copies are what a probe
//     holds, never the live words.
//  2. Every mapping is a reader's, and so guarded (Mem/MappingRegistry.h): a file cut short
//     while a probe or a reader reads it reads as zeros instead of raising SIGBUS, and the
//     read then fails with fileShrank naming the file. A probe asks the guard once, after its
//     copies; a reader asks at the end of each operation (Vesk/VeskReader.h).
//  3. A failure is a TableUnreadableException: its reason (AttachFailure) is the value every
//     front end turns into its own text, class or label; its message names the table, the file
//     and the value found. Text is made once, from both, at the front end.
#pragma once

#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"
#include "Vesk/TableChecker.h"
#include "Vesk/VeskReader.h"
#include "VeskBase/BucketTable.h"
#include "VeskBase/SlotTable.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace Mem {
class TableDir;
struct FileError;
}  // namespace Mem

namespace Vesk {

// What the files of one table say, read once.
struct TableProbe {
    std::string name;       // as named, below the root
    std::string directory;  // the table's directory
    std::string valueType;  // the slot header's record type name, a registered value type

    alignas(8) unsigned char slotBytes[sizeof(SlotTableHeader)];  // a copy of the slot header
    bool haveBuckets = false;  // a bucket file whose header could be copied
    VeskCore::BucketHeader buckets{};

    Plinth::CinderId cinder;   // of the cinder file; none when missing or damaged
    bool ownerValid = false;   // the owner file validates
    std::string ownerConduit;  // "PID:STARTTIME" of the writer, empty when it detached
    uint64_t writerPid = 0;    // from ownerConduit, 0 when none
    bool writerAlive = false;  // the recorded writer runs, or someone holds the writer lock
    bool haveMarker = false;   // a "corruption-detected" marker is present
    std::string markerText;    // its first line (or why it cannot be read)

    // The copied bytes hold a slot file header.
    const SlotTableHeader& slotHeader() const {
        return *std::launder(reinterpret_cast<const SlotTableHeader*>(slotBytes));
    }
    // "pid 1234, alive", "pid 1234, not running", "none (detached)", ...
    std::string writerText() const;
};

// The deepest table name (in components) that a search below the root goes to.
inline constexpr size_t kMaxTableDepth = 16;

// A directory that holds a table's files ("slots" or "owner").
bool isTableDirectory(const Mem::TableDir& dir);

// A table's owner file as a listing saw it (inode, size, modification time): a writer that
// records or forgets itself replaces the file, so an equal stamp means an unchanged owner.
struct OwnerStamp {
    uint64_t inode = 0, size = 0;
    int64_t modified = 0;  // ns
    bool operator==(const OwnerStamp&) const = default;
};

// The tables below table directory `name` ("" for the root itself), by name, sorted, at most
// `limit`, at most kMaxTableDepth components deep. A table's directory is not searched further;
// directories that cannot be opened or trusted are skipped, and so are those whose names break
// the name rule (Plinth/TableName.h): no table may be named so. Their paths go to `unnamed` when
// given (raw: escape them, Mem::escapedName, before showing them).
// `owners`, when given, receives the owner stamp of each table that has an owner file.
std::vector<std::string> tablesBelow(const std::string& name, size_t limit = SIZE_MAX,
                                     std::vector<std::string>* unnamed = nullptr,
                                     std::map<std::string, OwnerStamp>* owners = nullptr);

// Looks at the files of table `name` under the process's root. Throws TableUnreadableException:
// noSuchTable, permissionDenied, untrustedDirectory, notATable (no slot file, a short one, not
// a slot file; a directory that holds tables is named as such), noFiles (its writer is still
// making the files), writerAbsent, unknownRecordType, fileShrank, cannotMap.
TableProbe probeTable(const std::string& name);

// The debug handler of the readers made here ("vesk").
Pimbo::Platform::DebugHandler& tableAccessHandler();

// Whether the writer of table `name` runs, asked without taking its lock.
bool writerRuns(const std::string& name);

// Opens the process's root as a reader would; false with why in `error`. `directory` is the
// root's path.
bool rootOpens(std::string& directory, Mem::FileError& error);

// The read-only consistency walk of table `name` under the process's root (Vesk/TableChecker.h).
template <class Ops>
TableCheck checkNamedTable(const std::string& name, const std::function<bool()>& pause = {}) {
    return TableChecker<Ops>::check(Mem::RootPath(tableAccessHandler(), name, false), pause);
}

// "cannot read table '{}': {}" with the reader's message.
template <class Ops>
std::string attachRefusal(const std::string& name, const VeskReader<Ops>& reader) {
    return fmt::format("cannot read table '{}': {}", name, reader.attachFailureMessage());
}

// A reader of table `name` under the process's root, attached; it writes no corruption marker
// (a reader that looks writes nothing). Throws TableUnreadableException with the reader's reason
// (VeskReader::attachFailure) and a message that names the table.
template <class Ops>
std::unique_ptr<VeskReader<Ops>> attachReader(const std::string& name) {
    auto reader =
        std::make_unique<VeskReader<Ops>>(tableAccessHandler(), name.c_str(), Ops{}, nullptr);
    reader->writesMarkerIs(false);
    if (!reader->initialize("read"))
        throw TableUnreadableException(reader->attachFailure(), attachRefusal(name, *reader));
    return reader;
}

}  // namespace Vesk
