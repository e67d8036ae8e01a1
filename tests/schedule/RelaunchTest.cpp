// Replacing the running process with a fresh one: the helper on its own, and the real program
// relaunching itself after a batch of pictures.

#include "ServiceProcess.h"
#include "TestSupport.h"

#include "prefs/PropertyList.h"
#include "schedule/Relaunch.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/types.h>

using namespace vesk;

namespace {
QString tool(const char *name)
{
    return test::buildBinFolder() + QLatin1Char('/') + QLatin1String(name);
}

// The uploader processes that run with this test's private runtime folder.
QList<qint64> instancesOfThisProfile()
{
    QList<qint64> found;
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    for (const RunningApplication &app : runningApplications()) {
        QFile environment(QStringLiteral("/proc/%1/environ").arg(app.processIdentifier));
        if (environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(runtime))
            found << app.processIdentifier;
    }
    return found;
}
} // namespace

TEST(Relaunch, OwnProgramIsRecognisedByNameWithoutCaseOrExtension)
{
    EXPECT_TRUE(isOwnApplicationPath(QStringLiteral("/usr/bin/vesk-ftpuploader")));
    EXPECT_TRUE(isOwnApplicationPath(QStringLiteral("/Applications/VESK-FTPUPLOADER.app")));
    EXPECT_FALSE(isOwnApplicationPath(QStringLiteral("/Applications/Vesk-FTPUploader 2.app")));
    EXPECT_FALSE(isOwnApplicationPath(QStringLiteral("/usr/bin/vesk-ctl")));
}

TEST(Relaunch, HelperWaitsForTheProcessThenStartsTheQuotedProgram)
{
    test::TempProfile profile;
    const QString marker = profile.path(QStringLiteral("started"));
    const QString program = profile.path(QStringLiteral("program with blanks.sh"));
    test::writeFile(program, QStringLiteral("#!/bin/sh\necho $$ > '%1'\n").arg(marker).toUtf8());
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QProcess sleeper;

    sleeper.start(QStringLiteral("sleep"), { QStringLiteral("60") });
    ASSERT_TRUE(sleeper.waitForStarted());
    QProcess helper;
    helper.start(
        tool("vesk-relaunch"), { QLatin1Char('"') + program + QLatin1Char('"'), QString::number(sleeper.processId()) });
    ASSERT_TRUE(helper.waitForStarted());
    // Nothing starts while the process lives.
    EXPECT_FALSE(helper.waitForFinished(300));
    EXPECT_FALSE(QFile::exists(marker));
    sleeper.kill();
    sleeper.waitForFinished();
    ASSERT_TRUE(helper.waitForFinished(10000));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_TRUE(test::waitFor([&] { return QFile::exists(marker); }));

    helper.start(tool("vesk-relaunch"), { program });
    ASSERT_TRUE(helper.waitForFinished(10000));
    EXPECT_EQ(helper.exitCode(), 2);
}

TEST(Relaunch, AfterABatchTheProgramReplacesItselfOnItsOwnStreamsOrExitsForTheServiceManager)
{
    test::TempProfile profile;
    // Relaunched instances are detached from the test: end whatever is left, however the test ends.
    struct Reaper {
        ~Reaper()
        {
            for (qint64 pid : instancesOfThisProfile())
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    } reaper;
    test::ServiceProcess service;
    ASSERT_TRUE(service.start());
    const QString source = profile.path(QStringLiteral("source"));
    const QString mirror = profile.path(QStringLiteral("mirror"));
    QDir().mkpath(mirror);
    test::writeFile(source + QStringLiteral("/Table/IMG_1.JPG"), "picture");
    QDir().mkpath(profile.path(QStringLiteral("config/Vesk-FTPUploader")));
    ASSERT_TRUE(plist::writeXmlFileAtomically(profile.path(QStringLiteral("config/Vesk-FTPUploader/preferences.plist")),
        QVariantMap { { QStringLiteral("prefLocalSourceUploadFolder"), source },
            { QStringLiteral("prefLocalMasterMirrorSiteFolder"), mirror },
            { QStringLiteral("userLoginName"), QStringLiteral("a") },
            { QStringLiteral("userLoginPassword"), QStringLiteral("b") },
            { QStringLiteral("userEnteredEventName"), QStringLiteral("E") },
            { QStringLiteral("prefAutoSynchronize"), false },
            { QStringLiteral("prefAutoQuitAndRelaunchPerIteration"), true } },
        0600));

    const QStringList arguments { QStringLiteral("--headless"), QStringLiteral("--endpoint"), service.url(), source };

    // Under a service manager (VESK_RELAUNCH_EXIT) a relaunch is a clean exit with that status, and
    // nothing else starts: the manager starts the fresh instance.
    {
        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VESK_RELAUNCH_EXIT"), QStringLiteral("75"));
        first.setProcessEnvironment(environment);
        first.start(tool("vesk-ftpuploader"), arguments);
        ASSERT_TRUE(service.waitForUploads(1));
        ASSERT_TRUE(first.waitForFinished(30000));
        EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(first.exitCode(), 75);
        EXPECT_TRUE(instancesOfThisProfile().isEmpty());
    }

    // Otherwise it starts the successor itself, twice over (the helper and the shell); the
    // successor and the start that hands over to it write into the pipe the first one was given.
    test::writeFile(source + QStringLiteral("/Table/IMG_2.JPG"), "picture 2");
    QProcess first;
    QProcess reader;
    first.setProcessChannelMode(QProcess::MergedChannels);
    first.setStandardOutputProcess(&reader);
    reader.setStandardOutputFile(profile.path(QStringLiteral("pipe.txt")));
    reader.start(QStringLiteral("cat"), {});
    first.start(tool("vesk-ftpuploader"), arguments);
    ASSERT_TRUE(first.waitForStarted());
    const qint64 firstPid = first.processId();
    ASSERT_TRUE(service.waitForUploads(2));
    // The first instance ends by itself and a new one takes over.
    ASSERT_TRUE(first.waitForFinished(30000));
    // The instance that holds the lock is the successor; the other start hands over and ends.
    const QString lockFile = profile.path(QStringLiteral("runtime/Vesk-FTPUploader/instance.lock"));
    qint64 successor = 0;
    ASSERT_TRUE(test::waitFor(
        [&] {
            const qint64 holder = test::readText(lockFile).trimmed().toLongLong();
            if (holder <= 0 || holder == firstPid || instancesOfThisProfile() != QList<qint64> { holder })
                return false;
            successor = holder;
            return true;
        },
        std::chrono::seconds(30)))
        << "lock holder " << test::readText(lockFile).trimmed().toStdString() << ", first " << firstPid
        << ", instances "
        << QStringList([] {
               QStringList pids;
               for (qint64 pid : instancesOfThisProfile())
                   pids << QString::number(pid);
               return pids;
           }())
               .join(QLatin1Char(' '))
               .toStdString()
        << "\nmessage log:\n"
        << test::readText(profile.path(QStringLiteral("state/Vesk-FTPUploader/Vesk-FTPUploaderLog.txt"))).toStdString();
    EXPECT_TRUE(test::waitFor([&] {
        const QString piped = test::readText(profile.path(QStringLiteral("pipe.txt")));
        return piped.contains(QStringLiteral("Vesk-FTPUploader[%1:").arg(successor))
            && piped.contains(QStringLiteral("is already running"));
    })) << test::readText(profile.path(QStringLiteral("pipe.txt"))).right(2000).toStdString();
    // The successor answers on the command channel (once it has opened it), and quits through it.
    QProcess ctl;
    ASSERT_TRUE(test::waitFor([&] {
        ctl.start(tool("vesk-ctl"), { QStringLiteral("getValue"), QStringLiteral("userLoginName") });
        return ctl.waitForFinished(15000) && ctl.exitCode() == 0;
    }));
    EXPECT_EQ(instancesOfThisProfile(), QList<qint64> { successor });
    EXPECT_EQ(ctl.readAllStandardOutput(), QByteArray("COMMAND SUCCESS\ngetValue\nuserLoginName\na\n"));
    ctl.start(tool("vesk-ctl"), { QStringLiteral("quit") });
    ASSERT_TRUE(ctl.waitForFinished(15000));
    EXPECT_TRUE(test::waitFor([&] { return instancesOfThisProfile().isEmpty(); }, std::chrono::seconds(20)));
}
