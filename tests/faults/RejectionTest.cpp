// Runs of status-500 replies and of "Warning" replies: each of those pictures lands in the problem
// folder beside the mirror, under its own path and byte-identical; the pictures between and after
// the runs go to the mirror; nothing is sent twice.

#include "FaultRun.h"

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(Rejection, ServerErrorsAndWarningsParkThePicturesInTheProblemFolder)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^IMG_0[3-5]=http500"), QStringLiteral("--rule"),
        QStringLiteral("^IMG_0[6-8]=warning") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    for (const QString &folder : { QStringLiteral("Table 1"), QStringLiteral("Table 2") }) {
        for (int i = 1; i <= 10; ++i) {
            const bool rejected = i >= 3 && i <= 8;
            run.addPicture(QStringLiteral("%1/IMG_%2.JPG").arg(folder).arg(i, 2, 10, QLatin1Char('0')),
                rejected ? test::InProblem : test::InMirror);
        }
    }
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    for (const test::TrackedPicture &picture : run.pictures)
        EXPECT_EQ(run.uploadsOf(picture.sha256), 1) << picture.label.toStdString();
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[problem]")), 12);
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[uploaded]")), 8);
}
