// The HTTP client's pure parts: the request's text byte for byte, reading the service's reply
// (the status word and the message by position, the decoding, hostile replies), and how the outcome
// of an exchange is classified. The exchanges themselves run in the fault scenarios.

#include "TestSupport.h"

#include "diag/Describe.h"
#include "http/HttpController.h"
#include "http/HttpTransfer.h"
#include "http/Multipart.h"
#include "http/Reply.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace vesk;

namespace {
QByteArray reply(const QByteArray &inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response>" + inner + "</response>";
}
} // namespace

TEST(ReplyReading, StatusAndMessageAreTheFirstTwoChildrenWhateverTheyAre)
{
    struct Case {
        const char *what;
        QByteArray body;
        int children;
        const char *status; // nullptr: none
        const char *message;
        bool failure;
    };
    const Case cases[] = {
        { "any names; whitespace is no child", reply("\n <a x=\"1\">ok</a>\n <b>Thanks</b>\n <c>more</c>\n"), 3, "ok",
            "Thanks", false },
        { "descendant texts joined", reply("<s>O<i>K<!-- x --></i></s><m>a &amp; <![CDATA[<b>]]> &#233;</m>"), 2, "OK",
            "a & <b> é", false },
        { "a comment is a child", reply("<!--note--><status>OK</status><m>x</m>"), 3, "note", "OK", false },
        { "text is a child", reply("Warning<m>Too dark</m>"), 2, "Warning", "Too dark", true },
        { "words in any case", reply("<s>eRRoR</s><m>Wrong login</m>"), 2, "eRRoR", "Wrong login", true },
        { "blanks are kept", reply("<s> ERROR </s><m/>"), 2, " ERROR ", "", false },
        { "one child gives none", reply("<s>Warning</s>"), 1, nullptr, nullptr, false },
        { "UTF-8",
            reply("<s>OK</s><m>Gr\xC3\xBC\xC3\x9F"
                  "e \xE2\x9C\x93</m>"),
            2, "OK", "Grüße ✓", false },
        { "not UTF-8: Mac OS Roman",
            "<r><s>OK</s><m>Gr\xFC\xDF"
            "e \x8A</m></r>",
            2, "OK", "Gr¸ﬂe ä", false },
        { "declared encoding wins", "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><r><s>OK</s><m>\xC3\xBC</m></r>", 2,
            "OK", "Ã¼", false },
        { "blank encoding declares nothing", "<?xml version=\"1.0\" encoding=\" \"?><r><s>OK</s><m>\xC3\xBC</m></r>", 2,
            "OK", "ü", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ReplyInterpretation r = interpretReply(c.body);
        EXPECT_TRUE(r.parsed);
        EXPECT_EQ(r.childCount, c.children);
        EXPECT_EQ(r.status, c.status ? std::optional(QString::fromUtf8(c.status)) : std::nullopt);
        EXPECT_EQ(r.message, c.message ? std::optional(QString::fromUtf8(c.message)) : std::nullopt);
        EXPECT_EQ(r.statusSaysFailure(), c.failure);
    }
    // A declaration of UTF-8 does not make invalid bytes readable as UTF-8.
    EXPECT_EQ(decodeReply("<?xml version='1.0' encoding='utf-8'?><r>\x8A</r>").encoding, "MACINTOSH");
}

TEST(ReplyReading, HostileRepliesYieldNoStatusAndNoCrash)
{
    for (const QByteArray &bytes : { QByteArray(), QByteArray("not xml at all"), QByteArray("<r><s>OK</s>"),
             QByteArray("\0\0\0", 3), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>"),
             QByteArray("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r><s>&e;</s><m/></r>") }) {
        const ReplyInterpretation r = interpretReply(bytes, ReplyDetail::Log);
        EXPECT_FALSE(r.status && r.status->contains(QStringLiteral("root:"))) << bytes.toStdString();
    }
}

TEST(Multipart, TheRequestByteForByteAndNamesThatCannotBreakIt)
{
    const auto part = [](const char *name, const QByteArray &value) -> QByteArray {
        return "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + QByteArray(name) + "\"\r\n\r\n"
            + value;
    };
    using K = CycleNames;
    Info item { { K::cDictKeyUser, QStringLiteral("anna") }, { K::cDictKeyPasswd, QStringLiteral("s3cret") },
        { K::cDictKeyEventName, QStringLiteral("Gala ✓") }, { K::cDictKeyClientName, QStringLiteral("Studio Nord") },
        { K::cDictKeyCaptureTime, QStringLiteral("2026-12-06 13:45:00") }, { K::cDictKeyMetaData, QString() },
        { K::cDictKeyKobFuseAction, QStringLiteral("upload.add") },
        { K::cDictKeyEmails, QStringLiteral("a@example.org") },
        { K::cDictKeyOriginalPath, QStringLiteral("/Card/IMG_1.JPG") },
        { K::cDictKeyFileName, QStringLiteral("/srv/Table 7/shot.Png") } };
    EXPECT_EQ(multipartPrefix(item),
        part("username", "anna") + part("password", "s3cret") + part("event", "Gala \xE2\x9C\x93")
            + part("client", "Studio Nord") + part("capturetime", "2026-12-06 13:45:00") + part("metadata", "")
            + part("fuseaction", "upload.add") + part("emails", "a@example.org")
            + part("localfilelocation", "/Card/IMG_1.JPG") + part("Submit", "Upload")
            + "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; filename=\"shot.Png\"\r\n"
              "Content-Type: image/png\r\n\r\n");
    EXPECT_EQ(multipartSuffix(), QByteArray("\r\n--0xKhTmLbOuNdArY--\r\n"));
    // Quotes and line breaks in the file name; a name and a text that spell the closing delimiter.
    item.insert(K::cDictKeyFileName, QStringLiteral("/x/a\"b\r\n--0xKhTmLbOuNdArY--\r\n.jpg"));
    item.insert(K::cDictKeyClientName, QStringLiteral("x\r\n--0xKhTmLbOuNdArY--\r\n"));
    const QByteArray prefix = multipartPrefix(item);
    EXPECT_TRUE(prefix.endsWith("filename=\"a%22b%0D%0A--0xKhTmLbOuNdArY--%0D%0A.jpg\"\r\n"
                                "Content-Type: image/jpeg\r\n\r\n"));
    EXPECT_TRUE(prefix.contains(part("client", "x%0D%0A--0xKhTmLbOuNdArY--%0D%0A")));
    EXPECT_EQ(prefix.count("\r\n--0xKhTmLbOuNdArY"), 11); // ten fields and the picture's part
    for (const char *name : { "a.jpg", "noextension", "png", "a.png.jpg", "/a/b.png/c", ".png" })
        EXPECT_EQ(pictureContentType(QString::fromUtf8(name)), QStringLiteral("image/jpeg")) << name;

    // A picture that holds the delimiter line (where reads meet, at its start, at its end) goes with a
    // boundary it does not hold; the file is read from its start afterwards.
    QTemporaryDir folder;
    const QByteArray delimiter = "\r\n--0xKhTmLbOuNdArY";
    for (const qint64 at : { qint64(-1), qint64(0), (qint64(1) << 20) - 7, (qint64(3) << 20) - delimiter.size() }) {
        QByteArray bytes(3 << 20, 'x');
        if (at >= 0)
            bytes.replace(at, delimiter.size(), delimiter);
        ASSERT_TRUE(test::writeFile(folder.filePath(QStringLiteral("p.jpg")), bytes));
        QFile file(folder.filePath(QStringLiteral("p.jpg")));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray boundary = boundaryForPicture(file.handle(), file.size());
        EXPECT_EQ(boundary == "0xKhTmLbOuNdArY", at < 0) << at;
        EXPECT_FALSE(bytes.contains(QByteArray("\r\n--" + boundary))) << at;
        EXPECT_EQ(file.pos(), 0);
    }
    // A boundary read ahead serves the file it was read for only as it was then.
    QFile file(folder.filePath(QStringLiteral("p.jpg")));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate) && file.write("xx") == 2 && file.flush());
    prepareBoundaryForPicture(file.handle());
    ASSERT_TRUE(file.write(delimiter) == delimiter.size() && file.flush());
    EXPECT_NE(boundaryForPreparedPicture(file.handle(), file.size()), "0xKhTmLbOuNdArY");
}

TEST(UploadOutcome, AnswersAreTheServicesOwnTheServiceBeingAwayOrAWrongAddress)
{
    const QString endpoint = QStringLiteral("http://up.example/index.php");
    const QVariantMap html { { QStringLiteral("content-type"), QStringLiteral("Text/HTML; charset=utf-8") } };
    const QVariantMap xml { { QStringLiteral("Content-Type"), QStringLiteral("text/xml") } };
    const QVariantMap later { { QStringLiteral("Retry-After"), QStringLiteral("7") } };
    const QVariantMap tooLate { { QStringLiteral("Retry-After"), QStringLiteral("86400") } };
    const QByteArray page = "\xEF\xBB\xBF <!DOCTYPE html><html><head/><body>Log in</body></html>";
    const struct {
        long status;
        QVariantMap headers;
        QByteArray body, location;
        AnswerKind kind;
        const char *line; // a part of it
        std::optional<double> retryAfter;
    } cases[] = {
        { 200, xml, reply("<s>OK</s><m>x</m>"), {}, AnswerKind::Taken, "", {} },
        { 200, {}, "not xml", {}, AnswerKind::Taken, "", {} }, // the service's own reading stays
        { 200, html, reply("<s>OK</s><m>x</m>"), {}, AnswerKind::Away, "web page instead of the service's reply", {} },
        { 200, {}, page, {}, AnswerKind::Away, "a hotspot login?", {} },
        { 200, {}, "<HTML><body>Welcome</body></HTML>", {}, AnswerKind::Away, "web page", {} },
        { 429, later, {}, {}, AnswerKind::Away, "answered 429 Too Many Requests: it is away", 7 },
        { 502, {}, {}, {}, AnswerKind::Away, "answered 502 Bad Gateway", {} },
        { 503, tooLate, {}, {}, AnswerKind::Away, "answered 503 Service Unavailable", 300 },
        { 504, {}, page, {}, AnswerKind::Away, "answered 504 Gateway Timeout", {} },
        { 404, html, page, {}, AnswerKind::Misdirected,
            "The service address answered 404 Not Found: check the address http://up.example/index.php", {} },
        { 405, {}, {}, {}, AnswerKind::Misdirected, "answered 405 Method Not Allowed: check the address", {} },
        { 401, {}, {}, {}, AnswerKind::Misdirected, "answered 401 Unauthorized", {} },
        { 403, {}, {}, {}, AnswerKind::Misdirected, "answered 403 Forbidden", {} },
        { 407, {}, {}, {}, AnswerKind::Misdirected, "answered 407 Proxy Authentication Required", {} },
        { 302, {}, {}, "http://login.hotspot.example/portal?x=1", AnswerKind::Misdirected,
            "The network answers with a redirect to login.hotspot.example: a hotspot login?", {} },
        { 308, {}, {}, "https://up.example:8443/index.php", AnswerKind::Misdirected, "redirect to up.example", {} },
        { 413, {}, {}, {}, AnswerKind::Taken, "", {} }, // too large: a rejection, as are 500 and the rest
        { 500, later, {}, {}, AnswerKind::Taken, "", {} },
    };
    for (const auto &c : cases) {
        const AnswerReading reading = readAnswer(c.status, c.headers, c.body, c.location, endpoint);
        EXPECT_EQ(reading.kind, c.kind) << c.status << ' ' << c.line;
        EXPECT_TRUE(reading.line.contains(QLatin1String(c.line))) << reading.line.toStdString();
        EXPECT_EQ(reading.retryAfterSeconds, c.retryAfter) << c.status << ' ' << c.line;
    }
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-07T19:12:00Z"), Qt::ISODate);
    EXPECT_EQ(retryAfterSeconds(QStringLiteral("Mon, 07 Dec 2026 19:12:30 GMT"), now), 30);
    EXPECT_EQ(retryAfterSeconds(QStringLiteral("soon"), now), std::nullopt);

    // The check of the address: back on any answer but these.
    const struct {
        bool refused;
        long status;
        QVariantMap headers;
        const char *location;
        bool webPageMeansAway, away;
    } checks[] = { { true, 0, {}, "", false, true }, { false, 503, later, "", false, true },
        { false, 429, {}, "", false, true }, { false, 405, {}, "", false, false }, { false, 404, {}, "", false, false },
        { false, 200, html, "", true, true }, { false, 200, html, "", false, false },
        { false, 302, {}, "http://login.hotspot.example/", false, true },
        { false, 301, {}, "https://UP.example/index.php", false, false } };
    for (const auto &c : checks)
        EXPECT_EQ(checkSaysAway(c.refused, c.status, c.headers, c.location, endpoint, c.webPageMeansAway), c.away)
            << c.status << ' ' << c.location;

    // The service got none of the request: nobody listens, a name that does not resolve.
    HttpTransfer transfer;
    for (const char *url : { "http://127.0.0.1:9/index.php", "http://upload.vesk-photos.invalid/index.php" }) {
        const TransferOutcome outcome = transfer.head(url, TransferTimeouts { 2, 2, 2 });
        ASSERT_TRUE(outcome.error) << url;
        EXPECT_TRUE(outcome.error->beforeRequest) << url << ' ' << outcome.error->description.toStdString();
    }
}

TEST(UploadOutcome, AnyStatusButTwoHundredOrAFailureWordIsAFailure)
{
    NotificationCenter center;
    HttpController client(center, QStringLiteral("http://127.0.0.1:9/index.php"));
    QStringList outcomes;
    for (const QString &name : { CycleNames::cNotification_UploadSuccess, CycleNames::cNotification_UploadFail })
        center.addObserver(&outcomes, name, [&outcomes, name](const Notification &) { outcomes << name; });
    using K = CycleNames;
    const std::pair<Info, bool> cases[] = {
        { { { K::cDictKeyHttpStatusCode, 200 } }, true },
        { { { K::cDictKeyHttpStatusCode, 200 }, { K::cDictKeyHttpCustomStatus, QStringLiteral("Queued") } }, true },
        { { { K::cDictKeyHttpStatusCode, 200 }, { K::cDictKeyHttpCustomStatus, QStringLiteral("wArNiNg") } }, false },
        { { { K::cDictKeyHttpStatusCode, 200 }, { K::cDictKeyHttpCustomStatus, QStringLiteral("ERROR") } }, false },
        { { { K::cDictKeyHttpStatusCode, 500 }, { K::cDictKeyHttpCustomStatus, QStringLiteral("OK") } }, false },
        { { { K::cDictKeyHttpStatusCode, 200 }, { K::cDictKeyHttpServiceAway, QStringLiteral("a web page") } }, false },
        { { { K::cDictKeyHttpStatusCode, 404 } }, false }, // an answer without status words
        { { { K::cDictKeyHttpError, QVariantMap() } }, false },
    };
    for (const auto &[record, success] : cases) {
        outcomes.clear();
        center.post(CycleNames::cNotification_UploadDone, &client, makeInfo(record));
        EXPECT_EQ(outcomes,
            QStringList { success ? CycleNames::cNotification_UploadSuccess : CycleNames::cNotification_UploadFail })
            << describe(QVariant(record)).toStdString();
    }
    center.removeObserver(&outcomes);
}

TEST(UploadOutcome, RedirectsAreFollowedOnlyToTheSameHostAndPort)
{
    const struct {
        const char *from, *to;
        bool follow;
    } cases[] = {
        { "http://up.example:8080/index.php", "http://UP.example:8080/new/index.php", true },
        { "http://up.example:8080/index.php", "https://up.example/index.php", true },
        { "https://up.example/index.php", "https://up.example:443/new.php", true },
        { "https://up.example/index.php", "http://up.example:443/index.php", false },
        { "http://up.example/index.php", "http://up.example:8080/index.php", false },
        { "http://up.example/index.php", "http://up.example.evil/index.php", false },
        { "http://up.example/index.php", "ftp://up.example/index.php", false },
    };
    for (const auto &c : cases)
        EXPECT_EQ(HttpController::mayFollowRedirect(QUrl(QString::fromLatin1(c.from)), QUrl(QString::fromLatin1(c.to))),
            c.follow)
            << c.from << " -> " << c.to;
}
