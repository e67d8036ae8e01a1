// The program's command line and its ending: help, version, the errors that exit 2, and clean signals.

#include "support/ServiceProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

struct Finished {
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
};

QString program()
{
    return buildBinFolder() + QStringLiteral("/vesk-photo-service");
}

// Runs the program to its end (bounded).
Finished run(const QStringList &arguments)
{
    QProcess process;
    process.start(program(), arguments);
    Finished result;
    result.finished = process.waitForFinished(15000);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

} // namespace

TEST(ServiceCommandLine, HelpAndVersionExitZero)
{
    const Finished help = run({ QStringLiteral("--help") });
    EXPECT_EQ(help.exitCode, 0);
    for (const char *option : { "--port", "--storage", "--users", "--rule" })
        EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option << '\n' << help.out.toStdString();
    const Finished version = run({ QStringLiteral("--version") });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith(QStringLiteral("vesk-photo-service "))) << version.out.toStdString();
}

TEST(ServiceCommandLine, BadCommandLinesExitTwo)
{
    QTemporaryDir dir;
    const QString storage = dir.path() + QStringLiteral("/storage");
    ASSERT_TRUE(writeFile(dir.path() + QStringLiteral("/bad-users"), "alice:pw\nno colon here\n"));
    const QList<QStringList> bad = {
        { QStringLiteral("--storage"), storage, QStringLiteral("--rule"), QStringLiteral("no-outcome") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--rule"), QStringLiteral("x=explode") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--rule"), QStringLiteral("x=ok") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--rule"), QStringLiteral("([=error") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--rule") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--port"), QStringLiteral("http") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--port"), QStringLiteral("70000") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--users"), dir.path() + QStringLiteral("/missing") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--users"), dir.path() + QStringLiteral("/bad-users") },
        { QStringLiteral("--storage"), storage, QStringLiteral("--frobnicate") },
        { QStringLiteral("--storage"), storage, QStringLiteral("stray") },
        { QStringLiteral("--port"), QStringLiteral("0") },
    };
    for (const QStringList &arguments : bad) {
        const Finished result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(result.err.isEmpty()) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(result.out.contains(QStringLiteral("listening")))
            << arguments.join(QLatin1Char(' ')).toStdString();
    }
}

TEST(ServiceCommandLine, RuleRegexMayHoldEqualsSigns)
{
    ServiceProcess service({ QStringLiteral("--rule"), QStringLiteral("a=b=warning") });
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    EXPECT_TRUE(service.stop());
}

TEST(ServiceCommandLine, BusyPortIsAnErrorNotASecondListener)
{
    ServiceProcess first;
    ASSERT_TRUE(first.start()) << first.errorString().toStdString();
    QTemporaryDir dir;
    const Finished second
        = run({ QStringLiteral("--port"), QString::number(first.port()), QStringLiteral("--storage"), dir.path() });
    EXPECT_EQ(second.exitCode, 1) << second.err.toStdString();
    EXPECT_TRUE(second.err.contains(QString::number(first.port()))) << second.err.toStdString();
    EXPECT_TRUE(first.isRunning());
    EXPECT_TRUE(first.stop());
}

TEST(ServiceCommandLine, SigintAndSigtermEndCleanly)
{
    for (const int signal : { SIGINT, SIGTERM }) {
        QTemporaryDir dir;
        QProcess process;
        process.start(
            program(), { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--storage"), dir.path() });
        ASSERT_TRUE(waitFor(
            [&] {
                process.waitForReadyRead(50);
                return process.peek(4096).contains("listening on http://127.0.0.1:");
            },
            15s));
        const QByteArray line = process.readLine();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:[1-9][0-9]*\\n$"))
                        .match(QString::fromUtf8(line))
                        .hasMatch())
            << line.toStdString();
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(10000)) << signal;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(process.exitCode(), 0) << signal;
    }
}
