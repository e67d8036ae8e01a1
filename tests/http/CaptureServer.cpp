#include "CaptureServer.h"

#include "app/TimedWait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk::test {

namespace {

constexpr qsizetype kKeptBodyBytes = qsizetype(1) * 1024 * 1024;

int listenOnLoopback(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0)
        qFatal("cannot listen on 127.0.0.1");
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

bool sendAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

qint64 contentLength(const QByteArray &head)
{
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            return line.mid(colon + 1).trimmed().toLongLong();
    }
    return 0;
}

} // namespace

CaptureServer::CaptureServer()
{
    if (::pipe2(fWake, O_CLOEXEC) != 0)
        qFatal("pipe2 failed");
    fListen = listenOnLoopback(&fPort);
    fAcceptThread = std::thread([this] { acceptLoop(); });
}

CaptureServer::~CaptureServer()
{
    // One byte that nobody reads keeps the pipe readable, so every waiting thread wakes.
    const char byte = 's';
    [[maybe_unused]] const ssize_t n = ::write(fWake[1], &byte, 1);
    fAcceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(fLock);
        threads.swap(fConnectionThreads);
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int fd : fConnectionFds)
        ::close(fd);
    ::close(fListen);
    ::close(fWake[0]);
    ::close(fWake[1]);
}

QString CaptureServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1/index.php").arg(fPort);
}

void CaptureServer::setReply(int status, QByteArray body, qint64 padding, QByteArray headers)
{
    std::lock_guard<std::mutex> guard(fLock);
    fStatus = status;
    fBody = std::move(body);
    fHeaders = std::move(headers);
    fPadding = padding;
}

void CaptureServer::setMode(Mode mode)
{
    std::lock_guard<std::mutex> guard(fLock);
    fMode = mode;
}

void CaptureServer::setOnHead(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(fLock);
    fOnHead = std::move(hook);
}

void CaptureServer::setOnRequest(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(fLock);
    fOnRequest = std::move(hook);
}

QList<QByteArray> CaptureServer::requests() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fRequests;
}

int CaptureServer::connectionCount() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<int>(fConnectionFds.size());
}

bool CaptureServer::waitForRequests(int count, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(fLock);
    return vesk::timedWait(fChanged, guard, limit, [&] { return fRequests.size() >= count; });
}

void CaptureServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = { { fListen, POLLIN, 0 }, { fWake[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int fd = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> guard(fLock);
        fConnectionFds.push_back(fd);
        fConnectionThreads.emplace_back([this, fd] { serve(fd); });
    }
}

bool CaptureServer::readMore(int fd, QByteArray &buffer) const
{
    for (;;) {
        pollfd fds[2] = { { fd, POLLIN, 0 }, { fWake[0], POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents)
            return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer.append(chunk, n);
        return true;
    }
}

bool CaptureServer::waitUntilClosedOrStopped(int fd) const
{
    QByteArray ignored;
    while (readMore(fd, ignored))
        ignored.clear();
    return false;
}

void CaptureServer::serve(int fd)
{
    QByteArray buffer;
    for (;;) {
        qsizetype headEnd;
        while ((headEnd = buffer.indexOf("\r\n\r\n")) < 0) {
            if (!readMore(fd, buffer))
                return;
        }
        QByteArray request = buffer.left(headEnd + 4);
        buffer.remove(0, headEnd + 4);
        std::function<void()> onHead, onRequest;
        {
            std::lock_guard<std::mutex> guard(fLock);
            onHead = fOnHead;
            onRequest = fOnRequest;
        }
        if (onHead)
            onHead();

        qint64 left = contentLength(request);
        for (;;) {
            const qint64 take = std::min<qint64>(left, buffer.size());
            if (request.size() < kKeptBodyBytes)
                request += buffer.left(take);
            buffer.remove(0, take);
            left -= take;
            if (left == 0)
                break;
            if (!readMore(fd, buffer))
                return; // the client gave up before its body was complete
        }

        int status;
        QByteArray body;
        QByteArray headers;
        qint64 padding;
        Mode mode;
        {
            std::lock_guard<std::mutex> guard(fLock);
            fRequests.append(request);
            status = fStatus;
            body = fBody;
            headers = fHeaders;
            padding = fPadding;
            mode = fMode;
        }
        fChanged.notify_all();
        if (onRequest)
            onRequest();
        if (mode == Mode::NeverAnswer) {
            waitUntilClosedOrStopped(fd);
            return;
        }

        const QByteArray head = "HTTP/1.1 " + QByteArray::number(status)
            + " Canned\r\nContent-Type: text/xml\r\nX-Capture: yes\r\n" + headers
            + "Content-Length: " + QByteArray::number(body.size() + padding) + "\r\n\r\n";
        if (!sendAll(fd, head.constData(), head.size()) || !sendAll(fd, body.constData(), body.size()))
            return;
        const QByteArray filler(qsizetype(64) * 1024, 'x');
        for (qint64 sent = 0; sent < padding; sent += filler.size()) {
            if (!sendAll(fd, filler.constData(), std::min<qint64>(filler.size(), padding - sent)))
                return;
        }
    }
}

quint16 unusedLoopbackPort()
{
    quint16 port = 0;
    const int fd = listenOnLoopback(&port);
    ::close(fd);
    return port;
}

} // namespace vesk::test
