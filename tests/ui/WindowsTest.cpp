// The real windows on the offscreen platform: the panel's lock and bindings, the site address, the
// sheet that waits for the picture on its way, the status lines, drops and window events.

#include "app/AppController.h"
#include "app/Paths.h"
#include "prefs/PropertyList.h"
#include "ui/widgets/FrontEnd.h"
#include "ui/widgets/PrefBindings.h"
#include "ui/widgets/newNSPanel.h"
#include "ui_MainWindow.h"
#include "ui_PreferencePanel.h"

#include "FakeOutlets.h"
#include "TestSupport.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QUrl>

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
        frontEnd = std::make_unique<FrontEnd>(*controller);
        controller->awakeFromNib();
    }
    ~Fixture()
    {
        // As the program ends: the workers first, then the windows they might still write to.
        controller->stopWorkers();
        frontEnd.reset();
    }
    Ui::MainWindow &main() const { return frontEnd->mainForm(); }
    Ui::PreferencePanel &panelForm() const { return frontEnd->panel()->form(); }
    newNSPanel &panel() const { return *frontEnd->panel(); }
    // Sounds and beeps are recorded instead of played.
    void recordUi() { controller->fUi = &ui; }
    void showMainWindow()
    {
        frontEnd->show();
        ASSERT_TRUE(test::waitFor([this] { return controller->ibMainWindow->isVisible(); }));
    }
    void unlock()
    {
        panelForm().ibLockButton->setChecked(false);
        panelForm().ibLockButton->click();
        ASSERT_TRUE(panelForm().ibLockButton->isChecked());
    }
    std::optional<QVariant> value(const QString &key) const { return store->objectForKey(key); }

    test::TempProfile profile;
    std::shared_ptr<PreferenceStore> store;
    std::unique_ptr<AppController> controller;
    std::unique_ptr<FrontEnd> frontEnd;
    test::FakeUi ui;
};

// The editing controls inside the panel's editable area.
QList<QWidget *> editableControls(QWidget *area)
{
    QList<QWidget *> controls;
    for (QWidget *widget : area->findChildren<QWidget *>()) {
        if (qobject_cast<QLineEdit *>(widget) && qobject_cast<QAbstractSpinBox *>(widget->parentWidget()))
            continue; // a spin box's own editor follows the spin box
        if (qobject_cast<QLineEdit *>(widget) || qobject_cast<QAbstractButton *>(widget)
            || qobject_cast<QAbstractSpinBox *>(widget))
            controls.append(widget);
    }
    return controls;
}

void replaceText(QAbstractSpinBox *spin, const QString &text)
{
    spin->selectAll();
    QTest::keyClicks(spin, text);
}

QColor textColor(QWidget *widget)
{
    return widget->palette().color(QPalette::WindowText);
}

} // namespace

// ---- The panel ----------------------------------------------------------------------------------

TEST(PanelWindow, TheControllerFindsTheTaggedElements)
{
    Fixture f;
    WindowOutlet *panel = f.controller->ibLoginPanel;
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(panel->viewWithTag(98), nullptr);
    EXPECT_NE(dynamic_cast<ButtonOutlet *>(panel->viewWithTag(98)), nullptr);
    ASSERT_TRUE(f.controller->fillInVersionString(panel->viewWithTag(99)));
    EXPECT_EQ(f.panelForm().versionField->text(), QStringLiteral("Version: " VESK_VERSION));
    ASSERT_TRUE(f.controller->fillInVersionString(f.controller->ibVersion));
    EXPECT_EQ(f.main().ibVersion->text(), QStringLiteral("App Vers: " VESK_VERSION));
    EXPECT_EQ(f.controller->ibMainWindow->viewWithTag(111), f.controller->ibPauseResumeButton);
}

TEST(PanelWindow, EveryPreferenceOfTheListHasAField)
{
    Fixture f;
    const QStringList bound = f.panel().bindings().boundKeys();
    for (const QString &key : myPrefKeyNameArray())
        EXPECT_TRUE(bound.contains(key)) << key.toStdString();
    for (const QString &key : bound)
        EXPECT_TRUE(myPrefKeyNameArray().contains(key)) << key.toStdString();
    // Only the lock, the version and the buttons that close or export stay outside the lock's reach.
    for (const QString &key : myPrefKeyNameArray()) {
        bool inside = false;
        for (QWidget *widget : f.panelForm().ibChangeablePrefView->findChildren<QWidget *>())
            inside = inside || widget->property("prefKey").toString() == key;
        EXPECT_TRUE(inside) << key.toStdString();
    }
}

TEST(PanelWindow, TheLockEnablesAndDisablesTheEditableArea)
{
    Fixture f;
    f.recordUi();
    Ui::PreferencePanel &p = f.panelForm();
    const QList<QWidget *> controls = editableControls(p.ibChangeablePrefView);
    ASSERT_GE(controls.size(), 20);

    // At start-up the area follows the lock as the interface description sets it: locked.
    ASSERT_FALSE(p.ibLockButton->isChecked());
    f.controller->ibClickedOnLockIcon(f.controller->ibLoginPanel->viewWithTag(98));
    for (QWidget *control : controls)
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_TRUE(p.saveAndCloseButton->isEnabled());
    EXPECT_TRUE(p.exportButton->isEnabled());
    EXPECT_TRUE(p.ibLockButton->isEnabled());

    // Unlocked, all but the settings that nothing reads, which stay disabled and say why.
    p.ibLockButton->click();
    const QList<QWidget *> noEffect { p.useEventNameCheck, p.encapsulateCheck, p.deleteServerItemFirstCheck };
    for (QWidget *control : controls) {
        EXPECT_EQ(control->isEnabled(), !noEffect.contains(control)) << control->objectName().toStdString();
        if (noEffect.contains(control)) {
            EXPECT_TRUE(control->toolTip().contains(QStringLiteral("no effect"))) << control->toolTip().toStdString();
        }
    }
    p.ibLockButton->click();
    for (QWidget *control : controls)
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_EQ(f.ui.sounds,
        (QStringList { QStringLiteral(":/sounds/lockClosing.wav"), QStringLiteral(":/sounds/lockOpening.wav"),
            QStringLiteral(":/sounds/lockClosing.wav") }));
}

TEST(PanelWindow, EveryEditReachesTheStoreAtOnce)
{
    Fixture f;
    f.recordUi();
    f.panel().orderFront();
    f.unlock();
    Ui::PreferencePanel &p = f.panelForm();

    QTest::keyClick(p.userLoginNameField, Qt::Key_A);
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("a")));
    QTest::keyClicks(p.userLoginNameField, QStringLiteral("nna"));
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("anna")));
    QTest::keyClicks(p.userLoginPasswordField, QStringLiteral("pw"));
    EXPECT_EQ(f.value(PrefKeys::sUserLoginPassword), QVariant(QStringLiteral("pw")));
    EXPECT_EQ(p.userLoginPasswordField->echoMode(), QLineEdit::Password);
    QTest::keyClicks(p.userEnteredEventNameField, QStringLiteral("Gala"));
    EXPECT_EQ(f.value(PrefKeys::sPrefUserEnteredEventName), QVariant(QStringLiteral("Gala")));

    ASSERT_TRUE(p.showPreviewCheck->isChecked());
    p.showPreviewCheck->click();
    EXPECT_EQ(f.value(PrefKeys::sPrefShowPreviewWhenUploading), QVariant(false));
    p.deleteOldPhotosCheck->click();
    EXPECT_EQ(f.value(PrefKeys::sPrefUseDoDeleteOldPhotos), QVariant(true));

    replaceText(p.secondsBetweenScansField, QStringLiteral("45"));
    ASSERT_TRUE(f.value(PrefKeys::sPrefSecondsBetweenScans).has_value());
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans)->typeId(), QMetaType::Double);
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans)->toDouble(), 45.0);
    replaceText(p.daysOldBeforeDeletingField, QStringLiteral("14"));
    EXPECT_EQ(f.value(PrefKeys::sPrefDaysOldBeforeDeleting)->typeId(), QMetaType::LongLong);
    EXPECT_EQ(f.value(PrefKeys::sPrefDaysOldBeforeDeleting)->toLongLong(), 14);

    // What the cycle reads is what was typed, and it is already on disk.
    f.controller->getCurrentLoginInfo();
    EXPECT_EQ(f.controller->curUserName(), QStringLiteral("anna"));
    const QVariantMap onDisk = plist::readFile(f.store->filePath()).value_or(QVariant()).toMap();
    EXPECT_EQ(onDisk.value(PrefKeys::sPrefDaysOldBeforeDeleting).toLongLong(), 14);
}

TEST(PanelWindow, ThePanelShowsTheStoresValuesWheneverItAppears)
{
    Fixture f;
    Ui::PreferencePanel &p = f.panelForm();
    f.store->setObject(PrefKeys::sUserLoginName, QStringLiteral("zoe"));
    f.store->setObject(PrefKeys::sPrefSecondsBetweenScans, QStringLiteral("45 seconds"));
    f.store->setObject(PrefKeys::sPrefShowPreviewWhenUploading, false);
    f.store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("/photos/hot"));
    f.panel().orderFront();

    EXPECT_EQ(p.userLoginNameField->text(), QStringLiteral("zoe"));
    EXPECT_EQ(p.siteAddressField->text(), QStringLiteral("http://zoe.vesk-photos.example"));
    EXPECT_EQ(p.secondsBetweenScansField->value(), 45.0);
    EXPECT_FALSE(p.showPreviewCheck->isChecked());
    EXPECT_EQ(p.sourceFolderField->text(), QStringLiteral("/photos/hot"));
    EXPECT_EQ(p.daysOldBeforeDeletingField->value(), 30);
    // The factory's "nothing entered" event name shows as an empty field.
    EXPECT_TRUE(p.userEnteredEventNameField->text().isEmpty());
    // Showing stores nothing: the odd value stays as it was.
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans), QVariant(QStringLiteral("45 seconds")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefDaysOldBeforeDeleting));

    // An import (or a script) while the panel is away is there when it comes back.
    f.panel().close();
    const QString file = f.profile.path(QStringLiteral("import.plist"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(file,
        QVariantMap {
            { PrefKeys::sUserLoginName, QStringLiteral("yves") }, { PrefKeys::sPrefShowPreviewWhenUploading, true } },
        0600));
    ASSERT_TRUE(f.controller->loadPrefFromFile(file));
    f.panel().orderFront();
    EXPECT_EQ(p.userLoginNameField->text(), QStringLiteral("yves"));
    EXPECT_TRUE(p.showPreviewCheck->isChecked());
}

TEST(PanelWindow, TheSiteAddressFollowsTheLoginNameAsTyped)
{
    Fixture f;
    f.panel().orderFront();
    f.unlock();
    Ui::PreferencePanel &p = f.panelForm();
    EXPECT_EQ(p.siteAddressField->text(), QStringLiteral("<Site Unknown - Please Fill In Your Login Name Below...>"));
    QTest::keyClicks(p.userLoginNameField, QStringLiteral("bo"));
    EXPECT_EQ(p.siteAddressField->text(), QStringLiteral("http://bo.vesk-photos.example"));
    QTest::keyClick(p.userLoginNameField, Qt::Key_Backspace);
    QTest::keyClick(p.userLoginNameField, Qt::Key_Backspace);
    EXPECT_EQ(p.siteAddressField->text(), QStringLiteral("Please Enter Your Login Name..."));
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QString()));
}

TEST(PanelWindow, DuringAnUploadTheSheetOpensOnceThePictureIsDone)
{
    Fixture f;
    f.showMainWindow();
    Ui::MainWindow &m = f.main();
    f.controller->setStartedUploadProcess(true);
    m.ibOpenPrefButton->click();

    EXPECT_FALSE(m.ibOpenPrefButton->isEnabled());
    EXPECT_EQ(
        m.ibFTPCallbackStatusField->text(), QStringLiteral("Will Open Pref Panel After Current Item is Finished..."));
    EXPECT_FALSE(f.panel().isVisible());

    f.controller->setStartedUploadProcess(false);
    f.controller->setDidHaltProcess(true);
    m.ibPauseResumeButton->setText(QStringLiteral("Resume"));
    ASSERT_TRUE(test::waitFor([&] { return f.panel().isVisible(); }));
    EXPECT_TRUE(f.panel().displayAsSheet());
    EXPECT_EQ(f.panel().windowModality(), Qt::WindowModal);
    EXPECT_EQ(f.panel().parentWidget(), f.frontEnd->mainWindow());
    EXPECT_TRUE(m.ibOpenPrefButton->isEnabled());

    // Escape ends the sheet as closing it does: the cycle resumes.
    QTest::keyClick(&f.panel(), Qt::Key_Escape);
    EXPECT_FALSE(f.panel().isVisible());
    EXPECT_FALSE(f.controller->gDidHaltProcess);
    EXPECT_FALSE(f.controller->gWantsToHaltProcess);
    EXPECT_EQ(m.ibPauseResumeButton->text(), QStringLiteral("Pause"));
    // Afterwards the panel is a window of its own again.
    EXPECT_EQ(f.panel().parentWidget(), nullptr);
    EXPECT_EQ(f.panel().windowModality(), Qt::NonModal);
}

// ---- The main window ----------------------------------------------------------------------------

TEST(MainWindow, AnErrorLineIsRedUntilTheNextUpdate)
{
    Fixture f;
    f.showMainWindow();
    QLabel *line = f.main().ibFTPCallbackStatusField;
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("Login refused by the service"), true);
    EXPECT_EQ(line->text(), QStringLiteral("Login refused by the service"));
    EXPECT_EQ(textColor(line), QColor(Qt::red));
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("Waiting For New Images..."));
    EXPECT_EQ(textColor(line), QColor(Qt::black));
}

TEST(MainWindow, AHiddenWindowsFieldIsNotUpdated)
{
    Fixture f;
    ASSERT_FALSE(f.controller->ibMainWindow->isVisible());
    f.controller->ibUpdateUploadStatusTextField(QStringLiteral("Uploading..."));
    f.controller->ibUpdateFTPCallbackStatusTextField(QStringLiteral("lost"), true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(f.main().ibUploadFileStatusField->text().isEmpty());
    EXPECT_TRUE(f.main().ibFTPCallbackStatusField->text().isEmpty());

    f.showMainWindow();
    f.controller->ibUpdateUploadStatusTextField(QStringLiteral("Uploading..."));
    EXPECT_EQ(f.main().ibUploadFileStatusField->text(), QStringLiteral("Uploading..."));
    EXPECT_EQ(textColor(f.main().ibFTPCallbackStatusField), QColor(Qt::black));
}

TEST(MainWindow, ADroppedFolderStartsAPassAndAnythingElseBeeps)
{
    Fixture f;
    f.recordUi();
    f.showMainWindow();
    const QString folder = f.profile.path(QStringLiteral("dropped"));
    const QString file = f.profile.path(QStringLiteral("dropped/picture.jpg"));
    ASSERT_TRUE(test::writeFile(file, QByteArray("not really a picture")));
    QMainWindow *window = f.frontEnd->mainWindow();

    auto drop = [window](const QList<QUrl> &urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent event(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &event);
    };

    test::ConsoleRecorder console;
    drop({ QUrl::fromLocalFile(folder) });
    // The folder reached the open request, whose check then looked at it.
    EXPECT_TRUE(console.contains(QStringLiteral("Checking for folder: [%1]").arg(folder)));
    const int beepsAfterFolder = f.ui.beeps.load();

    console.clear();
    drop({ QUrl::fromLocalFile(file) });
    drop({ QUrl::fromLocalFile(folder), QUrl::fromLocalFile(f.profile.root()) });
    EXPECT_EQ(f.ui.beeps.load(), beepsAfterFolder + 2);
    EXPECT_FALSE(console.contains(QStringLiteral("Checking for folder:")));
}

TEST(MainWindow, WindowEventsReachTheTraceHandlers)
{
    Fixture f;
    f.showMainWindow();
    test::ConsoleRecorder console;
    QMainWindow *window = f.frontEnd->mainWindow();
    window->move(window->pos() + QPoint(25, 15));
    QEvent activate(QEvent::WindowActivate);
    // A folder chosen behind the window's back (a script) shows once the window is active again.
    f.store->setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, QStringLiteral("/photos/mirror"));
    QCoreApplication::sendEvent(window, &activate);
    f.panel().beginSheet(f.controller->ibMainWindow, [](int) {});
    f.panel().endSheet(0);

    EXPECT_TRUE(
        test::waitFor([&] { return console.contains(QStringLiteral("Inside AppController => windowDidMove...")); }));
    EXPECT_TRUE(console.contains(QStringLiteral("Inside AppController => postWindowBecameKey...")));
    EXPECT_TRUE(console.contains(QStringLiteral("Inside AppController => postWindowBecameMain...")));
    EXPECT_TRUE(console.contains(QStringLiteral("Inside AppController => windowWillBeginSheet...")));
    EXPECT_EQ(f.main().ibMainWindowLocalMirrorSitePath->text(), QStringLiteral("/photos/mirror"));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
