// The preference panel's operations on fake outlets: saving and closing, the lock, the preference
// files through recorded file panels, and the folder choosers with their guard against changes
// during an upload.

#include "ControllerFixture.h"

#include "prefs/PropertyList.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace vesk;

namespace {

struct Panel {
    Panel()
    {
        AppController &a = *c.controller;
        a.ibMainWindow = &mainWindow;
        a.ibProgressPanel = &mainWindow;
        a.ibOpenPrefButton = &openPref;
        a.ibPauseResumeButton = &pause;
        a.ibFTPCallbackStatusField = &status;
        a.ibMainWindowLocalSourcePath = &sourceField;
        a.ibLoginPanel = &panel;
        a.ibChangeablePrefView = &editable;
        panel.tagged[98] = &lock;
        a.awakeFromNib(); // the cycle's observers, the pause waiter's among them
    }
    QString file(const QString &name) const { return profile.path(name); }
    QVariantMap exported(const QString &path) const { return plist::readFile(path).value_or(QVariant()).toMap(); }

    test::TempProfile profile;
    // The outlets outlive the controller, as the windows do.
    test::FakeWindow mainWindow;
    test::FakeButton openPref { &mainWindow };
    test::FakeButton pause { &mainWindow, 111 };
    test::FakeTextField status { &mainWindow };
    test::FakeTextField sourceField { &mainWindow };
    test::FakePanel panel;
    test::FakeButton lock { nullptr, 98 };
    test::FakeGroup editable;
    test::ControllerFixture c { [] {
        AppOptions options;
        options.timeScale = 0.01;
        return options;
    }() };
};

} // namespace

TEST(PrefPanel, SaveAndCloseNeedCompleteSettingsAndTheLockReachesEveryControl)
{
    Panel p;
    test::FakeTextField name, nested;
    test::FakeGroup box; // a group inside the area is entered
    test::FakeGroup composite; // a control made of parts: the parts are not visited
    test::FakeButton part;
    composite.control = true;
    composite.children = { &part };
    box.children = { &nested };
    p.editable.children = { &name, &box, &composite };
    p.c->ibClickedOnOpenPref(&p.openPref);
    p.lock.setState(1);
    p.c->ibClickedOnLockIcon(&p.lock);
    p.c->ibClickedOnSaveAndClose(); // incomplete settings: a beep, the sheet stays
    EXPECT_TRUE(p.panel.isVisible());
    EXPECT_GT(p.c.ui.beeps.load(), 0);
    p.c.setValidSettings(p.file(QStringLiteral("source")), p.file(QStringLiteral("mirror")));
    p.c->ibClickedOnSaveAndClose();
    EXPECT_FALSE(p.panel.isVisible());
    EXPECT_EQ(p.panel.endCodes, std::vector<int> { 1 });
    // Saving locks the panel again: every control of the area, however deep, but not the parts.
    EXPECT_EQ(p.lock.state(), 0);
    for (const test::FakeView<TextFieldOutlet> *control : { &name, &nested })
        EXPECT_FALSE(control->enabled);
    EXPECT_FALSE(composite.enabled);
    EXPECT_TRUE(box.enabled);
    EXPECT_TRUE(part.enabled);
    EXPECT_EQ(p.c.ui.sounds,
        (QStringList { QStringLiteral(":/sounds/lockOpening.wav"), QStringLiteral(":/sounds/lockClosing.wav") }));
}

TEST(PrefFiles, ExportAndImportThroughTheFilePanelsKeepTheListedKeysWithTheirTypes)
{
    Panel p;
    QDir().mkpath(p.file(QStringLiteral("home/Desktop")));
    p.c.set(PrefKeys::sUserLoginName, QStringLiteral("anna"));
    p.c.set(PrefKeys::sUserLoginPassword, QStringLiteral("s3cret \"quoted\""));
    p.c.set(PrefKeys::sPrefSecondsBetweenScans, 45.5);
    p.c.set(PrefKeys::sPrefDaysOldBeforeDeleting, qlonglong(9));
    p.c.set(PrefKeys::sPrefKobFuseAction, QStringLiteral("upload.special"));
    const QString path = p.file(QStringLiteral("home/Desktop/event.plist"));
    p.c->ibSavePrefToFile(&p.openPref);
    ASSERT_TRUE(p.c.ui.requests.back().save);
    p.c.ui.finishPanel(0, path); // cancelled
    EXPECT_FALSE(QFileInfo::exists(path));
    p.c->ibSavePrefToFile(&p.openPref);
    p.c.ui.finishPanel(1, path);
    const QVariantMap exported = p.exported(path);
    EXPECT_FALSE(exported.contains(PrefKeys::sPrefKobFuseAction));
    EXPECT_EQ(exported.value(PrefKeys::sPrefShowPreviewWhenUploading), QVariant(true)); // factory values too
    // It holds the password: the owner's alone.
    EXPECT_EQ(
        QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());

    p.c.set(PrefKeys::sUserLoginName, QStringLiteral("someone else"));
    p.c.set(PrefKeys::sPrefSecondsBetweenScans, 1.0);
    p.c->ibLoadPrefFromFile(&p.openPref);
    ASSERT_FALSE(p.c.ui.requests.back().save);
    p.c.ui.finishPanel(1, path);
    EXPECT_EQ(p.c.store->objectForKey(PrefKeys::sUserLoginName), QVariant(QStringLiteral("anna")));
    EXPECT_EQ(p.c.store->objectForKey(PrefKeys::sUserLoginPassword), QVariant(QStringLiteral("s3cret \"quoted\"")));
    EXPECT_EQ(p.c.store->objectForKey(PrefKeys::sPrefSecondsBetweenScans), QVariant(45.5));
    EXPECT_EQ(p.c.store->objectForKey(PrefKeys::sPrefDaysOldBeforeDeleting), QVariant(qlonglong(9)));

    // A file that is no preference list changes nothing.
    const QVariantMap before = p.c.store->userValues();
    ASSERT_TRUE(test::writeFile(p.file(QStringLiteral("garbage.plist")), "<plist><dict><key>userLoginName</key>"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(p.file(QStringLiteral("list.plist")), QVariantList { 1 }, 0600));
    for (const char *name : { "garbage.plist", "list.plist", "missing.plist" })
        EXPECT_FALSE(p.c->loadPrefFromFile(p.file(QLatin1String(name)))) << name;
    EXPECT_EQ(p.c.store->userValues(), before);
}

TEST(FolderChoosers, AChosenFolderIsStoredUnlessAnUploadIsUnderWay)
{
    Panel p;
    p.c->ibClickedOnChangeLocalSourceFolder(&p.openPref);
    p.c.ui.finishPanel(1, p.file(QStringLiteral("new source/")));
    EXPECT_EQ(p.c.store->objectForKey(PrefKeys::sPrefLocalSourceUploadFolder),
        QVariant(p.file(QStringLiteral("new source"))));
    EXPECT_EQ(p.sourceField.toolTip, p.file(QStringLiteral("new source")));
    // A pass that began while the chooser was up keeps the folders as they are.
    p.c->ibClickedOnChangeLocalMirrorSiteFolder(&p.openPref);
    p.c->setStartedUploadProcess(true);
    p.c.ui.finishPanel(1, p.file(QStringLiteral("late")));
    EXPECT_FALSE(p.c.store->hasUserValue(PrefKeys::sPrefLocalMasterMirrorSiteFolder));
    // During an upload the choosers do not open: the alert says why, in the user's language.
    const QByteArray saved = qgetenv("LANGUAGE");
    qputenv("LANGUAGE", "es_ES");
    p.c->ibClickedOnChangeLocalSourceFolder(&p.openPref);
    qputenv("LANGUAGE", saved);
    EXPECT_EQ(p.c.ui.requests.size(), 2u);
    ASSERT_FALSE(p.c.ui.alerts.empty());
    EXPECT_EQ(p.c.ui.alerts.back().title, QStringLiteral("Subida en curso"));
}
