// vesk serve: the tables under the root over HTTP, for Prometheus (/metrics). What a scrape
// says is made by the Scraper (Scraper.h); this file listens and answers.
#include "Commands.h"
#include "Exposition.h"
#include "Scraper.h"
#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>
#include <httplib.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <thread>

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
