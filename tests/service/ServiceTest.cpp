// The substitute service's contract: the body parsed alike in any pieces, stored names that cannot
// leave the storage folder, no picture ever overwritten, and nothing kept of an upload that broke
// off. Its fault rules are exercised by the fault scenarios.

#include "MultipartParser.h"
#include "ServiceProcess.h"
#include "TestSupport.h"
#include "UploadStore.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace vesk;
using namespace vesk::service;
using namespace std::chrono_literals;

namespace {

struct Part {
    PartHeader header;
    std::string data;
    bool ended = false;
};

struct Parsed {
    std::vector<Part> parts;
    bool complete = false;
    bool failed = false;
};

// Feeds the body in pieces of the given size and records what comes out.
Parsed parse(const std::string &boundary, const QByteArray &body, qsizetype piece)
{
    Parsed result;
    MultipartParser parser(boundary);
    parser.onPartBegin = [&](const PartHeader &header) {
        result.parts.push_back({ header, {}, false });
        return true;
    };
    parser.onPartData = [&](const char *data, size_t size) {
        result.parts.back().data.append(data, size);
        return true;
    };
    parser.onPartEnd = [&] { return result.parts.back().ended = true; };
    for (qsizetype at = 0; at < body.size(); at += piece) {
        if (!parser.feed(body.constData() + at, size_t(std::min(piece, body.size() - at))))
            break;
    }
    result.complete = parser.isComplete();
    result.failed = parser.hasFailed();
    return result;
}

// The uploader's body: a CR LF, the fields, then the picture as imgfile.
QByteArray uploaderBody(const QByteArray &event, const QByteArray &fileName, const QByteArray &picture)
{
    QByteArray body;
    for (const auto &[name, value] : { std::pair<QByteArray, QByteArray> { "username", "photographer" },
             { "event", event }, { "metadata", "" }, { "Submit", "Upload" } })
        body += "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
    return body + "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"" + fileName
        + "\"\r\nContent-Type: image/jpeg\r\n\r\n" + picture + "\r\n--0xKhTmLbOuNdArY--\r\n";
}

QStringList storedFiles(const QString &root)
{
    QStringList result;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (path != QStringLiteral("uploads.jsonl"))
            result << path;
    }
    return result;
}

// Sends a request of the body, up to length bytes of it, on a new connection; answers the socket.
int sendRequest(int port, const QByteArray &body, qsizetype length, const QByteArray &method = "POST")
{
    const QByteArray request = method
        + " /index.php HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
          "Content-Type: multipart/form-data; boundary=0xKhTmLbOuNdArY\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const qsizetype size = request.size() - body.size() + length;
    EXPECT_EQ(::send(fd, request.constData(), size_t(size), MSG_NOSIGNAL), size);
    return fd;
}

// Reads the answer until the service closes the connection (bounded), then closes the socket.
QByteArray readReply(int fd)
{
    const timeval limit { 20, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QByteArray reply;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, n);
    ::close(fd);
    return reply;
}

} // namespace

TEST(ServiceParser, TheBodyParsesAlikeInAnyPieces)
{
    // Picture bytes with near-misses of the delimiter, one of them cut by a piece boundary.
    const QByteArray picture = "\xff\xd8\r\n--0xKhTmLbOuNd--0xKhTmLbOuNdArY\r\n\r\n--0xKhTmLbOuNdArX\r\n"
        + QByteArray(300, '\r') + "\r\n-\xff\xd9";
    const QByteArray body = uploaderBody("Wedding", "say \\\"cheese\\\".jpg", picture);
    for (const qsizetype piece : { 1, 2, 3, 7, 17, 18, 19, 64, 4096 }) {
        SCOPED_TRACE(piece);
        const Parsed parsed = parse("0xKhTmLbOuNdArY", body, piece);
        ASSERT_TRUE(parsed.complete && !parsed.failed);
        ASSERT_EQ(parsed.parts.size(), 5u);
        EXPECT_EQ(parsed.parts[1].data, "Wedding");
        EXPECT_EQ(parsed.parts[2].data, "");
        EXPECT_TRUE(parsed.parts[2].ended);
        EXPECT_EQ(parsed.parts[4].header.name, "imgfile");
        EXPECT_EQ(parsed.parts[4].header.filename, "say \"cheese\".jpg");
        EXPECT_EQ(parsed.parts[4].data, picture.toStdString());
    }
    // A body cut anywhere before its closing delimiter is never complete, and not malformed either.
    const qsizetype closing = body.lastIndexOf("--\r\n") + 2;
    for (qsizetype cut = 0; cut < closing; cut += 7) {
        const Parsed partial = parse("0xKhTmLbOuNdArY", body.left(cut), 4096);
        ASSERT_FALSE(partial.complete || partial.failed) << cut;
    }
    EXPECT_TRUE(parse("XyZ", "--XyZ\r\nContent-Type: text/plain\r\n\r\n1\r\n--XyZ--\r\n", 64).failed);
    EXPECT_TRUE(parse("XyZ", "--XyZ\r\nX-Long: " + QByteArray(40000, 'a'), 1024).failed);
}

TEST(ServiceStorage, NamesCannotLeaveTheFolderAndNothingIsOverwritten)
{
    EXPECT_EQ(safeFileName(QStringLiteral("../../x.jpg")), QStringLiteral("x.jpg"));
    EXPECT_EQ(safeFileName(QStringLiteral("..\\..\\x.jpg")), QStringLiteral("x.jpg"));
    EXPECT_EQ(safeFileName(QStringLiteral("a\nb\r.jpg")), QStringLiteral("a_b_.jpg"));
    EXPECT_EQ(safeEventName(QStringLiteral("   ")), QStringLiteral("_"));
    for (const QString &name : QStringList { QStringLiteral(".."), QStringLiteral("."), QStringLiteral("a/.."),
             QStringLiteral(".hidden.jpg"), QStringLiteral("tab\there\x7f.jpg"), QStringLiteral(" .. "), QString(),
             QStringLiteral("dir/"), QString(QString(300, QLatin1Char('n')) + QStringLiteral(".jpeg")),
             QString(120, QLatin1Char('x')).replace(QLatin1Char('x'), QStringLiteral("\U0001F4F7")) }) {
        SCOPED_TRACE(name.toStdString());
        for (const QString &safe : { safeFileName(name), safeEventName(name) }) {
            EXPECT_FALSE(safe.isEmpty() || safe.startsWith(QLatin1Char('.')) || safe.contains(QLatin1Char('/')));
            EXPECT_LE(safe.toUtf8().size(), 200);
            EXPECT_FALSE(safe.contains(QChar(QChar::ReplacementCharacter)));
            for (const QChar c : safe)
                EXPECT_FALSE(c.unicode() < 0x20 || c.unicode() == 0x7f);
        }
    }

    QTemporaryDir dir;
    UploadStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.prepare(error));
    for (int i = 1; i <= 3; ++i) {
        auto file = store.createIncoming(error);
        ASSERT_TRUE(file && file->write("v", 1) && file->write(QByteArray::number(i).constData(), 1) && file->finish());
        const QString stored = store.commit(*file, QStringLiteral("Wedding"), QStringLiteral("IMG.JPG"), error);
        EXPECT_EQ(stored,
            dir.path()
                + (i == 1 ? QStringLiteral("/Wedding/IMG.JPG") : QStringLiteral("/Wedding/IMG (%1).JPG").arg(i)));
        EXPECT_EQ(test::readText(stored), QStringLiteral("v%1").arg(i));
    }
    EXPECT_EQ(storedFiles(dir.path()).size(), 3); // nothing temporary left behind
}

TEST(ServiceUpload, AnUploadThatBreaksOffLeavesNothing)
{
    test::ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    const auto send
        = [&](const QByteArray &body, qsizetype length) { return sendRequest(service.port(), body, length); };
    // Half the body, then the connection closes: received into a temporary file, then thrown away.
    const QByteArray body = uploaderBody("Abort", "cut.jpg", QByteArray(512 * 1024, 'c'));
    const int cut = send(body, body.size() / 2);
    ASSERT_TRUE(test::waitFor([&] { return storedFiles(service.storage()).size() == 1; }, 10s));
    ::close(cut);
    ASSERT_TRUE(test::waitFor([&] { return service.log().contains(QStringLiteral("abandoned")); }, 20s));
    EXPECT_TRUE(storedFiles(service.storage()).isEmpty());

    // The whole length, but the closing delimiter never comes: refused.
    QByteArray truncated = uploaderBody("Abort", "short.jpg", "bytes");
    truncated.chop(4);
    const QByteArray reply = readReply(send(truncated, truncated.size()));
    EXPECT_TRUE(reply.startsWith("HTTP/1.1 400")) << reply.toStdString();
    EXPECT_TRUE(storedFiles(service.storage()).isEmpty());
    EXPECT_TRUE(service.uploads().isEmpty());
    EXPECT_TRUE(service.stop());
}

// The link model: --rate paces the body (the service's own times show it), --latency holds the answer
// back once the body is in (only lower bounds: a loaded machine may add, never take away). The rules that
// answer with a bare status or a web page keep nothing, and "*N" lets the Nth request after them through.
TEST(ServiceUpload, TheLinkModelAndTheStatusRulesAnswerAsTold)
{
    const struct {
        const char *option, *value;
        std::vector<const char *> answers; // "STATUS OUTCOME" for each upload of the same picture in turn
        const char *header; // in the first answer
        qint64 minBodyMs, minHoldMs;
    } cases[] = {
        { "--rate", "4096", { "200 ok" }, "Content-Type: text/xml", 500, 0 },
        { "--latency", "400", { "200 ok" }, "", 0, 400 },
        { "--rule", "link=http503*2", { "503 http503", "503 http503", "200 ok" }, "Retry-After: 1", 0, 0 },
        { "--rule", "link=http429", { "429 http429", "429 http429" }, "Retry-After: 1", 0, 0 },
        { "--rule", "link=http502*1", { "502 http502", "200 ok" }, "", 0, 0 },
        { "--rule", "link=http404", { "404 http404" }, "", 0, 0 },
        { "--rule", "link=html200", { "200 html200" }, "Content-Type: text/html", 0, 0 },
    };
    const QByteArray body = uploaderBody("Link", "link.jpg", QByteArray(256 * 1024, 'l'));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        test::ServiceProcess service({ QLatin1String(c.option), QLatin1String(c.value) });
        ASSERT_TRUE(service.start()) << service.errorString().toStdString();
        const int probe = sendRequest(service.port(), {}, 0, "HEAD");
        EXPECT_TRUE(readReply(probe).startsWith("HTTP/1.1 200"));
        for (size_t i = 0; i < c.answers.size(); ++i) {
            const QByteArray reply = readReply(sendRequest(service.port(), body, body.size()));
            const QList<QByteArray> expected = QByteArray(c.answers[i]).split(' ');
            EXPECT_TRUE(reply.startsWith(QByteArray("HTTP/1.1 " + expected[0]))) << i << reply.left(200).toStdString();
            const QList<test::ServiceUpload> uploads = service.uploads();
            ASSERT_EQ(uploads.size(), qsizetype(i + 1));
            EXPECT_EQ(uploads[i].outcome.toUtf8(), expected[1]);
            EXPECT_EQ(uploads[i].stored.isEmpty(), expected[1] != "ok");
            if (i > 0)
                continue;
            EXPECT_TRUE(reply.contains(c.header)) << reply.toStdString();
            EXPECT_GE(uploads[0].completedMs - uploads[0].receivedMs, c.minBodyMs);
            EXPECT_GE(QDateTime::currentMSecsSinceEpoch() - uploads[0].completedMs, c.minHoldMs);
        }
        EXPECT_EQ(storedFiles(service.storage()).size(), QByteArray(c.answers.back()).endsWith(" ok") ? 1 : 0);
        EXPECT_TRUE(service.stop());
    }
}
