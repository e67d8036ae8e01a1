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

int listenOnLoopback(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 16) != 0)
        qFatal("cannot listen on 127.0.0.1");
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

bool sendAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t n = ::send(fd, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR)
            return false;
        bytes = bytes.sliced(std::max<ssize_t>(n, 0));
    }
    return true;
}

} // namespace

CaptureServer::CaptureServer()
{
    if (::pipe2(fWake, O_CLOEXEC) != 0)
        qFatal("pipe2 failed");
    fListen = listenOnLoopback(&fPort);
    fThread = std::thread([this] {
        QByteArray ignored;
        for (;;) {
            pollfd fds[2] = { { fListen, POLLIN, 0 }, { fWake[0], POLLIN, 0 } };
            if (::poll(fds, 2, -1) < 0 && errno == EINTR)
                continue;
            if (fds[1].revents)
                return;
            const int fd = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            {
                std::lock_guard<std::mutex> guard(fLock);
                ++fConnections;
            }
            serve(fd);
            ::close(fd);
        }
    });
}

CaptureServer::~CaptureServer()
{
    // One byte that nobody reads keeps the pipe readable, so every wait wakes.
    [[maybe_unused]] const ssize_t n = ::write(fWake[1], "s", 1);
    fThread.join();
    for (const int fd : { fListen, fWake[0], fWake[1] })
        ::close(fd);
}

QString CaptureServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1/index.php").arg(fPort);
}

void CaptureServer::setReply(int status, QByteArray body, qint64 padding)
{
    std::lock_guard<std::mutex> guard(fLock);
    fStatus = status;
    fBody = std::move(body);
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
    return fConnections;
}

bool CaptureServer::waitForRequests(int count, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(fLock);
    return vesk::timedWait(fChanged, guard, limit, [&] { return fRequests.size() >= count; });
}

// One read of what has arrived; false once the client has gone or the server stops.
bool CaptureServer::readMore(int fd, QByteArray &buffer) const
{
    pollfd fds[2] = { { fd, POLLIN, 0 }, { fWake[0], POLLIN, 0 } };
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    char chunk[65536];
    const ssize_t n = fds[1].revents ? 0 : ::recv(fd, chunk, sizeof chunk, 0);
    if (n > 0)
        buffer.append(chunk, n);
    return n > 0 || (n < 0 && errno == EINTR);
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
        std::unique_lock<std::mutex> guard(fLock);
        const auto onHead = fOnHead, onRequest = fOnRequest;
        guard.unlock();
        if (onHead)
            onHead();
        qint64 left = 0;
        for (const QByteArray &line : request.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                left = line.mid(15).trimmed().toLongLong();
        }
        while (left > 0) {
            if (buffer.isEmpty() && !readMore(fd, buffer))
                return; // the client gave up before its body was complete
            const qint64 take = std::min<qint64>(left, buffer.size());
            if (request.size() < (1 << 20))
                request += buffer.left(take);
            buffer.remove(0, take);
            left -= take;
        }
        guard.lock();
        fRequests.append(request);
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(fStatus)
            + " Canned\r\nContent-Type: text/xml\r\nContent-Length: " + QByteArray::number(fBody.size() + fPadding)
            + "\r\n\r\n" + fBody;
        const qint64 padding = fPadding;
        const Mode mode = fMode;
        guard.unlock();
        fChanged.notify_all();
        if (onRequest)
            onRequest();
        if (mode == Mode::NeverAnswer) {
            while (readMore(fd, buffer))
                buffer.clear();
            return;
        }
        if (!sendAll(fd, head))
            return;
        const QByteArray filler(64 * 1024, 'x');
        for (qint64 sent = 0; sent < padding; sent += filler.size()) {
            if (!sendAll(fd, QByteArrayView(filler).first(std::min<qint64>(filler.size(), padding - sent))))
                return;
        }
    }
}

quint16 unusedLoopbackPort()
{
    quint16 port = 0;
    ::close(listenOnLoopback(&port));
    return port;
}

} // namespace vesk::test
