#pragma once
// A small HTTP/1.1 server on 127.0.0.1, plain or over TLS. One thread accepts; every connection is served on a
// thread of its own, so a request that is held open on purpose never holds up another. Request bodies stream
// through the handler, which reads them piece by piece; nothing buffers a whole body.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace vesk::service {

class TlsContext;

// A crude model of a remote client's link: every answer is held back by latency (one round trip), and
// request bodies are read no faster than rateKbit kilobits (1000 bits) per second; 0 leaves them unlimited.
struct LinkModel {
    std::chrono::milliseconds latency { 0 };
    int64_t rateKbit = 0;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target; // as sent, query included
    std::string path; // the target without its query, still percent-encoded
    std::string version; // "HTTP/1.1"
    HttpHeaders headers; // names in lower case
    std::string peer; // address:port of the client
    int64_t receivedMs = 0; // epoch milliseconds when the request head had arrived

    // The first value of a header (name in lower case), empty when absent.
    std::string header(std::string_view name) const;
};

class HttpServer;
struct HttpSession;

// One request and its answer, handed to the handler on the connection's thread. Every member blocks.
class HttpExchange {
public:
    // Reads the next piece of the request body. Answers the byte count, 0 at the end of the body, or -1 when
    // the client went away, fell silent or framed the body wrongly.
    ssize_t readBody(char *buffer, size_t size);
    bool bodyComplete() const;

    // Answers with a whole body. A connection whose request body was not read to its end is closed after it.
    void respond(int status, std::string_view contentType, std::string_view body, const HttpHeaders &extra = {});
    // Answers with the content of a file, streamed; false when it cannot be read (nothing was sent then).
    bool respondWithFile(std::string_view contentType, const std::string &path);
    // Answers like respond(), but writes the body one byte at a time with the gap between bytes, until
    // it is all out, the client goes away or the server stops; the connection closes after it.
    void respondTrickling(
        int status, std::string_view contentType, std::string_view body, std::chrono::milliseconds gap);
    // Closes the connection without writing anything.
    void drop();
    bool hasResponded() const;

    // Waits for the duration; answers false when the server began stopping first.
    bool pause(std::chrono::milliseconds duration);
    // Waits until the server stops.
    void holdUntilStop();

private:
    friend class HttpServer;
    HttpExchange(HttpServer &server, HttpSession &session)
        : fServer(server)
        , fSession(session)
    { }
    HttpServer &fServer;
    HttpSession &fSession;
};

using HttpHandler = std::function<void(const HttpRequest &, HttpExchange &)>;

class HttpServer {
public:
    // The handler runs on connection threads, several at a time; the logger receives one line per request
    // that the server answers by itself (malformed ones), from any thread.
    HttpServer(HttpHandler handler, std::function<void(const std::string &)> logger);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Serves HTTPS with this certificate (kept alive by the server); call before listen().
    void setTls(std::shared_ptr<const TlsContext> context) { fTls = std::move(context); }
    // Call before listen().
    void setLinkModel(const LinkModel &model) { fLink = model; }

    // Binds 127.0.0.1:port (0 picks a free port) with address reuse and starts serving. Answers the port, or
    // -1 with the reason in error.
    int listen(int port, std::string &error);
    // Stops accepting, closes every connection, releases the handlers that wait, and joins every thread.
    void stop();

private:
    friend class HttpExchange;
    struct Connection;
    void acceptLoop();
    void serve(Connection &connection);
    void reapFinished();
    // Answers true when the time passed, false as soon as the server is stopping.
    bool waitUnlessStopping(std::chrono::milliseconds duration);
    void log(const std::string &line) const;

    // Holds an answer back by the link's latency, or less when the server begins stopping.
    void holdAnswer();

    HttpHandler fHandler;
    std::shared_ptr<const TlsContext> fTls;
    LinkModel fLink;
    std::function<void(const std::string &)> fLogger;
    int fListenFd = -1;
    int fWakeFds[2] = { -1, -1 };
    std::thread fAcceptThread;
    std::atomic<bool> fStopping { false };
    bool fStopped = false;
    std::mutex fLock; // guards fConnections, the connections' descriptors, and the stop wait
    std::condition_variable fStopSignal;
    std::list<std::unique_ptr<Connection>> fConnections;
};

} // namespace vesk::service
