// What `vesk serve` answers a scraper: the tables of one scrape, and their text in the
// Prometheus text format 0.0.4 or in OpenMetrics 1.0.0.
//
// One series per record field per key, `vesk_<field>{table="t",key="7"}`, the field's name from
// the record type's description in lower case (counterA -> countera: a type name or a one-letter
// unit as a word of a name, as in counter_a, is what scrapers' linters refuse; so is the word
// "bits", given as "bitmap": bits -> vesk_bitmap). Counters end in _total; a field that holds
// bits (named bits, ...Bits or bitmap...) is a gauge. The module description tells a field a
// writer changes from the key, not a count from a bitmap, so the name does.
// Per table: whether it was read (vesk_table_up), what it is (vesk_table_info: type and
// generation), its records, capacity, buckets, whether its writer lives, and this server's
// reader retries and re-maps since it started. A table whose series would go beyond the
// series limit is given as one sum per counter field instead (vesk_table_field_aggregate), and
// vesk_series_dropped says how many series that left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VeskTool {

enum class MetricKind { counter, gauge, info };
enum class ExpositionFormat { text004, openMetrics };

// "text/plain; version=0.0.4; charset=utf-8" or the OpenMetrics type.
const char* contentType(ExpositionFormat format);
// OpenMetrics when the scraper's Accept header asks for it, else the text format.
ExpositionFormat formatFor(const std::string& acceptHeader);

// The fields of one record type as series: the key is first in `names` and has no series.
struct SeriesFields {
    std::vector<std::string> names;     // as the description names them, key first
    std::vector<std::string> families;  // "vesk_packets" per name; [0] unused
    std::vector<MetricKind> kinds;      // per name; [0] unused

    explicit SeriesFields(std::vector<std::string> fieldNames);
};

// The metric family of field `name`: "vesk_" and the name in lower case, every character
// outside [A-Za-z0-9] made '_', and a word "bits" of it "bitmap" (rx_bits -> vesk_rx_bitmap).
std::string familyName(const std::string& name);

struct TableMetrics {
    std::string name;
    bool up = false;
    std::string reason;   // when not up: the problem first named ("no such table", "corrupt")
    std::string message;  // when not up: the whole one-line message
    std::string type;     // "simple"
    std::string generation;
    uint64_t records = 0, capacity = 0, buckets = 0;
    bool writerAlive = false;
    uint64_t retries = 0, remaps = 0;  // this server's readers of the table, since it started
    const SeriesFields* fields = nullptr;
    std::vector<uint64_t> rows;  // per record its words (key first), when given whole
    bool aggregated = false;     // rows left out, sums given
    std::vector<uint64_t> sums;  // per field name (the key's unused), when aggregated
};

struct Scrape {
    bool rootUp = false;               // the root could be listed
    std::vector<TableMetrics> tables;  // by name
    uint64_t tablesFound = 0;
    uint64_t tablesSkipped = 0;  // left unread when the scrape's time ran out
    uint64_t tablesUnnamed = 0;  // directories left out: their names break the name rule
    uint64_t seriesDropped = 0;
    double seconds = 0;
};

std::string render(const Scrape& scrape, ExpositionFormat format);

}  // namespace VeskTool
