// The request as it reaches the service: headers, the body byte for byte, file names, content
// types, the kept connection, and a large picture sent without being held in memory.

#include "CaptureServer.h"
#include "UploadHarness.h"
#include "support/TestSupport.h"

#include "diag/Describe.h"
#include "http/Multipart.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace vesk;
using namespace vesk::test;

namespace {

const QByteArray kOkReply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><status>OK</status>"
                            "<message>Stored</message></response>";

struct ParsedRequest {
    QByteArray requestLine;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QList<QByteArray> values(const QByteArray &name) const
    {
        QList<QByteArray> found;
        for (const auto &[key, value] : headers) {
            if (key.toLower() == name.toLower())
                found.append(value);
        }
        return found;
    }
};

ParsedRequest parse(const QByteArray &raw)
{
    ParsedRequest request;
    const qsizetype headEnd = raw.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = raw.left(headEnd).split('\n');
    request.requestLine = lines.value(0).trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        request.headers.append({ lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed() });
    }
    request.body = raw.mid(headEnd + 4);
    return request;
}

// The parts of the request written out by hand, the way the service expects them.
QByteArray part(const char *name, const QByteArray &value)
{
    return "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + QByteArray(name) + "\"\r\n\r\n" + value;
}

// Almost the delimiter line: a picture may hold anything but that.
const QByteArray kPicture = QByteArray("\xFF\xD8\xFF\xE0 JFIF\0\r\n--0xKhTmLbOuNdAr\r\n\xFF\xD9", 32);

class UploadRequest : public ::testing::Test {
protected:
    CaptureServer server;
    UploadHarness harness { server.url() };
    void SetUp() override { server.setReply(200, kOkReply); }
};

} // namespace

TEST_F(UploadRequest, NinePartsWithoutOptionalEntries)
{
    ConsoleRecorder console;
    const QString picture = harness.writePicture(QStringLiteral("IMG_0001.JPG"), kPicture);
    InfoRef item = makeItem(picture, false);
    item->insert(CycleNames::cDictKeyMetaData, QString()); // an empty value still has its part
    const UploadRun run = harness.upload(item);
    ASSERT_TRUE(run.finished);
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(run.succeeded());

    const ParsedRequest request = parse(server.requests().at(0));
    EXPECT_EQ(request.requestLine, "POST /index.php HTTP/1.1");
    EXPECT_EQ(request.values("Content-Type"), QList<QByteArray> { "multipart/form-data; boundary=0xKhTmLbOuNdArY" });
    EXPECT_TRUE(request.values("Expect").isEmpty());
    EXPECT_EQ(request.values("Content-Length"), QList<QByteArray> { QByteArray::number(request.body.size()) });

    const QByteArray expected = part("username", "anna") + part("password", "s3cret") + part("event", "Gala 2026")
        + part("client", "Studio Nord") + part("capturetime", "2026-12-06 13:45:00") + part("metadata", "")
        + part("fuseaction", "upload.add") + part("Submit", "Upload")
        + "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"IMG_0001.JPG\"\r\n"
          "Content-Type: image/jpeg\r\n\r\n"
        + kPicture + "\r\n--0xKhTmLbOuNdArY--\r\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_TRUE(request.body.startsWith("\r\n--0xKhTmLbOuNdArY\r\n"));
    EXPECT_TRUE(request.body.endsWith("--\r\n"));

    EXPECT_EQ(console.count(QStringLiteral("HttpController => doRunHttpUploaderWithInfo...edEmails is NIL????")), 1);
    EXPECT_EQ(
        console.count(QStringLiteral("HttpController => doRunHttpUploaderWithInfo...edOriginalPath is NIL????")), 1);
    EXPECT_TRUE(console.contains(
        QStringLiteral("Inside HttpController => doRunHttpUploaderWithInfo... Start to sendSynchronousRequest")));
}

TEST_F(UploadRequest, ElevenPartsWithEmailsAndOriginalPath)
{
    ConsoleRecorder console;
    const QString picture = harness.writePicture(QStringLiteral("shot.Png"), kPicture);
    const UploadRun run = harness.upload(makeItem(picture, true));
    ASSERT_TRUE(run.finished);
    ASSERT_TRUE(server.waitForRequests(1));

    const QByteArray expected = part("username", "anna") + part("password", "s3cret") + part("event", "Gala 2026")
        + part("client", "Studio Nord") + part("capturetime", "2026-12-06 13:45:00") + part("metadata", "Table 7")
        + part("fuseaction", "upload.add") + part("emails", "a@example.org,b@example.org")
        + part("localfilelocation", "/Volumes/Card/DCIM/IMG_0001.JPG") + part("Submit", "Upload")
        + "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"shot.Png\"\r\n"
          "Content-Type: image/png\r\n\r\n"
        + kPicture + "\r\n--0xKhTmLbOuNdArY--\r\n";
    EXPECT_EQ(parse(server.requests().at(0)).body, expected);
    EXPECT_FALSE(console.contains(QStringLiteral("is NIL????")));
}

TEST_F(UploadRequest, NonAsciiTextsAreSentAsUtf8)
{
    const QString picture = harness.writePicture(QStringLiteral("Fête 1.jpg"), kPicture);
    InfoRef item = makeItem(picture, false);
    item->insert(CycleNames::cDictKeyEventName, QStringLiteral("Größe ✓"));
    ASSERT_TRUE(harness.upload(item).finished);
    ASSERT_TRUE(server.waitForRequests(1));
    const QByteArray body = parse(server.requests().at(0)).body;
    EXPECT_TRUE(body.contains(part("event",
        "Gr\xC3\xB6\xC3\x9F"
        "e \xE2\x9C\x93")));
    EXPECT_TRUE(body.contains("filename=\"F\xC3\xAAte 1.jpg\"\r\n"));
}

TEST_F(UploadRequest, QuoteAndLineBreaksInTheNameCannotBreakTheRequest)
{
    const QString picture = harness.writePicture(QStringLiteral("a\"b\r\nX-Evil: 1\n.jpg"), kPicture);
    const UploadRun run = harness.upload(makeItem(picture, false));
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.succeeded());
    ASSERT_TRUE(server.waitForRequests(1));
    const ParsedRequest request = parse(server.requests().at(0));
    const QByteArray expected
        = "name=\"imgfile\"; filename=\"a%22b%0D%0AX-Evil: 1%0A.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n" + kPicture;
    EXPECT_TRUE(request.body.contains(expected));
    EXPECT_FALSE(request.body.contains("\nX-Evil"));
}

TEST_F(UploadRequest, ANameThatSpellsTheClosingDelimiterCannotEndTheRequestEarly)
{
    // The client field is the name without its extension: written as it is, it would close the
    // body before the picture, and the service would answer that there is no picture.
    const QString picture = harness.writePicture(QStringLiteral("x\r\n--0xKhTmLbOuNdArY--\r\n.jpg"), "bytes");
    InfoRef item = makeItem(picture, true);
    item->insert(CycleNames::cDictKeyClientName, QStringLiteral("x\r\n--0xKhTmLbOuNdArY--\r\n"));
    item->insert(CycleNames::cDictKeyOriginalPath, QStringLiteral("/a\r\n--0xKhTmLbOuNdArY\r\n"));
    ASSERT_TRUE(harness.upload(item).finished);
    ASSERT_TRUE(server.waitForRequests(1));
    const QByteArray body = parse(server.requests().at(0)).body;
    EXPECT_TRUE(body.contains(part("client", "x%0D%0A--0xKhTmLbOuNdArY--%0D%0A")));
    EXPECT_TRUE(body.contains(part("localfilelocation", "/a%0D%0A--0xKhTmLbOuNdArY%0D%0A")));
    // The delimiter occurs only where the parts begin and end: ten fields, the picture, the close.
    EXPECT_EQ(body.count("\r\n--0xKhTmLbOuNdArY"), 12);
    EXPECT_TRUE(body.endsWith("Content-Type: image/jpeg\r\n\r\nbytes\r\n--0xKhTmLbOuNdArY--\r\n"));

    // Line breaks alone are no delimiter and stay as they are.
    InfoRef plain = makeItem(picture, false);
    plain->insert(CycleNames::cDictKeyClientName, QStringLiteral("a\r\nb"));
    EXPECT_TRUE(multipartPrefix(*plain).contains(part("client", "a\r\nb")));
}

TEST_F(UploadRequest, APictureThatHoldsTheClosingDelimiterGoesWithABoundaryItDoesNotHold)
{
    // With the usual boundary the service would end the body inside the picture, keep its first
    // half and answer OK.
    const QByteArray bytes("\xFF\xD8 first half\r\n--0xKhTmLbOuNdArY--\r\nsecond half\xFF\xD9");
    const QString picture = harness.writePicture(QStringLiteral("held.jpg"), bytes);
    ConsoleRecorder console;
    ASSERT_TRUE(harness.upload(makeItem(picture, false)).finished);
    ASSERT_TRUE(server.waitForRequests(1));
    const ParsedRequest request = parse(server.requests().at(0));
    const QByteArray type = request.values("Content-Type").value(0);
    ASSERT_TRUE(type.startsWith("multipart/form-data; boundary=0xKhTmLbOuNdArY-")) << type.toStdString();
    const QByteArray boundary = type.mid(type.indexOf("boundary=") + 9);
    EXPECT_EQ(boundary.size(), 32);
    EXPECT_FALSE(bytes.contains(boundary));
    EXPECT_TRUE(request.body.startsWith(
        QByteArray("\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"username\"")));
    EXPECT_TRUE(
        request.body.endsWith(QByteArray("Content-Type: image/jpeg\r\n\r\n" + bytes + "\r\n--" + boundary + "--\r\n")));
    EXPECT_EQ(request.body.count(QByteArray("\r\n--" + boundary)), 10); // eight fields, the picture, the close
    EXPECT_TRUE(console.contains(QStringLiteral("The picture holds the request's usual boundary")));
}

TEST(MultipartText, TheBoundaryAvoidsADelimiterAnywhereInThePicture)
{
    QTemporaryDir folder;
    const QByteArray delimiter = "\r\n--0xKhTmLbOuNdArY";
    // Where the delimiter straddles the file's reads, at the very start, at the very end; and
    // a file without it.
    for (const qint64 at : { qint64(-1), qint64(0), (qint64(1) << 20) - 7, (qint64(3) << 20) - delimiter.size() }) {
        QByteArray bytes(3 << 20, 'x');
        if (at >= 0)
            bytes.replace(at, delimiter.size(), delimiter);
        const QString path = folder.filePath(QStringLiteral("p.jpg"));
        ASSERT_TRUE(writeFile(path, bytes));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray boundary = boundaryForPicture(file.handle(), file.size());
        if (at < 0) {
            EXPECT_EQ(boundary, QByteArray(kMultipartBoundary));
        } else {
            EXPECT_TRUE(boundary.startsWith("0xKhTmLbOuNdArY-")) << at;
            EXPECT_FALSE(bytes.contains(QByteArray("\r\n--" + boundary))) << at;
        }
        EXPECT_EQ(file.pos(), 0);
    }
}

TEST_F(UploadRequest, TwoUploadsShareOneConnection)
{
    const QString first = harness.writePicture(QStringLiteral("one.jpg"), kPicture);
    const QString second = harness.writePicture(QStringLiteral("two.png"), kPicture);
    EXPECT_TRUE(harness.upload(makeItem(first, false)).succeeded());
    EXPECT_TRUE(harness.upload(makeItem(second, false)).succeeded());
    ASSERT_TRUE(server.waitForRequests(2));
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_TRUE(parse(server.requests().at(1)).body.contains("filename=\"two.png\""));
}

TEST(MultipartText, ContentTypeFollowsThePngExtensionOnly)
{
    for (const char *name : { "shot.png", "shot.Png", "SHOT.PNG", "/a/b.c/x.pNg" })
        EXPECT_EQ(pictureContentType(QString::fromUtf8(name)), QStringLiteral("image/png")) << name;
    for (const char *name : { "a.jpg", "a.jpeg", "a.tif", "noextension", "png", "a.png.jpg", "/a/b.png/c", ".png" })
        EXPECT_EQ(pictureContentType(QString::fromUtf8(name)), QStringLiteral("image/jpeg")) << name;
}

TEST(MultipartText, FileNameIsTheLastPathComponent)
{
    Info item = *makeItem(QStringLiteral("/srv/source/Table 7/IMG_0001.JPG"), false);
    const QByteArray prefix = multipartPrefix(item);
    EXPECT_TRUE(prefix.endsWith("; filename=\"IMG_0001.JPG\"\r\nContent-Type: image/jpeg\r\n\r\n"));
    EXPECT_FALSE(prefix.contains("/srv/source"));
    EXPECT_EQ(lastPathComponent(QStringLiteral("/a/b/")), QStringLiteral("b"));
    EXPECT_EQ(lastPathComponent(QStringLiteral("plain.jpg")), QStringLiteral("plain.jpg"));
}

TEST(MultipartText, MissingRequiredEntriesAreSentEmpty)
{
    const QByteArray prefix = multipartPrefix(Info {});
    const QByteArray opening = part("username", "") + part("password", "");
    EXPECT_TRUE(prefix.startsWith(opening));
    EXPECT_EQ(prefix.count("Content-Disposition"), 9);
    EXPECT_EQ(multipartSuffix(), QByteArray("\r\n--0xKhTmLbOuNdArY--\r\n"));
}

namespace {
// Peak resident memory of this process in KiB, reset by resetPeakMemory().
long peakMemoryKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 20, '\n');
    }
    return -1;
}
bool resetPeakMemory()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}
} // namespace

TEST_F(UploadRequest, LargePictureIsStreamedNotHeldInMemory)
{
    constexpr qint64 kSize = 512LL * 1024 * 1024;
    const QString picture = harness.folder() + QStringLiteral("/big.jpg");
    {
        QFile file(picture);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(kSize)); // sparse: no disk space used
    }
    if (!resetPeakMemory())
        GTEST_SKIP() << "cannot reset the peak memory counter";
    const long before = peakMemoryKiB();
    const UploadRun run = harness.upload(makeItem(picture, false), std::chrono::seconds(240));
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.succeeded()) << describe(run.outcome).toStdString();
    ASSERT_TRUE(server.waitForRequests(1));
    const ParsedRequest request = parse(server.requests().at(0));
    EXPECT_TRUE(request.values("Expect").isEmpty()); // curl would ask for 100-continue on a body this large
    const qint64 announced = request.values("Content-Length").value(0).toLongLong();
    EXPECT_EQ(announced, multipartPrefix(*makeItem(picture, false)).size() + kSize + multipartSuffix().size());
    // Far below the picture's size, with room for what sanitizer builds add.
    EXPECT_LT(peakMemoryKiB() - before, kSize / 4 / 1024);
}
