// What an operator does to a running headless program, end to end: pause and resume it from a
// script, and fix a folder's permissions.

#include "FaultRun.h"

#include "ChannelTestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(OperatorActions, VeskCtlResumesAHaltedCycleAndCallsOffAPauseStillWaiting)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("_slow=slow") });
    run.stallTimeout = 30; // the slow answers keep the line silent for 5 s
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    for (const char *name : { "Card/A_slow.JPG", "Card/B.JPG", "Card/C_slow.JPG", "Card/D.JPG" })
        run.addPicture(QString::fromLatin1(name));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    const auto ctl = [](const char *command) { return test::runCtl({ QString::fromLatin1(command) }).out; };
    const auto slowAnswers = [&](int count) {
        return test::waitFor([&] { return run.service.log().count(QStringLiteral("-> slow")) >= count; }, 30s);
    };
    const auto output = [&](const char *text) {
        return test::waitFor([&] { return run.programOutput().contains(QLatin1String(text)); });
    };
    const QString accepted = QStringLiteral("ACCEPTED\n");

    // A pause asked for while A is on its way, and called off: the cycle goes on to B and C.
    ASSERT_TRUE(slowAnswers(1));
    EXPECT_EQ(ctl("paus"), accepted);
    EXPECT_EQ(ctl("resume"), accepted);
    ASSERT_TRUE(slowAnswers(2)) << run.inventory().toStdString();

    // Asked for while C is on its way, it halts the cycle after C; upnw does not end it, resume does.
    EXPECT_EQ(ctl("paus"), accepted);
    ASSERT_TRUE(output("[status] Process Paused..."));
    EXPECT_EQ(ctl("upnw"), accepted);
    ASSERT_TRUE(output("[status] Process Halted... Click Resume If You Wish To Continue..."));
    EXPECT_TRUE(QFileInfo::exists(run.source + QStringLiteral("/Card/D.JPG")));
    EXPECT_EQ(ctl("resume"), accepted);
    ASSERT_TRUE(run.waitSettled(30s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}

TEST(OperatorActions, AChmodThatOpensAFolderStartsAPass)
{
    test::FaultRun run;
    // The program runs without the capabilities that let root read anything: permissions bind it.
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("Locked/IMG_1.JPG"));
    const QByteArray locked = QFile::encodeName(run.source + QStringLiteral("/Locked"));
    ASSERT_EQ(::chmod(locked.constData(), 0), 0);
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    // The first pass cannot look into the folder; once it is over only the watcher starts passes.
    ASSERT_TRUE(test::waitFor([&] { return run.programErrors().contains(QStringLiteral("SET fWatcherRunLoop to:")); }));
    EXPECT_TRUE(run.programErrors().contains(QStringLiteral("Cannot open folder [Locked]")));
    ASSERT_EQ(::chmod(locked.constData(), 0755), 0);
    ASSERT_TRUE(run.waitSettled(20s)) << run.inventory().toStdString() << run.programErrors().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}
