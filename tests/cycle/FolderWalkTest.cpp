#include "cycle/FolderWalk.h"
#include "cycle/FolderCache.h"
#include "cycle/ItemBook.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;

namespace {
struct Tree {
    Tree()
    {
        QDir().mkpath(source());
        QDir().mkpath(mirror());
    }
    QString source() const { return profile.path(QStringLiteral("source")); }
    QString mirror() const { return profile.path(QStringLiteral("mirror")); }
    void file(const QString &relative) { test::writeFile(source() + QLatin1Char('/') + relative, "picture"); }
    std::optional<QString> first(QStringList *offered = nullptr, const QStringList &skip = {})
    {
        FolderWalk walk(source(), mirror());
        auto found = walk.findFirst([&](const QString &path) {
            if (offered)
                offered->append(path);
            return skip.contains(path) ? FolderWalk::Verdict::Skip : FolderWalk::Verdict::Take;
        });
        rootItems = walk.rootItems();
        problems = walk.problems();
        return found;
    }
    test::TempProfile profile;
    QStringList rootItems;
    QStringList problems;
};
} // namespace

TEST(FolderWalk, RootFilesAndHiddenFilesAreNeverOfferedHiddenFoldersAreWalked)
{
    Tree t;
    t.file(QStringLiteral("IMG_root.JPG"));
    EXPECT_FALSE(t.first().has_value());
    EXPECT_EQ(t.rootItems, QStringList { QStringLiteral("IMG_root.JPG") });

    t.file(QStringLiteral("Table7/.DS_Store"));
    t.file(QStringLiteral("Table7/.hidden/x.jpg"));
    QStringList offered;
    EXPECT_EQ(t.first(&offered), QStringLiteral("Table7/.hidden/x.jpg"));
    EXPECT_EQ(offered, QStringList { QStringLiteral("Table7/.hidden/x.jpg") });
    // Every folder met before the item is reproduced in the mirror, hidden ones too.
    EXPECT_TRUE(QFileInfo(t.mirror() + QStringLiteral("/Table7/.hidden")).isDir());
}

TEST(FolderWalk, DepthFirstInNameOrderFoldersBeforeTheirContents)
{
    Tree t;
    t.file(QStringLiteral("B/IMG_2.JPG"));
    t.file(QStringLiteral("A/Z/IMG_9.JPG"));
    t.file(QStringLiteral("A/IMG_3.JPG"));
    t.file(QStringLiteral("A/IMG_1.JPG"));
    QStringList offered;
    EXPECT_FALSE(t.first(&offered,
                      { QStringLiteral("A/IMG_1.JPG"), QStringLiteral("A/IMG_3.JPG"), QStringLiteral("A/Z/IMG_9.JPG"),
                          QStringLiteral("B/IMG_2.JPG") })
                     .has_value());
    EXPECT_EQ(offered,
        (QStringList { QStringLiteral("A/IMG_1.JPG"), QStringLiteral("A/IMG_3.JPG"), QStringLiteral("A/Z/IMG_9.JPG"),
            QStringLiteral("B/IMG_2.JPG") }));
    // A pass that takes the first picture has mirrored only the folders met before it.
    QDir(t.mirror()).removeRecursively();
    QDir().mkpath(t.mirror());
    EXPECT_EQ(t.first(), QStringLiteral("A/IMG_1.JPG"));
    EXPECT_TRUE(QFileInfo(t.mirror() + QStringLiteral("/A")).isDir());
    EXPECT_FALSE(QFileInfo::exists(t.mirror() + QStringLiteral("/B")));
}

TEST(FolderWalk, MirrorFoldersTakeTheSourcePermissions)
{
    Tree t;
    t.file(QStringLiteral("Private/IMG.JPG"));
    ::chmod(QFile::encodeName(t.source() + QStringLiteral("/Private")).constData(), 0750);
    t.first(nullptr, { QStringLiteral("Private/IMG.JPG") });
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(t.mirror() + QStringLiteral("/Private")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u & ~static_cast<unsigned>(::umask(::umask(0))));
}

TEST(FolderWalk, LinksAreNeverFollowedAndLoopsAreHarmless)
{
    Tree t;
    t.file(QStringLiteral("Real/IMG_1.JPG"));
    QDir().mkpath(t.source() + QStringLiteral("/Links"));
    // A loop back to the source folder, a link to a folder, a dangling link and a link to a file.
    QFile::link(t.source(), t.source() + QStringLiteral("/Links/loop"));
    QFile::link(t.source() + QStringLiteral("/Real"), t.source() + QStringLiteral("/Links/folder"));
    QFile::link(t.source() + QStringLiteral("/nothing"), t.source() + QStringLiteral("/Links/dangling.jpg"));
    QFile::link(t.source() + QStringLiteral("/Real/IMG_1.JPG"), t.source() + QStringLiteral("/Links/linked.jpg"));
    QStringList offered;
    t.first(&offered, { QStringLiteral("Links/linked.jpg"), QStringLiteral("Real/IMG_1.JPG") });
    EXPECT_EQ(offered, QStringList { QStringLiteral("Real/IMG_1.JPG") });
}

TEST(FolderWalk, NamesThatAreNotUtf8AreRepairedOnDisk)
{
    EXPECT_EQ(FolderWalk::repairedName(QByteArray("IMG_\xff\xfe.jpg")), QByteArray("IMG_%FF%FE.jpg"));
    EXPECT_EQ(FolderWalk::repairedName(QByteArray("caf\xc3\xa9.jpg")), QByteArray("caf\xc3\xa9.jpg"));
    EXPECT_EQ(FolderWalk::repairedName(QByteArray("\xc0\xaf")), QByteArray("%C0%AF")); // overlong form
    Tree t;
    const QByteArray folder = QFile::encodeName(t.source()) + "/Ev\xe9nt";
    ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
    const QByteArray file = folder + QByteArray("/IMG\x01\x80.JPG");
    const int fd = ::open(file.constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(t.first(), QStringLiteral("Ev%E9nt/IMG\u0001%80.JPG"));
    EXPECT_TRUE(QFileInfo::exists(t.source() + QStringLiteral("/Ev%E9nt/IMG\u0001%80.JPG")));
    EXPECT_EQ(t.problems.size(), 2);
}

TEST(FolderWalk, UnreadableFoldersAndMissingRootsAreReportedNotFatal)
{
    Tree t;
    FolderWalk missing(t.profile.path(QStringLiteral("nowhere")), t.mirror());
    EXPECT_FALSE(missing.findFirst([](const QString &) { return FolderWalk::Verdict::Take; }).has_value());
    EXPECT_FALSE(missing.rootReadable());
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    t.file(QStringLiteral("Locked/IMG.JPG"));
    t.file(QStringLiteral("Open/IMG.JPG"));
    ::chmod(QFile::encodeName(t.source() + QStringLiteral("/Locked")).constData(), 0);
    EXPECT_EQ(t.first(), QStringLiteral("Open/IMG.JPG"));
    EXPECT_EQ(t.problems.size(), 1);
    ::chmod(QFile::encodeName(t.source() + QStringLiteral("/Locked")).constData(), 0755);
}

TEST(ItemBook, FailuresWaitLongerEachTimeAndUnmovedPicturesSurviveARestart)
{
    test::TempProfile profile;
    const QString picture = profile.path(QStringLiteral("IMG.JPG"));
    test::writeFile(picture, "one");
    const QString ledger = profile.path(QStringLiteral("state/ledger.json"));
    {
        ItemBook book(ledger);
        EXPECT_FALSE(book.retryAfter(picture).has_value());
        book.noteTransferFailure(picture, 60, 300);
        const auto first = book.retryAfter(picture);
        ASSERT_TRUE(first.has_value());
        book.noteTransferFailure(picture, 60, 300);
        EXPECT_GT(*book.retryAfter(picture), *first);
        book.forget(picture);
        EXPECT_FALSE(book.retryAfter(picture).has_value());

        book.noteUnmoved(picture, ItemBook::Destination::Problem);
    }
    ItemBook reloaded(ledger);
    EXPECT_EQ(reloaded.unmoved(picture), ItemBook::Destination::Problem);
    // A different picture under the same name is a new picture.
    QFile::remove(picture);
    test::writeFile(picture, "a longer, different picture");
    EXPECT_FALSE(reloaded.unmoved(picture).has_value());
    EXPECT_FALSE(ItemBook(ledger).unmoved(picture).has_value());
}

TEST(FolderCache, RemembersOnlyWatchedFoldersThatDidNotChangeWhileRead)
{
    FolderCache cache;
    const QByteArray folder("/src/A");
    const FolderCache::Listing entries { { QByteArray("IMG.JPG"), DT_REG } };
    cache.watchAdded(folder);
    cache.setActive(true);

    quint64 token = cache.beginReading();
    cache.store(folder, token, entries);
    ASSERT_TRUE(cache.listing(folder).has_value());
    // A change forgets it; a change during a read keeps the read from being remembered.
    cache.folderChanged(folder);
    EXPECT_FALSE(cache.listing(folder).has_value());
    token = cache.beginReading();
    cache.folderChanged(folder);
    cache.store(folder, token, entries);
    EXPECT_FALSE(cache.listing(folder).has_value());
    // A folder watched only after its read began might have changed unseen.
    token = cache.beginReading();
    cache.watchAdded(QByteArray("/src/B"));
    cache.store(QByteArray("/src/B"), token, entries);
    EXPECT_FALSE(cache.listing(QByteArray("/src/B")).has_value());
    cache.store(QByteArray("/src/unwatched"), cache.beginReading(), entries);
    EXPECT_FALSE(cache.listing(QByteArray("/src/unwatched")).has_value());
    // Lost events and a stopped watcher forget everything.
    cache.store(folder, cache.beginReading(), entries);
    ASSERT_TRUE(cache.listing(folder).has_value());
    token = cache.beginReading();
    cache.forgetAll();
    EXPECT_FALSE(cache.listing(folder).has_value());
    cache.store(folder, token, entries);
    EXPECT_FALSE(cache.listing(folder).has_value());
    cache.store(folder, cache.beginReading(), entries);
    cache.setActive(false);
    EXPECT_FALSE(cache.listing(folder).has_value());
}

TEST(FolderWalk, RemembersUnchangedFoldersAndStillMakesAPicturesMirrorFolders)
{
    Tree t;
    t.file(QStringLiteral("Done/Deep/.keep"));
    t.file(QStringLiteral("Later/IMG.JPG"));
    FolderCache cache;
    const QByteArray source = QFile::encodeName(t.source());
    for (const char *folder : { "", "/Done", "/Done/Deep", "/Later" })
        cache.watchAdded(source + folder);
    cache.setActive(true);
    FolderWalk first(t.source(), t.mirror(), &cache);
    ASSERT_FALSE(first.findFirst([](const QString &) { return FolderWalk::Verdict::Skip; }).has_value());
    EXPECT_EQ(cache.size(), 4);
    // The mirror folders go away; the next pass reads nothing again, yet the picture's folder is made.
    QDir(t.mirror()).removeRecursively();
    QDir().mkpath(t.mirror());
    FolderWalk second(t.source(), t.mirror(), &cache);
    EXPECT_EQ(
        second.findFirst([](const QString &) { return FolderWalk::Verdict::Take; }), QStringLiteral("Later/IMG.JPG"));
    EXPECT_TRUE(QFileInfo(t.mirror() + QStringLiteral("/Later")).isDir());
    EXPECT_FALSE(QFileInfo::exists(t.mirror() + QStringLiteral("/Done")));
}
