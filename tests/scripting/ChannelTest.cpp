// The real program, headless, driven over its command socket: with vesk-ctl as a controlling
// application would, with raw lines as a careless or hostile one might, by a second launch of the
// program, by another server and by another user.

#include "ChannelTestSupport.h"
#include "TestSupport.h"

#include "app/Paths.h"
#include "scripting/CommandServer.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>
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
    // Another server never takes the running one's socket.
    CommandServer second;
    QString error;
    EXPECT_FALSE(second.listen(paths::commandSocketFile(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("another process"))) << error.toStdString();
    second.close();
    // A silent client and one that sends half a request hold nobody up.
    test::RawClient silent(paths::commandSocketFile());
    test::RawClient slow(paths::commandSocketFile());
    ASSERT_TRUE(silent.isConnected() && slow.send(R"({"class":"vesk",)"));
    expectCtl(args({ "paus" }), 0, QStringLiteral("ACCEPTED\n"));
    ASSERT_TRUE(slow.send("\"id\":\"paus\"}\n"));
    EXPECT_EQ(slow.readLine(), QByteArray(R"({"reply":"ACCEPTED"})"));
}

TEST_F(Channel, ClientsOfAnotherUserAreRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root, to run the client with setpriv --reuid";
    // Open the way inside the test's own profile, so that only the check of the peer's user stands
    // between the other user and the program.
    for (const QString &folder :
        { sProfile->root(), sProfile->path(QStringLiteral("runtime")), paths::runtimeFolder() })
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0711), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(paths::commandSocketFile()).constData(), 0666), 0);
    const CtlResult other = test::runCapturing(QStringLiteral("setpriv"),
        args({ "--reuid=65534", "--regid=65534", "--clear-groups" })
            + QStringList { test::buildBinFolder() + QStringLiteral("/vesk-ctl"), QStringLiteral("paus") },
        QProcessEnvironment::systemEnvironment());
    EXPECT_EQ(other.exitCode, 2) << other.err.toStdString();
    EXPECT_TRUE(other.out.isEmpty()) << other.out.toStdString();
    expectCtl(args({ "paus" }), 0, QStringLiteral("ACCEPTED\n"));
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

TEST(ChannelQuit, VeskCtlQuitEndsTheInstanceThroughTheQuitPath)
{
    test::TempProfile profile;
    // What a killed instance leaves behind: a socket nobody listens on, in a folder opened up.
    ::close(bindCommandSocket(false));
    ::chmod(QFile::encodeName(paths::runtimeFolder()).constData(), 0755);
    test::RunningApp app;
    ASSERT_TRUE(app.start());
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(paths::runtimeFolder()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
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
