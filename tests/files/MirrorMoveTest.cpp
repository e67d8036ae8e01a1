// The move of an item into the mirror or problem folder, the encapsulation paths, and the file
// system's move with its cross-device copy.

#include "ControllerFixture.h"
#include "FilesTestSupport.h"

#include "files/FileOps.h"
#include "files/MirrorMove.h"

#include <QDir>
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

// Makes every rename of a non-temporary file look like one between two file systems.
int renameAcrossDevices(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (!std::strstr(from, ".vesk-"))
        return errno = EXDEV, -1;
    return fileops::defaultSystemCalls().renameNoReplace(fromFolder, from, toFolder, to);
}

std::atomic<int> gWritesBeforeFailure { 0 };
ssize_t writeThenRunOutOfSpace(int fd, const void *buffer, size_t count)
{
    if (gWritesBeforeFailure.fetch_sub(1) <= 0)
        return errno = ENOSPC, -1;
    return ::write(fd, buffer, std::min<size_t>(count, 4096));
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

} // namespace

TEST(MirrorMove, ItemsLandUnderTheirPathAndReplaceOnlyTheSameBytes)
{
    TempProfile profile;
    ControllerFixture c;
    const QString source = profile.path(QStringLiteral("source"));
    const QString mirror = profile.path(QStringLiteral("mirror"));
    c.set(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirror);
    const auto at = [&](const QString &root, const char *item) {
        return readText(root + QLatin1Char('/') + QLatin1String(item));
    };

    ASSERT_TRUE(writeFile(source + QStringLiteral("/Roll1/a.jpg"), "new"));
    ASSERT_TRUE(writeFile(mirror + QStringLiteral("/Roll1/a.jpg"), "old"));
    EXPECT_TRUE(c->moveFileToPath(QStringLiteral("Roll1/a.jpg"), source));
    EXPECT_EQ(at(mirror, "Roll1/a.jpg"), QStringLiteral("old"));
    EXPECT_EQ(at(mirror, "Roll1/a 2.jpg"), QStringLiteral("new"));
    EXPECT_FALSE(QFileInfo::exists(source + QStringLiteral("/Roll1/a.jpg")));
    // The same bytes again (sent once more after a crash) take their own place.
    ASSERT_TRUE(writeFile(source + QStringLiteral("/Roll1/a.jpg"), "old"));
    EXPECT_TRUE(c->moveFileToPath(QStringLiteral("Roll1/a.jpg"), source));
    EXPECT_EQ(QDir(mirror + QStringLiteral("/Roll1")).entryList(QDir::Files).size(), 2);
    EXPECT_FALSE(QFileInfo::exists(source + QStringLiteral("/Roll1/a.jpg")));

    ASSERT_TRUE(writeFile(source + QStringLiteral("/Roll1/b.jpg"), "tried"));

    // A folder is reproduced, not moved; a missing item, a missing sub-folder or no mirror at all
    // touch nothing.
    EXPECT_TRUE(c->moveFileToPath(QStringLiteral("Roll1"), source));
    EXPECT_TRUE(QFileInfo::exists(source + QStringLiteral("/Roll1/b.jpg")));
    EXPECT_FALSE(c->moveFileToPath(QStringLiteral("Roll1/gone.jpg"), source));
    ASSERT_TRUE(writeFile(source + QStringLiteral("/Roll9/x.jpg"), "x"));
    EXPECT_FALSE(c->moveFileToPath(QStringLiteral("Roll9/x.jpg"), source));
    c.store->removeObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder);
    EXPECT_FALSE(c->moveFileToPath(QStringLiteral("Roll9/x.jpg"), source));
    EXPECT_EQ(at(source, "Roll9/x.jpg"), QStringLiteral("x"));
}

TEST(FileMove, NeverReplacesAnItemAndCopiesAcrossDevicesWhole)
{
    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("src/pic.jpg"));
    const QString to = dir.filePath(QStringLiteral("dst/pic.jpg"));
    QByteArray content(300000, 'a');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char('a' + i % 26);
    ASSERT_TRUE(writeFile(to, "b"));
    ASSERT_TRUE(writeFile(from, "a"));
    int error = 0;
    EXPECT_FALSE(fileops::movePath(from, to, &error));
    EXPECT_EQ(error, EEXIST);
    ASSERT_TRUE(QFile::remove(to) && writeFile(from, content));
    const QDateTime modified(QDate(2019, 3, 4), QTime(5, 6, 7), Qt::UTC);
    ASSERT_TRUE(setFileTimes(from, modified));
    ASSERT_TRUE(QFile::setPermissions(from, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    {
        // A copy that fails half-way leaves the source and nothing else.
        gWritesBeforeFailure = 3;
        ScopedSystemCalls calls({ &renameAcrossDevices, &writeThenRunOutOfSpace });
        EXPECT_FALSE(fileops::movePath(from, to, &error));
        EXPECT_EQ(error, ENOSPC);
        EXPECT_TRUE(
            QDir(dir.filePath(QStringLiteral("dst"))).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }
    ScopedSystemCalls calls({ &renameAcrossDevices, &::write });
    ASSERT_TRUE(fileops::movePath(from, to));
    EXPECT_FALSE(QFileInfo::exists(from));
    EXPECT_EQ(readText(to).toLatin1(), content);
    EXPECT_EQ(QFileInfo(to).lastModified().toUTC(), modified);
    struct stat copied { };
    ASSERT_EQ(::stat(QFile::encodeName(to).constData(), &copied), 0);
    EXPECT_EQ(copied.st_mode & 07777, 0640u);
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("dst"))).entryList(QDir::Hidden | QDir::Files).size() == 1);
    // Across devices too, an item in the way stays, and so does the source; a link moves as a link.
    ASSERT_TRUE(writeFile(from, "again"));
    EXPECT_FALSE(fileops::movePath(from, to));
    EXPECT_EQ(readText(from), QStringLiteral("again"));
    ASSERT_TRUE(QFile::link(to, dir.filePath(QStringLiteral("src/link.jpg"))));
    ASSERT_TRUE(
        fileops::movePath(dir.filePath(QStringLiteral("src/link.jpg")), dir.filePath(QStringLiteral("dst/link.jpg"))));
    EXPECT_EQ(QFileInfo(dir.filePath(QStringLiteral("dst/link.jpg"))).symLinkTarget(), to);
}
