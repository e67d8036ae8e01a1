// A service that takes a picture and never answers, and one that closes the connection without a
// reply: those pictures stay in the source folder, tried again now and then, and never stop the
// pictures behind them, which all arrive whole.

#include "FaultRun.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(SilentService, HangingAndDroppedUploadsStayWhileTheOthersGo)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^A_hang=hang"), QStringLiteral("--rule"),
        QStringLiteral("^B_drop=drop") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    // First in their folders, so every other picture is behind them. Each attempt is recorded by the
    // service; the bound only says that they are not sent in a tight loop.
    run.addPicture(QStringLiteral("Hall/A_hang.JPG"), test::InSource, 12);
    run.addPicture(QStringLiteral("Hall/B_drop.JPG"), test::InSource, 40);
    run.pictures[0].minUploads = 1;
    run.pictures[1].minUploads = 1;
    for (int i = 1; i <= 4; ++i)
        run.addPicture(QStringLiteral("Hall/C_%1.JPG").arg(i));
    run.addPicture(QStringLiteral("Stage/A_hang_2.JPG"), test::InSource, 12);
    for (int i = 1; i <= 4; ++i)
        run.addPicture(QStringLiteral("Stage/D_%1.JPG").arg(i));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());

    ASSERT_TRUE(run.waitSettled(90s)) << run.inventory().toStdString() << run.service.log().toStdString();
    ASSERT_TRUE(test::waitFor([&] {
        return run.uploadsOf(run.shaOf(QStringLiteral("Hall/A_hang.JPG"))) >= 1
            && run.uploadsOf(run.shaOf(QStringLiteral("Hall/B_drop.JPG"))) >= 1;
    }));
    // However often they are tried, the counts are of pictures; one taken out of the source folder
    // leaves the pictures waiting.
    const auto status = [](const char *key) {
        const QByteArray reply = test::runCtl({ QStringLiteral("--json"), QStringLiteral("status") }).out.toUtf8();
        return QJsonDocument::fromJson(reply)[QStringLiteral("status")][QLatin1String(key)].toInt(-1);
    };
    ASSERT_TRUE(test::waitFor([&] { return status("transferFailures") == 3 && status("failedAttempts") > 3; }));
    EXPECT_EQ(status("waitingForRetry"), 3);
    EXPECT_TRUE(test::runCtl({ QStringLiteral("status") }).out.contains(QStringLiteral("waiting to retry 3 pictures")));
    ASSERT_TRUE(QFile::remove(run.sourcePath(QStringLiteral("Hall/B_drop.JPG"))));
    run.pictures[1].allowed = test::Gone;
    EXPECT_TRUE(test::waitFor([&] { return status("waitingForRetry") == 2; }));
    // Only pictures that failed are left, all due: a picture never tried that arrives goes before
    // any of them but the one that may already be on its way.
    ASSERT_EQ(test::runCtl({ QStringLiteral("retry") }).exitCode, 0);
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    run.addPicture(QStringLiteral("Hall/E_new.JPG"));
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo::exists(run.mirrorPath(QStringLiteral("Hall/E_new.JPG"))); }));
    const QList<test::ServiceUpload> uploads = run.service.uploads();
    const auto fresh = std::find_if(uploads.begin(), uploads.end(),
        [](const test::ServiceUpload &upload) { return upload.filename == QLatin1String("E_new.JPG"); });
    ASSERT_NE(fresh, uploads.end());
    EXPECT_LE(std::count_if(uploads.begin(), uploads.end(),
                  [&](const test::ServiceUpload &upload) {
                      return upload.receivedMs >= arrived && upload.receivedMs < fresh->receivedMs;
                  }),
        1);
    EXPECT_EQ(status("transferFailures"), 3);
    const QRegularExpression toRetry(QStringLiteral("to retry (\\d+)\\)"));
    for (auto it = toRetry.globalMatch(run.programOutput()); it.hasNext();)
        EXPECT_LE(it.next().captured(1).toInt(), 3);
    // Quitting does not wait for a service that never answers.
    EXPECT_TRUE(run.stopProgram(20s));
    run.verify();
    EXPECT_TRUE(run.programErrors().contains(QStringLiteral("Empty reply from server")))
        << "the dropped connection is reported as such";
}
