// Runs of status-500 replies and of "Warning" replies: each of those pictures lands in the problem
// folder beside the mirror, under its own path and byte-identical, never replacing a picture
// already there; the pictures between and after the runs go to the mirror; nothing is sent twice.

#include "FaultRun.h"

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(Rejection, ServerErrorsAndWarningsParkThePicturesInTheProblemFolder)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^IMG_0[3-5]=http500"), QStringLiteral("--rule"),
        QStringLiteral("^IMG_0[6-8]=warning") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    // An earlier picture of the same name is in the problem folder already: it stays, and the new one
    // stays in the source folder without being sent again.
    const QByteArray older = run.pictureBytes(QStringLiteral("older"));
    ASSERT_TRUE(test::writeFile(run.problemPath(QStringLiteral("Table 2/IMG_06.JPG")), older));
    run.trackContent(QStringLiteral("Table 2/IMG_06.JPG"), older, test::InProblem, 0);
    for (const QString &folder : { QStringLiteral("Table 1"), QStringLiteral("Table 2") }) {
        for (int i = 1; i <= 10; ++i) {
            const QString name = QStringLiteral("%1/IMG_%2.JPG").arg(folder).arg(i, 2, 10, QLatin1Char('0'));
            const bool rejected = i >= 3 && i <= 8;
            run.addPicture(name,
                name == QStringLiteral("Table 2/IMG_06.JPG") ? test::InSource
                    : rejected                               ? test::InProblem
                                                             : test::InMirror);
            run.pictures.back().minUploads = 1;
        }
    }
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    // Every picture went up once, the one that could not be parked too.
    ASSERT_TRUE(run.service.waitForUploads(20));
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[problem]")), 12);
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[uploaded]")), 8);
}
