// The commands that only read: ls, stat, dump, get and watch.
#include "Commands.h"

#include "Numbers.h"
#include "Output.h"
#include "Pimbo/Format.h"
#include "Plinth/TableName.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Ruxa/RuxaReader.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace VeskTool {

// ----- ls -----

int runLs() {
    std::vector<std::string> unnamed;
    const std::vector<std::string> tables = findTables(&unnamed);
    std::vector<std::vector<std::string>> rows{
        {"TABLE", "TYPE", "RECORDS", "CAPACITY", "BUCKETS", "WRITER", "ALIVE", "GENERATION"}};
    // A directory whose name breaks the name rule is no table; shown escaped, never raw.
    for (const std::string& dir : unnamed) {
        rows.push_back({Mem::escapedName(dir), "-", "-", "-", "-", "-", "-",
                        "(not a table: its name cannot be shown as it is)"});
    }
    for (const std::string& name : tables) {
        try {
            const TableProbe p = probeTable(name);
            const Vesk::SlotTableHeader& h = p.slotHeader();
            rows.push_back({name, p.typeText(), std::to_string(h.occupiedSlots),
                            std::to_string(h.numSlots.value),
                            p.haveBuckets ? std::to_string(p.buckets.numBuckets.value) : "-",
                            p.writerPid != 0 ? std::to_string(p.writerPid) : "-",
                            p.writerAlive ? "yes" : "no",
                            p.cinder.isNone() ? "-" : p.cinder.toString()});
        } catch (const ToolError& e) {
            // A table that cannot be read is listed with the reason.
            rows.push_back(
                {name, "-", "-", "-", "-", "-", "-", "(" + Mem::escapedName(e.what()) + ")"});
        }
    }
    printColumns(rows);
    return kOk;
}

// ----- stat -----

// The notification queue of a table that has one, as a follower attaching now sees it.
void printQueue(const std::string& table) {
    const Vesk::RootPath path(toolHandler(), table.c_str(), false);
    Vesk::Reader::Counters counters;
    Ruxa::RuxaReader<Ruxa::BasicSlot> queue(toolHandler(), path, counters);
    std::string why;
    const bool attached = queue.attach(why);
    if (!attached && why.ends_with("missing or empty"))
        return;
    std::printf("\nnotification queue\n");
    if (!attached) {
        printColumns({{"  refused", why}});
        return;
    }
    printColumns({
        {"  generation", std::to_string(queue.generation())},
        {"  ring",
         fmt::format("{} buffers x {} entries", queue.numBuffers(), queue.bufferEntries())},
        {"  last sequence",
         fmt::format("{} (sequence base {})", counters.lastAppliedSequence, queue.sequenceBase())},
        {"  followers", std::to_string(queue.followers())},
        {"  followers refused", std::to_string(queue.refusedFollowers())},
    });
}

int runStat(const std::string& table) {
    const TableProbe p = probeTable(table);
    return withKind(p.kind, [&]<class Ops>() {
        auto reader = attachReader<Ops>(p);
        const double start = monotonicSeconds();
        const size_t walked = readAll(*reader, table, true).size();
        const double walkMs = (monotonicSeconds() - start) * 1e3;
        const Vesk::Reader::Counters c = reader->readerCounters();
        const Vesk::SlotTableHeader& h = p.slotHeader();
        const uint32_t records = reader->members();
        const uint32_t slots = reader->capacity();
        const uint32_t buckets = reader->buckets();

        std::vector<std::vector<std::string>> rows{
            {"table", p.name},
            {"directory", p.directory},
            {"record type", fmt::format("{} ({}, {} bytes, {}-byte slots)", Kind<Ops>::kName,
                                        p.valueType, h.valueSize, h.slotSize)},
            {"writer", p.writerText()},
            {"generation",
             fmt::format("{} (slot file {}, bucket file {})", p.cinder, Plinth::CinderId(h.cinder),
                         Plinth::CinderId(p.buckets.cinder))},
            {"records", std::to_string(records)},
            {"capacity",
             fmt::format("{} slots (maxSlots {}, mostSlots {})", slots, h.maxSlots, h.mostSlots)},
            {"buckets", std::to_string(buckets)},
            {"load", fmt::format("{:.2f} records per slot, {:.2f} per bucket",
                                 slots ? double(records) / slots : 0.0,
                                 buckets ? double(records) / buckets : 0.0)},
            {"files",
             fmt::format("slots {} bytes, buckets {} bytes", c.slotFileSize, c.bucketFileSize)},
            {"marker", p.haveMarker ? "corruption-detected: " + p.markerText : "none"},
        };
        printColumns(rows);
        std::printf("\nslot file header\n  %s\nbucket file header\n  %s\n\n", h.toString().c_str(),
                    p.buckets.toString().c_str());
        std::printf("reader view (attach and one full walk)\n");
        printColumns({
            {"  records walked", fmt::format("{} in {:.1f} ms", walked, walkMs)},
            {"  lookups", std::to_string(c.lookups)},
            {"  iterations", std::to_string(c.iterations)},
            {"  retries", fmt::format("{} (a link or record moved during a walk)", c.retries)},
            {"  slow paths", std::to_string(c.slowPaths)},
            {"  re-map retries", std::to_string(c.remapRetries)},
            {"  re-maps", fmt::format("slots {}, buckets {}, base moves {}", c.resizes,
                                      c.bucketResizes, c.baseChanges)},
            {"  lookaside reads", std::to_string(c.lookasideReads)},
            {"  generation changes", std::to_string(c.generationChanges)},
        });
        printQueue(p.name);
        return int(kOk);
    });
}

// ----- dump -----

int runDump(const std::string& table, bool json, bool tableOrder) {
    const TableProbe p = probeTable(table);
    std::optional<RecordFields> fields;
    if (json)
        fields.emplace(p.valueType);
    return withKind(p.kind, [&]<class Ops>() {
        auto reader = attachReader<Ops>(p);
        // Output goes out in chunks as the walk goes. A walk that meets a re-format of the table
        // ends early: it starts again while nothing was printed, and fails once something was.
        std::string out;
        uint64_t printed = 0;
        for (int walks = 1;; ++walks) {
            const uint64_t generations = reader->counters().generationChanges;
            uint64_t records = 0;
            walkTable(*reader, tableOrder, [&](const typename Ops::Value& v) {
                appendRecordLine(out, fields, v);
                ++records;
                if (out.size() > (1 << 16)) {
                    writeOutput(out);
                    out.clear();
                    printed = records;
                }
            });
            if (!reformatted(*reader, generations))
                break;
            if (printed != 0 || walks == 3) {
                throw ToolError(kTable, fmt::format("table '{}' was re-formatted while it was "
                                                    "dumped; the {} records printed are not the "
                                                    "whole table (run again)",
                                                    table, printed));
            }
            out.clear();
        }
        writeOutput(out);
        return int(kOk);
    });
}

// ----- get -----

int runGet(const std::string& table, const std::vector<std::string>& keyTexts, bool json) {
    // Every key is checked before the table is opened: a typo never prints half an answer.
    std::vector<uint64_t> keys;
    for (const std::string& text : keyTexts)
        keys.push_back(parseKey(text));
    const TableProbe p = probeTable(table);
    std::optional<RecordFields> fields;
    if (json)
        fields.emplace(p.valueType);
    return withKind(p.kind, [&]<class Ops>() {
        auto reader = attachReader<Ops>(p);
        // All keys in one call, their memory accesses overlapped.
        const std::vector<CounterIndex> indexes(keys.begin(), keys.end());
        std::vector<typename Ops::Value> values(keys.size());
        const std::unique_ptr<bool[]> found(new bool[keys.size()]);
        reader->lookupMany(indexes.data(), indexes.size(), values.data(), found.get());
        requireMounted(*reader, table);
        size_t missing = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            const uint64_t key = keys[i];
            const typename Ops::Value& v = values[i];
            if (!found[i]) {
                ++missing;
                if (json)
                    std::printf("{\"key\": %llu, \"error\": \"not found\"}\n",
                                static_cast<unsigned long long>(key));
                else
                    std::printf("%llu: not found\n", static_cast<unsigned long long>(key));
            } else {
                std::string line;
                appendRecordLine(line, fields, v);
                std::fputs(line.c_str(), stdout);
            }
        }
        if (missing != 0) {
            checkOutput();
            std::fprintf(stderr, "vesk get: not found: %zu of %zu keys are not in table '%s'\n",
                         missing, keys.size(), table.c_str());
            return int(kFound);
        }
        return int(kOk);
    });
}

// ----- watch -----

namespace {

// One look at a table: the key and the counters of every record, ascending keys.
struct Snapshot {
    struct Record {
        uint64_t key;
        std::vector<uint64_t> counters;
    };
    std::vector<Record> records;
    double at = 0;

    const Record* find(uint64_t key) const {
        auto it = std::lower_bound(records.begin(), records.end(), key,
                                   [](const Record& r, uint64_t k) { return r.key < k; });
        return it != records.end() && it->key == key ? &*it : nullptr;
    }
};

template <class Ops>
Snapshot takeSnapshot(Vesk::VeskReader<Ops>& reader, const std::string& table,
                      const RecordFields& fields) {
    Snapshot s;
    // A table removed and made again between two refreshes is read anew, never from the
    // deleted files.
    if (!reader.followFiles()) {
        throw ToolError(kTable,
                        fmt::format("{}: table '{}' was removed or made anew: {}",
                                    Vesk::attachFailureText(reader.attachFailure()), table,
                                    reader.attachFailureMessage()),
                        reader.attachFailure());
    }
    const std::vector<typename Ops::Value> records = readAll(reader, table);
    s.at = monotonicSeconds();
    for (const typename Ops::Value& v : records) {
        const std::vector<uint64_t> words = fields.read(&v);
        Snapshot::Record r{words[0], {}};
        for (const size_t c : fields.counters())
            r.counters.push_back(words[c]);
        s.records.push_back(std::move(r));
    }
    std::sort(s.records.begin(), s.records.end(),
              [](const Snapshot::Record& a, const Snapshot::Record& b) { return a.key < b.key; });
    return s;
}

// The refreshes of runWatch; `take` looks at the table once.
int watchTable(const WatchOptions& o, TableProbe& p, const RecordFields& fields,
               const std::function<Snapshot()>& take) {
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    const size_t counters = fields.counters().size();
    std::vector<std::string> heading{"KEY"};
    for (const size_t c : fields.counters()) {
        heading.push_back(fields.names()[c]);
        heading.push_back(fields.names()[c] + "/s");
    }
    Snapshot before = take();
    for (uint64_t refresh = 1; o.refreshes == 0 || refresh <= o.refreshes; ++refresh) {
        if (!sleepUnlessStopped(o.interval))
            return kOk;
        p = probeTable(o.table);
        if (!p.writerAlive) {
            throw ToolError(kTable, fmt::format("writer absent: the writer of table '{}' "
                                                "stopped ({})",
                                                o.table, p.writerText()));
        }
        Snapshot now = take();
        const double seconds = std::max(now.at - before.at, 1e-6);

        // A counter's rate is its growth per second; one that went down (a record made anew)
        // counts no growth.
        struct Row {
            const Snapshot::Record* record;
            std::vector<double> rates;
        };
        std::vector<Row> rows;
        rows.reserve(now.records.size());
        size_t added = 0;
        for (const Snapshot::Record& r : now.records) {
            Row row{&r, std::vector<double>(counters, 0.0)};
            if (const Snapshot::Record* old = before.find(r.key)) {
                for (size_t i = 0; i < counters; ++i) {
                    if (r.counters[i] >= old->counters[i])
                        row.rates[i] = double(r.counters[i] - old->counters[i]) / seconds;
                }
            } else {
                ++added;
            }
            rows.push_back(std::move(row));
        }
        const size_t removed = before.records.size() + added - now.records.size();
        // The busiest first: by the rate of the first counter, then the next; then by key.
        const size_t shown = std::min<size_t>(rows.size(), o.top);
        std::partial_sort(rows.begin(), rows.begin() + shown, rows.end(),
                          [](const Row& a, const Row& b) {
                              if (a.rates != b.rates)
                                  return a.rates > b.rates;
                              return a.record->key < b.record->key;
                          });

        std::vector<std::vector<std::string>> table{heading};
        for (size_t r = 0; r < shown; ++r) {
            std::vector<std::string> line{std::to_string(rows[r].record->key)};
            for (size_t i = 0; i < counters; ++i) {
                line.push_back(std::to_string(rows[r].record->counters[i]));
                line.push_back(fmt::format("{:.1f}", rows[r].rates[i]));
            }
            table.push_back(line);
        }
        if (terminal)
            std::fputs("\x1b[H\x1b[2J", stdout);
        std::printf(
            "vesk watch '%s' (%s): %zu records (+%zu -%zu), writer %s, refresh %llu, "
            "%.2f s\n",
            o.table.c_str(), p.typeText().c_str(), now.records.size(), added, removed,
            p.writerText().c_str(), static_cast<unsigned long long>(refresh), seconds);
        printColumns(table);
        checkOutput();
        before = std::move(now);
    }
    return kOk;
}

}  // namespace

int runWatch(const WatchOptions& o) {
    TableProbe p = probeTable(o.table);
    if (!p.writerAlive) {
        throw ToolError(kTable, fmt::format("writer absent: table '{}' has no live writer ({}); "
                                            "its counters do not move (use vesk dump or vesk get)",
                                            o.table, p.writerText()));
    }
    const RecordFields fields(p.valueType);
    return withKind(p.kind, [&]<class Ops>() {
        auto reader = attachReader<Ops>(p);
        return watchTable(o, p, fields, [&] { return takeSnapshot(*reader, o.table, fields); });
    });
}

// ----- their command lines -----

void addLsCommand(ToolLine& line) {
    line.add("ls",
             "List every table under the root: record type, records, capacity, buckets, writer "
             "pid and whether it is alive, generation (cinder id)",
             [] { return runLs(); });
}

void addStatCommand(ToolLine& line) {
    CLI::App* stat =
        line.add("stat",
                 "Show a table's two file headers, its writer and the reader's view (counts, load, "
                 "re-maps, retries)",
                 [&line] { return runStat(line.table); });
    line.addTable(stat);
}

void addDumpCommand(ToolLine& line) {
    auto flags = std::make_shared<std::pair<bool, bool>>();  // --json, --table-order
    CLI::App* dump = line.add(
        "dump",
        "Print every record once, one per line (its key and fields, its strep with --strep, "
        "or JSON with --json), in the order of the slot file (the fast way) or in table order",
        [&line, flags] { return runDump(line.table, flags->first, flags->second); });
    line.addTable(dump);
    auto* json = dump->add_flag("--json", flags->first,
                                "One JSON object per record, with the record type's fields");
    line.addStrep(dump)->excludes(json);
    dump->add_flag("--table-order", flags->second,
                   "In table order (the order of first/next: bucket by bucket), a walk of the "
                   "hash chains, slower");
}

void addGetCommand(ToolLine& line) {
    struct Words {
        std::vector<std::string> keys;
        bool json = false;
    };
    auto w = std::make_shared<Words>();
    CLI::App* get = line.add("get",
                             "Print the records of the keys given; 'not found' for each missing "
                             "key (exit status 1 when any is missing)",
                             [&line, w] { return runGet(line.table, w->keys, w->json); });
    line.addTable(get);
    get->add_option("KEY", w->keys, "Counter index: decimal, or hexadecimal with 0x")->required();
    line.addStrep(get)->excludes(get->add_flag("--json", w->json, "One JSON object per record"));
}

void addWatchCommand(ToolLine& line) {
    struct Words {
        std::string interval = "1", top = "20", refreshes = "0";
    };
    auto w = std::make_shared<Words>();
    CLI::App* watch = line.add("watch",
                               "Refreshing view of the busiest counters with their rates per "
                               "second (plain lines when the output is not a terminal)",
                               [&line, w] {
                                   WatchOptions o;
                                   o.table = line.table;
                                   o.interval =
                                       parseDecimal(w->interval, "--interval", 0.01, 86400);
                                   o.top = parseCount(w->top, "--top", 1, 100000000);
                                   o.refreshes = parseCount(w->refreshes, "--count", 0, 1000000000);
                                   return runWatch(o);
                               });
    line.addTable(watch);
    watch->add_option("--interval", w->interval, "Seconds between refreshes (default 1)")
        ->type_name("S");
    watch->add_option("--top", w->top, "How many of the busiest records to show (default 20)")
        ->type_name("N");
    watch
        ->add_option("--count", w->refreshes, "Stop after N refreshes (default: until interrupted)")
        ->type_name("N");
}

}  // namespace VeskTool
