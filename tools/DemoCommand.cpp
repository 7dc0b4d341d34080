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
// it ends (a parent-death signal, ChildProcess.h); when it was killed, the writer removes the
// private root.
#include "Commands.h"

#include "ChildProcess.h"
#include "Mem/Atomic.h"
#include "Numbers.h"
#include "Pimbo/EventLoop.h"
#include "Pimbo/Exception.h"
#include "Plinth/RootPath.h"
#include "Plinth/TableDir.h"
#include "RecordChecks.h"
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
#include <unistd.h>
#include <CLI/CLI.hpp>

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

using AllOps = PerKindOps<std::tuple>;
// One T<Ops> for each record type (std::get<T<Ops>> picks one).
template <template <class> class T>
using PerKind = PerKindOps<std::tuple, T>;
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

// One table as a reader process reads it.
template <class Ops>
struct CheckedReader {
    std::unique_ptr<Vesk::VeskReader<Ops>> reader;
    std::vector<uint64_t> lastProgress;  // per key: the highest progress seen
    std::vector<uint8_t> seen;           // per key, during one walk
};

// A reader process: lookups at random and whole-table walks of the four tables, every record it
// gets checked (RecordChecks.h); its numbers go to its row of the board.
class DemoReader {
  public:
    DemoReader(DemoBoard& board, int index, uint64_t count, uint64_t seed)
        : board_(board), row_(board.rows[index]), index_(index), count_(count), rng_(seed) {}

    int run() {
        try {
            forEachKind([&]<class Ops>(Ops, size_t i) { attach<Ops>(kKindNames[i]); });
            for (uint64_t round = 0; load(board_.phase) < kStop && !stopRequested(); ++round) {
                forEachKind([&]<class Ops>(Ops, size_t) { lookUp<Ops>(); });
                if (round % 8 == 7) {
                    // One whole table, each in turn: every key once, every record whole.
                    const size_t which = (round / 8) % 4;
                    forEachKind([&]<class Ops>(Ops, size_t i) {
                        if (i == which)
                            walk<Ops>();
                    });
                }
                publish();
            }
        } catch (const Pimbo::Exception& e) {
            noteError(board_, index_, e.msg());
        }
        store(row_.finished, 1);
        const bool clean = load(row_.errors) == 0 && load(row_.torn) == 0 && load(row_.lost) == 0 &&
                           load(row_.backwards) == 0;
        return clean ? 0 : 1;
    }

  private:
    template <class Ops>
    CheckedReader<Ops>& table() {
        return std::get<CheckedReader<Ops>>(tables_);
    }

    template <class Ops>
    void attach(const char* name) {
        CheckedReader<Ops>& r = table<Ops>();
        r.reader = std::make_unique<Vesk::VeskReader<Ops>>(toolHandler(), name, Ops{}, nullptr);
        r.lastProgress.assign(count_, 0);
        r.seen.assign(count_, 0);
        bool attached = false;
        for (int attempt = 0; attempt < 100 && !attached; ++attempt) {
            attached = r.reader->initialize("vesk demo");
            if (!attached)
                sleepUnlessStopped(0.02);
        }
        if (!attached)
            PIMBO_THROW(Pimbo::InvalidInitializeException, "cannot attach to table {}", name);
    }

    void count(uint64_t DemoRow::*field, uint64_t n, const std::string& what) {
        store(row_.*field, load(row_.*field) + n);
        noteError(board_, index_, what);
    }

    // One record as the reader got it: whole, of a key the writer writes, never older than
    // before.
    template <class Ops>
    void check(const typename Ops::Value& v, const char* where) {
        const uint64_t key = Ops::key(v).value();
        uint64_t* highest = key < count_ ? &table<Ops>().lastProgress[key] : nullptr;
        const RecordFault fault =
            highest != nullptr ? checkRecord<Ops>(v, key, *highest) : RecordFault::torn;
        if (fault == RecordFault::torn) {
            count(&DemoRow::torn, 1,
                  fmt::format("{}: torn {} record {}", where, Kind<Ops>::kName,
                              RecordFields(Ops::typeName()).json(&v)));
        } else if (fault == RecordFault::wentBack) {
            count(&DemoRow::backwards, 1,
                  fmt::format("{}: {} key {} went back from {} to {}", where, Kind<Ops>::kName, key,
                              *highest, Kind<Ops>::progress(v)));
        }
    }

    // 1000 lookups; every other key is one the writer is about to rewrite.
    template <class Ops>
    void lookUp() {
        for (int i = 0; i < 1000; ++i) {
            const uint64_t key =
                i % 2 == 0 ? rng_() % count_ : (load(board_.cursor) + rng_() % 64) % count_;
            // Acquire: when the fill was complete before the lookup, the key is there.
            const bool filled = load(board_.phase) >= kFilled;
            bool found = false;
            typename Ops::Value v{};
            table<Ops>().reader->lookup(CounterIndex(key), found, &v);
            ++lookups_;
            if (!found) {
                if (filled)
                    count(&DemoRow::lost, 1,
                          fmt::format("lookup: {} key {} not found", Kind<Ops>::kName, key));
            } else if (Ops::key(v).value() != key) {
                count(&DemoRow::torn, 1,
                      fmt::format("lookup of {} key {} returned key {}", Kind<Ops>::kName, key,
                                  Ops::key(v).value()));
            } else {
                check<Ops>(v, "lookup");
            }
        }
    }

    // A whole table: every key once, every record whole.
    template <class Ops>
    void walk() {
        CheckedReader<Ops>& r = table<Ops>();
        const bool filled = load(board_.phase) >= kFilled;
        std::fill(r.seen.begin(), r.seen.end(), 0);
        uint64_t walked = 0;
        typename Ops::Value v{};
        Vesk::IterHint hint;
        for (bool more = r.reader->first(v, hint); more;
             more = r.reader->next(Ops::key(v), v, hint)) {
            ++walked;
            check<Ops>(v, "walk");
            const uint64_t key = Ops::key(v).value();
            if (key < count_ && r.seen[key]++ != 0) {
                noteError(board_, index_,
                          fmt::format("walk of {} returned key {} twice", Kind<Ops>::kName, key));
            }
            if (walked > count_ + 1)
                break;
        }
        if (filled && walked < count_) {
            count(&DemoRow::lost, count_ - walked,
                  fmt::format("walk of {} returned {} of {} records", Kind<Ops>::kName, walked,
                              count_));
        }
        ++iterations_;
        recordsRead_ += walked;
    }

    // The row's numbers, the readers' counters summed over the four tables.
    void publish() {
        uint64_t retries = 0;
        uint64_t remaps = 0;
        uint64_t lookaside = 0;
        forEachKind([&]<class Ops>(Ops, size_t) {
            const auto c = table<Ops>().reader->readerCounters();
            retries += c.retries;
            remaps += c.resizes + c.bucketResizes;
            lookaside += c.lookasideReads;
        });
        store(row_.lookups, lookups_);
        store(row_.iterations, iterations_);
        store(row_.recordsRead, recordsRead_);
        store(row_.retries, retries);
        store(row_.remaps, remaps);
        store(row_.lookasideReads, lookaside);
    }

    DemoBoard& board_;
    DemoRow& row_;
    const int index_;
    const uint64_t count_;
    std::mt19937_64 rng_;
    PerKind<CheckedReader> tables_;
    uint64_t lookups_ = 0;
    uint64_t iterations_ = 0;
    uint64_t recordsRead_ = 0;
};

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

// Starts a demo process running `body`. It ends with its parent: the parent's death sends it
// SIGTERM, which stops it as SIGTERM stops the demo (stopOnSignals must be installed). A body
// that throws ends it with status 3.
bool spawn(ChildProcess& child, const std::function<int()>& body) {
    return child.start(
        [&body](ChildProcess&) {
            try {
                return body();
            } catch (...) {
                return 3;
            }
        },
        SIGTERM);
}

// Waits for the child; after `seconds` it is killed. Returns its exit status (128 + signal).
int reap(ChildProcess& child, double seconds) {
    const int status = child.wait(seconds);
    return status < 0 ? 128 + SIGKILL : status;
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

// The private root: a new directory under `parent`, trusted as any directory above a root is,
// made the table root.
std::string makePrivateRoot(const std::string& parent) {
    std::error_code ec;
    std::string above = std::filesystem::absolute(parent, ec).lexically_normal().string();
    while (above.size() > 1 && above.back() == '/')
        above.pop_back();
    Mem::FileError error;
    if (!Mem::TableDir::openAboveRoot(above, error))
        throw ToolError(kTable, fmt::format("cannot make the demo's private root in {}: {}", parent,
                                            error.text));
    std::string pattern = above + "/vesk-demo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        const int e = errno;
        throw ToolError(kTable, fmt::format("{}cannot make the demo's private root in {}: {}",
                                            e == EACCES || e == EPERM ? "permission denied: " : "",
                                            parent, std::strerror(e)));
    }
    return pattern;
}

// The board in anonymous shared memory, which the processes share; unmapped at the end.
struct MappedBoard {
    MappedBoard() {
        void* mem = ::mmap(nullptr, sizeof(DemoBoard), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) {
            throw ToolError(kTable,
                            fmt::format("cannot map the demo's board: {}", std::strerror(errno)));
        }
        board = new (mem) DemoBoard{};
    }
    ~MappedBoard() { ::munmap(board, sizeof(DemoBoard)); }
    MappedBoard(const MappedBoard&) = delete;
    MappedBoard& operator=(const MappedBoard&) = delete;

    DemoBoard* board = nullptr;
};

// The demo's processes and their exit statuses once they ended.
class DemoRun {
  public:
    DemoRun(const DemoOptions& o, DemoBoard& board, PrivateRoot& root, uint64_t seed)
        : o_(o), board_(board), root_(root), seed_(seed) {}

    // The writer, once it created the tables; then the readers and the shadow.
    void start() {
        const double writerStart = monotonicSeconds();
        const pid_t parent = ::getpid();
        if (!spawn(writer_, [this, parent] {
                const int rc = runWriter(board_, o_.count);
                if (::getppid() != parent)
                    root_.remove();
                return rc;
            }))
            throw ToolError(kTable,
                            fmt::format("cannot start the writer: {}", std::strerror(errno)));
        while (load(board_.phase) < kCreated) {
            if (load(board_.phase) == kFailed || writer_.waitDead(0) || stopRequested() ||
                monotonicSeconds() - writerStart > 60) {
                fail(fmt::format("the writer could not create the tables: {}",
                                 board_.firstError[0][0] ? board_.firstError[0] : "it stopped"));
            }
            sleepUnlessStopped(0.01);
        }
        for (int i = 1; i <= o_.readers; ++i) {
            readers_.push_back(std::make_unique<ChildProcess>());
            if (!spawn(*readers_.back(), [this, i] {
                    return DemoReader(board_, i, o_.count, seed_ + uint64_t(i)).run();
                }))
                fail(fmt::format("cannot start reader {}: {}", i, std::strerror(errno)));
        }
        if (!spawn(shadow_, [this] { return runShadow(board_, o_.count); }))
            fail(fmt::format("cannot start the shadow: {}", std::strerror(errno)));
    }

    // The progress line until the time is up, a signal or the writer's end; the seconds the
    // readers ran.
    double watch() {
        const bool terminal = ::isatty(STDOUT_FILENO) != 0;
        const double start = monotonicSeconds();
        double nextLine = start + 1.0;
        while (!stopRequested()) {
            const double now = monotonicSeconds();
            const uint64_t phase = load(board_.phase);
            if (phase == kFailed || writer_.waitDead(0) || now - start >= o_.seconds)
                break;
            const std::string line = progressLine(now - start, phase);
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
        return seconds;
    }

    // Every process is told to stop and waited for.
    void stop() {
        store(board_.phase, kStop);
        for (const auto& r : readers_)
            readerStatus.push_back(reap(*r, 60));
        writerStatus = reap(writer_, 60);
        shadowStatus = reap(shadow_, 60);  // it compares once the writer stopped
    }

    int writerStatus = 0;
    int shadowStatus = 0;
    std::vector<int> readerStatus;

  private:
    [[noreturn]] void fail(const std::string& why) {
        store(board_.phase, kStop);
        reap(writer_, 30);
        for (const auto& r : readers_)
            reap(*r, 30);
        throw ToolError(kFound, why);
    }

    std::string progressLine(double elapsed, uint64_t phase) const {
        const Totals t = sum(board_, o_.readers);
        return fmt::format(
            "{:5.1f} s  {}  writes {} ({}/s)  lookups {} ({}/s)  iterations {}  retries {}  "
            "re-maps {}  torn {}",
            elapsed, phase >= kFilled ? "updating" : "filling ", shortCount(double(t.writes)),
            shortCount(double(t.writes) / std::max(elapsed, 1e-3)), shortCount(double(t.lookups)),
            shortCount(double(t.lookups) / std::max(elapsed, 1e-3)), t.iterations, t.retries,
            t.remaps, t.torn);
    }

    const DemoOptions& o_;
    DemoBoard& board_;
    PrivateRoot& root_;
    const uint64_t seed_;
    ChildProcess writer_;
    std::vector<std::unique_ptr<ChildProcess>> readers_;
    ChildProcess shadow_;
};

void printCounts(const Totals& t, const DemoBoard& board, const DemoOptions& o, double seconds) {
    const DemoRow& shadowRow = board.rows[kShadowRow];
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
}

// The problems of the run: each process's first error, the processes that did not end well, a
// writer whose tables do not hold every record.
std::vector<std::string> problems(const DemoBoard& board, const DemoOptions& o,
                                  const DemoRun& run) {
    std::vector<std::string> found;
    for (int i = 0; i <= o.readers; ++i) {
        if (board.firstError[i][0] != '\0') {
            found.push_back(
                fmt::format("{}: {}", i == 0 ? std::string("writer") : fmt::format("reader {}", i),
                            board.firstError[i]));
        }
    }
    if (board.firstError[kShadowRow][0] != '\0')
        found.push_back(fmt::format("shadow: {}", board.firstError[kShadowRow]));
    if (run.writerStatus != 0)
        found.push_back(fmt::format("the writer process ended with status {}", run.writerStatus));
    if (run.shadowStatus != 0)
        found.push_back(fmt::format("the shadow process ended with status {}", run.shadowStatus));
    for (size_t i = 0; i < run.readerStatus.size(); ++i) {
        if (run.readerStatus[i] != 0) {
            found.push_back(
                fmt::format("reader process {} ended with status {}", i + 1, run.readerStatus[i]));
        }
    }
    const uint64_t records = load(board.rows[0].records);
    if (records != 4 * o.count && !stopRequested())
        found.push_back(
            fmt::format("the writer's tables hold {} records, not {}", records, 4 * o.count));
    return found;
}

}  // namespace

int runDemo(const DemoOptions& o) {
    PrivateRoot root{makePrivateRoot(o.parent)};
    Mem::RootPath::rootIs(root.path);
    MappedBoard mapped;
    DemoBoard& board = *mapped.board;
    stopOnSignals();

    const uint64_t seed =
        o.seed != 0 ? o.seed : uint64_t(::getpid()) << 32 ^ uint64_t(::time(nullptr));
    std::printf(
        "vesk demo: 1 writer process, %d reader processes and 1 shadow process, 4 tables "
        "(simple, normal, wide, bitmap64) of %llu counters each, for %.1f s, in %s (seed "
        "%llu)\n",
        o.readers, static_cast<unsigned long long>(o.count), o.seconds, root.path.c_str(),
        static_cast<unsigned long long>(seed));
    DemoRun run(o, board, root, seed);
    run.start();
    const double seconds = run.watch();
    run.stop();

    const Totals t = sum(board, o.readers);
    printCounts(t, board, o, seconds);
    const std::vector<std::string> found = problems(board, o, run);
    for (const std::string& p : found)
        std::printf("  problem:           %s\n", p.c_str());
    const bool ok = found.empty() && t.torn == 0 && t.lost == 0 && t.backwards == 0 &&
                    load(board.rows[kShadowRow].differences) == 0;
    std::printf("  result:            %s; the private root %s is removed\n",
                ok ? "ok, every table validated by its writer" : "FAILED", root.path.c_str());
    std::fflush(stdout);
    if (!ok) {
        throw ToolError(kFound,
                        fmt::format("the demo found {} problem(s); first: {}",
                                    found.size() + (t.torn + t.lost + t.backwards != 0),
                                    found.empty() ? "bad records (see above)" : found.front()));
    }
    return kOk;
}

void addDemoCommand(ToolLine& line) {
    struct Words {
        std::string seconds, count, readers = "2", seed;
    };
    auto w = std::make_shared<Words>();
    CLI::App* demo = line.add(
        "demo",
        "One writer process fills a table of each record type and keeps updating them "
        "while reader processes look them up and walk them and a shadow process follows "
        "every change; then a summary. Uses a private root made under --root (default "
        "/dev/shm), removed at the end",
        [&line, w] {
            DemoOptions o;
            if (!line.root.empty())
                o.parent = line.root;
            if (!w->seconds.empty())
                o.seconds = parseDecimal(w->seconds, "--seconds", 0.1, 86400);
            if (!w->count.empty())
                o.count = parseCount(w->count, "--count", 1, 10000000);
            o.readers = int(parseCount(w->readers, "--readers", 1, 8));
            if (!w->seed.empty())
                o.seed = parseCount(w->seed, "--seed", 0, UINT64_MAX);
            return runDemo(o);
        },
        "Directory in which the demo makes its private root (default /dev/shm)", false);
    demo->add_option("--seconds", w->seconds, "How long the readers run (default 10)")
        ->type_name("S");
    demo->add_option("--count", w->count, "Records per table (default 100000)")->type_name("N");
    demo->add_option("--readers", w->readers, "Reader processes (default 2)")->type_name("N");
    demo->add_option("--seed", w->seed,
                     "Seed of the readers' random keys (default: from the clock)")
        ->type_name("N");
}

}  // namespace VeskTool
