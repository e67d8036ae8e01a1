// Entries in the source folder that could trip the cycle up: a FIFO named like a picture, a
// picture the program may not read, an empty file, a folder named like a picture, names
// that are not valid UTF-8 or hold '"', CR or LF, a picture
// whose EXIF block is garbage, one whose bytes hold the request's delimiter line, one that crashes
// exiv2. None may stop the pictures behind it, none may reach the service in pieces, and each ends
// somewhere sensible.

#include "FaultRun.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

bool writeNative(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

// Canon RAW directories nested levels deep (16 bytes a level): exiv2 0.27 reads them recursively,
// without a limit, and dies of a stack overflow, whatever the file's name.
QByteArray nestedCrw(int levels)
{
    QByteArray heap("\0\0\0\0\0\0", 6);
    for (int i = 0; i < levels; ++i) {
        const quint32 child = quint32(heap.size());
        const quint16 count = 1, tag = 0x300a;
        const quint32 offset = 0;
        char entry[16];
        std::memcpy(entry, &count, 2);
        std::memcpy(entry + 2, &tag, 2);
        std::memcpy(entry + 4, &child, 4);
        std::memcpy(entry + 8, &offset, 4);
        std::memcpy(entry + 12, &child, 4);
        heap.append(entry, 16);
    }
    QByteArray header("II\x1a\0\0\0HEAPCCDR\x02\0\x01\0", 18);
    header.append(0x1a - header.size(), '\0');
    return header + heap;
}

} // namespace

TEST(PoisonFiles, NoneStopsThePicturesBehindIt)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const QByteArray source = QFile::encodeName(run.source);

    // A FIFO: opening it for reading would wait for a writer forever. It is no picture and stays.
    QDir().mkpath(run.source + QStringLiteral("/P1 fifo"));
    ASSERT_EQ(::mkfifo(QByteArray(source + "/P1 fifo/IMG_0.JPG").constData(), 0644), 0);
    run.trackEntry(QStringLiteral("P1 fifo/IMG_0.JPG"));
    run.addPicture(QStringLiteral("P1 fifo/IMG_1.JPG"));

    // A picture the program cannot read (it runs as a user's program would): it cannot be sent; it
    // goes to the problem folder (or stays), and is never reported as uploaded.
    ASSERT_TRUE(test::writeFile(run.source + QStringLiteral("/P2 unreadable/IMG_0.JPG"), "locked"));
    run.trackFile(QStringLiteral("P2 unreadable/IMG_0.JPG"), test::InSource | test::InProblem, 0);
    ASSERT_TRUE(QFile::setPermissions(run.source + QStringLiteral("/P2 unreadable/IMG_0.JPG"), {}));
    run.addPicture(QStringLiteral("P2 unreadable/IMG_1.JPG"));

    // An empty file: it may go (it is what is there), at most once.
    ASSERT_TRUE(test::writeFile(run.source + QStringLiteral("/P3 empty/IMG_0.JPG"), QByteArray()));
    run.trackFile(QStringLiteral("P3 empty/IMG_0.JPG"), test::InSource | test::InMirror | test::InProblem);
    run.addPicture(QStringLiteral("P3 empty/IMG_1.JPG"));

    // Names that are not valid UTF-8 (a file, and a folder): renamed with %XX, then sent.
    ASSERT_TRUE(QDir().mkpath(run.source + QStringLiteral("/P5 latin1")));
    const QByteArray latin = run.pictureBytes(QStringLiteral("P5 latin1/IMG_\u00e9.JPG"));
    ASSERT_TRUE(writeNative(source + "/P5 latin1/IMG_\xe9.JPG", latin));
    run.trackContent(QStringLiteral("P5 latin1/IMG_%E9.JPG"), latin, test::InMirror, 1, false);
    ASSERT_EQ(::mkdir(QByteArray(source + "/P5 \xff folder").constData(), 0755), 0);
    const QByteArray inBadFolder = run.pictureBytes(QStringLiteral("P5 %FF folder/IMG_0.JPG"));
    ASSERT_TRUE(writeNative(source + "/P5 \xff folder/IMG_0.JPG", inBadFolder));
    run.trackContent(QStringLiteral("P5 %FF folder/IMG_0.JPG"), inBadFolder, test::InMirror, 1, false);
    run.addPicture(QStringLiteral("P5 latin1/IMG_1.JPG"));

    // '"', CR and LF in names, and a name that spells out the request's own boundary.
    run.addPicture(QStringLiteral("P6 names/IMG \"quoted\".JPG"));
    run.addPicture(QStringLiteral("P6 names/IMG\rCR.JPG"));
    run.addPicture(QStringLiteral("P6 names/IMG\nLF.JPG"));
    run.addPicture(QStringLiteral("P6 names/IMG\r\n--0xKhTmLbOuNdArY--\r\n.JPG"));
    run.addPicture(QStringLiteral("P6 names/IMG_9.JPG"));

    // A picture that crashes exiv2: its metadata is lost, the program is not.
    ASSERT_TRUE(test::writeFile(run.source + QStringLiteral("/P10 exiv2/IMG_0.JPG"), nestedCrw(400000)));
    run.trackFile(QStringLiteral("P10 exiv2/IMG_0.JPG"), test::InMirror);
    run.addPicture(QStringLiteral("P10 exiv2/IMG_1.JPG"));

    // And behind all of them, in a folder of its own.
    run.addPicture(QStringLiteral("Z last/IMG_1.JPG"));

    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString() << run.programErrors().right(6000).toStdString();
    EXPECT_TRUE(run.stopProgram());
    // Readable again wherever it went, so that the test can account for its bytes.
    for (const QString &folder : { run.source, run.problem })
        QFile::setPermissions(folder + QStringLiteral("/P2 unreadable/IMG_0.JPG"), QFileDevice::ReadOwner);
    run.verify();

    // The names reached the service without breaking the request.
    QStringList names;
    for (const test::ServiceUpload &upload : run.service.uploads())
        names << upload.filename;
    EXPECT_TRUE(names.contains(QStringLiteral("IMG %22quoted%22.JPG"))) << names.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("IMG%0DCR.JPG")));
    EXPECT_TRUE(names.contains(QStringLiteral("IMG%0ALF.JPG")));
    EXPECT_TRUE(names.contains(QStringLiteral("IMG_%E9.JPG")));
    EXPECT_FALSE(run.programErrors().contains(QStringLiteral("No picture in the request")));
    EXPECT_TRUE(
        run.programErrors().contains(QStringLiteral("Renamed [P5 latin1/IMG_\\xE9.JPG] to [P5 latin1/IMG_%E9.JPG]")));
}
