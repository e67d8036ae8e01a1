// The real program, headless, driven over its command socket: with vesk-ctl as a controlling
// application would, with raw lines as a careless or hostile one might, by a second launch of the
// program, by another user, and with crowds of event listeners; and the starts it refuses.

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include "app/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
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

void expectCtl(const QStringList &arguments, int exitCode, const QString &out, const QString &err = {})
{
    const CtlResult result = runCtl(arguments, QDir::homePath());
    EXPECT_EQ(result.exitCode, exitCode) << arguments.join(QLatin1Char(' ')).toStdString() << "\n"
                                         << result.err.toStdString();
    EXPECT_EQ(result.out, out) << arguments.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(err.endsWith(QLatin1Char('\n')) ? result.err : result.err.left(err.size()), err); // whole or its start
}

// A socket bound at the command socket's place, listening or not.
int bindCommandSocket(bool listening)
{
    paths::makeFolder(paths::runtimeFolder(), 0700);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(paths::commandSocketFile()).constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    if (listening) {
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    return fd;
}

// One running program for the group keeps the suite quick.
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
    void SetUp() override { ASSERT_TRUE(sApp->isRunning()); }
    static inline test::TempProfile *sProfile = nullptr;
    static inline test::RunningApp *sApp = nullptr;
};

} // namespace

TEST_F(Channel, VeskCtlPrintsTheRepliesAndItsExitStatusSaysHowItWent)
{
    expectCtl(args({ "setValue", "prefSecondsBetweenScans", "45" }), 0, QStringLiteral("COMMAND SUCCESS\n"));
    expectCtl(args({ "getValue", "prefSecondsBetweenScans" }), 0,
        QStringLiteral("COMMAND SUCCESS\ngetValue\nprefSecondsBetweenScans\n45.00\n"));
    expectCtl(args({ "--json", "getValue", "prefSecondsBetweenScans" }), 0,
        QStringLiteral(R"({"reply":["COMMAND SUCCESS",["getValue","prefSecondsBetweenScans","45.00"]]})"
                       "\n"));
    // A refusal's reason on standard error, beside the reply's words; a missing folder is one.
    expectCtl(args({ "setValue", "prefSecondsBetweenScans", "0" }), 1, QStringLiteral("COMMAND FAILED\n"),
        QStringLiteral("vesk-ctl: prefSecondsBetweenScans takes a number of seconds from 1 to 2147483"));
    expectCtl(args({ "open", "missing" }), 1, QStringLiteral("COMMAND FAILED\n"),
        QStringLiteral("vesk-ctl: Local Source Upload Folder is NOT a Valid FOLDER: [%1/missing]\n")
            .arg(QDir::homePath()));
    expectCtl(args({ "pause" }), 0, QStringLiteral("ACCEPTED\n"));
    expectCtl(args({ "--json", "upnw" }), 0, QStringLiteral("{\"reply\":\"ACCEPTED\"}\n"));
    const CtlResult unknown = runCtl(args({ "send", "vesk", "zzzz" }));
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains(QStringLiteral("no handler"))) << unknown.err.toStdString();
    for (const QStringList &bad : { args({}), args({ "getValue" }), args({ "send", "ve", "1234" }),
             args({ "resume", "extra" }), args({ "--nonsense", "upnw" }), args({ "--timeout", "soon", "upnw" }) })
        EXPECT_EQ(runCtl(bad).exitCode, 2) << bad.join(QLatin1Char(' ')).toStdString();
    expectCtl(args({ "frobnicate" }), 2, {},
        QStringLiteral("vesk-ctl: unknown command \"frobnicate\" (vesk-ctl --help lists the commands)\n"));
}

TEST_F(Channel, HostileLinesGetErrorsAndTheSameConnectionStillAnswers)
{
    test::RawClient client(paths::commandSocketFile());
    ASSERT_TRUE(client.isConnected());
    const QByteArray good = R"({"class":"vesk","id":"1234","params":["getValue","prefSecondsBetweenScans"]})";
    for (const QByteArray &line : { QByteArray(70 * 1024, '{'), QByteArray(R"({"class":"vesk","id":1234})"),
             QByteArray(R"({"class":"vesk","id":"1234","params":[null]})"),
             QByteArray(R"({"class":"nope","id":"upnw"})"), QByteArray("\x00\xff\xfe", 3), QByteArray() }) {
        ASSERT_TRUE(client.send(line + '\n'));
        const std::optional<QByteArray> reply = client.readLine();
        ASSERT_TRUE(reply) << line.left(80).toStdString();
        EXPECT_TRUE(reply->startsWith(R"({"error":")"))
            << line.left(80).toStdString() << " => " << reply->toStdString();
        ASSERT_TRUE(client.send(good + '\n'));
        EXPECT_TRUE(client.readLine().value_or(QByteArray()).startsWith(R"({"reply":["COMMAND SUCCESS")"));
    }
    // A silent client and one that sends half a request hold nobody up.
    test::RawClient silent(paths::commandSocketFile());
    test::RawClient slow(paths::commandSocketFile());
    ASSERT_TRUE(silent.isConnected() && slow.send(R"({"class":"vesk",)"));
    expectCtl(args({ "paus" }), 0, QStringLiteral("ACCEPTED\n"));
    ASSERT_TRUE(slow.send("\"id\":\"paus\"}\n"));
    EXPECT_EQ(slow.readLine(), QByteArray(R"({"reply":"ACCEPTED"})"));
}

TEST_F(Channel, ASecondLaunchWithoutAFolderBringsTheRunningOneForward)
{
    // It says so and leaves (with a folder: RefusedFolders).
    const CtlResult bare
        = test::runCapturing(test::programPath(), args({ "--headless" }), test::environmentWithoutDisplay());
    EXPECT_EQ(bare.exitCode, 0) << bare.err.toStdString();
    EXPECT_TRUE(bare.out.contains(QStringLiteral("(process %1) is already running").arg(sApp->process().processId())))
        << bare.out.toStdString();
    EXPECT_TRUE(test::waitFor([&] { return sApp->standardError().contains(QStringLiteral("Activate request")); }));
    EXPECT_TRUE(sApp->isRunning());
}

// The program does not run without its lock and its channel (exit status 1, and the reason). Once it
// runs, another user's client is refused; event listeners that leave free their places at once,
// however many, one more than the places is refused, and requests always find a place, up to the quit.
TEST(ChannelQuit, NoInstanceWithoutAPrivateChannelAndListenersNeverCrowdOutRequests)
{
    test::TempProfile profile;
    const int listening = bindCommandSocket(true);
    auto expectRefused = [](const QString &runtime, const char *reason) {
        QProcessEnvironment environment = test::environmentWithoutDisplay();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime); // empty: unset
        const CtlResult refused = test::runCapturing(test::programPath(), args({ "--headless" }), environment);
        EXPECT_EQ(refused.exitCode, 1) << reason;
        EXPECT_TRUE(refused.err.contains(QLatin1String(reason))) << refused.err.toStdString();
    };
    QDir().mkpath(profile.path(QStringLiteral("open/Vesk-FTPUploader")));
    ::chmod(QFile::encodeName(profile.path(QStringLiteral("open/Vesk-FTPUploader"))).constData(), 0755);
    expectRefused(profile.path(QStringLiteral("open")), "has mode 0755, not 0700");
    expectRefused(profile.path(QString(90, QLatin1Char('r'))), "at most 107 (108 with the closing zero)");
    expectRefused(qEnvironmentVariable("XDG_RUNTIME_DIR"), "command channel cannot be opened: another process");
    ::close(listening); // what a killed instance leaves behind: a socket nobody listens on
    test::RunningApp app;
    ASSERT_TRUE(app.start());
    if (::geteuid() == 0) {
        const auto asOtherUser = [](const QStringList &command) {
            return test::runCapturing(QStringLiteral("setpriv"),
                args({ "--reuid=65534", "--regid=65534", "--clear-groups" }) + command,
                QProcessEnvironment::systemEnvironment());
        };
        // In a state folder that others may write (sticky, as /tmp is), the other user was first.
        const QString shared = profile.path(QStringLiteral("shared/Vesk-FTPUploader"));
        QDir().mkpath(shared);
        ::chmod(QFile::encodeName(shared).constData(), 01777);
        // With the way open to the socket, only the check of the peer's user stands in the way.
        for (const QString &folder :
            { profile.root(), qEnvironmentVariable("XDG_RUNTIME_DIR"), paths::runtimeFolder() })
            ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0711), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(paths::commandSocketFile()).constData(), 0666), 0);
        ASSERT_EQ(asOtherUser(args({ "mkdir", "-m", "700" }) << shared + QStringLiteral("/run")).exitCode, 0);
        const CtlResult other
            = asOtherUser({ test::buildBinFolder() + QStringLiteral("/vesk-ctl"), QStringLiteral("paus") });
        EXPECT_EQ(other.exitCode, 2) << other.err.toStdString();
        EXPECT_TRUE(other.out.isEmpty()) << other.out.toStdString();
        const QByteArray state = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", QFile::encodeName(profile.path(QStringLiteral("shared"))));
        expectRefused({}, "belongs to another user");
        qputenv("XDG_STATE_HOME", state);
    } else {
        std::puts("[  SKIPPED ] another user's folder and client: setpriv --reuid needs root");
    }
    const QString socket = paths::commandSocketFile();
    const QByteArray listen = R"({"class":"vesk","id":"evts"})"
                              "\n";
    const auto listeners = [] {
        const QJsonObject reply = QJsonDocument::fromJson(runCtl(args({ "--json", "status" })).out.toUtf8()).object();
        return reply[QStringLiteral("status")][QStringLiteral("listeners")].toInt(-1);
    };
    for (int i = 0; i < 1000; ++i) // as `timeout 0.3 vesk-ctl events` does, a thousand times
        ASSERT_TRUE(test::RawClient(socket).send(listen)) << i;
    ASSERT_TRUE(test::waitFor([&] { return listeners() == 0; }));
    std::vector<std::unique_ptr<test::RawClient>> crowd(32);
    for (std::unique_ptr<test::RawClient> &client : crowd)
        ASSERT_TRUE((client = std::make_unique<test::RawClient>(socket))->send(listen));
    ASSERT_TRUE(test::waitFor([&] { return listeners() == 32; }));
    const CtlResult refused = runCtl(args({ "events" }));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("too many listeners"))) << refused.err.toStdString();

    const CtlResult quit = runCtl(args({ "quit" }));
    EXPECT_EQ(quit.exitCode, 0) << quit.err.toStdString();
    EXPECT_TRUE(quit.out.isEmpty());
    ASSERT_TRUE(app.waitForExit());
    EXPECT_EQ(app.process().exitCode(), 0);
    const QString log = test::readText(test::messageLogPath());
    EXPECT_TRUE(log.contains(QStringLiteral("ibClickedOnQuit")));
    EXPECT_TRUE(log.endsWith(QStringLiteral("applicationWillTerminate - DONE!\n"))) << log.right(300).toStdString();
    EXPECT_FALSE(QFileInfo::exists(paths::commandSocketFile()));
    // Nothing runs now: vesk-ctl says so with its own exit status.
    const CtlResult nobody = runCtl(args({ "upnw" }));
    EXPECT_EQ(nobody.exitCode, 2);
    EXPECT_TRUE(nobody.err.contains(QStringLiteral("no running instance"))) << nobody.err.toStdString();
}
