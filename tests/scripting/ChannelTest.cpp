// The real program, headless, driven over its command socket: with vesk-ctl as a controlling
// application would, and with raw lines as a careless or hostile one might.

#include "app/Paths.h"
#include "prefs/PropertyList.h"

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vesk;
using test::CtlResult;
using test::runCtl;

namespace {

QStringList args(std::initializer_list<const char *> words)
{
    QStringList list;
    for (const char *word : words)
        list.append(QString::fromUtf8(word));
    return list;
}

std::optional<QVariant> storedPreference(const QString &key)
{
    const std::optional<QVariant> root = plist::readFile(paths::preferencesFile());
    if (!root || !root->toMap().contains(key))
        return std::nullopt;
    return root->toMap().value(key);
}

// One running program per test group keeps the suite quick; every test starts from its profile.
class Channel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sProfile = new test::TempProfile;
        sApp = new test::RunningApp;
        ASSERT_TRUE(sApp->start());
    }
    static void TearDownTestSuite()
    {
        delete sApp;
        delete sProfile;
    }
    void SetUp() override { ASSERT_EQ(sApp->process().state(), QProcess::Running); }

    static void expectCtl(const QStringList &arguments, int exitCode, const QString &out)
    {
        const CtlResult result = runCtl(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << arguments.join(QLatin1Char(' ')).toStdString() << "\n"
                                             << result.err.toStdString();
        EXPECT_EQ(result.out, out) << arguments.join(QLatin1Char(' ')).toStdString();
    }

    static inline test::TempProfile *sProfile = nullptr;
    static inline test::RunningApp *sApp = nullptr;
};

const QString kSuccessLine = QStringLiteral("COMMAND SUCCESS\n");
const QString kFailedLine = QStringLiteral("COMMAND FAILED\n");

} // namespace

TEST_F(Channel, SecondsSetAndReadBackThroughVeskCtl)
{
    expectCtl(args({ "setValue", "prefSecondsBetweenScans", "45" }), 0, kSuccessLine);
    expectCtl(args({ "getValue", "prefSecondsBetweenScans" }), 0,
        QStringLiteral("COMMAND SUCCESS\ngetValue\nprefSecondsBetweenScans\n45.00\n"));
    expectCtl(args({ "--json", "getValue", "prefSecondsBetweenScans" }), 0,
        QStringLiteral(R"({"reply":["COMMAND SUCCESS",["getValue","prefSecondsBetweenScans","45.00"]]})"
                       "\n"));
    for (const char *refused : { "0", "-5", "abc" })
        expectCtl(args({ "setValue", "prefSecondsBetweenScans", refused }), 1, kFailedLine);
    EXPECT_EQ(storedPreference(QStringLiteral("prefSecondsBetweenScans")), QVariant(45.0));
}

TEST_F(Channel, DaysAreTruncatedInThePreferencesFile)
{
    expectCtl(args({ "setValue", "prefDaysOldBeforeDeleting", "7.9" }), 0, kSuccessLine);
    EXPECT_EQ(storedPreference(QStringLiteral("prefDaysOldBeforeDeleting")), QVariant(qlonglong(7)));
    expectCtl(args({ "setValue", "prefDaysOldBeforeDeleting", "0.5" }), 1, kFailedLine); // 0 days: refused
    EXPECT_EQ(storedPreference(QStringLiteral("prefDaysOldBeforeDeleting")), QVariant(qlonglong(7)));
    expectCtl(args({ "getValue", "prefDaysOldBeforeDeleting" }), 1, kFailedLine);
}

TEST_F(Channel, YesNoTextAndUnsupportedKeys)
{
    expectCtl(args({ "setValue", "prefAutoSynchronize", "YES" }), 0, kSuccessLine);
    EXPECT_EQ(storedPreference(QStringLiteral("prefAutoSynchronize")), QVariant(QStringLiteral("YES")));
    expectCtl(args({ "setValue", "prefAutoSynchronize", "true" }), 1, kFailedLine);
    expectCtl(args({ "getValue", "prefAutoSynchronize" }), 1, kFailedLine);
    expectCtl(args({ "setValue", "prefShowWindowAtStartup", "NO" }), 1, kFailedLine);

    expectCtl(args({ "getValue", "userLoginName" }), 0, kSuccessLine); // nothing stored yet
    expectCtl(args({ "SETVALUE", "userLoginName", "ann" }), 0, kSuccessLine);
    expectCtl(args({ "setvalue", "USERLOGINNAME", "bob" }), 0, kSuccessLine);
    EXPECT_EQ(storedPreference(QStringLiteral("userLoginName")), QVariant(QStringLiteral("ann")));
    EXPECT_EQ(storedPreference(QStringLiteral("USERLOGINNAME")), QVariant(QStringLiteral("bob")));
    expectCtl(
        args({ "GetValue", "userLoginName" }), 0, QStringLiteral("COMMAND SUCCESS\nGetValue\nuserLoginName\nann\n"));
    expectCtl(args({ "setValue", "userLoginName" }), 1, kFailedLine); // no value: refused, "ann" stays
    EXPECT_EQ(storedPreference(QStringLiteral("userLoginName")), QVariant(QStringLiteral("ann")));
}

TEST_F(Channel, OtherCommandWordsAndRequestsWithoutAListChangeNothing)
{
    const QByteArray before = test::readText(paths::preferencesFile()).toUtf8();
    expectCtl(args({ "send", "vesk", "1234", "listValues", "userLoginName" }), 0, kSuccessLine);
    expectCtl(args({ "send", "vesk", "1234" }), 1, kFailedLine);
    EXPECT_EQ(test::readText(paths::preferencesFile()).toUtf8(), before);
}

TEST_F(Channel, PauseAndSynchronizeAreAccepted)
{
    expectCtl(args({ "paus" }), 0, QStringLiteral("ACCEPTED\n"));
    expectCtl(args({ "upnw" }), 0, QStringLiteral("ACCEPTED\n"));
    expectCtl(args({ "--json", "upnw" }), 0, QStringLiteral("{\"reply\":\"ACCEPTED\"}\n"));
}

TEST_F(Channel, VeskCtlReportsRefusedRequestsAndBadCommandLines)
{
    const CtlResult unknown = runCtl(args({ "send", "vesk", "zzzz" }));
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.out.isEmpty());
    EXPECT_TRUE(unknown.err.contains(QStringLiteral("no handler"))) << unknown.err.toStdString();
    for (const QStringList &bad :
        { args({}), args({ "frobnicate" }), args({ "getValue" }), args({ "send", "ve", "1234" }),
            args({ "resume", "extra" }), args({ "--nonsense", "upnw" }), args({ "--timeout", "soon", "upnw" }) })
        EXPECT_EQ(runCtl(bad).exitCode, 2) << bad.join(QLatin1Char(' ')).toStdString();
    const CtlResult help = runCtl(args({ "--help" }));
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("\n  resume "))) << help.out.toStdString();
    EXPECT_TRUE(runCtl(args({ "--version" })).out.startsWith(QStringLiteral("vesk-ctl ")));
}

TEST_F(Channel, HostileLinesGetErrorsAndTheSameConnectionStillAnswers)
{
    test::RawClient client(paths::commandSocketFile());
    ASSERT_TRUE(client.isConnected());
    const QByteArray good = R"({"class":"vesk","id":"1234","params":["getValue","prefSecondsBetweenScans"]})";
    const QByteArray hostile[] = {
        QByteArray(70 * 1024, '{'),
        R"({"class":"vesk","id":"1234","params":["getValue")",
        R"({"class":"vesk","id":1234})",
        R"({"class":"vesk","id":"1234","params":"getValue"})",
        R"({"class":"vesk","id":"1234","params":[null]})",
        R"({"class":"vesk","id":"nope"})",
        R"({"class":"nope","id":"upnw"})",
        R"({"class":"vesk","id":"upnw","reply":"x"})",
        QByteArray("\x00\xff\xfe", 3),
        "",
    };
    for (const QByteArray &line : hostile) {
        ASSERT_TRUE(client.send(line + '\n'));
        const std::optional<QByteArray> reply = client.readLine();
        ASSERT_TRUE(reply) << line.left(80).toStdString();
        EXPECT_TRUE(reply->startsWith(R"({"error":")"))
            << line.left(80).toStdString() << " => " << reply->toStdString();
        ASSERT_TRUE(client.send(good + '\n'));
        const std::optional<QByteArray> answer = client.readLine();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->startsWith(R"({"reply":["COMMAND SUCCESS")")) << answer->toStdString();
    }
}

TEST_F(Channel, SilentAndSlowClientsDoNotHoldOthersUp)
{
    test::RawClient silent(paths::commandSocketFile());
    test::RawClient slow(paths::commandSocketFile());
    ASSERT_TRUE(silent.isConnected() && slow.isConnected());
    ASSERT_TRUE(slow.send(R"({"class":"vesk",)"));
    expectCtl(args({ "paus" }), 0, QStringLiteral("ACCEPTED\n"));
    ASSERT_TRUE(slow.send(R"("id":"paus"})"
                          "\n"));
    EXPECT_EQ(slow.readLine(), QByteArray(R"({"reply":"ACCEPTED"})"));
}

TEST(ChannelQuit, VeskCtlQuitEndsTheInstanceThroughTheQuitPath)
{
    test::TempProfile profile;
    test::RunningApp app;
    ASSERT_TRUE(app.start());
    const CtlResult quit = runCtl(args({ "quit" }));
    EXPECT_EQ(quit.exitCode, 0) << quit.err.toStdString();
    EXPECT_TRUE(quit.out.isEmpty());
    ASSERT_TRUE(app.waitForExit());
    EXPECT_EQ(app.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.process().exitCode(), 0);
    EXPECT_TRUE(app.standardError().contains(QStringLiteral("Received kAEQuitApplication...")));
    const QString log = test::readText(test::messageLogPath());
    EXPECT_TRUE(log.contains(QStringLiteral("ibClickedOnQuit")));
    EXPECT_TRUE(log.endsWith(QStringLiteral("applicationWillTerminate - DONE!\n"))) << log.right(300).toStdString();
    EXPECT_FALSE(QFileInfo::exists(paths::commandSocketFile()));

    // Nothing runs now: vesk-ctl says so with its own exit status.
    const CtlResult nobody = runCtl(args({ "upnw" }));
    EXPECT_EQ(nobody.exitCode, 2);
    EXPECT_TRUE(nobody.err.contains(QStringLiteral("no running instance"))) << nobody.err.toStdString();
}

TEST(ChannelQuit, VeskCtlGivesUpOnAnInstanceThatNeverAnswers)
{
    test::TempProfile profile;
    // A listener that never accepts: the connection is queued, the request sent, and no reply comes.
    ASSERT_TRUE(paths::makeFolder(paths::runtimeFolder(), 0700));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(paths::commandSocketFile()).constData());
    const int mute = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(mute, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(mute, 4), 0);
    const CtlResult result = runCtl(args({ "--timeout", "0.5", "upnw" }));
    ::close(mute);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.err.contains(QStringLiteral("no reply in time"))) << result.err.toStdString();
}
