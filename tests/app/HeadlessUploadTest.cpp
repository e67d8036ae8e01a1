// The real program, headless, against the real substitute service: a source folder of pictures
// with EXIF capture dates and annotations is emptied into the mirror, every picture arriving whole
// with every field of its request.

#include "FaultRun.h"

#include <QDirIterator>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(HeadlessUpload, FiftyPicturesReachTheServiceWholeWithEveryField)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    ASSERT_EQ(test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
                  { QStringLiteral("--out"), run.source, QStringLiteral("--count"), QStringLiteral("50"),
                      QStringLiteral("--folders"), QStringLiteral("5"), QStringLiteral("--date"),
                      QStringLiteral("2009:11:17 14:03:22"), QStringLiteral("--emails"),
                      QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org,e@x.org,f@x.org") }),
        0);
    for (QDirIterator it(run.source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        run.trackFile(QDir(run.source).relativeFilePath(it.next()), test::InMirror);
    ASSERT_EQ(run.pictures.size(), 50u);
    run.writePreferences({ { QStringLiteral("userEnteredEventName"), QStringLiteral("Gala 2026") } });
    // The capture time goes as the picture's clock showed it, whatever the zone the program runs in.
    run.program.environment.insert(QStringLiteral("TZ"), QStringLiteral("Asia/Tokyo"));
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(120s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_TRUE(run.programOutput().contains(QStringLiteral("[uploaded] Table 5/IMG_0050.JPG")));

    for (const test::ServiceUpload &upload : run.service.uploads()) {
        SCOPED_TRACE(upload.filename.toStdString());
        EXPECT_EQ(upload.outcome, QStringLiteral("ok"));
        const std::pair<const char *, QString> fields[] = {
            { "username", QStringLiteral("photographer") },
            { "password", QStringLiteral("s3cret") },
            { "event", QStringLiteral("Gala 2026") },
            { "client", QFileInfo(upload.filename).completeBaseName() },
            { "capturetime", QStringLiteral("2009-11-17 14:03:22") },
            { "fuseaction", QStringLiteral("upload.upload") },
            { "metadata", QString() },
            { "emails", QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org") },
        };
        for (const auto &[name, value] : fields)
            EXPECT_EQ(upload.field(QLatin1String(name)), value) << name;
        EXPECT_TRUE(upload.field(QStringLiteral("localfilelocation"))
                        .startsWith(QStringLiteral("/Volumes/Card/DCIM/100CANON/")));
    }
}
