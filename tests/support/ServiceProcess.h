#pragma once
// Runs the substitute photo service (vesk-photo-service from the build's tool folder) for a test: starts it on
// a storage folder, waits for it to listen, stops it and starts it again on the same port to stage an outage,
// and reads its upload log. Use it from the thread that created it, with a QCoreApplication in place. The
// kernel ends the service when the thread that started it ends, so a test that crashes leaves none behind.

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

class QProcess;

namespace vesk::test {

// One line of the service's uploads.jsonl.
struct ServiceUpload {
    QJsonObject fields; // every form field as sent: name -> value
    QString filename; // the file name as sent
    QString stored; // absolute path of the stored picture; empty when it was not kept
    qint64 size = 0; // bytes received
    QString sha256; // lower-case hexadecimal
    QString outcome; // ok, or the outcome of the rule that answered
    QString time; // ISO 8601, UTC, with milliseconds
    qint64 receivedMs = 0; // epoch milliseconds when the request head arrived
    qint64 completedMs = 0; // epoch milliseconds when the body was complete
    QJsonObject raw; // the whole record

    QString field(const QString &name) const { return fields.value(name).toString(); }
};

class ServiceProcess {
public:
    // Extra arguments follow --port and --storage. An empty storage means a folder of the fixture's own.
    explicit ServiceProcess(const QStringList &arguments = {}, const QString &storage = QString());
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Conveniences for the arguments; they take effect at the next start.
    void addArguments(const QStringList &arguments);
    void addRule(const QString &pattern, const QString &outcome);
    // Writes a users file (login:password lines) and passes it with --users.
    void setUsers(const QList<QPair<QString, QString>> &logins);
    // The port of the first start (0, the default, picks a free one); later starts reuse the port it got.
    void setPort(int port);

    // Starts the service and waits for its "listening on" line. False, with the reason in errorString(),
    // when it did not listen in time or ended.
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(15));
    // SIGTERM, a bounded wait, then SIGKILL. True when it ended by itself with status 0, or was not running.
    bool stop(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool isRunning() const;
    qint64 processId() const;

    int port() const { return fPort; }
    QString url() const; // http://127.0.0.1:PORT/index.php (https:// when it serves HTTPS)
    QString baseUrl() const; // http://127.0.0.1:PORT
    QString storage() const { return fStorage; }
    QString uploadLogPath() const;

    // The records of uploads.jsonl, oldest first.
    QList<ServiceUpload> uploads() const;
    // Waits (bounded) until uploads.jsonl holds at least count records.
    bool waitForUploads(int count, std::chrono::milliseconds limit = std::chrono::seconds(15)) const;
    // What the service wrote to standard error since its first start: one line per request.
    QString log() const;
    QString errorString() const { return fError; }

private:
    QString logPath() const;

    QTemporaryDir fDir;
    QString fStorage;
    QStringList fArguments;
    int fPort = 0;
    QString fScheme = QStringLiteral("http");
    std::unique_ptr<QProcess> fProcess;
    QString fError;
};

// Parses one line of uploads.jsonl; false when it is not a JSON object.
bool parseServiceUpload(const QByteArray &line, ServiceUpload &upload);

} // namespace vesk::test
