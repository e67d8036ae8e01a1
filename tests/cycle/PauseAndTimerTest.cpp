// Pause and resume between pictures, the rescan timer, the folder watcher and the guard against
// pictures that are still being written, in process against the real substitute service.

#include "CycleHarness.h"
#include "FakeOutlets.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace vesk;
using test::CycleHarness;

TEST(Pause, DuringAnUploadTakesEffectWhenThePictureIsDone)
{
    // The outlets outlive the controller, as the windows do.
    test::FakeWindow window;
    test::FakeButton button { &window, 111 };
    test::FakeTextField status { &window };
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^a_slow=slow") });
    h.writeValidPreferences();
    h.launch();
    h.controller->ibPauseResumeButton = &button;
    h.controller->ibFTPCallbackStatusField = &status;
    h.picture(QStringLiteral("A/a_slow.JPG"));
    h.picture(QStringLiteral("A/b.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h.controller->gStartedUploadProcess.load(); }));

    h.controller->ibClickedOnHalt(&button);
    EXPECT_FALSE(button.enabled);
    EXPECT_EQ(status.text(), QStringLiteral("Pausing... Waiting for Current Item to Finish..."));
    ASSERT_TRUE(test::waitFor([&] { return button.title_ == QStringLiteral("Resume"); }));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_TRUE(button.enabled);
    EXPECT_TRUE(h.controller->gDidHaltProcess);
    EXPECT_TRUE(QFileInfo::exists(h.mirrorPath(QStringLiteral("A/a_slow.JPG")))); // its outcome was handled
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/b.JPG")))); // the next one waits
    EXPECT_EQ(status.text(), QStringLiteral("Process Paused..."));

    // A trigger while halted is refused by the scan.
    h.pass();
    ASSERT_TRUE(test::waitFor(
        [&] { return status.text() == QStringLiteral("Process Halted... Click Resume If You Wish To Continue..."); }));
    EXPECT_EQ(h.uploadCount(), 1);

    // Synchronize Again during a halted upload resumes too; here plain resume: title back, next picture goes.
    h.controller->ibClickedOnHalt(&button);
    EXPECT_EQ(button.title_, QStringLiteral("Pause"));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("A/b.JPG"))); }));
    EXPECT_FALSE(h.controller->gWantsToHaltProcess);
}

TEST(Pause, WhileIdleHaltsAtOnceAndForcedPauseNeedsAnUpload)
{
    test::FakeWindow window;
    test::FakeButton button { &window, 111 };
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    h.controller->ibPauseResumeButton = &button;

    h.controller->forceProcessToPause(); // nothing uploads: no flag changes
    EXPECT_FALSE(h.controller->gWantsToHaltProcess);

    h.controller->ibClickedOnHalt(nullptr);
    EXPECT_TRUE(h.controller->gDidHaltProcess);
    EXPECT_EQ(button.title_, QStringLiteral("Resume"));
    h.picture(QStringLiteral("A/IMG.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.uploadCount(), 0);

    // Two sheet-end resumes: the first resumes, the second finds nothing to do.
    h.controller->doHandlePauseResumeButtonAsResume(nullptr);
    h.controller->doHandlePauseResumeButtonAsResume(nullptr);
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("A/IMG.JPG"))); }));
    EXPECT_EQ(button.title_, QStringLiteral("Pause"));
}

TEST(RescanTimer, ArmsOnceWithTheStoredDelayOrTheFallback)
{
    test::FakeWindow window;
    test::FakeTextField status { &window };
    CycleHarness h;
    h.writeValidPreferences();
    h.launch(1.0);
    h.controller->ibFTPCallbackStatusField = &status;

    h.controller->doSetupRetriggerTimer(); // auto-synchronize off
    EXPECT_EQ(h.controller->getRepeatTimer(), nullptr);
    EXPECT_TRUE(h.console.contains(
        QStringLiteral("Done AppController => doSetupRetriggerTimer... [self getDoAutoSynchronize] = NO...")));
    EXPECT_TRUE(status.history.isEmpty());

    h.store->setObject(PrefKeys::sPrefAutoSynchronize, true);
    h.store->setObject(PrefKeys::sPrefSecondsBetweenScans, 90.5);
    h.controller->doSetupRetriggerTimer();
    QTimer *first = h.controller->getRepeatTimer();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->interval(), 90500);
    EXPECT_TRUE(status.text().startsWith(QStringLiteral("Next Auto-Synchronize Trigger Date = ")));
    h.controller->doSetupRetriggerTimer();
    QTimer *second = h.controller->getRepeatTimer();
    EXPECT_NE(second, first);
    int active = 0;
    for (QTimer *timer : h.controller->findChildren<QTimer *>())
        active += timer->isActive() && timer->interval() == 90500;
    EXPECT_EQ(active, 1);

    h.store->setObject(PrefKeys::sPrefSecondsBetweenScans, QStringLiteral("2.25 seconds")); // read as a number
    h.controller->doSetupRetriggerTimer();
    EXPECT_EQ(h.controller->getRepeatTimer()->interval(), 2250);

    // Firing during an upload starts nothing.
    h.controller->setStartedUploadProcess(true);
    h.controller->doAutoResynchronize();
    EXPECT_TRUE(h.console.contains(QStringLiteral("Inside doAutoResynchronize - a process already in session????")));
    h.controller->setStartedUploadProcess(false);
    h.store->setObject(PrefKeys::sPrefAutoSynchronize, false);
    h.controller->doAutoResynchronize();
    EXPECT_TRUE(h.console.contains(QStringLiteral("NO Need to autoResynchronize")));
}

TEST(RescanTimer, AnEmptyPassArmsAFractionalDelayThatStartsTheNextPass)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.store->setObject(PrefKeys::sPrefAutoSynchronize, true);
    h.store->setObject(PrefKeys::sPrefSecondsBetweenScans, 0.5);
    h.launch(1.0);
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    // Each empty pass arms the timer, which starts the next: several passes follow on their own.
    ASSERT_TRUE(
        test::waitFor([&] { return h.console.count(QStringLiteral("Okay to start upload process again...")) >= 2; }));
}

TEST(FolderWatcher, NewPicturesInNewFoldersStartAPassAtOnce)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h.console.contains(QStringLiteral("SET fWatcherRunLoop to:")); }));
    // No timer is armed (auto-synchronize is off): only the watcher can start these passes.
    h.picture(QStringLiteral("Later/Deeper/IMG_1.JPG"));
    ASSERT_TRUE(
        test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Later/Deeper/IMG_1.JPG"))); }));
    h.picture(QStringLiteral("Later/Deeper/IMG_2.JPG"));
    ASSERT_TRUE(
        test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Later/Deeper/IMG_2.JPG"))); }));
    // Later empty passes do not install a second watcher.
    ASSERT_TRUE(
        test::waitFor([&] { return h.console.contains(QStringLiteral("ALREADY inside doWatchFolderInThread")); }));
    EXPECT_EQ(h.console.count(QStringLiteral("SET fWatcherRunLoop to:")), 1);
}

TEST(WriterGuard, PicturesStillBeingWrittenWaitAndGoUpWholeOnce)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h.console.contains(QStringLiteral("SET fWatcherRunLoop to:")); }));

    // A writer that keeps the picture open and writes it in chunks, pausing in between.
    QDir().mkpath(h.sourcePath(QStringLiteral("Card")));
    const QString slowPath = h.sourcePath(QStringLiteral("Card/IMG_SLOW.JPG"));
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec 3>'%1'; head -c 100000 /dev/urandom >&3; read a; head -c 100000 /dev/urandom >&3; "
                           "read b; exec 3>&-")
                .arg(slowPath) });
    ASSERT_TRUE(writer.waitForStarted());
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(slowPath).size() == 100000; }));
    // Meanwhile another picture goes up: the unfinished one waits without holding up the queue.
    h.picture(QStringLiteral("Card/IMG_FAST.JPG"));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Card/IMG_FAST.JPG"))); }));
    writer.write("1\n");
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(slowPath).size() == 200000; }));
    EXPECT_TRUE(QFileInfo::exists(slowPath));
    writer.write("2\n");
    ASSERT_TRUE(writer.waitForFinished(10000));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Card/IMG_SLOW.JPG"))); }));
    QFile mirrored(h.mirrorPath(QStringLiteral("Card/IMG_SLOW.JPG")));
    ASSERT_TRUE(mirrored.open(QIODevice::ReadOnly));
    const QString digest
        = QString::fromLatin1(QCryptographicHash::hash(mirrored.readAll(), QCryptographicHash::Sha256).toHex());

    // A copy that keeps an old modification time ("cp -p") goes up once too.
    const QString outside = h.profile.path(QStringLiteral("old.jpg"));
    test::writeFile(outside, QByteArray(50000, 'p'));
    struct timespec old[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    ::utimensat(AT_FDCWD, QFile::encodeName(outside).constData(), old, 0);
    ASSERT_EQ(vesk::test::runProgram(QStringLiteral("cp"),
                  { QStringLiteral("-p"), outside, h.sourcePath(QStringLiteral("Card/OLD.JPG")) }),
        0);
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Card/OLD.JPG"))); }));
    ASSERT_TRUE(h.waitIdle());

    int slowSent = 0;
    for (const auto &upload : h.service.uploads()) {
        if (upload.filename == QLatin1String("IMG_SLOW.JPG")) {
            ++slowSent;
            EXPECT_EQ(upload.size, 200000);
            EXPECT_EQ(upload.sha256, digest);
        }
    }
    EXPECT_EQ(slowSent, 1);
    EXPECT_EQ(h.uploadCount(), 3);
}
