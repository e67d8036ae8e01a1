// Reading the service's reply: the status word and the message by position, the decoding, and
// hostile replies.

#include "http/Reply.h"

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
        { "unknown encoding ignored", "<?xml version=\"1.0\" encoding=\"no-such\"?><r><s>OK</s><m>\xC3\xBC</m></r>", 2,
            "OK", "ü", false },
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
    const QByteArray deep = QByteArray("<a>").repeated(300000) + "x" + QByteArray("</a>").repeated(300000);
    const ReplyInterpretation nested = interpretReply(deep, ReplyDetail::Log);
    EXPECT_EQ(nested.childCount, 1);
    EXPECT_LE(nested.document.size(), kMaxDescribedChars + 3);
    const ReplyInterpretation wide
        = interpretReply("<r>" + QByteArray("<c>v</c>").repeated(200000) + "</r>", ReplyDetail::Log);
    EXPECT_EQ(wide.childCount, 200000);
    EXPECT_EQ(static_cast<int>(wide.children.size()), kMaxDescribedChildren);
    EXPECT_EQ(wide.status, QStringLiteral("v"));
}
