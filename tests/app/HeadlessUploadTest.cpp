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

TEST(HeadlessUpload, FiftyPicturesReachTheServiceWholeWithEveryField)
{
    test::TempProfile profile;
    test::ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    const QString source = profile.path(QStringLiteral("source"));
    const QString mirror = profile.path(QStringLiteral("mirror"));
    QDir().mkpath(mirror);
    ASSERT_EQ(vesk::test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
                  { QStringLiteral("--out"), source, QStringLiteral("--count"), QStringLiteral("50"),
                      QStringLiteral("--folders"), QStringLiteral("5"), QStringLiteral("--date"),
                      QStringLiteral("2009:11:17 14:03:22"), QStringLiteral("--emails"),
                      QStringLiteral("a@x.org,b@x.org,c@x.org,d@x.org,e@x.org,f@x.org") }),
        0);
    std::map<QString, QString> digests; // file name -> SHA-256 before the upload
    for (QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        digests[QFileInfo(path).fileName()] = sha256Of(path);
    }
    ASSERT_EQ(digests.size(), 50u);

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
    program.start(test::buildBinFolder() + QStringLiteral("/vesk-ftpuploader"),
        { QStringLiteral("--headless"), QStringLiteral("--endpoint"), service.url(), source });
    ASSERT_TRUE(program.waitForStarted());
    ASSERT_TRUE(service.waitForUploads(50, std::chrono::seconds(120)));
    ASSERT_TRUE(test::waitFor(
        [&] { return QDirIterator(source, QDir::Files, QDirIterator::Subdirectories).hasNext() == false; },
        std::chrono::seconds(30)));
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardOutput().contains("[uploaded] Table 5/IMG_0050.JPG"));

    const auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 50);
    for (const auto &upload : uploads) {
        SCOPED_TRACE(upload.filename.toStdString());
        EXPECT_EQ(upload.outcome, QStringLiteral("ok"));
        EXPECT_EQ(upload.sha256, digests[upload.filename]);
        EXPECT_EQ(upload.field(QStringLiteral("username")), QStringLiteral("photographer"));
        EXPECT_EQ(upload.field(QStringLiteral("password")), QStringLiteral("s3cret"));
        EXPECT_EQ(upload.field(QStringLiteral("event")), QStringLiteral("Gala 2026"));
        EXPECT_EQ(upload.field(QStringLiteral("client")), QFileInfo(upload.filename).completeBaseName());
        // The clock time stored in the picture, as it was taken.
        EXPECT_EQ(upload.field(QStringLiteral("capturetime")), QStringLiteral("2009-11-17 14:03:22"));
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
