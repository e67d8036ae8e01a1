#include "HttpServer.h"

#include "HeaderText.h"
#include "SocketStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::service {

namespace {

constexpr int kIdleTimeoutMs = 60'000; // between requests on a kept-alive connection
constexpr int kReadTimeoutMs = 60'000; // silence in the middle of a request
constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxLine = 8 * 1024;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxConnections = 512;

// Whether a comma-separated header value holds the token, ignoring case ("keep-alive, Upgrade").
bool hasToken(std::string_view value, std::string_view token)
{
    while (!value.empty()) {
        const size_t comma = value.find(',');
        if (lowered(trimmed(value.substr(0, comma))) == token)
            return true;
        if (comma == std::string_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

bool parseDecimal(std::string_view text, uint64_t &value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

bool parseHex(std::string_view text, uint64_t &value)
{
    if (text.empty() || text.size() > 15)
        return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 16 + uint64_t(digit);
    }
    return true;
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

std::string HttpRequest::header(std::string_view name) const
{
    for (const auto &[key, value] : headers) {
        if (key == name)
            return value;
    }
    return {};
}

// The connection's reading and writing state, owned by its thread.
struct HttpSession {
    enum class Framing { None, Length, Chunked };

    SocketStream *stream = nullptr;
    std::string in; // bytes read from the socket and not consumed yet, from pos on
    size_t pos = 0;

    Framing framing = Framing::None;
    uint64_t remaining = 0; // Length: bytes of body left; Chunked: bytes left in the current chunk
    bool chunkOpen = false; // Chunked: a chunk's data was read and its CR LF is still due
    bool bodyDone = true;
    bool bodyFailed = false;
    bool continueDue = false; // the client waits for "100 Continue" before it sends the body
    bool keepAlive = true;
    bool responded = false;
    bool dropped = false;
    std::chrono::steady_clock::time_point bodyStart; // for the link model's rate
    uint64_t bodyRead = 0;

    size_t buffered() const { return in.size() - pos; }

    // Waits for more bytes and appends them to in. False at the end of the stream, on an error, or after
    // timeoutMs of silence.
    bool fill(int timeoutMs)
    {
        if (pos == in.size()) {
            in.clear();
            pos = 0;
        } else if (pos > kReadChunk) {
            in.erase(0, pos);
            pos = 0;
        }
        if (!waitReadable(timeoutMs))
            return false;
        const size_t old = in.size();
        in.resize(old + kReadChunk);
        const ssize_t n = stream->read(in.data() + old, kReadChunk);
        in.resize(old + size_t(std::max<ssize_t>(n, 0)));
        return n > 0;
    }

    bool waitReadable(int timeoutMs) const
    {
        if (stream->pending() > 0) // already decrypted: the socket may have nothing more
            return true;
        pollfd p { stream->fd(), POLLIN, 0 };
        for (;;) {
            const int r = ::poll(&p, 1, timeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0;
        }
    }

    // Reads into the caller's buffer, from what is buffered first. Answers 0 at the end of the stream and -1
    // on an error or a timeout.
    ssize_t readSome(char *buffer, size_t size)
    {
        if (buffered() > 0) {
            const size_t n = std::min(size, buffered());
            std::memcpy(buffer, in.data() + pos, n);
            pos += n;
            return ssize_t(n);
        }
        if (!waitReadable(kReadTimeoutMs))
            return -1;
        return stream->read(buffer, size);
    }

    // One line ending in LF (a CR before it is dropped); false when the stream ends or the line is too long.
    bool readLine(std::string &line)
    {
        for (;;) {
            const size_t end = in.find('\n', pos);
            if (end != std::string::npos) {
                line.assign(in, pos, end - pos);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                pos = end + 1;
                return true;
            }
            if (buffered() > kMaxLine || !fill(kReadTimeoutMs))
                return false;
        }
    }

    bool sendAll(std::string_view data)
    {
        while (!data.empty()) {
            const ssize_t n = stream->write(data.data(), data.size());
            if (n <= 0)
                return false;
            data.remove_prefix(size_t(n));
        }
        return true;
    }

    ssize_t readBody(char *buffer, size_t size)
    {
        if (bodyFailed)
            return -1;
        if (bodyDone || size == 0)
            return 0;
        if (continueDue) {
            continueDue = false;
            if (!sendAll("HTTP/1.1 100 Continue\r\n\r\n"))
                return failBody();
        }
        if (framing == Framing::Length) {
            const ssize_t n = readSome(buffer, size_t(std::min<uint64_t>(size, remaining)));
            if (n <= 0)
                return failBody();
            remaining -= uint64_t(n);
            bodyDone = remaining == 0;
            return n;
        }
        if (remaining == 0) {
            std::string line;
            if (chunkOpen && (!readLine(line) || !line.empty()))
                return failBody();
            chunkOpen = false;
            if (!readLine(line))
                return failBody();
            const std::string_view sizeText = trimmed(std::string_view(line).substr(0, line.find(';')));
            uint64_t chunkSize = 0;
            if (!parseHex(sizeText, chunkSize))
                return failBody();
            if (chunkSize == 0) {
                do { // trailer fields up to the empty line
                    if (!readLine(line))
                        return failBody();
                } while (!line.empty());
                bodyDone = true;
                return 0;
            }
            remaining = chunkSize;
            chunkOpen = true;
        }
        const ssize_t n = readSome(buffer, size_t(std::min<uint64_t>(size, remaining)));
        if (n <= 0)
            return failBody();
        remaining -= uint64_t(n);
        return n;
    }

    ssize_t failBody()
    {
        bodyFailed = true;
        keepAlive = false;
        return -1;
    }
};

struct HttpServer::Connection {
    int fd = -1; // closed by the connection's thread under fLock, so stop() never touches a reused number
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished { false };
};

ssize_t HttpExchange::readBody(char *buffer, size_t size)
{
    const int64_t rate = fServer.fLink.rateKbit;
    if (rate <= 0)
        return fSession.readBody(buffer, size);
    // Pieces of about 10 ms of the link, each handed over no earlier than the link would have carried it.
    const ssize_t n = fSession.readBody(buffer, std::min(size, size_t(std::max<int64_t>(1024, rate * 10 / 8))));
    if (n > 0) {
        fSession.bodyRead += uint64_t(n);
        const auto due = fSession.bodyStart + std::chrono::microseconds(fSession.bodyRead * 8000 / uint64_t(rate));
        fServer.waitUnlessStopping(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now()));
    }
    return n;
}

bool HttpExchange::bodyComplete() const
{
    return fSession.bodyDone;
}

bool HttpExchange::hasResponded() const
{
    return fSession.responded || fSession.dropped;
}

void HttpExchange::respond(int status, std::string_view contentType, std::string_view body, const HttpHeaders &extra)
{
    if (hasResponded())
        return;
    fSession.responded = true;
    fServer.holdAnswer();
    if (!fSession.bodyDone || fServer.fStopping)
        fSession.keepAlive = false;
    std::string head = "HTTP/1.1 " + std::to_string(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Server: vesk-photo-service\r\n";
    head += "Content-Type: " + std::string(contentType) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto &[name, value] : extra)
        head += name + ": " + value + "\r\n";
    head += fSession.keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    head += body;
    if (!fSession.sendAll(head))
        fSession.keepAlive = false;
}

bool HttpExchange::respondWithFile(std::string_view contentType, const std::string &path)
{
    if (hasResponded())
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    fSession.responded = true;
    fServer.holdAnswer();
    if (!fSession.bodyDone || fServer.fStopping)
        fSession.keepAlive = false;
    std::string head = "HTTP/1.1 200 OK\r\nServer: vesk-photo-service\r\n";
    head += "Content-Type: " + std::string(contentType) + "\r\n";
    head += "Content-Length: " + std::to_string(info.st_size) + "\r\n";
    head += fSession.keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    bool ok = fSession.sendAll(head);
    std::string chunk(kReadChunk, '\0');
    off_t left = info.st_size;
    while (ok && left > 0) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        ok = fSession.sendAll(std::string_view(chunk.data(), size_t(n)));
        left -= n;
    }
    ::close(fd);
    if (!ok || left != 0)
        fSession.keepAlive = false; // the length announced can no longer be met
    return true;
}

void HttpExchange::respondTrickling(
    int status, std::string_view contentType, std::string_view body, std::chrono::milliseconds gap)
{
    if (hasResponded())
        return;
    fSession.responded = true;
    fSession.keepAlive = false;
    fServer.holdAnswer();
    std::string head = "HTTP/1.1 " + std::to_string(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Server: vesk-photo-service\r\nContent-Type: " + std::string(contentType) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    bool ok = fSession.sendAll(head);
    for (size_t i = 0; ok && i < body.size(); ++i)
        ok = fServer.waitUnlessStopping(gap) && fSession.sendAll(body.substr(i, 1));
}

void HttpExchange::drop()
{
    if (hasResponded())
        return;
    fSession.dropped = true;
    fSession.keepAlive = false;
    ::shutdown(fSession.stream->fd(), SHUT_RDWR);
}

bool HttpExchange::pause(std::chrono::milliseconds duration)
{
    return fServer.waitUnlessStopping(duration);
}

void HttpExchange::holdUntilStop()
{
    while (fServer.waitUnlessStopping(std::chrono::hours(1))) { }
}

HttpServer::HttpServer(HttpHandler handler, std::function<void(const std::string &)> logger)
    : fHandler(std::move(handler))
    , fLogger(std::move(logger))
{ }

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::holdAnswer()
{
    if (fLink.latency.count() > 0)
        waitUnlessStopping(fLink.latency);
}

void HttpServer::log(const std::string &line) const
{
    if (fLogger)
        fLogger(line);
}

int HttpServer::listen(int port, std::string &error)
{
    if (fListenFd >= 0) {
        error = "already listening";
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // Address reuse lets a restarted service bind the same port while the old connections linger.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    if (::pipe2(fWakeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    fListenFd = fd;
    fAcceptThread = std::thread(&HttpServer::acceptLoop, this);
    return ntohs(address.sin_port);
}

void HttpServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = { { fListenFd, POLLIN, 0 }, { fWakeFds[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            log(std::string("accept: poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(fListenFd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS) {
                log(std::string("accept: ") + std::strerror(errno) + ", waiting before the next connection");
                pollfd wake { fWakeFds[0], POLLIN, 0 };
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        reapFinished();
        // The time-outs bound blocking writes, and reads that TLS makes without a poll before them.
        timeval timeout { kReadTimeoutMs / 1000, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        // Answers go out whole; with TLS, the session tickets before the first answer must not hold it
        // back until the client's delayed acknowledgement (40 ms).
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);

        std::lock_guard<std::mutex> guard(fLock);
        if (fStopping || fConnections.size() >= kMaxConnections) {
            if (!fStopping)
                log("refused a connection: too many open connections");
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = std::string(text) + ':' + std::to_string(ntohs(peer.sin_port));
        Connection &served = *connection;
        try {
            served.thread = std::thread([this, &served] { serve(served); });
        } catch (const std::system_error &e) {
            log(std::string("refused a connection: ") + e.what());
            ::close(fd);
            continue;
        }
        fConnections.push_back(std::move(connection));
    }
}

void HttpServer::reapFinished()
{
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> guard(fLock);
        for (auto it = fConnections.begin(); it != fConnections.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = fConnections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &connection : done)
        connection->thread.join();
}

namespace {

// Reads a request line and its header fields. Answers false when the connection ended first; a request
// that cannot be served gets its error status in errorStatus.
bool readRequestHead(HttpSession &session, HttpRequest &request, int &errorStatus)
{
    std::string line;
    do { // blank lines before a request line are tolerated
        if (session.buffered() == 0 && !session.fill(kIdleTimeoutMs))
            return false;
        if (!session.readLine(line))
            return false;
    } while (line.empty());

    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = firstSpace == std::string::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos) {
        errorStatus = 400;
    } else {
        request.method = line.substr(0, firstSpace);
        request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        request.version = line.substr(secondSpace + 1);
        request.path = request.target.substr(0, request.target.find('?'));
        if (request.version.rfind("HTTP/1.", 0) != 0)
            errorStatus = 505;
        else if (request.target.empty() || request.target.front() != '/')
            errorStatus = 400;
    }
    size_t headSize = line.size();
    for (;;) {
        if (!session.readLine(line))
            return false;
        if (line.empty())
            return true;
        headSize += line.size();
        if (headSize > kMaxHead) {
            errorStatus = 431;
            return true;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            errorStatus = 400;
            continue;
        }
        request.headers.emplace_back(lowered(trimmed(std::string_view(line).substr(0, colon))),
            std::string(trimmed(std::string_view(line).substr(colon + 1))));
    }
}

// Sets up the session for the request's body and connection handling; answers an error status or 0.
int prepareSession(HttpSession &session, const HttpRequest &request)
{
    session.framing = HttpSession::Framing::None;
    session.remaining = 0;
    session.chunkOpen = false;
    session.bodyDone = true;
    session.bodyFailed = false;
    session.responded = false;
    session.dropped = false;
    session.bodyStart = std::chrono::steady_clock::now();
    session.bodyRead = 0;
    const std::string connectionHeader = request.header("connection");
    session.keepAlive = request.version == "HTTP/1.1" ? !hasToken(connectionHeader, "close")
                                                      : hasToken(connectionHeader, "keep-alive");

    const std::string transferEncoding = request.header("transfer-encoding");
    const std::string contentLength = request.header("content-length");
    if (!transferEncoding.empty()) {
        if (lowered(trimmed(transferEncoding)) != "chunked")
            return 501;
        session.framing = HttpSession::Framing::Chunked;
        session.bodyDone = false;
    } else if (!contentLength.empty()) {
        uint64_t length = 0;
        if (!parseDecimal(trimmed(contentLength), length))
            return 400;
        if (length > 0) {
            session.framing = HttpSession::Framing::Length;
            session.remaining = length;
            session.bodyDone = false;
        }
    }
    session.continueDue = !session.bodyDone && lowered(request.header("expect")) == "100-continue";
    return 0;
}

} // namespace

void HttpServer::serve(Connection &connection)
{
    SocketStream stream(connection.fd);
    HttpSession session;
    session.stream = &stream;
    std::string tlsError;
    const bool open = !fTls || stream.acceptTls(*fTls, tlsError);
    if (!open)
        log(connection.peer + " TLS handshake failed: " + tlsError);
    while (open && !fStopping) {
        HttpRequest request;
        int errorStatus = 0;
        if (!readRequestHead(session, request, errorStatus))
            break;
        request.receivedMs = nowMs();
        request.peer = connection.peer;
        const int framingError = prepareSession(session, request);
        if (errorStatus == 0)
            errorStatus = framingError;

        HttpExchange exchange(*this, session);
        if (errorStatus != 0) {
            session.keepAlive = false;
            log(connection.peer + " malformed request answered " + std::to_string(errorStatus));
            exchange.respond(errorStatus, "text/plain; charset=utf-8", std::string(reasonPhrase(errorStatus)) + '\n');
            break;
        }
        try {
            fHandler(request, exchange);
        } catch (const std::exception &e) {
            log(connection.peer + ' ' + request.method + ' ' + request.target + " failed: " + e.what());
        }
        if (!exchange.hasResponded())
            exchange.respond(500, "text/plain; charset=utf-8", "Internal Server Error\n");
        if (!session.keepAlive)
            break;
    }
    if (open && !session.dropped)
        stream.close();
    std::lock_guard<std::mutex> guard(fLock);
    ::close(connection.fd);
    connection.fd = -1;
    connection.finished = true;
}

bool HttpServer::waitUnlessStopping(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(fLock);
#if defined(__SANITIZE_THREAD__)
    // This compiler's ThreadSanitizer does not see steady-clock waits release the lock.
    return !fStopSignal.wait_until(lock,
        std::chrono::system_clock::now() + std::chrono::duration_cast<std::chrono::system_clock::duration>(duration),
        [this] { return fStopping.load(); });
#else
    return !fStopSignal.wait_for(lock, duration, [this] { return fStopping.load(); });
#endif
}

void HttpServer::stop()
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (fStopped)
            return;
        fStopped = true;
        fStopping = true;
    }
    fStopSignal.notify_all();
    if (fWakeFds[1] >= 0) {
        const char wake = 'x';
        [[maybe_unused]] const ssize_t n = ::write(fWakeFds[1], &wake, 1);
    }
    if (fAcceptThread.joinable())
        fAcceptThread.join();
    if (fListenFd >= 0)
        ::close(fListenFd);
    fListenFd = -1;
    {
        // Wakes every connection thread out of its reads; each closes its own descriptor.
        std::lock_guard<std::mutex> guard(fLock);
        for (const auto &connection : fConnections) {
            if (connection->fd >= 0)
                ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
    for (const auto &connection : fConnections)
        connection->thread.join();
    fConnections.clear();
    for (int &fd : fWakeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace vesk::service
