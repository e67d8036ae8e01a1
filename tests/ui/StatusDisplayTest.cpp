#include "app/AppController.h"
#include "app/Paths.h"
#include "ui/Alerts.h"

#include "FakeOutlets.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using namespace vesk;

namespace {
struct Fixture {
    Fixture()
    {
        AppOptions options;
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        options.stringsFolder = profile.path(QStringLiteral("strings"));
        AppController::initialize(*options.store, options.factoryDefaultsResource);
        controller = std::make_unique<AppController>(options);
        controller->fUi = &ui;
        controller->ibFTPCallbackStatusField = &callback;
        controller->ibSourceFolderPath = &source;
        controller->ibProgressBar = &progress;
    }
    void writeTable(const QString &language, const QByteArray &xml)
    {
        test::writeFile(profile.path(QStringLiteral("strings/%1.lproj/myLocalDictionary.strings").arg(language)), xml);
    }
    test::TempProfile profile;
    test::FakeWindow window;
    test::FakeTextField callback { &window };
    test::FakeTextField source { &window };
    test::FakeProgress progress { &window };
    test::FakeUi ui;
    std::unique_ptr<AppController> controller;
};
} // namespace

TEST(StatusDisplay, UpdatesFromWorkersReachTheFieldOnTheMainThread)
{
    Fixture f;
    std::thread worker(
        [&] { f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("from a worker"), true); });
    worker.join();
    // Nothing touches the field outside the main thread; it changes once the event loop runs.
    EXPECT_TRUE(f.callback.text().isEmpty());
    ASSERT_TRUE(test::waitFor([&] { return f.callback.text() == QStringLiteral("from a worker"); }));
    EXPECT_TRUE(f.callback.red);
    // An error stays red only until the next update of the same field.
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("fine"));
    EXPECT_FALSE(f.callback.red);
    EXPECT_EQ(f.callback.text(), QStringLiteral("fine"));

    // A waiting update returns only once it is shown.
    std::thread waiting([&] { f.controller->ibUpdateNSTextField(&f.callback, QStringLiteral("waited"), true); });
    ASSERT_TRUE(test::waitFor([&] { return f.callback.text() == QStringLiteral("waited"); }));
    waiting.join();
}

TEST(StatusDisplay, HiddenWindowsAndMissingFieldsDropTheText)
{
    Fixture f;
    f.window.visible = false;
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("lost"), true);
    f.controller->ibUpdateSourceFolderPath(QStringLiteral("/photos"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(f.callback.history.isEmpty());
    EXPECT_FALSE(f.callback.red);
    // The tool tip of the source field is set even while its window is hidden.
    ASSERT_TRUE(test::waitFor([&] { return f.source.toolTip == QStringLiteral("/photos"); }));
    EXPECT_TRUE(f.source.text().isEmpty());
    f.window.visible = true;
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("shown"));
    EXPECT_EQ(f.callback.text(), QStringLiteral("shown"));
    EXPECT_FALSE(f.callback.red);
    f.controller->ibFileNameField = nullptr;
    f.controller->ibUpdateFileNameField(QStringLiteral("nobody listens")); // no crash, nothing happens
}

TEST(StatusDisplay, ProgressIndicatorShowsOnlyForYes)
{
    Fixture f;
    f.controller->ibUpdateProgressBar(QStringLiteral("yes"));
    EXPECT_TRUE(f.progress.animating);
    EXPECT_FALSE(f.progress.hidden);
    EXPECT_TRUE(f.progress.indeterminate);
    for (const char *other : { "NO", "no", "maybe" }) {
        f.controller->ibUpdateProgressBar(QStringLiteral("YES"));
        f.controller->ibUpdateProgressBar(QString::fromLatin1(other));
        EXPECT_FALSE(f.progress.animating) << other;
        EXPECT_TRUE(f.progress.hidden) << other;
    }
}

TEST(Alerts, LanguageComesFromTheUsersSettings)
{
    EXPECT_EQ(getPreferredLanguage({}), QStringLiteral("English"));
    EXPECT_EQ(getPreferredLanguage({ QStringLiteral("es"), QStringLiteral("en") }), QStringLiteral("Spanish"));
    EXPECT_EQ(getPreferredLanguage({ QStringLiteral("fr"), QStringLiteral("en") }), QStringLiteral("fr"));
    qputenv("LANGUAGE", "es_MX:en");
    qputenv("LANG", "de_DE.UTF-8");
    EXPECT_EQ(userLanguageList(), (QStringList { QStringLiteral("es"), QStringLiteral("en"), QStringLiteral("de") }));
    qunsetenv("LANGUAGE");
    qputenv("LANG", "C.UTF-8");
    EXPECT_TRUE(userLanguageList().isEmpty());
    qunsetenv("LANG");
}

TEST(Alerts, TextsComeFromTheTableOfTheLanguageWithFallbacks)
{
    Fixture f;
    qunsetenv("LANGUAGE");
    qputenv("LANG", "en_GB.UTF-8");
    f.writeTable(QStringLiteral("English"),
        QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                   "<key>short</key><dict><key>title</key><string>Only a title</string>"
                   "<key>defaultButton</key><string>Fine</string></dict>"
                   "<key>full</key><dict><key>title</key><string>T</string>"
                   "<key>mesg</key><string>Folder %@ and %@</string>"
                   "<key>defaultButton</key><string>A</string>"
                   "<key>alternateButton</key><string>B</string>"
                   "<key>otherAltButton</key><string>C</string></dict>"
                   "<key>notADict</key><string>x</string></dict></plist>"));
    f.ui.answer = 0;
    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("full"),
                  QStringLiteral("/a"), QStringLiteral("/b")),
        0);
    ASSERT_EQ(f.ui.alerts.size(), 1u);
    EXPECT_EQ(f.ui.alerts[0].message, QStringLiteral("Folder /a and /b"));
    EXPECT_EQ(f.ui.alerts[0].otherButton, QStringLiteral("C"));

    f.ui.answer = 1;
    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("short")), 1);
    EXPECT_EQ(f.ui.alerts[1].title, QStringLiteral("Only a title"));
    EXPECT_EQ(f.ui.alerts[1].message, QStringLiteral("(No Further Info Given)"));
    EXPECT_TRUE(f.ui.alerts[1].alternateButton.isEmpty());

    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("notADict")), -2);
    EXPECT_EQ(f.ui.alerts.size(), 2u);

    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("missing")), -2);
    EXPECT_EQ(f.ui.alerts.back().title, QStringLiteral("Unable to Find Resource For:"));
    EXPECT_EQ(f.ui.alerts.back().message, QStringLiteral("name.strings = \"myLocalDictionary\"\rkey = \"missing\""));

    // French first and no French table: the English texts; a key no table has still gets the panel.
    qputenv("LANGUAGE", "fr:en");
    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("full")), 1);
    EXPECT_EQ(f.ui.alerts.back().title, QStringLiteral("T"));
    EXPECT_EQ(f.controller->myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("missing")), -2);
    EXPECT_EQ(f.ui.alerts.back().title, QStringLiteral("Unable to Find Resource For:"));
    qunsetenv("LANGUAGE");
    qunsetenv("LANG");
}

TEST(Alerts, ShippedTablesHoldTheFolderAlertInBothLanguagesAndEnglishServesTheRest)
{
    test::TempProfile profile;
    test::ConsoleRecorder console;
    AppOptions options;
    options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
    AppController controller(options);
    test::FakeUi ui;
    controller.fUi = &ui;
    for (const char *language : { "en_US.UTF-8", "es_ES.UTF-8", "de_DE.UTF-8", "de_AT.UTF-8" }) {
        qputenv("LANG", language);
        controller.myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("NSAlertWindow_9003"));
        ASSERT_FALSE(ui.alerts.empty());
        EXPECT_NE(ui.alerts.back().title, QStringLiteral("Unable to Find Resource For:")) << language;
        EXPECT_NE(ui.alerts.back().message, QStringLiteral("(No Further Info Given)")) << language;
    }
    EXPECT_NE(ui.alerts[0].message, ui.alerts[1].message);
    EXPECT_EQ(ui.alerts[2].message, ui.alerts[0].message);
    EXPECT_EQ(ui.alerts[3].message, ui.alerts[0].message);
    EXPECT_EQ(console.count(QStringLiteral("No alert texts in the language de: alerts are shown in English")), 1);
    qunsetenv("LANG");
}
