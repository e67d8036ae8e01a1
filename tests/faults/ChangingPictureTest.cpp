// Pictures that change while they are on their way: one written again once the service has it and
// before it answers, one cut short while its bytes are read, one replaced under its name by another
// file. None counts as uploaded as it was:
// each goes again as it is now, and no half picture is ever taken. The change to the large one
// comes while its bytes are read, or just after.

#include "FaultRun.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>

using namespace vesk;
using namespace std::chrono_literals;

TEST(ChangingPicture, APictureChangedOnItsWayGoesAgainAsItIsNow)
{
    // The service keeps each picture and answers 5 s later: the changes come before the answer.
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^IMG_=slow") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const QString grown = run.sourcePath(QStringLiteral("Table/IMG_1.JPG"));
    const QString cut = run.sourcePath(QStringLiteral("Table/IMG_2.JPG"));
    const QByteArray first = run.pictureBytes(QStringLiteral("Table/IMG_1.JPG"));
    const QByteArray large = run.pictureBytes(QStringLiteral("Table/IMG_2.JPG"), 48LL << 20);
    ASSERT_TRUE(test::writeFile(grown, first) && test::writeFile(cut, large));
    run.trackContent(QStringLiteral("IMG_1 as first written"), first, test::Gone, 1, false);
    run.trackContent(QStringLiteral("IMG_2 before it was cut"), large, test::Gone, 1, false);
    run.trackContent(QStringLiteral("Table/IMG_1.JPG"), first + "more", test::InMirror);
    run.trackContent(QStringLiteral("Table/IMG_2.JPG"), large.left(1000), test::InMirror);
    const QString third = run.addPicture(QStringLiteral("Table/IMG_3.JPG"), test::Gone);
    const QByteArray other = run.pictureBytes(QStringLiteral("another IMG_3"));
    const QString replacement = run.profile.path(QStringLiteral("replacement"));
    ASSERT_TRUE(test::writeFile(replacement, other));
    run.trackContent(QStringLiteral("Table/IMG_3.JPG"), other, test::InMirror);
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());

    ASSERT_TRUE(test::waitFor([&] { return run.uploadsOf(test::sha256Of(first)) == 1; }, 30s));
    QFile file(grown);
    ASSERT_TRUE(file.open(QIODevice::Append) && file.write("more") == 4);
    file.close();
    // The large picture's upload has begun: its bytes are being read (or, on a fast machine, all are).
    ASSERT_TRUE(test::waitFor(
        [&] { return run.programErrors().count(QStringLiteral("Start to sendSynchronousRequest")) >= 2; }, 30s));
    ASSERT_TRUE(QFile::resize(cut, 1000));
    ASSERT_TRUE(test::waitFor([&] { return run.uploadsOf(third) == 1; }, 60s));
    ASSERT_EQ(::rename(QFile::encodeName(replacement).constData(),
                  QFile::encodeName(run.sourcePath(QStringLiteral("Table/IMG_3.JPG"))).constData()),
        0);
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}
