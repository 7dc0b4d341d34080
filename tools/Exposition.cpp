// The text of a scrape (Exposition.h).
#include "Exposition.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <iterator>

namespace VeskTool {

const char* contentType(ExpositionFormat format) {
    return format == ExpositionFormat::openMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

ExpositionFormat formatFor(const std::string& acceptHeader) {
    return acceptHeader.find("application/openmetrics-text") != std::string::npos
               ? ExpositionFormat::openMetrics
               : ExpositionFormat::text004;
}

std::string familyName(const std::string& name) {
    std::string out = "vesk";
    std::string word;
    for (size_t at = 0; at <= name.size(); ++at) {
        const unsigned char u = at < name.size() ? static_cast<unsigned char>(name[at]) : 0;
        if (std::isalnum(u)) {
            word += char(std::tolower(u));
            continue;
        }
        out += '_';
        out += word == "bits" ? "bitmap" : word;  // a bit pattern, not a size in bits
        word.clear();
    }
    return out;
}

SeriesFields::SeriesFields(std::vector<std::string> fieldNames) : names(std::move(fieldNames)) {
    for (const std::string& name : names) {
        families.push_back(familyName(name));
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        const bool bits = lower == "bits" || lower.ends_with("bits") || lower.starts_with("bitmap");
        kinds.push_back(bits ? MetricKind::gauge : MetricKind::counter);
    }
}

namespace {

// A label value with \, " and newline escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

class Writer {
  public:
    explicit Writer(ExpositionFormat format) : format_(format) {}

    // HELP and TYPE of a family; samples() follow.
    void family(const std::string& base, MetricKind kind, const char* help) {
        sample_ = base + (kind == MetricKind::counter ? "_total"
                          : kind == MetricKind::info  ? "_info"
                                                      : "");
        const bool om = format_ == ExpositionFormat::openMetrics;
        const std::string& named = om ? base : sample_;
        const char* type = kind == MetricKind::counter      ? "counter"
                           : kind == MetricKind::info && om ? "info"
                                                            : "gauge";
        out_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", named, help, named, type);
    }
    // One sample of the current family; `labels` is "" or `a="x",b="y"`; the value a whole
    // number or seconds.
    template <class Number>
    void sample(const std::string& labels, Number value) {
        const bool braces = !labels.empty();
        fmt::format_to(std::back_inserter(out_), "{}{}{}{} {}\n", sample_, braces ? "{" : "",
                       labels, braces ? "}" : "", value);
    }
    std::string finish() {
        if (format_ == ExpositionFormat::openMetrics)
            out_ += "# EOF\n";
        return std::move(out_);
    }

  private:
    ExpositionFormat format_;
    std::string out_;
    std::string sample_;
};

std::string tableLabel(const TableMetrics& t) {
    return fmt::format("table=\"{}\"", labelValue(t.name));
}

// The record fields: each family once, in the order the tables' fields first name it; its
// samples from every table that has the field, the tables in name order.
void renderRecordFields(Writer& w, const Scrape& scrape) {
    std::vector<std::pair<std::string, MetricKind>> families;
    for (const TableMetrics& t : scrape.tables) {
        for (size_t f = 1; t.up && f < t.fields->names.size(); ++f) {
            const std::pair<std::string, MetricKind> family{t.fields->families[f],
                                                            t.fields->kinds[f]};
            if (std::find(families.begin(), families.end(), family) == families.end())
                families.push_back(family);
        }
    }
    for (const auto& [family, kind] : families) {
        w.family(family, kind, "A record field of a counter table, per key");
        for (const TableMetrics& t : scrape.tables) {
            if (!t.up || t.aggregated)
                continue;
            const std::vector<std::string>& fams = t.fields->families;
            const size_t width = fams.size();
            for (size_t f = 1; f < width; ++f) {
                if (fams[f] != family || t.fields->kinds[f] != kind)
                    continue;
                const std::string table = tableLabel(t);
                for (size_t at = 0; at + width <= t.rows.size(); at += width)
                    w.sample(fmt::format("{},key=\"{}\"", table, t.rows[at]), t.rows[at + f]);
            }
        }
    }
}

// The figures of each table.
void renderTables(Writer& w, const Scrape& scrape) {
    auto perTable = [&](const char* base, MetricKind kind, const char* help, auto value,
                        bool onlyUp = true) {
        w.family(base, kind, help);
        for (const TableMetrics& t : scrape.tables) {
            if (t.up || !onlyUp)
                w.sample(tableLabel(t), uint64_t(value(t)));
        }
    };
    perTable(
        "vesk_table_up", MetricKind::gauge, "1 when the table was read, 0 when it failed",
        [](const TableMetrics& t) { return t.up; }, false);
    w.family("vesk_table", MetricKind::info, "The record type and generation of a table");
    for (const TableMetrics& t : scrape.tables) {
        if (t.up) {
            w.sample(fmt::format("{},type=\"{}\",generation=\"{}\"", tableLabel(t),
                                 labelValue(t.type), labelValue(t.generation)),
                     uint64_t(1));
        }
    }
    perTable("vesk_table_records", MetricKind::gauge, "Records read from the table",
             [](const TableMetrics& t) { return t.records; });
    perTable("vesk_table_capacity", MetricKind::gauge, "Slots of the table",
             [](const TableMetrics& t) { return t.capacity; });
    perTable("vesk_table_buckets", MetricKind::gauge, "Buckets of the table",
             [](const TableMetrics& t) { return t.buckets; });
    perTable("vesk_table_writer_alive", MetricKind::gauge, "1 while the table's writer runs",
             [](const TableMetrics& t) { return t.writerAlive; });
    perTable(
        "vesk_table_reader_retries", MetricKind::counter,
        "Reads that this server's readers retried because a record moved under them",
        [](const TableMetrics& t) { return t.retries; }, false);
    perTable(
        "vesk_table_reader_remaps", MetricKind::counter,
        "Files this server's readers mapped again after the writer resized them",
        [](const TableMetrics& t) { return t.remaps; }, false);
    w.family("vesk_table_failure", MetricKind::gauge,
             "1 for a table that could not be read, with the reason");
    for (const TableMetrics& t : scrape.tables) {
        if (!t.up)
            w.sample(fmt::format("{},reason=\"{}\"", tableLabel(t), labelValue(t.reason)),
                     uint64_t(1));
    }
    w.family("vesk_table_field_aggregate", MetricKind::gauge,
             "The sum of a counter field over a table's records, for a table given as sums "
             "because its series would pass the series limit");
    for (const TableMetrics& t : scrape.tables) {
        for (size_t f = 1; t.up && t.aggregated && f < t.fields->names.size(); ++f) {
            if (t.fields->kinds[f] == MetricKind::counter)
                w.sample(
                    fmt::format("{},field=\"{}\"", tableLabel(t), labelValue(t.fields->names[f])),
                    t.sums[f]);
        }
    }
}

// The figures of the scrape itself.
void renderScrape(Writer& w, const Scrape& scrape) {
    w.family("vesk_root_up", MetricKind::gauge, "1 when the table root could be listed");
    w.sample("", uint64_t(scrape.rootUp));
    w.family("vesk_tables", MetricKind::gauge, "Tables found under the root");
    w.sample("", scrape.tablesFound);
    w.family("vesk_scrape_tables_skipped", MetricKind::gauge,
             "Tables left unread when the scrape's time ran out");
    w.sample("", scrape.tablesSkipped);
    w.family("vesk_scrape_directories_unnamed", MetricKind::gauge,
             "Directories under the root left out because their names cannot be shown as they "
             "are (not valid UTF-8, or control or reordering characters)");
    w.sample("", scrape.tablesUnnamed);
    w.family("vesk_series_dropped", MetricKind::gauge,
             "Record series left out by the series limit (their tables are given as sums)");
    w.sample("", scrape.seriesDropped);
    w.family("vesk_scrape_duration_seconds", MetricKind::gauge, "How long reading the tables took");
    w.sample("", scrape.seconds);
}

}  // namespace

std::string render(const Scrape& scrape, ExpositionFormat format) {
    Writer w(format);
    renderRecordFields(w, scrape);
    renderTables(w, scrape);
    renderScrape(w, scrape);
    return w.finish();
}

}  // namespace VeskTool
