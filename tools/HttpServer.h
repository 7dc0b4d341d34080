// The HTTP/1.1 server of `vesk serve`, built for clients that may be hostile: any local user
// can reach it, and with a listen address other than loopback any host.
//
// One thread (the one calling run()) waits on every connection with epoll and never blocks on
// a client; one worker thread makes the scrapes. Every bound is per request and total, never
// per read:
// - A request's line and headers come within requestSeconds of its connection (or of its first
//   byte on a kept-alive connection), in at most maxHeadBytes and maxHeaders lines, else the
//   connection is answered (414, 431) or closed. A kept-alive connection may idle idleSeconds
//   between requests, and an answer must be taken within answerSeconds.
// - Connections are bounded per peer (an IPv4 address, an IPv6 /64) and in total. A connection
//   past a bound is always let in: the bound makes room by closing the least advanced
//   connection of that peer (of the busiest peer, for the total): one that has not finished its
//   request, the longest first, before one being answered. A client that sends its request at
//   once therefore gets its answer whatever the others do.
// - A connection holds at most maxHeadBytes of request; answers are shared by the requests one
//   scrape served, and the answers being written are bounded together (maxAnswerBytes: past it
//   the connections holding the oldest answers are closed).
// GET /metrics is the scrape (requests waiting together share one scrape per format), GET / a
// line of text, HEAD the same without the body; anything else a short error answer.
#pragma once

#include "Commands.h"
#include "Exposition.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace VeskTool {

struct HttpLimits {
    size_t maxConnections = 256;
    size_t maxPerPeer = 32;
    size_t maxRequestLine = 8192;
    size_t maxHeadBytes = 16384;  // request line and headers
    size_t maxHeaders = 100;
    double requestSeconds = 10;
    double idleSeconds = 60;
    double answerSeconds = 30;
    size_t maxAnswerBytes = size_t(64) << 20;
};

class HttpServer {
  public:
    using Scrape = std::function<std::string(ExpositionFormat)>;

    // Listens on `address` (throws ToolError(kUsage) when it cannot); `scrape` runs on the
    // worker thread, one call at a time.
    HttpServer(const ListenAddress& address, Scrape scrape, HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const;
    // The address listened on is 127.0.0.0/8, ::1 or an IPv4-mapped loopback address.
    bool loopback() const;

    // Serves until stopRequested() (Signals.h); the scrape under way, if any, ends first.
    void run();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace VeskTool
