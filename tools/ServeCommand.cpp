// vesk serve: the tables under the root over HTTP, for Prometheus (/metrics).
//
// Every scrape looks for the tables anew and attaches a fresh reader to each, so tables that
// appear, disappear, restart or are re-formatted between two scrapes need no watching. A table
// is read by one slot-order scan (whole records) and never through the writer's lock or files.
// Scrapes are read one at a time (a reader serves one thread); each has a time bound, after
// which the tables not yet read are counted as skipped. A table that cannot be read is a
// metric (vesk_table_up 0, vesk_table_failure with the reason) and one line on stderr when its
// reason changes, never an error answer for the others.
#include "Commands.h"
#include "Exposition.h"
#include "Pimbo/Exception.h"
#include "RecordFields.h"
#include "RecordKinds.h"
#include "Signals.h"
#include "TableFiles.h"
#include "TableReader.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <fnmatch.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

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

class Scraper {
  public:
    explicit Scraper(const ServeOptions& options) : options_(options) {}

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

}  // namespace

ListenAddress parseListen(const std::string& text) {
    const size_t colon = text.rfind(':');
    ListenAddress a;
    if (colon != std::string::npos && colon > 0) {
        a.host = text.substr(0, colon);
        if (a.host.size() > 2 && a.host.front() == '[' && a.host.back() == ']')
            a.host = a.host.substr(1, a.host.size() - 2);
    }
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (a.host.empty() || port.empty() || ec != std::errc() || end != port.data() + port.size() ||
        value > 65535) {
        throw ToolError(kUsage, fmt::format("bad address '{}' for --listen: want HOST:PORT, such "
                                            "as 127.0.0.1:9477 ([::1]:9477 for IPv6; port 0 "
                                            "picks a free one)",
                                            text));
    }
    a.port = int(value);
    return a;
}

int runServe(const ServeOptions& options) {
    const ListenAddress address = parseListen(options.listen);
    Scraper scraper(options);
    httplib::Server server;
    // A slow or silent client holds a connection for seconds, not for ever, and sends nothing
    // large.
    server.set_read_timeout(5);
    server.set_write_timeout(10);
    server.set_keep_alive_timeout(5);
    server.set_payload_max_length(1 << 16);
    // SO_REUSEADDR only: the library's default also shares the port (SO_REUSEPORT) with any
    // other server of this user that binds it, which would split the scrapes between the two.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Get("/metrics", [&](const httplib::Request& request, httplib::Response& response) {
        const ExpositionFormat format = formatFor(request.get_header_value("Accept"));
        response.set_content(scraper.scrape(format), contentType(format));
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("vesk serve: the counter tables are at /metrics\n", "text/plain");
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            std::string what = "unknown error";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            std::fprintf(stderr, "vesk serve: scrape failed: %s\n", what.c_str());
            response.status = 500;
            response.set_content("scrape failed: " + what + "\n", "text/plain");
        });

    int port = address.port;
    if (port == 0)
        port = server.bind_to_any_port(address.host);
    else if (!server.bind_to_port(address.host, port))
        port = -1;
    if (port < 0) {
        throw ToolError(kUsage, fmt::format("cannot listen on {}: the address is in use or not "
                                            "one of this host's",
                                            options.listen));
    }
    const std::string host =
        address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    std::printf("vesk serve: http://%s:%d/metrics\n", host.c_str(), port);
    std::fflush(stdout);

    stopOnSignals();
    std::atomic<bool> ended{false};
    std::thread stopper([&] {
        while (!ended && !stopRequested())
            sleepUnlessStopped(0.2);
        server.stop();
    });
    server.listen_after_bind();
    ended = true;
    stopper.join();
    return kOk;
}

}  // namespace VeskTool
