#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the upload tests: it records every request as it
// arrived (head and body), answers a canned reply or never answers, and keeps connections open
// between requests. Each connection is served on its own thread.

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk::test {

class CaptureServer {
public:
    enum class Mode { Answer, NeverAnswer };

    CaptureServer();
    ~CaptureServer();
    CaptureServer(const CaptureServer &) = delete;
    CaptureServer &operator=(const CaptureServer &) = delete;

    QString url() const;
    quint16 port() const { return fPort; }

    // The reply to every request: the status, the extra header lines ("Name: value\r\n" each), the
    // body, then `padding` bytes of 'x'.
    void setReply(int status, QByteArray body, qint64 padding = 0, QByteArray headers = {});
    void setMode(Mode mode);
    // Run on the connection's thread: once a request's head has arrived (before its body is
    // read), and once the whole request has arrived (before the reply).
    void setOnHead(std::function<void()> hook);
    void setOnRequest(std::function<void()> hook);

    // Whole requests received so far, head and body (bodies are kept up to 1 MB).
    QList<QByteArray> requests() const;
    int connectionCount() const;
    bool waitForRequests(int count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

private:
    void acceptLoop();
    void serve(int fd);
    bool readMore(int fd, QByteArray &buffer) const;
    bool waitUntilClosedOrStopped(int fd) const;

    int fListen = -1;
    int fWake[2] = { -1, -1 };
    quint16 fPort = 0;
    std::thread fAcceptThread;

    mutable std::mutex fLock;
    mutable std::condition_variable fChanged;
    std::vector<std::thread> fConnectionThreads;
    std::vector<int> fConnectionFds;
    QList<QByteArray> fRequests;
    int fStatus = 200;
    QByteArray fBody;
    QByteArray fHeaders;
    qint64 fPadding = 0;
    Mode fMode = Mode::Answer;
    std::function<void()> fOnHead;
    std::function<void()> fOnRequest;
};

// A loopback port on which nothing listens (it was free a moment ago).
quint16 unusedLoopbackPort();

} // namespace vesk::test
