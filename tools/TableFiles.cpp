#include "TableFiles.h"

#include "Pimbo/Debug.h"
#include "Plinth/TableName.h"
#include "RecordKinds.h"
#include "ToolError.h"

#include <cerrno>

namespace VeskTool {

Pimbo::Platform::DebugHandler& toolHandler() {
    return Vesk::tableAccessHandler();
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
    const Vesk::AttachFailure reason = error.errnum == ENOENT ? Vesk::AttachFailure::noSuchTable
                                                              : Vesk::attachFailureOf(error.errnum);
    const std::string what =
        error.errnum == ENOENT ? fmt::format("'{}' ({})", table, error.text) : error.text;
    throw tableError(Vesk::TableUnreadableException(reason, what));
}

std::string TableProbe::typeText() const {
    return kind >= 0 ? kKindNames[size_t(kind)] : valueType.empty() ? "?" : valueType;
}

std::vector<std::string> findTables(std::vector<std::string>* unnamed,
                                    std::map<std::string, Vesk::OwnerStamp>* owners) {
    Mem::FileError error;
    std::string root;
    if (!Vesk::rootOpens(root, error)) {
        if (error.errnum == ENOENT) {
            throw ToolError(kTable,
                            fmt::format("no such directory: the root directory {} does not "
                                        "exist (no table was created under it): {}",
                                        root, error.text),
                            Vesk::AttachFailure::noSuchTable);
        }
        throwFileError("", error);
    }
    return tablesBelow("", SIZE_MAX, unnamed, owners);
}

TableProbe probeTable(const std::string& name) {
    checkTableName(name);
    TableProbe p;
    try {
        static_cast<Vesk::TableProbe&>(p) = Vesk::probeTable(name);
    } catch (const Vesk::TableUnreadableException& e) {
        throw tableError(e);
    }
    p.kind = kindByTypeName(p.valueType);
    if (p.kind < 0) {
        throw ToolError(kTable,
                        fmt::format("wrong record type: table '{}' holds records of type '{}', "
                                    "which is none of simple, normal, wide, bitmap64",
                                    name, p.valueType),
                        Vesk::AttachFailure::unknownRecordType);
    }
    return p;
}

}  // namespace VeskTool
