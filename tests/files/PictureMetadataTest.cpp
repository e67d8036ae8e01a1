// The scan's metadata reading in the helper process: the same answer as reading in process, and a
// picture that crashes exiv2, a helper that hangs or babbles, cost the picture its metadata and
// nothing else.

#include "FilesTestSupport.h"
#include "support/TestSupport.h"

#include "files/CaptureDates.h"
#include "files/PictureAnnotation.h"
#include "files/PictureMetadata.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstring>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

// A Canon RAW heap whose directories nest levels deep: exiv2 0.27 reads it recursively, without a
// limit, and overflows its stack at some tens of thousands of levels (16 bytes each).
QByteArray nestedCrw(int levels)
{
    QByteArray heap("\0\0\0\0\0\0", 6); // innermost: no entries, table at 0
    for (int i = 0; i < levels; ++i) {
        const quint32 child = quint32(heap.size());
        char entry[16];
        const quint16 count = 1, tag = 0x300a; // one entry: a sub-directory over the heap so far
        const quint32 offset = 0;
        std::memcpy(entry, &count, 2);
        std::memcpy(entry + 2, &tag, 2);
        std::memcpy(entry + 4, &child, 4);
        std::memcpy(entry + 8, &offset, 4);
        std::memcpy(entry + 12, &child, 4); // where this level's table starts
        heap.append(entry, 16);
    }
    QByteArray header("II\x1a\0\0\0HEAPCCDR\x02\0\x01\0", 18);
    header.append(0x1a - header.size(), '\0');
    return header + heap;
}

class Metadata : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fDir.isValid());
        qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(test::buildBinFolder()));
    }
    void TearDown() override { qunsetenv("VESK_LIBEXEC_DIR"); }
    QString file(const QString &name) const { return fDir.filePath(name); }
    // A helper of the test's own making, run instead of the real one.
    void fakeHelper(const QByteArray &script)
    {
        QDir().mkpath(file(QStringLiteral("libexec")));
        const QString helper = file(QStringLiteral("libexec/vesk-picture-info"));
        ASSERT_TRUE(test::writeFile(helper, "#!/bin/sh\n" + script + "\n"));
        QFile::setPermissions(helper, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(file(QStringLiteral("libexec"))));
    }
    QTemporaryDir fDir;
};

} // namespace

TEST_F(Metadata, TheHelperAnswersWhatReadingInProcessGives)
{
    const QString picture = file(QStringLiteral("IMG_0001.JPG"));
    ASSERT_TRUE(test::makeJpeg(picture));
    ASSERT_TRUE(test::writeExif(picture, { { "Exif.Photo.DateTimeOriginal", "2009:11:17 14:03:22" } }));
    ASSERT_TRUE(test::writeUserComment(picture,
        "charset=Unicode <plist><dict><key>OriginalPath</key><string>/Card/F\xC3\xAAte.JPG</string>"
        "<key>QX_emailsForUpload</key><array><string>a@x.org</string></array></dict></plist>"));

    const PictureMetadata viaHelper = readPictureMetadata(picture, 20s);
    const PictureMetadata here = readPictureMetadataInProcess(picture);
    ASSERT_TRUE(viaHelper.captureDate);
    EXPECT_EQ(viaHelper, here);
    EXPECT_EQ(
        viaHelper.captureDate->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), QStringLiteral("2009-11-17 14:03:22"));
    ASSERT_TRUE(viaHelper.comment);
    EXPECT_EQ(parsePictureAnnotation(*viaHelper.comment).emails, QStringLiteral("a@x.org"));

    // Without metadata, and for a file that is no picture: nothing, the same way.
    const QString plain = file(QStringLiteral("plain.JPG"));
    ASSERT_TRUE(test::writeFile(plain, "not a picture"));
    EXPECT_EQ(readPictureMetadata(plain, 20s), PictureMetadata());
    EXPECT_EQ(readPictureMetadata(file(QStringLiteral("missing.JPG")), 20s), PictureMetadata());
}

TEST_F(Metadata, APictureThatCrashesExiv2CostsOnlyItsMetadata)
{
    const QString picture = file(QStringLiteral("IMG_0002.JPG")); // named like a JPEG, read as CRW
    ASSERT_TRUE(test::writeFile(picture, nestedCrw(400000)));
    test::ConsoleRecorder console;
    EXPECT_EQ(readPictureMetadata(picture, 20s), PictureMetadata());
    // A crash, or under a sanitizer its report and exit.
    EXPECT_TRUE(console.contains(QStringLiteral("The picture's metadata could not be read (the reader crashed)"))
        || console.contains(QStringLiteral("vesk-picture-info gave no answer")));

    // The next picture is read by a new helper.
    const QString next = file(QStringLiteral("IMG_0003.JPG"));
    ASSERT_TRUE(test::makeJpeg(next));
    ASSERT_TRUE(test::writeExif(next, { { "Exif.Photo.DateTimeOriginal", "2012:03:04 05:06:07" } }));
    EXPECT_TRUE(readPictureMetadata(next, 20s).captureDate);
}

TEST_F(Metadata, OneHelperServesPictureAfterPictureUntilItFails)
{
    // Each answer names the process that gave it.
    const QString log = file(QStringLiteral("answers"));
    fakeHelper("while read line; do echo $$ >> '" + QFile::encodeName(log) + "'; echo end; done");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readPictureMetadata(file(QStringLiteral("any.JPG")), 20s), PictureMetadata());
    QStringList pids = test::readText(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(pids.size(), 3);
    EXPECT_EQ(pids.count(pids.first()), 3);

    // Killed from outside between pictures: the next picture starts another.
    ASSERT_EQ(::kill(pids.first().toInt(), SIGKILL), 0);
    test::ConsoleRecorder console;
    EXPECT_EQ(readPictureMetadata(file(QStringLiteral("any.JPG")), 20s), PictureMetadata());
    pids = test::readText(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(pids.size(), 4);
    EXPECT_NE(pids.last(), pids.first());
}

TEST_F(Metadata, AHelperThatHangsIsGivenUpAtTheLimit)
{
    fakeHelper("exec sleep 60");
    test::ConsoleRecorder console;
    EXPECT_EQ(readPictureMetadata(file(QStringLiteral("any.JPG")), 300ms), PictureMetadata());
    EXPECT_TRUE(console.contains(QStringLiteral("Reading the picture's metadata took too long")));
}

TEST_F(Metadata, AnAnswerThatIsNotWholeIsNoAnswer)
{
    fakeHelper("echo 'capture 1258466602000'");
    test::ConsoleRecorder console;
    EXPECT_EQ(readPictureMetadata(file(QStringLiteral("any.JPG")), 20s), PictureMetadata());
    EXPECT_TRUE(console.contains(QStringLiteral("gave no answer")));

    EXPECT_EQ(decodePictureMetadata("capture x\nend\n"), std::nullopt);
    EXPECT_EQ(decodePictureMetadata("what\nend\n"), std::nullopt);
    EXPECT_EQ(decodePictureMetadata("end\n"), PictureMetadata());
    const PictureMetadata full { QDateTime::fromMSecsSinceEpoch(1258466602000), QStringLiteral("2009-11-17 14:03:22"),
        QStringLiteral("a\nb\0c") };
    EXPECT_EQ(decodePictureMetadata(encodePictureMetadata(full)), full);
}

TEST_F(Metadata, WithoutAHelperThePictureIsReadInProcess)
{
    qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(file(QStringLiteral("nothing-here"))));
    const QString picture = file(QStringLiteral("IMG_0003.JPG"));
    ASSERT_TRUE(test::makeJpeg(picture));
    ASSERT_TRUE(test::writeExif(picture, { { "Exif.Photo.DateTimeOriginal", "2011:01:02 03:04:05" } }));
    const PictureMetadata metadata = readPictureMetadata(picture, 20s);
    ASSERT_TRUE(metadata.captureDate);
    EXPECT_EQ(
        metadata.captureDate->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), QStringLiteral("2011-01-02 03:04:05"));
}
