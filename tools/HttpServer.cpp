// The HTTP server of `vesk serve` (HttpServer.h).
#include "HttpServer.h"

#include "Signals.h"
#include "ToolError.h"

#include <fmt/format.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace VeskTool {

namespace {

// The answers given, in the order of kStatusLines.
enum class HttpStatus {
    ok,
    badRequest,
    notFound,
    badMethod,
    uriTooLong,
    headersTooLarge,
    scrapeFailed,
    badVersion
};

struct StatusLine {
    int code;
    const char* text;
};
constexpr StatusLine kStatusLines[] = {
    {200, "OK"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {414, "URI Too Long"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {505, "HTTP Version Not Supported"},
};

static_assert(std::size(kStatusLines) == size_t(HttpStatus::badVersion) + 1);

StatusLine statusLine(HttpStatus s) {
    return kStatusLines[size_t(s)];
}

// The body of an error answer: one line.
std::string errorText(HttpStatus s, const HttpLimits& limits) {
    switch (s) {
        case HttpStatus::notFound:
            return "vesk serve: the counter tables are at /metrics\n";
        case HttpStatus::badMethod:
            return "vesk serve: only GET and HEAD are answered\n";
        case HttpStatus::uriTooLong:
            return fmt::format("vesk serve: request line longer than {} bytes\n",
                               limits.maxRequestLine);
        case HttpStatus::headersTooLarge:
            return fmt::format(
                "vesk serve: more than {} header lines or {} bytes of request head\n",
                limits.maxHeaders, limits.maxHeadBytes);
        case HttpStatus::badVersion:
            return "vesk serve: HTTP/1.0 and HTTP/1.1 are answered\n";
        default:
            return "vesk serve: malformed request (or one with a body)\n";
    }
}

// A request's head as far as it matters here, or why it cannot be answered.
struct Request {
    HttpStatus problem = HttpStatus::ok;
    bool get = false;  // GET, or HEAD: the same answer without its body
    bool headOnly = false;
    std::string_view path;  // the target without its query
    bool keepAlive = true;
    ExpositionFormat format = ExpositionFormat::text004;
};

bool isTokenChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return std::isalnum(u) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

// Visible ASCII and bytes above it (a target), with tabs and spaces too (a header's value).
bool isText(std::string_view s, bool blanks) {
    return std::all_of(s.begin(), s.end(), [blanks](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u > 0x20 && u != 0x7f) || (blanks && (c == ' ' || c == '\t'));
    });
}

bool equalsLower(std::string_view s, std::string_view lower) {
    return s.size() == lower.size() &&
           std::equal(s.begin(), s.end(), lower.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The head of one request, up to the empty line that ends it. Lines end in CRLF or LF; a CR
// anywhere else, a folded line or a byte below 0x20 makes it a bad request.
Request parseHead(std::string_view head, size_t maxHeaders) {
    Request r;
    auto nextLine = [&head] {
        const size_t end = std::min(head.find('\n'), head.size());
        std::string_view line = head.substr(0, end);
        head.remove_prefix(std::min(end + 1, head.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    };
    const std::string_view line = nextLine();
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        r.problem = HttpStatus::badRequest;
        return r;
    }
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || target.front() != '/' || !isText(target, false)) {
        r.problem = HttpStatus::badRequest;
        return r;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        r.problem = version.starts_with("HTTP/") ? HttpStatus::badVersion : HttpStatus::badRequest;
        return r;
    }
    r.get = method == "GET" || method == "HEAD";
    r.headOnly = method == "HEAD";
    r.path = target.substr(0, target.find('?'));

    bool close = false, keep = false;
    std::string accept;
    for (size_t count = 0; !head.empty(); ++count) {
        const std::string_view field = nextLine();
        if (field.empty())
            break;  // the empty line that ends the head
        const size_t colon = field.find(':');
        if (count == maxHeaders) {
            r.problem = HttpStatus::headersTooLarge;
            return r;
        }
        if (colon == std::string_view::npos || !isToken(field.substr(0, colon)) ||
            !isText(field.substr(colon + 1), true)) {
            r.problem = HttpStatus::badRequest;  // also a folded line: it starts with a blank
            return r;
        }
        const std::string_view name = field.substr(0, colon);
        const std::string_view value = trimmed(field.substr(colon + 1));
        if (equalsLower(name, "connection")) {
            for (std::string_view rest = value; !rest.empty();) {
                const size_t comma = std::min(rest.find(','), rest.size());
                close = close || equalsLower(trimmed(rest.substr(0, comma)), "close");
                keep = keep || equalsLower(trimmed(rest.substr(0, comma)), "keep-alive");
                rest.remove_prefix(std::min(comma + 1, rest.size()));
            }
        } else if ((equalsLower(name, "content-length") && value != "0") ||
                   equalsLower(name, "transfer-encoding")) {
            r.problem = HttpStatus::badRequest;  // no request here has a body
            return r;
        } else if (equalsLower(name, "accept")) {
            accept.append(value).append(",");
        }
    }
    r.keepAlive = !close && (version == "HTTP/1.1" || keep);
    r.format = formatFor(accept);
    return r;
}

// The length of the head at the start of `in`, its empty line included; 0 while it is not
// complete. The search starts near `from`, where the last one ended.
size_t headEnd(std::string_view in, size_t from) {
    for (size_t at = in.find('\n', from > 2 ? from - 2 : 0); at != std::string_view::npos;
         at = in.find('\n', at + 1)) {
        if (at + 1 < in.size() && in[at + 1] == '\n')
            return at + 2;
        if (at + 2 < in.size() && in[at + 1] == '\r' && in[at + 2] == '\n')
            return at + 3;
    }
    return 0;
}

// Whom a connection counts against: an IPv4 address (also when mapped into IPv6) or the /64
// of an IPv6 address, as bytes.
std::string peerOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
        return std::string(reinterpret_cast<const char*>(&in), 4);
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        const char* bytes = reinterpret_cast<const char*>(&in6);
        return IN6_IS_ADDR_V4MAPPED(&in6) ? std::string(bytes + 12, 4) : std::string(bytes, 8);
    }
    return {};
}

bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24 == 127;
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&in6) || (IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127);
    }
    return false;
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// accept4 failures that concern one connection only: take the next.
bool acceptCanGoOn() {
    switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;
constexpr int kAcceptsPerTurn = 16;
constexpr double kAcceptPause = 0.1;  // after running out of descriptors or memory
constexpr double kDrainSeconds = 2;   // after the last answer, to let the client read it
constexpr size_t kDrainBytes = 256 << 10;

}  // namespace

class HttpServer::Impl {
  public:
    Impl(const ListenAddress& address, Scrape scrape, HttpLimits limits);
    ~Impl();
    void run();

    int port = 0;
    bool loopback = false;

  private:
    // reading: the request (or, idle, nothing yet after an answer); waiting: for its scrape;
    // writing: the answer; draining: the answer is sent and our side shut, the rest of what
    // the client sends is read and dropped until it closes, so that it gets the whole answer.
    enum class Phase { draining, reading, writing, waiting };  // the order of eviction

    struct Connection {
        uint64_t id = 0;
        int fd = -1;  // -1 once dropped
        std::string peer;
        Phase phase = Phase::reading;
        double since = 0;  // when the phase, or the request being read, began
        double deadline = 0;
        bool idle = false;
        std::string in;  // of requests not yet answered
        size_t scanned = 0;
        bool keepAlive = false;
        bool headOnly = false;
        std::string head;
        std::shared_ptr<const std::string> body;
        size_t sent = 0;
        size_t drained = 0;
    };
    struct Job {
        uint64_t id;
        ExpositionFormat format;
    };
    struct Answer {
        uint64_t id;
        HttpStatus status;
        ExpositionFormat format;
        std::shared_ptr<const std::string> body;
    };

    void acceptAll();
    void admit(int fd, const std::string& peer);
    void makeRoom(const std::string* peer);
    void advance(Connection& c);
    void readRequest(Connection& c);
    void handle(Connection& c, size_t lead, size_t headSize);
    void fail(Connection& c, HttpStatus status);
    void answer(Connection& c, HttpStatus status, const char* type,
                std::shared_ptr<const std::string> body);
    void write(Connection& c);
    void drain(Connection& c);
    void drop(Connection& c);
    void collectAnswers();
    void boundAnswers();
    void expire();
    void work();
    void watchListen(uint32_t events);

    HttpLimits limits_;
    Scrape scrape_;
    int listenFd_ = -1, epollFd_ = -1, wakeFd_ = -1;
    double now_ = 0;
    double acceptPausedUntil_ = 0;
    uint64_t nextId_ = kWakeId + 1;
    std::unordered_map<uint64_t, Connection> connections_;
    std::unordered_map<std::string, size_t> perPeer_;
    size_t live_ = 0;
    std::vector<uint64_t> dropped_;  // erased at the end of each turn
    std::vector<uint64_t> ready_;    // kept alive after an answer: their next request
    std::shared_ptr<const std::string> nothing_ = std::make_shared<const std::string>();
    std::shared_ptr<const std::string> index_ =
        std::make_shared<const std::string>("vesk serve: the counter tables are at /metrics\n");
    char scratch_[16384];

    std::mutex mutex_;  // guards jobs_, answers_, stopping_
    std::condition_variable wake_;
    std::vector<Job> jobs_;
    std::vector<Answer> answers_;
    bool stopping_ = false;
};

HttpServer::Impl::Impl(const ListenAddress& address, Scrape scrape, HttpLimits limits)
    : limits_(limits), scrape_(std::move(scrape)) {
    const std::string shown = address.host.find(':') != std::string::npos
                                  ? fmt::format("[{}]:{}", address.host, address.port)
                                  : fmt::format("{}:{}", address.host, address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int looked =
        ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (looked != 0) {
        throw ToolError(kUsage,
                        fmt::format("cannot listen on {}: {}", shown, ::gai_strerror(looked)));
    }
    int problem = 0;
    for (const addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int yes = 1;
        // SO_REUSEADDR only: SO_REUSEPORT would share the port with any other server of this
        // user that binds it, and split the scrapes between the two.
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listenFd_ = fd;
        } else {
            problem = errno;
            if (fd >= 0)
                ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0) {
        throw ToolError(kUsage,
                        fmt::format("cannot listen on {}: {}", shown, std::strerror(problem)));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    loopback = isLoopback(bound);

    // Room for every connection and this process's other descriptors (the tables' files).
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limits_.maxConnections = std::min<size_t>(limits_.maxConnections, files.rlim_cur / 2);
    limits_.maxPerPeer = std::min(limits_.maxPerPeer, limits_.maxConnections);

    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeId;
    if (epollFd_ < 0 || wakeFd_ < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0)
        throw ToolError(kUsage, fmt::format("cannot serve on {}: {}", shown, std::strerror(errno)));
    epoll_event listen{};
    listen.events = EPOLLIN;
    listen.data.u64 = kListenId;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listen);
}

HttpServer::Impl::~Impl() {
    for (auto& [id, c] : connections_)
        drop(c);
    for (const int fd : {listenFd_, epollFd_, wakeFd_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void HttpServer::Impl::run() {
    // The worker leaves SIGINT and SIGTERM to this thread, whose epoll_wait they end.
    sigset_t stops, before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    std::thread worker([this] { work(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    epoll_event events[64];
    while (!stopRequested()) {
        const int n = ::epoll_wait(epollFd_, events, 64, ready_.empty() ? 100 : 0);
        now_ = monotonicSeconds();
        bool incoming = false;
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kListenId) {
                incoming = true;
            } else if (id == kWakeId) {
                collectAnswers();
            } else if (const auto it = connections_.find(id);
                       it != connections_.end() && it->second.fd >= 0) {
                if (events[i].events & (EPOLLERR | EPOLLHUP))
                    drop(it->second);
                else
                    advance(it->second);
            }
        }
        std::vector<uint64_t> ready;
        ready.swap(ready_);
        for (const uint64_t id : ready) {
            if (const auto it = connections_.find(id);
                it != connections_.end() && it->second.fd >= 0)
                advance(it->second);
        }
        // New connections last, a few a turn: a request that came in the meantime is read
        // before it can be the oldest of its address.
        if (incoming)
            acceptAll();
        expire();
        if (acceptPausedUntil_ > 0 && now_ >= acceptPausedUntil_) {
            acceptPausedUntil_ = 0;
            watchListen(EPOLLIN);
        }
        for (const uint64_t id : dropped_)
            connections_.erase(id);
        dropped_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker.join();
}

void HttpServer::Impl::watchListen(uint32_t events) {
    epoll_event listen{};
    listen.events = events;
    listen.data.u64 = kListenId;
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &listen);
}

void HttpServer::Impl::acceptAll() {
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            admit(fd, peerOf(address));
        } else if (wouldBlock()) {
            return;
        } else if (!acceptCanGoOn()) {
            // Out of descriptors or memory: the waiting connections stay queued a moment.
            acceptPausedUntil_ = now_ + kAcceptPause;
            watchListen(0);
            return;
        }
    }
}

void HttpServer::Impl::admit(int fd, const std::string& peer) {
    if (const auto it = perPeer_.find(peer);
        it != perPeer_.end() && it->second >= limits_.maxPerPeer)
        makeRoom(&peer);
    if (live_ >= limits_.maxConnections)
        makeRoom(nullptr);
    const uint64_t id = nextId_++;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLET;
    event.data.u64 = id;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(fd);
        return;
    }
    Connection& c = connections_[id];
    c.id = id;
    c.fd = fd;
    c.peer = peer;
    c.since = now_;
    c.deadline = now_ + limits_.requestSeconds;
    ++perPeer_[peer];
    ++live_;
    readRequest(c);  // most clients' requests are here already: before more connections come
}

// Closes the least advanced connection of `peer` (nullptr: of the peer with the most).
void HttpServer::Impl::makeRoom(const std::string* peer) {
    std::string whose;
    if (peer != nullptr) {
        whose = *peer;
    } else {
        size_t most = 0;
        for (const auto& [p, count] : perPeer_) {
            if (count > most)
                most = count, whose = p;
        }
    }
    Connection* victim = nullptr;
    for (auto& [id, c] : connections_) {
        if (c.fd >= 0 && c.peer == whose &&
            (victim == nullptr ||
             std::pair(c.phase, c.since) < std::pair(victim->phase, victim->since)))
            victim = &c;
    }
    if (victim != nullptr)
        drop(*victim);
}

void HttpServer::Impl::advance(Connection& c) {
    switch (c.phase) {
        case Phase::reading:
            readRequest(c);
            break;
        case Phase::writing:
            write(c);
            break;
        case Phase::draining:
            drain(c);
            break;
        case Phase::waiting:
            break;
    }
}

void HttpServer::Impl::readRequest(Connection& c) {
    for (;;) {
        // Empty lines before a request are allowed; they count against its bytes.
        const size_t lead = std::min(c.in.find_first_not_of("\r\n"), c.in.size());
        if (c.idle && lead < c.in.size()) {
            c.idle = false;
            c.since = now_;
            c.deadline = now_ + limits_.requestSeconds;
        }
        const std::string_view request = std::string_view(c.in).substr(lead);
        const size_t lineEnd = std::min(request.find('\n'), request.size());
        const size_t headSize = headEnd(request, c.scanned > lead ? c.scanned - lead : 0);
        c.scanned = c.in.size();
        if (lineEnd > limits_.maxRequestLine)
            return fail(c, HttpStatus::uriTooLong);
        if (headSize > 0)
            return handle(c, lead, headSize);
        if (c.in.size() >= limits_.maxHeadBytes)
            return fail(c, HttpStatus::headersTooLarge);
        const size_t room = std::min(sizeof scratch_, limits_.maxHeadBytes - c.in.size());
        const ssize_t n = ::recv(c.fd, scratch_, room, 0);
        if (n > 0)
            c.in.append(scratch_, size_t(n));
        else if (n < 0 && wouldBlock())
            return;
        else if (n == 0 || errno != EINTR)
            return drop(c);  // a request cut short has no answer
    }
}

void HttpServer::Impl::handle(Connection& c, size_t lead, size_t headSize) {
    const Request request =
        parseHead(std::string_view(c.in).substr(lead, headSize), limits_.maxHeaders);
    const HttpStatus status = request.problem != HttpStatus::ok ? request.problem
                              : !request.get                    ? HttpStatus::badMethod
                              : request.path != "/metrics" && request.path != "/"
                                  ? HttpStatus::notFound
                                  : HttpStatus::ok;
    const bool metrics = request.path == "/metrics";
    c.keepAlive = request.keepAlive;
    c.headOnly = request.headOnly;
    c.in.erase(0, lead + headSize);
    c.scanned = 0;
    if (status != HttpStatus::ok)
        return fail(c, status);
    if (!metrics)
        return answer(c, HttpStatus::ok, "text/plain; charset=utf-8", index_);
    c.phase = Phase::waiting;
    c.since = now_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.size() >= limits_.maxConnections) {
            // Requests of connections closed before their scrape: forgotten, so that a flood of
            // them during a long scrape holds no more than the connections do.
            std::erase_if(jobs_, [this](const Job& j) {
                const auto it = connections_.find(j.id);
                return it == connections_.end() || it->second.fd < 0 ||
                       it->second.phase != Phase::waiting;
            });
        }
        jobs_.push_back({c.id, request.format});
    }
    wake_.notify_one();
}

void HttpServer::Impl::fail(Connection& c, HttpStatus status) {
    c.keepAlive = false;
    answer(c, status, "text/plain; charset=utf-8",
           std::make_shared<const std::string>(errorText(status, limits_)));
}

void HttpServer::Impl::answer(Connection& c, HttpStatus status, const char* type,
                              std::shared_ptr<const std::string> body) {
    c.head = fmt::format(
        "HTTP/1.1 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\n{}"
        "Connection: {}\r\n\r\n",
        statusLine(status).code, statusLine(status).text, type, body->size(),
        status == HttpStatus::badMethod ? "Allow: GET, HEAD\r\n" : "",
        c.keepAlive ? "keep-alive" : "close");
    c.body = c.headOnly ? nothing_ : std::move(body);
    c.sent = 0;
    c.phase = Phase::writing;
    c.since = now_;
    c.deadline = now_ + limits_.answerSeconds;
    write(c);
}

void HttpServer::Impl::write(Connection& c) {
    const size_t total = c.head.size() + c.body->size();
    while (c.sent < total) {
        iovec parts[2];
        size_t count = 0;
        if (c.sent < c.head.size())
            parts[count++] = {c.head.data() + c.sent, c.head.size() - c.sent};
        const size_t bodySent = c.sent > c.head.size() ? c.sent - c.head.size() : 0;
        parts[count++] = {const_cast<char*>(c.body->data()) + bodySent, c.body->size() - bodySent};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(c.fd, &message, MSG_NOSIGNAL);
        if (n > 0)
            c.sent += size_t(n);
        else if (n < 0 && wouldBlock())
            return;
        else if (n == 0 || errno != EINTR)
            return drop(c);
    }
    c.head.clear();
    c.body.reset();
    c.headOnly = false;
    c.since = now_;
    if (c.keepAlive) {
        c.phase = Phase::reading;
        c.idle = true;
        c.deadline = now_ + limits_.idleSeconds;
        ready_.push_back(c.id);  // a next request may be here already: after the others' turn
    } else {
        ::shutdown(c.fd, SHUT_WR);
        c.phase = Phase::draining;
        c.deadline = now_ + kDrainSeconds;
        c.in.clear();
        c.in.shrink_to_fit();
        drain(c);
    }
}

void HttpServer::Impl::drain(Connection& c) {
    for (;;) {
        const ssize_t n = ::recv(c.fd, scratch_, sizeof scratch_, 0);
        if (n > 0 && (c.drained += size_t(n)) <= kDrainBytes)
            continue;
        if (n < 0 && wouldBlock())
            return;
        if (n < 0 && errno == EINTR)
            continue;
        return drop(c);
    }
}

void HttpServer::Impl::drop(Connection& c) {
    if (c.fd < 0)
        return;
    ::close(c.fd);
    c.fd = -1;
    c.in = {};
    c.head = {};
    c.body.reset();
    if (const auto it = perPeer_.find(c.peer); it != perPeer_.end() && --it->second == 0)
        perPeer_.erase(it);
    --live_;
    dropped_.push_back(c.id);
}

void HttpServer::Impl::expire() {
    for (auto& [id, c] : connections_) {
        if (c.fd >= 0 && c.phase != Phase::waiting && now_ >= c.deadline)
            drop(c);
    }
}

void HttpServer::Impl::collectAnswers() {
    uint64_t count = 0;
    if (::read(wakeFd_, &count, sizeof count) < 0 && !wouldBlock())
        return;
    std::vector<Answer> answers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers.swap(answers_);
    }
    for (Answer& a : answers) {
        const auto it = connections_.find(a.id);
        if (it == connections_.end() || it->second.fd < 0 || it->second.phase != Phase::waiting)
            continue;
        if (a.status == HttpStatus::ok)
            answer(it->second, a.status, contentType(a.format), std::move(a.body));
        else
            answer(it->second, a.status, "text/plain; charset=utf-8", std::move(a.body));
    }
    boundAnswers();
}

// The answers being written, counted once however many connections share one (by the memory
// they hold), stay within maxAnswerBytes: past it the connections writing the oldest answers are
// closed (never one given its answer in this turn).
void HttpServer::Impl::boundAnswers() {
    std::unordered_map<const std::string*, size_t> holders;
    std::vector<Connection*> writing;
    size_t total = 0;
    for (auto& [id, c] : connections_) {
        if (c.fd >= 0 && c.phase == Phase::writing) {
            if (holders[c.body.get()]++ == 0)
                total += c.body->capacity();
            writing.push_back(&c);
        }
    }
    std::sort(writing.begin(), writing.end(),
              [](const Connection* a, const Connection* b) { return a->since < b->since; });
    bool freed = false;
    for (Connection* c : writing) {
        if (total <= limits_.maxAnswerBytes || c->since >= now_)
            break;
        const std::string* body = c->body.get();
        const size_t size = body->capacity();
        drop(*c);
        if (--holders[body] == 0)
            total -= size, freed = true;
    }
    if (freed)
        ::malloc_trim(0);  // the answers' memory goes back to the system, not only to the heap
}

void HttpServer::Impl::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_)
            return;
        std::vector<Job> jobs;
        jobs.swap(jobs_);
        lock.unlock();
        // One scrape per format for all the requests waiting now.
        std::vector<Answer> answers;
        for (const ExpositionFormat format :
             {ExpositionFormat::text004, ExpositionFormat::openMetrics}) {
            if (std::none_of(jobs.begin(), jobs.end(),
                             [format](const Job& j) { return j.format == format; }))
                continue;
            HttpStatus status = HttpStatus::ok;
            std::shared_ptr<const std::string> body;
            try {
                body = std::make_shared<const std::string>(scrape_(format));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "vesk serve: scrape failed: %s\n", e.what());
                status = HttpStatus::scrapeFailed;
                body = std::make_shared<const std::string>(
                    fmt::format("scrape failed: {}\n", e.what()));
            } catch (...) {
                std::fprintf(stderr, "vesk serve: scrape failed: unknown error\n");
                status = HttpStatus::scrapeFailed;
                body = std::make_shared<const std::string>("scrape failed: unknown error\n");
            }
            for (const Job& j : jobs) {
                if (j.format == format)
                    answers.push_back({j.id, status, format, body});
            }
        }
        lock.lock();
        answers_.insert(answers_.end(), answers.begin(), answers.end());
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) {
            // The counter is far from full: the loop reads it every turn.
        }
    }
}

HttpServer::HttpServer(const ListenAddress& address, Scrape scrape, HttpLimits limits)
    : impl_(std::make_unique<Impl>(address, std::move(scrape), limits)) {}

HttpServer::~HttpServer() = default;

int HttpServer::port() const {
    return impl_->port;
}

bool HttpServer::loopback() const {
    return impl_->loopback;
}

void HttpServer::run() {
    impl_->run();
}

}  // namespace VeskTool
