// What the operator sees on plain outlets: status lines from any thread, red for errors, nothing
// drawn into hidden windows, the progress indicator, and alerts in the user's language. Then what the
// tray and the window say for a status: the badge, the menu's status line, the last problem and what
// follows from it, and the time left.

#include "ControllerFixture.h"

#include "prefs/PropertyList.h"
#include "ui/Alerts.h"
#include "ui/TrayModel.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <thread>

using namespace vesk;

TEST(StatusDisplay, LinesReachTheFieldOnTheMainThreadRedForErrorsAndNotInHiddenWindows)
{
    test::TempProfile profile;
    test::FakeWindow window;
    test::FakeTextField callback { &window };
    test::FakeTextField source { &window };
    test::FakeProgress progress { &window };
    test::ControllerFixture f;
    f->ibFTPCallbackStatusField = &callback;
    f->ibSourceFolderPath = &source;
    f->ibProgressBar = &progress;

    std::thread worker([&] { f->ibUpdateFTPCallbackStatusTextField(QStringLiteral("from a worker"), true); });
    worker.join();
    EXPECT_TRUE(callback.text().isEmpty()); // nothing touches the field outside the main thread
    ASSERT_TRUE(test::waitFor([&] { return callback.text() == QStringLiteral("from a worker"); }));
    EXPECT_TRUE(callback.red);
    f->ibUpdateFTPCallbackStatusTextField(QStringLiteral("fine")); // red only until the next line
    EXPECT_FALSE(callback.red);

    window.visible = false;
    f->ibUpdateFTPCallbackStatusTextField(QStringLiteral("lost"), true);
    f->ibUpdateSourceFolderPath(QStringLiteral("/photos"));
    QCoreApplication::processEvents();
    EXPECT_EQ(callback.texts(), (QStringList { QStringLiteral("from a worker"), QStringLiteral("fine") }));
    ASSERT_TRUE(test::waitFor([&] { return source.toolTip == QStringLiteral("/photos"); })); // the tool tip still
    EXPECT_TRUE(source.text().isEmpty());

    for (const char *word : { "yes", "NO", "maybe" }) {
        f->ibUpdateProgressBar(QString::fromLatin1(word));
        EXPECT_EQ(progress.animating, word[0] == 'y') << word;
        EXPECT_EQ(progress.hidden, word[0] != 'y') << word;
    }
}

TEST(Alerts, TheUsersLanguageAndTheShippedTables)
{
    EXPECT_EQ(getPreferredLanguage({}), QStringLiteral("English"));
    EXPECT_EQ(getPreferredLanguage({ QStringLiteral("es"), QStringLiteral("en") }), QStringLiteral("Spanish"));
    qputenv("LANGUAGE", "es_MX:en");
    qputenv("LANG", "de_DE.UTF-8");
    EXPECT_EQ(userLanguageList(), (QStringList { QStringLiteral("es"), QStringLiteral("en"), QStringLiteral("de") }));
    qunsetenv("LANGUAGE");
    // A language without a table gets the English texts, and a line saying so once.
    test::TempProfile profile;
    test::ControllerFixture f;
    for (const char *language : { "en_US.UTF-8", "de_DE.UTF-8", "de_AT.UTF-8" }) {
        qputenv("LANG", language);
        f->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("NSAlertWindow_9003"));
        EXPECT_EQ(f.ui.alerts.back().message, f.ui.alerts.front().message) << language;
    }
    EXPECT_EQ(f.console.count(QStringLiteral("No alert texts in the language de: alerts are shown in English")), 1);
    qunsetenv("LANG");

    // The shipped tables hold every alert in both languages, with title, message and button.
    const auto table = [](const char *language) {
        return plist::readFile(
            QStringLiteral(":/strings/%1.lproj/myLocalDictionary.strings").arg(QLatin1String(language)))
            .value_or(QVariant())
            .toMap();
    };
    const QVariantMap english = table("English");
    ASSERT_TRUE(english.contains(QStringLiteral("NSAlertWindow_9003")));
    EXPECT_EQ(english.keys(), table("Spanish").keys());
    for (const QVariantMap &language : { english, table("Spanish") }) {
        for (auto it = language.cbegin(); it != language.cend(); ++it) {
            const QVariantMap entry = it.value().toMap();
            for (const char *text : { "title", "mesg", "defaultButton" })
                EXPECT_FALSE(entry.value(QLatin1String(text)).toString().isEmpty()) << it.key().toStdString() << text;
            EXPECT_FALSE(entry.value(QStringLiteral("mesg")).toString().contains(QStringLiteral("%@")));
        }
    }
}

TEST(TrayModel, TheBadgeTheStatusLineTheLastProblemAndTheTimeLeftFollowTheStatus)
{
    using enum CycleStatus::Problem;
    const QDateTime now = QDateTime::currentDateTime();
    struct Row {
        const char *name, *state = "idle and waiting";
        bool clean = false, notSetUp = false, away = false;
        int parked = 1, retrying = 0, waiting = 0, lastMinute = 0; // parked: 1 when the window was shown
        CycleStatus::Problem problem = None;
        const char *error = "", *picture = "";
        // Expected: the whole icon name, and a part of each text.
        const char *icon, *statusLine, *problemLine = "";
        bool current = false;
        const char *timeLeft = "";
    };
    // clang-format off
    const Row rows[] = {
        { .name = "after a clean pass", .clean = true, .icon = "idle", .statusLine = "Idle - 312 uploaded",
          .problemLine = "none since start", .timeLeft = "nothing waiting" },
        { .name = "before any pass", .icon = "waiting", .statusLine = "Idle - 312 uploaded" },
        { .name = "nothing set up", .clean = true, .notSetUp = true, .icon = "problem",
          .statusLine = "Not set up yet - open Preferences in the main window" },
        { .name = "parked while the window was hidden", .clean = true, .parked = 3, .problem = Parked,
          .error = "a/IMG_2.JPG: Refused", .icon = "problem", .statusLine = "Idle - 312 uploaded",
          .problemLine = "a/IMG_2.JPG: Refused - put in the problem folder", .current = true },
        { .name = "uploading", .state = "uploading", .waiting = 57, .lastMinute = 12, .picture = "Table 4/IMG_0412.JPG",
          .icon = "uploading", .statusLine = "Uploading IMG_0412.JPG - 62 %, 57 waiting",
          .timeLeft = "about 3 min for 57 pictures, at the rate of the last minute (24.0 a minute)" },
        { .name = "waiting to retry", .clean = true, .retrying = 4, .waiting = 40, .problem = TransferFailed,
          .error = "b/IMG_7.JPG: Timeout", .icon = "problem", .statusLine = "Waiting to retry 4 pictures (next try in 12 s)",
          .problemLine = "b/IMG_7.JPG: Timeout - kept in the source folder; next try in 12 s", .current = true,
          .timeLeft = "no estimate: no picture went through in the last minute" },
        { .name = "the service away", .away = true, .waiting = 9, .lastMinute = 5, .problem = Away,
          .error = "c/IMG_1.JPG: Refused", .icon = "problem", .statusLine = "The service is away since",
          .problemLine = "Refused - kept in the source folder; the service is away since", .current = true,
          .timeLeft = "no estimate while the service is away" },
        { .name = "stopped by the service", .state = "stopped by a service error", .waiting = 3, .problem = ServiceError,
          .error = "the service refused the login", .icon = "problem",
          .statusLine = "Stopped by a service error - press Synchronize after fixing it",
          .problemLine = "stopped: the service refused the login; press Synchronize after fixing it", .current = true,
          .timeLeft = "no estimate while the uploads stand still" },
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TrayModel::Circumstances c { {}, now, {}, 1 };
        AppController::StatusReport &r = c.report;
        CycleStatus::Snapshot &s = r.cycle;
        r.state = QLatin1String(row.state);
        r.uploaded = 312;
        r.parked = row.parked;
        r.waitingForRetry = row.retrying;
        r.nextRetry = now.addMSecs(11500);
        c.missingSettings = row.notSetUp ? QStringList { QStringLiteral("No login is set") } : QStringList();
        s.lastPassClean = row.clean;
        s.serviceError = r.state == QLatin1String("stopped by a service error");
        s.awaySince = row.away ? now.addSecs(-60) : QDateTime();
        s.nextCheck = now.addSecs(2);
        s.lastProblem = row.problem;
        s.lastError = QLatin1String(row.error);
        s.picture = QLatin1String(row.picture);
        s.pictureSent = 620;
        s.pictureTotal = 1000;
        s.lastCount = { row.waiting, true, true };
        s.lastMinuteUploads = row.lastMinute;
        s.lastMinuteSeconds = 30;
        EXPECT_EQ(TrayModel::look(c).iconName.toStdString(), row.icon);
        EXPECT_TRUE(TrayModel::look(c).statusLine.startsWith(QLatin1String(row.statusLine)))
            << TrayModel::look(c).statusLine.toStdString();
        bool current = !row.current;
        const QString problem = TrayModel::problemLine(r, now, &current);
        EXPECT_TRUE(problem.contains(QLatin1String(row.problemLine)) && current == row.current)
            << problem.toStdString();
        EXPECT_TRUE(TrayModel::timeLeftLine(r).contains(QLatin1String(row.timeLeft)))
            << TrayModel::timeLeftLine(r).toStdString();
    }

    // The rate is that of the last minute, never averaged across an outage.
    CycleStatus status;
    status.uploadStarted(QStringLiteral("a"), 10);
    status.uploaded(QStringLiteral("a"));
    EXPECT_EQ(status.snapshot().lastMinuteUploads, 1);
    status.serviceAwayChanged(now, now.addSecs(2), QStringLiteral("refused"));
    status.serviceAwayChanged({}, {}, {});
    EXPECT_EQ(status.snapshot().lastMinuteUploads, 0);
}
