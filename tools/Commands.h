// The commands of the `vesk` tool. Each returns the process's exit status (ToolError.h) or
// throws ToolError; the table root (--root) is set before any of them runs.
//
// Each command adds itself to the command line from its own file (addFillCommand in
// FillCommand.cpp, ...): its subcommand, its options and what runs it once the line is parsed.
// main (vesk.cpp) only builds the line, asks each command in kCommands to add itself, parses
// and runs the one chosen.
#pragma once

#include "Plinth/RootPath.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace VeskTool {

// The tool's command line: the options every command takes, and the commands added to it.
class ToolLine {
  public:
    explicit ToolLine(CLI::App& app);

    struct Command {
        CLI::App* app;
        std::function<int()> run;  // called once the line is parsed and --root is in place
        bool rootIsTableRoot;      // false: the command reads --root itself (demo)
    };
    // Adds a subcommand with the options every command takes (--root with `rootHelp`,
    // --verbose) and the tool's footer; `run` runs it. The command's own options follow.
    CLI::App* add(const char* name, const char* description, std::function<int()> run,
                  const char* rootHelp = nullptr, bool rootIsTableRoot = true);
    // The TABLE argument of a command that names a table.
    void addTable(CLI::App* command, const char* help = "Table name, as it was filled");
    // --strep: each record as its strep (dump, get, follow).
    CLI::Option* addStrep(CLI::App* command);
    // The command the parse chose.
    const Command& chosen() const;

    std::string root;  // --root
    bool rootGiven = false;
    bool verbose = false;  // --verbose
    bool strep = false;    // --strep
    std::string table;     // TABLE, named in the messages of the library's errors

  private:
    void addCommon(CLI::App* command, const char* rootHelp);

    CLI::App& app_;
    std::vector<Command> commands_;
};

// The commands, each in its file; kCommands (vesk.cpp) lists them in the order of the help.
void addLsCommand(ToolLine& line);
void addStatCommand(ToolLine& line);
void addDumpCommand(ToolLine& line);
void addGetCommand(ToolLine& line);
void addWatchCommand(ToolLine& line);
void addFillCommand(ToolLine& line);
void addFollowCommand(ToolLine& line);
void addCheckCommand(ToolLine& line);
void addDemoCommand(ToolLine& line);
void addTypesCommand(ToolLine& line);
void addServeCommand(ToolLine& line);

int runLs();
int runStat(const std::string& table);
int runDump(const std::string& table, bool json, bool tableOrder);
int runGet(const std::string& table, const std::vector<std::string>& keys, bool json);

struct WatchOptions {
    std::string table;
    double interval = 1.0;
    uint64_t top = 20;
    uint64_t refreshes = 0;  // 0: until stopped
};
int runWatch(const WatchOptions& options);

struct FillOptions {
    std::string table;
    int kind = 0;            // position in kKindNames
    uint64_t count = 0;      // keys 0..count-1
    double rate = 0;         // updates per second; 0: none
    double seconds = -1;     // how long to keep the table; < 0: until stopped (with a rate)
    Mem::FileMode fileMode;  // of the table's files and directory (--mode, --group)
    bool notify = false;     // publish every change in the notification queue (--notify)
    uint64_t capacity = 0;   // records to preallocate slots and buckets for (--capacity); 0: none
};
int runFill(const FillOptions& options);

struct FollowOptions {
    std::string table;
    bool keysOnly = false;  // a key-only shadow (--keys-only)
    bool json = false;
    double seconds = -1;  // how long to follow; < 0: until stopped or the writer stops
    bool wait = false;    // wait for a writer that publishes, follow across restarts (--wait)
};
int runFollow(const FollowOptions& options);

int runCheck(const std::string& table);

struct ServeOptions {
    std::string listen = "127.0.0.1:9477";  // HOST:PORT; port 0 picks a free one
    std::string tables = "*";               // the tables served: a glob of their names
    uint64_t maxSeries = 50000;             // record series per scrape; beyond, per-table sums
    double scrapeSeconds = 5;               // tables not read by then are skipped
};
int runServe(const ServeOptions& options);

struct ListenAddress {
    std::string host;  // without the brackets of an IPv6 address
    int port = 0;
};
// "127.0.0.1:9477", "[::1]:0"; throws ToolError(kUsage) for anything else.
ListenAddress parseListen(const std::string& text);

// The registered module descriptions, as decoded from their bytes.
int runTypes(bool json);

struct DemoOptions {
    std::string parent = "/dev/shm";  // where the private root is made
    uint64_t count = 100000;          // records per table
    double seconds = 10;              // how long the readers run
    int readers = 2;                  // reader processes
    uint64_t seed = 0;                // of the readers' random keys; 0: from the clock
};
int runDemo(const DemoOptions& options);

}  // namespace VeskTool
