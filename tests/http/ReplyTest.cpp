// The HTTP client's pure parts: the request's text byte for byte, reading the service's reply
// (the status word and the message by position, the decoding, hostile replies), and how the outcome
// of an exchange is classified. The exchanges themselves run in the fault scenarios.

#include "TestSupport.h"

#include "diag/Describe.h"
#include "http/HttpController.h"
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
        { { { K::cDictKeyHttpStatusCode, 404 } }, false }, // an answer without status words
        { { { K::cDictKeyHttpStatusCode, 302 } }, false },
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
