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
#include "Output.h"
#include "Pimbo/Debug.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "RecordFields.h"
#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
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

// The commands in the order of the help.
constexpr void (*kCommands[])(ToolLine&) = {
    addLsCommand,    addStatCommand,  addDumpCommand,   addGetCommand,
    addWatchCommand, addFillCommand,  addFollowCommand, addCheckCommand,
    addDemoCommand,  addTypesCommand, addServeCommand,
};

// Parses the command line; false when it asked for help, which is printed. `command` becomes
// the chosen command's name ("vesk fill") once it is known.
bool parseLine(CLI::App& app, int argc, char** argv, std::string& command) {
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
        return false;
    } catch (const CLI::ParseError& e) {
        const auto parsed = app.get_subcommands();
        if (!parsed.empty())
            command = "vesk " + parsed.front()->get_name();
        throw ToolError(kUsage, fmt::format("{} (see {} --help)", e.what(), command));
    }
    command = "vesk " + app.get_subcommands().front()->get_name();
    return true;
}

// The options every command takes come into effect: the traces, the records' text and the
// table root.
void applyCommon(const ToolLine& line, const std::string& command) {
    if (line.verbose)
        Pimbo::Platform::allLevelMasksIs(0x0007);
    if (line.strep)
        recordTextIs(RecordText::strep);
    if (line.rootGiven && line.root.empty())
        throw ToolError(kUsage, fmt::format("bad --root '': a directory is required (see {} "
                                            "--help)",
                                            command));
    if (!line.root.empty() && line.chosen().rootIsTableRoot)
        Mem::RootPath::rootIs(line.root);
    reportShrunkFiles(command.c_str());
}

}  // namespace

namespace VeskTool {

ToolLine::ToolLine(CLI::App& app) : app_(app) {
    addCommon(&app, nullptr);
}

void ToolLine::addCommon(CLI::App* command, const char* rootHelp) {
    command
        ->add_option(
            "--root", root,
            rootHelp != nullptr ? rootHelp : "Table root directory (default /dev/shm/vesk)")
        ->type_name("DIR")
        ->each([this](const std::string&) { rootGiven = true; });
    command->add_flag("--verbose", verbose, "Print the library's traces (levels 0-2)");
    command->footer(kStatuses);
}

CLI::App* ToolLine::add(const char* name, const char* description, std::function<int()> run,
                        const char* rootHelp, bool rootIsTableRoot) {
    CLI::App* command = app_.add_subcommand(name, description);
    addCommon(command, rootHelp);
    commands_.push_back(Command{command, std::move(run), rootIsTableRoot});
    return command;
}

void ToolLine::addTable(CLI::App* command, const char* help) {
    command->add_option("TABLE", table, help)->required();
}

CLI::Option* ToolLine::addStrep(CLI::App* command) {
    return command->add_flag("--strep", strep,
                             "Each record as its strep, the runtime's text form: "
                             "Value('DravoCounters::FlexCounters2::CounterEntrySimple', ** "
                             "{'key': 7, ...})");
}

const ToolLine::Command& ToolLine::chosen() const {
    const CLI::App* parsed = app_.get_subcommands().front();
    for (const Command& c : commands_) {
        if (c.app == parsed)
            return c;
    }
    throw ToolError(kUsage, "unknown command (see vesk --help)");
}

}  // namespace VeskTool

int main(int argc, char** argv) {
    Pimbo::Platform::allLevelMasksIs(0);

    CLI::App app{
        "vesk: list, inspect, watch, follow, check and fill the shared-memory counter tables "
        "of this host.",
        "vesk"};
    app.footer(kStatuses);
    app.require_subcommand(1);
    ToolLine line(app);
    for (const auto addCommand : kCommands)
        addCommand(line);

    std::string command = "vesk";
    ignoreSigpipe();
    try {
        if (!parseLine(app, argc, argv, command))
            return kOk;
        applyCommon(line, command);
        const int status = line.chosen().run();
        checkOutput();
        return status;
    } catch (const OutputClosed&) {
        return kOk;
    } catch (const ToolError& e) {
        return report(command, e.what(), e.status());
    } catch (const Pimbo::Exception& e) {
        // The library's message names what it found; the table is named here.
        return report(
            command,
            line.table.empty() ? e.msg() : fmt::format("table '{}': {}", line.table, e.msg()),
            kTable);
    } catch (const std::exception& e) {
        return report(command, e.what(), kTable);
    }
}
