// The program is killed (SIGKILL) while a picture is on its way, and started again: the picture in
// flight may go up a second time, no other picture does, and every picture ends in the mirror.

#include "FaultRun.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {
// The service's partial upload files: one past the given size while a large body is being received.
bool receivingBody(const test::FaultRun &run, qint64 beyond)
{
    for (const QFileInfo &part :
        QDir(run.service.storage()).entryInfoList({ QStringLiteral(".incoming-*") }, QDir::Files | QDir::Hidden)) {
        if (part.size() > beyond)
            return true;
    }
    return false;
}
} // namespace

TEST(Kill, WaitingForTheReply)
{
    // The service keeps the picture and answers 5 s later: the kill comes while the program waits.
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^IMG_03=slow") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    for (int i = 1; i <= 6; ++i)
        run.addPicture(
            QStringLiteral("Table/IMG_%1.JPG").arg(i, 2, 10, QLatin1Char('0')), test::InMirror, i == 3 ? 2 : 1);
    const QString inFlight = run.shaOf(QStringLiteral("Table/IMG_03.JPG"));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(test::waitFor([&] { return run.uploadsOf(inFlight) == 1; }, 30s)) << run.inventory().toStdString();
    run.killProgram();
    EXPECT_TRUE(QFileInfo::exists(run.source + QStringLiteral("/Table/IMG_03.JPG")));

    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}

TEST(Kill, InTheMiddleOfTheBody)
{
    // A large picture: the kill comes while its bytes are still being received, or, on a fast
    // machine, just after; either way no half picture may count as uploaded.
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("Table/IMG_01.JPG"));
    run.addPicture(QStringLiteral("Table/IMG_02.JPG"), test::InMirror, 2, 48LL * 1024 * 1024);
    run.addPicture(QStringLiteral("Table/IMG_03.JPG"));
    run.addPicture(QStringLiteral("Table/IMG_04.JPG"));
    const QString large = run.shaOf(QStringLiteral("Table/IMG_02.JPG"));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    // Only the large picture's body grows past a few megabytes: a kill during a small one would let
    // that one go up twice.
    ASSERT_TRUE(test::waitFor([&] { return receivingBody(run, 4 << 20) || run.uploadsOf(large) > 0; }, 30s));
    run.killProgram();
    const bool cutOff = run.uploadsOf(large) == 0;

    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    // The service throws a body that broke off away: the picture went up once, after the restart.
    if (cutOff) {
        EXPECT_EQ(run.uploadsOf(large), 1);
    }
}
