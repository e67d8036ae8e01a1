// The wire format of the command channel and where the client looks for the socket.

#include "app/Paths.h"
#include "scripting/CommandClient.h"
#include "scripting/CommandProtocol.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace vesk;

namespace {
QString errorOf(const QByteArray &line)
{
    const CommandParseResult result = parseCommandRequest(line);
    EXPECT_FALSE(result.request.has_value()) << line.left(200).toStdString();
    return result.error;
}

// A valid request padded with blanks inside the object to exactly the given length.
QByteArray paddedRequest(qsizetype length)
{
    const QByteArray head = R"({"class":"vesk","id":"upnw")";
    return head + QByteArray(length - head.size() - 1, ' ') + '}';
}
} // namespace

TEST(RequestParser, ReadsTheDocumentedRequestWithOrWithoutParams)
{
    const CommandParseResult full
        = parseCommandRequest(R"({"class":"vesk","id":"1234","params":["getValue","prefSecondsBetweenScans"]})");
    ASSERT_TRUE(full.request) << full.error.toStdString();
    EXPECT_EQ(full.request->eventClass, kVeskEventClass);
    EXPECT_EQ(full.request->eventID, kVeskPreferenceCommand);
    EXPECT_EQ(
        full.request->params, QStringList({ QStringLiteral("getValue"), QStringLiteral("prefSecondsBetweenScans") }));

    // Field order and blanks do not matter; no "params" is not the same as an empty list.
    const CommandParseResult bare = parseCommandRequest(" { \"id\" : \"quit\" , \"class\" : \"aevt\" } \r");
    ASSERT_TRUE(bare.request) << bare.error.toStdString();
    EXPECT_EQ(bare.request->eventID, kAEQuitApplication);
    EXPECT_FALSE(bare.request->params.has_value());
    const CommandParseResult empty = parseCommandRequest(R"({"class":"vesk","id":"1234","params":[]})");
    ASSERT_TRUE(empty.request);
    EXPECT_TRUE(empty.request->params.has_value());
}

TEST(RequestParser, RefusesMalformedRequestsWithAReason)
{
    EXPECT_TRUE(errorOf("").contains(QStringLiteral("empty")));
    EXPECT_TRUE(errorOf(R"({"class":"vesk","id":)").contains(QStringLiteral("not JSON")));
    EXPECT_TRUE(errorOf(R"(["vesk","upnw"])").contains(QStringLiteral("object")));
    EXPECT_TRUE(
        errorOf(R"({"class":"vesk","id":"upnw","extra":1})").contains(QStringLiteral("unknown field \"extra\"")));
    EXPECT_TRUE(errorOf(R"({"id":"upnw"})").contains(QStringLiteral("missing \"class\"")));
    EXPECT_TRUE(errorOf(R"({"class":"vesk"})").contains(QStringLiteral("missing \"id\"")));
    for (const char *code : { R"("ves")", R"("vesk1")", R"(1234)", R"(null)", R"("v\u00e9sk")", R"("ve\nk")" }) {
        const QByteArray line = QByteArray(R"({"class":"vesk","id":)") + code + '}';
        EXPECT_TRUE(errorOf(line).contains(QStringLiteral("\"id\" must be"))) << code;
    }
    EXPECT_TRUE(errorOf(R"({"class":"vesk","id":"1234","params":"getValue"})").contains(QStringLiteral("params")));
    EXPECT_TRUE(errorOf(R"({"class":"vesk","id":"1234","params":["getValue",7]})").contains(QStringLiteral("params")));
    EXPECT_TRUE(errorOf(R"({"class":"vesk","id":"1234","params":[["nested"]]})").contains(QStringLiteral("params")));
}

TEST(RequestParser, TextsThatCouldNotBeStoredInThePreferencesAreRefused)
{
    // The values end up in an XML property list: no control characters but tab and line ends, no
    // broken surrogate pairs, whether they come escaped or raw.
    for (const QByteArray &text :
        { QByteArray(R"(a\u0000b)"), QByteArray(R"(\u0001)"), QByteArray(R"(\ud800)"), QByteArray(R"(x\udc00)"),
            QByteArray("a\x01"
                       "b"),
            QByteArray("a\0b", 3), QByteArray(R"(\uffff)") }) {
        const QByteArray line = R"({"class":"vesk","id":"1234","params":["setValue","userLoginName",")" + text + "\"]}";
        EXPECT_TRUE(errorOf(line).contains(QStringLiteral("control characters"))) << line.toStdString();
    }
    const CommandParseResult fine
        = parseCommandRequest(R"({"class":"vesk","id":"1234","params":["a\tb\r\n","\ud83d\udcf7 caf\u00e9"]})");
    ASSERT_TRUE(fine.request) << fine.error.toStdString();
    EXPECT_EQ(fine.request->params->value(1), QStringLiteral("\U0001F4F7 caf\u00e9"));
    // An unknown field's name is quoted without what could garble the reply or the log.
    EXPECT_EQ(errorOf(R"({"class":"vesk","id":"upnw","\u0001\ud800":1})"), QStringLiteral("unknown field \"??\""));
}

TEST(RequestParser, AcceptsLinesUpTo64KiBAndNoLonger)
{
    EXPECT_TRUE(parseCommandRequest(paddedRequest(kMaxCommandLineBytes)).request.has_value());
    EXPECT_TRUE(errorOf(paddedRequest(kMaxCommandLineBytes + 1)).contains(QStringLiteral("longer")));
}

TEST(RequestParser, WrittenRequestsReadBackUnchanged)
{
    const CommandRequest request { kCoreEventClass, kAEOpenDocuments,
        QStringList { QStringLiteral("/tmp/Caf\u00e9 \"pictures\"\n\\ \U0001F4F7") } };
    const QByteArray line = encodeCommandRequest(request);
    EXPECT_FALSE(line.contains('\n')); // one request, one line
    const CommandParseResult parsed = parseCommandRequest(line);
    ASSERT_TRUE(parsed.request);
    EXPECT_EQ(*parsed.request, request);
}

TEST(ReplyFormat, RepliesAreWrittenAsDocumented)
{
    const AEDescriptor getValue = AEDescriptor::list({ AEDescriptor::text(QStringLiteral("COMMAND SUCCESS")),
        AEDescriptor::list({ AEDescriptor::text(QStringLiteral("getValue")),
            AEDescriptor::text(QStringLiteral("prefSecondsBetweenScans")),
            AEDescriptor::text(QStringLiteral("45.00")) }) });
    EXPECT_EQ(encodeReply(getValue),
        QByteArray(R"({"reply":["COMMAND SUCCESS",["getValue","prefSecondsBetweenScans","45.00"]]})"));
    EXPECT_EQ(encodeReply(AEDescriptor::text(QStringLiteral("ACCEPTED"))), QByteArray(R"({"reply":"ACCEPTED"})"));
    EXPECT_EQ(encodeReply(AEDescriptor()), QByteArray("{}"));
    EXPECT_EQ(encodeError(QStringLiteral("bad \"x\"")), QByteArray(R"({"error":"bad \"x\""})"));

    const ReplyParseResult read = parseReplyLine(encodeReply(getValue));
    ASSERT_EQ(read.kind, ReplyParseResult::Kind::Reply);
    EXPECT_EQ(read.reply, getValue);
    EXPECT_EQ(read.reply.flattened(),
        QStringList({ QStringLiteral("COMMAND SUCCESS"), QStringLiteral("getValue"),
            QStringLiteral("prefSecondsBetweenScans"), QStringLiteral("45.00") }));
}

TEST(ReplyFormat, ClientTellsRepliesErrorsAndNonsenseApart)
{
    EXPECT_EQ(parseReplyLine("{}").kind, ReplyParseResult::Kind::Reply);
    EXPECT_TRUE(parseReplyLine("{}").reply.isNone());
    const ReplyParseResult error = parseReplyLine(R"({"error":"no handler"})");
    EXPECT_EQ(error.kind, ReplyParseResult::Kind::Error);
    EXPECT_EQ(error.error, QStringLiteral("no handler"));
    for (const char *line : { R"({"reply":5})", R"({"reply":["a",null]})", R"({"reply":"a","error":"b"})",
             R"({"answer":"a"})", R"({"error":3})", "[]", "", "COMMAND SUCCESS" })
        EXPECT_EQ(parseReplyLine(line).kind, ReplyParseResult::Kind::Invalid) << line;
}

TEST(SocketPath, ClientFindsTheSocketWhereTheApplicationListens)
{
    test::TempProfile profile;
    EXPECT_EQ(defaultCommandSocketPath(), paths::commandSocketFile());
    EXPECT_TRUE(defaultCommandSocketPath().startsWith(profile.path(QStringLiteral("runtime/Vesk-FTPUploader/"))));
    for (const char *runtime : { "", "relative/runtime" }) {
        qputenv("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(defaultCommandSocketPath(), paths::commandSocketFile()) << runtime;
        EXPECT_TRUE(defaultCommandSocketPath().startsWith(QStringLiteral("/tmp/Vesk-FTPUploader-"))) << runtime;
    }
}
