// Watching the uploader run. End to end against the real program and service: the status request
// through the states a scenario reaches, the event stream (one line per outcome; a listener that
// never reads is dropped and holds nothing up), the journal's priorities, and the desktop
// notifications, received by a recorder that owns the notification service on a session bus of the
// test's own. Then the tray's model, in process, where no tray exists.

#include "ChannelTestSupport.h"
#include "CycleHarness.h"
#include "FaultRun.h"
#include "scripting/CommandClient.h"
#include "ui/TrayModel.h"

#include <QDBusConnection>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sys/stat.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

// Stands in for the desktop's notification service and records every call.
class NotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        uint replaces, id;
        QString summary, body;
    };
    QList<Call> calls;
    QList<uint> closed;
    // The calls of distinct notifications: those that replace none.
    int shown() const
    {
        return int(std::count_if(calls.begin(), calls.end(), [](const Call &call) { return call.replaces == 0; }));
    }

public slots:
    uint Notify(const QString &, uint replaces, const QString &, const QString &summary, const QString &body,
        const QStringList &, const QVariantMap &, int)
    {
        calls.append(Call { replaces, replaces ? replaces : uint(calls.size() + 1), summary, body });
        return calls.last().id;
    }
    void CloseNotification(uint id) { closed.append(id); }
};
NotificationRecorder *gRecorder = nullptr;

QJsonObject status()
{
    const test::CtlResult result = test::runCtl({ QStringLiteral("--json"), QStringLiteral("status") });
    return QJsonDocument::fromJson(result.out.toUtf8()).object().value(QStringLiteral("status")).toObject();
}

bool waitState(const QString &state)
{
    return test::waitFor([&] { return status().value(QStringLiteral("state")).toString() == state; }, 60s);
}

// The program's standard output becomes its journal stream: JOURNAL_STREAM names that file.
bool startWithJournalOnOutput(test::FaultRun &run)
{
    const QString out = run.profile.path(QStringLiteral("program.out"));
    QFile(out).open(QIODevice::WriteOnly);
    struct stat info { };
    ::stat(QFile::encodeName(out).constData(), &info);
    qputenv("JOURNAL_STREAM", QByteArray::number(qulonglong(info.st_dev)) + ':' + QByteArray::number(info.st_ino));
    const bool started = run.startProgram();
    qunsetenv("JOURNAL_STREAM");
    return started && waitState(QStringLiteral("idle and waiting"));
}

// A picture written aside and tracked, to be moved into the source folder with others at once.
void stage(test::FaultRun &run, const QString &relative, unsigned place)
{
    const QByteArray bytes = run.pictureBytes(relative);
    run.trackContent(relative, bytes, place);
    ASSERT_TRUE(test::writeFile(run.profile.path(QStringLiteral("staging/")) + relative, bytes));
}

} // namespace

TEST(Watching, StatusFollowsTheCycleAndTheJournalGetsPriorities)
{
    gRecorder->calls.clear();
    gRecorder->closed.clear();
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^ERR=error"), QStringLiteral("--rule"),
        QStringLiteral("^SLOW=slow") });
    run.stallTimeout = 30; // the slow answer takes 5 s
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.writePreferences();
    // The password from the service manager's credential: the status says where it comes from, never what it is.
    ASSERT_TRUE(test::writeFile(run.profile.path(QStringLiteral("credentials/vesk-password")), "credential-secret"));
    ASSERT_TRUE(startWithJournalOnOutput(run));
    QJsonObject now = status();
    EXPECT_EQ(now.value(QStringLiteral("watcher")).toString(), QStringLiteral("watching"));
    EXPECT_EQ(now.value(QStringLiteral("host")).toString(), QStringLiteral("127.0.0.1"));
    const QString text = test::runCtl({ QStringLiteral("status") }).out;
    EXPECT_TRUE(
        text.contains(QStringLiteral("127.0.0.1 (address: from the command line; password: from a credential)")))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("credential-secret")));
    EXPECT_EQ(now.value(QStringLiteral("waitingInSource")).toInt(-1), 0);

    // The service's error stops the cycle, and the picture stays. Hidden, it is passed over.
    const QByteArray refused = run.pictureBytes(QStringLiteral("ERR"));
    run.trackContent(QStringLiteral("a/.ERR.JPG"), refused, test::InSource, 3, false);
    ASSERT_TRUE(test::writeFile(run.source + QStringLiteral("/a/ERR.JPG"), refused));
    ASSERT_TRUE(waitState(QStringLiteral("stopped by a service error")));
    const QString serviceError = status().value(QStringLiteral("lastError"))[QStringLiteral("text")].toString();
    EXPECT_FALSE(serviceError.isEmpty());
    EXPECT_EQ(status().value(QStringLiteral("waitingInSource")).toInt(), 1);
    ASSERT_TRUE(QFile::rename(run.source + QStringLiteral("/a/ERR.JPG"), run.source + QStringLiteral("/a/.ERR.JPG")));
    ASSERT_TRUE(waitState(QStringLiteral("idle and waiting")));

    run.addPicture(QStringLiteral("b/SLOW.JPG"));
    ASSERT_TRUE(waitState(QStringLiteral("uploading")));
    EXPECT_EQ(
        status().value(QStringLiteral("picture"))[QStringLiteral("path")].toString(), QStringLiteral("b/SLOW.JPG"));
    EXPECT_EQ(test::runCtl({ QStringLiteral("paus") }).exitCode, 0);
    EXPECT_EQ(status().value(QStringLiteral("state")).toString(), QStringLiteral("pause requested"));
    ASSERT_TRUE(waitState(QStringLiteral("halted")));
    EXPECT_EQ(status().value(QStringLiteral("uploaded")).toInt(), 1);
    // The service took a picture again: the notification of its error is withdrawn.
    EXPECT_TRUE(test::waitFor([] { return !gRecorder->closed.isEmpty(); }));

    test::runCtl({ QStringLiteral("setValue"), QStringLiteral("userEnteredEventName"), QString() });
    test::runCtl({ QStringLiteral("upnw") });
    ASSERT_TRUE(waitState(QStringLiteral("settings refused")));
    EXPECT_TRUE(run.stopProgram());
    run.verify();

    // Every physical line of the journal stream carries its priority; standard error is not it.
    const QString out = run.programOutput();
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        EXPECT_TRUE(line.contains(QRegularExpression(QStringLiteral("^<[3-7]>")))) << line.toStdString();
    for (const QString &expected : { QStringLiteral("<6>[status] Waiting For New Images..."),
             QStringLiteral("<6>[uploaded] b/SLOW.JPG"), QString(QStringLiteral("<3>[error] ") + serviceError),
             QStringLiteral("<3>[error] The settings were refused"), QStringLiteral("<7>theEventID = [paus]") })
        EXPECT_TRUE(out.contains(expected)) << expected.toStdString() << "\n" << out.toStdString();
    EXPECT_FALSE(run.programErrors().contains(
        QRegularExpression(QStringLiteral("^<\\d>"), QRegularExpression::MultilineOption)));

    // One notification: the service error (a refusal and a halt are not problems to be told). The
    // watcher may have sent the picture twice: the second error updates the same notification.
    ASSERT_EQ(gRecorder->shown(), 1);
    EXPECT_TRUE(gRecorder->calls[0].summary.contains(QStringLiteral("the service reported an error")));
    EXPECT_TRUE(gRecorder->calls[0].body.contains(serviceError));
    EXPECT_EQ(gRecorder->closed, QList<uint> { gRecorder->calls[0].id });
}

TEST(Watching, EventsGiveOneLinePerOutcomeAndNotificationsFoldBursts)
{
    gRecorder->calls.clear();
    gRecorder->closed.clear();
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^W_=warning"), QStringLiteral("--rule"),
        QStringLiteral("^E_=http500") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.writePreferences();
    ASSERT_TRUE(startWithJournalOnOutput(run));

    QProcess listener;
    listener.start(test::buildBinFolder() + QStringLiteral("/vesk-ctl"), { QStringLiteral("events") });
    test::RawClient lagging(defaultCommandSocketPath()); // never reads
    ASSERT_TRUE(lagging.send(R"({"class":"vesk","id":"evts"})"
                             "\n"));
    ASSERT_TRUE(test::waitFor([] { return status().value(QStringLiteral("listeners")).toInt() == 2; }));

    for (int i = 1; i <= 400; ++i)
        stage(run, QStringLiteral("a/OK_%1.JPG").arg(i, 3, 10, QLatin1Char('0')), test::InMirror);
    for (int i = 1; i <= 6; ++i) {
        stage(run, QStringLiteral("b/W_%1.JPG").arg(i), test::InProblem);
        stage(run, QStringLiteral("b/E_%1.JPG").arg(i), test::InProblem);
    }
    for (const QString &folder : { QStringLiteral("a"), QStringLiteral("b") })
        ASSERT_TRUE(QDir().rename(
            run.profile.path(QStringLiteral("staging/")) + folder, run.source + QLatin1Char('/') + folder));
    ASSERT_TRUE(run.waitSettled(180s)) << run.inventory().toStdString();
    EXPECT_TRUE(lagging.waitClosed(10000)); // while the program runs: nothing keeps its lines

    // The service goes away: after 5 minutes (scaled) of failures one notification says so and when the
    // next try is; it is withdrawn when the service is back, and another says when the picture went
    // through. Its name is markup, which the bodies show as text.
    const QString late = QStringLiteral("c/<a href='x'>LATE&.JPG");
    auto told = [](const QString &summary) {
        return std::any_of(gRecorder->calls.begin(), gRecorder->calls.end(),
            [&](const NotificationRecorder::Call &call) { return call.summary == summary; });
    };
    ASSERT_TRUE(run.service.stop());
    run.addPicture(late);
    ASSERT_TRUE(test::waitFor([&] { return told(QStringLiteral("Uploads are failing")); }, 60s));
    ASSERT_TRUE(run.service.start());
    ASSERT_TRUE(run.waitSettled(60s)) << run.inventory().toStdString();
    ASSERT_TRUE(test::waitFor([&] { return told(QStringLiteral("Uploads work again")); }));
    EXPECT_TRUE(run.stopProgram());
    run.verify();

    // The listener's stream ended with the program.
    ASSERT_TRUE(listener.waitForFinished(10000));
    EXPECT_EQ(listener.exitCode(), 0);
    QMap<QString, QStringList> paths;
    for (const QByteArray &line : listener.readAllStandardOutput().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (!line.isEmpty())
            paths[event.value(QStringLiteral("event")).toString()] << event.value(QStringLiteral("path")).toString();
    }
    EXPECT_EQ(paths.keys(),
        QStringList({ QStringLiteral("parked"), QStringLiteral("service away"), QStringLiteral("service back"),
            QStringLiteral("uploaded") }));
    EXPECT_EQ(paths[QStringLiteral("uploaded")].size(), 401);
    EXPECT_EQ(
        QSet<QString>(paths[QStringLiteral("uploaded")].begin(), paths[QStringLiteral("uploaded")].end()).size(), 401);
    EXPECT_EQ(paths[QStringLiteral("parked")].size(), 12);
    const QString out = run.programOutput();
    EXPECT_EQ(out.count(QString(QStringLiteral("[away] ") + late)), 1); // nothing is tried while the service is away

    // The listener that never read was dropped, and nothing waited for it.
    EXPECT_TRUE(run.programErrors().contains(QStringLiteral("dropping a client (it is more than 256 lines behind)")));

    for (const QString &expected :
        { QStringLiteral("<6>[uploaded] a/OK_001.JPG"), QStringLiteral("<4>[problem] b/E_1.JPG"),
            QStringLiteral("<4>[problem] b/W_1.JPG"), QString(QStringLiteral("<4>[away] ") + late) })
        EXPECT_TRUE(out.contains(expected)) << expected.toStdString();

    // Three notifications: the twelve parked pictures in one, updated in place, the failing uploads
    // (withdrawn), and that they work again; none for the 401 pictures that went through.
    EXPECT_EQ(gRecorder->shown(), 3);
    const uint parkedId = gRecorder->calls.first().id;
    QString parkedSummary;
    for (const NotificationRecorder::Call &call : gRecorder->calls) {
        if (call.summary.contains(QStringLiteral("parked"))) {
            EXPECT_EQ(call.id, parkedId);
            parkedSummary = call.summary;
        }
    }
    EXPECT_EQ(parkedSummary, QStringLiteral("12 pictures parked in Problem Folder"));
    const auto failing = std::find_if(gRecorder->calls.begin(), gRecorder->calls.end(),
        [](const NotificationRecorder::Call &call) { return call.summary == QStringLiteral("Uploads are failing"); });
    EXPECT_TRUE(failing->body.contains(
        QRegularExpression(QStringLiteral("kept in the source folder; the next try is at \\d\\d:\\d\\d:\\d\\d"))))
        << failing->body.toStdString();
    EXPECT_EQ(gRecorder->closed, QList<uint> { failing->id });
    EXPECT_EQ(gRecorder->calls.last().summary, QStringLiteral("Uploads work again"));
    EXPECT_EQ(
        gRecorder->calls.last().body, QStringLiteral("c/&lt;a href=&apos;x&apos;&gt;LATE&amp;.JPG went through."));
}

TEST(Watching, TheTrayModelShowsTheStateAndItsMenuDrivesTheCycle)
{
    test::CycleHarness harness;
    harness.writeValidPreferences();
    harness.launch();
    TrayModel tray(*harness.controller);
    const auto menu = [&]() -> QString {
        tray.refresh();
        QStringList texts;
        for (const TrayModel::MenuItem &item : tray.menu())
            texts << item.text;
        return tray.iconName() + QLatin1Char(':') + texts.join(QLatin1Char('/'));
    };
    // No tick before a pass ended clean.
    EXPECT_EQ(menu(),
        QStringLiteral("waiting:Idle - 0 uploaded/Show Window/Synchronize/Retry Now/Pause/Open Mirror Folder/Open "
                       "Problem Folder/Quit"));
    QSignalSpy shown(&tray, &TrayModel::showWindowRequested);
    tray.trigger(TrayModel::Action::ShowWindow);
    EXPECT_EQ(shown.count(), 1);

    harness.picture(QStringLiteral("t/IMG_1.JPG"));
    tray.trigger(TrayModel::Action::Synchronize);
    ASSERT_TRUE(test::waitFor([&] { return menu().startsWith(QStringLiteral("idle:Idle - 1 uploaded/")); }));

    // Pause with nothing under way halts at once; a new picture then waits for Resume.
    tray.trigger(TrayModel::Action::PauseResume);
    EXPECT_TRUE(
        menu().startsWith(QStringLiteral("paused:Paused - 1 uploaded/Show Window/Synchronize/Retry Now/Resume/")));
    harness.picture(QStringLiteral("t/IMG_2.JPG"));
    ASSERT_TRUE(harness.waitIdle());
    EXPECT_EQ(harness.uploadCount(), 1);
    tray.trigger(TrayModel::Action::PauseResume);
    ASSERT_TRUE(test::waitFor([&] { return menu().contains(QStringLiteral("Idle - 2 uploaded/")); }));
}

// The tests run on a session bus of their own (CTest starts them under dbus-run-session), where the
// recorder is the notification service.
class OwnBus : public ::testing::Environment {
public:
    void SetUp() override
    {
        fRecorder = std::make_unique<NotificationRecorder>();
        QDBusConnection bus = QDBusConnection::sessionBus();
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications"))
            && bus.registerObject(
                QStringLiteral("/org/freedesktop/Notifications"), fRecorder.get(), QDBusConnection::ExportAllSlots))
            << "cannot own the notification service: run under dbus-run-session";
        gRecorder = fRecorder.get();
    }
    void TearDown() override { fRecorder.reset(); }

private:
    std::unique_ptr<NotificationRecorder> fRecorder;
};
[[maybe_unused]] const auto *const gOwnBus = ::testing::AddGlobalTestEnvironment(new OwnBus);

#include "WatchingTest.moc"
