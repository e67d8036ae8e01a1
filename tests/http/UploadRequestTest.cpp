// One upload through the HTTP client against a capturing server: the request byte for byte, how
// the answer is classified, and failures of the picture that must never send half a picture.

#include "CaptureServer.h"
#include "TestSupport.h"
#include "UploadHarness.h"

#include "http/HttpTransfer.h"
#include "http/Multipart.h"

#include <QDir>
#include <QFile>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;
using namespace vesk::test;

namespace {

const QByteArray kOk = "<?xml version=\"1.0\"?><response><status>OK</status><message>Stored</message></response>";
const QByteArray kBoundary = "0xKhTmLbOuNdArY";

// One part of the request written out by hand, the way the service expects it.
QByteArray part(const char *name, const QByteArray &value)
{
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

// A request's head and body.
std::pair<QByteArray, QByteArray> split(const QByteArray &raw)
{
    const qsizetype end = raw.indexOf("\r\n\r\n");
    return { raw.left(end + 2), raw.mid(end + 4) };
}

class Upload : public ::testing::Test {
protected:
    void SetUp() override { server.setReply(200, kOk); }
    CaptureServer server;
    UploadHarness harness { server.url() };
};

} // namespace

TEST_F(Upload, TheRequestByteForByteOnOneKeptConnection)
{
    // Almost the delimiter line: a picture may hold anything but that.
    const QByteArray picture("\xFF\xD8\xFF\xE0 JFIF\0\r\n--0xKhTmLbOuNdAr\r\n\xFF\xD9", 32);
    for (const bool optional : { true, false }) {
        SCOPED_TRACE(optional);
        const QString name = optional ? QStringLiteral("shot.Png") : QStringLiteral("Fête 1.jpg");
        InfoRef item = makeItem(harness.writePicture(name, picture), optional);
        item->insert(CycleNames::cDictKeyEventName, QStringLiteral("Gala ✓"));
        const Info original = *item;
        const UploadRun run = harness.upload(item);
        ASSERT_TRUE(run.succeeded());
        EXPECT_TRUE(run.onPostingThread);
        EXPECT_TRUE(run.resultWasSeparate);
        EXPECT_TRUE(item->isEmpty()); // emptied once the outcome chain has run
        for (auto it = original.cbegin(); it != original.cend(); ++it)
            EXPECT_EQ(run.outcome.value(it.key()), it.value()) << it.key().toStdString();

        const auto [head, body] = split(server.requests().constLast());
        QByteArray expected = part("username", "anna") + part("password", "s3cret") + part("event", "Gala \xE2\x9C\x93")
            + part("client", "Studio Nord") + part("capturetime", "2026-12-06 13:45:00") + part("metadata", "Table 7")
            + part("fuseaction", "upload.add");
        if (optional)
            expected += part("emails", "a@example.org,b@example.org")
                + part("localfilelocation", "/Volumes/Card/DCIM/IMG_0001.JPG");
        expected += part("Submit", "Upload") + "\r\n--" + kBoundary
            + "\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"" + name.toUtf8()
            + "\"\r\nContent-Type: " + (optional ? "image/png" : "image/jpeg") + "\r\n\r\n" + picture + "\r\n--"
            + kBoundary + "--\r\n";
        EXPECT_EQ(body, expected);
        EXPECT_TRUE(head.startsWith("POST /index.php HTTP/1.1\r\n"));
        EXPECT_TRUE(head.contains(QByteArray("\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n")));
        EXPECT_TRUE(head.contains(QByteArray("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n")));
        EXPECT_FALSE(head.contains("Expect:"));
    }
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST(Multipart, NamesAndPicturesCannotBreakTheRequest)
{
    // Quotes and line breaks in the file name, and a name that spells the closing delimiter.
    InfoRef item = makeItem(QStringLiteral("/x/a\"b\r\n--0xKhTmLbOuNdArY--\r\n.jpg"), true);
    item->insert(CycleNames::cDictKeyClientName, QStringLiteral("x\r\n--0xKhTmLbOuNdArY--\r\n"));
    const QByteArray prefix = multipartPrefix(*item);
    EXPECT_TRUE(prefix.endsWith("filename=\"a%22b%0D%0A--0xKhTmLbOuNdArY--%0D%0A.jpg\"\r\n"
                                "Content-Type: image/jpeg\r\n\r\n"));
    EXPECT_TRUE(prefix.contains(part("client", "x%0D%0A--0xKhTmLbOuNdArY--%0D%0A")));
    EXPECT_EQ(prefix.count("\r\n--0xKhTmLbOuNdArY"), 11); // ten fields and the picture's part
    // Line breaks alone are no delimiter and stay as they are.
    item->insert(CycleNames::cDictKeyClientName, QStringLiteral("a\r\nb"));
    EXPECT_TRUE(multipartPrefix(*item).contains(part("client", "a\r\nb")));

    // A picture that holds the delimiter line (where reads meet, at its start, at its end) goes with a
    // boundary it does not hold; the file is read from its start afterwards.
    QTemporaryDir folder;
    const QByteArray delimiter = "\r\n--" + kBoundary;
    for (const qint64 at : { qint64(-1), qint64(0), (qint64(1) << 20) - 7, (qint64(3) << 20) - delimiter.size() }) {
        QByteArray bytes(3 << 20, 'x');
        if (at >= 0)
            bytes.replace(at, delimiter.size(), delimiter);
        ASSERT_TRUE(writeFile(folder.filePath(QStringLiteral("p.jpg")), bytes));
        QFile file(folder.filePath(QStringLiteral("p.jpg")));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray boundary = boundaryForPicture(file.handle(), file.size());
        EXPECT_EQ(boundary == kBoundary, at < 0) << at;
        EXPECT_FALSE(bytes.contains(QByteArray("\r\n--" + boundary))) << at;
        EXPECT_EQ(file.pos(), 0);
    }
    for (const char *name : { "shot.png", "SHOT.PNG", "/a/b.c/x.pNg" })
        EXPECT_EQ(pictureContentType(QString::fromUtf8(name)), QStringLiteral("image/png")) << name;
    for (const char *name : { "a.jpg", "noextension", "png", "a.png.jpg", "/a/b.png/c", ".png" })
        EXPECT_EQ(pictureContentType(QString::fromUtf8(name)), QStringLiteral("image/jpeg")) << name;
}

TEST_F(Upload, TheAnswerDecidesBetweenSuccessAndFailure)
{
    struct Case {
        const char *what;
        int status;
        QByteArray body;
        qint64 padding;
        bool success;
        const char *word; // the status word kept for the cycle; nullptr: none
    };
    const Case cases[] = {
        { "ok in lower case", 200, "<r><s>ok</s><m>Thanks</m></r>", 0, true, "ok" },
        { "WARNING", 200, "<r><s>WARNING</s><m>Too dark</m></r>", 0, false, "WARNING" },
        { "ERROR", 200, "<r><s>ERROR</s><m>Wrong login</m></r>", 0, false, "ERROR" },
        { "another word", 200, "<r><s>Queued</s><m>later</m></r>", 0, true, "Queued" },
        { "500 saying OK", 500, "<r><s>OK</s><m>m</m></r>", 0, false, "OK" },
        { "404 without words", 404, "<html>Not Found</html>", 0, false, nullptr },
        { "not XML", 200, "<html>oops", 0, true, nullptr },
        { "one child", 200, "<r><s>OK</s></r>", 0, true, nullptr },
        { "empty", 200, "", 0, true, nullptr },
        { "huge: cut and drained", 200, "<r><s>OK</s><m>", 100LL << 20, true, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server.setReply(c.status, c.body, c.padding);
        const UploadRun r = harness.upload(makeItem(harness.writePicture(QStringLiteral("IMG.JPG"), "p"), false));
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.done, 1);
        EXPECT_EQ(r.success + r.fail, 1);
        EXPECT_EQ(r.success == 1, c.success);
        EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpStatusCode).toInt(), c.status);
        EXPECT_FALSE(r.outcome.contains(CycleNames::cDictKeyHttpError));
        EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpCustomStatus).toString(), QString::fromUtf8(c.word));
        EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpReturnData).toByteArray().size(),
            std::min<qint64>(c.body.size() + c.padding, kMaxReplyBytes));
    }
    // A reply that never ends is given up.
    server.setReply(200, "<r>", kMaxDrainedReplyBytes + (1 << 20));
    const UploadRun endless = harness.upload(makeItem(harness.writePicture(QStringLiteral("IMG.JPG"), "p"), false));
    EXPECT_TRUE(endless.failed());
    EXPECT_EQ(endless.outcome.value(CycleNames::cDictKeyHttpError).toMap().value(QStringLiteral("code")).toInt(),
        int(CURLE_WRITE_ERROR));
}

TEST_F(Upload, APictureThatCannotBeReadIsARejectionThatSendsNothing)
{
    const QString folder = harness.folder() + QStringLiteral("/Table7.jpg");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString fifo = harness.folder() + QStringLiteral("/pipe.jpg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString locked = harness.writePicture(QStringLiteral("locked.jpg"), "jpeg");
    QFile::setPermissions(locked, QFileDevice::Permissions());
    const std::pair<QString, const char *> cases[]
        = { { harness.folder() + QStringLiteral("/missing.jpg"), "No such file" }, { folder, "Is a directory" },
              { fifo, "not a regular file" }, { locked, "Permission denied" } };
    for (const auto &[path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        UploadRun run;
        // As a user's program: root's right to read anything does not count.
        withoutFileCapabilities([&] { run = harness.upload(makeItem(path, false)); });
        EXPECT_TRUE(run.failed());
        EXPECT_TRUE(run.itemEmptyAfter);
        EXPECT_EQ(run.outcome.value(CycleNames::cDictKeyHttpCustomStatus).toString(), QStringLiteral("Warning"));
        const QString message = run.outcome.value(CycleNames::cDictKeyHttpCustomMessage).toString();
        EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot read the picture file ") + path))
            << message.toStdString();
        EXPECT_TRUE(message.contains(QLatin1String(reason))) << message.toStdString();
    }
    EXPECT_EQ(server.connectionCount(), 0);
    const UploadRun none = harness.upload(nullptr); // a start without a record still ends in one failure
    EXPECT_EQ(none.done, 1);
    EXPECT_TRUE(none.failed());
}

TEST_F(Upload, APictureThatChangesWhileSentIsATransportFailure)
{
    // It grows once the service has the whole request: the answer is set aside.
    const QString growing = harness.writePicture(QStringLiteral("growing.jpg"), QByteArray(4096, 'a'));
    server.setOnRequest([growing] {
        QFile file(growing);
        if (file.open(QIODevice::Append))
            file.write("more");
    });
    const UploadRun grown = harness.upload(makeItem(growing, false));
    EXPECT_TRUE(grown.failed());
    EXPECT_EQ(grown.outcome.value(CycleNames::cDictKeyHttpError).toMap().value(QStringLiteral("localizedDescription")),
        QStringLiteral("The picture changed while it was being sent"));
    EXPECT_FALSE(grown.outcome.contains(CycleNames::cDictKeyHttpStatusCode)); // nothing that would park it

    // It shrinks while it is read (larger than any socket buffers): the body is never completed.
    server.setOnRequest({});
    const QString shrinking = harness.folder() + QStringLiteral("/shrinking.jpg");
    ASSERT_TRUE(QFile(shrinking).open(QIODevice::WriteOnly) && QFile::resize(shrinking, 64LL << 20));
    server.setOnHead([shrinking] { QFile::resize(shrinking, 1000); });
    const int before = server.requests().size();
    const UploadRun shrunk = harness.upload(makeItem(shrinking, false));
    EXPECT_TRUE(shrunk.failed());
    EXPECT_EQ(shrunk.outcome.value(CycleNames::cDictKeyHttpError).toMap().value(QStringLiteral("localizedDescription")),
        QStringLiteral("The picture became shorter while it was being sent"));
    EXPECT_EQ(server.requests().size(), before);
}
