#include "TestSupport.h"

#include "diag/Console.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace vesk::test {

namespace {
// The administrator's folder and the service manager's credentials are the profile's too.
const char *const kProfileVariables[7] = { "HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
    "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "CREDENTIALS_DIRECTORY" };
} // namespace

TempProfile::TempProfile()
{
    for (int i = 0; i < 7; ++i)
        fSaved[i] = qgetenv(kProfileVariables[i]);
    const QString root = fDir.path();
    QDir().mkpath(root + QStringLiteral("/home"));
    QDir().mkpath(root + QStringLiteral("/runtime"));
    QFile::setPermissions(
        root + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root + QStringLiteral("/state")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root + QStringLiteral("/xdg")));
    qputenv("CREDENTIALS_DIRECTORY", QFile::encodeName(root + QStringLiteral("/credentials")));
}

TempProfile::~TempProfile()
{
    for (int i = 0; i < 7; ++i) {
        if (fSaved[i].isNull())
            qunsetenv(kProfileVariables[i]);
        else
            qputenv(kProfileVariables[i], fSaved[i]);
    }
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

ConsoleRecorder::ConsoleRecorder()
{
    fId = addConsoleObserver([this](const QString &line) {
        std::lock_guard<std::mutex> guard(fLock);
        fLines.append(line);
    });
}

ConsoleRecorder::~ConsoleRecorder()
{
    removeConsoleObserver(fId);
}

QStringList ConsoleRecorder::lines() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fLines;
}

bool ConsoleRecorder::contains(const QString &text) const
{
    return count(text) > 0;
}

int ConsoleRecorder::count(const QString &text) const
{
    std::lock_guard<std::mutex> guard(fLock);
    int n = 0;
    for (const QString &line : fLines) {
        if (line.contains(text))
            ++n;
    }
    return n;
}

void ConsoleRecorder::clear()
{
    std::lock_guard<std::mutex> guard(fLock);
    fLines.clear();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString readText(const QString &path)
{
    return QString::fromUtf8(readBytes(path));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

int runProgram(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString buildBinFolder()
{
    return qEnvironmentVariable("VESK_TOOLS_DIR");
}

void withoutFileCapabilities(const std::function<void()> &function)
{
    std::thread thread([&] {
        // Capabilities belong to the thread: capset here leaves the rest of the test process alone.
        __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
        __user_cap_data_struct data[2] {};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (const int capability : { CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER, CAP_LEASE })
                data[capability / 32].effective &= ~(1u << (capability % 32));
            ::syscall(SYS_capset, &header, data);
        }
        function();
    });
    thread.join();
}

} // namespace vesk::test
