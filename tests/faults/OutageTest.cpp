// The service is down (connections refused) for 20 s, then comes back on the same port: every
// picture arrives afterwards, whole and once, without anything from outside starting a pass.

#include "FaultRun.h"

#include <gtest/gtest.h>

#include <QDirIterator>

using namespace vesk;
using namespace std::chrono_literals;

TEST(Outage, PicturesWaitForTheServiceAndAllArriveWhenItComesBack)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    ASSERT_TRUE(run.service.stop()); // the port is known; nobody listens on it now
    for (int i = 1; i <= 9; ++i)
        run.addPicture(QStringLiteral("Table %1/IMG_%2.JPG").arg(i % 3 + 1).arg(i, 4, 10, QLatin1Char('0')));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());

    // The outage: the program keeps trying and keeps every picture.
    const auto outageEnds = std::chrono::steady_clock::now() + 20s;
    ASSERT_TRUE(test::waitFor([&] { return run.programOutput().count(QStringLiteral("[retry]")) >= 9; }, 20s))
        << run.programOutput().toStdString();
    ASSERT_TRUE(
        test::waitFor([&] { return !run.programRunning() || std::chrono::steady_clock::now() >= outageEnds; }, 25s));
    ASSERT_TRUE(run.programRunning()) << run.programErrors().right(4000).toStdString();
    const int refusals = run.programOutput().count(QStringLiteral("[retry]"));
    EXPECT_FALSE(QDirIterator(run.mirror, QDir::Files, QDirIterator::Subdirectories).hasNext());
    EXPECT_FALSE(QDirIterator(run.problem, QDir::Files, QDirIterator::Subdirectories).hasNext());

    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_GE(refusals, 18) << "the pictures were tried again during the outage";
    EXPECT_FALSE(run.programOutput().contains(QStringLiteral("[problem]")));
}
