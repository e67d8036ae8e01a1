// The upload cycle end to end, in process, against the real substitute service.

#include "CycleHarness.h"

#include "cycle/ItemBook.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace vesk;
using test::CycleHarness;

TEST(UploadCycle, PicturesInSubFoldersGoUpOneByOneAndLandInTheMirror)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.store->setObject(PrefKeys::sPrefKobFuseAction, QStringLiteral("upload.zentrova"));
    h.launch();
    h.picture(QStringLiteral("Root.JPG"));
    h.picture(QStringLiteral("Table7/.DS_Store"));
    const QByteArray first = h.picture(QStringLiteral("Table7/IMG_1.JPG"), 300000);
    const QByteArray second = h.picture(QStringLiteral("Hall/Stage/IMG_2.PNG"));

    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] {
        return QFileInfo::exists(h.mirrorPath(QStringLiteral("Table7/IMG_1.JPG")))
            && QFileInfo::exists(h.mirrorPath(QStringLiteral("Hall/Stage/IMG_2.PNG")));
    }));
    ASSERT_TRUE(test::waitFor(
        [&] { return h.console.contains(QStringLiteral("Scanning done - NO File found for uploading...")); }));
    ASSERT_TRUE(h.waitIdle());

    // Root files and hidden files stay; the mirror has the same tree.
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("Root.JPG"))));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("Table7/.DS_Store"))));
    EXPECT_FALSE(QFileInfo::exists(h.sourcePath(QStringLiteral("Table7/IMG_1.JPG"))));
    EXPECT_TRUE(h.console.contains(
        QStringLiteral("Root Item [%1] May NOT be Uploaded!!!!!").arg(h.sourcePath(QStringLiteral("Root.JPG")))));

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 2);
    // Folders in name order: Hall before Table7.
    EXPECT_EQ(uploads[0].filename, QStringLiteral("IMG_2.PNG"));
    EXPECT_EQ(uploads[1].filename, QStringLiteral("IMG_1.JPG"));
    EXPECT_EQ(uploads[0].sha256, test::sha256Of(second));
    EXPECT_EQ(uploads[1].sha256, test::sha256Of(first));
    const auto &record = uploads[1];
    EXPECT_EQ(record.field(QStringLiteral("username")), QStringLiteral("ann"));
    EXPECT_EQ(record.field(QStringLiteral("password")), QStringLiteral("secret"));
    EXPECT_EQ(record.field(QStringLiteral("event")), QStringLiteral("Wedding"));
    EXPECT_EQ(record.field(QStringLiteral("client")), QStringLiteral("IMG_1"));
    EXPECT_EQ(record.field(QStringLiteral("fuseaction")), QStringLiteral("upload.zentrova"));
    EXPECT_EQ(record.field(QStringLiteral("metadata")), QStringLiteral("From Zentrova 2010 Event."));
    EXPECT_EQ(record.field(QStringLiteral("Submit")), QStringLiteral("Upload"));
    EXPECT_FALSE(record.fields.contains(QStringLiteral("emails"))); // no annotation in these bytes
    // Without EXIF the capture time is the file's own date, in the controller's format.
    EXPECT_EQ(record.field(QStringLiteral("capturetime")).size(), 19);
    EXPECT_TRUE(QFileInfo(h.mirror + QStringLiteral("/Hall/Stage")).isDir());
}

TEST(UploadCycle, WarningsAndServerErrorsParkPicturesWithoutReplacingAnything)
{
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^warn=warning"), QStringLiteral("--rule"),
        QStringLiteral("^fail=http500") });
    h.writeValidPreferences();
    h.launch();
    h.picture(QStringLiteral("X/fail_1.JPG"));
    h.picture(QStringLiteral("X/ok_1.JPG"));
    h.picture(QStringLiteral("X/warn_1.JPG"));
    const QByteArray stuck = h.picture(QStringLiteral("X/warn_2.JPG"));
    // A picture of that name is already in the problem folder.
    test::writeFile(h.problemPath(QStringLiteral("X/warn_2.JPG")), "older picture");

    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor(
        [&] { return h.console.contains(QStringLiteral("Scanning done - NO File found for uploading...")); }));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_TRUE(QFileInfo::exists(h.problemPath(QStringLiteral("X/fail_1.JPG"))));
    EXPECT_TRUE(QFileInfo::exists(h.problemPath(QStringLiteral("X/warn_1.JPG"))));
    EXPECT_TRUE(QFileInfo::exists(h.mirrorPath(QStringLiteral("X/ok_1.JPG"))));
    EXPECT_EQ(test::readText(h.problemPath(QStringLiteral("X/warn_2.JPG"))), QStringLiteral("older picture"));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("X/warn_2.JPG"))));
    EXPECT_TRUE(h.console.contains(QStringLiteral("HTTP Status Code is [500]")));

    // Further passes do not send the stuck picture again and again.
    h.pass();
    ASSERT_TRUE(test::waitFor(
        [&] { return h.console.count(QStringLiteral("Scanning done - NO File found for uploading...")) >= 2; }));
    ASSERT_TRUE(h.waitIdle());
    int sent = 0;
    for (const auto &upload : h.service.uploads())
        sent += upload.filename == QLatin1String("warn_2.JPG");
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(h.uploadCount(), 4);
    // Once the problem folder has room, the next pass moves it without sending it.
    QFile::remove(h.problemPath(QStringLiteral("X/warn_2.JPG")));
    h.pass();
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.problemPath(QStringLiteral("X/warn_2.JPG"))); }));
    EXPECT_EQ(QFile(h.problemPath(QStringLiteral("X/warn_2.JPG"))).size(), stuck.size());
    EXPECT_EQ(h.uploadCount(), 4);
}

TEST(UploadCycle, AServiceErrorLeavesThePictureAndStandsStill)
{
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^bad=error") });
    h.writeValidPreferences();
    h.launch();
    h.picture(QStringLiteral("A/bad.JPG"));
    h.picture(QStringLiteral("A/good.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(h.service.waitForUploads(1));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.uploadCount(), 1);
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/bad.JPG"))));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/good.JPG"))));
    EXPECT_FALSE(h.controller->gStartedUploadProcess);
    EXPECT_FALSE(h.console.contains(QStringLiteral("Scanning done - NO File found for uploading...")));
}

TEST(UploadCycle, TransportFailuresKeepThePictureAndItIsTriedAgainOnItsOwn)
{
    CycleHarness h;
    h.writeValidPreferences();
    ASSERT_TRUE(h.service.stop()); // nobody listens: connections are refused
    h.launch();
    const QByteArray bytes = h.picture(QStringLiteral("A/IMG.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return h.console.contains(QStringLiteral("Error logged as:")); }));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/IMG.JPG"))));
    // The service comes back; the waiting picture goes without any trigger from outside.
    ASSERT_TRUE(h.service.start());
    ASSERT_TRUE(test::waitFor(
        [&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("A/IMG.JPG"))); }, std::chrono::seconds(30)));
    ASSERT_EQ(h.uploadCount(), 1);
    EXPECT_EQ(h.service.uploads()[0].sha256,
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
}

TEST(UploadCycle, APictureTheServiceDropsDoesNotHoldUpTheOnesBehindIt)
{
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^a_drop=drop") });
    h.writeValidPreferences();
    h.launch();
    h.picture(QStringLiteral("A/a_drop.JPG"));
    h.picture(QStringLiteral("A/b.JPG"));
    h.picture(QStringLiteral("B/c.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] {
        return QFileInfo::exists(h.mirrorPath(QStringLiteral("A/b.JPG")))
            && QFileInfo::exists(h.mirrorPath(QStringLiteral("B/c.JPG")));
    }));
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("A/a_drop.JPG"))));
}

TEST(UploadCycle, APictureThatKeepsFailingGoesAfterEveryPictureNeverTried)
{
    // A retry delay far shorter than one pass: only the order of the walk can keep the failing
    // picture from going again before the others.
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^a_drop=drop") });
    h.writeValidPreferences();
    h.launch(0.0001);
    const QByteArray failing = h.picture(QStringLiteral("A/a_drop.JPG"));
    h.picture(QStringLiteral("B/b.JPG"));
    h.picture(QStringLiteral("B/c.JPG"));
    h.picture(QStringLiteral("C/d.JPG"));
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("C/d.JPG"))); }));
    const auto uploads = h.service.uploads();
    ASSERT_GE(uploads.size(), 4);
    const QString failingSha
        = QString::fromLatin1(QCryptographicHash::hash(failing, QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(uploads[0].sha256, failingSha);
    for (int i = 1; i < 4; ++i)
        EXPECT_NE(uploads[i].sha256, failingSha) << "attempt " << i << " was the failing picture again";
    h.pass();
    ASSERT_TRUE(test::waitFor([&] { return h.uploadCount() > 4; })) << "it is still tried again";
}

TEST(UploadCycle, AMirrorThatCannotTakeThePictureDoesNotMakeItGoUpAgain)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    h.picture(QStringLiteral("Blocked/IMG.JPG"));
    h.picture(QStringLiteral("Open/IMG.JPG"));
    // A file stands where the mirror's sub-folder must go.
    test::writeFile(h.mirrorPath(QStringLiteral("Blocked")), "not a folder");
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Open/IMG.JPG"))); }));
    ASSERT_TRUE(h.waitIdle());
    for (int i = 0; i < 2; ++i) {
        h.pass();
        ASSERT_TRUE(test::waitFor([&] {
            return h.console.count(QStringLiteral("Scanning done - NO File found for uploading...")) >= i + 2;
        }));
        ASSERT_TRUE(h.waitIdle());
    }
    EXPECT_EQ(h.uploadCount(), 2);
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("Blocked/IMG.JPG"))));
    // With the obstacle gone, the picture moves without being sent again.
    QFile::remove(h.mirrorPath(QStringLiteral("Blocked")));
    h.pass();
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.mirrorPath(QStringLiteral("Blocked/IMG.JPG"))); }));
    EXPECT_EQ(h.uploadCount(), 2);
}

TEST(UploadCycle, ARejectedPictureThatCouldNotBeParkedMovesOnceTheProblemFolderHasRoom)
{
    CycleHarness h({ QStringLiteral("--rule"), QStringLiteral("^warn=warning") });
    h.writeValidPreferences();
    h.launch();
    const QByteArray rejected = h.picture(QStringLiteral("Blocked/warn.JPG"));
    // A file stands where the problem folder's sub-folder must go.
    test::writeFile(h.problemPath(QStringLiteral("Blocked")), "not a folder");
    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(h.service.waitForUploads(1));
    ASSERT_TRUE(h.waitIdle());
    EXPECT_TRUE(QFileInfo::exists(h.sourcePath(QStringLiteral("Blocked/warn.JPG"))));

    QFile::remove(h.problemPath(QStringLiteral("Blocked")));
    h.pass();
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(h.problemPath(QStringLiteral("Blocked/warn.JPG"))); }))
        << h.console.lines().join(QLatin1Char('\n')).right(3000).toStdString();
    EXPECT_EQ(QFile(h.problemPath(QStringLiteral("Blocked/warn.JPG"))).size(), rejected.size());
    EXPECT_EQ(h.uploadCount(), 1);
}

TEST(UploadCycle, OpeningRefusesDuringAnUploadAndDuplicatesAreHarmless)
{
    CycleHarness h;
    h.writeValidPreferences();
    h.launch();
    h.controller->setStartedUploadProcess(true);
    EXPECT_FALSE(h.controller->applicationOpenFile(h.source));
    EXPECT_FALSE(h.controller->gInsideOpenFile);
    h.controller->setStartedUploadProcess(false);
    h.controller->setIsInsideOpenFile(true);
    EXPECT_TRUE(h.controller->applicationOpenFile(h.source)); // another opening runs: ignored
    EXPECT_TRUE(h.log().contains(QStringLiteral("Another Instance is ALREADY RUNNING....")));
    h.controller->setIsInsideOpenFile(false);
    // An invalid setting refuses and starts nothing.
    h.store->setObject(PrefKeys::sPrefUserEnteredEventName, QString());
    EXPECT_FALSE(h.controller->applicationOpenFile(h.source));
    EXPECT_FALSE(h.controller->gInsideOpenFile);
}
