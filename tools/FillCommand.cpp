// vesk fill: a writer that stands in for a hardware source. It creates (or takes over) the
// table, writes keys 0..N-1 at generation 0, then, with a rate, makes round-robin updates:
// update j moves key j % N to generation j / N + 1 (RecordKinds.h), so every counter only
// grows and the final contents follow from the number of updates it reports.
//
// SIGINT and SIGTERM are seen between two writes: the writer validates its files, detaches
// (the owner file forgets it, the lock goes) and leaves the files for readers and for the next
// writer.
#include "Commands.h"

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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
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

template <class Ops>
int fillWith(const FillOptions& o) {
    using K = Kind<Ops>;
    Vesk::MapDescriptor descriptor(uint32_t(std::max<uint64_t>(o.count, 64)));
    descriptor.fileMode = o.fileMode;
    descriptor.notify = o.notify;
    descriptor.capacityHint = uint32_t(o.capacity);
    std::optional<Vesk::VeskWriter<Ops>> made;  // a refused capacity throws from the constructor
    try {
        made.emplace(toolHandler(), o.table, descriptor, Ops{}, K::kTableClass);
        made->initialize("vesk fill");
    } catch (const Pimbo::Exception& e) {
        const bool denied = e.msg().find("Permission denied") != std::string::npos;
        throw ToolError(kTable, fmt::format("{}cannot create table '{}': {}",
                                            denied ? "permission denied: " : "", o.table, e.msg()));
    }
    Vesk::VeskWriter<Ops>& writer = *made;
    const std::string dir = writer.rootPath().directory();
    // The writer's sentry: a table directory (or file) removed under the writer ends the fill,
    // instead of writing on into deleted files while a new writer may own the re-created table.
    Mem::WriterSentry sentry(toolHandler(), writer);
    auto filesLost = [&sentry] {
        Pimbo::eventLoop().poll(0);
        return !sentry.lostFiles().empty();
    };
    uint64_t written = 0;
    uint64_t updates = 0;
    double started = monotonicSeconds();
    auto finish = [&](const char* how) {
        const double seconds = monotonicSeconds() - started;
        const bool valid = writer.validate(writer.cinderId(), true);
        const std::string failure = valid ? "" : writer.lastValidationFailure();
        writer.detach(false);
        std::printf(
            "vesk fill: table '%s' %s after %.2f s: %llu records, %llu updates (%.1f/s); %s\n",
            o.table.c_str(), how, seconds, static_cast<unsigned long long>(o.count),
            static_cast<unsigned long long>(updates), seconds > 0 ? double(updates) / seconds : 0.0,
            valid ? "files valid, writer detached" : "files DO NOT VALIDATE, writer detached");
        std::fflush(stdout);
        if (!valid) {
            throw ToolError(kFound,
                            fmt::format("table '{}' does not validate: {}", o.table, failure));
        }
        return int(kOk);
    };
    try {
        // Records of an earlier, larger fill go: the table then holds exactly keys 0..N-1.
        std::vector<CounterIndex> extra;
        typename Ops::Value v{};
        Vesk::IterHint hint;
        for (bool more = writer.first(v, hint); more; more = writer.next(Ops::key(v), v, hint)) {
            if (Ops::key(v).value() >= o.count)
                extra.push_back(Ops::key(v));
        }
        for (const CounterIndex& key : extra)
            writer.remove(key, v);

        for (uint64_t k = 0; k < o.count; ++k) {
            writer.write(K::make(k, 0), true);
            ++written;
            if ((k & 4095) == 0 && stopRequested())
                return finish(fmt::format("stopped by {} while filling", stopSignalName()).c_str());
            if ((k & 4095) == 0 && filesLost())
                break;
        }
        if (!filesLost())
            std::printf("vesk fill: table '%s' ready: %llu %s records in %s, writer pid %d\n",
                        o.table.c_str(), static_cast<unsigned long long>(o.count), K::kName,
                        dir.c_str(), int(::getpid()));
        std::fflush(stdout);

        started = monotonicSeconds();
        const double deadline =
            o.seconds >= 0 ? started + o.seconds : std::numeric_limits<double>::infinity();
        if (o.rate > 0) {
            // Paced: by time t the writer has made rate * t updates, in bursts every 10 ms.
            while (!stopRequested() && !filesLost() && monotonicSeconds() < deadline) {
                const double now = monotonicSeconds();
                const uint64_t due = uint64_t(std::floor((now - started) * o.rate));
                while (updates < due) {
                    writer.write(K::make(updates % o.count, updates / o.count + 1), true);
                    ++updates;
                    if ((updates & 1023) == 0 &&
                        (stopRequested() || monotonicSeconds() >= deadline)) {
                        break;
                    }
                }
                sleepUnlessStopped(std::min(0.01, std::max(0.0, deadline - monotonicSeconds())));
            }
        } else if (o.seconds > 0) {
            while (!filesLost() && monotonicSeconds() < deadline &&
                   sleepUnlessStopped(std::min(0.05, deadline - monotonicSeconds()))) {
            }
        }
    } catch (const Pimbo::Exception& e) {
        writer.detach(false);
        throw ToolError(kTable, fmt::format("writing table '{}' failed after {} records and {} "
                                            "updates: {}",
                                            o.table, written, updates, e.msg()));
    }
    if (!sentry.lostFiles().empty()) {
        writer.detach(false);
        throw ToolError(kTable, fmt::format("table '{}' was taken away under its writer ({} is "
                                            "gone) after {} records and {} updates; writer "
                                            "detached",
                                            o.table, sentry.lostFiles(), written, updates));
    }
    if (stopRequested())
        return finish(fmt::format("stopped by {}", stopSignalName()).c_str());
    return finish("done");
}

}  // namespace

int runFill(const FillOptions& o) {
    checkFillTarget(o);
    stopOnSignals();
    return withKind(o.kind, [&]<class Ops>() { return fillWith<Ops>(o); });
}

}  // namespace VeskTool
