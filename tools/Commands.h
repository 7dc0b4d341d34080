// The commands of the `vesk` tool. Each returns the process's exit status (ToolError.h) or
// throws ToolError; the table root (--root) is set before any of them runs.
#pragma once

#include "Plinth/RootPath.h"

#include <cstdint>
#include <string>
#include <vector>

namespace VeskTool {

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
