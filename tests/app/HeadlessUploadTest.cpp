// The real program, headless, against the real substitute service: a source folder of pictures
// with EXIF capture dates and annotations is emptied into the mirror, every picture arriving whole.

#include "ServiceProcess.h"
#include "TestSupport.h"

#include "prefs/PropertyList.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

using namespace vesk;

namespace {
QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}
} // namespace

// In Europe/Berlin 02:30 does not exist on 2026-03-29 and exists twice on 2026-10-25: the text sent
// is the picture's own clock time all the same.
TEST(HeadlessUpload, FiftyPicturesReachTheServiceWholeWithEveryField)
{
    test::TempProfile profile;
    test::ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    const QString source = profile.path(QStringLiteral("source"));
    const QString mirror = profile.path(QStringLiteral("mirror"));
    QDir().mkpath(mirror);
    const QStringList emails { QStringLiteral("--emails"),
        QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org,e@x.org,f@x.org") };
    ASSERT_EQ(vesk::test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
                  QStringList { QStringLiteral("--out"), source, QStringLiteral("--count"), QStringLiteral("50"),
                      QStringLiteral("--folders"), QStringLiteral("5"), QStringLiteral("--date"),
                      QStringLiteral("2009:11:17 14:03:22") }
                      + emails),
        0);
    // name -> the text sent: the picture's own clock time.
    const std::map<QString, QString> clockOf { { QStringLiteral("Spring_0001.JPG"),
                                                   QStringLiteral("2026-03-29 02:30:00") },
        { QStringLiteral("Autumn_0001.JPG"), QStringLiteral("2026-10-25 02:30:00") } };
    for (const auto &[name, clock] : clockOf) {
        const QString exifDate = QString(clock).replace(QLatin1Char('-'), QLatin1Char(':'));
        ASSERT_EQ(vesk::test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
                      QStringList { QStringLiteral("--out"), source + QStringLiteral("/Night"),
                          QStringLiteral("--count=1"), QStringLiteral("--folders=0"), QStringLiteral("--date"),
                          exifDate, QStringLiteral("--prefix"), name.left(7) }
                          + emails),
            0);
    }
    std::map<QString, QString> digests; // file name -> SHA-256 before the upload
    for (QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        digests[QFileInfo(path).fileName()] = sha256Of(path);
    }
    ASSERT_EQ(digests.size(), 52u);

    const QVariantMap preferences {
        { QStringLiteral("prefLocalSourceUploadFolder"), source },
        { QStringLiteral("prefLocalMasterMirrorSiteFolder"), mirror },
        { QStringLiteral("userLoginName"), QStringLiteral("photographer") },
        { QStringLiteral("userLoginPassword"), QStringLiteral("s3cret") },
        { QStringLiteral("userEnteredEventName"), QStringLiteral("Gala 2026") },
        { QStringLiteral("prefAutoSynchronize"), false },
    };
    QDir().mkpath(profile.path(QStringLiteral("config/Vesk-FTPUploader")));
    ASSERT_TRUE(plist::writeXmlFileAtomically(
        profile.path(QStringLiteral("config/Vesk-FTPUploader/preferences.plist")), preferences, 0600));

    QProcess program;

    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    program.setProcessEnvironment(environment);
    program.start(test::buildBinFolder() + QStringLiteral("/vesk-ftpuploader"),
        { QStringLiteral("--headless"), QStringLiteral("--endpoint"), service.url(), source });
    ASSERT_TRUE(program.waitForStarted());
    ASSERT_TRUE(service.waitForUploads(52, std::chrono::seconds(120)));
    ASSERT_TRUE(test::waitFor(
        [&] { return QDirIterator(source, QDir::Files, QDirIterator::Subdirectories).hasNext() == false; },
        std::chrono::seconds(30)));
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardOutput().contains("[uploaded] Table 5/IMG_0050.JPG"));

    const auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 52);
    for (const auto &upload : uploads) {
        SCOPED_TRACE(upload.filename.toStdString());
        EXPECT_EQ(upload.outcome, QStringLiteral("ok"));
        EXPECT_EQ(upload.sha256, digests[upload.filename]);
        EXPECT_EQ(upload.field(QStringLiteral("username")), QStringLiteral("photographer"));
        EXPECT_EQ(upload.field(QStringLiteral("password")), QStringLiteral("s3cret"));
        EXPECT_EQ(upload.field(QStringLiteral("event")), QStringLiteral("Gala 2026"));
        EXPECT_EQ(upload.field(QStringLiteral("client")), QFileInfo(upload.filename).completeBaseName());
        // The clock time stored in the picture, as it was taken.
        const auto clock = clockOf.find(upload.filename);
        EXPECT_EQ(upload.field(QStringLiteral("capturetime")),
            clock == clockOf.end() ? QStringLiteral("2009-11-17 14:03:22") : clock->second);
        EXPECT_EQ(upload.field(QStringLiteral("fuseaction")), QStringLiteral("upload.upload"));
        EXPECT_EQ(upload.field(QStringLiteral("metadata")), QString());
        EXPECT_EQ(upload.field(QStringLiteral("emails")), QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org"));
        EXPECT_TRUE(upload.field(QStringLiteral("localfilelocation"))
                        .startsWith(QStringLiteral("/Volumes/Card/DCIM/100CANON/")));
        EXPECT_EQ(sha256Of(upload.stored), upload.sha256);
        const QString mirrored
            = QDirIterator(mirror, { upload.filename }, QDir::Files, QDirIterator::Subdirectories).next();
        EXPECT_EQ(sha256Of(mirrored), upload.sha256);
    }
}
