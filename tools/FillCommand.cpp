// vesk fill: a writer that stands in for a hardware source. It creates (or takes over) the
// table, writes keys 0..N-1 at generation 0, then, with a rate, makes round-robin updates:
// update j moves key j % N to generation j / N + 1 (RecordKinds.h), so every counter only
// grows and the final contents follow from the number of updates it reports.
//
// SIGINT and SIGTERM are seen between two writes: the writer validates its files, detaches
// (the owner file forgets it, the lock goes) and leaves the files for readers and for the next
// writer.
#include "Commands.h"

#include "Numbers.h"
#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "ToolError.h"
#include "Vesk/VeskWriter.h"
#include "VeskMap/Sentry.h"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace VeskTool {

namespace {

// The directory holds an entry other than "." and "..".
bool holdsEntries(const Mem::TableDir& dir) {
    Pimbo::Fd copy(::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = copy ? ::fdopendir(copy.get()) : nullptr;
    if (d == nullptr)
        return false;
    copy.release();  // closedir closes it
    bool any = false;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    }
    ::closedir(d);
    return any;
}

// Refuses what the writer must not touch: another kind of table, a table with a live writer, a
// directory that is not a table, a table inside another table (`vesk ls` would not list it), a
// place this user may not write. Everything is looked at through Mem::TableDir; a slot file
// shorter than its header (a writer stopped by a full file system or a kill before it sized
// the file) is no refusal: the writer re-formats it.
void checkFillTarget(const FillOptions& o) {
    checkTableName(o.table);
    Mem::FileError error;
    for (size_t slash = o.table.find('/'); slash != std::string::npos;
         slash = o.table.find('/', slash + 1)) {
        const std::string above = o.table.substr(0, slash);
        const Mem::TableDir dir = Mem::TableDir::open(Mem::RootPath(toolHandler(), above, false),
                                                      Mem::TableDir::Access::reader, error);
        if (dir.valid() && isTableDirectory(dir)) {
            throw ToolError(kTable, fmt::format("not a table: '{}' is a table, which cannot hold "
                                                "the table '{}'",
                                                above, o.table));
        }
    }
    const Mem::RootPath rootPath(toolHandler(), o.table, false);
    const Mem::TableDir dir =
        Mem::TableDir::open(rootPath, Mem::TableDir::Access::writerExisting, error);
    if (!dir.valid()) {
        if (error.errnum == ENOENT)
            return;  // the writer creates what is missing
        throwFileError(o.table, error);
    }
    struct stat st {};
    if (dir.statEntry("slots", st) && S_ISREG(st.st_mode) &&
        uint64_t(st.st_size) >= sizeof(Vesk::SlotTableHeader)) {
        const TableProbe p = probeTable(o.table);
        if (p.kind != o.kind) {
            throw ToolError(kTable, fmt::format("wrong record type: table '{}' holds {} records, "
                                                "not {} (fill it with --type {}, or name another "
                                                "table)",
                                                o.table, p.typeText(), kKindNames[size_t(o.kind)],
                                                p.typeText()));
        }
        if (p.writerAlive) {
            throw ToolError(kTable, fmt::format("table '{}' already has a live writer ({}); a "
                                                "table has one writer at a time",
                                                o.table, p.writerText()));
        }
    } else if (!isTableDirectory(dir) && holdsEntries(dir)) {
        throw ToolError(kTable, fmt::format("not a table: {} exists and holds other files; "
                                            "vesk fill makes tables only in new or empty "
                                            "directories",
                                            dir.path()));
    }
    if (::faccessat(dir.fd(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        throw ToolError(kTable, fmt::format("{}cannot write in {}: {}",
                                            errno == EACCES ? "permission denied: " : "",
                                            dir.path(), std::strerror(errno)));
    }
}

// A writer made for `o`, initialized; the reasons it could not be made name the table.
template <class Ops>
void makeWriter(const FillOptions& o, std::optional<Vesk::VeskWriter<Ops>>& made) {
    Vesk::MapDescriptor descriptor(uint32_t(std::max<uint64_t>(o.count, 64)));
    descriptor.fileMode = o.fileMode;
    descriptor.notify = o.notify;
    descriptor.capacityHint = uint32_t(o.capacity);
    try {
        // A refused capacity throws from the constructor.
        made.emplace(toolHandler(), o.table, descriptor, Ops{}, Kind<Ops>::kTableClass);
        made->initialize("vesk fill");
    } catch (const Pimbo::Exception& e) {
        const bool denied = e.msg().find("Permission denied") != std::string::npos;
        throw ToolError(kTable, fmt::format("{}cannot create table '{}': {}",
                                            denied ? "permission denied: " : "", o.table, e.msg()));
    }
}

// One fill: the table's keys 0..N-1 written, then the updates, until the time is up, a signal
// or the loss of the table's files; then the files validated and the writer detached.
template <class Ops>
class Fill {
  public:
    using K = Kind<Ops>;

    Fill(const FillOptions& o, Vesk::VeskWriter<Ops>& writer)
        : o_(o), writer_(writer), sentry_(toolHandler(), writer) {}

    int run() {
        try {
            dropExtraKeys();
            if (!writeKeys())
                return finish(fmt::format("stopped by {} while filling", stopSignalName()).c_str());
            started_ = monotonicSeconds();
            const double deadline =
                o_.seconds >= 0 ? started_ + o_.seconds : std::numeric_limits<double>::infinity();
            if (o_.rate > 0) {
                update(deadline);
            } else if (o_.seconds > 0) {
                while (!filesLost() && monotonicSeconds() < deadline &&
                       sleepUnlessStopped(std::min(0.05, deadline - monotonicSeconds()))) {
                }
            }
        } catch (const Pimbo::Exception& e) {
            writer_.detach(false);
            throw ToolError(kTable, fmt::format("writing table '{}' failed after {} records and {} "
                                                "updates: {}",
                                                o_.table, written_, updates_, e.msg()));
        }
        if (!sentry_.lostFiles().empty()) {
            writer_.detach(false);
            throw ToolError(kTable, fmt::format("table '{}' was taken away under its writer ({} is "
                                                "gone) after {} records and {} updates; writer "
                                                "detached",
                                                o_.table, sentry_.lostFiles(), written_, updates_));
        }
        if (stopRequested())
            return finish(fmt::format("stopped by {}", stopSignalName()).c_str());
        return finish("done");
    }

  private:
    // The writer's sentry: a table directory (or file) removed under the writer ends the fill,
    // instead of writing on into deleted files while a new writer may own the re-created table.
    bool filesLost() {
        Pimbo::eventLoop().poll(0);
        return !sentry_.lostFiles().empty();
    }

    // Records of an earlier, larger fill go: the table then holds exactly keys 0..N-1.
    void dropExtraKeys() {
        std::vector<CounterIndex> extra;
        typename Ops::Value v{};
        Vesk::IterHint hint;
        for (bool more = writer_.first(v, hint); more; more = writer_.next(Ops::key(v), v, hint)) {
            if (Ops::key(v).value() >= o_.count)
                extra.push_back(Ops::key(v));
        }
        for (const CounterIndex& key : extra)
            writer_.remove(key, v);
    }

    // Keys 0..N-1 at generation 0, then the line that says the table is ready; false when a
    // signal stopped it.
    bool writeKeys() {
        for (uint64_t k = 0; k < o_.count; ++k) {
            writer_.write(K::make(k, 0), true);
            ++written_;
            if ((k & 4095) == 0 && stopRequested())
                return false;
            if ((k & 4095) == 0 && filesLost())
                break;
        }
        if (!filesLost())
            std::printf("vesk fill: table '%s' ready: %llu %s records in %s, writer pid %d\n",
                        o_.table.c_str(), static_cast<unsigned long long>(o_.count), K::kName,
                        writer_.rootPath().directory().c_str(), int(::getpid()));
        std::fflush(stdout);
        return true;
    }

    // Paced: by time t the writer has made rate * t updates, in bursts every 10 ms.
    void update(double deadline) {
        while (!stopRequested() && !filesLost() && monotonicSeconds() < deadline) {
            const double now = monotonicSeconds();
            const uint64_t due = uint64_t(std::floor((now - started_) * o_.rate));
            while (updates_ < due) {
                writer_.write(K::make(updates_ % o_.count, updates_ / o_.count + 1), true);
                ++updates_;
                if ((updates_ & 1023) == 0 && (stopRequested() || monotonicSeconds() >= deadline))
                    break;
            }
            sleepUnlessStopped(std::min(0.01, std::max(0.0, deadline - monotonicSeconds())));
        }
    }

    int finish(const char* how) {
        const double seconds = monotonicSeconds() - started_;
        const bool valid = writer_.validate(writer_.cinderId(), true);
        const std::string failure = valid ? "" : writer_.lastValidationFailure();
        writer_.detach(false);
        std::printf(
            "vesk fill: table '%s' %s after %.2f s: %llu records, %llu updates (%.1f/s); %s\n",
            o_.table.c_str(), how, seconds, static_cast<unsigned long long>(o_.count),
            static_cast<unsigned long long>(updates_),
            seconds > 0 ? double(updates_) / seconds : 0.0,
            valid ? "files valid, writer detached" : "files DO NOT VALIDATE, writer detached");
        std::fflush(stdout);
        if (!valid) {
            throw ToolError(kFound,
                            fmt::format("table '{}' does not validate: {}", o_.table, failure));
        }
        return int(kOk);
    }

    const FillOptions& o_;
    Vesk::VeskWriter<Ops>& writer_;
    Mem::WriterSentry sentry_;
    uint64_t written_ = 0;
    uint64_t updates_ = 0;
    double started_ = monotonicSeconds();
};

template <class Ops>
int fillWith(const FillOptions& o) {
    std::optional<Vesk::VeskWriter<Ops>> writer;
    makeWriter<Ops>(o, writer);
    return Fill<Ops>(o, *writer).run();
}

// --mode and --group: octal permission bits and a group name.
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

// The words of fill's options, checked once the line is parsed.
struct FillWords {
    std::string type, count, rate = "0", seconds, mode, group, capacity = "0";
    bool notify = false;

    FillOptions options(const std::string& table) const {
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
        return o;
    }
};

}  // namespace

int runFill(const FillOptions& o) {
    checkFillTarget(o);
    stopOnSignals();
    return withKind(o.kind, [&]<class Ops>() { return fillWith<Ops>(o); });
}

void addFillCommand(ToolLine& line) {
    auto w = std::make_shared<FillWords>();
    CLI::App* fill =
        line.add("fill",
                 "Be the writer of a table, as a hardware source would: create it, write keys 0 "
                 "to N-1, then (with a rate) keep incrementing them until the time is up or "
                 "SIGINT/SIGTERM, which detach cleanly",
                 [&line, w] { return runFill(w->options(line.table)); });
    line.addTable(fill, "Table name");
    fill->add_option("--type", w->type, "Record type: simple, normal, wide or bitmap64")
        ->type_name("TYPE")
        ->required();
    fill->add_option("--count", w->count, "Number of counters (keys 0 to N-1)")
        ->type_name("N")
        ->required();
    fill->add_option("--updates-per-sec", w->rate, "Updates per second after the fill (default 0)")
        ->type_name("R");
    fill->add_option("--seconds", w->seconds,
                     "How long to keep the table after the fill (default: until stopped when "
                     "updating, else exit at once)")
        ->type_name("S");
    fill->add_option("--mode", w->mode,
                     "Permission bits of the table's files, in octal (default 0644); its "
                     "directory follows (0640 gives 0750)")
        ->type_name("MODE");
    fill->add_option("--group", w->group, "Group of the table's files and directory")
        ->type_name("NAME");
    fill->add_flag("--notify", w->notify,
                   "Publish every change in the table's notification queue, for followers");
    fill->add_option("--capacity", w->capacity,
                     "Records to preallocate for: a new table starts with this many slots and "
                     "matching buckets, so the fill never grows its files (an existing table "
                     "keeps its size)")
        ->type_name("C");
}

}  // namespace VeskTool
