// vesk: list, inspect, watch, follow, check and fill the counter tables of this host.
//
//   vesk ls                          every table under the root
//   vesk stat TABLE                  headers, writer, the reader's view and the notification
//                                    queue (when the table has one) of one table
//   vesk dump TABLE [--json|--strep] [--table-order]
//                                    every record, in slot order (or in table order): one
//                                    line each, "7: packets=12 octets=1500" (or JSON, or the
//                                    strep)
//   vesk get TABLE KEY... [--json|--strep]
//                                    the records of some keys
//   vesk watch TABLE                 the busiest counters with their rates, refreshed
//   vesk fill TABLE --type T --count N [--updates-per-sec R] [--seconds S] [--notify]
//             [--capacity C]         a writer standing in for a hardware source; --notify
//                                    publishes every change in the notification queue;
//                                    --capacity formats a new table for C records at once
//   vesk follow TABLE [--keys-only] [--json|--strep]
//                                    a shadow of a table: every record, then every change
//                                    the writer publishes (fill --notify), as it is applied
//   vesk check TABLE                 a read-only consistency walk
//   vesk demo                        one writer and several readers, live, then a summary
//   vesk types [--json]              the record and table types the library registered
//   vesk serve [--listen HOST:PORT] [--tables GLOB] [--max-series N] [--scrape-timeout S]
//                                    the tables as Prometheus metrics, over HTTP (/metrics)
//
// Every command takes --root DIR (the table root; default /dev/shm/vesk) and --help. Errors go
// to stderr as one line, "vesk COMMAND: problem: details"; the exit statuses are in
// ToolError.h. Output that cannot be written ends a command with status 4 and a message; a
// closed pipe (`vesk dump t | head`) ends it quietly with status 0 (Output.h). A table file cut
// short under the tool ends it with status 3 and "... shrank under the reader" (Signals.h).
#include "Commands.h"
#include "Numbers.h"
#include "Output.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <grp.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace VeskTool;

// Errors are one line, whatever the message held.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int report(const std::string& command, const std::string& message, int status) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", command.c_str(), oneLine(message).c_str());
    return status;
}

// --mode and --group of fill: octal permission bits and a group name.
Mem::FileMode parseFileMode(const std::string& mode, const std::string& group) {
    Mem::FileMode m;
    if (!mode.empty()) {
        size_t used = 0;
        unsigned long bits = 0;
        try {
            bits = std::stoul(mode, &used, 8);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != mode.size() || mode.front() == '-' || mode.front() == '+' || bits > 07777) {
            throw ToolError(kUsage, fmt::format("bad mode '{}' for --mode: want octal permission "
                                                "bits such as 0640",
                                                mode));
        }
        m.mode = unsigned(bits);
        try {
            m.check();
        } catch (const Pimbo::Exception& e) {
            throw ToolError(kUsage, fmt::format("bad mode '{}' for --mode: {}", mode, e.msg()));
        }
    }
    if (!group.empty()) {
        const struct group* g = ::getgrnam(group.c_str());
        if (g == nullptr)
            throw ToolError(kUsage, fmt::format("no such group '{}' for --group", group));
        m.group = int64_t(g->gr_gid);
    }
    return m;
}

// Edits (insertions, removals, substitutions) that turn `a` into `b`.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The option of `command` that `typed` (without its dashes) was most likely meant to be: one a
// third of its letters away at most, or one it begins; "" when none is that close.
std::string closestOption(const CLI::App& command, const std::string& typed) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, typed.size() / 3) + 1;
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            const size_t d =
                typed.size() >= 3 && name.starts_with(typed) ? 1 : editDistance(typed, name);
            if (d < bestDistance) {
                bestDistance = d;
                best = "--" + name;
            }
        }
    }
    return best;
}

// The first word of the command line that its command does not take: an unknown option (with
// the known one it is closest to) or an argument too many; "" when every word has its place.
// Looked for before the parse, so that a mistyped option is named instead of a required one
// it left out ("--cout 10" is not "--count is required").
// `command` becomes the command's name ("vesk fill") once it is known.
std::string strayWord(const CLI::App& app, int argc, char** argv, std::string& command) {
    const CLI::App* at = &app;
    int positionals = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            break;
        const bool option = word.size() > 1 && word[0] == '-' && !std::isdigit(word[1]);
        if (!option && at == &app) {
            std::vector<std::string> names;
            for (const CLI::App* sub : app.get_subcommands({})) {
                names.push_back(sub->get_name());
                at = names.back() == word ? sub : at;
            }
            if (at == &app) {
                const std::string last = names.back();
                names.pop_back();
                return fmt::format("unknown command '{}': want {} or {} (see vesk --help)", word,
                                   fmt::join(names, ", "), last);
            }
            command = "vesk " + word;
            continue;
        }
        const std::string see = " (see " + command + " --help)";
        if (!option) {
            int room = 0;
            for (const CLI::Option* o : at->get_options())
                room += o->get_positional() ? o->get_items_expected_max() : 0;
            if (++positionals > room)
                return fmt::format("unexpected argument '{}'", word) + see;
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const CLI::Option* known = at->get_option_no_throw(name);
        if (known == nullptr) {
            const size_t letters = name.find_first_not_of('-');
            const std::string closest =
                letters == std::string::npos ? "" : closestOption(*at, name.substr(letters));
            return fmt::format(
                       "unknown option '{}'{}", name,
                       closest.empty() ? "" : fmt::format("; did you mean '{}'?", closest)) +
                   see;
        }
        // An option's value is the next word, unless it came after '='.
        if (known->get_items_expected_max() > 0 && equals == std::string::npos)
            ++i;
    }
    return "";
}

constexpr const char* kStatuses =
    "Exit status: 0 success; 1 a key not found (get), a fault found (check, or the final\n"
    "validation of fill), a bad record (demo); 2 a bad command line (unknown option, bad number,\n"
    "bad table name); 3 a table that cannot be used (no such table, not a table, permission\n"
    "denied, writer absent, wrong record type, a file that shrank under the reader, a table\n"
    "whose writer does not publish its changes (follow)); 4 the\n"
    "output cannot be written. A closed output pipe ends a command quietly with status 0.";

}  // namespace

int main(int argc, char** argv) {
    Pimbo::Platform::allLevelMasksIs(0);

    CLI::App app{
        "vesk: list, inspect, watch, follow, check and fill the shared-memory counter tables "
        "of this host.",
        "vesk"};
    app.footer(kStatuses);
    app.require_subcommand(1);

    std::string root;
    bool rootGiven = false;
    bool verbose = false;
    auto common = [&](CLI::App* command,
                      const char* rootHelp = "Table root directory (default /dev/shm/vesk)") {
        command->add_option("--root", root, rootHelp)
            ->type_name("DIR")
            ->each([&](const std::string&) { rootGiven = true; });
        command->add_flag("--verbose", verbose, "Print the library's traces (levels 0-2)");
        command->footer(kStatuses);
    };
    common(&app);

    std::string table;
    bool json = false;
    std::vector<std::string> keys;
    std::string interval = "1", top = "20", refreshes = "0";
    std::string type, count, rate = "0", seconds, readers = "2", capacity = "0";

    CLI::App* ls = app.add_subcommand(
        "ls",
        "List every table under the root: record type, records, capacity, buckets, writer "
        "pid and whether it is alive, generation (cinder id)");
    common(ls);

    CLI::App* stat = app.add_subcommand(
        "stat",
        "Show a table's two file headers, its writer and the reader's view (counts, load, "
        "re-maps, retries)");
    common(stat);
    stat->add_option("TABLE", table, "Table name, as it was filled")->required();

    CLI::App* dump = app.add_subcommand(
        "dump",
        "Print every record once, one per line (its key and fields, its strep with --strep, "
        "or JSON with --json), in the order of the slot file (the fast way) or in table order");
    common(dump);
    dump->add_option("TABLE", table, "Table name, as it was filled")->required();
    auto* dumpJson =
        dump->add_flag("--json", json, "One JSON object per record, with the record type's fields");
    bool strep = false;
    const char* strepHelp =
        "Each record as its strep, the runtime's text form: "
        "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** {'key': 7, ...})";
    dump->add_flag("--strep", strep, strepHelp)->excludes(dumpJson);
    bool tableOrder = false;
    dump->add_flag("--table-order", tableOrder,
                   "In table order (the order of first/next: bucket by bucket), a walk of the "
                   "hash chains, slower");

    CLI::App* get = app.add_subcommand(
        "get",
        "Print the records of the keys given; 'not found' for each missing key (exit "
        "status 1 when any is missing)");
    common(get);
    get->add_option("TABLE", table, "Table name, as it was filled")->required();
    get->add_option("KEY", keys, "Counter index: decimal, or hexadecimal with 0x")->required();
    get->add_flag("--strep", strep, strepHelp)
        ->excludes(get->add_flag("--json", json, "One JSON object per record"));

    CLI::App* watch = app.add_subcommand(
        "watch",
        "Refreshing view of the busiest counters with their rates per second (plain "
        "lines when the output is not a terminal)");
    common(watch);
    watch->add_option("TABLE", table, "Table name, as it was filled")->required();
    watch->add_option("--interval", interval, "Seconds between refreshes (default 1)")
        ->type_name("S");
    watch->add_option("--top", top, "How many of the busiest records to show (default 20)")
        ->type_name("N");
    watch->add_option("--count", refreshes, "Stop after N refreshes (default: until interrupted)")
        ->type_name("N");

    CLI::App* fill = app.add_subcommand(
        "fill",
        "Be the writer of a table, as a hardware source would: create it, write keys 0 "
        "to N-1, then (with a rate) keep incrementing them until the time is up or "
        "SIGINT/SIGTERM, which detach cleanly");
    common(fill);
    fill->add_option("TABLE", table, "Table name")->required();
    fill->add_option("--type", type, "Record type: simple, normal, wide or bitmap64")
        ->type_name("TYPE")
        ->required();
    fill->add_option("--count", count, "Number of counters (keys 0 to N-1)")
        ->type_name("N")
        ->required();
    fill->add_option("--updates-per-sec", rate, "Updates per second after the fill (default 0)")
        ->type_name("R");
    fill->add_option("--seconds", seconds,
                     "How long to keep the table after the fill (default: until stopped when "
                     "updating, else exit at once)")
        ->type_name("S");
    std::string mode, group;
    fill->add_option("--mode", mode,
                     "Permission bits of the table's files, in octal (default 0644); its "
                     "directory follows (0640 gives 0750)")
        ->type_name("MODE");
    fill->add_option("--group", group, "Group of the table's files and directory")
        ->type_name("NAME");
    bool notify = false;
    fill->add_flag("--notify", notify,
                   "Publish every change in the table's notification queue, for followers");
    fill->add_option("--capacity", capacity,
                     "Records to preallocate for: a new table starts with this many slots and "
                     "matching buckets, so the fill never grows its files (an existing table "
                     "keeps its size)")
        ->type_name("C");

    CLI::App* follow = app.add_subcommand(
        "follow",
        "Keep a shadow of a table (a writer started with --notify) and print every record, "
        "then every change as it is applied (as dump prints them); a status line to "
        "stderr every second. Ends on SIGINT/SIGTERM, or once the writer stopped and all it "
        "published was applied");
    common(follow);
    follow->add_option("TABLE", table, "Table name, as it was filled")->required();
    bool keysOnly = false;
    follow->add_flag("--keys-only", keysOnly,
                     "A key-only shadow: records are read from the table when reported");
    follow->add_flag("--strep", strep, strepHelp)
        ->excludes(follow->add_flag("--json", json, "One JSON object per change"));
    follow->add_option("--seconds", seconds, "Stop after S seconds (default: until stopped)")
        ->type_name("S");
    bool wait = false;
    follow->add_flag("--wait", wait,
                     "Wait for a writer that publishes and follow it across its restarts (as "
                     "tail -F does): end only on a signal or --seconds");

    CLI::App* check = app.add_subcommand(
        "check",
        "Read-only consistency walk of a table (chains, free list, counts) beside a "
        "running writer; exit status 1 on a fault");
    common(check);
    check->add_option("TABLE", table, "Table name, as it was filled")->required();

    CLI::App* demo = app.add_subcommand(
        "demo",
        "One writer process fills a table of each record type and keeps updating them "
        "while reader processes look them up and walk them and a shadow process follows "
        "every change; then a summary. Uses a private root made under --root (default "
        "/dev/shm), removed at the end");
    common(demo, "Directory in which the demo makes its private root (default /dev/shm)");
    demo->add_option("--seconds", seconds, "How long the readers run (default 10)")->type_name("S");
    demo->add_option("--count", count, "Records per table (default 100000)")->type_name("N");
    demo->add_option("--readers", readers, "Reader processes (default 2)")->type_name("N");
    std::string seed;
    demo->add_option("--seed", seed, "Seed of the readers' random keys (default: from the clock)")
        ->type_name("N");

    CLI::App* types = app.add_subcommand(
        "types",
        "Print the types the library registered with the runtime, decoded from its module "
        "description: kind, size, parent, constructor argument and attributes");
    common(types);
    types->add_flag("--json", json, "One JSON object per type");

    CLI::App* serve = app.add_subcommand(
        "serve",
        "Serve every table under the root at /metrics over HTTP, for Prometheus: one series per "
        "record field per key, and per table its size, writer and reader figures (the text "
        "format 0.0.4, or OpenMetrics 1.0.0 when the scraper asks for it). Ends on "
        "SIGINT/SIGTERM");
    common(serve);
    std::string listen = "127.0.0.1:9477", tablesGlob = "*", maxSeries = "50000",
                scrapeTimeout = "5";
    serve
        ->add_option("--listen", listen,
                     "Address and port to listen on (default 127.0.0.1:9477, this host only; "
                     "port 0 picks a free one, printed on stdout)")
        ->type_name("HOST:PORT");
    serve->add_option("--tables", tablesGlob, "Serve only the tables whose names match (default *)")
        ->type_name("GLOB");
    serve
        ->add_option("--max-series", maxSeries,
                     "Record series per scrape (default 50000); a table that would pass the "
                     "limit is given as one sum per counter field, and vesk_series_dropped says "
                     "how many series that left out")
        ->type_name("N");
    serve
        ->add_option("--scrape-timeout", scrapeTimeout,
                     "Seconds a scrape may spend reading tables (default 5); the rest are "
                     "counted in vesk_scrape_tables_skipped")
        ->type_name("S");

    std::string command = "vesk";
    ignoreSigpipe();
    try {
        if (argc < 2) {
            throw ToolError(kUsage,
                            "a command is required: ls, stat, dump, get, watch, fill, "
                            "follow, check, demo, types or serve (see vesk --help)");
        }
        const std::string stray = strayWord(app, argc, argv, command);
        if (!stray.empty())
            throw ToolError(kUsage, stray);
        try {
            app.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            // The help of the command that asked for it ("vesk get ..."), checked as any output.
            writeOutput(app.help());
            return kOk;
        } catch (const CLI::ParseError& e) {
            const auto parsed = app.get_subcommands();
            if (!parsed.empty())
                command = "vesk " + parsed.front()->get_name();
            throw ToolError(kUsage, fmt::format("{} (see {} --help)", e.what(), command));
        }
        const CLI::App* chosen = app.get_subcommands().front();
        command = "vesk " + chosen->get_name();
        if (verbose)
            Pimbo::Platform::allLevelMasksIs(0x0007);
        if (strep)
            recordTextIs(RecordText::strep);
        if (rootGiven && root.empty())
            throw ToolError(kUsage, fmt::format("bad --root '': a directory is required (see {} "
                                                "--help)",
                                                command));
        if (!root.empty() && chosen != demo)
            Mem::RootPath::rootIs(root);
        reportShrunkFiles(command.c_str());
        auto run = [&]() -> int {
            if (chosen == ls)
                return runLs();
            if (chosen == stat)
                return runStat(table);
            if (chosen == dump)
                return runDump(table, json, tableOrder);
            if (chosen == get)
                return runGet(table, keys, json);
            if (chosen == watch) {
                WatchOptions o;
                o.table = table;
                o.interval = parseDecimal(interval, "--interval", 0.01, 86400);
                o.top = parseCount(top, "--top", 1, 100000000);
                o.refreshes = parseCount(refreshes, "--count", 0, 1000000000);
                return runWatch(o);
            }
            if (chosen == fill) {
                FillOptions o;
                o.table = table;
                o.kind = kindByName(type);
                if (o.kind < 0) {
                    throw ToolError(kUsage, fmt::format("wrong record type '{}' for --type: want "
                                                        "simple, normal, wide or bitmap64",
                                                        type));
                }
                o.count = parseCount(count, "--count", 1, 100000000);
                o.rate = parseDecimal(rate, "--updates-per-sec", 0, 1e9);
                o.seconds = seconds.empty() ? -1 : parseDecimal(seconds, "--seconds", 0, 1e8);
                if (!mode.empty() || !group.empty())
                    o.fileMode = parseFileMode(mode, group);
                o.notify = notify;
                o.capacity = parseCount(capacity, "--capacity", 0, 0xFFFFFFFF);
                return runFill(o);
            }
            if (chosen == follow) {
                FollowOptions o;
                o.table = table;
                o.keysOnly = keysOnly;
                o.json = json;
                o.seconds = seconds.empty() ? -1 : parseDecimal(seconds, "--seconds", 0, 1e8);
                o.wait = wait;
                return runFollow(o);
            }
            if (chosen == check)
                return runCheck(table);
            if (chosen == demo) {
                DemoOptions o;
                if (!root.empty())
                    o.parent = root;
                if (!seconds.empty())
                    o.seconds = parseDecimal(seconds, "--seconds", 0.1, 86400);
                if (!count.empty())
                    o.count = parseCount(count, "--count", 1, 10000000);
                o.readers = int(parseCount(readers, "--readers", 1, 8));
                if (!seed.empty())
                    o.seed = parseCount(seed, "--seed", 0, UINT64_MAX);
                return runDemo(o);
            }
            if (chosen == types)
                return runTypes(json);
            if (chosen == serve) {
                ServeOptions o;
                o.listen = listen;
                o.tables = tablesGlob;
                o.maxSeries = parseCount(maxSeries, "--max-series", 0, 100000000);
                o.scrapeSeconds = parseDecimal(scrapeTimeout, "--scrape-timeout", 0.1, 3600);
                return runServe(o);
            }
            throw ToolError(kUsage, "unknown command (see vesk --help)");
        };
        const int status = run();
        checkOutput();
        return status;
    } catch (const OutputClosed&) {
        return kOk;
    } catch (const ToolError& e) {
        return report(command, e.what(), e.status());
    } catch (const Pimbo::Exception& e) {
        // The library's message names what it found; the table is named here.
        return report(command,
                      table.empty() ? e.msg() : fmt::format("table '{}': {}", table, e.msg()),
                      kTable);
    } catch (const std::exception& e) {
        return report(command, e.what(), kTable);
    }
}
