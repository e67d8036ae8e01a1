#include "ChannelTestSupport.h"

#include "TestSupport.h"
#include "app/Paths.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vesk::test {

RawClient::RawClient(const QString &socketPath)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    if (static_cast<size_t>(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    fFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fFd >= 0 && ::connect(fFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fFd);
        fFd = -1;
    }
    if (fFd >= 0)
        ::fcntl(fFd, F_SETFL, ::fcntl(fFd, F_GETFL) | O_NONBLOCK);
}

RawClient::~RawClient()
{
    if (fFd >= 0)
        ::close(fFd);
}

qsizetype RawClient::sendSome(const QByteArray &bytes)
{
    const ssize_t n = ::send(fFd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

bool RawClient::send(const QByteArray &bytes)
{
    qsizetype sent = 0;
    bool gone = false;
    const bool done = waitFor([&] {
        const qsizetype n = sendSome(bytes.mid(sent));
        gone = n < 0;
        sent += std::max<qsizetype>(n, 0);
        return gone || sent == bytes.size();
    });
    return done && !gone;
}

void RawClient::shutdownWrite()
{
    ::shutdown(fFd, SHUT_WR);
}

bool RawClient::waitClosed(int timeoutMs)
{
    return waitFor(
        [&] {
            fillBuffer();
            fBuffer.clear();
            return fClosed;
        },
        std::chrono::milliseconds(timeoutMs));
}

bool RawClient::fillBuffer()
{
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fFd, chunk, sizeof chunk, 0);
        if (n > 0) {
            fBuffer.append(chunk, n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            fClosed = true;
        return !fClosed;
    }
}

std::optional<QByteArray> RawClient::readLine(int timeoutMs)
{
    waitFor(
        [&] {
            fillBuffer();
            return fBuffer.contains('\n') || fClosed;
        },
        std::chrono::milliseconds(timeoutMs));
    const qsizetype end = fBuffer.indexOf('\n');
    if (end < 0)
        return std::nullopt;
    QByteArray line = fBuffer.left(end);
    fBuffer.remove(0, end + 1);
    return line;
}

CtlResult runCtl(const QStringList &arguments, const QString &workingFolder)
{
    return runCapturing(buildBinFolder() + QStringLiteral("/vesk-ctl"), arguments,
        QProcessEnvironment::systemEnvironment(), workingFolder);
}

CtlResult runCapturing(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
    const QString &workingFolder)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    CtlResult result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QProcessEnvironment environmentWithoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QString programPath()
{
    return buildBinFolder() + QStringLiteral("/vesk-ftpuploader");
}

QString messageLogPath()
{
    return paths::stateFolder() + QStringLiteral("/Vesk-FTPUploaderLog.txt");
}

RunningApp::RunningApp(const QString &name, const QString &outputFolder)
{
    const QString folder = outputFolder.isEmpty() ? paths::homeFolder() : outputFolder;
    QDir().mkpath(folder);
    fOutPath = folder + QLatin1Char('/') + name + QStringLiteral(".out");
    fErrPath = folder + QLatin1Char('/') + name + QStringLiteral(".err");
    fProcess.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

RunningApp::~RunningApp()
{
    if (isRunning())
        stop(std::chrono::seconds(20));
}

bool RunningApp::launch(const QStringList &arguments)
{
    fProcess.setStandardOutputFile(fOutPath, QIODevice::Append);
    fProcess.setStandardErrorFile(fErrPath, QIODevice::Append);
    fProcess.setProcessEnvironment(environment);
    QStringList command = wrapper + QStringList { programPath() } + arguments;
    if (::geteuid() == 0)
        command = QStringList { QStringLiteral("setpriv"),
            QStringLiteral("--bounding-set=-dac_override,-dac_read_search,-lease"), QStringLiteral("--") }
            + command;
    fProcess.start(command.takeFirst(), command);
    return fProcess.waitForStarted(10000);
}

bool RunningApp::start(const QStringList &arguments)
{
    return launch(QStringList { QStringLiteral("--headless") } + arguments)
        && waitFor([&] { return isRunning() && RawClient(paths::commandSocketFile()).isConnected(); });
}

bool RunningApp::stop(std::chrono::milliseconds limit)
{
    if (!isRunning())
        return false;
    ::kill(static_cast<pid_t>(fProcess.processId()), SIGTERM);
    if (!fProcess.waitForFinished(int(limit.count()))) {
        kill();
        return false;
    }
    return fProcess.exitStatus() == QProcess::NormalExit && fProcess.exitCode() == 0;
}

void RunningApp::kill()
{
    if (!isRunning())
        return;
    ::kill(static_cast<pid_t>(fProcess.processId()), SIGKILL);
    fProcess.waitForFinished(10000);
}

bool RunningApp::waitForExit(int timeoutMs)
{
    return fProcess.waitForFinished(timeoutMs);
}

QString RunningApp::standardOutput() const
{
    return readText(fOutPath);
}

QString RunningApp::standardError() const
{
    return readText(fErrPath);
}

} // namespace vesk::test
