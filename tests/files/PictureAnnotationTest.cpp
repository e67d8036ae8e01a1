// The annotation in the EXIF user comment, its Mac OS Roman escaping, and the content-based picture
// check.

#include "files/PictureAnnotation.h"
#include "FilesTestSupport.h"
#include "files/CaptureDates.h"
#include "files/ImageCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;
using namespace vesk::test;

namespace {

std::string plistWith(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>"
        + body + "</dict></plist>\n";
}

std::string emails(std::initializer_list<const char *> addresses)
{
    std::string body = "<key>QX_emailsForUpload</key><array>";
    for (const char *address : addresses)
        body += std::string("<string>") + address + "</string>";
    return body + "</array>";
}

std::string originalPath(const std::string &path)
{
    return "<key>OriginalPath</key><string>" + path + "</string>";
}

class Annotation : public ::testing::Test {
protected:
    QString pictureWithComment(const std::string &comment)
    {
        const QString path = fDir.path() + QStringLiteral("/p%1.jpg").arg(++fCount);
        EXPECT_TRUE(makeJpeg(path));
        EXPECT_TRUE(writeUserComment(path, comment));
        return path;
    }
    QTemporaryDir fDir;
    ConsoleRecorder fConsole;
    int fCount = 0;
};

} // namespace

TEST_F(Annotation, FirstFourAddressesInOrder)
{
    const QString path = pictureWithComment(
        "charset=Ascii " + plistWith(emails({ "a@x.org", "b@x.org", "c@x.org", "d@x.org", "e@x.org", "f@x.org" })));
    const PictureAnnotation annotation = readPictureAnnotation(path);
    ASSERT_TRUE(annotation.emails);
    EXPECT_EQ(*annotation.emails, QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org"));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("READ IN the List Of Emails: [a@x.org,b@x.org,c@x.org,d@x.org]")));
    EXPECT_FALSE(annotation.originalPath);
    EXPECT_TRUE(fConsole.contains(QStringLiteral("NO Original Path in this image file")));
}

TEST_F(Annotation, FewerAddressesAndEmptyList)
{
    const auto annotationOf
        = [](const std::string &body) { return parsePictureAnnotation(QString::fromStdString(plistWith(body))); };
    EXPECT_EQ(annotationOf(emails({ "one@x.org" })).emails, QStringLiteral("one@x.org"));
    EXPECT_EQ(annotationOf(emails({ "one@x.org", "two@x.org" })).emails, QStringLiteral("one@x.org,two@x.org"));
    fConsole.clear();
    EXPECT_FALSE(annotationOf(emails({})).emails);
    EXPECT_FALSE(fConsole.contains(QStringLiteral("READ IN the List Of Emails")));
    // A single text where a list belongs gives no addresses.
    EXPECT_FALSE(annotationOf("<key>QX_emailsForUpload</key><string>a@x.org</string>").emails);
}

TEST_F(Annotation, UnicodeCommentIsRead)
{
    const QString path = pictureWithComment(
        "charset=Unicode " + plistWith(emails({ "zoë@x.org" }) + originalPath("/Volumes/Event Disk/Café/IMG 1.jpg")));
    const PictureAnnotation annotation = readPictureAnnotation(path);
    EXPECT_EQ(annotation.emails, QStringLiteral("zoë@x.org"));
    EXPECT_EQ(annotation.originalPath, QStringLiteral("/Volumes/Event%20Disk/Caf%8E/IMG%201.jpg"));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("edOriginalPath: [/Volumes/Event%20Disk/Caf%8E/IMG%201.jpg]")));
    EXPECT_FALSE(fConsole.contains(QStringLiteral("NO Original Path")));
}

TEST_F(Annotation, PlainTextCommentGivesNeither)
{
    const PictureAnnotation annotation = readPictureAnnotation(pictureWithComment("charset=Ascii Happy birthday"));
    EXPECT_FALSE(annotation.emails);
    EXPECT_FALSE(annotation.originalPath);
    EXPECT_TRUE(fConsole.contains(QStringLiteral("NO Original Path in this image file")));

    // A property list whose root is not a dictionary is no annotation either.
    const PictureAnnotation list = readPictureAnnotation(
        pictureWithComment("charset=Ascii <plist version=\"1.0\"><array><string>x</string></array></plist>"));
    EXPECT_FALSE(list.emails);
    EXPECT_FALSE(list.originalPath);
}

TEST_F(Annotation, PicturesWithoutAnnotationGiveNeither)
{
    const QString plain = fDir.path() + QStringLiteral("/plain.jpg");
    ASSERT_TRUE(makeJpeg(plain));
    const PictureAnnotation none = readPictureAnnotation(plain);
    EXPECT_FALSE(none.emails || none.originalPath);
    EXPECT_FALSE(fConsole.contains(QStringLiteral("NO Original Path")));

    const QString text = fDir.path() + QStringLiteral("/text.jpg");
    ASSERT_TRUE(writeFile(text, plistWith(originalPath("/a")).c_str()));
    const PictureAnnotation notAPicture = readPictureAnnotation(text);
    EXPECT_FALSE(notAPicture.emails || notAPicture.originalPath);

    const PictureAnnotation missing = readPictureAnnotation(fDir.path() + QStringLiteral("/missing.jpg"));
    EXPECT_FALSE(missing.emails || missing.originalPath);
}

TEST_F(Annotation, OriginalPathThatMacRomanCannotWrite)
{
    const PictureAnnotation annotation = parsePictureAnnotation(
        QString::fromStdString(plistWith(emails({ "a@x.org" }) + originalPath("/Volumes/Wydarzenie/Zdjęcie ą.jpg"))));
    EXPECT_FALSE(annotation.originalPath);
    EXPECT_EQ(annotation.emails, QStringLiteral("a@x.org"));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("OriginalPath has characters that Mac OS Roman cannot write")));
    EXPECT_FALSE(fConsole.contains(QStringLiteral("edOriginalPath:")));
}

TEST_F(Annotation, DamagedPicturesNeverThrow)
{
    const QString whole
        = pictureWithComment("charset=Unicode " + plistWith(emails({ "a@x.org" }) + originalPath("/a b")));
    ASSERT_TRUE(writeExif(whole, { { "Exif.Photo.DateTimeOriginal", "2009:11:17 14:03:22" } }));
    QFile file(whole);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QString damaged = fDir.path() + QStringLiteral("/damaged.jpg");
    // Every cut through the metadata, and the same bytes with one of them flipped.
    for (qsizetype cut = 0; cut < std::min<qsizetype>(bytes.size(), 1200); cut += 5) {
        QByteArray flipped = bytes;
        flipped[cut] = static_cast<char>(flipped[cut] ^ 0x5A);
        for (const QByteArray &variant : { bytes.left(cut), flipped }) {
            ASSERT_TRUE(writeFile(damaged, variant));
            readPictureAnnotation(damaged);
            GetAndUpdateFileCreationDate(damaged, true, false);
            IsValidImageObject(damaged);
        }
    }
}

TEST(MacRomanEscapes, EscapesWhatAUrlCannotHold)
{
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("AZaz09!$&'()*+,-./:;=?@_~#")),
        QStringLiteral("AZaz09!$&'()*+,-./:;=?@_~#"));
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("a b%c\"d<e>f[g]h{i}j|k\\l^m`n")),
        QStringLiteral("a%20b%25c%22d%3Ce%3Ef%5Bg%5Dh%7Bi%7Dj%7Ck%5Cl%5Em%60n"));
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("é")), QStringLiteral("%8E"));
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("e\u0301")), QStringLiteral("%8E")); // decomposed
    EXPECT_EQ(percentEscapeMacRoman(QStringLiteral("Ünïcødé €")), QStringLiteral("%86n%95c%BFd%8E%20%DB"));
    EXPECT_EQ(percentEscapeMacRoman(QString()), QString());
    EXPECT_FALSE(percentEscapeMacRoman(QStringLiteral("写真")));
}

TEST(PictureCheck, JudgesByContentNotByName)
{
    QTemporaryDir dir;
    const QString jpegNamedText = dir.path() + QStringLiteral("/photo.txt");
    ASSERT_TRUE(makeJpeg(jpegNamedText));
    EXPECT_TRUE(IsValidImageObject(jpegNamedText));

    const QString pngWithoutExtension = dir.path() + QStringLiteral("/photo");
    ASSERT_TRUE(makePng(pngWithoutExtension));
    EXPECT_TRUE(IsValidImageObject(pngWithoutExtension));

    const QString textNamedJpeg = dir.path() + QStringLiteral("/notes.jpg");
    ASSERT_TRUE(writeFile(textNamedJpeg, "Shopping list: film, batteries"));
    EXPECT_FALSE(IsValidImageObject(textNamedJpeg));

    const QString emptyJpeg = dir.path() + QStringLiteral("/empty.jpg");
    ASSERT_TRUE(writeFile(emptyJpeg, QByteArray()));
    EXPECT_FALSE(IsValidImageObject(emptyJpeg));

    const QString xmpSidecar = dir.path() + QStringLiteral("/photo.xmp");
    ASSERT_TRUE(writeFile(xmpSidecar,
        "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
        "</x:xmpmeta>\n<?xpacket end=\"w\"?>"));
    EXPECT_FALSE(IsValidImageObject(xmpSidecar));

    EXPECT_FALSE(IsValidImageObject(dir.path()));
    EXPECT_FALSE(IsValidImageObject(dir.path() + QStringLiteral("/missing.jpg")));
}

TEST(PictureCheck, PipeIsNeverOpened)
{
    // Reading a pipe that no one writes to would block the scan or the purge for good.
    QTemporaryDir dir;
    const QString pipe = dir.path() + QStringLiteral("/pipe.jpg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_FALSE(IsValidImageObject(pipe));
    const PictureAnnotation annotation = readPictureAnnotation(pipe);
    EXPECT_FALSE(annotation.emails || annotation.originalPath);
}

TEST(PictureCheck, AbsentPathIsReported)
{
    ConsoleRecorder console;
    EXPECT_FALSE(IsValidImageObject(QString()));
    EXPECT_TRUE(console.contains(QStringLiteral("NSLog IsValidImageObject => Passed a nil objectPath!!")));
}

TEST_F(Annotation, AnAnnotationHoldingANulCharacterGivesNeitherEntry)
{
    const QString text = QString::fromUtf8(QByteArray(
        "<plist><dict><key>QX_emailsForUpload</key><array><string>a@x\0.org</string></array></dict></plist>", 97));
    const PictureAnnotation annotation = parsePictureAnnotation(text);
    EXPECT_FALSE(annotation.emails);
    EXPECT_FALSE(annotation.originalPath);
}
