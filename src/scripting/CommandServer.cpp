#include "scripting/CommandServer.h"

#include "base/Folders.h"
#include "diag/Console.h"
#include "scripting/CommandProtocol.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

quint64 handlerKey(FourCharCode eventClass, FourCharCode eventID)
{
    return (quint64(eventClass) << 32) | eventID;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool fillAddress(const QString &path, sockaddr_un *address)
{
    *address = sockaddr_un {};
    address->sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || static_cast<size_t>(native.size()) >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, native.constData(), static_cast<size_t>(native.size()));
    return true;
}

// Whether a process accepts connections on the socket file.
bool someoneListens(const sockaddr_un &address)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return false;
    const int rc = ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const bool listens = rc == 0 || errno == EAGAIN; // EAGAIN: alive, its queue is full
    ::close(probe);
    return listens;
}

} // namespace

// One client: a non-blocking socket with bounded input and output buffers. Owned by the server.
class CommandConnection : public QObject {
public:
    CommandConnection(CommandServer *server, int fd)
        : QObject(server)
        , fServer(server)
        , fFd(fd)
        , fLastActivity(Clock::now())
    {
        fReader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        fWriter = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        fWriter->setEnabled(false);
        connect(fReader, &QSocketNotifier::activated, this, [this] { readAvailable(); });
        connect(fWriter, &QSocketNotifier::activated, this, [this] { writePending(); });
    }

    ~CommandConnection() override { shutDown(); }

    // A connection whose request is being handled, or handed to a stream, is never made room from.
    bool isBusy() const { return fBusy || fStream; }
    bool isListener() const { return fStream && fListener; }
    Clock::time_point lastActivity() const { return fLastActivity; }

    // Hands the connection's far end to a stream handler: no further request is read until it is
    // finished.
    std::shared_ptr<CommandReplyStream> beginStream(bool listener);
    bool streamSend(const QByteArray &line)
    {
        if (fFd < 0)
            return false;
        send(line);
        if (fFd >= 0 && fLinesQueued > fServer->fLimits.maxStreamLinesBehind) {
            const QByteArray why
                = "it is more than " + QByteArray::number(fServer->fLimits.maxStreamLinesBehind) + " lines behind";
            drop(why.constData());
        }
        return fFd >= 0;
    }
    bool streamOpen() const { return fFd >= 0 && !fPeerClosed; }
    void streamFinished()
    {
        fStream.reset();
        fListener = false;
        fLastActivity = Clock::now();
        if (!fBusy)
            QMetaObject::invokeMethod(
                this, [this] { handleInput(); }, Qt::QueuedConnection);
    }

    // Closes the socket at once, or once the request being handled is answered.
    void drop(const char *why)
    {
        if (fFd < 0)
            return;
        if (why)
            consoleLog(QStringLiteral("command channel: dropping a client (%1)").arg(QLatin1String(why)));
        if (fBusy) {
            fDropRequested = true;
            return;
        }
        shutDown();
        fServer->forget(this);
        deleteLater();
    }

private:
    void shutDown()
    {
        if (fFd < 0)
            return;
        fReader->setEnabled(false);
        fWriter->setEnabled(false);
        ::close(fFd);
        fFd = -1;
    }

    void readAvailable()
    {
        if (fFd < 0 || fBusy)
            return;
        if (fStream) {
            // Requests that follow wait for the stream; only the client's going away is noticed now.
            char byte;
            const ssize_t n = ::recv(fFd, &byte, 1, MSG_PEEK);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                // A client that has gone for good frees its slot now, not at the next line sent;
                // one that only ended its requests (shut down its writing side) still reads.
                pollfd entry { fFd, POLLOUT, 0 };
                if (n < 0 || (::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLHUP | POLLERR)))) {
                    drop(nullptr);
                    return;
                }
                fPeerClosed = true;
                fReader->setEnabled(false);
            } else if (n > 0 && fInput.size() > kMaxCommandLineBytes) {
                fReader->setEnabled(false);
            } else if (n > 0) {
                fReader->setEnabled(false);
                fInputWaiting = true;
            }
            return;
        }
        const qsizetype chunk = fServer->fLimits.readChunkBytes;
        const qsizetype before = fInput.size();
        fInput.resize(before + chunk);
        ssize_t n;
        do {
            n = ::recv(fFd, fInput.data() + before, static_cast<size_t>(chunk), 0);
        } while (n < 0 && errno == EINTR);
        fInput.resize(before + std::max<ssize_t>(n, 0));
        if (n < 0) {
            if (errno == EAGAIN)
                return;
            drop("read failed");
            return;
        }
        if (n == 0) {
            fPeerClosed = true;
            fReader->setEnabled(false);
        }
        fLastActivity = Clock::now();
        handleInput();
    }

    void handleInput()
    {
        // A handler may run a nested event loop (an alert): this client is not read meanwhile, so
        // its requests stay in order and the connection cannot go away under the handler.
        fBusy = true;
        fReader->setEnabled(false);
        for (;;) {
            if (fFd < 0 || fDropRequested)
                break;
            const qsizetype end = fInput.indexOf('\n');
            if (fDiscarding) {
                // The rest of a line that was already answered as too long.
                if (end < 0) {
                    fInput.clear();
                    break;
                }
                fInput.remove(0, end + 1);
                fDiscarding = false;
                continue;
            }
            if (end < 0) {
                if (fInput.size() > kMaxCommandLineBytes) {
                    fInput.clear();
                    fDiscarding = true;
                    send(encodeError(QStringLiteral("request longer than %1 bytes").arg(kMaxCommandLineBytes)));
                    continue;
                }
                if (fPeerClosed && !fInput.isEmpty()) {
                    // The last request may come without a line end.
                    fInput.append('\n');
                    continue;
                }
                break;
            }
            QByteArray line = fInput.left(end);
            fInput.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            if (std::optional<QByteArray> reply = fServer->answer(line, this))
                send(*reply);
            if (fStream)
                break;
        }
        fBusy = false;
        if (fDropRequested) {
            fDropRequested = false;
            drop(nullptr);
            return;
        }
        if (fFd < 0)
            return;
        if (fPeerClosed && fOutput.isEmpty() && !fStream) {
            drop(nullptr);
            return;
        }
        if (fInputWaiting && !fStream) {
            // Input came while a stream held the connection: read it now.
            fInputWaiting = false;
            fReader->setEnabled(true);
            QMetaObject::invokeMethod(
                this, [this] { readAvailable(); }, Qt::QueuedConnection);
            return;
        }
        fReader->setEnabled(!fPeerClosed);
    }

    void send(const QByteArray &reply)
    {
        fOutput += reply;
        fOutput += '\n';
        ++fLinesQueued;
        writePending();
    }

    void writePending()
    {
        if (fFd < 0)
            return;
        while (!fOutput.isEmpty()) {
            const ssize_t n = ::send(fFd, fOutput.constData(), static_cast<size_t>(fOutput.size()), MSG_NOSIGNAL);
            if (n > 0) {
                fLinesQueued -= QByteArrayView(fOutput.constData(), n).count('\n');
                fOutput.remove(0, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                break;
            drop(nullptr); // the client has gone
            return;
        }
        if (fOutput.size() > fServer->fLimits.maxPendingReplyBytes) {
            drop("it does not read its replies");
            return;
        }
        fWriter->setEnabled(!fOutput.isEmpty());
        if (fOutput.isEmpty() && fPeerClosed && !fBusy && !fStream)
            drop(nullptr);
    }

    CommandServer *fServer;
    int fFd;
    QSocketNotifier *fReader = nullptr;
    QSocketNotifier *fWriter = nullptr;
    QByteArray fInput;
    QByteArray fOutput;
    Clock::time_point fLastActivity;
    bool fDiscarding = false;
    bool fPeerClosed = false;
    bool fBusy = false;
    bool fDropRequested = false;
    bool fInputWaiting = false;
    bool fListener = false; // the stream lasts until the client leaves
    qsizetype fLinesQueued = 0; // line ends in fOutput
    std::shared_ptr<CommandReplyStream> fStream;
};

namespace {
class StreamEnd : public CommandReplyStream {
public:
    explicit StreamEnd(CommandConnection *connection)
        : fConnection(connection)
    { }
    bool send(const QByteArray &line) override { return fConnection && fConnection->streamSend(line); }
    void finish() override
    {
        if (QPointer<CommandConnection> connection = std::exchange(fConnection, nullptr))
            connection->streamFinished();
    }
    bool isOpen() const override { return fConnection && fConnection->streamOpen(); }

private:
    QPointer<CommandConnection> fConnection;
};
} // namespace

std::shared_ptr<CommandReplyStream> CommandConnection::beginStream(bool listener)
{
    fListener = listener;
    // Little in the socket, so that a client that does not read is soon seen to be behind.
    const int bytes = fServer->fLimits.streamSocketBytes;
    ::setsockopt(fFd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    auto stream = std::make_shared<StreamEnd>(this);
    fStream = stream;
    return stream;
}

CommandServer::CommandServer(QObject *parent)
    : QObject(parent)
{ }

CommandServer::~CommandServer()
{
    close();
    const std::vector<CommandConnection *> connections = std::move(fConnections);
    fConnections.clear();
    for (CommandConnection *connection : connections)
        delete connection;
}

void CommandServer::setEventHandler(FourCharCode eventClass, FourCharCode eventID, Handler handler)
{
    fHandlers[handlerKey(eventClass, eventID)] = std::move(handler);
}

void CommandServer::setStreamHandler(
    FourCharCode eventClass, FourCharCode eventID, StreamHandler handler, bool listener)
{
    fStreamHandlers[handlerKey(eventClass, eventID)] = { std::move(handler), listener };
}

int CommandServer::listenerCount() const
{
    return static_cast<int>(std::count_if(fConnections.begin(), fConnections.end(),
        [](const CommandConnection *connection) { return connection->isListener(); }));
}

bool CommandServer::listen(const QString &socketPath, QString *error)
{
    if (isListening())
        return fail(error, QStringLiteral("already listening on %1").arg(fSocketPath));
    sockaddr_un address;
    if (!fillAddress(socketPath, &address))
        return fail(error, QStringLiteral("the socket path is empty or too long: %1").arg(socketPath));
    if (const QString problem = paths::privateFolderProblem(QFileInfo(socketPath).absolutePath(), true);
        !problem.isEmpty())
        return fail(error, problem);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(error, QStringLiteral("socket: %1").arg(errorText(errno)));
    auto bindSocket = [&] { return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0; };
    bool bound = bindSocket();
    if (!bound && errno == EADDRINUSE) {
        // A socket file left by an instance that did not end cleanly is replaced; a live one is not.
        struct stat info { };
        const bool isSocket = ::lstat(address.sun_path, &info) == 0 && S_ISSOCK(info.st_mode);
        if (!isSocket) {
            ::close(fd);
            return fail(error, QStringLiteral("%1 exists and is not a socket").arg(socketPath));
        }
        if (someoneListens(address)) {
            ::close(fd);
            return fail(error, QStringLiteral("another process listens on %1").arg(socketPath));
        }
        ::unlink(address.sun_path);
        bound = bindSocket();
    }
    if (!bound || ::listen(fd, 16) != 0) {
        const int saved = errno;
        ::close(fd);
        return fail(error, QStringLiteral("cannot listen on %1: %2").arg(socketPath, errorText(saved)));
    }
    ::chmod(address.sun_path, 0600);
    struct stat info { };
    if (::stat(address.sun_path, &info) == 0) {
        fSocketDevice = info.st_dev;
        fSocketInode = info.st_ino;
    }

    fListenFd = fd;
    fSocketPath = socketPath;
    fListenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(fListenNotifier, &QSocketNotifier::activated, this, &CommandServer::acceptConnections);
    return true;
}

void CommandServer::close()
{
    if (fListenFd < 0)
        return;
    delete fListenNotifier;
    fListenNotifier = nullptr;
    ::close(fListenFd);
    fListenFd = -1;
    removeSocketFile();
}

void CommandServer::removeSocketFile() const
{
    // Only our own file goes: another instance may have replaced it meanwhile.
    const QByteArray native = QFile::encodeName(fSocketPath);
    struct stat info { };
    if (::lstat(native.constData(), &info) == 0 && info.st_dev == fSocketDevice && info.st_ino == fSocketInode)
        ::unlink(native.constData());
}

void CommandServer::acceptConnections()
{
    // A bounded batch per wake-up; the notifier fires again for the rest.
    for (int i = 0; i < 32 && fListenFd >= 0; ++i) {
        const int fd = ::accept4(fListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: pause accepting rather than spin on a listener that stays ready.
                consoleLog(QStringLiteral("command channel: cannot accept a client: %1").arg(errorText(errno)));
                fListenNotifier->setEnabled(false);
                QTimer::singleShot(200, this, [this] {
                    if (fListenNotifier)
                        fListenNotifier->setEnabled(true);
                });
            }
            return;
        }
        ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
            consoleLog(QStringLiteral("command channel: refused a client of user id %1").arg(peer.uid));
            ::close(fd);
            continue;
        }
        if (connectionCount() - listenerCount() >= fLimits.maxConnections)
            makeRoomForConnection();
        if (connectionCount() - listenerCount() >= fLimits.maxConnections) {
            ::close(fd);
            continue;
        }
        fConnections.push_back(new CommandConnection(this, fd));
    }
}

void CommandServer::makeRoomForConnection()
{
    CommandConnection *idlest = nullptr;
    for (CommandConnection *connection : fConnections) {
        if (!connection->isBusy() && (!idlest || connection->lastActivity() < idlest->lastActivity()))
            idlest = connection;
    }
    if (idlest)
        idlest->drop("too many clients; it was the longest idle");
}

void CommandServer::forget(CommandConnection *connection)
{
    fConnections.erase(std::remove(fConnections.begin(), fConnections.end(), connection), fConnections.end());
}

QByteArray CommandServer::answer(const QByteArray &line)
{
    return answer(line, nullptr).value_or(QByteArray());
}

std::optional<QByteArray> CommandServer::answer(const QByteArray &line, CommandConnection *connection)
{
    const CommandParseResult parsed = parseCommandRequest(line);
    if (!parsed.request)
        return encodeError(parsed.error);
    const CommandRequest &request = *parsed.request;
    const quint64 key = handlerKey(request.eventClass, request.eventID);
    if (const auto streamHandler = fStreamHandlers.find(key); streamHandler != fStreamHandlers.end()) {
        if (!connection)
            return encodeError(QStringLiteral("this request needs a connection of its own"));
        // A copy: the handler may replace the handler table.
        const auto [handle, listener] = streamHandler->second;
        if (listener && listenerCount() >= fLimits.maxListeners) {
            consoleLog(QStringLiteral("command channel: refused a listener (%1 listen already)").arg(listenerCount()));
            return encodeError(QStringLiteral("too many listeners"));
        }
        handle(request.toAppleEvent(), connection->beginStream(listener));
        return std::nullopt;
    }
    const auto handler = fHandlers.find(key);
    if (handler == fHandlers.end()) {
        return encodeError(QStringLiteral("no handler for the event '%1'/'%2'")
                               .arg(fourCharText(request.eventClass), fourCharText(request.eventID)));
    }
    AppleEventReply reply;
    // A copy: the handler may replace the handler table.
    const Handler handle = handler->second;
    handle(request.toAppleEvent(), reply);
    if (!reply.errorString.isEmpty())
        return encodeError(reply.errorString);
    return encodeReply(reply.directObject, reply.reason);
}

} // namespace vesk
