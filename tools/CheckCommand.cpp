// vesk check: the report of a read-only consistency walk of a table's two files beside a writer
// that may be running (Vesk::TableChecker, which says what one walk checks and how it races
// the writer). Faults are status 1; a table that kept changing, a writer that stayed inside a
// change ("writer mid-change"), and a table that disappears or loses a file are status 3.
#include "Commands.h"

#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace VeskTool {

int runCheck(const std::string& table) {
    TableProbe probe = probeTable(table);
    const Vesk::TableCheck c = withKind(probe.kind, [&]<class Ops>() {
        return Vesk::checkNamedTable<Ops>(table, [] { return sleepUnlessStopped(0.02); });
    });
    using Outcome = Vesk::TableCheck::Outcome;
    if (c.outcome == Outcome::unreadable)
        throw ToolError(kTable, fmt::format("cannot check table '{}': {}", table, c.error));
    probe.writerAlive = Vesk::writerRuns(table);
    std::printf("vesk check: table '%s' (%s) in %s\n", table.c_str(), probe.typeText().c_str(),
                probe.directory.c_str());
    std::printf("  writer      %s\n", probe.writerText().c_str());
    if (probe.haveMarker)
        std::printf("  marker      corruption-detected: %s\n", probe.markerText.c_str());
    if (c.outcome == Outcome::busy || c.outcome == Outcome::midChange) {
        const bool midChange = c.outcome == Outcome::midChange;
        std::fflush(stdout);
        throw ToolError(kTable,
                        fmt::format("{}: table '{}' kept changing during {} walks; no stable "
                                    "picture (the writer is {}); run the check again",
                                    midChange ? "writer mid-change" : "busy writer", table, c.walks,
                                    midChange ? "inside a change" : "resizing it"));
    }
    if (c.outcome == Outcome::clean) {
        std::printf("  headers     slot file and bucket file valid, generation %s\n",
                    c.cinder.toString().c_str());
        std::printf(
            "  chains      %u buckets in order, %llu records, every chain sorted and in "
            "its bucket (longest %llu)\n",
            c.numBuckets, static_cast<unsigned long long>(c.records),
            static_cast<unsigned long long>(c.longestChain));
        std::printf("  free list   %llu slots\n", static_cast<unsigned long long>(c.freeSlots));
        std::printf("  counts      %llu records + %llu free = %u slots\n",
                    static_cast<unsigned long long>(c.records),
                    static_cast<unsigned long long>(c.freeSlots), c.numSlots);
        std::printf("  result      ok (walk %d)\n", c.walks);
        return kOk;
    }
    for (const std::string& f : c.faults)
        std::printf("  FAULT       %s\n", f.c_str());
    if (c.faultCount > c.faults.size()) {
        std::printf("  FAULT       ... and %llu more\n",
                    static_cast<unsigned long long>(c.faultCount - c.faults.size()));
    }
    std::printf("  result      %llu fault%s\n", static_cast<unsigned long long>(c.faultCount),
                c.faultCount == 1 ? "" : "s");
    std::fflush(stdout);
    throw ToolError(kFound,
                    fmt::format("table '{}': {} fault{} found; first: {}", table, c.faultCount,
                                c.faultCount == 1 ? "" : "s", c.firstFault()));
}

void addCheckCommand(ToolLine& line) {
    CLI::App* check = line.add("check",
                               "Read-only consistency walk of a table (chains, free list, "
                               "counts) beside a running writer; exit status 1 on a fault",
                               [&line] { return runCheck(line.table); });
    line.addTable(check);
}

}  // namespace VeskTool
