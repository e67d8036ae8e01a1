// What the operator sees on plain outlets: status lines from any thread, red for errors, nothing
// drawn into hidden windows, the progress indicator, and alerts in the user's language.

#include "ControllerFixture.h"

#include "prefs/PropertyList.h"
#include "ui/Alerts.h"

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
