// The real windows on the offscreen platform: every preference bound to a field within the lock's
// reach, edits stored at once with their types, and the main window's status beside its lines.

#include "prefs/PropertyList.h"
#include "ui/widgets/FrontEnd.h"
#include "ui/widgets/PrefBindings.h"
#include "ui/widgets/newNSPanel.h"
#include "ui_MainWindow.h"
#include "ui_PreferencePanel.h"

#include "ControllerFixture.h"

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSet>
#include <QTest>

#include <gtest/gtest.h>

using namespace vesk;

namespace {

struct Fixture {
    Fixture()
    {
        AppOptions options;
        options.timeScale = 0.01;
        c.create(options);
        controller = c.controller.get();
        store = c.store;
        frontEnd = std::make_unique<FrontEnd>(*controller);
        controller->awakeFromNib();
    }
    ~Fixture()
    {
        // As the program ends: the workers first, then the windows they might still write to.
        controller->stopWorkers();
        frontEnd.reset();
    }
    Ui::PreferencePanel &panelForm() const { return frontEnd->panel()->form(); }
    newNSPanel &panel() const { return *frontEnd->panel(); }
    void unlock()
    {
        panelForm().ibLockButton->setChecked(false);
        panelForm().ibLockButton->click();
        ASSERT_TRUE(panelForm().ibLockButton->isChecked());
    }
    std::optional<QVariant> value(const QString &key) const { return store->objectForKey(key); }

    test::TempProfile profile;
    test::ControllerFixture c { AppOptions {}, false };
    AppController *controller = nullptr;
    std::shared_ptr<PreferenceStore> store;
    std::unique_ptr<FrontEnd> frontEnd;
};

void replaceText(QAbstractSpinBox *spin, const QString &text)
{
    spin->selectAll();
    QTest::keyClicks(spin, text);
}

} // namespace

// ---- The panel ----------------------------------------------------------------------------------

TEST(PanelWindow, EveryPreferenceHasAFieldThatShowsItAndStoresEachEditAtOnceWithItsType)
{
    Fixture f;
    const QStringList bound = f.panel().bindings().boundKeys();
    EXPECT_EQ(QSet<QString>(bound.begin(), bound.end()),
        QSet<QString>(myPrefKeyNameArray().begin(), myPrefKeyNameArray().end()));
    // All within the lock's reach.
    for (const QString &key : myPrefKeyNameArray()) {
        bool inside = false;
        for (QWidget *widget : f.panelForm().ibChangeablePrefView->findChildren<QWidget *>())
            inside = inside || widget->property("prefKey").toString() == key;
        EXPECT_TRUE(inside) << key.toStdString();
    }
    // Showing the panel shows the store's values and stores nothing.
    Ui::PreferencePanel &p = f.panelForm();
    f.store->setObject(PrefKeys::sPrefSecondsBetweenScans, QStringLiteral("45 seconds"));
    f.panel().orderFront();
    EXPECT_EQ(p.secondsBetweenScansField->value(), 45.0);
    EXPECT_EQ(p.daysOldBeforeDeletingField->value(), 30);
    EXPECT_TRUE(p.userEnteredEventNameField->text().isEmpty()); // the factory's placeholder shows as empty
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans), QVariant(QStringLiteral("45 seconds")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefDaysOldBeforeDeleting));

    f.unlock();
    // Unlocked, all but the settings that nothing reads, which stay disabled and say why.
    for (QWidget *control : { static_cast<QWidget *>(p.useEventNameCheck), static_cast<QWidget *>(p.encapsulateCheck),
             static_cast<QWidget *>(p.deleteServerItemFirstCheck) }) {
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
        EXPECT_TRUE(control->toolTip().contains(QStringLiteral("no effect"))) << control->toolTip().toStdString();
    }
    QTest::keyClick(p.userLoginNameField, Qt::Key_A);
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("a")));
    EXPECT_EQ(p.siteAddressField->text(), QStringLiteral("http://a.vesk-photos.example"));
    p.showPreviewCheck->click();
    EXPECT_EQ(f.value(PrefKeys::sPrefShowPreviewWhenUploading), QVariant(false));
    replaceText(p.secondsBetweenScansField, QStringLiteral("45"));
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans), QVariant(45.0));
    replaceText(p.daysOldBeforeDeletingField, QStringLiteral("14"));
    EXPECT_EQ(f.value(PrefKeys::sPrefDaysOldBeforeDeleting), QVariant(qlonglong(14)));
    // A value the administrator set for every account says so, until the user types one.
    ASSERT_TRUE(test::writeFile(f.profile.path(QStringLiteral("xdg/Vesk-FTPUploader/defaults.plist")),
        plist::toXml(QVariantMap { { PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Gala") } })));
    AppController::mergeAdministratorDefaults(*f.store);
    f.panel().bindings().refresh();
    EXPECT_EQ(p.userEnteredEventNameField->text(), QStringLiteral("Gala"));
    EXPECT_TRUE(p.userEnteredEventNameField->toolTip().contains(QStringLiteral("administrator")));
    QTest::keyClick(p.userEnteredEventNameField, Qt::Key_S);
    EXPECT_FALSE(p.userEnteredEventNameField->toolTip().contains(QStringLiteral("administrator")));
    // What the cycle reads is what was typed, and it is already on disk.
    EXPECT_EQ(plist::readFile(f.store->filePath()).value_or(QVariant()).toMap().value(PrefKeys::sUserLoginName),
        QVariant(QStringLiteral("a")));
}

// ---- The main window ----------------------------------------------------------------------------

TEST(MainWindow, ARefusalShowsRedInTheStatusLineEvenWhenHiddenAndTheCountsFollowTheCycle)
{
    Fixture f;
    Ui::MainWindow &ui = f.frontEnd->mainForm();
    const auto red = [&] { return ui.ibFTPCallbackStatusField->palette().color(QPalette::WindowText) == Qt::red; };
    f.frontEnd->show();
    // An empty first-run panel saved: the reason in red, not only in the log and the tray.
    f.controller->saveLoginInfo();
    EXPECT_TRUE(ui.ibFTPCallbackStatusField->text().startsWith(QStringLiteral("The settings were refused")));
    EXPECT_TRUE(ui.ibFTPCallbackStatusField->text().contains(QStringLiteral("NOT Been Selected")));
    EXPECT_TRUE(red());
    // Refused while the window was hidden: shown when it comes back, and it stays until accepted.
    f.frontEnd->mainWindow()->hide();
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("Scanning"));
    f.frontEnd->show();
    f.frontEnd->refreshStatus();
    EXPECT_TRUE(ui.ibFTPCallbackStatusField->text().startsWith(QStringLiteral("The settings were refused")));
    EXPECT_TRUE(red());

    EXPECT_TRUE(ui.lastUploadField->text().contains(QStringLiteral("none")));
    EXPECT_FALSE(ui.pictureProgressBar->isVisible());
    f.controller->cycleStatus().uploadStarted(QStringLiteral("a/IMG_1.JPG"), 3000);
    f.controller->cycleStatus().sending(1000, 4000);
    f.frontEnd->refreshStatus();
    EXPECT_TRUE(ui.pictureProgressBar->isVisible());
    EXPECT_EQ(ui.pictureProgressBar->value(), 250);
    f.controller->cycleStatus().notMoved();
    f.controller->cycleStatus().uploaded(QStringLiteral("a/IMG_1.JPG"));
    ASSERT_TRUE(
        test::waitFor([&] { return ui.countsField->text().contains(QStringLiteral("1 uploaded but not moved")); }));
    EXPECT_FALSE(ui.lastUploadField->text().contains(QStringLiteral("none")));
    EXPECT_FALSE(ui.sendingToField->text().isEmpty());
    EXPECT_FALSE(ui.pictureProgressBar->isVisible());

    // The last problem with what follows from it, red while it holds, beside the buttons that act on it.
    f.controller->cycleStatus().serviceError(QStringLiteral("the service refused the login"));
    for (const bool stopped : { true, false }) {
        f.frontEnd->refreshStatus();
        EXPECT_EQ(ui.lastProblemField->text().contains(QStringLiteral("; press Synchronize after fixing it")), stopped);
        EXPECT_EQ(ui.lastProblemField->palette().color(QPalette::WindowText) == Qt::red, stopped);
        f.controller->cycleStatus().passStarted();
    }
    EXPECT_TRUE(ui.retryNowButton->isVisible() && ui.revealProblemButton->isVisible());
}
