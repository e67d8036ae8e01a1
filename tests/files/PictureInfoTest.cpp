// What the scan reads from a picture besides its date: the annotation in the EXIF user comment
// with its Mac OS Roman escaping, the check that a file is a picture, and the helper process that
// reads them so that a picture which crashes the EXIF library costs only its metadata.

#include "FilesTestSupport.h"
#include "TestSupport.h"

#include "files/ImageCheck.h"
#include "files/PictureAnnotation.h"
#include "files/PictureMetadata.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;
using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

std::string annotation(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body + "</dict></plist>\n";
}

std::string emails(std::initializer_list<const char *> addresses)
{
    std::string body = "<key>QX_emailsForUpload</key><array>";
    for (const char *address : addresses)
        body += std::string("<string>") + address + "</string>";
    return body + "</array>";
}

} // namespace

TEST(PictureAnnotation, TheFirstFourAddressesAndTheOriginalPathInMacOSRoman)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.jpg"));
    ASSERT_TRUE(makeJpeg(path));
    ASSERT_TRUE(writeUserComment(path,
        "charset=Unicode "
            + annotation(emails({ "zoë@x.org", "b@x.org", "c@x.org", "d@x.org", "e@x.org" })
                + "<key>OriginalPath</key><string>/Volumes/Event Disk/Café/IMG 1.jpg</string>")));
    const PictureAnnotation read = readPictureAnnotation(path);
    EXPECT_EQ(read.emails, QStringLiteral("zoë@x.org,b@x.org,c@x.org,d@x.org"));
    EXPECT_EQ(read.originalPath, QStringLiteral("/Volumes/Event%20Disk/Caf%8E/IMG%201.jpg"));

    struct Case {
        std::string comment;
        const char *emails; // nullptr: none
        const char *originalPath;
    };
    const Case cases[] = {
        { annotation(emails({ "one@x.org" })), "one@x.org", nullptr },
        { annotation(emails({})), nullptr, nullptr },
        { annotation("<key>QX_emailsForUpload</key><string>a@x.org</string>"), nullptr, nullptr },
        { annotation(emails({ "a@x.org" }) + "<key>OriginalPath</key><string>/Zdjęcie ą.jpg</string>"), "a@x.org",
            nullptr },
        { "Happy birthday", nullptr, nullptr },
        { "<plist version=\"1.0\"><array><string>x</string></array></plist>", nullptr, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.comment);
        const PictureAnnotation parsed = parsePictureAnnotation(QString::fromStdString(c.comment));
        EXPECT_EQ(parsed.emails, c.emails ? std::optional(QString::fromUtf8(c.emails)) : std::nullopt);
        EXPECT_EQ(
            parsed.originalPath, c.originalPath ? std::optional(QString::fromUtf8(c.originalPath)) : std::nullopt);
    }
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("AZaz09!$&'()*+,-./:;=?@_~#")),
        QStringLiteral("AZaz09!$&'()*+,-./:;=?@_~#"));
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("a b%c\"d<e>f[g]h{i}j|k\\l^m`n")),
        QStringLiteral("a%20b%25c%22d%3Ce%3Ef%5Bg%5Dh%7Bi%7Dj%7Ck%5Cl%5Em%60n"));
    EXPECT_EQ(
        percentEscapeMacRoman(QStringLiteral("e\u0301 Ünïcødé €")), QStringLiteral("%8E%20%86n%95c%BFd%8E%20%DB"));
    EXPECT_FALSE(percentEscapeMacRoman(QStringLiteral("写真")));
}

TEST(PictureMetadata, TheHelperAnswersAsTheProgramWouldOrNotAtAll)
{
    QTemporaryDir dir;
    qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(buildBinFolder()));
    const QString picture = dir.filePath(QStringLiteral("IMG_0001.JPG"));
    ASSERT_TRUE(makeJpeg(picture, { { "Exif.Photo.DateTimeOriginal", "2009:11:17 14:03:22" } }));
    ASSERT_TRUE(writeUserComment(picture, "charset=Unicode " + annotation(emails({ "a@x.org" }))));
    const PictureMetadata viaHelper = readPictureMetadata(picture, 20s);
    ASSERT_TRUE(viaHelper.captureDate);
    EXPECT_EQ(viaHelper, readPictureMetadataInProcess(picture));
    EXPECT_EQ(parsePictureAnnotation(*viaHelper.comment).emails, QStringLiteral("a@x.org"));
    EXPECT_EQ(readPictureMetadata(dir.filePath(QStringLiteral("missing.JPG")), 20s), PictureMetadata());
    // Without a helper the picture is read in process.
    qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(dir.filePath(QStringLiteral("nothing-here"))));
    EXPECT_EQ(readPictureMetadata(picture, 20s), viaHelper);

    // A helper that hangs is given up at the limit.
    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("libexec/vesk-picture-info")), "#!/bin/sh\nexec sleep 60\n"));
    QFile::setPermissions(
        dir.filePath(QStringLiteral("libexec/vesk-picture-info")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(dir.filePath(QStringLiteral("libexec"))));
    EXPECT_EQ(readPictureMetadata(picture, 300ms), PictureMetadata());
    qunsetenv("VESK_LIBEXEC_DIR");
    EXPECT_EQ(decodePictureMetadata("capture x\nend\n"), std::nullopt);
    EXPECT_EQ(decodePictureMetadata("what\nend\n"), std::nullopt);
    const PictureMetadata full { QDateTime::fromMSecsSinceEpoch(1258466602000), QStringLiteral("2009-11-17 14:03:22"),
        QStringLiteral("a\nb\0c") };
    EXPECT_EQ(decodePictureMetadata(encodePictureMetadata(full)), full);
}
