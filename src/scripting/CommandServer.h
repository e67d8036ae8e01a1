#pragma once
// CommandServer: the listening end of the command channel, a Unix-domain socket in a private
// folder. It reads request lines from its clients without ever blocking, hands each request to the
// handler registered for its class and ID, and writes the reply line. Lives on the main thread.

#include "scripting/AppleEvent.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <sys/types.h>

class QSocketNotifier;

namespace vesk {

class CommandConnection;

// The far end of a request whose answer comes later or in many lines (a stream). Main thread.
class CommandReplyStream {
public:
    virtual ~CommandReplyStream() = default;
    // Queues one line (the line end is added). False once the client has gone or was dropped.
    virtual bool send(const QByteArray &line) = 0;
    // Ends the exchange: the connection goes back to reading requests.
    virtual void finish() = 0;
    virtual bool isOpen() const = 0;
};

class CommandServer : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(const AppleEvent &event, AppleEventReply &reply)>;
    // Gets the connection's far end; the connection reads no further request until it is finished.
    using StreamHandler = std::function<void(const AppleEvent &event, std::shared_ptr<CommandReplyStream> stream)>;

    struct Limits {
        qsizetype maxPendingReplyBytes = 1024 * 1024; // unread replies beyond this drop the client
        int maxConnections = 64; // beyond this the longest-idle client makes room; listeners not counted
        // Listeners have slots of their own, so that requests always find one; one more is refused.
        int maxListeners = 32;
        qsizetype readChunkBytes = 64 * 1024; // read per wake-up, so one client cannot hog the loop
        // A stream whose client is further behind than this many lines is dropped, never waited for.
        // Its socket holds little (streamSocketBytes), so that lines behind are lines in our queue.
        qsizetype maxStreamLinesBehind = 256;
        int streamSocketBytes = 4096;
    };

    explicit CommandServer(QObject *parent = nullptr);
    ~CommandServer() override; // closes every connection and removes the socket file

    void setLimits(const Limits &limits) { fLimits = limits; }
    // Requests of that class and ID go to the handler. Others are answered with an error.
    void setEventHandler(FourCharCode eventClass, FourCharCode eventID, Handler handler);
    // A listener stream lasts until its client leaves (at most maxListeners at a time, beyond which the
    // request is answered {"error":"too many listeners"}); any other stream is one late reply.
    void setStreamHandler(FourCharCode eventClass, FourCharCode eventID, StreamHandler handler, bool listener = false);

    // Makes the socket's folder (mode 0700; an existing one is tightened, and must belong to this
    // user), replaces a socket file that nobody listens on, and listens. False with a reason when
    // that fails or another process already listens there.
    bool listen(const QString &socketPath, QString *error = nullptr);
    // Stops listening and removes the socket file if it is still this server's. The connections
    // already open are still served.
    void close();
    // Removes the socket file if it is still the one listen() made; the listener stays. Any thread,
    // for a process that has to end without the main thread.
    void removeSocketFile() const;

    bool isListening() const { return fListenFd >= 0; }
    QString socketPath() const { return fSocketPath; }
    int connectionCount() const { return static_cast<int>(fConnections.size()); }
    int listenerCount() const;

    // The reply line for one request line (both without line ends). Runs the handler. A request for
    // a stream is refused here: it needs a connection.
    QByteArray answer(const QByteArray &line);

private:
    friend class CommandConnection;
    void acceptConnections();
    void makeRoomForConnection();
    void forget(CommandConnection *connection);
    // The reply line, or none when a stream handler took the request over.
    std::optional<QByteArray> answer(const QByteArray &line, CommandConnection *connection);

    Limits fLimits;
    std::map<quint64, Handler> fHandlers;
    std::map<quint64, std::pair<StreamHandler, bool>> fStreamHandlers; // the handler, whether it listens
    QString fSocketPath;
    int fListenFd = -1;
    QSocketNotifier *fListenNotifier = nullptr;
    dev_t fSocketDevice = 0;
    ino_t fSocketInode = 0;
    std::vector<CommandConnection *> fConnections;
};

} // namespace vesk
