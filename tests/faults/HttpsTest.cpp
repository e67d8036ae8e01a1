// HTTPS through the real program and the real service, with a throw-away CA that openssl makes for
// the test: the picture goes up when the program is told the CA (the first variable set names it),
// and without it, from a service whose certificate names another host, or with a FIFO named as the
// CA file, the upload fails with a clear line and the picture stays. A quit ends the program in time
// even while a worker is held up.

#include "FaultRun.h"

#include <gtest/gtest.h>

#include "scripting/CommandClient.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

// A CA and two server certificates it signed, EC keys: good.pem for localhost and 127.0.0.1,
// other.pem for another host. Empty on success, else what openssl said.
QString makeCertificates(const QString &folder)
{
    const char *const steps[] = {
        "-keyout ca.key -out ca.pem -subj /CN=Vesk-test-CA",
        "-keyout good.key -out good.pem -subj /CN=localhost -CA ca.pem -CAkey ca.key "
        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1",
        "-keyout other.key -out other.pem -subj /CN=photos.example -CA ca.pem -CAkey ca.key "
        "-addext subjectAltName=DNS:photos.example",
    };
    for (const char *step : steps) {
        const QString arguments
            = QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ")
            + QLatin1String(step);
        QProcess openssl;
        openssl.setWorkingDirectory(folder);
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), arguments.split(QLatin1Char(' ')));
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            return arguments + QStringLiteral(": ") + QString::fromLocal8Bit(openssl.readAll());
    }
    return {};
}

} // namespace

TEST(Https, UploadsOnlyWhenTheServiceCertificateChecksOut)
{
    QTemporaryDir certificates;
    ASSERT_EQ(makeCertificates(certificates.path()), QString());
    const auto file = [&](const QString &name) { return certificates.filePath(name); };

    struct Case {
        const char *what;
        const char *certificate;
        QList<std::pair<const char *, const char *>> authorities; // variable, file of `certificates`
        const char *line; // of the failure; none: the picture goes up
    };
    const Case cases[] = {
        { "VESK_CA_FILE comes first", "good",
            { { "VESK_CA_FILE", "ca.pem" }, { "CURL_CA_BUNDLE", "other.pem" }, { "SSL_CERT_FILE", "other.pem" } },
            nullptr },
        { "CURL_CA_BUNDLE before SSL_CERT_FILE", "good",
            { { "CURL_CA_BUNDLE", "ca.pem" }, { "SSL_CERT_FILE", "other.pem" } }, nullptr },
        { "no CA named", "good", {},
            "[error] The service's certificate was not accepted: SSL certificate problem: unable to get local issuer "
            "certificate (checked against the system's CAs; a private CA is named with VESK_CA_FILE)" },
        { "another host's certificate", "other", { { "VESK_CA_FILE", "ca.pem" } },
            "[error] The service's certificate was not accepted: SSL: no alternative certificate subject name "
            "matches target host name '127.0.0.1'" },
        { "a FIFO as the CA file", "good", { { "VESK_CA_FILE", "0123abcd.0" } },
            "/0123abcd.0 (VESK_CA_FILE) is not a regular file" },
        { "a FIFO in the CA folder", "good", { { "VESK_CA_FILE", "ca.pem" }, { "SSL_CERT_DIR", "." } },
            "/. (SSL_CERT_DIR) holds 0123abcd.0, which is not a regular file" },
    };
    ASSERT_EQ(::mkfifo(QFile::encodeName(file(QStringLiteral("0123abcd.0"))).constData(), 0600), 0);
    for (const char *name : { "VESK_CA_FILE", "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR" })
        qunsetenv(name);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString name = QLatin1String(c.certificate);
        test::FaultRun run({ QStringLiteral("--tls-cert"), file(name + QStringLiteral(".pem")),
            QStringLiteral("--tls-key"), file(name + QStringLiteral(".key")) });
        for (const auto &[variable, authority] : c.authorities)
            run.programEnvironment.insert(QLatin1String(variable), file(QLatin1String(authority)));
        const QString hooks = run.profile.path(QStringLiteral("hooks"));
        ASSERT_EQ(::mkdir(QFile::encodeName(hooks).constData(), 0700), 0);
        run.programEnvironment.insert(QStringLiteral("VESK_TEST_HOOKS"), hooks);
        ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
        ASSERT_TRUE(run.service.url().startsWith(QStringLiteral("https://127.0.0.1:")));
        run.addPicture(
            QStringLiteral("Table 1/IMG_0001.JPG"), c.line ? test::InSource : test::InMirror, c.line ? 0 : 1);
        run.writePreferences();
        ASSERT_TRUE(run.startProgram());
        if (!c.line) {
            ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
            EXPECT_TRUE(run.stopProgram());
        } else {
            ASSERT_TRUE(test::waitFor([&] { return run.programOutput().contains(QStringLiteral("[retry]")); }, 60s))
                << run.programOutput().toStdString();
            EXPECT_TRUE(run.programOutput().contains(QLatin1String(c.line))) << run.programOutput().toStdString();
            // The next pass is held up in its worker; the quit still ends the program within its
            // bound, with the log closed and the socket gone.
            ASSERT_TRUE(test::writeFile(hooks + QStringLiteral("/picture-found"), {}));
            ASSERT_TRUE(test::waitFor(
                [&] { return QFileInfo::exists(hooks + QStringLiteral("/picture-found.reached")); }, 60s));
            EXPECT_TRUE(run.stopProgram(15s));
            EXPECT_FALSE(QFileInfo::exists(defaultCommandSocketPath()));
        }
        run.verify();
        const QString messageLog
            = test::readText(run.profile.path(QStringLiteral("state/Vesk-FTPUploader/Vesk-FTPUploaderLog.txt")));
        EXPECT_TRUE(messageLog.endsWith(QStringLiteral("applicationWillTerminate - DONE!\n")))
            << messageLog.toStdString();
        EXPECT_EQ(messageLog.contains(QStringLiteral("Not sent, HTTPS failed: ")), c.line != nullptr)
            << messageLog.toStdString();
    }
}
