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
    using Problem = CycleStatus::Problem;
    using namespace Qt::Literals::StringLiterals;
    const QDateTime now = QDateTime::currentDateTime();
    struct Row {
        const char *name;
        std::function<void(TrayModel::Circumstances &, CycleStatus::Snapshot &)> set;
        const char *icon, *statusLine, *problem; // problem: a part of the line, or "" for none
        bool current;
        const char *timeLeft; // a part of it
    };
    const Row rows[] = {
        { "after a clean pass", [](auto &, auto &s) { s.lastPassClean = true; }, "idle", "Idle - 312 uploaded",
            "none since start", false, "nothing waiting" },
        { "before any pass", [](auto &, auto &) {}, "waiting", "Idle - 312 uploaded", "", false, "" },
        { "nothing set up",
            [](auto &c, auto &s) {
                s.lastPassClean = true;
                c.missingSettings = QStringList { u"No login"_s };
            },
            "problem", "Not set up yet - open Preferences in the main window", "", false, "" },
        { "parked while the window was hidden",
            [](auto &c, auto &s) {
                s.lastPassClean = true;
                c.report.parked = 3;
                s.lastProblem = Problem::Parked;
                s.lastError = u"a/IMG_2.JPG: Received with a warning"_s;
            },
            "problem", "Idle - 312 uploaded", "a/IMG_2.JPG: Received with a warning - put in the problem folder", true,
            "" },
        { "uploading",
            [&](auto &c, auto &s) {
                c.report.state = u"uploading"_s;
                s.picture = u"Table 4/IMG_0412.JPG"_s;
                s.pictureSent = 620;
                s.pictureTotal = 1000;
                s.lastCount = { 57, true, true };
                s.lastMinuteUploads = 12;
                s.lastMinuteSeconds = 30;
            },
            "uploading", "Uploading IMG_0412.JPG - 62 %, 57 waiting", "", false,
            "about 3 min for 57 pictures, at the rate of the last minute (24.0 a minute)" },
        { "waiting to retry",
            [&](auto &c, auto &s) {
                s.lastPassClean = true;
                c.report.waitingForRetry = 4;
                c.report.nextRetry = now.addMSecs(11500);
                s.lastProblem = Problem::TransferFailed;
                s.lastError = u"b/IMG_7.JPG: Timeout"_s;
                s.lastCount = { 40, true, false };
            },
            "problem", "Waiting to retry 4 pictures (next try in 12 s)",
            "b/IMG_7.JPG: Timeout - kept in the source folder; next try in 12 s", true,
            "no estimate: no picture went through in the last minute" },
        { "retried since",
            [](auto &, auto &s) {
                s.lastProblem = Problem::TransferFailed;
                s.lastError = u"x"_s;
            },
            "waiting", "Idle - 312 uploaded", "no picture waits for a retry now", false, "" },
        { "the service away",
            [&](auto &, auto &s) {
                s.awaySince = now.addSecs(-60);
                s.nextCheck = now.addSecs(2);
                s.lastCount = { 9, true, true };
                s.lastProblem = Problem::Away;
                s.lastError = u"c/IMG_1.JPG: Connection refused"_s;
                s.lastMinuteUploads = 5;
                s.lastMinuteSeconds = 60;
            },
            "problem", "The service is away since", "kept in the source folder; the service is away since", true,
            "no estimate while the service is away" },
        { "stopped by the service",
            [](auto &c, auto &s) {
                c.report.state = u"stopped by a service error"_s;
                s.serviceError = true;
                s.lastProblem = Problem::ServiceError;
                s.lastError = u"the service refused the login"_s;
                s.lastCount = { 3, true, true };
            },
            "problem", "Stopped by a service error - press Synchronize after fixing it",
            "stopped: the service refused the login; press Synchronize after fixing it", true,
            "no estimate while the uploads stand still" },
        { "a pass after the stop",
            [](auto &, auto &s) {
                s.lastProblem = Problem::ServiceError;
                s.lastError = u"x"_s;
            },
            "waiting", "Idle - 312 uploaded", "stopped: x; a pass was started again since", false, "" },
        { "refused settings",
            [](auto &c, auto &s) {
                c.report.state = u"settings refused"_s;
                s.settingsRefused = true;
                s.lastProblem = Problem::SettingsRefused;
                s.lastError = u"no mirror folder"_s;
            },
            "problem", "Settings refused - see the main window",
            "stopped: the settings were refused: no mirror folder; nothing is sent", true, "" },
        { "paused", [](auto &c, auto &) { c.report.state = u"halted"_s; }, "paused", "Paused - 312 uploaded", "", false,
            "" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TrayModel::Circumstances c;
        c.now = now;
        c.report.state = QStringLiteral("idle and waiting");
        c.report.uploaded = 312;
        c.report.parked = c.parkedWhenShown = 1;
        c.report.cycle.lastErrorTime = now;
        c.report.cycle.lastCount = { 0, true, true };
        row.set(c, c.report.cycle);
        const TrayModel::Look look = TrayModel::look(c);
        EXPECT_EQ(look.iconName.toStdString(), row.icon);
        EXPECT_TRUE(look.statusLine.startsWith(QLatin1String(row.statusLine))) << look.statusLine.toStdString();
        bool current = !row.current;
        const QString problem = TrayModel::problemLine(c.report, now, &current);
        EXPECT_TRUE(problem.contains(QLatin1String(row.problem))) << problem.toStdString();
        EXPECT_EQ(current, row.current);
        const QString left = TrayModel::timeLeftLine(c.report);
        EXPECT_TRUE(left.contains(QLatin1String(row.timeLeft))) << left.toStdString();
    }

    // The rate is that of the last minute, never averaged across an outage.
    CycleStatus status;
    for (const char *name : { "a", "b" }) {
        status.uploadStarted(QLatin1String(name), 10);
        status.uploaded(QLatin1String(name));
    }
    EXPECT_EQ(status.snapshot().lastMinuteUploads, 2);
    status.serviceAwayChanged(now, now.addSecs(2), QStringLiteral("refused"));
    status.serviceAwayChanged({}, {}, {});
    EXPECT_EQ(status.snapshot().lastMinuteUploads, 0);
}
