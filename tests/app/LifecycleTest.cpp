// The real program, started and stopped the way its users do.

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include "app/Paths.h"
#include "diag/MessageLog.h"
#include "prefs/PropertyList.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace vesk;

TEST(Lifecycle, HeadlessRunsLogTheirMilestonesKeepThePreviousLogAndQuitCleanlyOnSignals)
{
    // Three runs in one profile: each keeps the log of the run before it whole, and the earlier
    // uploader's settings are copied at the first run only.
    test::TempProfile profile;
    const auto writePredecessor = [](const char *login) {
        return test::writeFile(paths::predecessorPreferencesFile(),
            plist::toXml(QVariantMap { { QStringLiteral("userLoginName"), QString::fromUtf8(login) } }));
    };
    ASSERT_TRUE(writePredecessor("first-login"));
    QString lastLog;
    for (const int signalNumber : { SIGTERM, SIGINT, SIGTERM }) {
        test::RunningApp app; // each run's log differs by the endpoint it names
        app.environment.insert(
            QStringLiteral("VESK_UPLOAD_URL"), QStringLiteral("http://127.0.0.1:9/%1").arg(lastLog.size()));
        ASSERT_TRUE(app.launch({})); // no display: headless by itself
        ASSERT_TRUE(test::waitFor([&] {
            return test::RawClient(paths::commandSocketFile()).isConnected()
                && test::readText(test::messageLogPath()).contains(QStringLiteral("applicationDidFinishLaunching"));
        }));
        EXPECT_EQ(test::readText(MessageLog::previousPath()), lastLog) << "the previous run's log is not kept whole";
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
        lastLog = log;
        EXPECT_TRUE(test::readText(paths::preferencesFile()).contains(QStringLiteral("<string>first-login</string>")));
        ASSERT_TRUE(writePredecessor("later-login")); // what a copy at a later launch would bring
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

TEST(Lifecycle, TheDemonstrationShowsOnlyStatusLinesAndKeepsBothStreamsWholeInItsFile)
{
    // In a copy of the tree's layout, so that its demo/ folder is the test's; ended as Ctrl+C ends it.
    test::TempProfile profile;
    const QString tree = profile.path(QStringLiteral("tree"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/build")) && QDir().mkpath(tree + QStringLiteral("/scripts")));
    ASSERT_TRUE(QFile::link(test::buildBinFolder(), tree + QStringLiteral("/build/bin")));
    ASSERT_TRUE(QFile::copy(qEnvironmentVariable("VESK_SOURCE_DIR") + QStringLiteral("/scripts/demo"),
        tree + QStringLiteral("/scripts/demo")));
    QProcess demo;
    demo.setChildProcessModifier([] { ::setsid(); });
    demo.start(tree + QStringLiteral("/scripts/demo"), { QStringLiteral("--headless") });
    const auto group = static_cast<pid_t>(demo.processId());
    const auto cleanup = qScopeGuard([&] {
        ::kill(-group, SIGKILL);
        demo.waitForFinished();
    });
    QString terminal;
    ASSERT_TRUE(test::waitFor(
        [&] {
            terminal += QString::fromUtf8(demo.readAllStandardOutput());
            return terminal.count(QStringLiteral("\n[uploaded] ")) == 6;
        },
        std::chrono::seconds(60)))
        << terminal.toStdString();
    ::kill(-group, SIGINT);
    ASSERT_TRUE(demo.waitForFinished(30000) && demo.exitCode() == 0);
    const QStringList lines = QString(terminal + QString::fromUtf8(demo.readAllStandardOutput()))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString output = test::readText(lines.filter(QStringLiteral("whole output:"))
                                              .value(0)
                                              .section(QLatin1Char(' '), 2, 2, QString::SectionSkipEmpty));
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^[^[]"))).size(), 6); // the script's own
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^\\[upload\\] Uploading\\.\\.\\. .+/IMG_"))).size(), 6);
    for (const QString &line : lines.filter(QRegularExpression(QStringLiteral("^\\["))))
        EXPECT_TRUE(output.contains(line)) << line.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("applicationWillTerminate"))); // the console log, to its end
}
