// The mirror folder cannot take a picture (a file stands where its sub-folder must go), nor the
// problem folder a rejected one: the service got them once, and neither later passes, timer firings
// nor a restart of the program send them again. Once the obstacles are gone, they move without
// being sent.

#include "FaultRun.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {
const QString kEmptyPass = QStringLiteral("Scanning done - NO File found for uploading...");
}

TEST(BlockedMirror, APictureThatCannotBeMovedIsNotSentAgainAndAgain)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^W_=warning") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const QString blocked = run.addPicture(QStringLiteral("Blocked/IMG_1.JPG"));
    const QString blocked2 = run.addPicture(QStringLiteral("Blocked/IMG_2.JPG"));
    const QString rejected = run.addPicture(QStringLiteral("Rejected/W_1.JPG"), test::InProblem);
    run.addPicture(QStringLiteral("Open/IMG_1.JPG"));
    run.addPicture(QStringLiteral("Open/IMG_2.JPG"));
    for (test::TrackedPicture &picture : run.pictures)
        picture.minUploads = 1;
    ASSERT_TRUE(test::writeFile(run.mirror + QStringLiteral("/Blocked"), "a file, not a folder"));
    ASSERT_TRUE(test::writeFile(run.problem + QStringLiteral("/Rejected"), "a file, not a folder"));
    // Auto-synchronize every 30 s, scaled: the timer fires again and again during the test.
    run.writePreferences(
        { { QStringLiteral("prefAutoSynchronize"), true }, { QStringLiteral("prefSecondsBetweenScans"), 30.0 } });
    ASSERT_TRUE(run.startProgram());

    const auto passesAndTimers = [&](int passes) {
        return test::waitFor(
            [&] {
                const QString console = run.programErrors();
                return console.count(kEmptyPass) >= passes
                    && console.count(QStringLiteral("Setting up Timer")) >= passes;
            },
            60s);
    };
    ASSERT_TRUE(passesAndTimers(5)) << run.programErrors().right(3000).toStdString();
    EXPECT_GE(run.programErrors().count(QStringLiteral("doAutoResynchronize")), 4);
    EXPECT_EQ(run.uploadsOf(blocked), 1);
    EXPECT_EQ(run.uploadsOf(blocked2), 1);
    EXPECT_EQ(run.uploadsOf(rejected), 1);
    EXPECT_TRUE(QFile::exists(run.source + QStringLiteral("/Blocked/IMG_1.JPG")));
    EXPECT_TRUE(QFile::exists(run.source + QStringLiteral("/Rejected/W_1.JPG")));

    // A new process remembers what it must not send again.
    ASSERT_TRUE(run.stopProgram());
    const int before = run.programErrors().count(kEmptyPass);
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(passesAndTimers(before + 4)) << run.programErrors().right(3000).toStdString();
    EXPECT_EQ(run.uploadsOf(blocked), 1);
    EXPECT_EQ(run.uploadsOf(rejected), 1);

    ASSERT_TRUE(QFile::remove(run.mirror + QStringLiteral("/Blocked")));
    ASSERT_TRUE(QFile::remove(run.problem + QStringLiteral("/Rejected")));
    ASSERT_TRUE(run.waitSettled(30s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}
