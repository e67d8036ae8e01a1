// Failures of the exchange and of the picture: every one ends in exactly one done and one failure
// notification, on the posting thread, and never freezes the cycle or sends half a picture.

#include "CaptureServer.h"
#include "UploadHarness.h"
#include "support/TestSupport.h"

#include "diag/Describe.h"

#include <QDir>
#include <QFile>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;
using namespace vesk::test;

namespace {

const QByteArray kOkReply = "<response><status>OK</status><message>Stored</message></response>";

QVariantMap errorOf(const UploadRun &run)
{
    return run.outcome.value(CycleNames::cDictKeyHttpError).toMap();
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : fName(name)
        , fSaved(qgetenv(name))
        , fHad(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (fHad)
            qputenv(fName, fSaved);
        else
            qunsetenv(fName);
    }

private:
    const char *fName;
    QByteArray fSaved;
    bool fHad;
};

void expectTransportFailure(const UploadRun &run)
{
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.done, 1);
    EXPECT_TRUE(run.failed());
    EXPECT_TRUE(run.onPostingThread);
    EXPECT_TRUE(run.itemEmptyAfter);
    const QVariantMap error = errorOf(run);
    EXPECT_EQ(error.value(QStringLiteral("domain")).toString(), QStringLiteral("curl"));
    EXPECT_FALSE(error.value(QStringLiteral("localizedDescription")).toString().isEmpty());
    EXPECT_TRUE(error.value(QStringLiteral("userInfo")).toMap().contains(QStringLiteral("url")));
    // Nothing that would park the picture: it stays for the next pass.
    EXPECT_FALSE(run.outcome.contains(CycleNames::cDictKeyHttpStatusCode));
    EXPECT_FALSE(run.outcome.contains(CycleNames::cDictKeyHttpCustomStatus));
    EXPECT_FALSE(run.outcome.contains(CycleNames::cDictKeyHttpReturnData));
}

} // namespace

TEST(UploadFailure, RefusedConnectionIsATransportError)
{
    ConsoleRecorder console;
    UploadHarness harness(QStringLiteral("http://127.0.0.1:%1/index.php").arg(unusedLoopbackPort()));
    const UploadRun run = harness.upload(makeItem(harness.writePicture(QStringLiteral("a.jpg"), "jpeg"), false));
    expectTransportFailure(run);
    EXPECT_EQ(errorOf(run).value(QStringLiteral("code")).toInt(), static_cast<int>(CURLE_COULDNT_CONNECT));
    EXPECT_TRUE(console.contains(QStringLiteral("========== sendSynchronousRequest returned [<NIL>]\n\n")));
    EXPECT_TRUE(console.contains(QStringLiteral("NO Response returned from sendSynchronousRequest???")));
    EXPECT_TRUE(console.contains(QStringLiteral("====> the error is:\n")));
    EXPECT_TRUE(console.contains(QStringLiteral("cDictKeyHttpError = [")));
}

TEST(UploadFailure, ServiceThatNeverAnswersIsEndedByTheStallTimeout)
{
    ScopedEnv stall("VESK_HTTP_STALL_TIMEOUT", "1");
    CaptureServer server;
    server.setMode(CaptureServer::Mode::NeverAnswer);
    UploadHarness harness(server.url());
    const UploadRun run = harness.upload(makeItem(harness.writePicture(QStringLiteral("a.jpg"), "jpeg"), false));
    expectTransportFailure(run);
    EXPECT_EQ(server.requests().size(), 1); // the whole request went out
    EXPECT_EQ(errorOf(run).value(QStringLiteral("code")).toInt(), static_cast<int>(CURLE_OPERATION_TIMEDOUT));
}

TEST(UploadFailure, CancelFromAnotherThreadEndsTheTransferAndLaterOnes)
{
    qunsetenv("VESK_HTTP_STALL_TIMEOUT"); // 30 s: only the cancel can end this within the wait
    CaptureServer server;
    server.setMode(CaptureServer::Mode::NeverAnswer);
    UploadHarness harness(server.url());
    harness.start(makeItem(harness.writePicture(QStringLiteral("a.jpg"), "jpeg"), false));
    ASSERT_TRUE(server.waitForRequests(1));
    harness.client().cancel();
    const UploadRun run = harness.finish(std::chrono::seconds(20));
    expectTransportFailure(run);
    EXPECT_EQ(errorOf(run).value(QStringLiteral("code")).toInt(), static_cast<int>(CURLE_ABORTED_BY_CALLBACK));

    const UploadRun later = harness.upload(makeItem(harness.writePicture(QStringLiteral("b.jpg"), "jpeg"), false));
    expectTransportFailure(later);
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST(UploadFailure, UnreadablePictureIsAFailureAndSendsNothing)
{
    CaptureServer server;
    server.setReply(200, kOkReply);
    UploadHarness harness(server.url());
    const QString folder = harness.folder() + QStringLiteral("/Table7.jpg");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString fifo = harness.folder() + QStringLiteral("/pipe.jpg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Bad {
        QString path;
        QString reason;
    };
    std::vector<Bad> cases = { { harness.folder() + QStringLiteral("/missing.jpg"), QStringLiteral("No such file") },
        { folder, QStringLiteral("Is a directory") }, { fifo, QStringLiteral("not a regular file") } };
    if (::geteuid() != 0) {
        const QString locked = harness.writePicture(QStringLiteral("locked.jpg"), "jpeg");
        QFile::setPermissions(locked, QFileDevice::Permissions());
        cases.push_back({ locked, QStringLiteral("Permission denied") });
    }
    for (const Bad &bad : cases) {
        SCOPED_TRACE(bad.path.toStdString());
        ConsoleRecorder console;
        InfoRef item = makeItem(bad.path, false);
        const Info original = *item;
        const UploadRun run = harness.upload(item);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.done, 1);
        EXPECT_TRUE(run.failed());
        EXPECT_TRUE(run.itemEmptyAfter);
        EXPECT_EQ(run.outcome.value(CycleNames::cDictKeyHttpCustomStatus).toString(), QStringLiteral("Warning"));
        const QString message = run.outcome.value(CycleNames::cDictKeyHttpCustomMessage).toString();
        EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot read the picture file ") + bad.path))
            << message.toStdString();
        EXPECT_TRUE(message.contains(bad.reason)) << message.toStdString();
        for (auto it = original.cbegin(); it != original.cend(); ++it)
            EXPECT_EQ(run.outcome.value(it.key()), it.value()) << it.key().toStdString();
        EXPECT_FALSE(run.outcome.contains(CycleNames::cDictKeyHttpStatusCode));
        EXPECT_EQ(console.count(QStringLiteral("Error in Reading the Contents of file at path:\n") + bad.path
                      + QStringLiteral("\n\n")),
            1);
    }
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(UploadFailure, PictureChangedDuringTheTransferIsATransportError)
{
    CaptureServer server;
    server.setReply(200, kOkReply);
    UploadHarness harness(server.url());
    const QString picture = harness.writePicture(QStringLiteral("growing.jpg"), QByteArray(4096, 'a'));
    // The service has the whole request when the writer comes back to the file.
    server.setOnRequest([picture] {
        QFile file(picture);
        if (file.open(QIODevice::Append))
            file.write("more");
    });
    const UploadRun run = harness.upload(makeItem(picture, false));
    expectTransportFailure(run);
    EXPECT_EQ(errorOf(run).value(QStringLiteral("localizedDescription")).toString(),
        QStringLiteral("The picture changed while it was being sent"));
}

TEST(UploadFailure, PictureThatShrinksWhileReadIsNeverSentInPart)
{
    CaptureServer server;
    server.setReply(200, kOkReply);
    UploadHarness harness(server.url());
    const QString picture = harness.folder() + QStringLiteral("/shrinking.jpg");
    {
        QFile file(picture);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(64LL * 1024 * 1024)); // larger than any socket buffers between the two
    }
    server.setOnHead([picture] { QFile::resize(picture, 1000); });
    const UploadRun run = harness.upload(makeItem(picture, false));
    expectTransportFailure(run);
    EXPECT_EQ(errorOf(run).value(QStringLiteral("localizedDescription")).toString(),
        QStringLiteral("The picture became shorter while it was being sent"));
    EXPECT_TRUE(server.requests().isEmpty()); // the body never completed
}

TEST(UploadFailure, ItemRecordIsEmptiedOnlyAfterTheOutcomeChain)
{
    CaptureServer server;
    server.setReply(200, kOkReply);
    UploadHarness harness(server.url());
    InfoRef item = makeItem(harness.writePicture(QStringLiteral("IMG_1.JPG"), "jpeg"), true);
    const Info original = *item;
    const UploadRun run = harness.upload(item);
    ASSERT_TRUE(run.finished);
    EXPECT_TRUE(run.succeeded());
    EXPECT_TRUE(run.onPostingThread);
    EXPECT_TRUE(run.resultWasSeparate);
    EXPECT_TRUE(item->isEmpty());
    for (auto it = original.cbegin(); it != original.cend(); ++it)
        EXPECT_EQ(run.outcome.value(it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(run.outcome.value(CycleNames::cDictKeyHttpCustomMessage).toString(), QStringLiteral("Stored"));
}

TEST(UploadFailure, StartWithoutARecordStillEndsInOneFailure)
{
    ConsoleRecorder console;
    UploadHarness harness(QStringLiteral("http://127.0.0.1:%1/index.php").arg(unusedLoopbackPort()));
    const UploadRun run = harness.upload(nullptr);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.done, 1);
    EXPECT_TRUE(run.failed());
    EXPECT_TRUE(console.contains(QStringLiteral("Passed NIL Info to HttpController => doRunHttpUploaderWithInfo...")));
}

TEST(UploadFailure, RedirectsStopAfterFiveAndNeverLeaveTheHost)
{
    CaptureServer server;
    UploadHarness h(server.url());
    const QString picture = h.writePicture(QStringLiteral("IMG.JPG"), "bytes");
    const QByteArray otherHost = "http://localhost:" + QByteArray::number(server.port()) + "/index.php";
    const struct {
        QByteArray location;
        int requests;
    } cases[] = { { server.url().toUtf8(), 1 + HttpController::kMaxRedirects }, { otherHost, 1 } };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.location.toStdString());
        server.setReply(307, "moved", 0, "Location: " + c.location + "\r\n");
        const int before = static_cast<int>(server.requests().size());
        const UploadRun run = h.upload(makeItem(picture, false));
        EXPECT_TRUE(run.failed());
        EXPECT_EQ(run.outcome.value(CycleNames::cDictKeyHttpStatusCode).toLongLong(), 307);
        EXPECT_EQ(server.requests().size() - before, c.requests);
    }
}

TEST(HttpClient, RedirectRulesForSchemeHostAndPort)
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

TEST(HttpClient, ObserversAndEndpoint)
{
    NotificationCenter center;
    {
        HttpController client(center, QStringLiteral("http://127.0.0.1:1/index.php"));
        for (const QString &name : { CycleNames::cNotification_UploadStart, CycleNames::cNotification_UploadDone,
                 CycleNames::cNotification_UploadSuccess, CycleNames::cNotification_UploadFail })
            EXPECT_EQ(center.observerCount(name), 1u) << name.toStdString();
    }
    EXPECT_EQ(center.observerCount(CycleNames::cNotification_UploadStart), 0u);

    {
        ScopedEnv url("VESK_UPLOAD_URL", "https://photos.example.net/index.php");
        EXPECT_EQ(HttpController::resolveEndpoint(QStringLiteral("http://a/index.php")),
            QStringLiteral("http://a/index.php"));
        EXPECT_EQ(HttpController::resolveEndpoint(QString()), QStringLiteral("https://photos.example.net/index.php"));
    }
    qunsetenv("VESK_UPLOAD_URL");
    EXPECT_EQ(
        HttpController::resolveEndpoint(QString()), QStringLiteral("http://upload.vesk-photos.example/index.php"));
}
