// One instance per user: a second launch of the real program hands over its folder or brings the
// running one to the front, and gives up on one that does not answer.

#include "app/Paths.h"

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vesk;

namespace {

using Launch = test::CtlResult;

Launch launch(const QStringList &arguments, const QProcessEnvironment &env = test::environmentWithoutDisplay())
{
    return test::runCapturing(test::programPath(), arguments, env);
}

int openFileLines()
{
    return test::readText(test::messageLogPath())
        .count(QStringLiteral("Inside AppController => applicationOpenFile..."));
}

} // namespace

TEST(SingleInstance, ASecondLaunchHandsItsFolderToTheRunningOne)
{
    test::TempProfile profile;
    const QString first = profile.path(QStringLiteral("first"));
    const QString second = profile.path(QStringLiteral("second"));
    QDir().mkpath(first);
    QDir().mkpath(second);
    test::RunningApp app;
    ASSERT_TRUE(app.start({ first }));
    ASSERT_TRUE(test::waitFor([] { return openFileLines() == 1; }));

    // Relative on the command line, absolute when it reaches the running instance.
    QProcessEnvironment env = test::environmentWithoutDisplay();
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(profile.root());
    process.start(test::programPath(), { QStringLiteral("--headless"), QStringLiteral("second") });
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(QString::fromUtf8(process.readAllStandardOutput()).contains(second));

    EXPECT_TRUE(test::waitFor([] { return openFileLines() == 2; }));
    EXPECT_TRUE(app.standardError().contains(QStringLiteral("Open-document request for [%1]").arg(second)));
    EXPECT_EQ(app.process().state(), QProcess::Running);

    // vesk-ctl open does the same, with the folder made absolute too.
    const test::CtlResult open = test::runCtl({ QStringLiteral("open"), QStringLiteral("first") }, profile.root());
    EXPECT_EQ(open.exitCode, 0) << open.err.toStdString();
    EXPECT_TRUE(open.out.isEmpty());
    EXPECT_TRUE(test::waitFor([] { return openFileLines() == 3; }));
    EXPECT_TRUE(app.standardError().contains(QStringLiteral("Open-document request for [%1]").arg(first)));
    // The second launch left the running instance's message log alone.
    EXPECT_TRUE(test::readText(test::messageLogPath()).contains(QStringLiteral("applicationWillFinishLaunching")));
}

TEST(SingleInstance, ASecondLaunchWithoutAFolderSaysSoAndLeaves)
{
    test::TempProfile profile;
    test::RunningApp app;
    ASSERT_TRUE(app.start());
    const Launch second = launch({ QStringLiteral("--headless") });
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.contains(QStringLiteral("already running"))) << second.out.toStdString();
    EXPECT_TRUE(second.out.contains(QStringLiteral("process %1").arg(app.process().processId())));
    EXPECT_TRUE(test::waitFor([&] { return app.standardError().contains(QStringLiteral("Activate request")); }));

    // Help and version never ask the running instance.
    const Launch help = launch({ QStringLiteral("--help") });
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("--headless")));
    const Launch version = launch({ QStringLiteral("--version") });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith(QStringLiteral("vesk-ftpuploader ")));
}

TEST(SingleInstance, ARunningInstanceThatNeverAnswersIsGivenUpOn)
{
    test::TempProfile profile;
    // This test holds the lock itself, as a hung instance would, and opens no channel.
    ASSERT_TRUE(paths::makeFolder(paths::runtimeFolder(), 0700));
    const int lock = ::open(QFile::encodeName(paths::runtimeFolder() + QStringLiteral("/instance.lock")).constData(),
        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    QProcessEnvironment env = test::environmentWithoutDisplay();
    env.insert(QStringLiteral("VESK_TIME_SCALE"), QStringLiteral("0.05")); // half a second instead of ten
    const Launch second = launch({ QStringLiteral("--headless") }, env);
    ::close(lock);
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_TRUE(second.err.contains(QStringLiteral("does not answer"))) << second.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(test::messageLogPath())); // it never started for real
}

TEST(SingleInstance, TheLockHolderTakesOverALeftoverSocketAndAnOpenFolder)
{
    test::TempProfile profile;
    // What an instance killed with SIGKILL leaves: a socket file nobody listens on, in a folder
    // that someone has opened up meanwhile.
    const QString folder = paths::runtimeFolder();
    ASSERT_TRUE(QDir().mkpath(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(paths::commandSocketFile()).constData());
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ::close(stale);

    test::RunningApp app;
    ASSERT_TRUE(app.start());
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(test::runCtl({ QStringLiteral("paus") }).out, QStringLiteral("ACCEPTED\n"));
}
