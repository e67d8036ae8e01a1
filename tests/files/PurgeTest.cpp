// The old-photo purge of the mirror folder and the empty-folder removal in its three modes.

#include "ControllerFixture.h"
#include "FilesTestSupport.h"
#include "StderrCapture.h"

#include "files/Purge.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace vesk;
using namespace vesk::test;

namespace {

constexpr qint64 kDay = 86400;

class Purge : public ::testing::Test {
protected:
    void SetUp() override
    {
        c.set(PrefKeys::sPrefLocalMasterMirrorSiteFolder, fMirror);
        c.set(PrefKeys::sPrefLocalSourceUploadFolder, fSource);
        c.set(PrefKeys::sPrefUseDoDeleteOldPhotos, true);
        c.set(PrefKeys::sPrefDaysOldBeforeDeleting, 30);
        QDir().mkpath(fMirror);
        QDir().mkpath(fSource);
    }
    // The purge thread as the launch starts it, with the utility panel on screen.
    bool runPurgeThread()
    {
        c->ibUtilWindow = &fWindow;
        c->ibUtilFunctionName = &fFunctionName;
        c->ibUtilStatus = &fStatus;
        c->ibUtilProgressBar = &fProgress;
        EXPECT_TRUE(c->detachThread("purge", [this] { c->doSetupDeleteOldPhotosThread(); }));
        return waitFor([this] { return c->liveWorkerCount() == 0; });
    }
    QString mirror(const QString &relative) const { return fMirror + QLatin1Char('/') + relative; }
    QString source(const QString &relative) const { return fSource + QLatin1Char('/') + relative; }

    TempProfile profile;
    const QString fSource = profile.path(QStringLiteral("source"));
    const QString fMirror = profile.path(QStringLiteral("mirror"));
    // The outlets outlive the controller, as the windows do.
    FakeWindow fWindow { false };
    FakeTextField fFunctionName { &fWindow };
    FakeTextField fStatus { &fWindow };
    FakeProgress fProgress { &fWindow };
    ControllerFixture c;
};

} // namespace

TEST_F(Purge, PicturesCreatedBeforeTheAgeLimitGo)
{
    const QDateTime now = QDateTime::currentDateTime();
    struct Case {
        const char *name;
        QDateTime created, modified;
        bool picture; // a real picture, or other bytes under that name
        bool goes;
    };
    const Case cases[] = {
        { "Roll1/created-31-days-ago.jpg", now.addSecs(-31 * kDay), now, true, true },
        { "Roll1/created-29-days-ago.jpg", now.addSecs(-29 * kDay), now.addSecs(-40 * kDay), true, false },
        { "Roll1/zero-date-old.jpg", zeroDate1904(), now.addSecs(-40 * kDay), true, true },
        { "Roll1/zero-date-young.jpg", zeroDate1904(), now.addSecs(-kDay), true, false },
        // Taken long ago but copied in today: the capture date does not count.
        { "Roll1/taken-in-2001.jpg", now, now, true, false },
        { "Roll1/notes.txt", now.addSecs(-400 * kDay), now, false, false },
        { "Roll1/fake.jpg", now.addSecs(-400 * kDay), now, false, false },
        { "Roll1/.hidden", now.addSecs(-400 * kDay), now, false, false },
    };
    FileDatesOverride dates;
    for (const Case &k : cases) {
        const QString path = mirror(QLatin1String(k.name));
        ASSERT_TRUE(k.picture ? makeJpeg(path, { { "Exif.Photo.DateTimeOriginal", "2001:05:05 10:00:00" } })
                              : writeFile(path, "not a picture"));
        dates.set(path, k.created, k.modified);
    }
    c->deleteOldOldPhotosAndFolderIfEmptyWorks();
    for (const Case &k : cases)
        EXPECT_NE(QFileInfo::exists(mirror(QLatin1String(k.name))), k.goes) << k.name;
    EXPECT_TRUE(QFileInfo(mirror(QStringLiteral("Roll1"))).isDir()); // folders are left to the removal
}

TEST_F(Purge, TheAgeLimitAndTheSwitch)
{
    const QString old = mirror(QStringLiteral("old.jpg"));
    const QString young = mirror(QStringLiteral("young.jpg"));
    ASSERT_TRUE(makeJpeg(old) && makeJpeg(young));
    FileDatesOverride dates;
    const QDateTime now = QDateTime::currentDateTime();
    dates.set(old, now.addSecs(-31 * kDay), now);
    dates.set(young, now.addSecs(-2 * kDay), now);
    // Switched off: nothing goes, not even the empty folders.
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("Empty"))));
    c.set(PrefKeys::sPrefUseDoDeleteOldPhotos, false);
    ASSERT_TRUE(runPurgeThread());
    c->deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_TRUE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("Empty"))));
    // No age limit stored: 30 days.
    c.set(PrefKeys::sPrefUseDoDeleteOldPhotos, true);
    c.store->removeObject(PrefKeys::sPrefDaysOldBeforeDeleting);
    c->deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(young));
    // One day: the young one goes too, and the thread also takes the empty folder and closes its panel.
    c.set(PrefKeys::sPrefDaysOldBeforeDeleting, 1);
    fWindow.visible = true;
    ASSERT_TRUE(runPurgeThread());
    EXPECT_FALSE(QFileInfo::exists(young));
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("Empty"))));
    EXPECT_TRUE(QFileInfo::exists(fMirror)); // the root itself is never judged
    EXPECT_TRUE(waitFor([this] { return fWindow.closeCount.load() == 1; }));
}

TEST_F(Purge, EmptyFoldersGoOneLevelAtATimeAndALoneDSStoreCountsAsEmpty)
{
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("A/B/C"))));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("OnlyMeta/.DS_Store")), "meta"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaAndMore/.DS_Store")), "meta"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaAndMore/x.jpg")), "x"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaFolder/.DS_Store/keep.jpg")), "k"));
    c->deleteFolderIfEmpty(fMirror, false);
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("A/B/C"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("A/B"))));
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("OnlyMeta"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("MetaAndMore/x.jpg"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("MetaFolder/.DS_Store/keep.jpg"))));
    c->deleteFolderIfEmpty(fMirror, false);
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("A/B"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("A"))));
}

TEST_F(Purge, AtQuitTheFirstLevelStaysAndAtStartOnlyOldFoldersGo)
{
    ASSERT_TRUE(QDir().mkpath(source(QStringLiteral("Event/Roll1"))));
    ASSERT_TRUE(QDir().mkpath(source(QStringLiteral("Lone"))));
    c.set(PrefKeys::sPrefDeleteEmptyFtpFolders, true);
    c->ibDeleteLocalFtpFolderIfEmpty();
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Event/Roll1")))); // however young
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Event"))));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Lone"))));

    const QDateTime now = QDateTime::currentDateTime();
    for (const char *name : { "Old", "New", "Event/Old", "Event/New" })
        ASSERT_TRUE(QDir().mkpath(source(QLatin1String(name))));
    for (const char *name : { "Old", "Event/Old" })
        ASSERT_TRUE(setFileTimes(source(QLatin1String(name)), now.addSecs(-4 * kDay)));
    for (const char *name : { "New", "Event/New" })
        ASSERT_TRUE(setFileTimes(source(QLatin1String(name)), now.addSecs(-2 * kDay)));
    c->deleteOLDFolderIfEmpty(fSource, false, 3);
    for (const char *name : { "Old", "Event/Old" })
        EXPECT_FALSE(QFileInfo::exists(source(QLatin1String(name)))) << name;
    for (const char *name : { "New", "Event/New" })
        EXPECT_TRUE(QFileInfo::exists(source(QLatin1String(name)))) << name;
}

TEST_F(Purge, LinksNeitherTrapTheWalkNorLeadItOutside)
{
    const QString outside = profile.path(QStringLiteral("outside"));
    ASSERT_TRUE(makeJpeg(outside + QStringLiteral("/old.jpg")));
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("A"))));
    for (const auto &[name, target] :
        { std::pair { "A/up", QStringLiteral("..") }, std::pair { "A/self", QStringLiteral(".") },
            std::pair { "A/out", outside }, std::pair { "A/dangling", QStringLiteral("nothing-here") } })
        ASSERT_TRUE(QFile::link(target, mirror(QLatin1String(name))));
    c.set(PrefKeys::sPrefDaysOldBeforeDeleting, 0);
    FileDatesOverride dates;
    const QDateTime longAgo = QDateTime::currentDateTime().addSecs(-400 * kDay);
    dates.set(QString(), longAgo, longAgo);
    StderrCapture errors;
    ASSERT_TRUE(runPurgeThread());
    c->deleteFolderIfEmpty(fMirror, true);
    for (const char *name : { "A/up", "A/self", "A/out" })
        EXPECT_TRUE(QFileInfo(mirror(QLatin1String(name))).isSymLink()) << name;
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("/old.jpg")));
    EXPECT_TRUE(errors.contains(QStringLiteral("testDirectory=> curItem does NOT exist: A/dangling\n")));
}
