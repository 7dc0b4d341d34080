#include "Scraper.h"

#include "Pimbo/Exception.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace VeskTool {

namespace {

// The problem a one-line message names first: "corrupt: cannot read ..." -> "corrupt".
std::string reasonOf(const std::string& message) {
    const size_t colon = message.find(':');
    return colon == std::string::npos || colon == 0 ? "error" : message.substr(0, colon);
}

bool contains(const std::vector<std::string>& sorted, const std::string& name) {
    return std::binary_search(sorted.begin(), sorted.end(), name);
}

}  // namespace

class Scraper::Impl {
  public:
    explicit Impl(const ServeOptions& options) : options_(options) {}

    // The text of one scrape.
    std::string scrape(ExpositionFormat format) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const double start = monotonicSeconds();
        const double deadline = start + options_.scrapeSeconds;
        Scrape s;
        std::vector<std::string> names;
        try {
            for (const std::string& name : findTables()) {
                if (::fnmatch(options_.tables.c_str(), name.c_str(), 0) == 0)
                    names.push_back(name);
            }
            s.rootUp = true;
        } catch (const ToolError& e) {
            // No root yet (no writer made it) is no table, not a failed scrape.
            if (lastRootFailure_ != e.what())
                std::fprintf(stderr, "vesk serve: %s\n", e.what());
            lastRootFailure_ = e.what();
        }
        if (s.rootUp)
            lastRootFailure_.clear();
        s.tablesFound = names.size();
        uint64_t series = 0;
        for (const std::string& name : names) {
            if (monotonicSeconds() > deadline || stopRequested()) {
                ++s.tablesSkipped;
                continue;
            }
            TableMetrics t = readTable(name, series);
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
        return text;
    }

  private:
    TableMetrics readTable(const std::string& name, uint64_t& series) {
        TableMetrics t;
        t.name = name;
        try {
            const TableProbe p = probeTable(name);
            t.type = p.typeText();
            t.generation = p.cinder.toString();
            t.writerAlive = p.writerAlive;
            const TypeFields& fields = fieldsOf(p.valueType);
            t.fields = &fields.series;
            withKind(p.kind, [&]<class Ops>() {
                auto reader = attachReader<Ops>(p);
                const std::vector<typename Ops::Value> records = readAll(*reader, name);
                t.records = records.size();
                t.capacity = reader->capacity();
                t.buckets = reader->buckets();
                const Vesk::Reader::Counters c = reader->readerCounters();
                Totals& totals = totals_[name];
                totals.retries += c.retries + c.remapRetries;
                totals.remaps += c.resizes + c.bucketResizes + c.baseChanges;
                fill(t, fields.record, records, series);
            });
            t.up = true;
        } catch (const Pimbo::CorruptionDetectedException& e) {
            t.reason = "corrupt";
            t.message = fmt::format("corrupt: {}", e.msg());
        } catch (const std::exception& e) {
            t.reason = reasonOf(e.what());
            t.message = e.what();
        }
        const Totals& totals = totals_[name];
        t.retries = totals.retries;
        t.remaps = totals.remaps;
        return t;
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

    // The fields of a record type, from its description, and their series; made once per type.
    struct TypeFields {
        explicit TypeFields(const std::string& typeName)
            : record(typeName), series(record.names()) {}
        RecordFields record;
        SeriesFields series;
    };
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
            if (t.up)
                std::fprintf(stderr, "vesk serve: table '%s' is read again\n", t.name.c_str());
            else
                std::fprintf(stderr, "vesk serve: table '%s': %s\n", t.name.c_str(),
                             t.message.c_str());
            last = t.message;
        }
    }

    struct Totals {
        uint64_t retries = 0, remaps = 0;
    };

    const ServeOptions options_;
    std::mutex mutex_;  // one scrape at a time; guards everything below
    std::map<std::string, Totals> totals_;
    std::map<std::string, std::string> lastFailure_;
    std::string lastRootFailure_;
    std::map<std::string, std::unique_ptr<TypeFields>> types_;
};

Scraper::Scraper(const ServeOptions& options) : impl_(std::make_unique<Impl>(options)) {}

Scraper::~Scraper() = default;

std::string Scraper::scrape(ExpositionFormat format) {
    return impl_->scrape(format);
}

}  // namespace VeskTool
