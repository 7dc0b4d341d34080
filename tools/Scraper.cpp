#include "Scraper.h"

#include "Pimbo/Exception.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/TableName.h"
#include "Plinth/WriterLock.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <fnmatch.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace VeskTool {

namespace {

bool contains(const std::vector<std::string>& sorted, const std::string& name) {
    return std::binary_search(sorted.begin(), sorted.end(), name);
}

// How many readers may be kept between scrapes: each holds two descriptors (its mapped files),
// and the server needs some of its own for listing, probing and its clients. The soft limit is
// raised to the hard one first.
size_t keptReaderLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    constexpr rlim_t kReserve = 256;
    return limit.rlim_cur > kReserve ? size_t((limit.rlim_cur - kReserve) / 2) : 0;
}

}  // namespace

class Scraper::Impl {
  public:
    explicit Impl(const ServeOptions& options) : options_(options), keptLimit_(keptReaderLimit()) {}

    // The text of one scrape.
    std::string scrape(ExpositionFormat format) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const double start = monotonicSeconds();
        const double deadline = start + options_.scrapeSeconds;
        Scrape s;
        std::vector<std::string> names;
        std::vector<std::string> unnamed;
        std::map<std::string, Vesk::OwnerStamp> owners;
        try {
            for (const std::string& name : findTables(&unnamed, &owners)) {
                if (::fnmatch(options_.tables.c_str(), name.c_str(), 0) == 0)
                    names.push_back(name);
            }
            s.rootUp = true;
        } catch (const ToolError& e) {
            // No root yet (no writer made it) is no table, not a failed scrape.
            if (lastRootFailure_ != e.what())
                std::fprintf(stderr, "vesk serve: %s\n", Mem::escapedName(e.what()).c_str());
            lastRootFailure_ = e.what();
        }
        if (s.rootUp)
            lastRootFailure_.clear();
        std::sort(unnamed.begin(), unnamed.end());
        reportUnnamed(unnamed);
        s.tablesUnnamed = unnamed.size();
        s.tablesFound = names.size();
        uint64_t series = 0;
        for (const std::string& name : names) {
            if (monotonicSeconds() > deadline || stopRequested()) {
                ++s.tablesSkipped;
                continue;
            }
            const auto owner = owners.find(name);
            TableMetrics t =
                readTable(name, owner != owners.end() ? owner->second : Vesk::OwnerStamp{}, series);
            if (t.aggregated)
                s.seriesDropped += t.records * (t.fields->names.size() - 1);
            report(t);
            s.tables.push_back(std::move(t));
        }
        s.seconds = monotonicSeconds() - start;
        std::string text = render(s, format);
        // What is kept of tables that went: nothing (a table that comes back starts again).
        std::erase_if(totals_, [&](const auto& t) { return !contains(names, t.first); });
        std::erase_if(lastFailure_, [&](const auto& t) { return !contains(names, t.first); });
        std::erase_if(kept_, [&](const auto& t) { return !contains(names, t.first); });
        return text;
    }

  private:
    struct Totals {
        uint64_t retries = 0, remaps = 0;
    };

    // The fields of a record type, from its description, and their series; made once per type.
    struct TypeFields {
        explicit TypeFields(const std::string& typeName)
            : record(typeName), series(record.names()) {}
        RecordFields record;
        SeriesFields series;
    };

    // What a scrape keeps of a table it read, for the next one: its reader (attached, its files
    // mapped) and what the probe said that does not change while the reader follows the files.
    // Reading it again costs the records it reads, one look at whether its files are still the
    // table's, and whether its writer runs.
    class Kept {
      public:
        virtual ~Kept() = default;
        // Reads the table into t; throws what the reader throws. False when the reader no
        // longer has the table's files (removed, or made anew with another record type): the
        // table is then probed afresh.
        virtual bool read(Impl& scraper, TableMetrics& t, uint64_t& series) = 0;

        std::string type;
        const TypeFields* fields = nullptr;
        Totals seen;  // the reader's counters already in the server's totals
        // The owner file as last read: its stamp and the writer it names ("" for none).
        Vesk::OwnerStamp owner;
        std::string conduit;
    };

    template <class Ops>
    class KeptReader : public Kept {
      public:
        explicit KeptReader(std::unique_ptr<Vesk::VeskReader<Ops>> reader)
            : reader_(std::move(reader)) {}

        bool read(Impl& scraper, TableMetrics& t, uint64_t& series) override {
            if (!reader_->followFiles())
                return false;
            const std::vector<typename Ops::Value> records = readAll(*reader_, t.name);
            t.type = type;
            t.fields = &fields->series;
            t.generation = reader_->cinderId().toString();
            t.records = records.size();
            t.capacity = reader_->capacity();
            t.buckets = reader_->buckets();
            const Vesk::Reader::Counters& c = reader_->counters();
            const Totals now{c.retries + c.remapRetries,
                             c.resizes + c.bucketResizes + c.baseChanges};
            Totals& totals = scraper.totals_[t.name];
            totals.retries += now.retries - seen.retries;
            totals.remaps += now.remaps - seen.remaps;
            seen = now;
            scraper.fill(t, fields->record, records, series);
            return true;
        }

      private:
        std::unique_ptr<Vesk::VeskReader<Ops>> reader_;
    };

    // owner: the table's owner file as this scrape's listing saw it.
    TableMetrics readTable(const std::string& name, const Vesk::OwnerStamp& owner,
                           uint64_t& series) {
        TableMetrics t;
        t.name = name;
        try {
            auto it = kept_.find(name);
            if (it != kept_.end() && readKept(*it->second, t, series))
                t.writerAlive = writerRuns(*it->second, name, owner);
            else
                readFresh(t, owner, series);
            t.up = true;
        } catch (const ToolError& e) {
            failed(t, e.reason(), e.what());
        } catch (const Vesk::TableUnreadableException& e) {
            failed(t, e.reason(),
                   fmt::format("{}: {}", Vesk::attachFailureText(e.reason()), e.msg()));
        } catch (const Pimbo::CorruptionDetectedException& e) {
            failed(t, Vesk::AttachFailure::corrupt, fmt::format("corrupt: {}", e.msg()));
        } catch (const std::exception& e) {
            failed(t, Vesk::AttachFailure::none, e.what());
        }
        const Totals& totals = totals_[name];
        t.retries = totals.retries;
        t.remaps = totals.remaps;
        return t;
    }

    bool readKept(Kept& kept, TableMetrics& t, uint64_t& series) {
        if (kept.read(*this, t, series))
            return true;
        kept_.erase(t.name);
        return false;
    }

    // A table met for the first time, or again after its reader lost it: probed and attached;
    // its reader is kept for the next scrape while there are descriptors to spare.
    void readFresh(TableMetrics& t, const Vesk::OwnerStamp& owner, uint64_t& series) {
        const TableProbe p = probeTable(t.name);
        withKind(p.kind, [&]<class Ops>() {
            auto kept = std::make_unique<KeptReader<Ops>>(attachReader<Ops>(p));
            kept->type = p.typeText();
            kept->fields = &fieldsOf(p.valueType);
            kept->owner = owner;
            kept->conduit = p.ownerConduit;
            kept->read(*this, t, series);
            if (kept_.size() < keptLimit_)
                kept_[t.name] = std::move(kept);
        });
        t.writerAlive = p.writerAlive;
    }

    // Whether the writer of a kept table runs. While the owner file is the one it read last,
    // the writer it names is the one to ask about (is that process alive: one look at /proc);
    // a writer that restarts or stops replaces the file. Otherwise the owner file is read and
    // the writer lock asked (Mem::WriterLock::writerRuns). A writer that holds the lock but
    // has not recorded itself yet counts from the scrape after it has.
    bool writerRuns(Kept& kept, const std::string& name, const Vesk::OwnerStamp& owner) {
        if (owner.inode != 0 && kept.owner == owner) {
            std::string ignored;
            return !kept.conduit.empty() &&
                   Mem::WriterLock::ownerIsAlive(toolHandler(), kept.conduit, ignored);
        }
        const Mem::RootPath rootPath(toolHandler(), name, false);
        kept.owner = owner;
        try {
            kept.conduit =
                Plinth::OwnerFile(toolHandler(), rootPath, false).conduitInfo().socketName;
        } catch (const Pimbo::Exception&) {
            kept.owner = Vesk::OwnerStamp{};  // read again next time
        }
        return Mem::WriterLock::writerRuns(toolHandler(), rootPath);
    }

    void failed(TableMetrics& t, Vesk::AttachFailure reason, const std::string& message) {
        kept_.erase(t.name);  // its next scrape starts afresh
        t.up = false;
        t.reason = reason == Vesk::AttachFailure::none ? "error" : Vesk::attachFailureText(reason);
        t.message = message;
        t.rows.clear();
        t.sums.clear();
        t.aggregated = false;
    }

    // The records' words, or their sums when they would pass the series limit.
    template <class Value>
    void fill(TableMetrics& t, const RecordFields& fields, const std::vector<Value>& records,
              uint64_t& series) {
        const size_t width = t.fields->names.size();
        const uint64_t wanted = records.size() * (width - 1);
        t.aggregated = series + wanted > options_.maxSeries;
        if (!t.aggregated) {
            t.rows.resize(records.size() * width);
            for (size_t i = 0; i < records.size(); ++i)
                fields.read(&records[i], &t.rows[i * width]);
            series += wanted;
            return;
        }
        t.sums.assign(width, 0);
        std::vector<uint64_t> words(width);
        for (const Value& v : records) {
            fields.read(&v, words.data());
            for (size_t f = 1; f < width; ++f)
                t.sums[f] += words[f];
        }
    }

    const TypeFields& fieldsOf(const std::string& typeName) {
        std::unique_ptr<TypeFields>& fields = types_[typeName];
        if (!fields)
            fields = std::make_unique<TypeFields>(typeName);
        return *fields;
    }

    // A failure on stderr when it is new for the table, and once when the table is read again.
    void report(const TableMetrics& t) {
        std::string& last = lastFailure_[t.name];
        if (t.message != last) {
            const std::string name = Mem::escapedName(t.name);
            if (t.up)
                std::fprintf(stderr, "vesk serve: table '%s' is read again\n", name.c_str());
            else
                std::fprintf(stderr, "vesk serve: table '%s': %s\n", name.c_str(),
                             Mem::escapedName(t.message).c_str());
            last = t.message;
        }
    }

    // Each directory left out for its name, once on stderr, escaped.
    void reportUnnamed(const std::vector<std::string>& unnamed) {
        for (const std::string& dir : unnamed) {
            if (unnamedReported_.insert(dir).second) {
                std::fprintf(stderr,
                             "vesk serve: skipping directory '%s': its name cannot be shown as "
                             "it is (not a table name)\n",
                             Mem::escapedName(dir).c_str());
            }
        }
        std::erase_if(unnamedReported_,
                      [&](const std::string& d) { return !contains(unnamed, d); });
    }

    const ServeOptions options_;
    const size_t keptLimit_;
    std::mutex mutex_;  // one scrape at a time; guards everything below
    std::map<std::string, Totals> totals_;
    std::map<std::string, std::string> lastFailure_;
    std::map<std::string, std::unique_ptr<Kept>> kept_;
    std::set<std::string> unnamedReported_;
    std::string lastRootFailure_;
    std::map<std::string, std::unique_ptr<TypeFields>> types_;
};

Scraper::Scraper(const ServeOptions& options) : impl_(std::make_unique<Impl>(options)) {}

Scraper::~Scraper() = default;

std::string Scraper::scrape(ExpositionFormat format) {
    return impl_->scrape(format);
}

}  // namespace VeskTool
