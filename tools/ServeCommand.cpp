// vesk serve: the tables under the root over HTTP, for Prometheus (/metrics). What a scrape
// says is made by the Scraper (Scraper.h), the connections are kept by the HttpServer
// (HttpServer.h); this file puts them together.
#include "Commands.h"
#include "Exposition.h"
#include "HttpServer.h"
#include "Scraper.h"
#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdio>

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

}  // namespace VeskTool
