// The service is down (connections refused) for ten seconds, two minutes and thirty minutes of the
// program's time (scaled), then comes back on the same port. While it is away no upload is tried,
// new pictures included, and no picture is blamed; once it answers, the first waiting picture goes
// within the goal's bound, and every picture arrives whole and once.

#include "FaultRun.h"

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(Outage, NoUploadWhileTheServiceIsAwayAndTheQueueGoesOnAtOnceWhenItIsBack)
{
    test::FaultRun run;
    run.timeScale = 0.01; // thirty minutes last 18 s
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("Table 0/IMG_0000.JPG"));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    ASSERT_TRUE(test::waitFor([&] { return run.programErrors().contains(QStringLiteral("SET fWatcherRunLoop to:")); }));
    const auto count = [&](const char *line) { return run.programOutput().count(QLatin1String(line)); };

    int number = 1;
    const auto addPictures = [&](int pictures) {
        for (int i = 0; i < pictures; ++i, ++number)
            run.addPicture(
                QStringLiteral("Table %1/IMG_%2.JPG").arg(number % 3 + 1).arg(number, 4, 10, QLatin1Char('0')));
    };
    for (const double outage : { 10.0, 120.0, 1800.0 }) {
        SCOPED_TRACE(outage);
        ASSERT_TRUE(run.service.stop());
        const int away = count("[away]");
        addPictures(3);
        ASSERT_TRUE(test::waitFor([&] { return count("[away]") > away; }, 30s)) << run.programOutput().toStdString();
        addPictures(2); // they wait too
        const auto back = std::chrono::steady_clock::now() + std::chrono::duration<double>(outage * run.timeScale);
        ASSERT_TRUE(
            test::waitFor([&] { return !run.programRunning() || std::chrono::steady_clock::now() >= back; }, 60s));
        const QString status = test::runCtl({ QStringLiteral("status") }).out;
        EXPECT_TRUE(status.contains(QStringLiteral("; the service is away since "))) << status.toStdString();

        const qsizetype uploads = run.service.uploads().size();
        ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
        const qint64 answering = QDateTime::currentMSecsSinceEpoch();
        ASSERT_TRUE(run.service.waitForUploads(int(uploads) + 1, 30s));
        EXPECT_LE(run.service.uploads().at(uploads).completedMs - answering, 5000) << "from back to the first upload";
        ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
        EXPECT_EQ(count("[away]"), away + 1) << "an upload was tried while the service was away";
        EXPECT_EQ(count("[back]"), away + 1);
    }
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_EQ(count("[retry]") + count("[problem]"), 0) << run.programOutput().toStdString();
}

// A proxy's 429, 502 and 503 (with Retry-After) and a hotspot's web page in place of the service's
// reply: each picture waits without a penalty and goes up once a check finds the service back.
TEST(Outage, GatewayAnswersAndAHotspotPageAreTheServiceBeingAway)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^busy=http429*1"), QStringLiteral("--rule"),
        QStringLiteral("^gw=http503*1"), QStringLiteral("--rule"), QStringLiteral("^page=html200*1"),
        QStringLiteral("--rule"), QStringLiteral("^proxy=http502*1") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    for (const char *name : { "Hall/busy.JPG", "Hall/gw.JPG", "Hall/page.JPG", "Hall/proxy.JPG" }) {
        run.addPicture(QString::fromLatin1(name), test::InMirror, 2);
        run.pictures.back().minUploads = 2;
    }
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    const QString output = run.programOutput();
    EXPECT_EQ(output.count(QStringLiteral("[away] Hall/")), 4) << output.toStdString();
    EXPECT_EQ(output.count(QStringLiteral("[back] ")), 4);
    EXPECT_EQ(output.count(QStringLiteral("[retry]")) + output.count(QStringLiteral("[problem]")), 0);
}
