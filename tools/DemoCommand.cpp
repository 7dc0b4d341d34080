// vesk demo: the library doing its job, live. One writer process fills a table of each record
// type and then updates them round-robin as fast as it can; reader processes look records up at
// random and walk whole tables at the same time, checking every record they get:
//   - torn: the record fails its self-check (RecordKinds.h), a mixture of two writes;
//   - gone back: a key's record is older than one the same reader saw before;
//   - lost: a key the writer had written is missing from a lookup or a walk.
// The writer publishes every change in each table's notification queue; one more process keeps
// a shadow of every table (a local copy kept current from the queue) and, once the writer
// stopped and every change was applied, compares each copy with the table: a record that
// differs, or a key only one of them holds, is a difference.
// The processes report through a board in anonymous shared memory (each writes only its own
// row); the parent prints a progress line and, at the end, the summary. Everything lives in a
// private root directory that is removed at the end. The processes end with the parent, however
// it ends (PR_SET_PDEATHSIG); when it was killed, the writer removes the private root.
#include "Commands.h"

#include "Mem/Atomic.h"
#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableDir.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"
#include "Vesk/VeskReader.h"
#include "Vesk/VeskWriter.h"
#include "VeskMap/VeskMap.h"

#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace VeskTool {

namespace {

constexpr int kMaxReaders = 8;
constexpr int kShadowRow = kMaxReaders + 1;
constexpr int kRows = kMaxReaders + 2;  // row 0: the writer; 1..kMaxReaders: the readers; last:
                                        // the shadow

// One process's numbers. Written by that process only (release stores), read by the parent
// (acquire loads); two cache lines, so rows never share one.
struct DemoRow {
    uint64_t writes;
    uint64_t lookups;
    uint64_t iterations;   // whole-table walks completed
    uint64_t recordsRead;  // records returned by those walks
    uint64_t retries;      // walks the readers repeated because a link or record moved
    uint64_t remaps;       // mappings re-made because a file grew
    uint64_t torn;
    uint64_t lost;
    uint64_t backwards;
    uint64_t errors;
    uint64_t records;         // the writer: records in its tables at the end
    uint64_t finished;        // 1: the numbers above and the row's firstError are final
    uint64_t lookasideReads;  // records copied from the lookaside slot (being rewritten)
    // The shadow: changes its copies applied (the first syncs included), resyncs of its queue
    // followers, and records in which its copies and the final tables differ.
    uint64_t changes;
    uint64_t resyncs;
    uint64_t differences;
};
static_assert(std::is_standard_layout_v<DemoRow>);
static_assert(sizeof(DemoRow) == 128);
static_assert(offsetof(DemoRow, writes) == 0);
static_assert(offsetof(DemoRow, lookups) == 8);
static_assert(offsetof(DemoRow, iterations) == 16);
static_assert(offsetof(DemoRow, recordsRead) == 24);
static_assert(offsetof(DemoRow, retries) == 32);
static_assert(offsetof(DemoRow, remaps) == 40);
static_assert(offsetof(DemoRow, torn) == 48);
static_assert(offsetof(DemoRow, lost) == 56);
static_assert(offsetof(DemoRow, backwards) == 64);
static_assert(offsetof(DemoRow, errors) == 72);
static_assert(offsetof(DemoRow, records) == 80);
static_assert(offsetof(DemoRow, finished) == 88);
static_assert(offsetof(DemoRow, lookasideReads) == 96);
static_assert(offsetof(DemoRow, changes) == 104);
static_assert(offsetof(DemoRow, resyncs) == 112);
static_assert(offsetof(DemoRow, differences) == 120);

// The phases, in order; the parent moves to kStop, the writer to kCreated, kFilled or kFailed.
enum Phase : uint64_t { kStarting = 0, kCreated = 1, kFilled = 2, kStop = 3, kFailed = 4 };

struct DemoBoard {
    uint64_t phase;
    // The writer's round-robin position: readers aim some lookups just ahead of it, at records
    // that are about to be rewritten.
    uint64_t cursor;
    uint64_t reserved[14];
    DemoRow rows[kRows];
    // A row's first problem, as text; read by the parent only after the process exited.
    char firstError[kRows][256];
};
static_assert(std::is_standard_layout_v<DemoBoard>);
static_assert(offsetof(DemoBoard, phase) == 0);
static_assert(offsetof(DemoBoard, cursor) == 8);
static_assert(offsetof(DemoBoard, rows) == 128);
static_assert(offsetof(DemoBoard, firstError) == 128 + kRows * 128);
static_assert(sizeof(DemoBoard) == 128 + kRows * 128 + kRows * 256);

uint64_t load(const uint64_t& word) {
    return Mem::loadAcquire64(&word);
}
void store(uint64_t& word, uint64_t value) {
    Mem::storeRelease64(&word, value);
}

void noteError(DemoBoard& board, int row, const std::string& text) {
    store(board.rows[row].errors, load(board.rows[row].errors) + 1);
    if (board.firstError[row][0] == '\0')
        std::snprintf(board.firstError[row], sizeof(board.firstError[row]), "%s", text.c_str());
}

using AllOps = std::tuple<CounterEntrySimpleOps, CounterEntryNormalOps, CounterEntryWideOps,
                          CounterEntryBitmap64Ops>;
// One T<Ops> for each of the four record types (std::get<T<Ops>> picks one).
template <template <class> class T>
using PerKind = std::tuple<T<CounterEntrySimpleOps>, T<CounterEntryNormalOps>,
                           T<CounterEntryWideOps>, T<CounterEntryBitmap64Ops>>;
template <class Ops>
using WriterPtr = std::unique_ptr<Vesk::VeskWriter<Ops>>;

// Calls f(Ops{}, index) for the four record types.
template <class F>
void forEachKind(F&& f) {
    [&]<size_t... I>(std::index_sequence<I...>) {
        (f(std::tuple_element_t<I, AllOps>{}, I), ...);
    }
    (std::make_index_sequence<std::tuple_size_v<AllOps>>{});
}

// ----- the writer process -----

int runWriter(DemoBoard& board, uint64_t count) {
    DemoRow& row = board.rows[0];
    try {
        PerKind<WriterPtr> writers;
        forEachKind([&]<class Ops>(Ops, size_t i) {
            auto& w = std::get<WriterPtr<Ops>>(writers);
            // The shadow follows every change through the table's notification queue.
            Vesk::MapDescriptor descriptor{uint32_t(count)};
            descriptor.notify = 1;
            w = std::make_unique<Vesk::VeskWriter<Ops>>(toolHandler(), kKindNames[i], descriptor,
                                                        Ops{}, Kind<Ops>::kTableClass);
            w->initialize("vesk demo");
        });
        store(board.phase, kCreated);

        uint64_t writes = 0;
        auto writeAll = [&](uint64_t key, uint64_t generation) {
            forEachKind([&]<class Ops>(Ops, size_t) {
                std::get<WriterPtr<Ops>>(writers)->write(Kind<Ops>::make(key, generation), true);
            });
            writes += 4;
        };
        for (uint64_t k = 0; k < count && !stopRequested(); ++k) {
            writeAll(k, 0);
            if ((k & 1023) == 0)
                store(row.writes, writes);
        }
        store(row.writes, writes);
        // Release: a reader that sees kFilled finds every key of the fill.
        store(board.phase, kFilled);

        for (uint64_t u = 0; load(board.phase) < kStop && !stopRequested();) {
            store(board.cursor, u % count);
            for (int i = 0; i < 64; ++i, ++u)
                writeAll(u % count, u / count + 1);
            store(row.writes, writes);
        }

        uint64_t records = 0;
        forEachKind([&]<class Ops>(Ops, size_t i) {
            auto& w = std::get<WriterPtr<Ops>>(writers);
            records += w->members();
            if (!w->validate(w->cinderId(), true)) {
                noteError(board, 0,
                          fmt::format("table {} does not validate: {}", kKindNames[i],
                                      w->lastValidationFailure()));
            }
            w->detach(false);
        });
        store(row.records, records);
    } catch (const Pimbo::Exception& e) {
        noteError(board, 0, e.msg());
        store(board.phase, kFailed);
    }
    store(row.finished, 1);
    return load(row.errors) == 0 ? 0 : 1;
}

// ----- a reader process -----

template <class Ops>
struct CheckedReader {
    std::unique_ptr<Vesk::VeskReader<Ops>> reader;
    std::vector<uint64_t> lastProgress;  // per key: the highest progress seen
    std::vector<uint8_t> seen;           // per key, during one walk

    // One record as a reader got it: whole, of a key the writer writes, never older than before.
    void checkRecord(const typename Ops::Value& v, uint64_t count, DemoRow& row, DemoBoard& board,
                     int index, const char* where) {
        const uint64_t key = Ops::key(v).value();
        if (key >= count || !Kind<Ops>::selfCheck(v)) {
            store(row.torn, load(row.torn) + 1);
            noteError(board, index,
                      fmt::format("{}: torn {} record {}", where, Kind<Ops>::kName,
                                  RecordFields(Ops::typeName()).json(&v)));
            return;
        }
        const uint64_t progress = Kind<Ops>::progress(v);
        if (progress < lastProgress[key]) {
            store(row.backwards, load(row.backwards) + 1);
            noteError(board, index,
                      fmt::format("{}: {} key {} went back from {} to {}", where, Kind<Ops>::kName,
                                  key, lastProgress[key], progress));
        }
        lastProgress[key] = std::max(lastProgress[key], progress);
    }
};

int runReader(DemoBoard& board, int index, uint64_t count, uint64_t seed) {
    DemoRow& row = board.rows[index];
    try {
        PerKind<CheckedReader> readers;
        forEachKind([&]<class Ops>(Ops, size_t i) {
            auto& r = std::get<CheckedReader<Ops>>(readers);
            r.reader = std::make_unique<Vesk::VeskReader<Ops>>(toolHandler(), kKindNames[i], Ops{},
                                                               nullptr);
            r.lastProgress.assign(count, 0);
            r.seen.assign(count, 0);
            bool attached = false;
            for (int attempt = 0; attempt < 100 && !attached; ++attempt) {
                attached = r.reader->initialize("vesk demo");
                if (!attached)
                    sleepUnlessStopped(0.02);
            }
            if (!attached)
                PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot attach to table {}",
                            kKindNames[i]);
        });
        std::mt19937_64 rng(seed);
        uint64_t lookups = 0;
        uint64_t iterations = 0;
        uint64_t recordsRead = 0;
        for (uint64_t round = 0; load(board.phase) < kStop && !stopRequested(); ++round) {
            forEachKind([&]<class Ops>(Ops, size_t) {
                auto& r = std::get<CheckedReader<Ops>>(readers);
                for (int i = 0; i < 1000; ++i) {
                    // Every other key is one the writer is about to rewrite.
                    const uint64_t key =
                        i % 2 == 0 ? rng() % count : (load(board.cursor) + rng() % 64) % count;
                    // Acquire: when the fill was complete before the lookup, the key is there.
                    const bool filled = load(board.phase) >= kFilled;
                    bool found = false;
                    typename Ops::Value v{};
                    r.reader->lookup(CounterIndex(key), found, &v);
                    ++lookups;
                    if (!found) {
                        if (filled) {
                            store(row.lost, load(row.lost) + 1);
                            noteError(
                                board, index,
                                fmt::format("lookup: {} key {} not found", Kind<Ops>::kName, key));
                        }
                    } else if (Ops::key(v).value() != key) {
                        store(row.torn, load(row.torn) + 1);
                        noteError(board, index,
                                  fmt::format("lookup of {} key {} returned key {}",
                                              Kind<Ops>::kName, key, Ops::key(v).value()));
                    } else {
                        r.checkRecord(v, count, row, board, index, "lookup");
                    }
                }
            });
            if (round % 8 == 7) {
                // One whole table, each in turn: every key once, every record whole.
                const size_t which = (round / 8) % 4;
                forEachKind([&]<class Ops>(Ops, size_t i) {
                    if (i != which)
                        return;
                    auto& r = std::get<CheckedReader<Ops>>(readers);
                    const bool filled = load(board.phase) >= kFilled;
                    std::fill(r.seen.begin(), r.seen.end(), 0);
                    uint64_t walked = 0;
                    typename Ops::Value v{};
                    Vesk::IterHint hint;
                    for (bool more = r.reader->first(v, hint); more;
                         more = r.reader->next(Ops::key(v), v, hint)) {
                        ++walked;
                        r.checkRecord(v, count, row, board, index, "walk");
                        const uint64_t key = Ops::key(v).value();
                        if (key < count && r.seen[key]++ != 0) {
                            noteError(board, index,
                                      fmt::format("walk of {} returned key {} twice",
                                                  Kind<Ops>::kName, key));
                        }
                        if (walked > count + 1)
                            break;
                    }
                    if (filled && walked < count) {
                        store(row.lost, load(row.lost) + (count - walked));
                        noteError(board, index,
                                  fmt::format("walk of {} returned {} of {} records",
                                              Kind<Ops>::kName, walked, count));
                    }
                    ++iterations;
                    recordsRead += walked;
                });
            }
            uint64_t retries = 0;
            uint64_t remaps = 0;
            uint64_t lookaside = 0;
            forEachKind([&]<class Ops>(Ops, size_t) {
                const auto c = std::get<CheckedReader<Ops>>(readers).reader->readerCounters();
                retries += c.retries;
                remaps += c.resizes + c.bucketResizes;
                lookaside += c.lookasideReads;
            });
            store(row.lookups, lookups);
            store(row.iterations, iterations);
            store(row.recordsRead, recordsRead);
            store(row.retries, retries);
            store(row.remaps, remaps);
            store(row.lookasideReads, lookaside);
        }
    } catch (const Pimbo::Exception& e) {
        noteError(board, index, e.msg());
    }
    store(row.finished, 1);
    const bool clean = load(row.errors) == 0 && load(row.torn) == 0 && load(row.lost) == 0 &&
                       load(row.backwards) == 0;
    return clean ? 0 : 1;
}

// ----- the shadow process -----

// A shadow of one table and the changes it reported.
template <class Ops>
struct FollowedTable {
    std::unique_ptr<Vesk::VeskMap<Ops>> map;
    uint64_t changes = 0;

    // Records in which the shadow's copy and the table, read now with a reader, differ; the
    // first one is noted on the board.
    uint64_t differences(uint64_t count, DemoBoard& board, const char* table) {
        using Value = typename Ops::Value;
        const auto reader = attachReader<Ops>(probeTable(table));
        std::vector<Value> held(count);
        std::vector<uint8_t> where(count, 0);  // bit 0: in the table; bit 1: in the shadow
        uint64_t found = 0;
        auto differ = [&](const std::string& what) {
            if (found++ == 0)
                noteError(board, kShadowRow, fmt::format("table {}: {}", table, what));
        };
        for (const Value& v : readAll(*reader, table)) {
            const uint64_t key = Ops::key(v).value();
            if (key >= count) {
                differ(fmt::format("the table holds key {}, beyond the fill", key));
                continue;
            }
            held[key] = v;
            where[key] |= 1;
        }
        Value v{};
        Vesk::IterHint hint;
        Vesk::VeskInterface<Ops>& copy = map->interface();
        for (bool more = copy.first(v, hint); more; more = copy.next(Ops::key(v), v, hint)) {
            const uint64_t key = Ops::key(v).value();
            if (key >= count || (where[key] & 1) == 0) {
                differ(fmt::format("the shadow holds key {}, which the table does not", key));
            } else if (!(v == held[key])) {
                const RecordFields fields(Ops::typeName());
                differ(fmt::format("the shadow holds {} where the table holds {}", fields.json(&v),
                                   fields.json(&held[key])));
            }
            if (key < count)
                where[key] |= 2;
        }
        for (uint64_t key = 0; key < count; ++key) {
            if (where[key] == 1)
                differ(fmt::format("the shadow lacks key {}", key));
        }
        return found;
    }
};

// Follows the four tables until the writer stopped and every change it published was applied,
// then compares each copy with its table.
int runShadow(DemoBoard& board, uint64_t count) {
    DemoRow& row = board.rows[kShadowRow];
    try {
        PerKind<FollowedTable> tables;
        forEachKind([&]<class Ops>(Ops, size_t i) {
            auto& t = std::get<FollowedTable<Ops>>(tables);
            t.map = std::make_unique<Vesk::VeskMap<Ops>>(Ops{}, kKindNames[i]);
            t.map->callbacks().onValue = [&t](const typename Ops::Value&) { ++t.changes; };
            t.map->callbacks().onKey2 = [&t](const typename Ops::Key&) { ++t.changes; };
            t.map->notifyingIs(true);
            Vesk::MapDescriptor d(uint32_t(count), Vesk::shadow);
            d.notify = 1;
            t.map->init(d);
        });
        // Publishes the row's numbers; true when every copy is synced and has applied all the
        // writer published.
        auto report = [&] {
            uint64_t changes = 0, resyncs = 0, records = 0;
            bool current = true;
            forEachKind([&]<class Ops>(Ops, size_t) {
                auto& t = std::get<FollowedTable<Ops>>(tables);
                changes += t.changes;
                records += t.map->interface().members();
                if (auto* s = dynamic_cast<Vesk::VeskShadow<Ops>*>(&t.map->interface()))
                    resyncs += s->syncer().resyncs();
                current = current && t.map->mountStatus() == 2 && t.map->quiesced();
            });
            store(row.changes, changes);
            store(row.resyncs, resyncs);
            store(row.records, records);
            return current;
        };
        while (load(board.phase) < kStop && !stopRequested()) {
            Pimbo::eventLoop().poll(50);
            report();
        }
        // The writer's last changes: applied once it has detached and the copies are current.
        const double deadline = monotonicSeconds() + 30;
        while (!(load(board.rows[0].finished) != 0 && report()) && !stopRequested()) {
            if (monotonicSeconds() > deadline) {
                noteError(board, kShadowRow,
                          "the shadow did not apply every change of the writer within 30 s "
                          "after it stopped");
                break;
            }
            Pimbo::eventLoop().poll(50);
        }
        if (load(row.errors) == 0 && !stopRequested()) {
            uint64_t differences = 0;
            forEachKind([&]<class Ops>(Ops, size_t i) {
                differences +=
                    std::get<FollowedTable<Ops>>(tables).differences(count, board, kKindNames[i]);
            });
            store(row.differences, differences);
        }
    } catch (const Pimbo::Exception& e) {
        noteError(board, kShadowRow, e.msg());
    } catch (const ToolError& e) {
        noteError(board, kShadowRow, e.what());
    }
    store(row.finished, 1);
    return load(row.errors) == 0 && load(row.differences) == 0 ? 0 : 1;
}

// ----- the parent -----

struct Totals {
    uint64_t writes = 0, lookups = 0, iterations = 0, recordsRead = 0, retries = 0, remaps = 0,
             lookasideReads = 0, torn = 0, lost = 0, backwards = 0, errors = 0;
};

// The writer, the first `readers` readers and the shadow.
Totals sum(const DemoBoard& board, int readers) {
    Totals t;
    for (int i = 0; i <= kShadowRow; ++i) {
        if (i > readers && i != kShadowRow)
            continue;
        const DemoRow& r = board.rows[i];
        t.writes += load(r.writes);
        t.lookups += load(r.lookups);
        t.iterations += load(r.iterations);
        t.recordsRead += load(r.recordsRead);
        t.retries += load(r.retries);
        t.remaps += load(r.remaps);
        t.lookasideReads += load(r.lookasideReads);
        t.torn += load(r.torn);
        t.lost += load(r.lost);
        t.backwards += load(r.backwards);
        t.errors += load(r.errors);
    }
    return t;
}

std::string shortCount(double n) {
    if (n >= 1e9)
        return fmt::format("{:.2f}G", n / 1e9);
    if (n >= 1e6)
        return fmt::format("{:.2f}M", n / 1e6);
    if (n >= 1e4)
        return fmt::format("{:.1f}k", n / 1e3);
    return fmt::format("{:.0f}", n);
}

// A child process running body. It ends with its parent: the parent's death sends it SIGTERM,
// which stops it as SIGTERM stops the demo (stopOnSignals must be installed).
pid_t spawn(const std::function<int()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have died before the request: then it is stopped now.
        if (::getppid() != parent)
            ::raise(SIGTERM);
        int rc = 3;
        try {
            rc = body();
        } catch (...) {
            rc = 3;
        }
        std::fflush(stdout);
        ::_exit(rc);
    }
    return pid;
}

// Waits for the child; after `seconds` it is killed. Returns its exit status (128 + signal).
int reap(pid_t pid, double seconds) {
    const double deadline = monotonicSeconds() + seconds;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0)
            return 127;
        if (monotonicSeconds() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return 128 + SIGKILL;
        }
        timespec ts{0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

// The child has ended (it stays waitable for reap).
bool exited(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Removes the private root however the demo ends: the parent does, or the writer process
// when the parent died first.
struct PrivateRoot {
    std::string path;
    ~PrivateRoot() { remove(); }
    void remove() const {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

int runDemo(const DemoOptions& o) {
    // The private root's parent is trusted as any directory above a root, before anything runs.
    std::error_code ec;
    std::string above = std::filesystem::absolute(o.parent, ec).lexically_normal().string();
    while (above.size() > 1 && above.back() == '/')
        above.pop_back();
    Mem::FileError error;
    if (!Mem::TableDir::openAboveRoot(above, error))
        throw ToolError(kTable, fmt::format("cannot make the demo's private root in {}: {}",
                                            o.parent, error.text));
    std::string pattern = above + "/vesk-demo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        const int e = errno;
        throw ToolError(kTable, fmt::format("{}cannot make the demo's private root in {}: {}",
                                            e == EACCES || e == EPERM ? "permission denied: " : "",
                                            o.parent, std::strerror(e)));
    }
    PrivateRoot root{pattern};
    Mem::RootPath::rootIs(root.path);
    void* mem = ::mmap(nullptr, sizeof(DemoBoard), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        throw ToolError(kTable,
                        fmt::format("cannot map the demo's board: {}", std::strerror(errno)));
    }
    DemoBoard& board = *new (mem) DemoBoard{};
    stopOnSignals();
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;

    const uint64_t seed =
        o.seed != 0 ? o.seed : uint64_t(::getpid()) << 32 ^ uint64_t(::time(nullptr));
    std::printf(
        "vesk demo: 1 writer process, %d reader processes and 1 shadow process, 4 tables "
        "(simple, normal, wide, bitmap64) of %llu counters each, for %.1f s, in %s (seed "
        "%llu)\n",
        o.readers, static_cast<unsigned long long>(o.count), o.seconds, root.path.c_str(),
        static_cast<unsigned long long>(seed));
    const double writerStart = monotonicSeconds();
    const pid_t parent = ::getpid();
    const pid_t writer = spawn([&] {
        const int rc = runWriter(board, o.count);
        if (::getppid() != parent)
            root.remove();
        return rc;
    });
    if (writer < 0)
        throw ToolError(kTable, fmt::format("cannot start the writer: {}", std::strerror(errno)));

    std::vector<pid_t> readers;
    auto fail = [&](const std::string& why) {
        store(board.phase, kStop);
        reap(writer, 30);
        for (const pid_t r : readers)
            reap(r, 30);
        throw ToolError(kFound, why);
    };
    while (load(board.phase) < kCreated) {
        if (load(board.phase) == kFailed || exited(writer) || stopRequested() ||
            monotonicSeconds() - writerStart > 60) {
            fail(fmt::format("the writer could not create the tables: {}",
                             board.firstError[0][0] ? board.firstError[0] : "it stopped"));
        }
        sleepUnlessStopped(0.01);
    }
    for (int i = 1; i <= o.readers; ++i) {
        const pid_t pid = spawn([&] { return runReader(board, i, o.count, seed + uint64_t(i)); });
        if (pid < 0)
            fail(fmt::format("cannot start reader {}: {}", i, std::strerror(errno)));
        readers.push_back(pid);
    }
    const pid_t shadow = spawn([&] { return runShadow(board, o.count); });
    if (shadow < 0)
        fail(fmt::format("cannot start the shadow: {}", std::strerror(errno)));

    // The readers run from now on for o.seconds, the fill first.
    const double start = monotonicSeconds();
    double nextLine = start + 1.0;
    while (!stopRequested()) {
        const double now = monotonicSeconds();
        const uint64_t phase = load(board.phase);
        if (phase == kFailed || exited(writer))
            break;
        if (now - start >= o.seconds)
            break;
        const Totals t = sum(board, o.readers);
        const double elapsed = now - start;
        const std::string line = fmt::format(
            "{:5.1f} s  {}  writes {} ({}/s)  lookups {} ({}/s)  iterations {}  retries {}  "
            "re-maps {}  torn {}",
            elapsed, phase >= kFilled ? "updating" : "filling ", shortCount(double(t.writes)),
            shortCount(double(t.writes) / std::max(elapsed, 1e-3)), shortCount(double(t.lookups)),
            shortCount(double(t.lookups) / std::max(elapsed, 1e-3)), t.iterations, t.retries,
            t.remaps, t.torn);
        if (terminal) {
            std::printf("\r%s\x1b[K", line.c_str());
            std::fflush(stdout);
        } else if (now >= nextLine) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            nextLine += 1.0;
        }
        sleepUnlessStopped(terminal ? 0.2 : 0.05);
    }
    const double seconds = monotonicSeconds() - start;
    if (terminal)
        std::printf("\n");
    store(board.phase, kStop);
    std::vector<int> readerStatus;
    for (const pid_t r : readers)
        readerStatus.push_back(reap(r, 60));
    const int writerStatus = reap(writer, 60);
    const int shadowStatus = reap(shadow, 60);  // it compares once the writer stopped
    const DemoRow& shadowRow = board.rows[kShadowRow];

    const Totals t = sum(board, o.readers);
    const uint64_t records = load(board.rows[0].records);
    std::printf("\nvesk demo: summary after %.1f s\n", seconds);
    std::printf("  records:           %llu (4 tables x %llu)\n",
                static_cast<unsigned long long>(records), static_cast<unsigned long long>(o.count));
    std::printf("  writes:            %llu (%.0f/s), 1 writer process\n",
                static_cast<unsigned long long>(t.writes), double(t.writes) / seconds);
    std::printf("  lookups:           %llu (%.0f/s), %d reader processes\n",
                static_cast<unsigned long long>(t.lookups), double(t.lookups) / seconds, o.readers);
    std::printf("  iterations:        %llu whole-table walks (%llu records read)\n",
                static_cast<unsigned long long>(t.iterations),
                static_cast<unsigned long long>(t.recordsRead));
    std::printf("  retries:           %llu\n", static_cast<unsigned long long>(t.retries));
    std::printf("  re-maps:           %llu\n", static_cast<unsigned long long>(t.remaps));
    std::printf("  lookaside reads:   %llu (records read while the writer rewrote them)\n",
                static_cast<unsigned long long>(t.lookasideReads));
    std::printf("  torn records:      %llu\n", static_cast<unsigned long long>(t.torn));
    std::printf("  lost records:      %llu\n", static_cast<unsigned long long>(t.lost));
    std::printf("  records gone back: %llu\n", static_cast<unsigned long long>(t.backwards));
    std::printf(
        "  shadow:            %llu records followed, %llu changes applied, %llu resyncs, "
        "%llu differences\n",
        static_cast<unsigned long long>(load(shadowRow.records)),
        static_cast<unsigned long long>(load(shadowRow.changes)),
        static_cast<unsigned long long>(load(shadowRow.resyncs)),
        static_cast<unsigned long long>(load(shadowRow.differences)));
    std::printf("  errors:            %llu\n", static_cast<unsigned long long>(t.errors));
    std::vector<std::string> problems;
    for (int i = 0; i <= o.readers; ++i) {
        if (board.firstError[i][0] != '\0') {
            problems.push_back(
                fmt::format("{}: {}", i == 0 ? std::string("writer") : fmt::format("reader {}", i),
                            board.firstError[i]));
        }
    }
    if (board.firstError[kShadowRow][0] != '\0')
        problems.push_back(fmt::format("shadow: {}", board.firstError[kShadowRow]));
    if (writerStatus != 0)
        problems.push_back(fmt::format("the writer process ended with status {}", writerStatus));
    if (shadowStatus != 0)
        problems.push_back(fmt::format("the shadow process ended with status {}", shadowStatus));
    for (size_t i = 0; i < readerStatus.size(); ++i) {
        if (readerStatus[i] != 0) {
            problems.push_back(
                fmt::format("reader process {} ended with status {}", i + 1, readerStatus[i]));
        }
    }
    if (records != 4 * o.count && !stopRequested())
        problems.push_back(
            fmt::format("the writer's tables hold {} records, not {}", records, 4 * o.count));
    for (const std::string& p : problems)
        std::printf("  problem:           %s\n", p.c_str());
    const bool ok = problems.empty() && t.torn == 0 && t.lost == 0 && t.backwards == 0 &&
                    load(shadowRow.differences) == 0;
    std::printf("  result:            %s; the private root %s is removed\n",
                ok ? "ok, every table validated by its writer" : "FAILED", root.path.c_str());
    std::fflush(stdout);
    ::munmap(mem, sizeof(DemoBoard));
    if (!ok) {
        throw ToolError(
            kFound, fmt::format("the demo found {} problem(s); first: {}",
                                problems.size() + (t.torn + t.lost + t.backwards != 0),
                                problems.empty() ? "bad records (see above)" : problems.front()));
    }
    return kOk;
}

}  // namespace VeskTool
