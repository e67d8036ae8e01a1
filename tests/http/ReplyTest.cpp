// Reading the service's reply: decoding, the status word and message by position, hostile
// replies, and the classification into success or failure as the cycle receives it.

#include "CaptureServer.h"
#include "UploadHarness.h"
#include "support/TestSupport.h"

#include "diag/Describe.h"
#include "http/HttpTransfer.h"
#include "http/Reply.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

using namespace vesk;
using namespace vesk::test;

namespace {
QByteArray reply(const QByteArray &inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response>" + inner + "</response>";
}
} // namespace

TEST(ReplyReading, StatusAndMessageAreTheFirstTwoChildrenWhateverTheirNames)
{
    const ReplyInterpretation r = interpretReply(reply("\n  <a x=\"1\">ok</a>\n  <b>Thanks</b>\n  <c>more</c>\n"));
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.childCount, 3); // whitespace between elements is no child
    EXPECT_EQ(r.status, QStringLiteral("ok"));
    EXPECT_EQ(r.message, QStringLiteral("Thanks"));
    EXPECT_FALSE(r.statusSaysFailure());
}

TEST(ReplyReading, TextOfAChildJoinsAllItsDescendantTexts)
{
    const ReplyInterpretation r
        = interpretReply(reply("<s>O<i>K<!-- not text --></i></s><m>a &amp; <![CDATA[<b>]]> &#233;</m>"));
    EXPECT_EQ(r.status, QStringLiteral("OK"));
    EXPECT_EQ(r.message, QStringLiteral("a & <b> é"));
}

TEST(ReplyReading, CommentsAndTextCountAsChildrenInDocumentOrder)
{
    const ReplyInterpretation comment = interpretReply(reply("<!--note--><status>OK</status><m>x</m>"));
    EXPECT_EQ(comment.childCount, 3);
    EXPECT_EQ(comment.status, QStringLiteral("note"));
    EXPECT_EQ(comment.message, QStringLiteral("OK"));

    const ReplyInterpretation text = interpretReply(reply("Warning<m>Too dark</m>"));
    EXPECT_EQ(text.status, QStringLiteral("Warning"));
    EXPECT_TRUE(text.statusSaysFailure());
}

TEST(ReplyReading, StatusWordsIgnoreCaseButNotBlanks)
{
    EXPECT_TRUE(isFailureStatus(QStringLiteral("WARNING")));
    EXPECT_TRUE(isFailureStatus(QStringLiteral("error")));
    EXPECT_FALSE(isFailureStatus(QStringLiteral(" ERROR")));
    EXPECT_FALSE(isFailureStatus(QStringLiteral("OK")));
    EXPECT_EQ(interpretReply(reply("<s> OK </s><m/>")).status, QStringLiteral(" OK "));
}

TEST(ReplyReading, FewerThanTwoChildrenGiveNoStatus)
{
    const ReplyInterpretation one = interpretReply(reply("<s>OK</s>"));
    EXPECT_TRUE(one.parsed);
    EXPECT_EQ(one.childCount, 1);
    EXPECT_FALSE(one.status.has_value());
    EXPECT_FALSE(one.message.has_value());
}

TEST(ReplyReading, Utf8IsReadAsUtf8)
{
    const DecodedReply d = decodeReply(reply("<s>OK</s><m>Gr\xC3\xBC\xC3\x9F"
                                             "e \xE2\x9C\x93</m>"));
    EXPECT_EQ(d.encoding, "UTF-8");
    EXPECT_EQ(interpretReply(reply("<s>OK</s><m>Gr\xC3\xBC\xC3\x9F"
                                   "e \xE2\x9C\x93</m>"))
                  .message,
        QStringLiteral("Grüße ✓"));
}

TEST(ReplyReading, BytesThatAreNotUtf8FallBackToMacRoman)
{
    const QByteArray bytes = "<r><s>OK</s><m>Gr\xFC\xDF"
                             "e \x8A</m></r>";
    const ReplyInterpretation r = interpretReply(bytes);
    EXPECT_EQ(r.encoding, "MACINTOSH");
    EXPECT_EQ(r.message,
        QString::fromUtf8("Gr\xC2\xB8\xEF\xAC\x82"
                          "e \xC3\xA4")); // ¸ ﬂ ä in Mac OS Roman
    // A declaration of UTF-8 does not make invalid bytes readable as UTF-8.
    EXPECT_EQ(decodeReply("<?xml version='1.0' encoding='utf-8'?><r>\x8A</r>").encoding, "MACINTOSH");
}

TEST(ReplyReading, DeclaredEncodingWins)
{
    const QByteArray latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><s>OK</s><m>Gr\xFC\xDF"
                              "e</m></r>";
    EXPECT_EQ(interpretReply(latin1).message, QStringLiteral("Grüße"));
    // Valid UTF-8 bytes declared as Latin-1 are Latin-1.
    const QByteArray declared = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><r><s>OK</s><m>\xC3\xBC</m></r>";
    EXPECT_EQ(interpretReply(declared).message, QString::fromUtf8("\xC3\x83\xC2\xBC"));
    // An encoding iconv does not know is ignored.
    EXPECT_EQ(decodeReply("<?xml version=\"1.0\" encoding=\"no-such-set\"?><r>\xC3\xBC</r>").encoding, "UTF-8");
    EXPECT_EQ(declaredEncoding("<?xml version=\"1.0\"?><r/>"), std::nullopt);
    EXPECT_EQ(declaredEncoding("<r>encoding=\"latin1\"</r>"), std::nullopt);
    // A blank name declares nothing: not the locale's character set (found by fuzzing).
    EXPECT_EQ(declaredEncoding("<?xml version=\"1.0\" encoding=\"\n \"?><r/>"), std::nullopt);
    EXPECT_EQ(decodeReply("<?xml version=\"1.0\" encoding=\" \"?><r>\xC3\xBC</r>").encoding, "UTF-8");
}

TEST(ReplyReading, HostileRepliesYieldNoStatusAndNoCrash)
{
    for (const QByteArray &bytes : { QByteArray(), QByteArray("not xml at all"), QByteArray("<r><s>OK</s>"),
             QByteArray("\0\0\0", 3), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>"),
             QByteArray("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r><s>&e;</s><m/></r>") }) {
        const ReplyInterpretation r = interpretReply(bytes, ReplyDetail::Log);
        EXPECT_FALSE(r.status && r.status->contains(QStringLiteral("root:"))) << bytes.toStdString();
    }
    EXPECT_FALSE(interpretReply(QByteArray()).parsed);
    EXPECT_FALSE(interpretReply("not xml at all").parsed);

    QByteArray deep;
    for (int i = 0; i < 300000; ++i)
        deep += "<a>";
    deep += "x";
    for (int i = 0; i < 300000; ++i)
        deep += "</a>";
    const ReplyInterpretation nested = interpretReply(deep, ReplyDetail::Log);
    EXPECT_TRUE(nested.parsed);
    EXPECT_EQ(nested.childCount, 1);
    EXPECT_LE(nested.document.size(), kMaxDescribedChars + 3);

    QByteArray wide = "<r>";
    for (int i = 0; i < 200000; ++i)
        wide += "<c>v</c>";
    wide += "</r>";
    const ReplyInterpretation many = interpretReply(wide, ReplyDetail::Log);
    EXPECT_EQ(many.childCount, 200000);
    EXPECT_EQ(static_cast<int>(many.children.size()), kMaxDescribedChildren);
    EXPECT_EQ(many.status, QStringLiteral("v"));
}

// ---- The outcome as the cycle receives it ----------------------------------------------------

namespace {

struct Case {
    const char *what;
    int status;
    QByteArray body;
    bool success;
    const char *customStatus; // nullptr: no custom entries
    const char *message;
};

class ReplyOutcome : public ::testing::Test {
protected:
    CaptureServer server;
    UploadHarness harness { server.url() };

    UploadRun run(int status, const QByteArray &body, qint64 padding = 0)
    {
        server.setReply(status, body, padding);
        const QString picture = harness.writePicture(QStringLiteral("IMG_7.JPG"), QByteArray(1000, 'p'));
        return harness.upload(makeItem(picture, false));
    }
};

} // namespace

TEST_F(ReplyOutcome, ClassificationFollowsStatusWordAndCode)
{
    const Case cases[] = {
        { "lower-case ok", 200, reply("<s>ok</s><m>Thanks</m>"), true, "ok", "Thanks" },
        { "WARNING in capitals", 200, reply("<s>WARNING</s><m>Too dark</m>"), false, "WARNING", "Too dark" },
        { "ERROR", 200, reply("<s>ERROR</s><m>Wrong login</m>"), false, "ERROR", "Wrong login" },
        { "OK with blanks", 200, reply("<s> OK </s><m>m</m>"), true, " OK ", "m" },
        { "another word", 200, reply("<s>Queued</s><m>later</m>"), true, "Queued", "later" },
        { "500 saying OK", 500, reply("<s>OK</s><m>m</m>"), false, "OK", "m" },
        { "not XML", 200, "<html>oops", true, nullptr, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const UploadRun r = run(c.status, c.body);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.done, 1);
        EXPECT_EQ(r.success + r.fail, 1);
        EXPECT_EQ(r.success == 1, c.success);
        EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpStatusCode), QVariant(static_cast<qlonglong>(c.status)));
        EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpReturnData).toByteArray(), c.body);
        EXPECT_FALSE(r.outcome.contains(CycleNames::cDictKeyHttpError));
        EXPECT_EQ(r.outcome.contains(CycleNames::cDictKeyHttpCustomStatus), c.customStatus != nullptr);
        if (c.customStatus) {
            EXPECT_EQ(
                r.outcome.value(CycleNames::cDictKeyHttpCustomStatus).toString(), QString::fromUtf8(c.customStatus));
            EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpCustomMessage).toString(), QString::fromUtf8(c.message));
        }
        const QVariantMap response = r.outcome.value(CycleNames::cDictKeyHttpResponse).toMap();
        EXPECT_EQ(response.value(QStringLiteral("statusCode")).toLongLong(), c.status);
        EXPECT_EQ(response.value(QStringLiteral("headers")).toMap().value(QStringLiteral("X-Capture")).toString(),
            QStringLiteral("yes"));
    }
}

TEST_F(ReplyOutcome, StatusOtherThan200IsLogged)
{
    ConsoleRecorder console;
    EXPECT_TRUE(run(500, reply("<s>OK</s><m>m</m>")).failed());
    EXPECT_TRUE(console.contains(QStringLiteral("HTTP Status Code is [500]")));
    EXPECT_TRUE(console.contains(QStringLiteral("====> ReturningResponse.statusCode:\n500\n")));
}

TEST_F(ReplyOutcome, OneChildStoresNoCustomEntries)
{
    ConsoleRecorder console;
    const UploadRun r = run(200, reply("<s>OK</s>"));
    EXPECT_TRUE(r.succeeded());
    EXPECT_FALSE(r.outcome.contains(CycleNames::cDictKeyHttpCustomStatus));
    EXPECT_FALSE(r.outcome.contains(CycleNames::cDictKeyHttpCustomMessage));
    EXPECT_EQ(console.count(QStringLiteral("NOT GETTING Enough data back from Response??????")), 1);
    EXPECT_TRUE(console.contains(QStringLiteral("myXmlDoc contains [1] children")));
    EXPECT_TRUE(console.contains(QStringLiteral("info at child[0] = [OK]")));
}

TEST_F(ReplyOutcome, EmptyBodyWith200IsASuccessThatKeepsTheEmptyBody)
{
    ConsoleRecorder console;
    const UploadRun r = run(200, QByteArray());
    EXPECT_TRUE(r.succeeded());
    ASSERT_TRUE(r.outcome.contains(CycleNames::cDictKeyHttpReturnData));
    EXPECT_TRUE(r.outcome.value(CycleNames::cDictKeyHttpReturnData).toByteArray().isEmpty());
    EXPECT_TRUE(console.contains(QStringLiteral("responseString converted to xmlDoc with Error: [")));
    EXPECT_TRUE(console.contains(QStringLiteral("========== returnData May Contain Error: \n\n=========\n\n")));
}

TEST_F(ReplyOutcome, HugeReplyIsCutAndDrained)
{
    ConsoleRecorder console;
    const UploadRun r = run(200, "<response><status>OK</status><message>", 100LL * 1024 * 1024);
    ASSERT_TRUE(r.finished);
    EXPECT_TRUE(r.succeeded()); // cut XML does not parse: no markers
    EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpReturnData).toByteArray().size(), kMaxReplyBytes);
    EXPECT_EQ(console.count(QStringLiteral("The reply was cut")), 1);
    for (const QString &line : console.lines())
        EXPECT_LT(line.size(), 64 * 1024);
}

TEST_F(ReplyOutcome, ReplyThatDoesNotEndIsGivenUp)
{
    const UploadRun r = run(200, "<response>", kMaxDrainedReplyBytes + 1024LL * 1024);
    ASSERT_TRUE(r.finished);
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(r.outcome.value(CycleNames::cDictKeyHttpError).toMap().value(QStringLiteral("code")).toInt(),
        static_cast<int>(CURLE_WRITE_ERROR));
    EXPECT_FALSE(r.outcome.contains(CycleNames::cDictKeyHttpStatusCode));
}
