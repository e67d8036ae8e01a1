// The real program, started and stopped the way its users do.

#include "TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

using namespace vesk;

namespace {
QString program()
{
    return test::buildBinFolder() + QStringLiteral("/vesk-ftpuploader");
}

QString logFile(const test::TempProfile &profile)
{
    return profile.path(QStringLiteral("state/Vesk-FTPUploader/Vesk-FTPUploaderLog.txt"));
}

QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}
} // namespace

TEST(Lifecycle, HeadlessRunLogsItsMilestonesAndQuitsCleanlyOnSignals)
{
    for (const int signalNumber : { SIGTERM, SIGINT }) {
        test::TempProfile profile;
        QProcess process;
        process.setProcessEnvironment(withoutDisplay()); // no display: headless by itself
        process.start(program(), {});
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(test::waitFor([&] {
            return test::readText(logFile(profile)).contains(QStringLiteral("applicationDidFinishLaunching"));
        }));
        ::kill(static_cast<pid_t>(process.processId()), signalNumber);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);

        const QString log = test::readText(logFile(profile));
        const qsizetype will = log.indexOf(QStringLiteral("] ==> applicationWillFinishLaunching\n"));
        const qsizetype did = log.indexOf(QStringLiteral("] ==> applicationDidFinishLaunching\n"));
        const qsizetype should = log.indexOf(QStringLiteral("] ==> applicationShouldTerminate\n"));
        const qsizetype done = log.indexOf(QStringLiteral("] ==> applicationWillTerminate - DONE!\n"));
        EXPECT_TRUE(will >= 0 && will < did && did < should && should < done) << log.toStdString();
        EXPECT_TRUE(log.endsWith(QStringLiteral("applicationWillTerminate - DONE!\n"))); // the log is closed last
    }
}

TEST(Lifecycle, AnOutputNobodyReadsDoesNotEndTheProgram)
{
    // The program's output piped into a program that ends at once: every console line after that
    // fails to be written, and the program carries on to a clean quit.
    test::TempProfile profile;
    QProcess shell;
    shell.setProcessEnvironment(withoutDisplay());
    shell.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("\"$0\" 2>&1 | head -c 1 >/dev/null"), program() });
    ASSERT_TRUE(shell.waitForStarted());
    ASSERT_TRUE(test::waitFor(
        [&] { return test::readText(logFile(profile)).contains(QStringLiteral("applicationDidFinishLaunching")); }));
    const QString lock = profile.path(QStringLiteral("runtime/Vesk-FTPUploader/instance.lock"));
    const qint64 pid = test::readText(lock).trimmed().toLongLong();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(shell.waitForFinished(20000));
    EXPECT_TRUE(test::readText(logFile(profile)).endsWith(QStringLiteral("applicationWillTerminate - DONE!\n")));
}

TEST(Lifecycle, CommandLineHelpVersionAndMistakes)
{
    QProcess process;
    process.start(program(), { QStringLiteral("--version") });
    ASSERT_TRUE(process.waitForFinished());
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardOutput().startsWith("vesk-ftpuploader "));

    process.start(program(), { QStringLiteral("--help") });
    ASSERT_TRUE(process.waitForFinished());
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardOutput().contains("--headless"));

    process.start(program(), { QStringLiteral("--no-such-option") });
    ASSERT_TRUE(process.waitForFinished());
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(process.readAllStandardError().contains("unknown option"));
}
