// vesk-ctl status and vesk-ctl events: the two commands that watch the running uploader.

#include "diag/OutcomeHistory.h"
#include "scripting/CommandClient.h"
#include "scripting/CommandProtocol.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>

using namespace vesk;

namespace {

std::atomic<bool> gInterrupted { false };

void print(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QByteArray requestLine(FourCharCode id)
{
    CommandRequest request;
    request.eventClass = kVeskEventClass;
    request.eventID = id;
    return encodeCommandRequest(request);
}

QString localTime(const QJsonValue &iso)
{
    const QDateTime when = QDateTime::fromString(iso.toString(), Qt::ISODateWithMs);
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("none");
}

QString statusText(const QJsonObject &status)
{
    QString state = status.value(QStringLiteral("state")).toString();
    const QJsonObject picture = status.value(QStringLiteral("picture")).toObject();
    if (!picture.isEmpty())
        state += QStringLiteral(": %1 (for %2 s)")
                     .arg(picture.value(QStringLiteral("path")).toString())
                     .arg(picture.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 1);
    const auto number = [&](const char *key) { return status.value(QLatin1String(key)).toInteger(); };
    if (const qint64 retrying = number("waitingForRetry"); retrying > 0) {
        const QDateTime next
            = QDateTime::fromString(status.value(QStringLiteral("nextRetry")).toString(), Qt::ISODateWithMs);
        const qint64 ms = next.isValid() ? QDateTime::currentDateTime().msecsTo(next) : 0;
        state += QStringLiteral(", waiting to retry %1 %2 (%3)")
                     .arg(retrying)
                     .arg(retrying == 1 ? QStringLiteral("picture") : QStringLiteral("pictures"))
                     .arg(ms > 0 ? QStringLiteral("next try in %1 s").arg((ms + 999) / 1000)
                                 : QStringLiteral("next try with the next pass"));
    }
    const QJsonObject away = status.value(QStringLiteral("serviceAway")).toObject();
    if (!away.isEmpty())
        state += QStringLiteral("; ") + away.value(QStringLiteral("text")).toString();
    const QJsonValue waiting = status.value(QStringLiteral("waitingInSource"));
    const QString source = waiting.isNull()
        ? QStringLiteral("cannot be read")
        : QStringLiteral("%1%2 %3 waiting")
              .arg(status.value(QStringLiteral("waitingCountComplete")).toBool() ? QString()
                                                                                 : QStringLiteral("at least "))
              .arg(waiting.toInteger())
              .arg(waiting.toInteger() == 1 ? QStringLiteral("picture") : QStringLiteral("pictures"));
    const int samples = status.value(QStringLiteral("rateUploads")).toInt();
    const QString rate = samples == 0
        ? QStringLiteral("none yet")
        : QStringLiteral("%1 pictures/min, %2 MB/s (the last %3)")
              .arg(status.value(QStringLiteral("picturesPerMinute")).toDouble(), 0, 'f', 1)
              .arg(status.value(QStringLiteral("megabytesPerSecond")).toDouble(), 0, 'f', 2)
              .arg(samples);
    const QJsonObject error = status.value(QStringLiteral("lastError")).toObject();
    const QString lastError = error.isEmpty() ? QStringLiteral("none")
                                              : localTime(error.value(QStringLiteral("time"))) + QStringLiteral("  ")
            + error.value(QStringLiteral("text")).toString();
    const auto folder
        = [&](const char *key) { return status.value(QLatin1String(key)).toString(QStringLiteral("not set")); };
    const QStringList lines {
        QStringLiteral("State:            %1").arg(state),
        QStringLiteral("Since start:      %1 uploaded, %2 in the problem folder, %3 failed to transfer (%4 failed "
                       "attempts)")
            .arg(number("uploaded"))
            .arg(number("parked"))
            .arg(number("transferFailures"))
            .arg(number("failedAttempts")),
        QStringLiteral("Source folder:    %1: %2").arg(folder("sourceFolder"), source),
        QStringLiteral("Mirror folder:    %1").arg(folder("mirrorFolder")),
        QStringLiteral("Problem folder:   %1").arg(folder("problemFolder")),
        QStringLiteral("Last uploads:     %1").arg(rate),
        QStringLiteral("Last error:       %1").arg(lastError),
        QStringLiteral("Next timed pass:  %1").arg(localTime(status.value(QStringLiteral("nextPass")))),
        QStringLiteral("Watcher:          %1").arg(status.value(QStringLiteral("watcher")).toString()),
        QStringLiteral("Service:          %1 (address: %2; password: %3)")
            .arg(status.value(QStringLiteral("host")).toString(), status.value(QStringLiteral("address")).toString(),
                status.value(QStringLiteral("password")).toString()),
        QStringLiteral("Service address:  %1").arg(status.value(QStringLiteral("endpoint")).toString()),
        QStringLiteral("Event listeners:  %1").arg(number("listeners")),
        QStringLiteral("Version:          %1").arg(status.value(QStringLiteral("version")).toString()),
    };
    return lines.join(QLatin1Char('\n'));
}

int status(bool json, double timeoutSeconds)
{
    const auto limit = std::chrono::milliseconds(std::llround(timeoutSeconds * 1000.0));
    const CommandExchange exchange = exchangeCommand(defaultCommandSocketPath(), requestLine(kVeskStatus), limit);
    if (exchange.status != CommandExchange::Status::Answered) {
        print(stderr, "vesk-ctl: no running instance answers: " + exchange.error.toLocal8Bit());
        return 2;
    }
    const QJsonObject reply = QJsonDocument::fromJson(exchange.replyLine).object();
    if (!reply.value(QStringLiteral("status")).isObject()) {
        print(stderr,
            "vesk-ctl: "
                + reply.value(QStringLiteral("error")).toString(QStringLiteral("unreadable reply")).toLocal8Bit());
        return 1;
    }
    print(
        stdout, json ? exchange.replyLine : statusText(reply.value(QStringLiteral("status")).toObject()).toLocal8Bit());
    return 0;
}

int events()
{
    // Interrupted, it ends its stream and exits 0.
    struct sigaction action { };
    action.sa_handler = [](int) { gInterrupted = true; };
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int refused = 0;
    const CommandExchange exchange = followCommandStream(
        defaultCommandSocketPath(), requestLine(kVeskEvents),
        [&refused](const QByteArray &line) {
            const ReplyParseResult reply = parseReplyLine(line);
            if (reply.kind == ReplyParseResult::Kind::Error) {
                // No stream to follow (too many listeners): like an instance that does not answer.
                print(stderr, "vesk-ctl: " + reply.error.toLocal8Bit());
                refused = 2;
                gInterrupted = true;
                return;
            }
            print(stdout, line);
        },
        [] { return gInterrupted.load() || std::ferror(stdout); });
    if (exchange.status != CommandExchange::Status::Answered) {
        print(stderr, "vesk-ctl: no running instance answers: " + exchange.error.toLocal8Bit());
        return 2;
    }
    return refused;
}

// The history file is read directly: it answers whether the program runs or not.
int history(const QStringList &arguments, bool json)
{
    bool ok = arguments.isEmpty();
    const qsizetype count = ok ? 20 : arguments.first().toLongLong(&ok);
    if (!ok || count < 1 || arguments.size() > 1) {
        print(stderr, "vesk-ctl: usage: vesk-ctl [--json] history [N]");
        return 2;
    }
    const QString path = OutcomeHistory::defaultPath();
    const QList<QByteArray> lines = OutcomeHistory::lastLines(path, count);
    if (lines.isEmpty() && !json)
        print(stderr, "vesk-ctl: no outcomes yet in " + path.toLocal8Bit());
    for (const QByteArray &line : lines) {
        if (json) {
            print(stdout, line);
            continue;
        }
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        QString text = QStringLiteral("%1  %2  %3 (%4 bytes)")
                           .arg(localTime(entry.value(QStringLiteral("time"))),
                               entry.value(QStringLiteral("outcome")).toString(),
                               entry.value(QStringLiteral("picture")).toString())
                           .arg(entry.value(QStringLiteral("size")).toInteger());
        if (const QString error = entry.value(QStringLiteral("error")).toString(); !error.isEmpty())
            text += QStringLiteral(": ") + error;
        print(stdout, text.toLocal8Bit());
    }
    return 0;
}

} // namespace

std::optional<int> runWatchingCommand(const QStringList &words, bool json, double timeoutSeconds)
{
    if (words.isEmpty())
        return std::nullopt;
    const QString command = words.first().toLower();
    if (command == QLatin1String("history"))
        return history(words.mid(1), json);
    if (command != QLatin1String("status") && command != QLatin1String("events"))
        return std::nullopt;
    if (words.size() > 1) {
        print(stderr, "vesk-ctl: usage: vesk-ctl [--json] " + command.toLocal8Bit());
        return 2;
    }
    return command == QLatin1String("status") ? status(json, timeoutSeconds) : events();
}
