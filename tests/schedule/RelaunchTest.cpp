// Replacing the running process with a fresh one: the helper on its own, and the real program
// relaunching itself after a batch of pictures.

#include "FaultRun.h"

#include <gtest/gtest.h>

using namespace vesk;

TEST(Relaunch, AfterABatchTheProgramReplacesItselfOnItsOwnStreamsOrExitsForTheServiceManager)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start());
    run.addPicture(QStringLiteral("Table/IMG_1.JPG"));
    run.writePreferences({ { QStringLiteral("prefAutoQuitAndRelaunchPerIteration"), true } });
    // Under a service manager (VESK_RELAUNCH_EXIT) a relaunch is a clean exit with that status, and
    // nothing else starts: the manager starts the fresh instance.
    run.programEnvironment.insert(QStringLiteral("VESK_RELAUNCH_EXIT"), QStringLiteral("75"));
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled());
    ASSERT_TRUE(run.program.waitForExit(30000));
    EXPECT_EQ(run.program.process().exitCode(), 75);
    EXPECT_TRUE(run.runningInstances().isEmpty());

    // Otherwise it starts one successor itself, which writes where the first one did.
    run.programEnvironment.remove(QStringLiteral("VESK_RELAUNCH_EXIT"));
    run.addPicture(QStringLiteral("Table/IMG_2.JPG"));
    const QString metrics = run.profile.path(QStringLiteral("vesk.prom"));
    run.programArguments = { QStringLiteral("--metrics-textfile"), metrics };
    ASSERT_TRUE(run.startProgram());
    const qint64 firstPid = run.program.process().processId();
    ASSERT_TRUE(run.waitSettled());
    ASSERT_TRUE(run.program.waitForExit(30000));
    const QString lockFile = run.profile.path(QStringLiteral("runtime/Vesk-FTPUploader/instance.lock"));
    qint64 successor = 0;
    ASSERT_TRUE(test::waitFor(
        [&] {
            successor = test::readText(lockFile).trimmed().toLongLong();
            return successor > 0 && successor != firstPid && run.runningInstances() == QList<qint64> { successor };
        },
        std::chrono::seconds(30)))
        << "lock holder " << successor << ", first " << firstPid << "\n"
        << test::readText(test::messageLogPath()).toStdString();
    EXPECT_TRUE(test::waitFor([&] {
        return QString(run.programOutput() + run.programErrors())
            .contains(QStringLiteral("Vesk-FTPUploader[%1:").arg(successor));
    }));
    // The successor answers on the command channel (once it has opened it), and quits through it.
    test::CtlResult answer;
    ASSERT_TRUE(test::waitFor([&] {
        answer = test::runCtl({ QStringLiteral("getValue"), QStringLiteral("userLoginName") });
        return answer.exitCode == 0;
    }));
    EXPECT_EQ(answer.out, QStringLiteral("COMMAND SUCCESS\ngetValue\nuserLoginName\nphotographer\n"));
    // It keeps the options of the command line that are not settings.
    EXPECT_TRUE(
        test::readText(test::messageLogPath()).contains(QStringLiteral("Metrics are written to [%1]").arg(metrics)));
    // It sends where the first one did: the --endpoint of the first start, not the built-in one.
    EXPECT_TRUE(test::runCtl({ QStringLiteral("--json"), QStringLiteral("status") })
                    .out.contains(QStringLiteral("\"endpoint\":\"%1\"").arg(run.service.url())));
    EXPECT_EQ(test::runCtl({ QStringLiteral("quit") }).exitCode, 0);
    EXPECT_TRUE(test::waitFor([&] { return run.runningInstances().isEmpty(); }, std::chrono::seconds(20)));
    // One successor: none found it running and handed over.
    EXPECT_FALSE(QString(run.programOutput() + run.programErrors()).contains(QStringLiteral("is already running")));
    run.verify();
}
