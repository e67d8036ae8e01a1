#pragma once
// The real programs for the tests: the one way to start vesk-ftpuploader (RunningApp), vesk-ctl
// and other programs run to their end with their output, and a raw client of the command socket
// whose waits keep the event loop turning (so an in-process server is served meanwhile).

#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace vesk::test {

class RawClient {
public:
    explicit RawClient(const QString &socketPath);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool isConnected() const { return fFd >= 0; }
    // Sends all bytes (waiting while the socket is full); false when the server has gone.
    bool send(const QByteArray &bytes);
    // Sends what fits without waiting; -1 when the server has gone.
    qsizetype sendSome(const QByteArray &bytes);
    void shutdownWrite();
    // The next reply line (without its line end), waiting at most the given time.
    std::optional<QByteArray> readLine(int timeoutMs = 10000);
    // Waits until the server closes the connection (end of file or reset). Unread data is dropped.
    bool waitClosed(int timeoutMs = 10000);

private:
    bool fillBuffer(); // one non-blocking read; false once the connection is closed
    int fFd = -1;
    QByteArray fBuffer;
    bool fClosed = false;
};

struct CtlResult {
    int exitCode = -1;
    QString out;
    QString err;
};
// Runs the built vesk-ctl with the current environment.
CtlResult runCtl(const QStringList &arguments, const QString &workingFolder = {});
// Runs a program to its end (at most 30 s) and collects its exit status and output.
CtlResult runCapturing(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
    const QString &workingFolder = {});

QProcessEnvironment environmentWithoutDisplay();
QString programPath();
QString messageLogPath(); // of the current profile

// The real program in the current profile, the way every test starts it. Its standard streams go
// to <folder>/<name>.out and .err (the profile's home folder unless told), appended over its starts, so that it never
// waits on a full pipe; a test that dies takes it along. Run as root, it lacks the capabilities that override file
// permissions, as a user's program would.
class RunningApp {
public:
    explicit RunningApp(const QString &name = QStringLiteral("app"), const QString &folder = {});
    ~RunningApp(); // a program still running gets SIGTERM, then SIGKILL
    RunningApp(const RunningApp &) = delete;
    RunningApp &operator=(const RunningApp &) = delete;

    // Starts vesk-ftpuploader with the arguments as they are; false when it did not start.
    bool launch(const QStringList &arguments);
    // Starts it --headless with the arguments and waits until its command socket accepts connections.
    bool start(const QStringList &arguments = {});
    // SIGTERM and a bounded wait (then SIGKILL); true when it ended by itself with status 0.
    bool stop(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void kill(); // SIGKILL, and waits until it is gone
    bool isRunning() const { return fProcess.state() != QProcess::NotRunning; }
    bool waitForExit(int timeoutMs = 20000);
    QProcess &process() { return fProcess; }
    const QProcess &process() const { return fProcess; }
    QString standardOutput() const;
    QString standardError() const;

    QProcessEnvironment environment = environmentWithoutDisplay(); // for the next start
    QStringList wrapper; // a command the program runs under (for example setpriv)

private:
    QString fOutPath;
    QString fErrPath;
    QProcess fProcess;
};

} // namespace vesk::test
