// The real program, headless, against the real substitute service: a source folder of pictures
// with EXIF capture dates and annotations, a card of 2,000 in one folder, is emptied into the
// mirror, every picture arriving whole with every field of its request.

#include "FaultRun.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <map>

using namespace vesk;
using namespace std::chrono_literals;

TEST(HeadlessUpload, ACardOfTwoThousandPicturesReachesTheServiceWholeWithEveryField)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const auto samples = [&](const QString &folder, const QString &date, const QStringList &more) {
        return test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
            QStringList { QStringLiteral("--out"), folder, QStringLiteral("--date"), date, QStringLiteral("--emails"),
                QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org,e@x.org,f@x.org") }
                + more);
    };
    const auto card = [&](const QString &folder, const char *date, const char *count, const char *prefix) {
        return samples(folder, QLatin1String(date),
            { QLatin1String(count), QStringLiteral("--folders=0"), QStringLiteral("--prefix"), QLatin1String(prefix) });
    };
    ASSERT_EQ(card(run.source + QStringLiteral("/Card"), "2009:11:17 14:03:22", "--count=2000", "IMG_"), 0);
    // The capture time goes as the picture's clock showed it, whatever the zone the program runs in:
    // in Europe/Berlin 02:30 does not exist on 2026-03-29 and exists twice on 2026-10-25.
    std::map<QString, QString> clockOf { { QStringLiteral("Spring_0001.JPG"), QStringLiteral("2026-03-29 02:30:00") },
        { QStringLiteral("Autumn_0001.JPG"), QStringLiteral("2026-10-25 02:30:00") } };
    for (const auto &[name, clock] : clockOf)
        ASSERT_EQ(
            samples(run.source + QStringLiteral("/Night"), QString(clock).replace(QLatin1Char('-'), QLatin1Char(':')),
                { QStringLiteral("--count=1"), QStringLiteral("--folders=0"), QStringLiteral("--prefix"),
                    name.left(7) }),
            0);
    // Without a capture date the file's own date goes, as the program's zone shows it.
    ASSERT_EQ(test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
                  { QStringLiteral("--out"), run.source + QStringLiteral("/Night"), QStringLiteral("--count=1"),
                      QStringLiteral("--folders=0"), QStringLiteral("--prefix"), QStringLiteral("Undated_"),
                      QStringLiteral("--no-date"), QStringLiteral("--emails"),
                      QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org") }),
        0);
    const QFileInfo undated(run.source + QStringLiteral("/Night/Undated_0001.JPG"));
    const QDateTime fileDate = undated.birthTime().isValid() ? undated.birthTime() : undated.lastModified();
    clockOf.emplace(undated.fileName(),
        fileDate.toTimeZone(QTimeZone("Europe/Berlin")).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    for (QDirIterator it(run.source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        run.trackFile(QDir(run.source).relativeFilePath(it.next()), test::InMirror);
    ASSERT_EQ(run.pictures.size(), 2003u);
    run.writePreferences({ { QStringLiteral("userEnteredEventName"), QStringLiteral("Gala 2026") } });
    run.programEnvironment.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    ASSERT_TRUE(run.startProgram());
    // Mid-drain, a name that sorts first: it goes next, not after the whole card.
    ASSERT_TRUE(run.service.waitForUploads(200, 120s));
    const QString staging = run.profile.path(QStringLiteral("staging"));
    ASSERT_EQ(card(staging, "2009:11:17 14:03:23", "--count=1", "AAA_"), 0);
    clockOf.emplace(QStringLiteral("AAA_0001.JPG"), QStringLiteral("2009-11-17 14:03:23"));
    run.trackContent(QStringLiteral("Card/AAA_0001.JPG"), test::readBytes(staging + QStringLiteral("/AAA_0001.JPG")),
        test::InMirror);
    ASSERT_TRUE(
        QFile::rename(staging + QStringLiteral("/AAA_0001.JPG"), run.sourcePath(QStringLiteral("Card/AAA_0001.JPG"))));
    ASSERT_TRUE(run.waitSettled(300s)) << run.inventory().toStdString();
    const QByteArray status = test::runCtl({ QStringLiteral("--json"), QStringLiteral("status") }).out.toUtf8();
    EXPECT_EQ(
        QJsonDocument::fromJson(status)[QStringLiteral("status")][QStringLiteral("waitingInSource")].toInt(-1), 0);
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_TRUE(run.programOutput().contains(QStringLiteral("[uploaded] Card/IMG_2000.JPG")));
    const QList<test::ServiceUpload> uploads = run.service.uploads();
    const auto early = std::find_if(uploads.begin(), uploads.end(),
        [](const test::ServiceUpload &upload) { return upload.filename == QLatin1String("AAA_0001.JPG"); });
    EXPECT_LT(early - uploads.begin(), 1500);

    for (const test::ServiceUpload &upload : uploads) {
        SCOPED_TRACE(upload.filename.toStdString());
        EXPECT_EQ(upload.outcome, QStringLiteral("ok"));
        const auto clock = clockOf.find(upload.filename);
        const std::pair<const char *, QString> fields[] = {
            { "username", QStringLiteral("photographer") },
            { "password", QStringLiteral("s3cret") },
            { "event", QStringLiteral("Gala 2026") },
            { "client", QFileInfo(upload.filename).completeBaseName() },
            { "capturetime", clock == clockOf.end() ? QStringLiteral("2009-11-17 14:03:22") : clock->second },
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
