// A service that takes a picture and never answers, and one that closes the connection without a
// reply: those pictures stay in the source folder, tried again now and then, and never stop the
// pictures behind them, which all arrive whole.

#include "FaultRun.h"

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
    // Quitting does not wait for a service that never answers.
    EXPECT_TRUE(run.stopProgram(20s));
    run.verify();
    EXPECT_TRUE(run.programErrors().contains(QStringLiteral("Empty reply from server")))
        << "the dropped connection is reported as such";
}
