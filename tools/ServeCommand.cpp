// vesk serve: the tables under the root over HTTP, for Prometheus (/metrics). What a scrape
// says is made by the Scraper (Scraper.h), the connections are kept by the HttpServer
// (HttpServer.h); this file puts them together.
#include "Commands.h"
#include "Exposition.h"
#include "HttpServer.h"
#include "Numbers.h"
#include "Scraper.h"
#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <memory>

namespace VeskTool {

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
    HttpServer server(address,
                      [&scraper](ExpositionFormat format) { return scraper.scrape(format); });
    const bool v6 = address.host.find(':') != std::string::npos;
    const std::string shown =
        fmt::format("{}{}{}:{}", v6 ? "[" : "", address.host, v6 ? "]" : "", server.port());
    if (!server.loopback()) {
        std::fprintf(stderr,
                     "vesk serve: warning: %s is not a loopback address: the names, keys and "
                     "values of every table served can be read by anyone who reaches it over "
                     "the network, unauthenticated and unencrypted\n",
                     shown.c_str());
    }
    stopOnSignals();
    std::printf("vesk serve: http://%s/metrics\n", shown.c_str());
    std::fflush(stdout);
    server.run();
    return kOk;
}

void addServeCommand(ToolLine& line) {
    struct Words {
        std::string listen = "127.0.0.1:9477", tables = "*", maxSeries = "50000",
                    scrapeTimeout = "5";
    };
    auto w = std::make_shared<Words>();
    CLI::App* serve = line.add(
        "serve",
        "Serve every table under the root at /metrics over HTTP, for Prometheus: one series per "
        "record field per key, and per table its size, writer and reader figures (the text "
        "format 0.0.4, or OpenMetrics 1.0.0 when the scraper asks for it). Ends on "
        "SIGINT/SIGTERM",
        [w] {
            ServeOptions o;
            o.listen = w->listen;
            o.tables = w->tables;
            o.maxSeries = parseCount(w->maxSeries, "--max-series", 0, 100000000);
            o.scrapeSeconds = parseDecimal(w->scrapeTimeout, "--scrape-timeout", 0.1, 3600);
            return runServe(o);
        });
    serve
        ->add_option("--listen", w->listen,
                     "Address and port to listen on (default 127.0.0.1:9477, this host only; "
                     "port 0 picks a free one, printed on stdout)")
        ->type_name("HOST:PORT");
    serve->add_option("--tables", w->tables, "Serve only the tables whose names match (default *)")
        ->type_name("GLOB");
    serve
        ->add_option("--max-series", w->maxSeries,
                     "Record series per scrape (default 50000); a table that would pass the "
                     "limit is given as one sum per counter field, and vesk_series_dropped says "
                     "how many series that left out")
        ->type_name("N");
    serve
        ->add_option("--scrape-timeout", w->scrapeTimeout,
                     "Seconds a scrape may spend reading tables (default 5); the rest are "
                     "counted in vesk_scrape_tables_skipped")
        ->type_name("S");
}

}  // namespace VeskTool
