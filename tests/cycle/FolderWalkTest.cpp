// The parts of a pass: the walk that finds the next picture, the folder cache, the book of failed
// and unmoved pictures, and the writer check.

#include "TestSupport.h"

#include "cycle/FolderCache.h"
#include "cycle/FolderWalk.h"
#include "cycle/ItemBook.h"
#include "cycle/WriterCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;

namespace {
struct Tree {
    Tree()
    {
        QDir().mkpath(source);
        QDir().mkpath(mirror);
    }
    void file(const QString &relative) { test::writeFile(source + QLatin1Char('/') + relative, "picture"); }
    // Every picture the walk offers, in order, none taken.
    QStringList offered(FolderCache *cache = nullptr)
    {
        QStringList offers;
        FolderWalk walk(source, mirror, cache);
        walk.findFirst([&](const QString &path) {
            offers << path;
            return FolderWalk::Verdict::Skip;
        });
        rootItems = walk.rootItems();
        problems = walk.problems();
        return offers;
    }
    test::TempProfile profile;
    const QString source = profile.path(QStringLiteral("source"));
    const QString mirror = profile.path(QStringLiteral("mirror"));
    QStringList rootItems, problems;
};
} // namespace

TEST(FolderWalk, PicturesInSubFoldersDepthFirstInNameOrderOthersPassedOver)
{
    Tree t;
    for (const char *name : { "B/IMG_2.JPG", "A/Z/IMG_9.JPG", "A/IMG_3.JPG", "A/IMG_1.JPG", "IMG_root.JPG",
             "A/.DS_Store", "A/.hidden/x.jpg", "Real/IMG_4.JPG" })
        t.file(QLatin1String(name));
    ASSERT_EQ(::mkfifo(QFile::encodeName(t.source + QStringLiteral("/A/IMG_fifo.JPG")).constData(), 0600), 0);
    ::chmod(QFile::encodeName(t.source + QStringLiteral("/A")).constData(), 0750);

    EXPECT_EQ(t.offered(),
        (QStringList { QStringLiteral("A/.hidden/x.jpg"), QStringLiteral("A/IMG_1.JPG"), QStringLiteral("A/IMG_3.JPG"),
            QStringLiteral("A/Z/IMG_9.JPG"), QStringLiteral("B/IMG_2.JPG"), QStringLiteral("Real/IMG_4.JPG") }));
    EXPECT_EQ(t.rootItems, QStringList { QStringLiteral("IMG_root.JPG") });
    EXPECT_EQ(FolderWalk(t.source, std::nullopt).countAll().pictures, 6);
    // The mirror gets the folders met, hidden ones too, with the source's permissions.
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(t.mirror + QStringLiteral("/A/.hidden")).constData(), &info), 0);
    ASSERT_EQ(::stat(QFile::encodeName(t.mirror + QStringLiteral("/A")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u & ~unsigned(::umask(::umask(0))));

    // A pass that takes the first picture has mirrored only the folders met before it.
    QDir(t.mirror).removeRecursively();
    EXPECT_EQ(FolderWalk(t.source, t.mirror).findFirst([](const QString &) { return FolderWalk::Verdict::Take; }),
        QStringLiteral("A/.hidden/x.jpg"));
    EXPECT_FALSE(QFileInfo::exists(t.mirror + QStringLiteral("/B")));
}

TEST(FolderWalk, UnreadableFoldersAreReportedAndPassedOver)
{
    Tree t;
    t.file(QStringLiteral("Locked/IMG.JPG"));
    t.file(QStringLiteral("Open/IMG.JPG"));
    ::chmod(QFile::encodeName(t.source + QStringLiteral("/Locked")).constData(), 0);
    // As a user's program: root's right to read any folder does not count.
    QStringList offered;
    test::withoutFileCapabilities([&] { offered = t.offered(); });
    EXPECT_EQ(offered, QStringList { QStringLiteral("Open/IMG.JPG") });
    EXPECT_EQ(t.problems.size(), 1);
    EXPECT_EQ(FolderWalk::repairedName(QByteArray("caf\xc3\xa9\xc0\xaf.jpg")), QByteArray("caf\xc3\xa9%C0%AF.jpg"));
    FolderWalk missing(t.profile.path(QStringLiteral("nowhere")), t.mirror);
    EXPECT_FALSE(missing.findFirst([](const QString &) { return FolderWalk::Verdict::Take; }));
    EXPECT_FALSE(missing.rootReadable());
}

TEST(FolderWalk, RememberedListingsAndTheCountFollowEveryChangeAsAFreshWalkSeesThem)
{
    // A card in one folder: after each change the remembered listings give the same pictures in the
    // same order as a fresh walk, and the count from them is the fresh walk's number.
    Tree t;
    for (const char *name : { "Card/IMG_2.JPG", "Card/IMG_4.JPG", "Card/IMG_6.JPG", "Other/IMG_1.JPG" })
        t.file(QLatin1String(name));
    FolderCache cache;
    const QByteArray card = QFile::encodeName(t.source) + "/Card";
    const std::pair<const char *, std::function<void()>> changes[] = {
        { "the picture sent moved away by the program while a count holds the listing",
            [&] {
                const FolderCache::View held = cache.listing(card);
                ASSERT_TRUE(held);
                cache.expectRemoval(card, "IMG_2.JPG");
                cache.removalDone(card, "IMG_2.JPG",
                    QFile::rename(
                        t.source + QStringLiteral("/Card/IMG_2.JPG"), t.mirror + QStringLiteral("/Card/IMG_2.JPG")));
                EXPECT_EQ(held->size(), 3u); // what a walk holds never changes under it
            } },
        { "a picture after the next one", [&] { t.file(QStringLiteral("Card/IMG_5.JPG")); } },
        { "a name that sorts first, mid-drain", [&] { t.file(QStringLiteral("Card/IMG_0.JPG")); } },
        { "the folder replaced",
            [&] {
                QDir().rename(t.source + QStringLiteral("/Card"), t.profile.path(QStringLiteral("away")));
                t.file(QStringLiteral("Card/IMG_9.JPG"));
            } },
        { "a hidden file and a link",
            [&] {
                t.file(QStringLiteral("Card/.IMG_7.JPG"));
                QFile::link(
                    t.source + QStringLiteral("/Other/IMG_1.JPG"), t.source + QStringLiteral("/Card/IMG_8.JPG"));
            } },
        { "a change lost in an overflow of the queue",
            [&] {
                t.file(QStringLiteral("Card/IMG_3.JPG"));
                cache.loseQueuedChanges();
            } },
    };
    bool first = true;
    for (const auto &[what, make] : changes) {
        SCOPED_TRACE(what);
        t.offered(&cache); // remembered from here on
        make();
        cache.refresh();
        EXPECT_EQ(cache.listing(card) != nullptr, first); // only the program's own move keeps it
        first = false;
        const QStringList fresh = t.offered();
        EXPECT_EQ(FolderWalk(t.source, std::nullopt, &cache).countAll().pictures, fresh.size());
        EXPECT_EQ(t.offered(&cache), fresh);
    }
    // Remembered folders are not read again, yet a picture's mirror folders are still made.
    QDir(t.mirror + QStringLiteral("/Card")).removeRecursively();
    EXPECT_EQ(t.offered(&cache).size(), 3);
    EXPECT_TRUE(QFileInfo(t.mirror + QStringLiteral("/Card")).isDir());
}

TEST(ItemBook, FailuresWaitLongerEachTimeAndUnmovedPicturesSurviveARestart)
{
    test::TempProfile profile;
    const QString picture = profile.path(QStringLiteral("IMG.JPG"));
    test::writeFile(picture, "one");
    const QString ledger = profile.path(QStringLiteral("state/ledger.json"));
    {
        ItemBook book(ledger);
        EXPECT_FALSE(book.retryAfter(picture));
        EXPECT_EQ(book.noteTransferFailure(picture, 60, 300), 60);
        const auto first = book.retryAfter(picture);
        ASSERT_TRUE(first);
        EXPECT_EQ(book.noteTransferFailure(picture, 60, 300), 120);
        EXPECT_GT(*book.retryAfter(picture), *first);
        book.forget(picture);
        EXPECT_FALSE(book.retryAfter(picture));
        // Failures of pictures of the same name in other folders, and of a long name, are kept
        // apart; the next try is the earliest retry; a picture that left its folder is forgotten.
        const QString twin = profile.path(QStringLiteral("card/IMG.JPG"));
        const QString longName = profile.path(QStringLiteral("card/2026-12-07 19.30.45 reception, table 4.jpg"));
        test::writeFile(twin, "two");
        test::writeFile(longName, "three");
        EXPECT_EQ(book.noteTransferFailure(longName, 30, 300), 30);
        EXPECT_EQ(book.noteTransferFailure(twin, 10, 300), 10);
        EXPECT_FALSE(book.retryAfter(picture));
        EXPECT_EQ(book.failureCount(longName), 1);
        ItemBook::Waiting waiting = book.waitingForRetry();
        EXPECT_EQ(waiting.pictures, 2);
        EXPECT_EQ(waiting.nextTry, book.retryAfter(twin));
        QFile::remove(twin);
        waiting = book.waitingForRetry();
        EXPECT_EQ(waiting.pictures, 1);
        EXPECT_EQ(waiting.nextTry, book.retryAfter(longName));
        book.forget(longName);
        EXPECT_EQ(book.waitingForRetry().pictures, 0);
        book.noteUnmoved(picture, ItemBook::Destination::Problem);
    }
    EXPECT_EQ(ItemBook(ledger).unmoved(picture), ItemBook::Destination::Problem);
    // A different picture under the same name is a new picture.
    test::writeFile(picture, "a longer, different picture");
    EXPECT_FALSE(ItemBook(ledger).unmoved(picture));
}

TEST(WriterCheck, AFileOpenForWritingIsBusyAndWithoutALeaseARecentChangeIs)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("IMG.JPG"));
    // Another process keeps the picture open while it writes it.
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("exec 3>'%1'; printf first >&3; read line; exec 3>&-").arg(path) });
    ASSERT_TRUE(writer.waitForStarted());
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(path).size() == 5; }));
    EXPECT_EQ(checkWriter(path, 0.0), WriterState::Busy);
    writer.write("go\n");
    ASSERT_TRUE(writer.waitForFinished(10000));
    EXPECT_EQ(checkWriter(path, 0.0), WriterState::Idle);
    EXPECT_EQ(checkWriter(profile.path(QStringLiteral("gone.jpg"))), WriterState::Missing);

    // A file of another user takes no lease: then its last change decides.
    QString foreign = QStringLiteral("/etc/passwd");
    if (::geteuid() == 0) {
        foreign = path;
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
    WriterState recent = WriterState::Missing, quiet = WriterState::Missing;
    test::withoutFileCapabilities([&] {
        recent = checkWriter(foreign, 1e10);
        quiet = checkWriter(foreign, 0.0);
    });
    EXPECT_EQ(recent, WriterState::Busy);
    EXPECT_EQ(quiet, WriterState::Idle);
}
