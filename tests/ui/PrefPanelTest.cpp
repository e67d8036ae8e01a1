// The preference panel's operations on plain outlets: opening it (at once, or after the picture on
// its way when an upload runs), the end of its sheet, the lock with its sounds, and the alert tables.

#include "app/AppController.h"
#include "app/Paths.h"
#include "prefs/PropertyList.h"

#include "PanelFakes.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>

#include <gtest/gtest.h>

using namespace vesk;

namespace {

struct Fixture {
    Fixture()
    {
        AppOptions options;
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        options.timeScale = 0.01;
        AppController::initialize(*options.store, options.factoryDefaultsResource);
        store = options.store;
        controller = std::make_unique<AppController>(options);
        AppController &c = *controller;
        c.fUi = &ui;
        c.ibMainWindow = &mainWindow;
        c.ibProgressPanel = &mainWindow;
        c.ibOpenPrefButton = &openPref;
        c.ibPauseResumeButton = &pause;
        c.ibFTPCallbackStatusField = &status;
        c.ibLoginPanel = &panel;
        c.ibChangeablePrefView = &editable;
        panel.tagged[98] = &lock;
        // The cycle's observers, the pause waiter's among them.
        c.awakeFromNib();
    }
    ~Fixture() { controller->stopWorkers(); }

    // A complete set of settings, so that validation lets a save or a pass through.
    void fillValidSettings()
    {
        QDir().mkpath(profile.path(QStringLiteral("source")));
        QDir().mkpath(profile.path(QStringLiteral("mirror")));
        store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, profile.path(QStringLiteral("source")));
        store->setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, profile.path(QStringLiteral("mirror")));
        store->setObject(PrefKeys::sUserLoginName, QStringLiteral("anna"));
        store->setObject(PrefKeys::sUserLoginPassword, QStringLiteral("secret"));
        store->setObject(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Gala"));
    }

    test::TempProfile profile;
    std::shared_ptr<PreferenceStore> store;
    test::FakeWindow mainWindow;
    test::FakeButton openPref { &mainWindow };
    test::FakeButton pause { &mainWindow, 111 };
    test::FakeTextField status { &mainWindow };
    test::FakePanel panel;
    test::FakeButton lock { nullptr, 98 };
    test::FakeGroup editable;
    test::PanelUi ui;
    std::unique_ptr<AppController> controller;
};

} // namespace

// ---- Opening and closing ---------------------------------------------------------------------------

TEST(PrefPanelOpen, WithoutAnUploadTheSheetOpensAtOnceOverTheAskingWindow)
{
    Fixture f;
    f.controller->ibClickedOnOpenPref(&f.openPref);
    EXPECT_EQ(f.panel.sheetCount, 1);
    EXPECT_EQ(f.panel.parent, &f.mainWindow);
    EXPECT_TRUE(f.panel.displayAsSheet());
    EXPECT_TRUE(f.openPref.enabled);
    EXPECT_FALSE(f.controller->gWantsToHaltProcess);
}

TEST(PrefPanelOpen, WithoutAButtonThePanelIsAWindowOfItsOwn)
{
    Fixture f;
    f.panel.sheet = true;
    f.controller->doHandleOpenPrefPanel(nullptr);
    EXPECT_EQ(f.panel.sheetCount, 0);
    EXPECT_EQ(f.panel.frontCount, 1);
    EXPECT_FALSE(f.panel.displayAsSheet());

    // A sender that is no button: the sheet goes on the progress window when it is on screen.
    test::ConsoleRecorder console;
    test::FakeTextField notAButton { &f.mainWindow };
    f.controller->doHandleOpenPrefPanel(&notAButton);
    EXPECT_EQ(f.panel.sheetCount, 1);
    EXPECT_EQ(f.panel.parent, &f.mainWindow);
    EXPECT_TRUE(console.contains(QStringLiteral("ibClickedOnOpenPref CANNOT determine parentWindow???")));
}

TEST(PrefPanelOpen, DuringAnUploadThePanelWaitsForThePictureThenOpensAsASheet)
{
    Fixture f;
    f.controller->setStartedUploadProcess(true);
    f.controller->ibClickedOnOpenPref(&f.openPref);

    EXPECT_FALSE(f.openPref.enabled);
    EXPECT_TRUE(test::waitFor(
        [&] { return f.status.text() == QStringLiteral("Will Open Pref Panel After Current Item is Finished..."); }));
    EXPECT_TRUE(f.controller->gWantsToHaltProcess);
    // The picture is still on its way: no sheet yet, however long the waiter has been waiting.
    QCoreApplication::processEvents();
    EXPECT_EQ(f.panel.sheetCount, 0);

    // The upload ends and the cycle halts, as the upload-done handler does it.
    f.controller->setStartedUploadProcess(false);
    f.controller->setDidHaltProcess(true);
    ASSERT_TRUE(test::waitFor([&] { return f.panel.sheetCount == 1; }));
    EXPECT_EQ(f.panel.parent, &f.mainWindow);
    EXPECT_TRUE(f.panel.displayAsSheet());
    EXPECT_TRUE(f.openPref.enabled);

    // Closing the sheet resumes the cycle.
    f.pause.title_ = QStringLiteral("Resume");
    f.panel.endSheet(1);
    EXPECT_FALSE(f.controller->gDidHaltProcess);
    EXPECT_FALSE(f.controller->gWantsToHaltProcess);
    ASSERT_TRUE(test::waitFor([&] { return f.pause.title() == QStringLiteral("Pause"); }));
}

TEST(PrefPanelOpen, TheSheetEndsWithSaveAndCloseOnceTheSettingsAreComplete)
{
    Fixture f;
    f.controller->ibClickedOnOpenPref(&f.openPref);
    f.lock.setState(1);

    // Incomplete settings: a beep, the sheet stays.
    f.controller->ibClickedOnSaveAndClose();
    EXPECT_TRUE(f.panel.isVisible());
    EXPECT_GT(f.ui.beeps.load(), 0);

    f.fillValidSettings();
    test::ConsoleRecorder console;
    f.controller->ibClickedOnSaveAndClose();
    EXPECT_FALSE(f.panel.isVisible());
    EXPECT_EQ(f.panel.endCodes, std::vector<int> { 1 });
    EXPECT_TRUE(console.contains(QStringLiteral("sheetDidEnd: Return Code = 1")));
    // Saving locks the panel again.
    EXPECT_EQ(f.lock.state(), 0);
    EXPECT_TRUE(f.ui.sounds.contains(QStringLiteral(":/sounds/lockClosing.wav")));
}

TEST(PrefPanelOpen, ASecondSheetEndDoesNotResumeAgain)
{
    Fixture f;
    f.controller->setWantsToHaltProcess(true);
    f.controller->setDidHaltProcess(true);
    f.controller->sheetDidEnd(1);
    EXPECT_FALSE(f.controller->gDidHaltProcess);
    // A pause made after the first end survives a second one.
    f.controller->setWantsToHaltProcess(true);
    f.controller->sheetDidEnd(1);
    EXPECT_TRUE(f.controller->gWantsToHaltProcess);
}

// ---- The lock -----------------------------------------------------------------------------------

TEST(PrefPanelLock, TheLockEnablesAndDisablesEveryControlOfTheEditableArea)
{
    Fixture f;
    test::FakeTextField name;
    test::FakeButton flag;
    test::FakeGroup box; // a group inside the area
    test::FakeTextField nested;
    test::FakeGroup composite; // a control made of parts: the parts are not visited
    test::FakeButton part;
    composite.control = true;
    composite.children = { &part };
    box.children = { &nested };
    f.editable.children = { &name, &box, &flag, &composite };

    f.lock.setState(0);
    f.controller->ibClickedOnLockIcon(&f.lock);
    EXPECT_FALSE(name.enabled);
    EXPECT_FALSE(flag.enabled);
    EXPECT_FALSE(nested.enabled);
    EXPECT_FALSE(composite.enabled);
    EXPECT_TRUE(box.enabled);
    EXPECT_TRUE(part.enabled);
    EXPECT_EQ(f.ui.sounds, QStringList { QStringLiteral(":/sounds/lockClosing.wav") });

    f.lock.setState(1);
    f.controller->ibClickedOnLockIcon(&f.lock);
    EXPECT_TRUE(name.enabled);
    EXPECT_TRUE(nested.enabled);
    EXPECT_TRUE(composite.enabled);
    EXPECT_EQ(f.ui.sounds.last(), QStringLiteral(":/sounds/lockOpening.wav"));

    // A mixed state only logs; another tag does nothing at all.
    test::ConsoleRecorder console;
    f.lock.setState(-1);
    f.controller->ibClickedOnLockIcon(&f.lock);
    EXPECT_TRUE(console.contains(QStringLiteral("ibClickedOnLockIcon => NSMixedState")));
    test::FakeButton other;
    other.setState(0);
    f.controller->ibClickedOnLockIcon(&other);
    EXPECT_TRUE(name.enabled);
    EXPECT_EQ(f.ui.sounds.size(), 2);
}

TEST(PrefPanelLock, ForcingTheLockFlipsItOnlyWhenItDiffers)
{
    Fixture f;
    test::FakeTextField name;
    f.editable.children = { &name };
    f.lock.setState(1);

    f.controller->forceLockedIcon(1);
    EXPECT_TRUE(f.ui.sounds.isEmpty());
    f.controller->forceLockedIcon(0);
    EXPECT_EQ(f.lock.state(), 0);
    EXPECT_FALSE(name.enabled);
    EXPECT_EQ(f.ui.sounds, QStringList { QStringLiteral(":/sounds/lockClosing.wav") });
    f.controller->forceLockedIcon(1);
    EXPECT_EQ(f.lock.state(), 1);
    EXPECT_TRUE(name.enabled);
}

TEST(PrefPanelLock, ASoundAnswersWhetherItStarted)
{
    Fixture f;
    EXPECT_TRUE(f.controller->doPlaySound(QStringLiteral("lockOpening"), QStringLiteral("wav")));
    EXPECT_FALSE(f.controller->doPlaySound(QStringLiteral("lockOpening"), QStringLiteral("aif")));
    EXPECT_FALSE(f.controller->doPlaySound(QStringLiteral("fanfare"), QStringLiteral("wav")));
    EXPECT_EQ(f.ui.sounds.size(), 1);
    f.controller->fUi = nullptr;
    EXPECT_FALSE(f.controller->doPlaySound(QStringLiteral("lockClosing"), QStringLiteral("wav")));
}

// ---- Alert tables ------------------------------------------------------------------------------------

TEST(AlertTables, EveryAlertIsTranslatedWithTitleMessageAndButton)
{
    const QVariantMap english = plist::readFile(QStringLiteral(":/strings/English.lproj/myLocalDictionary.strings"))
                                    .value_or(QVariant())
                                    .toMap();
    const QVariantMap spanish = plist::readFile(QStringLiteral(":/strings/Spanish.lproj/myLocalDictionary.strings"))
                                    .value_or(QVariant())
                                    .toMap();
    ASSERT_TRUE(english.contains(QStringLiteral("NSAlertWindow_9003")));
    EXPECT_EQ(english.keys(), spanish.keys());
    for (const QVariantMap *table : { &english, &spanish }) {
        for (auto it = table->cbegin(); it != table->cend(); ++it) {
            const QVariantMap entry = it.value().toMap();
            for (const char *text : { "title", "mesg", "defaultButton" })
                EXPECT_FALSE(entry.value(QLatin1String(text)).toString().isEmpty()) << it.key().toStdString() << text;
            // The messages are shown as they are: a stray placeholder would show up as "%@".
            EXPECT_FALSE(entry.value(QStringLiteral("mesg")).toString().contains(QStringLiteral("%@")));
            EXPECT_EQ(entry.contains(QStringLiteral("alternateButton")),
                english.value(it.key()).toMap().contains(QStringLiteral("alternateButton")));
        }
    }
}

TEST(AlertTables, TheFolderAlertSpeaksTheUsersLanguage)
{
    Fixture f;
    const QByteArray saved = qgetenv("LANGUAGE");
    qputenv("LANGUAGE", "es_ES");
    f.controller->setStartedUploadProcess(true);
    f.controller->ibClickedOnChangeLocalSourceFolder(&f.openPref);
    if (saved.isNull())
        qunsetenv("LANGUAGE");
    else
        qputenv("LANGUAGE", saved);
    ASSERT_EQ(f.ui.alerts.size(), 1u);
    EXPECT_EQ(f.ui.alerts.front().title, QStringLiteral("Subida en curso"));
    EXPECT_TRUE(f.ui.alerts.front().message.contains(QStringLiteral("No se pueden cambiar")));
    EXPECT_EQ(f.ui.alerts.front().defaultButton, QStringLiteral("Aceptar"));
}
