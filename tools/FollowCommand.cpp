// vesk follow: a shadow of a table (a copy kept current from the writer's change notifications),
// printing every change as it is applied. The first sync reports every record of the table; then
// each change the writer publishes follows in order, so the lines folded by key always give the
// shadow's copy. A record is printed as `vesk dump` prints it; a removed key as "KEY: removed"
// ({"key": KEY, "removed": true} with --json). With --keys-only the shadow keeps keys only and a
// changed key's record is read from the table when it is reported.
//
// About once a second a status line goes to stderr: the applied sequence, the lag behind the
// writer's latest sequence, the mount status, the queue when the shadow follows none, and the
// writer. Following ends on SIGINT, SIGTERM, a closed stdout, after --seconds, or once the writer
// stopped and every change it published was applied (status 0). A table whose writer does not
// publish changes (no --notify) is refused once the shadow attached and found no notification
// queue; a queue withdrawn by a writer (generation 0) when no writer runs any more ends following
// with status 3.
//
// With --wait, follow waits for a writer that publishes and follows it across its restarts (as
// `tail -F` follows a file): a table that does not exist yet, a writer that stopped, a queue that
// is missing or withdrawn only make it wait. Keys that a re-formatted table lost are printed as
// removed, then the new table's records follow. It ends on a signal, a closed stdout or
// --seconds.
#include "Commands.h"

#include "Numbers.h"
#include "Output.h"
#include "Pimbo/EventLoop.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"
#include "VeskMap/VeskMap.h"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace VeskTool {

namespace {

const char* mountStatusText(Vesk::MountStatus status) {
    switch (status) {
        case 0:
            return "not mounted";
        case 1:
            return "attached, first sync pending";
        case 2:
            return "synced";
        default:
            return "flushing";
    }
}

// The writer's pid from the front's "{owner}:{pid}"; 0 when no live writer owns the table.
uint64_t writerPid(const std::string& owner) {
    const size_t colon = owner.rfind(':');
    return colon == std::string::npos ? 0 : std::strtoull(owner.c_str() + colon + 1, nullptr, 10);
}

using Refusal = Vesk::Syncer::Reader::Refusal;

// The status line's words for a shadow that follows no queue ("" while it follows one).
const char* queueText(Refusal refusal) {
    switch (refusal) {
        case Refusal::none:
            return "";
        case Refusal::missing:
            return ", no notification queue";
        case Refusal::withdrawn:
            return ", notification queue withdrawn";
        case Refusal::unusable:
            break;
    }
    return ", notification queue unusable";
}

// --wait: the probe of the table once it exists and a live writer owns it; none when following
// ended first (a signal, --seconds counted from `start`).
std::optional<TableProbe> waitForWriter(const FollowOptions& o, double start) {
    for (double nextStatus = start;;) {
        std::string why;
        try {
            TableProbe p = probeTable(o.table);
            if (p.writerAlive)
                return p;
            why = "writer " + p.writerText();
        } catch (const ToolError& e) {
            why = e.what();
        }
        const double now = monotonicSeconds();
        if (o.seconds >= 0 && now - start >= o.seconds)
            return std::nullopt;
        if (now >= nextStatus) {
            nextStatus = now + 1.0;
            std::fprintf(stderr, "vesk follow '%s': waiting for a writer (%s)\n", o.table.c_str(),
                         why.c_str());
        }
        if (!sleepUnlessStopped(0.1))
            return std::nullopt;
    }
}

// A shadow of the table that prints every change it applies, and a status line about once a
// second.
template <class Ops>
class Follow {
  public:
    using Value = typename Ops::Value;
    using Key = typename Ops::Key;

    Follow(const FollowOptions& o, const TableProbe& p) : o_(o), map_(Ops{}, o.table) {
        if (o.json)
            fields_.emplace(p.valueType);
        map_.callbacks().onValue = [this](const Value& v) {
            ++changes_;
            printRecord(v);
        };
        // A key-only shadow answers a lookup of the key being reported with its record.
        map_.callbacks().onKey = [this](const Key& k) {
            ++changes_;
            bool found = false;
            Value v{};
            map_.interface().lookup(k, found, &v);
            if (found)
                printRecord(v);
            else
                printRemoved(k);
        };
        map_.callbacks().onKey2 = [this](const Key& k) {
            ++changes_;
            printRemoved(k);
        };
        map_.notifyingIs(true);
        Vesk::MapDescriptor d(1000, o.keysOnly ? Vesk::keyshadow : Vesk::shadow);
        d.notify = 1;
        d.shadowFlagBit2 = 1;  // the keys a flush (a re-formatted table) removes are printed
        map_.init(d);
    }

    int run(double start) {
        double nextStatus = monotonicSeconds() + 1.0;
        while (!stopRequested()) {
            Pimbo::eventLoop().poll(100);
            if (!out_.empty()) {
                writeOutput(out_);
                out_.clear();
            }
            // Attached to the table's files, but no queue to follow: the writer does not publish
            // (a writer that publishes makes its queue before the files are complete).
            const Vesk::MountStatus mount = map_.mountStatus();
            if (!o_.wait && (mount == 1 || mount == 2) && refusal() == Refusal::missing) {
                throw ToolError(kTable, fmt::format("table '{}' does not publish changes (its "
                                                    "writer was not started with --notify): {}",
                                                    o_.table, shadow()->syncer().lastFailure()));
            }
            const double now = monotonicSeconds();
            if (o_.seconds >= 0 && now - start >= o_.seconds)
                break;
            if (now < nextStatus)
                continue;
            nextStatus = now + 1.0;
            if (writerStopped())
                return kOk;
        }
        return kOk;
    }

  private:
    void printRecord(const Value& v) { appendRecordLine(out_, fields_, v); }
    void printRemoved(const Key& k) {
        out_ += fields_ ? fmt::format("{{\"key\": {}, \"removed\": true}}\n", k.value())
                        : fmt::format("{}: removed\n", k.value());
    }

    Vesk::VeskShadow<Ops>* shadow() {
        return dynamic_cast<Vesk::VeskShadow<Ops>*>(&map_.interface());
    }
    // Why the shadow follows no queue now (none while it follows one).
    Refusal refusal() {
        Vesk::VeskShadow<Ops>* s = shadow();
        return s != nullptr && !s->queue().attached() ? s->queue().refusal() : Refusal::none;
    }

    void printStatus(const std::string& writer) {
        const uint64_t applied = map_.sequence().sequence;
        Vesk::VeskShadow<Ops>* s = shadow();
        const std::optional<uint64_t> latest =
            s != nullptr ? s->queue().latestSequence() : std::nullopt;
        // None while the queue is not followed, or a new writer's queue starts below the
        // copy's sequence (until the resync that follows).
        const std::string lag =
            latest && *latest >= applied ? std::to_string(*latest - applied) : "-";
        const Vesk::MountStatus mount = map_.mountStatus();
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vesk follow '%s': applied sequence %llu, lag %s, mount status %u (%s)%s, "
                     "%llu changes, %u records, %s\n",
                     o_.table.c_str(), static_cast<unsigned long long>(applied), lag.c_str(),
                     unsigned(mount), mountStatusText(mount), queueText(refusal()),
                     static_cast<unsigned long long>(changes_), map_.interface().members(),
                     writer.c_str());
    }

    // The status line; then, when no writer runs (without --wait): true once every change it
    // published was applied, a throw when it never will be.
    bool writerStopped() {
        const uint64_t pid = writerPid(map_.owner());
        printStatus(pid != 0  ? fmt::format("writer pid {}", pid)
                    : o_.wait ? "writer stopped, waiting for a writer"
                              : "writer stopped");
        if (pid != 0 || o_.wait)
            return false;
        if (map_.mountStatus() == 2 && map_.quiesced()) {
            std::fprintf(stderr,
                         "vesk follow: table '%s': its writer stopped and every change it "
                         "published was applied\n",
                         o_.table.c_str());
            return true;
        }
        if (refusal() == Refusal::withdrawn) {
            throw ToolError(kTable,
                            fmt::format("queue withdrawn: the notification queue of table "
                                        "'{}' was withdrawn by a writer that did not start "
                                        "again, and no writer runs ({} changes applied): {}",
                                        o_.table, changes_, shadow()->syncer().lastFailure()));
        }
        if (map_.mountStatus() != 2) {
            throw ToolError(kTable, fmt::format("writer absent: the writer of table '{}' stopped "
                                                "before the shadow synced (mount status {})",
                                                o_.table, unsigned(map_.mountStatus())));
        }
        return false;
    }

    const FollowOptions& o_;
    std::optional<RecordFields> fields_;
    std::string out_;
    uint64_t changes_ = 0;
    Vesk::VeskMap<Ops> map_;
};

}  // namespace

int runFollow(const FollowOptions& o) {
    const double start = monotonicSeconds();
    stopOnSignals();
    for (;;) {
        std::optional<TableProbe> p = o.wait ? waitForWriter(o, start) : probeTable(o.table);
        if (!p)
            return kOk;
        if (!p->writerAlive) {
            throw ToolError(kTable, fmt::format("writer absent: table '{}' has no live writer "
                                                "({}); nothing changes it (use vesk dump)",
                                                o.table, p->writerText()));
        }
        const int rc = withKind(p->kind, [&]<class Ops>() {
            // The files as a plain reader finds them first: a table that cannot be read is
            // refused with the reader's reason before any shadow is mounted (with --wait: its
            // writer went meanwhile, wait for the next one).
            try {
                attachReader<Ops>(*p);
            } catch (const ToolError&) {
                if (!o.wait)
                    throw;
                return -1;
            }
            return Follow<Ops>(o, *p).run(start);
        });
        if (rc >= 0)
            return rc;
    }
}

void addFollowCommand(ToolLine& line) {
    struct Words {
        std::string seconds;
        bool keysOnly = false, json = false, wait = false;
    };
    auto w = std::make_shared<Words>();
    CLI::App* follow = line.add(
        "follow",
        "Keep a shadow of a table (a writer started with --notify) and print every record, "
        "then every change as it is applied (as dump prints them); a status line to "
        "stderr every second. Ends on SIGINT/SIGTERM, or once the writer stopped and all it "
        "published was applied",
        [&line, w] {
            FollowOptions o;
            o.table = line.table;
            o.keysOnly = w->keysOnly;
            o.json = w->json;
            o.seconds = w->seconds.empty() ? -1 : parseDecimal(w->seconds, "--seconds", 0, 1e8);
            o.wait = w->wait;
            return runFollow(o);
        });
    line.addTable(follow);
    follow->add_flag("--keys-only", w->keysOnly,
                     "A key-only shadow: records are read from the table when reported");
    line.addStrep(follow)->excludes(
        follow->add_flag("--json", w->json, "One JSON object per change"));
    follow->add_option("--seconds", w->seconds, "Stop after S seconds (default: until stopped)")
        ->type_name("S");
    follow->add_flag("--wait", w->wait,
                     "Wait for a writer that publishes and follow it across its restarts (as "
                     "tail -F does): end only on a signal or --seconds");
}

}  // namespace VeskTool
