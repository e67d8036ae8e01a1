// Runs of status-500 replies and of "Warning" replies: each of those pictures lands in the problem
// folder beside the mirror, under its own path and byte-identical, never replacing a picture
// already there; the pictures between and after the runs go to the mirror; nothing is sent twice.
// The figures of that run, as node_exporter serves them from the program's textfile.

#include "FaultRun.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

TEST(Rejection, ServerErrorsAndWarningsParkThePicturesInTheProblemFolder)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^IMG_0[3-5]=http500"), QStringLiteral("--rule"),
        QStringLiteral("^IMG_0[6-8]=warning") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    // An earlier picture of the same name is in the problem folder already: it stays, and the new one
    // lands beside it ("IMG_06 2.JPG").
    const QByteArray older = run.pictureBytes(QStringLiteral("older"));
    ASSERT_TRUE(test::writeFile(run.problemPath(QStringLiteral("Table 2/IMG_06.JPG")), older));
    run.trackContent(QStringLiteral("Table 2/IMG_06.JPG"), older, test::InProblem, 0);
    for (const QString &folder : { QStringLiteral("Table 1"), QStringLiteral("Table 2") }) {
        for (int i = 1; i <= 10; ++i) {
            const QString name = QStringLiteral("%1/IMG_%2.JPG").arg(folder).arg(i, 2, 10, QLatin1Char('0'));
            const bool rejected = i >= 3 && i <= 8;
            run.addPicture(name, rejected ? test::InProblem : test::InMirror);
            run.pictures.back().minUploads = 1;
            run.pictures.back().keepsName = name != QStringLiteral("Table 2/IMG_06.JPG");
        }
    }
    run.writePreferences();
    // The figures go to node_exporter's textfile folder, under a booth label that needs escaping.
    const QString textfiles = run.profile.path(QStringLiteral("textfiles"));
    ASSERT_TRUE(QDir().mkpath(textfiles));
    EXPECT_EQ(test::runCapturing(test::programPath(),
                  { QStringLiteral("--metrics-textfile"), textfiles + QStringLiteral("/vesk.txt") },
                  test::environmentWithoutDisplay())
                  .exitCode,
        2);
    run.programArguments = { QStringLiteral("--metrics-textfile"), textfiles + QStringLiteral("/vesk.prom"),
        QStringLiteral("--metrics-label"), QStringLiteral("ann \"2\"\\b") };
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    // Every picture went up once.
    ASSERT_TRUE(run.service.waitForUploads(20));
    qint64 sent = 0;
    for (const test::TrackedPicture &picture : run.pictures)
        sent += picture.allowed == test::InMirror ? picture.size : 0;
    test::runCtl({ QStringLiteral("status") }); // counts the pictures left waiting: the file follows

    const QString exporter = QStringLiteral("prometheus-node-exporter");
    const bool haveExporter = !QStandardPaths::findExecutable(exporter).isEmpty();
    if (haveExporter) {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        const QString address = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        QProcess node;
        node.start(exporter,
            { QStringLiteral("--collector.disable-defaults"), QStringLiteral("--collector.textfile"),
                QStringLiteral("--collector.textfile.directory=") + textfiles,
                QStringLiteral("--web.listen-address=") + address });
        const QString booth = QStringLiteral(R"({booth="ann \"2\"\\b")");
        const QStringList expected { QStringLiteral("vesk_uploaded_pictures_total%1} 8"),
            QStringLiteral("vesk_parked_pictures_total%1} 12"), QStringLiteral("vesk_waiting_pictures%1} 0"),
            QStringLiteral("vesk_failed_transfer_attempts_total%1} 0"),
            QStringLiteral("vesk_uploaded_not_moved_pictures_total%1} 0"),
            QStringLiteral("vesk_sent_bytes_total%1} ") + QString::number(sent),
            QStringLiteral("vesk_upload_duration_seconds_count%1} 8"),
            QStringLiteral("vesk_cycle_state%1,state=\"idle and waiting\"} 1"),
            QStringLiteral("vesk_info%1,event=\"Fault Night\",version=\"" VESK_VERSION "\"} 1") };
        QString scraped;
        const bool found = test::waitFor(
            [&] {
                scraped = test::runCapturing(QStringLiteral("curl"),
                    { QStringLiteral("-sf"), QStringLiteral("http://%1/metrics").arg(address) },
                    QProcessEnvironment::systemEnvironment())
                              .out;
                return scraped.contains(QStringLiteral("\nnode_textfile_scrape_error 0\n"))
                    && std::all_of(expected.begin(), expected.end(),
                        [&](const QString &line) { return scraped.contains(line.arg(booth) + QLatin1Char('\n')); });
            },
            30s);
        EXPECT_TRUE(found) << scraped.toStdString();
        // What vesk-ctl prints is the same format, and promtool finds nothing wrong with it.
        EXPECT_EQ(test::runCapturing(QStringLiteral("sh"),
                      { QStringLiteral("-c"), QStringLiteral("\"$0\" metrics | promtool check metrics"),
                          test::buildBinFolder() + QStringLiteral("/vesk-ctl") },
                      QProcessEnvironment::systemEnvironment())
                      .exitCode,
            0);
        node.kill();
        node.waitForFinished();
    }
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[problem]")), 12);
    EXPECT_EQ(run.programOutput().count(QStringLiteral("[uploaded]")), 8);
    // The file stays after the quit, and nothing else is left beside it.
    EXPECT_EQ(QDir(textfiles).entryList(QDir::Files), QStringList { QStringLiteral("vesk.prom") });
    if (!haveExporter)
        GTEST_SKIP() << "prometheus-node-exporter and promtool are not installed (scripts/bootstrap installs them)";
}

// A 307 sends the whole request again to the new address on the same server, and only its answer
// counts. A 302 is not followed (it would turn the upload into a GET): a picture that gets it alone
// while others pass waits the per-picture delay, growing, and is parked at its third; Retry Now
// makes it due at once. Two pictures in a row with it stop the cycle, and nothing is parked.
TEST(Rejection, A307IsFollowedWithTheWholePictureAndA302AloneIsRetriedThenParked)
{
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^moved=redirect307"), QStringLiteral("--rule"),
        QStringLiteral("^found=redirect302") });
    run.timeScale = 1; // the delays are measured
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("Table/found.JPG"), test::InProblem, 3);
    run.addPicture(QStringLiteral("Table/moved.JPG"), test::InMirror, 2);
    run.addPicture(QStringLiteral("Table/plain.JPG"));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(
        test::waitFor([&] { return run.programOutput().count(QStringLiteral("[retry] Table/found.JPG")) >= 2; }, 30s))
        << run.programOutput().toStdString();
    EXPECT_EQ(test::runCtl({ QStringLiteral("retry") }).out, QStringLiteral("ACCEPTED\n"));
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    // Byte for byte at both addresses: the redirected request carried the picture too.
    run.verify();
    QStringList received;
    QList<qint64> found;
    for (const test::ServiceUpload &upload : run.service.uploads()) {
        received << upload.filename + QLatin1Char(' ') + upload.outcome;
        if (upload.filename == QLatin1String("found.JPG"))
            found << upload.receivedMs;
    }
    EXPECT_EQ(received,
        (QStringList { QStringLiteral("found.JPG redirect302"), QStringLiteral("moved.JPG redirect307"),
            QStringLiteral("moved.JPG ok"), QStringLiteral("plain.JPG ok"), QStringLiteral("found.JPG redirect302"),
            QStringLiteral("found.JPG redirect302") }));
    ASSERT_EQ(found.size(), 3);
    EXPECT_GE(found[1] - found[0], 2000) << "the first delay";
    EXPECT_LT(found[2] - found[1], 4000) << "Retry Now did not cut the second delay (4 s) short";
    const QString output = run.programOutput();
    EXPECT_EQ(
        output.count(QStringLiteral("[error] The network answers with a redirect to 127.0.0.1: a hotspot login?")), 3);
    const QString errors = run.programErrors();
    EXPECT_EQ(errors.count(QStringLiteral("/redirected/index.php; sending it there again")), 1) << errors.toStdString();
    // Start-up names the plain http endpoint, once, on the console and in the message log.
    const QString warning = QStringLiteral("Warning: the upload endpoint %1 is plain http").arg(run.service.url());
    EXPECT_EQ(errors.count(warning), 1);
    EXPECT_TRUE(test::readText(run.profile.path(QStringLiteral("state/Vesk-FTPUploader/Vesk-FTPUploaderLog.txt")))
                    .contains(warning));
}

TEST(Rejection, TwoPicturesInARowRedirectedStopTheCycleAndNothingIsParked)
{
    test::FaultRun hotspot({ QStringLiteral("--rule"), QStringLiteral("^stop=redirect302") });
    ASSERT_TRUE(hotspot.service.start()) << hotspot.service.errorString().toStdString();
    for (const char *name : { "Table/stop1.JPG", "Table/stop2.JPG", "Table/z.JPG" })
        hotspot.addPicture(QString::fromLatin1(name), test::InSource, 1);
    hotspot.writePreferences();
    ASSERT_TRUE(hotspot.startProgram());
    ASSERT_TRUE(test::waitFor([&] {
        return test::runCtl({ QStringLiteral("status") }).out.contains(QStringLiteral("stopped by a service error"));
    })) << hotspot.programOutput().toStdString();
    EXPECT_TRUE(hotspot.stopProgram());
    hotspot.verify();
    EXPECT_EQ(hotspot.service.uploads().size(), 2);
}
