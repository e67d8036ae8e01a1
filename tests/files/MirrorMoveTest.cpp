// The move of an item into the mirror or problem folder, the encapsulation paths, and the file
// system's move with its cross-device copy.

#include "files/MirrorMove.h"
#include "FilesTestSupport.h"
#include "app/AppController.h"
#include "diag/MessageLog.h"
#include "files/FileOps.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;
using namespace vesk::test;

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class MirrorMove : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fDir.isValid());
        fSource = fDir.path() + QStringLiteral("/source");
        fMirror = fDir.path() + QStringLiteral("/mirror");
        fProblem = fDir.path() + QStringLiteral("/Problem Folder");
        MessageLog::InitLog(fDir.path() + QStringLiteral("/log.txt"));
        AppOptions options;
        options.store = std::make_shared<PreferenceStore>(fDir.path() + QStringLiteral("/prefs.plist"));
        fController = std::make_unique<AppController>(std::move(options));
        fController->store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, fMirror);
    }
    void TearDown() override
    {
        fController.reset();
        MessageLog::CloseLog();
    }
    QString messageLog() const { return readText(fDir.path() + QStringLiteral("/log.txt")); }
    QString source(const QString &item) const { return fSource + QLatin1Char('/') + item; }

    QTemporaryDir fDir;
    QString fSource, fMirror, fProblem;
    std::unique_ptr<AppController> fController;
    ConsoleRecorder fConsole;
};

} // namespace

// ---- The move ------------------------------------------------------------------------------------

TEST_F(MirrorMove, UploadedPictureLandsUnderItsRelativePath)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/ABC_0001.jpg")), "picture"));
    ASSERT_TRUE(QDir().mkpath(fMirror + QStringLiteral("/Roll1")));
    StandardErrorCapture errors;

    EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("Roll1/ABC_0001.jpg"), fSource));
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Roll1/ABC_0001.jpg"))));
    EXPECT_EQ(contentOf(fMirror + QStringLiteral("/Roll1/ABC_0001.jpg")), QByteArray("picture"));
    EXPECT_TRUE(errors.contains(QStringLiteral("moveFileToPath2 => destination moved/created Successfully\n\n")));
    const QString trace = QStringLiteral("\nmoveFileToPath2\rFROM fullSourcePath: %1\r        TO destPath: %2\r   "
                                         "modifiedDestPath: %3\n\n")
                              .arg(source(QStringLiteral("Roll1/ABC_0001.jpg")), fMirror,
                                  fMirror + QStringLiteral("/Roll1/ABC_0001.jpg"));
    EXPECT_TRUE(errors.contains(trace));
    EXPECT_TRUE(fConsole.contains(trace));
    EXPECT_EQ(fConsole.count(QStringLiteral("Inside AppController => moveFileToPath...")), 3);
    EXPECT_FALSE(fConsole.contains(QStringLiteral("movePath Failed")));
}

TEST_F(MirrorMove, SuccessReplacesAnOlderCopyInTheMirror)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/ABC_0001.jpg")), "new"));
    ASSERT_TRUE(writeFile(fMirror + QStringLiteral("/Roll1/ABC_0001.jpg"), "old"));
    EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("Roll1/ABC_0001.jpg"), fSource));
    EXPECT_EQ(contentOf(fMirror + QStringLiteral("/Roll1/ABC_0001.jpg")), QByteArray("new"));
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Roll1/ABC_0001.jpg"))));
}

TEST_F(MirrorMove, ProblemFolderNeverReplacesAndTheSourceStays)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/ABC_0001.jpg")), "second try"));
    ASSERT_TRUE(writeFile(fProblem + QStringLiteral("/Roll1/ABC_0001.jpg"), "first"));
    StandardErrorCapture errors;

    EXPECT_FALSE(fController->moveFileToPath(QStringLiteral("Roll1/ABC_0001.jpg"), fSource, fProblem, false, false));
    EXPECT_EQ(contentOf(fProblem + QStringLiteral("/Roll1/ABC_0001.jpg")), QByteArray("first"));
    EXPECT_EQ(contentOf(source(QStringLiteral("Roll1/ABC_0001.jpg"))), QByteArray("second try"));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("moveFileToPath2 => movePath Failed???")));
    // The outcome line only looks at what is at the destination.
    EXPECT_TRUE(errors.contains(QStringLiteral("moveFileToPath2 => destination moved/created Successfully")));
}

TEST_F(MirrorMove, FolderItemIsReproducedNotMoved)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/a.jpg")), "a"));
    StandardErrorCapture errors;
    EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("Roll1"), fSource));
    EXPECT_TRUE(QFileInfo(fMirror + QStringLiteral("/Roll1")).isDir());
    EXPECT_TRUE(QDir(fMirror + QStringLiteral("/Roll1")).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Roll1/a.jpg"))));
    EXPECT_TRUE(errors.contains(QStringLiteral("\ncreateDirectory %1\n").arg(fMirror + QStringLiteral("/Roll1"))));
}

TEST_F(MirrorMove, MissingSourceTouchesNothing)
{
    ASSERT_TRUE(QDir().mkpath(fSource));
    StandardErrorCapture errors;
    EXPECT_FALSE(fController->moveFileToPath(QStringLiteral("Roll1/gone.jpg"), fSource));
    EXPECT_FALSE(QFileInfo::exists(fMirror));
    EXPECT_TRUE(messageLog().contains(QStringLiteral("moveFileToPath=> source item does NOT exist:\r %1\n")
                                          .arg(source(QStringLiteral("Roll1/gone.jpg")))));
    EXPECT_FALSE(errors.contains(QStringLiteral("moveFileToPath2")));
    EXPECT_FALSE(fConsole.contains(QStringLiteral("moveFileToPath2")));
}

TEST_F(MirrorMove, DestinationRootIsCreatedOneLevelOnly)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("top.jpg")), "t"));
    EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("top.jpg"), fSource));
    EXPECT_EQ(contentOf(fMirror + QStringLiteral("/top.jpg")), QByteArray("t"));

    const QString deepRoot = fDir.path() + QStringLiteral("/no/such/root");
    ASSERT_TRUE(writeFile(source(QStringLiteral("deep.jpg")), "d"));
    StandardErrorCapture errors;
    EXPECT_FALSE(fController->moveFileToPath(QStringLiteral("deep.jpg"), fSource, deepRoot, true, false));
    EXPECT_FALSE(QFileInfo::exists(fDir.path() + QStringLiteral("/no")));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("deep.jpg"))));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("moveFileToPath2 => movePath Failed???")));
    const QString outcome = deepRoot + QStringLiteral("/deep.jpg");
    EXPECT_TRUE(
        errors.contains(QStringLiteral("moveFileToPath2 => destination NOT moved or created: %1\n\n").arg(outcome)));
    EXPECT_TRUE(messageLog().contains(
        QStringLiteral("moveFileToPath2 => destination NOT moved or created:\r%1\n\n").arg(outcome)));
}

TEST_F(MirrorMove, MissingSubFolderInTheMirrorKeepsTheSource)
{
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll9/x.jpg")), "x"));
    EXPECT_FALSE(fController->moveFileToPath(QStringLiteral("Roll9/x.jpg"), fSource));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Roll9/x.jpg"))));
}

TEST_F(MirrorMove, NoMirrorFolderSetKeepsTheSource)
{
    fController->store().removeObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder);
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/x.jpg")), "x"));
    EXPECT_FALSE(fController->moveFileToPath(QStringLiteral("Roll1/x.jpg"), fSource));
    EXPECT_TRUE(QFileInfo::exists(source(QStringLiteral("Roll1/x.jpg"))));
    EXPECT_TRUE(messageLog().contains(QStringLiteral("destination NOT moved or created:\r(null)")));
}

TEST_F(MirrorMove, EncapsulationGroupsFilesByBaseName)
{
    for (const char *name : { "ABC_0001.jpg", "ABC_0002.jpg", "_0001.jpg", "ABC0001.jpg" })
        ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/") + QLatin1String(name)), name));
    ASSERT_TRUE(QDir().mkpath(fMirror + QStringLiteral("/Roll1")));
    for (const char *name : { "ABC_0001.jpg", "ABC_0002.jpg", "_0001.jpg", "ABC0001.jpg" })
        EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("Roll1/") + QLatin1String(name), fSource, true, true));
    EXPECT_TRUE(QFileInfo::exists(fMirror + QStringLiteral("/Roll1/ABC/ABC_0001.jpg")));
    EXPECT_TRUE(QFileInfo::exists(fMirror + QStringLiteral("/Roll1/ABC/ABC_0002.jpg")));
    EXPECT_TRUE(QFileInfo::exists(fMirror + QStringLiteral("/Roll1/_0001.jpg")));
    EXPECT_TRUE(QFileInfo::exists(fMirror + QStringLiteral("/Roll1/ABC0001.jpg")));
}

// ---- Encapsulation paths -------------------------------------------------------------------------

TEST(Encapsulation, BaseNames)
{
    StandardErrorCapture errors;
    EXPECT_EQ(getBaseName1(QStringLiteral("Roll1/ABC_0001.jpg")), QStringLiteral("ABC"));
    EXPECT_EQ(getBaseName1(QStringLiteral("A_B_C.jpg")), QStringLiteral("A"));
    EXPECT_FALSE(getBaseName1(QStringLiteral("ABC0001.jpg")));
    EXPECT_FALSE(getBaseName1(QStringLiteral("_0001.jpg")));
    EXPECT_FALSE(getBaseName1(QStringLiteral("Roll_1/IMG.jpg"))); // only the last component counts
    EXPECT_FALSE(getBaseName1(std::nullopt));
    EXPECT_TRUE(errors.contains(QStringLiteral("==> getBaseName1 returned: [ABC]\n")));
    EXPECT_EQ(errors.text().count(QStringLiteral("==> getBaseName1 FAILED\n")), 3);
}

TEST(Encapsulation, FolderAndRelativeForms)
{
    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/M");
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/Roll1")));
    StandardErrorCapture errors;
    const QString folder
        = createEncapsulationFolder(root + QLatin1Char('/'), QStringLiteral("Roll1/ABC_0001.jpg"), true);
    EXPECT_EQ(folder, root + QStringLiteral("/Roll1/ABC"));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(errors.contains(QStringLiteral("createEncapsulationFolder formed name: %1\n\n").arg(folder)));
    EXPECT_TRUE(errors.contains(QStringLiteral("createEncapsulationFolder CREATING: %1\n\n").arg(folder)));
    EXPECT_EQ(createEncapsulationFolder(root, QStringLiteral("Roll1/ABC_0001.jpg"), true), folder); // reused
    EXPECT_EQ(
        createEncapsulationFolder(root, QStringLiteral("Roll1/XYZ_1.jpg"), false), root + QStringLiteral("/Roll1/XYZ"));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/Roll1/XYZ")));
    EXPECT_EQ(
        createEncapsulationFolder(root, QStringLiteral("Roll1/ABC0001.jpg"), true), root + QStringLiteral("/Roll1"));

    EXPECT_EQ(
        convertItemWithEncapsulation(QStringLiteral("Roll1/ABC_0001.jpg")), QStringLiteral("Roll1/ABC/ABC_0001.jpg"));
    EXPECT_EQ(convertItemWithEncapsulation(QStringLiteral("ABC_0001.jpg")), QStringLiteral("ABC/ABC_0001.jpg"));
    EXPECT_EQ(convertItemWithEncapsulation(QStringLiteral("Roll1/ABC0001.jpg")), QStringLiteral("Roll1/ABC0001.jpg"));
    EXPECT_TRUE(errors.contains(QStringLiteral("==> convertItemWithEncapsulation returned [ABC/ABC_0001.jpg]\n")));
}

// ---- The file system's move ----------------------------------------------------------------------

namespace {

// Makes every rename of a non-temporary file look like one between two file systems.
int renameAcrossDevices(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (!std::strstr(from, ".vesk-"))
        return errno = EXDEV, -1;
    return fileops::defaultSystemCalls().renameNoReplace(fromFolder, from, toFolder, to);
}

int renameUnsupported(int, const char *, int, const char *)
{
    return errno = EINVAL, -1;
}

std::atomic<int> gWritesBeforeFailure { 0 };
ssize_t writeThenRunOutOfSpace(int fd, const void *buffer, size_t count)
{
    if (gWritesBeforeFailure.fetch_sub(1) <= 0)
        return errno = ENOSPC, -1;
    return ::write(fd, buffer, count < 4096 ? count : 4096);
}

class ScopedSystemCalls {
public:
    explicit ScopedSystemCalls(fileops::SystemCalls calls)
        : fPrevious(fileops::setSystemCallsForTesting(calls))
    { }
    ~ScopedSystemCalls() { fileops::setSystemCallsForTesting(fPrevious); }

private:
    fileops::SystemCalls fPrevious;
};

QStringList hiddenEntries(const QString &folder)
{
    return QDir(folder)
        .entryList(QDir::Hidden | QDir::System | QDir::Files | QDir::NoDotAndDotDot)
        .filter(QStringLiteral(".vesk-"));
}

QByteArray bigContent()
{
    QByteArray bytes;
    for (int i = 0; i < 300000; ++i)
        bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

} // namespace

TEST(FileMove, NeverReplacesAnExistingItem)
{
    QTemporaryDir dir;
    const QString from = dir.path() + QStringLiteral("/a");
    const QString to = dir.path() + QStringLiteral("/b");
    ASSERT_TRUE(writeFile(from, "a"));
    ASSERT_TRUE(writeFile(to, "b"));
    int error = 0;
    EXPECT_FALSE(fileops::movePath(from, to, &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(contentOf(to), QByteArray("b"));

    // A file system without the no-replace rename falls back to a hard link, with the same guarantee.
    ScopedSystemCalls calls({ &renameUnsupported, &::write });
    EXPECT_FALSE(fileops::movePath(from, to));
    EXPECT_EQ(contentOf(to), QByteArray("b"));
    const QString free = dir.path() + QStringLiteral("/c");
    EXPECT_TRUE(fileops::movePath(from, free));
    EXPECT_EQ(contentOf(free), QByteArray("a"));
    EXPECT_FALSE(QFileInfo::exists(from));
}

TEST(FileMove, CopiesAcrossDevicesKeepingContentAndDates)
{
    QTemporaryDir dir;
    const QString from = dir.path() + QStringLiteral("/src/pic.jpg");
    const QString to = dir.path() + QStringLiteral("/dst/pic.jpg");
    const QByteArray content = bigContent();
    ASSERT_TRUE(writeFile(from, content));
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/dst")));
    const QDateTime modified(QDate(2019, 3, 4), QTime(5, 6, 7), Qt::UTC);
    ASSERT_TRUE(setFileTimes(from, modified));
    ASSERT_TRUE(QFile::setPermissions(from, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));

    ScopedSystemCalls calls({ &renameAcrossDevices, &::write });
    ASSERT_TRUE(fileops::movePath(from, to));
    EXPECT_FALSE(QFileInfo::exists(from));
    EXPECT_EQ(contentOf(to), content);
    EXPECT_EQ(QFileInfo(to).lastModified().toUTC(), modified);
    struct stat copied { };
    ASSERT_EQ(::stat(QFile::encodeName(to).constData(), &copied), 0);
    EXPECT_EQ(copied.st_mode & 07777, 0640u);
    EXPECT_TRUE(hiddenEntries(dir.path() + QStringLiteral("/dst")).isEmpty());

    // Across devices too, an item in the way stays and so does the source.
    ASSERT_TRUE(writeFile(from, "again"));
    EXPECT_FALSE(fileops::movePath(from, to));
    EXPECT_EQ(contentOf(to), content);
    EXPECT_EQ(contentOf(from), QByteArray("again"));
}

TEST(FileMove, FailedCopyLeavesTheSourceAndNothingElse)
{
    QTemporaryDir dir;
    const QString from = dir.path() + QStringLiteral("/src/pic.jpg");
    const QString to = dir.path() + QStringLiteral("/dst/pic.jpg");
    const QByteArray content = bigContent();
    ASSERT_TRUE(writeFile(from, content));
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/dst")));

    gWritesBeforeFailure = 3;
    ScopedSystemCalls calls({ &renameAcrossDevices, &writeThenRunOutOfSpace });
    int error = 0;
    EXPECT_FALSE(fileops::movePath(from, to, &error));
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(contentOf(from), content);
    EXPECT_FALSE(QFileInfo::exists(to));
    EXPECT_TRUE(QDir(dir.path() + QStringLiteral("/dst"))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
}

TEST(FileMove, LinkIsMovedAsALinkAcrossDevices)
{
    QTemporaryDir dir;
    const QString target = dir.path() + QStringLiteral("/target.jpg");
    const QString from = dir.path() + QStringLiteral("/src/link.jpg");
    const QString to = dir.path() + QStringLiteral("/dst/link.jpg");
    ASSERT_TRUE(writeFile(target, "t"));
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/src")));
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/dst")));
    ASSERT_TRUE(QFile::link(target, from));

    ScopedSystemCalls calls({ &renameAcrossDevices, &::write });
    ASSERT_TRUE(fileops::movePath(from, to));
    EXPECT_EQ(QFileInfo(to).symLinkTarget(), target);
    EXPECT_FALSE(QFileInfo(from).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(target));
}

TEST_F(MirrorMove, MovesBetweenRealFileSystems)
{
    struct stat shm {
    }, temp {};
    if (::stat("/dev/shm", &shm) != 0 || ::access("/dev/shm", W_OK) != 0
        || ::stat(QFile::encodeName(fDir.path()).constData(), &temp) != 0 || shm.st_dev == temp.st_dev)
        GTEST_SKIP() << "no second file system to move onto";
    QTemporaryDir otherDevice(QStringLiteral("/dev/shm/vesk-move-XXXXXX"));
    ASSERT_TRUE(otherDevice.isValid());
    const QString mirror = otherDevice.path() + QStringLiteral("/mirror");
    ASSERT_TRUE(QDir().mkpath(mirror + QStringLiteral("/Roll1")));
    const QByteArray content = bigContent();
    ASSERT_TRUE(writeFile(source(QStringLiteral("Roll1/ABC_0001.jpg")), content));

    EXPECT_TRUE(fController->moveFileToPath(QStringLiteral("Roll1/ABC_0001.jpg"), fSource, mirror, true, false));
    EXPECT_EQ(contentOf(mirror + QStringLiteral("/Roll1/ABC_0001.jpg")), content);
    EXPECT_FALSE(QFileInfo::exists(source(QStringLiteral("Roll1/ABC_0001.jpg"))));
    EXPECT_TRUE(hiddenEntries(mirror + QStringLiteral("/Roll1")).isEmpty());
}
