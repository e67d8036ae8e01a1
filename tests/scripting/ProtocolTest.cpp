// The wire format of the command channel.

#include "scripting/CommandProtocol.h"

#include <gtest/gtest.h>

using namespace vesk;

TEST(CommandProtocol, RequestsAreReadAsDocumentedAndRefusedWithAReason)
{
    const CommandParseResult full = parseCommandRequest(R"({"class":"vesk","id":"1234","params":["getValue","x"]})");
    ASSERT_TRUE(full.request) << full.error.toStdString();
    EXPECT_EQ(full.request->eventClass, kVeskEventClass);
    EXPECT_EQ(full.request->eventID, kVeskPreferenceCommand);
    EXPECT_EQ(full.request->params, QStringList({ QStringLiteral("getValue"), QStringLiteral("x") }));
    // Field order and blanks do not matter; no "params" is not the same as an empty list.
    const CommandParseResult bare = parseCommandRequest(" { \"id\" : \"quit\" , \"class\" : \"aevt\" } \r");
    ASSERT_TRUE(bare.request);
    EXPECT_FALSE(bare.request->params);
    EXPECT_TRUE(parseCommandRequest(R"({"class":"vesk","id":"1234","params":[]})").request->params);
    // Texts go into a property list: tab and line ends, yes; other control characters, no.
    const CommandParseResult fine
        = parseCommandRequest(R"({"class":"vesk","id":"1234","params":["a\tb\r\n","\ud83d\udcf7"]})");
    ASSERT_TRUE(fine.request);
    EXPECT_EQ(fine.request->params->value(1), QStringLiteral("\U0001F4F7"));

    const auto padded = [](qsizetype length) -> QByteArray {
        const QByteArray head = R"({"class":"vesk","id":"upnw")";
        return head + QByteArray(length - head.size() - 1, ' ') + '}';
    };
    EXPECT_TRUE(parseCommandRequest(padded(kMaxCommandLineBytes)).request);
    const std::pair<QByteArray, const char *> refused[] = {
        { "", "empty" },
        { R"({"class":"vesk","id":)", "not JSON" },
        { R"(["vesk","upnw"])", "object" },
        { R"({"class":"vesk","id":"upnw","extra":1})", "unknown field \"extra\"" },
        { R"({"id":"upnw"})", "missing \"class\"" },
        { R"({"class":"vesk"})", "missing \"id\"" },
        { R"({"class":"vesk","id":1234})", "\"id\" must be" },
        { R"({"class":"vesk","id":"v\u00e9sk"})", "\"id\" must be" },
        { R"({"class":"vesk","id":"1234","params":"getValue"})", "params" },
        { R"({"class":"vesk","id":"1234","params":["a\u0000b"]})", "control characters" },
        { QByteArray(R"({"class":"vesk","id":"1234","params":["a)") + '\0' + R"(b"]})", "control characters" },
        { R"({"class":"vesk","id":"upnw","\u0001\ud800":1})", "unknown field \"??\"" },
        { padded(kMaxCommandLineBytes + 1), "longer" },
    };
    for (const auto &[line, reason] : refused) {
        const CommandParseResult result = parseCommandRequest(line);
        EXPECT_FALSE(result.request) << line.left(80).toStdString();
        EXPECT_TRUE(result.error.contains(QLatin1String(reason)))
            << line.left(80).toStdString() << " => " << result.error.toStdString();
    }
}
