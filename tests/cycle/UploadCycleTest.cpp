// The upload cycle in process against the real substitute service: a service error, pause and
// resume, the rescan timer, the folder watcher and the guard against pictures still being written. The fault scenarios
// cover the outages, silent services, rejections and blocked folders with the real program.

#include "CycleHarness.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace vesk;
using test::CycleHarness;

namespace {
const QString kEmptyPass = QStringLiteral("Scanning done - NO File found for uploading...");
}

TEST(UploadCycle, AServiceErrorLeavesThePictureAndStandsStill)
{
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^bad=error") });
    h.writeValidPreferences();
    h.launch();
    h.picture(QStringLiteral("A/bad.JPG"));
    h.picture(QStringLiteral("A/good.JPG"));
    ASSERT_TRUE(h->applicationOpenFile(h.source));
    ASSERT_TRUE(h.service.waitForUploads(1));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.uploadCount(), 1);
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/bad.JPG"))));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/good.JPG"))));
    EXPECT_FALSE(h.console.contains(kEmptyPass));
}

TEST(Pause, DuringAnUploadTakesEffectWhenThePictureIsDone)
{
    // The outlets outlive the controller, as the windows do.
    test::FakeWindow window;
    test::FakeButton button { &window, 111 };
    test::FakeTextField status { &window };
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^a_slow=slow") });
    h.writeValidPreferences();
    h.launch();
    h->ibPauseResumeButton = &button;
    h->ibFTPCallbackStatusField = &status;
    h.picture(QStringLiteral("A/a_slow.JPG"));
    h.picture(QStringLiteral("A/b.JPG"));
    ASSERT_TRUE(h->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h->gStartedUploadProcess.load(); }));

    h->ibClickedOnHalt(&button);
    ASSERT_TRUE(test::waitFor([&] { return button.title_ == QStringLiteral("Resume"); }));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_TRUE(QFileInfo::exists(h.mirrorPath(QStringLiteral("A/a_slow.JPG")))); // its outcome was handled
    const CycleStatus::Snapshot shot = h->cycleStatus().snapshot(); // the window's bar went to the end
    EXPECT_GT(shot.pictureTotal, QFileInfo(h.mirrorPath(QStringLiteral("A/a_slow.JPG"))).size());
    EXPECT_EQ(shot.pictureSent, shot.pictureTotal);
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/b.JPG")))); // the next one waits
    // A trigger while halted is refused by the scan.
    h.pass();
    ASSERT_TRUE(test::waitFor(
        [&] { return status.text() == QStringLiteral("Process Halted... Click Resume If You Wish To Continue..."); }));
    EXPECT_EQ(h.uploadCount(), 1);

    h->ibClickedOnHalt(&button);
    EXPECT_EQ(button.title_, QStringLiteral("Pause"));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("A/b.JPG"))); }));
}

TEST(RescanTimer, ArmsOnceWithTheStoredDelayAndStartsThePassesThatFollow)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch(1.0);
    h->doSetupRetriggerTimer(); // auto-synchronize off
    EXPECT_EQ(h->getRepeatTimer(), nullptr);
    h.set(PrefKeys::sPrefAutoSynchronize, true);
    h.set(PrefKeys::sPrefSecondsBetweenScans, 90.5);
    h->doSetupRetriggerTimer();
    QTimer *first = h->getRepeatTimer();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->interval(), 90500);
    h->doSetupRetriggerTimer();
    const QList<QTimer *> timers = h->findChildren<QTimer *>(); // the timer is replaced, not added
    EXPECT_EQ(
        std::count_if(timers.begin(), timers.end(), [](QTimer *t) { return t->isActive() && t->interval() == 90500; }),
        1);
    // Each empty pass arms the timer, which starts the next: several passes follow on their own.
    h.set(PrefKeys::sPrefSecondsBetweenScans, 0.2);
    ASSERT_TRUE(h->applicationOpenFile(h.source));
    ASSERT_TRUE(
        test::waitFor([&] { return h.console.count(QStringLiteral("Okay to start upload process again...")) >= 2; }));
}

TEST(FolderWatcher, NewPicturesStartAPassAtOnceWholeAndOnlyOnceWritten)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    ASSERT_TRUE(h->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h.console.contains(QStringLiteral("SET fWatcherRunLoop to:")); }));
    // No timer is armed (auto-synchronize is off): only the watcher can start these passes.
    h.picture(QStringLiteral("Later/Deeper/IMG_1.JPG"));
    ASSERT_TRUE(
        test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Later/Deeper/IMG_1.JPG"))); }));

    // A writer that keeps a picture open and writes it in two parts: it waits, without holding up
    // the picture behind it, and goes up whole once the writer is done.
    QDir().mkpath(h.sourcePath(QStringLiteral("Card")));
    const QString slow = h.sourcePath(QStringLiteral("Card/IMG_SLOW.JPG"));
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec 3>'%1'; head -c 100000 /dev/urandom >&3; read a; head -c 100000 /dev/urandom >&3; "
                           "read b; exec 3>&-")
                .arg(slow) });
    ASSERT_TRUE(writer.waitForStarted());
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(slow).size() == 100000; }));
    h.picture(QStringLiteral("Card/IMG_FAST.JPG"));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Card/IMG_FAST.JPG"))); }));
    writer.write("1\n");
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(slow).size() == 200000; }));
    EXPECT_TRUE(QFileInfo::exists(slow));
    writer.write("2\n");
    ASSERT_TRUE(writer.waitForFinished(10000));
    const QString digest = test::sha256Of(test::readBytes(slow));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Card/IMG_SLOW.JPG"))); }));

    ASSERT_TRUE(h.waitIdle());
    int slowSent = 0;
    for (const auto &upload : h.service.uploads())
        slowSent += upload.filename == QLatin1String("IMG_SLOW.JPG");
    EXPECT_EQ(slowSent, 1);
    EXPECT_EQ(test::sha256Of(test::readBytes(h.mirrorPath(QStringLiteral("Card/IMG_SLOW.JPG")))), digest);
    EXPECT_EQ(h.uploadCount(), 3);
    // Later empty passes do not install a second watcher.
    EXPECT_EQ(h.console.count(QStringLiteral("SET fWatcherRunLoop to:")), 1);
}
