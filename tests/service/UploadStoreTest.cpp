// The storage folder: safe names, pictures that never replace one another, a log whose lines never mix.

#include "UploadStore.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>

#include <thread>
#include <vector>

using namespace vesk::service;

namespace {

// What every stored name must be, whatever was sent.
void expectSafe(const QString &name)
{
    EXPECT_FALSE(name.isEmpty());
    EXPECT_FALSE(name.contains(QLatin1Char('/'))) << name.toStdString();
    EXPECT_FALSE(name.contains(QLatin1Char('\\'))) << name.toStdString();
    EXPECT_FALSE(name.startsWith(QLatin1Char('.'))) << name.toStdString();
    EXPECT_LE(name.toUtf8().size(), 200) << name.toStdString();
    for (const QChar c : name)
        EXPECT_FALSE(c.unicode() < 0x20 || c.unicode() == 0x7f) << name.toStdString();
}

std::unique_ptr<IncomingFile> incoming(UploadStore &store, const QByteArray &content)
{
    QString error;
    auto file = store.createIncoming(error);
    EXPECT_TRUE(file) << error.toStdString();
    if (file) {
        EXPECT_TRUE(file->write(content.constData(), size_t(content.size())));
        EXPECT_TRUE(file->finish());
    }
    return file;
}

QStringList filesUnder(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(root).relativeFilePath(it.next());
    result.sort();
    return result;
}

} // namespace

TEST(SafeNames, FolderPartsAndTraversalAreRemoved)
{
    EXPECT_EQ(safeFileName(QStringLiteral("../../x.jpg")), QStringLiteral("x.jpg"));
    EXPECT_EQ(safeFileName(QStringLiteral("..\\..\\x.jpg")), QStringLiteral("x.jpg"));
    EXPECT_EQ(safeFileName(QStringLiteral("/etc/passwd")), QStringLiteral("passwd"));
    EXPECT_EQ(safeFileName(QStringLiteral("say \"cheese\" it's.jpg")), QStringLiteral("say \"cheese\" it's.jpg"));
    EXPECT_EQ(safeFileName(QStringLiteral("Été à Zürich.JPG")), QStringLiteral("Été à Zürich.JPG"));
    EXPECT_EQ(safeEventName(QString()), QStringLiteral("_"));
    EXPECT_EQ(safeEventName(QStringLiteral("   ")), QStringLiteral("_"));
    EXPECT_EQ(safeEventName(QStringLiteral("Wedding 2026")), QStringLiteral("Wedding 2026"));

    const QStringList hostile = { QStringLiteral(".."), QStringLiteral("."), QStringLiteral("../"),
        QStringLiteral("a/.."), QStringLiteral(".hidden.jpg"), QStringLiteral("...jpg"), QStringLiteral("a\nb\r.jpg"),
        QStringLiteral("tab\there\x7f.jpg"), QStringLiteral(" .. "), QString(), QStringLiteral("dir/"),
        QStringLiteral("../../outside"), QString(300, QLatin1Char('n')) + QStringLiteral(".jpeg") };
    for (const QString &name : hostile) {
        SCOPED_TRACE(name.toStdString());
        expectSafe(safeFileName(name));
        expectSafe(safeEventName(name));
        EXPECT_NE(safeFileName(name), QStringLiteral(".."));
        EXPECT_NE(safeEventName(name), QStringLiteral(".."));
    }
    EXPECT_EQ(safeFileName(QStringLiteral("a\nb\r.jpg")), QStringLiteral("a_b_.jpg"));
    EXPECT_TRUE(
        safeFileName(QString(300, QLatin1Char('n')) + QStringLiteral(".jpeg")).endsWith(QStringLiteral(".jpeg")));
}

TEST(SafeNames, ShorteningKeepsWholeCharacters)
{
    // Four-byte characters (surrogate pairs in UTF-16) across the length limit.
    const QString name = QString(120, QLatin1Char('x')).replace(QLatin1Char('x'), QStringLiteral("\U0001F4F7"))
        + QStringLiteral(".jpg");
    const QString safe = safeFileName(name);
    expectSafe(safe);
    EXPECT_TRUE(safe.endsWith(QStringLiteral(".jpg")));
    EXPECT_EQ(QString::fromUtf8(safe.toUtf8()), safe);
    EXPECT_FALSE(safe.contains(QChar(QChar::ReplacementCharacter)));
}

TEST(SafeNames, NumberedNamesGoBeforeTheExtension)
{
    EXPECT_EQ(numberedName(QStringLiteral("IMG_0001.JPG"), 1), QStringLiteral("IMG_0001.JPG"));
    EXPECT_EQ(numberedName(QStringLiteral("IMG_0001.JPG"), 2), QStringLiteral("IMG_0001 (2).JPG"));
    EXPECT_EQ(numberedName(QStringLiteral("archive.tar.gz"), 3), QStringLiteral("archive.tar (3).gz"));
    EXPECT_EQ(numberedName(QStringLiteral("README"), 2), QStringLiteral("README (2)"));
    EXPECT_EQ(numberedName(QStringLiteral("_"), 2), QStringLiteral("_ (2)"));
}

TEST(UploadStore, CommitNeverReplacesAnEarlierPicture)
{
    QTemporaryDir dir;
    UploadStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.prepare(error));
    QStringList stored;
    for (int i = 1; i <= 3; ++i) {
        auto file = incoming(store, QByteArray("picture ") + QByteArray::number(i));
        ASSERT_TRUE(file);
        stored << store.commit(*file, QStringLiteral("Wedding"), QStringLiteral("IMG.JPG"), error);
        ASSERT_FALSE(stored.last().isEmpty()) << error.toStdString();
    }
    EXPECT_EQ(stored,
        QStringList(
            { dir.path() + QStringLiteral("/Wedding/IMG.JPG"), dir.path() + QStringLiteral("/Wedding/IMG (2).JPG"),
                dir.path() + QStringLiteral("/Wedding/IMG (3).JPG") }));
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(vesk::test::readText(stored[i - 1]), QStringLiteral("picture ") + QString::number(i));
    // Nothing temporary is left behind.
    EXPECT_EQ(filesUnder(dir.path()),
        QStringList({ QStringLiteral("Wedding/IMG (2).JPG"), QStringLiteral("Wedding/IMG (3).JPG"),
            QStringLiteral("Wedding/IMG.JPG") }));
}

TEST(UploadStore, ConcurrentCommitsOfOneNameAllSurvive)
{
    QTemporaryDir dir;
    UploadStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.prepare(error));
    constexpr int kThreads = 8;
    constexpr int kEach = 10;
    std::vector<std::thread> threads;
    std::mutex lock;
    QStringList stored;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                QString why;
                auto file = incoming(store, QByteArray::number(t * 1000 + i));
                const QString path = store.commit(*file, QStringLiteral("E"), QStringLiteral("same.jpg"), why);
                std::lock_guard<std::mutex> guard(lock);
                stored << path;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(QSet<QString>(stored.begin(), stored.end()).size(), kThreads * kEach);
    EXPECT_FALSE(stored.contains(QString()));
    QSet<QString> contents;
    for (const QString &path : stored)
        contents.insert(vesk::test::readText(path));
    EXPECT_EQ(contents.size(), kThreads * kEach);
}

TEST(UploadStore, IncomingFileHashesAndCleansUp)
{
    QTemporaryDir dir;
    UploadStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.prepare(error));
    const QByteArray content = QByteArray(100000, 'a') + "tail";
    {
        auto file = incoming(store, content);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->size(), content.size());
        EXPECT_EQ(file->sha256Hex(),
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
        EXPECT_TRUE(QFile::exists(file->path()));
    }
    EXPECT_TRUE(filesUnder(dir.path()).isEmpty()) << filesUnder(dir.path()).join(QLatin1Char(' ')).toStdString();

    // A temporary file left by a run that was killed goes at the next start; other files stay.
    auto leftover = store.createIncoming(error);
    const QString leftoverPath = leftover->path();
    ASSERT_TRUE(vesk::test::writeFile(dir.path() + QStringLiteral("/E/keep.jpg"), "x"));
    ASSERT_TRUE(vesk::test::writeFile(leftoverPath, "partial"));
    UploadStore restarted(dir.path());
    ASSERT_TRUE(restarted.prepare(error));
    EXPECT_FALSE(QFile::exists(leftoverPath));
    EXPECT_TRUE(QFile::exists(dir.path() + QStringLiteral("/E/keep.jpg")));
}

TEST(UploadStore, ConcurrentRecordsStayWholeLines)
{
    QTemporaryDir dir;
    UploadStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.prepare(error));
    constexpr int kThreads = 6;
    constexpr int kEach = 40;
    const QString filler(20000, QLatin1Char('z')); // lines far longer than a pipe's atomic write
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                QString why;
                EXPECT_TRUE(store.appendRecord({ { QStringLiteral("thread"), t }, { QStringLiteral("i"), i },
                                                   { QStringLiteral("filler"), filler } },
                    why));
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    QFile log(store.logPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll().count('\n'), kThreads * kEach);
    const QList<QJsonObject> records = store.records();
    ASSERT_EQ(records.size(), kThreads * kEach);
    QSet<int> seen;
    for (const QJsonObject &record : records) {
        EXPECT_EQ(record.value(QStringLiteral("filler")).toString().size(), filler.size());
        seen.insert(record.value(QStringLiteral("thread")).toInt() * 1000 + record.value(QStringLiteral("i")).toInt());
    }
    EXPECT_EQ(seen.size(), kThreads * kEach);
}
