// Attaching the library's lock-free reader to a table for the commands that read records, and
// whole-table walks that never pass a half-walked table off as the table.
#pragma once

#include "Pimbo/Exception.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "ToolError.h"
#include "Vesk/VeskReader.h"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace VeskTool {

// A reader of the table `probe` looked at, attached (Vesk::attachReader: the reader validates
// the files itself and writes no corruption marker). While a live writer is still completing the
// files (a table being created or re-formatted) the attach is retried for up to two seconds.
// Throws ToolError naming the reader's reason first, and carrying it.
template <class Ops>
std::unique_ptr<Vesk::VeskReader<Ops>> attachReader(const TableProbe& probe) {
    bool writerAlive = probe.writerAlive;
    const double deadline = monotonicSeconds() + 2.0;
    for (;;) {
        try {
            return Vesk::attachReader<Ops>(probe.name);
        } catch (const Vesk::TableUnreadableException& e) {
            if (!writerAlive || monotonicSeconds() > deadline || !sleepUnlessStopped(0.05)) {
                throw ToolError(
                    kTable,
                    fmt::format("{}: {} ({})", Vesk::attachFailureText(e.reason()), e.msg(),
                                writerAlive ? "its writer did not complete the files"
                                            : "writer absent, no live writer"),
                    e.reason());
            }
        }
        writerAlive = probeTable(probe.name).writerAlive;
    }
}

// A re-format of the table met by the reader since it counted `generations`: its iteration
// ended early (its order belonged to the old files), or it has no table to read from now.
template <class Ops>
bool reformatted(Vesk::VeskReader<Ops>& reader, uint64_t generations) {
    return reader.counters().generationChanges != generations || reader.mountStatus() == 0;
}

// Throws ToolError when the reader lost its table (re-formatted, its new files not complete
// yet): such a reader knows no key, so a lookup's "not found" means nothing.
template <class Ops>
void requireMounted(Vesk::VeskReader<Ops>& reader, const std::string& table) {
    if (reader.mountStatus() == 0) {
        throw ToolError(kTable, fmt::format("table '{}' was re-formatted and its new files are "
                                            "not complete (try again)",
                                            table));
    }
}

// Visits every record of the table once: by a slot-order scan (the fast way: whole records, each
// once, see Vesk/VeskReader.h), or in table order when asked for.
template <class Ops, class Visit>
void walkTable(Vesk::VeskReader<Ops>& reader, bool tableOrder, Visit&& visit) {
    if (!tableOrder) {
        reader.scan(visit);
        return;
    }
    typename Ops::Value v{};
    Vesk::IterHint hint;
    for (bool more = reader.first(v, hint); more; more = reader.next(Ops::key(v), v, hint))
        visit(static_cast<const typename Ops::Value&>(v));
}

// Every record of the table, from one walk that met no re-format; a walk that met one is
// repeated, for up to two seconds. Throws ToolError when no walk completed.
template <class Ops>
std::vector<typename Ops::Value> readAll(Vesk::VeskReader<Ops>& reader, const std::string& table,
                                         bool tableOrder = false) {
    const double deadline = monotonicSeconds() + 2.0;
    for (int walks = 1;; ++walks) {
        const uint64_t generations = reader.counters().generationChanges;
        std::vector<typename Ops::Value> records;
        records.reserve(std::min(reader.members(), reader.capacity()));  // a hint, bounded
        walkTable(reader, tableOrder, [&](const typename Ops::Value& v) { records.push_back(v); });
        if (!reformatted(reader, generations))
            return records;
        if (monotonicSeconds() > deadline || !sleepUnlessStopped(0.05)) {
            throw ToolError(kTable, fmt::format("table '{}' was re-formatted during each of {} "
                                                "walks; no whole table to show (run again)",
                                                table, walks));
        }
    }
}

}  // namespace VeskTool
