#include "scripting/CommandClient.h"

#include "base/Folders.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

// A reply larger than this is not one the application sends.
constexpr qsizetype kMaxReplyBytes = 16 * 1024 * 1024;

class Descriptor {
public:
    explicit Descriptor(int fd)
        : fFd(fd)
    { }
    ~Descriptor()
    {
        if (fFd >= 0)
            ::close(fFd);
    }
    Descriptor(Descriptor &&other) noexcept
        : fFd(std::exchange(other.fFd, -1))
    { }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fFd; }

private:
    int fFd;
};

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits for the event; false on time-out. Poll errors count as ready: the next call reports them.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry { fd, events, 0 };
        const int n = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true;
    }
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

CommandExchange outcome(CommandExchange::Status status, const QString &error)
{
    CommandExchange result;
    result.status = status;
    result.error = error;
    return result;
}

} // namespace

QString defaultCommandSocketPath()
{
    return paths::runtimeFolder() + QStringLiteral("/command.sock");
}

namespace {

// Connects within the deadline; the socket, or an invalid one with the failure filled in.
Descriptor connectSocket(const QString &socketPath, Clock::time_point deadline, CommandExchange &failure)
{
    using Status = CommandExchange::Status;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof address.sun_path) {
        failure = outcome(Status::Failed, QStringLiteral("the socket path is empty or too long: %1").arg(socketPath));
        return Descriptor(-1);
    }
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));

    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        failure = outcome(Status::Failed, errorText(errno));
        return socket;
    }

    // A listener whose queue is full makes connect wait; the send time-out bounds that wait.
    const int connectMs = std::max(1, millisecondsLeft(deadline));
    timeval connectLimit { connectMs / 1000, (connectMs % 1000) * 1000 };
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &connectLimit, sizeof connectLimit);
    int rc;
    do {
        rc = ::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR && millisecondsLeft(deadline) > 0);
    if (rc != 0) {
        const int error = errno;
        if (error == ENOENT || error == ECONNREFUSED)
            failure = outcome(Status::NoInstance, QStringLiteral("%1: %2").arg(socketPath, errorText(error)));
        else if (error == EAGAIN || error == EINPROGRESS || error == EINTR)
            failure = outcome(
                Status::TimedOut, QStringLiteral("%1: the connection was not accepted in time").arg(socketPath));
        else
            failure = outcome(Status::Failed, QStringLiteral("%1: %2").arg(socketPath, errorText(error)));
        return Descriptor(-1);
    }
    ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) | O_NONBLOCK);
    return socket;
}

bool sendRequest(int fd, const QByteArray &requestLine, Clock::time_point deadline, CommandExchange &failure)
{
    using Status = CommandExchange::Status;
    const QByteArray out = requestLine + '\n';
    qsizetype sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(fd, out.constData() + sent, static_cast<size_t>(out.size() - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            failure = outcome(Status::Failed, QStringLiteral("sending the request: %1").arg(errorText(errno)));
            return false;
        }
        if (!waitFor(fd, POLLOUT, deadline)) {
            failure = outcome(Status::TimedOut, QStringLiteral("the request could not be sent in time"));
            return false;
        }
    }
    return true;
}

} // namespace

CommandExchange exchangeCommand(
    const QString &socketPath, const QByteArray &requestLine, std::chrono::milliseconds limit)
{
    using Status = CommandExchange::Status;
    const auto deadline = Clock::now() + limit;
    CommandExchange failure;
    const Descriptor socket = connectSocket(socketPath, deadline, failure);
    if (socket.get() < 0 || !sendRequest(socket.get(), requestLine, deadline, failure))
        return failure;

    QByteArray in;
    char chunk[16384];
    for (;;) {
        const qsizetype end = in.indexOf('\n');
        if (end >= 0) {
            CommandExchange result;
            result.status = Status::Answered;
            result.replyLine = in.left(end);
            if (result.replyLine.endsWith('\r'))
                result.replyLine.chop(1);
            return result;
        }
        if (in.size() > kMaxReplyBytes)
            return outcome(Status::Failed, QStringLiteral("the reply is too long"));
        const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            in.append(chunk, n);
            continue;
        }
        if (n == 0)
            return outcome(Status::Failed, QStringLiteral("the connection closed before a reply came"));
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return outcome(Status::Failed, QStringLiteral("reading the reply: %1").arg(errorText(errno)));
        if (!waitFor(socket.get(), POLLIN, deadline))
            return outcome(Status::TimedOut, QStringLiteral("no reply in time"));
    }
}

CommandExchange followCommandStream(const QString &socketPath, const QByteArray &requestLine,
    const std::function<void(const QByteArray &line)> &onLine, const std::function<bool()> &stop)
{
    using Status = CommandExchange::Status;
    CommandExchange result;
    const Descriptor socket = connectSocket(socketPath, Clock::now() + std::chrono::seconds(10), result);
    if (socket.get() < 0 || !sendRequest(socket.get(), requestLine, Clock::now() + std::chrono::seconds(10), result))
        return result;
    QByteArray in;
    char chunk[16384];
    while (!stop()) {
        const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            in.append(chunk, n);
            for (qsizetype end = in.indexOf('\n'); end >= 0; end = in.indexOf('\n')) {
                QByteArray line = in.left(end);
                in.remove(0, end + 1);
                if (line.endsWith('\r'))
                    line.chop(1);
                onLine(line);
            }
            if (in.size() > kMaxReplyBytes)
                return outcome(Status::Failed, QStringLiteral("a line of the stream is too long"));
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return outcome(Status::Failed, QStringLiteral("reading the stream: %1").arg(errorText(errno)));
        waitFor(socket.get(), POLLIN, Clock::now() + std::chrono::milliseconds(200));
    }
    result.status = Status::Answered;
    return result;
}

CommandExchange exchangeCommandWhenListening(
    const QString &socketPath, const QByteArray &requestLine, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        CommandExchange result = exchangeCommand(socketPath, requestLine, std::max(left, std::chrono::milliseconds(1)));
        if (result.status != CommandExchange::Status::NoInstance || Clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(50), left));
    }
}

} // namespace vesk
