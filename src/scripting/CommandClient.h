#pragma once
// The client side of the command channel: where the running instance listens, and one request with
// a bounded wait for its reply. Blocking; any thread. Built with QtCore only, so that vesk-ctl can
// share it.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

namespace vesk {

// command.sock in the runtime folder (base/Folders.h), where the application listens.
QString defaultCommandSocketPath();

struct CommandExchange {
    enum class Status {
        Answered, // replyLine holds the reply, without its line end
        NoInstance, // no socket file, or nobody listens on it
        TimedOut, // connected, but no complete reply in time
        Failed, // any other failure (see error)
    };
    Status status = Status::Failed;
    QByteArray replyLine;
    QString error;
};

// Connects, sends the request line (a line end is added) and waits for one reply line, all within
// the time limit.
CommandExchange exchangeCommand(
    const QString &socketPath, const QByteArray &requestLine, std::chrono::milliseconds limit);

// Sends the request, then passes every line that comes to onLine until the far end closes the
// connection or stop() answers true (asked at least every 200 ms). Answered means that the stream
// ran and ended; the other statuses are those of exchangeCommand.
CommandExchange followCommandStream(const QString &socketPath, const QByteArray &requestLine,
    const std::function<void(const QByteArray &line)> &onLine, const std::function<bool()> &stop);

// Like exchangeCommand, but while nobody listens yet (an instance that is still starting) tries
// again until the time limit.
CommandExchange exchangeCommandWhenListening(
    const QString &socketPath, const QByteArray &requestLine, std::chrono::milliseconds limit);

} // namespace vesk
