// The real program, started and stopped the way its users do.

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace vesk;

TEST(Lifecycle, HeadlessRunLogsItsMilestonesAndQuitsCleanlyOnSignals)
{
    for (const int signalNumber : { SIGTERM, SIGINT }) {
        test::TempProfile profile;
        test::RunningApp app;
        ASSERT_TRUE(app.launch({})); // no display: headless by itself
        ASSERT_TRUE(test::waitFor([&] {
            return test::readText(test::messageLogPath()).contains(QStringLiteral("applicationDidFinishLaunching"));
        }));
        ::kill(static_cast<pid_t>(app.process().processId()), signalNumber);
        ASSERT_TRUE(app.waitForExit());
        EXPECT_EQ(app.process().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.process().exitCode(), 0);

        const QString log = test::readText(test::messageLogPath());
        qsizetype at = 0;
        for (const char *milestone :
            { "] ==> applicationWillFinishLaunching\n", "] ==> applicationDidFinishLaunching\n",
                "] ==> applicationShouldTerminate\n", "] ==> applicationWillTerminate - DONE!\n" }) {
            at = log.indexOf(QLatin1String(milestone), at);
            EXPECT_GE(at, 0) << milestone << log.toStdString();
        }
        EXPECT_TRUE(log.endsWith(QStringLiteral("applicationWillTerminate - DONE!\n"))); // the log is closed last
    }
}

TEST(Lifecycle, AnOutputNobodyReadsDoesNotEndTheProgram)
{
    // The program's output piped into a program that ends at once: every console line after that
    // fails to be written, and the program carries on to a clean quit.
    test::TempProfile profile;
    QProcess shell;
    shell.setProcessEnvironment(test::environmentWithoutDisplay());
    shell.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("\"$0\" 2>&1 | head -c 1 >/dev/null"), test::programPath() });
    ASSERT_TRUE(shell.waitForStarted());
    ASSERT_TRUE(test::waitFor([&] {
        return test::readText(test::messageLogPath()).contains(QStringLiteral("applicationDidFinishLaunching"));
    }));
    const qint64 pid
        = test::readText(profile.path(QStringLiteral("runtime/Vesk-FTPUploader/instance.lock"))).trimmed().toLongLong();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(shell.waitForFinished(20000));
    EXPECT_TRUE(test::readText(test::messageLogPath()).endsWith(QStringLiteral("applicationWillTerminate - DONE!\n")));
}
