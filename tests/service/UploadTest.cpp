// The real service over loopback HTTP: what it stores and logs for the uploader's body and for curl's, how it
// names files, whom it lets in, what an aborted upload leaves, and a restart on the same port.

#include "ServiceClient.h"
#include "support/ServiceProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qsizetype words = size / qsizetype(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), words);
    for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file under the folder, uploads.jsonl aside, relative to it.
QStringList storedFiles(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (path != QStringLiteral("uploads.jsonl"))
            result << path;
    }
    result.sort();
    return result;
}

// The peak resident size of a process, from /proc, in KiB.
qint64 peakResidentKiB(qint64 pid)
{
    const QString status = readText(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QString &line : status.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("VmHWM:")))
            return line.mid(6).trimmed().split(QLatin1Char(' ')).value(0).toLongLong();
    }
    return -1;
}

class ServiceUploadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fService.start()) << fService.errorString().toStdString(); }
    void TearDown() override { EXPECT_TRUE(fService.stop()) << fService.log().toStdString(); }

    Reply uploadRaw(const QList<FormField> &fields, const QByteArray &fileName, const QByteArray &content)
    {
        RawConnection connection(fService.port());
        EXPECT_TRUE(connection.send(uploaderRequest(fService.port(), uploaderBody(fields, fileName, content))));
        return connection.readReply(20s);
    }

    ServiceProcess fService;
};

} // namespace

TEST_F(ServiceUploadTest, UploaderBodyIsStoredAndLoggedWithEveryField)
{
    QList<FormField> fields = uploaderFields("Wedding");
    fields.insert(fields.size() - 1, { "emails", "" });
    fields.insert(fields.size() - 1, { "localfilelocation", "/home/me/Pictures/Wedding/IMG_0001.JPG" });
    const QByteArray picture = randomBytes(700 * 1024 + 3, 1);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();

    RawConnection connection(fService.port());
    ASSERT_TRUE(connection.send(uploaderRequest(fService.port(), uploaderBody(fields, "IMG_0001.JPG", picture))));
    const Reply reply = connection.readReply(20s);
    ASSERT_FALSE(reply.transportFailed) << reply.error.toStdString();
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.head.contains("Content-Type: text/xml; charset=utf-8")) << reply.head.toStdString();
    EXPECT_TRUE(reply.body.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><status>OK</status>"
                                      "<message>"))
        << reply.body.toStdString();
    EXPECT_EQ(reply.xmlMessage(), QStringLiteral("Received IMG_0001.JPG for event Wedding"));

    const QList<ServiceUpload> uploads = fService.uploads();
    ASSERT_EQ(uploads.size(), 1);
    const ServiceUpload &upload = uploads.first();
    ASSERT_EQ(upload.fields.size(), fields.size());
    for (const FormField &field : fields)
        EXPECT_EQ(upload.field(QString::fromUtf8(field.name)), QString::fromUtf8(field.value)) << field.name.data();
    EXPECT_TRUE(upload.fields.contains(QStringLiteral("metadata")));
    EXPECT_EQ(upload.filename, QStringLiteral("IMG_0001.JPG"));
    EXPECT_EQ(upload.outcome, QStringLiteral("ok"));
    EXPECT_EQ(upload.size, picture.size());
    EXPECT_EQ(upload.sha256, sha256Of(picture));
    EXPECT_EQ(upload.stored, fService.storage() + QStringLiteral("/Wedding/IMG_0001.JPG"));
    EXPECT_EQ(readBytes(upload.stored), picture);
    EXPECT_LE(before, upload.receivedMs);
    EXPECT_LE(upload.receivedMs, upload.completedMs);
    const QDateTime time = QDateTime::fromString(upload.time, Qt::ISODateWithMs);
    EXPECT_TRUE(time.isValid()) << upload.time.toStdString();
    EXPECT_TRUE(upload.time.contains(QLatin1Char('.'))) << upload.time.toStdString();
    EXPECT_EQ(time.toMSecsSinceEpoch(), upload.completedMs);
    EXPECT_EQ(storedFiles(fService.storage()), QStringList { QStringLiteral("Wedding/IMG_0001.JPG") });

    // The uploader keeps its connection for the next picture.
    ASSERT_TRUE(connection.send(uploaderRequest(fService.port(), uploaderBody(fields, "IMG_0002.JPG", "small"))));
    const Reply second = connection.readReply(20s);
    ASSERT_FALSE(second.transportFailed) << second.error.toStdString();
    EXPECT_EQ(second.xmlStatus(), QStringLiteral("OK"));
    EXPECT_EQ(readBytes(fService.storage() + QStringLiteral("/Wedding/IMG_0002.JPG")), QByteArray("small"));
}

TEST_F(ServiceUploadTest, CurlFormPostsAreStored)
{
    const QByteArray picture = randomBytes(2 * 1024 * 1024 + 11, 2); // large enough for curl to ask for 100-continue
    const Reply plain = postForm(fService.url(), uploaderFields("Garden"), "plain.jpg", picture);
    ASSERT_FALSE(plain.transportFailed) << plain.error.toStdString();
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.xmlStatus(), QStringLiteral("OK"));

    const Reply chunked = postForm(
        fService.url(), { { "event", "Garden" } }, "chunked.jpg", picture, 20s, { "Transfer-Encoding: chunked" });
    ASSERT_FALSE(chunked.transportFailed) << chunked.error.toStdString();
    EXPECT_EQ(chunked.xmlStatus(), QStringLiteral("OK"));

    const QList<ServiceUpload> uploads = fService.uploads();
    ASSERT_EQ(uploads.size(), 2);
    for (const ServiceUpload &upload : uploads) {
        EXPECT_EQ(upload.sha256, sha256Of(picture));
        EXPECT_EQ(readBytes(upload.stored), picture);
        EXPECT_EQ(upload.field(QStringLiteral("event")), QStringLiteral("Garden"));
    }
    EXPECT_EQ(uploads[0].field(QStringLiteral("client")), QStringLiteral("Vesk-FTPUploader 1.0 (Linux)"));
    EXPECT_EQ(uploads[1].fields.size(), 1);
}

TEST_F(ServiceUploadTest, NamesCannotLeaveTheStorageFolder)
{
    QTemporaryDir outside;
    const QString escape = QDir(fService.storage()).relativeFilePath(outside.path());
    EXPECT_EQ(
        uploadRaw(uploaderFields("../../" + escape.toUtf8()), "../../" + escape.toUtf8() + "/x.jpg", "one").xmlStatus(),
        QStringLiteral("OK"));
    EXPECT_EQ(uploadRaw(uploaderFields(""), "say \\\"cheese\\\".jpg", "two").xmlStatus(), QStringLiteral("OK"));
    EXPECT_EQ(uploadRaw(uploaderFields(".."), ".hidden.jpg", "three").xmlStatus(), QStringLiteral("OK"));
    EXPECT_EQ(uploadRaw(uploaderFields("Line\nBreak"), "a\tb.jpg", "four").xmlStatus(), QStringLiteral("OK"));

    const QList<ServiceUpload> uploads = fService.uploads();
    ASSERT_EQ(uploads.size(), 4);
    EXPECT_EQ(uploads[0].filename, QStringLiteral("../../") + escape + QStringLiteral("/x.jpg"));
    EXPECT_EQ(uploads[1].filename, QStringLiteral("say \"cheese\".jpg"));
    EXPECT_EQ(uploads[1].stored, fService.storage() + QStringLiteral("/_/say \"cheese\".jpg"));
    for (const ServiceUpload &upload : uploads) {
        EXPECT_TRUE(upload.stored.startsWith(fService.storage() + QLatin1Char('/'))) << upload.stored.toStdString();
        EXPECT_EQ(QFileInfo(upload.stored).canonicalFilePath(), upload.stored);
        const QString relative = upload.stored.mid(fService.storage().size() + 1);
        for (const QString &component : relative.split(QLatin1Char('/'))) {
            EXPECT_FALSE(component.startsWith(QLatin1Char('.'))) << relative.toStdString();
            EXPECT_FALSE(component.contains(QLatin1Char('\n'))) << relative.toStdString();
        }
    }
    EXPECT_TRUE(QDir(outside.path()).isEmpty());
    EXPECT_EQ(storedFiles(fService.storage()).size(), 4)
        << storedFiles(fService.storage()).join(QLatin1Char(' ')).toStdString();
}

TEST_F(ServiceUploadTest, AnEarlierPictureIsNeverOverwritten)
{
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(uploadRaw(uploaderFields("Party"), "IMG.JPG", "version " + QByteArray::number(i)).xmlStatus(),
            QStringLiteral("OK"));
    EXPECT_EQ(readBytes(fService.storage() + QStringLiteral("/Party/IMG.JPG")), QByteArray("version 1"));
    EXPECT_EQ(readBytes(fService.storage() + QStringLiteral("/Party/IMG (2).JPG")), QByteArray("version 2"));
    EXPECT_EQ(readBytes(fService.storage() + QStringLiteral("/Party/IMG (3).JPG")), QByteArray("version 3"));
    const QList<ServiceUpload> uploads = fService.uploads();
    ASSERT_EQ(uploads.size(), 3);
    EXPECT_EQ(uploads[2].stored, fService.storage() + QStringLiteral("/Party/IMG (3).JPG"));
}

TEST_F(ServiceUploadTest, AbortedUploadStoresAndLogsNothing)
{
    const QByteArray request = uploaderRequest(
        fService.port(), uploaderBody(uploaderFields("Abort"), "cut.jpg", randomBytes(512 * 1024, 3)));
    {
        RawConnection connection(fService.port());
        ASSERT_TRUE(connection.send(request.left(request.size() / 2)));
        ASSERT_TRUE(waitFor([&] { return storedFiles(fService.storage()).size() == 1; }, 10s))
            << "the service should be receiving into a temporary file";
    }
    ASSERT_TRUE(waitFor([&] { return fService.log().contains(QStringLiteral("abandoned")); }, 20s))
        << fService.log().toStdString();
    EXPECT_TRUE(storedFiles(fService.storage()).isEmpty())
        << storedFiles(fService.storage()).join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(fService.uploads().isEmpty());

    // A body whose length is right but whose closing delimiter never comes is no upload either.
    QByteArray truncated = uploaderBody(uploaderFields("Abort"), "short.jpg", "bytes");
    truncated.chop(4);
    RawConnection connection(fService.port());
    ASSERT_TRUE(connection.send(uploaderRequest(fService.port(), truncated)));
    EXPECT_EQ(connection.readReply(20s).status, 400);
    EXPECT_TRUE(storedFiles(fService.storage()).isEmpty());
    EXPECT_TRUE(fService.uploads().isEmpty());
}

TEST_F(ServiceUploadTest, LargeUploadKeepsTheServiceSmall)
{
    const QByteArray picture = randomBytes(64 * 1024 * 1024, 4);
    const qint64 peakBefore = peakResidentKiB(fService.processId());
    ASSERT_GT(peakBefore, 0);
    const Reply reply = postForm(fService.url(), uploaderFields("Big"), "big.jpg", picture, 120s);
    ASSERT_FALSE(reply.transportFailed) << reply.error.toStdString();
    EXPECT_EQ(reply.xmlStatus(), QStringLiteral("OK"));
    const QList<ServiceUpload> uploads = fService.uploads();
    ASSERT_EQ(uploads.size(), 1);
    EXPECT_EQ(uploads.first().size, picture.size());
    EXPECT_EQ(uploads.first().sha256, sha256Of(picture));
    // Far less than the picture: it streams to disk instead of gathering in memory.
    EXPECT_LT(peakResidentKiB(fService.processId()) - peakBefore, 32 * 1024);
}

TEST(ServiceLogins, OnlyListedLoginsAreAccepted)
{
    QTemporaryDir dir;
    const QString users = dir.path() + QStringLiteral("/users");
    ASSERT_TRUE(writeFile(users, "# who may upload\n\n   \nalice:pass:with:colons\r\nbob:\n#mallory:\n"));
    ServiceProcess service({ QStringLiteral("--users"), users });
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();

    const Reply wrongPassword = postForm(service.url(), uploaderFields("Secret", "alice", "nope"), "a.jpg", "A");
    EXPECT_EQ(wrongPassword.status, 200);
    EXPECT_EQ(wrongPassword.xmlStatus(), QStringLiteral("ERROR"));
    EXPECT_EQ(wrongPassword.xmlMessage(), QStringLiteral("Unknown login or wrong password"));
    EXPECT_EQ(postForm(service.url(), uploaderFields("Secret", "mallory", ""), "m.jpg", "M").xmlStatus(),
        QStringLiteral("ERROR"));
    EXPECT_FALSE(QFileInfo::exists(service.storage() + QStringLiteral("/Secret")));

    EXPECT_EQ(postForm(service.url(), uploaderFields("Secret", "alice", "pass:with:colons"), "b.jpg", "B").xmlStatus(),
        QStringLiteral("OK"));
    EXPECT_EQ(
        postForm(service.url(), uploaderFields("Secret", "bob", ""), "c.jpg", "C").xmlStatus(), QStringLiteral("OK"));

    const QList<ServiceUpload> uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 4);
    EXPECT_EQ(uploads[0].outcome, QStringLiteral("error"));
    EXPECT_TRUE(uploads[0].stored.isEmpty());
    EXPECT_EQ(uploads[1].outcome, QStringLiteral("error"));
    EXPECT_EQ(uploads[2].outcome, QStringLiteral("ok"));
    EXPECT_EQ(readBytes(uploads[2].stored), QByteArray("B"));
    EXPECT_EQ(uploads[3].outcome, QStringLiteral("ok"));
    EXPECT_TRUE(service.stop());
}

TEST(ServiceRestart, SamePortAfterAnOutage)
{
    ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    const int port = service.port();
    ASSERT_EQ(postForm(service.url(), uploaderFields("Before"), "1.jpg", "1").xmlStatus(), QStringLiteral("OK"));

    // A kept-alive idle connection and a request half sent must not hold up the stop.
    RawConnection idle(port);
    ASSERT_TRUE(idle.send(uploaderRequest(port, uploaderBody(uploaderFields("Before"), "2.jpg", "2"))));
    ASSERT_EQ(idle.readReply(20s).status, 200);
    RawConnection halfway(port);
    ASSERT_TRUE(halfway.send(uploaderRequest(port, uploaderBody(uploaderFields("Before"), "3.jpg", "3")).left(200)));
    EXPECT_TRUE(service.stop()) << service.errorString().toStdString() << service.log().toStdString();
    EXPECT_TRUE(idle.closedWithoutReply(10s));

    const Reply during = postForm(service.url(), uploaderFields("During"), "x.jpg", "x", 5s);
    EXPECT_TRUE(during.transportFailed);
    EXPECT_EQ(during.status, 0);

    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    EXPECT_EQ(service.port(), port);
    EXPECT_EQ(postForm(service.url(), uploaderFields("After"), "4.jpg", "4").xmlStatus(), QStringLiteral("OK"));
    const QList<ServiceUpload> uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 3);
    EXPECT_EQ(uploads[2].field(QStringLiteral("event")), QStringLiteral("After"));
    EXPECT_TRUE(service.stop());
}

// The link model: --rate paces the body (the service's own times show it), --latency holds the answer
// back once the body is in. Only lower bounds: a loaded machine may add, never take away.
TEST(ServiceLinkModel, RatePacesTheBodyAndLatencyHoldsTheAnswerBack)
{
    struct Case {
        const char *option, *value;
        qint64 minBodyMs, minHoldMs;
    };
    const Case cases[] = {
        { "--rate", "4096", 500, 0 }, // 256 KiB and the fields: over 2,097,152 bits at 4,096,000 bit/s
        { "--latency", "400", 0, 400 },
    };
    const QByteArray picture = randomBytes(256 * 1024, 7);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option);
        ServiceProcess service({ QLatin1String(c.option), QLatin1String(c.value) });
        ASSERT_TRUE(service.start()) << service.errorString().toStdString();
        const Reply reply = postForm(service.url(), uploaderFields("Link"), "link.jpg", picture);
        const qint64 answeredMs = QDateTime::currentMSecsSinceEpoch();
        EXPECT_EQ(reply.xmlStatus(), QStringLiteral("OK")) << reply.error.toStdString();
        const QList<ServiceUpload> uploads = service.uploads();
        ASSERT_EQ(uploads.size(), 1);
        EXPECT_EQ(uploads[0].sha256, sha256Of(picture));
        EXPECT_GE(uploads[0].completedMs - uploads[0].receivedMs, c.minBodyMs);
        EXPECT_GE(answeredMs - uploads[0].completedMs, c.minHoldMs);
        EXPECT_TRUE(service.stop());
    }
}

TEST_F(ServiceUploadTest, PageListsPicturesAndServesOnlyStoredFiles)
{
    ASSERT_EQ(uploadRaw(uploaderFields("Wedding"), "IMG <1>.JPG", "first").xmlStatus(), QStringLiteral("OK"));
    ASSERT_EQ(uploadRaw(uploaderFields("Wedding"), "IMG_0002.JPG", "second").xmlStatus(), QStringLiteral("OK"));
    const Reply page = getUrl(fService.baseUrl() + QStringLiteral("/"));
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.head.contains("text/html"));
    const QString html = QString::fromUtf8(page.body);
    EXPECT_TRUE(html.contains(QStringLiteral("IMG &lt;1&gt;.JPG"))) << html.toStdString();
    EXPECT_FALSE(html.contains(QStringLiteral("IMG <1>")));
    EXPECT_LT(html.indexOf(QStringLiteral("IMG_0002.JPG")), html.indexOf(QStringLiteral("IMG &lt;1&gt;.JPG")))
        << "newest first";
    EXPECT_TRUE(html.contains(QStringLiteral("/files/Wedding/IMG_0002.JPG")));

    const Reply file = getUrl(fService.baseUrl() + QStringLiteral("/files/Wedding/IMG%20%3C1%3E.JPG"));
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, QByteArray("first"));

    ASSERT_TRUE(writeFile(fService.storage() + QStringLiteral("/secret.txt"), "secret"));
    for (const QString &path :
        { QStringLiteral("/files/Wedding/..%2F..%2Fsecret.txt"), QStringLiteral("/files/%2E%2E/secret.txt"),
            QStringLiteral("/files/secret.txt"), QStringLiteral("/files/Wedding/missing.jpg"),
            QStringLiteral("/uploads.jsonl"), QStringLiteral("/nothing/here") }) {
        const Reply reply = getUrl(fService.baseUrl() + path);
        EXPECT_EQ(reply.status, 404) << path.toStdString();
        EXPECT_FALSE(reply.body.contains("secret")) << path.toStdString();
    }
    EXPECT_NE(getUrl(fService.url()).status, 200);
}
