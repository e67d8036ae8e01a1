// The command server in this process, with plain test handlers: its folder and socket file, how it
// cuts the byte stream into requests, and how it treats clients that misbehave.

#include "app/Paths.h"
#include "scripting/CommandProtocol.h"
#include "scripting/CommandServer.h"

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vesk;
using test::RawClient;

namespace {

constexpr FourCharCode kTest = fourCharCode("test");

QByteArray request(const char *id, const QString &param = QStringLiteral("hi"))
{
    return QByteArray(R"({"class":"test","id":")") + id + R"(","params":[")" + param.toUtf8() + "\"]}\n";
}

QByteArray replyText(const QString &text)
{
    return QByteArray(R"({"reply":")") + text.toUtf8() + "\"}";
}

unsigned modeOf(const QString &path)
{
    struct stat info { };
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

struct ServerFixture {
    ServerFixture()
    {
        server.setEventHandler(kTest, fourCharCode("echo"), [](const AppleEvent &event, AppleEventReply &reply) {
            reply.directObject = AEDescriptor::text(event.directObject->join(QLatin1Char(' ')));
        });
    }
    bool listen()
    {
        QString error;
        const bool ok = server.listen(path, &error);
        EXPECT_TRUE(ok) << error.toStdString();
        return ok;
    }
    test::TempProfile profile;
    const QString path = paths::commandSocketFile();
    CommandServer server;
};

} // namespace

TEST(ServerSocket, APrivateFolderAStaleSocketReplacedAndALiveOneNever)
{
    ServerFixture f;
    const QString folder = QFileInfo(f.path).absolutePath();
    // A folder that is a link is refused.
    QDir().mkpath(f.profile.path(QStringLiteral("elsewhere")));
    ASSERT_TRUE(QFile::link(f.profile.path(QStringLiteral("elsewhere")), folder));
    QString error;
    EXPECT_FALSE(f.server.listen(f.path, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not a folder"))) << error.toStdString();
    // What a killed instance leaves behind: a socket file nobody listens on, in a folder opened up.
    QFile::remove(folder);
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(f.path).constData());
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ::close(stale);
    ASSERT_TRUE(f.listen());
    EXPECT_EQ(modeOf(folder), 0700u);
    CommandServer second;
    EXPECT_FALSE(second.listen(f.path, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("another process"))) << error.toStdString();
    second.close(); // must not remove the first server's file
    RawClient client(f.path);
    ASSERT_TRUE(client.send(request("echo")));
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("hi")));
    f.server.close();
    EXPECT_FALSE(QFileInfo::exists(f.path));
}

TEST(ServerStream, RequestsArriveInPiecesTogetherAndWithoutAFinalLineEnd)
{
    ServerFixture f;
    ASSERT_TRUE(f.listen());
    RawClient client(f.path);
    const QByteArray one = request("echo", QStringLiteral("one"));
    ASSERT_TRUE(client.send(one.left(10)));
    EXPECT_FALSE(client.readLine(200).has_value()); // half a request is not answered
    ASSERT_TRUE(client.send(one.mid(10)));
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("one")));

    QByteArray two = request("echo", QStringLiteral("two"));
    two.insert(two.size() - 1, '\r');
    ASSERT_TRUE(client.send(
        two + request("echo", QStringLiteral("three")) + request("echo", QStringLiteral("four")).trimmed()));
    client.shutdownWrite();
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("two")));
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("three")));
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("four")));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(test::waitFor([&] { return f.server.connectionCount() == 0; }));
}

TEST(ServerStream, AnOverlongLineIsAnsweredOnceAtTheLimitAndTheConnectionGoesOn)
{
    ServerFixture f;
    ASSERT_TRUE(f.listen());
    RawClient client(f.path);
    ASSERT_TRUE(client.send(QByteArray(kMaxCommandLineBytes + 1, 'x')));
    // Answered before the line ends: a client need not finish a line that can never be served.
    const std::optional<QByteArray> error = client.readLine();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->startsWith(R"({"error":"request longer than 65536 bytes)")) << error->toStdString();
    ASSERT_TRUE(client.send(QByteArray(200000, 'y') + '\n' + request("echo")));
    EXPECT_EQ(client.readLine(), replyText(QStringLiteral("hi")));
    EXPECT_FALSE(client.readLine(200).has_value()); // the rest of the long line got no second error
}

TEST(ServerClients, OneThatNeverReadsIsDroppedWhileOthersAreServed)
{
    ServerFixture f;
    CommandServer::Limits limits;
    limits.maxPendingReplyBytes = 256 * 1024;
    f.server.setLimits(limits);
    const QString big(32 * 1024, QLatin1Char('z'));
    f.server.setEventHandler(kTest, fourCharCode("bigr"),
        [&](const AppleEvent &, AppleEventReply &reply) { reply.directObject = AEDescriptor::text(big); });
    ASSERT_TRUE(f.listen());

    RawClient hog(f.path);
    RawClient polite(f.path);
    ASSERT_TRUE(test::waitFor([&] { return f.server.connectionCount() == 2; }));
    const QByteArray burst = request("bigr").repeated(64);
    qsizetype offset = 0;
    const bool dropped = test::waitFor([&] {
        const qsizetype n = hog.sendSome(burst.mid(offset % burst.size()));
        if (n < 0)
            return true;
        offset += n;
        return f.server.connectionCount() == 1;
    });
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(hog.waitClosed());
    ASSERT_TRUE(polite.send(request("echo")));
    EXPECT_EQ(polite.readLine(), replyText(QStringLiteral("hi")));
}
