// The old-photo purge of the mirror folder, the empty-folder removal in its three modes, the purge
// thread with the utility panel, and the walk they share.

#include "files/Purge.h"
#include "FilesTestSupport.h"
#include "app/AppController.h"
#include "diag/MessageLog.h"
#include "files/CaptureDates.h"
#include "files/TreeWalk.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace vesk;
using namespace vesk::test;

namespace {

constexpr qint64 kDay = 86400;

// Creation dates cannot be set on Linux: the purge sees the dates given here for the named files and
// the real ones for every other file.
class FileDatesOverride {
public:
    FileDatesOverride()
    {
        setFileDatesSourceForTesting([this](const QString &path) -> std::optional<FileDates> {
            const auto it = fDates.find(path);
            if (it == fDates.end())
                return fileDatesAtPath(path);
            if (!QFileInfo::exists(path))
                return std::nullopt;
            FileDates dates;
            dates.creation = it->second.first;
            dates.modification = it->second.second;
            return dates;
        });
    }
    ~FileDatesOverride() { setFileDatesSourceForTesting({}); }
    void set(const QString &path, const QDateTime &creation, const QDateTime &modification)
    {
        fDates[path] = { creation, modification };
    }

private:
    std::map<QString, std::pair<QDateTime, QDateTime>> fDates;
};

class Purge : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fDir.isValid());
        fSource = fDir.path() + QStringLiteral("/source");
        fMirror = fDir.path() + QStringLiteral("/mirror");
        ASSERT_TRUE(QDir().mkpath(fSource));
        ASSERT_TRUE(QDir().mkpath(fMirror));
        MessageLog::InitLog(fDir.path() + QStringLiteral("/log.txt"));
        AppOptions options;
        options.store = std::make_shared<PreferenceStore>(fDir.path() + QStringLiteral("/prefs.plist"));
        fController = std::make_unique<AppController>(std::move(options));
        PreferenceStore &store = fController->store();
        store.setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, fMirror);
        store.setObject(PrefKeys::sPrefLocalSourceUploadFolder, fSource);
        store.setObject(PrefKeys::sPrefUseDoDeleteOldPhotos, true);
        store.setObject(PrefKeys::sPrefDaysOldBeforeDeleting, 30);
    }
    void TearDown() override
    {
        fController.reset();
        MessageLog::CloseLog();
    }
    void installUtilityPanel()
    {
        fController->ibUtilWindow = &fWindow;
        fController->ibUtilFunctionName = &fFunctionName;
        fController->ibUtilStatus = &fStatus;
        fController->ibUtilProgressBar = &fProgress;
    }
    QString mirror(const QString &relative) const { return fMirror + QLatin1Char('/') + relative; }
    QString source(const QString &relative) const { return fSource + QLatin1Char('/') + relative; }
    QString messageLog() const { return readText(fDir.path() + QStringLiteral("/log.txt")); }
    bool runPurgeThread()
    {
        EXPECT_TRUE(fController->detachThread("purge", [this] { fController->doSetupDeleteOldPhotosThread(); }));
        return waitFor([this] { return fController->liveWorkerCount() == 0; });
    }
    QString picture(const QString &path)
    {
        EXPECT_TRUE(makeJpeg(path));
        return path;
    }

    QTemporaryDir fDir;
    QString fSource, fMirror;
    std::unique_ptr<AppController> fController;
    FakeWindow fWindow;
    FakeTextField fFunctionName { &fWindow };
    FakeTextField fStatus { &fWindow };
    FakeProgress fProgress { &fWindow };
    ConsoleRecorder fConsole;
};

} // namespace

// ---- Old-photo purge -----------------------------------------------------------------------------

TEST_F(Purge, PicturesOlderThanTheAgeLimitGo)
{
    const QDateTime now = QDateTime::currentDateTime();
    FileDatesOverride dates;
    const QString old = picture(mirror(QStringLiteral("Roll1/old.jpg")));
    const QString young = picture(mirror(QStringLiteral("Roll1/young.jpg")));
    const QString zeroOld = picture(mirror(QStringLiteral("Roll1/zero-old.jpg")));
    const QString zeroYoung = picture(mirror(QStringLiteral("Roll1/zero-young.jpg")));
    // Uploaded today, but created 31 days ago: the creation date decides.
    dates.set(old, now.addSecs(-31 * kDay), now);
    dates.set(young, now.addSecs(-29 * kDay), now.addSecs(-40 * kDay));
    dates.set(zeroOld, zeroDate1904(), now.addSecs(-40 * kDay));
    dates.set(zeroYoung, zeroDate1904(), now.addSecs(-kDay));
    fWindow.fVisible = true;
    installUtilityPanel();

    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();

    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(young));
    EXPECT_FALSE(QFileInfo::exists(zeroOld));
    EXPECT_TRUE(QFileInfo::exists(zeroYoung));
    EXPECT_TRUE(QFileInfo(mirror(QStringLiteral("Roll1"))).isDir()); // folders are left to the removal
    EXPECT_TRUE(fStatus.texts().contains(QStringLiteral("Deleting: Roll1/old.jpg")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("Looking For Images that are EARLIER than: [")));
}

TEST_F(Purge, OtherFilesAreNeverDeleted)
{
    const QDateTime now = QDateTime::currentDateTime();
    FileDatesOverride dates;
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("Roll1/notes.txt")), "not a picture"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("Roll1/.hidden")), "not a picture"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("Roll1/fake.jpg")), "not a picture either"));
    for (const char *name : { "Roll1/notes.txt", "Roll1/.hidden", "Roll1/fake.jpg" })
        dates.set(mirror(QLatin1String(name)), now.addSecs(-400 * kDay), now.addSecs(-400 * kDay));
    fWindow.fVisible = true;
    installUtilityPanel();

    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();

    for (const char *name : { "Roll1/notes.txt", "Roll1/.hidden", "Roll1/fake.jpg" })
        EXPECT_TRUE(QFileInfo::exists(mirror(QLatin1String(name)))) << name;
    EXPECT_TRUE(fConsole.contains(QStringLiteral("itemName is NOT an Image File: [Roll1/notes.txt]\n")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("itemName is NOT an Image File: [Roll1/.hidden]\n")));
    const QStringList status = fStatus.texts();
    EXPECT_TRUE(status.contains(QStringLiteral("Skipping: Roll1/notes.txt")));
    EXPECT_TRUE(status.contains(QStringLiteral("Skipping: Roll1/fake.jpg")));
    EXPECT_FALSE(status.contains(QStringLiteral("Skipping: Roll1/.hidden")));
}

TEST_F(Purge, MissingAgeLimitMeansThirtyDays)
{
    fController->store().removeObject(PrefKeys::sPrefDaysOldBeforeDeleting);
    const QDateTime now = QDateTime::currentDateTime();
    FileDatesOverride dates;
    const QString old = picture(mirror(QStringLiteral("old.jpg")));
    const QString young = picture(mirror(QStringLiteral("young.jpg")));
    dates.set(old, now.addSecs(-31 * kDay), now);
    dates.set(young, now.addSecs(-29 * kDay), now);

    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(young));
    EXPECT_TRUE(fConsole.contains(
        QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned nil???")));
    EXPECT_TRUE(fConsole.contains(
        QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty => Reverting to Default value of [30] days...")));
}

TEST_F(Purge, SwitchedOffDeletesNothing)
{
    fController->store().setObject(PrefKeys::sPrefUseDoDeleteOldPhotos, false);
    fController->store().setObject(PrefKeys::sPrefDaysOldBeforeDeleting, 0);
    const QString a = picture(mirror(QStringLiteral("a.jpg")));
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("Empty"))));

    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_TRUE(fConsole.contains(QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty -> preference is turned off...")));
    ASSERT_TRUE(runPurgeThread());
    EXPECT_TRUE(QFileInfo::exists(a));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("Empty"))));
}

TEST_F(Purge, MirrorThatIsMissingOrNoFolderIsReported)
{
    StandardErrorCapture errors;
    const QString missing = fDir.path() + QStringLiteral("/nowhere");
    fController->store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, missing);
    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();
    const QString missingLine = QStringLiteral("testDirectory=> source item FOLDER does NOT exist: %1\n").arg(missing);
    EXPECT_TRUE(errors.contains(missingLine));
    EXPECT_TRUE(messageLog().contains(missingLine));

    const QString file = fDir.path() + QStringLiteral("/file");
    ASSERT_TRUE(writeFile(file, "x"));
    fController->store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, file);
    fController->deleteOldOldPhotosAndFolderIfEmptyWorks();
    const QString fileLine = QStringLiteral("testDirectory=> source item is NOT a Folder: %1\n").arg(file);
    EXPECT_TRUE(errors.contains(fileLine));
    EXPECT_TRUE(messageLog().contains(fileLine));
}

// ---- The purge thread ----------------------------------------------------------------------------

TEST_F(Purge, EmptyFoldersGoOneLevelPerLaunch)
{
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("A/B/C"))));
    installUtilityPanel();

    ASSERT_TRUE(runPurgeThread());
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("A/B/C"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("A/B"))));
    ASSERT_TRUE(runPurgeThread());
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("A/B"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("A"))));
    EXPECT_TRUE(QFileInfo::exists(fMirror)); // the root itself is never judged
}

TEST_F(Purge, PurgeThreadShowsItsWorkInTheUtilityPanel)
{
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("Roll1/Empty"))));
    installUtilityPanel();

    ASSERT_TRUE(runPurgeThread());
    ASSERT_TRUE(waitFor([this] { return fWindow.fCloseCount.load() == 1; }));
    const QStringList functions = fFunctionName.texts();
    EXPECT_TRUE(functions.contains(QStringLiteral("Deleting 30-DayOld Items From Folder: [%1]:").arg(fMirror)));
    EXPECT_TRUE(functions.contains(QStringLiteral("Now Deleting All Empty Folders inside Mirror Folder...")));
    EXPECT_TRUE(fStatus.texts().contains(QStringLiteral("Roll1/Empty")));
    EXPECT_EQ(fWindow.fOrderBackCount.load(), 1);
    EXPECT_FALSE(fWindow.isVisible());
    EXPECT_EQ(fProgress.fStarts.load(), 1);
    EXPECT_FALSE(fProgress.fAnimating.load());
    EXPECT_TRUE(fConsole.contains(
        QStringLiteral("Inside AppController => doSetupDeleteOldPhotosThread...  ibUtilwindow EXISTS\n")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("doSetupDeleteOldPhotosThread - Started...")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("doSetupDeleteOldPhotosThread - Done...")));
}

// ---- Empty-folder removal ------------------------------------------------------------------------

TEST_F(Purge, LoneDSStoreCountsAsEmpty)
{
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("OnlyMeta/.DS_Store")), "meta"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaAndMore/.DS_Store")), "meta"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaAndMore/x.jpg")), "x"));
    ASSERT_TRUE(writeFile(mirror(QStringLiteral("MetaFolder/.DS_Store/keep.jpg")), "k"));
    StandardErrorCapture errors;

    fController->deleteFolderIfEmpty(fMirror, false);
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("OnlyMeta"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("MetaAndMore/x.jpg"))));
    EXPECT_TRUE(QFileInfo::exists(mirror(QStringLiteral("MetaFolder/.DS_Store/keep.jpg"))));
    EXPECT_TRUE(errors.contains(QStringLiteral(".DS_Store is the ONLY item in this folder\n")));
    EXPECT_TRUE(errors.contains(
        QStringLiteral("\n===>  DELETING an EMPTY Directory: %1\n\n").arg(mirror(QStringLiteral("OnlyMeta")))));
}

TEST(EmptyFolder, WhatCountsAsEmpty)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/f");
    EXPECT_FALSE(isDirectoryEmpty(path));
    ASSERT_TRUE(QDir().mkpath(path));
    EXPECT_TRUE(isDirectoryEmpty(path));
    ASSERT_TRUE(writeFile(path + QStringLiteral("/.DS_Store"), "m"));
    EXPECT_TRUE(isDirectoryEmpty(path));
    ASSERT_TRUE(writeFile(path + QStringLiteral("/.other"), "o"));
    EXPECT_FALSE(isDirectoryEmpty(path));
    ASSERT_TRUE(QFile::remove(path + QStringLiteral("/.DS_Store")));
    EXPECT_FALSE(isDirectoryEmpty(path));
}

TEST_F(Purge, QuitKeepsTheFirstLevel)
{
    fController->store().setObject(PrefKeys::sPrefDeleteEmptyFtpFolders, true);
    ASSERT_TRUE(QDir().mkpath(source(QStringLiteral("Event/Roll1"))));
    ASSERT_TRUE(QDir().mkpath(source(QStringLiteral("Lone"))));
    installUtilityPanel();

    fController->ibDeleteLocalFtpFolderIfEmpty();
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Event/Roll1")))); // however young
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Event"))));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Lone"))));
    EXPECT_TRUE(fConsole.contains(
        QStringLiteral("\nCANNOT DELETE same Root Path of [%1]\n").arg(source(QStringLiteral("Lone")))));
    EXPECT_TRUE(fConsole.contains(
        QStringLiteral("\nOKAY to delete  Path of [%1]\n").arg(source(QStringLiteral("Event/Roll1")))));
    EXPECT_TRUE(fFunctionName.texts().contains(QStringLiteral("Deleting Empty Folders in the Source Upload Folder:")));
    EXPECT_TRUE(fProgress.fAnimating.load());
}

TEST_F(Purge, QuitWithoutSourceFolderDoesNothing)
{
    fController->store().setObject(
        PrefKeys::sPrefLocalSourceUploadFolder, QString(fDir.path() + QStringLiteral("/gone")));
    fController->ibDeleteLocalFtpFolderIfEmpty();
    EXPECT_FALSE(fConsole.contains(QStringLiteral("Doing Window Test")));
}

TEST_F(Purge, TrailingSlashRootLeavesTheFirstLevelUnprotected)
{
    ASSERT_TRUE(QDir().mkpath(source(QStringLiteral("Lone"))));
    fController->deleteFolderIfEmpty(fSource + QLatin1Char('/'), true);
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Lone"))));
}

TEST_F(Purge, StartUpCleanUpTakesFoldersOlderThanThreeDays)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const char *name : { "Old", "New", "Event/Old", "Event/New" })
        ASSERT_TRUE(QDir().mkpath(source(QLatin1String(name))));
    ASSERT_TRUE(setFileTimes(source(QStringLiteral("Old")), now.addSecs(-4 * kDay)));
    ASSERT_TRUE(setFileTimes(source(QStringLiteral("New")), now.addSecs(-2 * kDay)));
    ASSERT_TRUE(setFileTimes(source(QStringLiteral("Event/Old")), now.addSecs(-4 * kDay)));
    ASSERT_TRUE(setFileTimes(source(QStringLiteral("Event/New")), now.addSecs(-2 * kDay)));
    fWindow.fVisible = true;
    installUtilityPanel();

    fController->deleteOLDFolderIfEmpty(fSource, false, 3);
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Old"))));
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Event/Old"))));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("New"))));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Event/New"))));
    const QStringList status = fStatus.texts();
    EXPECT_TRUE(status.contains(QStringLiteral("ITEM IS OLDDDDDDDD [%1]").arg(source(QStringLiteral("Old")))));
    EXPECT_TRUE(status.contains(QStringLiteral("Will NOT Delete [%1]").arg(source(QStringLiteral("New")))));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("SHOULD BE DELETING THIS OLD ITEM??????")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("SHOULD NOT Delete this NEWER ITEm??????")));
}

TEST_F(Purge, InvalidRootsAreReported)
{
    fController->deleteFolderIfEmpty(fDir.path() + QStringLiteral("/gone"), false);
    fController->deleteFolderIfEmpty(std::nullopt, false);
    const QString file = fDir.path() + QStringLiteral("/file");
    ASSERT_TRUE(writeFile(file, "x"));
    fController->deleteFolderIfEmpty(file, false);
    const QString log = messageLog();
    EXPECT_TRUE(
        log.contains(QStringLiteral("Inside AppController->[deleteFolderIfEmpty] ==> passed Invalid SourcePath: [%1]")
                         .arg(fDir.path() + QStringLiteral("/gone"))));
    EXPECT_TRUE(log.contains(
        QStringLiteral("Inside AppController->[deleteFolderIfEmpty] ==> passed Invalid SourcePath: [(null)]")));
    EXPECT_TRUE(log.contains(
        QStringLiteral("Inside AppController->[deleteFolderIfEmpty] ==> sourcePath is NOT a Directory: [%1]")
            .arg(file)));
}

TEST_F(Purge, FolderThatVanishesDuringTheWalkIsReported)
{
    for (const char *name : { "a", "b", "c" })
        ASSERT_TRUE(QDir().mkpath(mirror(QLatin1String(name))));
    // While "a" is being removed, something else takes "b" away.
    fStatus.fOnSetText = [this](const QString &text) {
        if (text == QStringLiteral("a"))
            QDir(mirror(QStringLiteral("b"))).removeRecursively();
    };
    fWindow.fVisible = true;
    installUtilityPanel();
    StandardErrorCapture errors;

    fController->deleteFolderIfEmpty(fMirror, false);
    EXPECT_FALSE(QFileInfo::exists(mirror(QStringLiteral("c"))));
    EXPECT_TRUE(errors.contains(QStringLiteral("testDirectory=> curItem does NOT exist: b\n")));
    EXPECT_TRUE(messageLog().contains(QStringLiteral("testDirectory=> curItem does NOT exist: b\n")));
}

TEST_F(Purge, LinkLoopsNeitherTrapNorGetRemoved)
{
    const QString outside = fDir.path() + QStringLiteral("/outside-empty");
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QDir().mkpath(mirror(QStringLiteral("A"))));
    ASSERT_TRUE(QFile::link(QStringLiteral(".."), mirror(QStringLiteral("A/up"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("."), mirror(QStringLiteral("A/self"))));
    ASSERT_TRUE(QFile::link(outside, mirror(QStringLiteral("A/toEmpty"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("nothing-here"), mirror(QStringLiteral("A/dangling"))));
    const QString pic = picture(mirror(QStringLiteral("A/pic.jpg")));
    fController->store().setObject(PrefKeys::sPrefDaysOldBeforeDeleting, 1);
    StandardErrorCapture errors;

    ASSERT_TRUE(runPurgeThread());
    fController->deleteFolderIfEmpty(fMirror, true);
    EXPECT_TRUE(QFileInfo(mirror(QStringLiteral("A/up"))).isSymLink());
    EXPECT_TRUE(QFileInfo(mirror(QStringLiteral("A/self"))).isSymLink());
    EXPECT_TRUE(QFileInfo(mirror(QStringLiteral("A/toEmpty"))).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(outside));
    EXPECT_TRUE(QFileInfo::exists(pic));
    EXPECT_TRUE(errors.contains(QStringLiteral("testDirectory=> curItem does NOT exist: A/dangling\n")));
}

// ---- The walk ------------------------------------------------------------------------------------

TEST(Walk, FoldersBeforeTheirContentsAndLinksNotEntered)
{
    QTemporaryDir dir;
    const QString root = dir.path();
    ASSERT_TRUE(writeFile(root + QStringLiteral("/b/.hidden/x"), "x"));
    ASSERT_TRUE(writeFile(root + QStringLiteral("/a.jpg"), "a"));
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/c")));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/b"), root + QStringLiteral("/c/linkToB")));
    QStringList seen;
    walkTree(root,
        [&](const QString &relative) {
            seen.append(relative);
            return true;
        },
        {});
    EXPECT_EQ(seen,
        (QStringList { QStringLiteral("a.jpg"), QStringLiteral("b"), QStringLiteral("b/.hidden"),
            QStringLiteral("b/.hidden/x"), QStringLiteral("c"), QStringLiteral("c/linkToB") }));

    seen.clear();
    walkTree(root,
        [&](const QString &relative) {
            seen.append(relative);
            return seen.size() < 2;
        },
        {});
    EXPECT_EQ(seen.size(), 2);

    int unreadable = 0;
    walkTree(
        root + QStringLiteral("/missing"), [](const QString &) { return true; },
        [&](const QString &, int) { ++unreadable; });
    EXPECT_EQ(unreadable, 0); // a root that is gone is no unreadable folder
}
