// Preference files and folder choosers, driven through the controller with recorded file panels:
// export and import (round trip, other writers, damaged files, odd types), the save panel's name
// rules, the prompt that follows the selection, and the folder choosers with the upload guard.

#include "app/AppController.h"
#include "app/Paths.h"
#include "prefs/PropertyList.h"

#include "PanelFakes.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace vesk;

namespace {

struct Fixture {
    Fixture()
    {
        AppOptions options;
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        AppController::initialize(*options.store, options.factoryDefaultsResource);
        store = options.store;
        controller = std::make_unique<AppController>(options);
        controller->fUi = &ui;
        controller->ibMainWindow = &window;
        controller->ibMainWindowLocalSourcePath = &sourceField;
        controller->ibMainWindowLocalMirrorSitePath = &mirrorField;
        QDir().mkpath(profile.path(QStringLiteral("home/Desktop")));
    }
    QString file(const QString &name) const { return profile.path(name); }
    std::optional<QVariant> value(const QString &key) const { return store->objectForKey(key); }

    test::TempProfile profile;
    std::shared_ptr<PreferenceStore> store;
    test::FakeWindow window;
    test::FakeTextField sourceField { &window };
    test::FakeTextField mirrorField { &window };
    test::FakeButton button { &window };
    test::PanelUi ui;
    std::unique_ptr<AppController> controller;
};

QVariantMap readMap(const QString &path)
{
    const std::optional<QVariant> loaded = plist::readFile(path);
    return loaded ? loaded->toMap() : QVariantMap();
}

// A binary property list made by libplist, as another program would write it.
QByteArray binaryPlist()
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "userLoginName", plist_new_string("bernardo"));
    plist_dict_set_item(dict, "prefSecondsBetweenScans", plist_new_real(12.5));
    plist_dict_set_item(dict, "prefDaysOldBeforeDeleting", plist_new_uint(7));
    plist_dict_set_item(dict, "prefShowPreviewWhenUploading", plist_new_bool(0));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    QByteArray result(bytes, static_cast<qsizetype>(length));
    plist_to_bin_free(bytes);
    plist_free(dict);
    return result;
}

} // namespace

// ---- Export and import ---------------------------------------------------------------------------

TEST(PrefFiles, ExportHoldsEveryKeyOfTheListThatHasAValue)
{
    Fixture f;
    f.store->setObject(PrefKeys::sUserLoginName, QStringLiteral("anna"));
    f.store->setObject(PrefKeys::sPrefKobFuseAction, QStringLiteral("upload.special"));
    const QString path = f.file(QStringLiteral("export.plist"));
    ASSERT_TRUE(f.controller->savePrefToFile(path));

    const QVariantMap exported = readMap(path);
    // Factory values and the user's own, but neither keys outside the list nor keys without a value.
    EXPECT_EQ(exported.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("anna")));
    EXPECT_EQ(exported.value(PrefKeys::sPrefSecondsBetweenScans).toDouble(), 120.0);
    EXPECT_EQ(exported.value(PrefKeys::sPrefDaysOldBeforeDeleting).typeId(), QMetaType::LongLong);
    EXPECT_FALSE(exported.contains(PrefKeys::sPrefKobFuseAction));
    EXPECT_FALSE(exported.contains(PrefKeys::sUserLoginPassword));
    EXPECT_FALSE(exported.contains(PrefKeys::sPrefLocalSourceUploadFolder));
    for (const QString &key : exported.keys())
        EXPECT_TRUE(myPrefKeyNameArray().contains(key)) << key.toStdString();
    EXPECT_EQ(exported.size(), 16);
    // It holds the password whenever there is one: the owner's alone.
    EXPECT_EQ(
        QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
}

TEST(PrefFiles, ExportThenImportRestoresTheValuesWithTheirTypes)
{
    Fixture f;
    f.store->setObject(PrefKeys::sUserLoginName, QStringLiteral("anna"));
    f.store->setObject(PrefKeys::sUserLoginPassword, QStringLiteral("s3cret \"quoted\""));
    f.store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("/photos/hot folder"));
    f.store->setObject(PrefKeys::sPrefSecondsBetweenScans, 45.5);
    f.store->setObject(PrefKeys::sPrefDaysOldBeforeDeleting, qlonglong(9));
    f.store->setObject(PrefKeys::sPrefAutoSynchronize, false);
    const QString path = f.file(QStringLiteral("round.plist"));
    ASSERT_TRUE(f.controller->savePrefToFile(path));

    f.store->setObject(PrefKeys::sUserLoginName, QStringLiteral("someone else"));
    f.store->setObject(PrefKeys::sUserLoginPassword, QString());
    f.store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("/elsewhere"));
    f.store->setObject(PrefKeys::sPrefSecondsBetweenScans, 1.0);
    f.store->setObject(PrefKeys::sPrefDaysOldBeforeDeleting, qlonglong(1));
    f.store->setObject(PrefKeys::sPrefAutoSynchronize, true);
    ASSERT_TRUE(f.controller->loadPrefFromFile(path));

    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("anna")));
    EXPECT_EQ(f.value(PrefKeys::sUserLoginPassword), QVariant(QStringLiteral("s3cret \"quoted\"")));
    EXPECT_EQ(f.value(PrefKeys::sPrefLocalSourceUploadFolder), QVariant(QStringLiteral("/photos/hot folder")));
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans)->typeId(), QMetaType::Double);
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans)->toDouble(), 45.5);
    EXPECT_EQ(f.value(PrefKeys::sPrefDaysOldBeforeDeleting)->toLongLong(), 9);
    EXPECT_EQ(f.value(PrefKeys::sPrefAutoSynchronize)->typeId(), QMetaType::Bool);
    EXPECT_FALSE(f.value(PrefKeys::sPrefAutoSynchronize)->toBool());
}

TEST(PrefFiles, ImportReadsABinaryListWrittenByAnotherProgram)
{
    Fixture f;
    const QString path = f.file(QStringLiteral("binary.plist"));
    ASSERT_TRUE(test::writeFile(path, binaryPlist()));
    ASSERT_TRUE(f.controller->loadPrefFromFile(path));
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("bernardo")));
    EXPECT_EQ(f.value(PrefKeys::sPrefSecondsBetweenScans)->toDouble(), 12.5);
    EXPECT_EQ(f.controller->store().integerForKey(PrefKeys::sPrefDaysOldBeforeDeleting), 7);
    EXPECT_FALSE(f.controller->getPrefShowPreviewWhenUploading());
}

TEST(PrefFiles, ImportOfAFileThatIsNoPreferenceListChangesNothing)
{
    Fixture f;
    f.store->setObject(PrefKeys::sUserLoginName, QStringLiteral("anna"));
    const QVariantMap before = f.store->userValues();
    test::ConsoleRecorder console;

    const QString garbage = f.file(QStringLiteral("garbage.plist"));
    ASSERT_TRUE(test::writeFile(garbage, QByteArray("<plist><dict><key>userLoginName</key><string>x")));
    EXPECT_FALSE(f.controller->loadPrefFromFile(garbage));
    const QString list = f.file(QStringLiteral("list.plist"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(list, QVariantList { QStringLiteral("userLoginName") }, 0600));
    EXPECT_FALSE(f.controller->loadPrefFromFile(list));
    EXPECT_FALSE(f.controller->loadPrefFromFile(f.file(QStringLiteral("missing.plist"))));

    EXPECT_EQ(f.store->userValues(), before);
    EXPECT_EQ(console.count(QStringLiteral("=> [")), 0);
    EXPECT_TRUE(console.contains(QStringLiteral("Loading Pref from FileName = [%1]").arg(garbage)));
}

TEST(PrefFiles, ImportListsEveryKeyWithItsIndex)
{
    Fixture f;
    const QString path = f.file(QStringLiteral("two.plist"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(path,
        QVariantMap {
            { PrefKeys::sUserLoginName, QStringLiteral("anna") }, { PrefKeys::sPrefSecondsBetweenScans, 45.0 } },
        0600));
    test::ConsoleRecorder console;
    ASSERT_TRUE(f.controller->loadPrefFromFile(path));

    EXPECT_TRUE(console.contains(QStringLiteral("02 => [userLoginName] = [anna]")));
    EXPECT_TRUE(console.contains(QStringLiteral("10 => [prefSecondsBetweenScans] = [45]")));
    EXPECT_TRUE(console.contains(QStringLiteral("00 => [prefLocalMasterMirrorSiteFolder] = [NIL]")));
    EXPECT_TRUE(console.contains(QStringLiteral("17 => [prefDoCopyOldFtpPref] = [NIL]")));
    EXPECT_EQ(console.count(QStringLiteral("= [NIL]")), 17);
    // Keys the file does not name keep what they had.
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefAutoSynchronize));
}

TEST(PrefFiles, ImportStoresValuesAsTheyAreAndIgnoresUnknownKeys)
{
    Fixture f;
    const QString path = f.file(QStringLiteral("odd.plist"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(path,
        QVariantMap {
            { PrefKeys::sPrefSecondsBetweenScans, QStringLiteral("45 seconds") },
            { PrefKeys::sPrefShowPreviewWhenUploading, QStringLiteral("YES") },
            { PrefKeys::sPrefDaysOldBeforeDeleting, 3.75 },
            { PrefKeys::sUserLoginName, qlonglong(1234) },
            { PrefKeys::sPrefKobFuseAction, QStringLiteral("upload.sneaky") },
            { QStringLiteral("somethingElse"), true },
        },
        0600));
    ASSERT_TRUE(f.controller->loadPrefFromFile(path));

    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefSecondsBetweenScans)); // not a number: left out
    EXPECT_EQ(f.value(PrefKeys::sPrefShowPreviewWhenUploading), QVariant(QStringLiteral("YES")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefKobFuseAction));
    EXPECT_FALSE(f.store->objectForKey(QStringLiteral("somethingElse")).has_value());
    // The readers convert whatever came in.
    EXPECT_TRUE(f.controller->getPrefShowPreviewWhenUploading());
    EXPECT_EQ(f.store->integerForKey(PrefKeys::sPrefDaysOldBeforeDeleting), 3);
    EXPECT_EQ(f.controller->getCurUserLoginName(), std::optional<QString>(QStringLiteral("1234")));
}

// ---- The file panels -------------------------------------------------------------------------------

TEST(PrefFiles, ExportGoesThroughTheSavePanel)
{
    Fixture f;
    f.controller->ibSavePrefToFile(&f.button);
    ASSERT_EQ(f.ui.requests.size(), 1u);
    const FilePanelRequest &request = f.ui.requests.front();
    EXPECT_TRUE(request.save);
    EXPECT_EQ(request.title, PrefKeys::sSavePanelTitle);
    EXPECT_EQ(request.message, QStringLiteral("Saving the Current Preferences to File..."));
    EXPECT_EQ(request.parent, &f.window);
    EXPECT_TRUE(QFileInfo(request.directory).isDir());

    const QString path = f.file(QStringLiteral("home/Desktop/event.plist"));
    f.ui.finishPanel(0, path);
    EXPECT_FALSE(QFileInfo::exists(path));
    f.controller->ibSavePrefToFile(&f.button);
    f.ui.finishPanel(1, path);
    EXPECT_EQ(readMap(path).value(PrefKeys::sPrefSecondsBetweenScans).toDouble(), 120.0);

    // Without a windowed front end there is no panel, and nothing else happens.
    test::ConsoleRecorder console;
    f.controller->fUi = nullptr;
    f.controller->ibSavePrefToFile(&f.button);
    f.controller->ibLoadPrefFromFile(&f.button);
    EXPECT_EQ(console.count(QStringLiteral("savepanel is NIL???")), 2);
}

TEST(PrefFiles, ImportGoesThroughTheOpenPanel)
{
    Fixture f;
    const QString path = f.file(QStringLiteral("in.plist"));
    ASSERT_TRUE(plist::writeXmlFileAtomically(
        path, QVariantMap { { PrefKeys::sUserLoginName, QStringLiteral("carla") } }, 0600));
    f.controller->ibLoadPrefFromFile(&f.button);
    ASSERT_EQ(f.ui.requests.size(), 1u);
    const FilePanelRequest &request = f.ui.requests.front();
    EXPECT_FALSE(request.save);
    EXPECT_NE(request.title, PrefKeys::sSavePanelTitle);
    EXPECT_EQ(request.prompt, QStringLiteral("Select"));
    EXPECT_TRUE(request.canChooseFiles);
    EXPECT_FALSE(request.canChooseDirectories);

    f.ui.finishPanel(0, path);
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sUserLoginName));
    f.controller->ibLoadPrefFromFile(&f.button);
    f.ui.finishPanel(1, path);
    EXPECT_EQ(f.value(PrefKeys::sUserLoginName), QVariant(QStringLiteral("carla")));
}

TEST(PrefFiles, TheSavePanelAlwaysEndsInPlist)
{
    Fixture f;
    test::FakeFilePanel save(PrefKeys::sSavePanelTitle);
    test::FakeFilePanel open(QStringLiteral("Please Choose A Preference File..."));
    AppController &c = *f.controller;

    EXPECT_EQ(c.panelUserEnteredFilename(&save, QStringLiteral("prefs"), true), QStringLiteral("prefs.plist"));
    EXPECT_EQ(
        c.panelUserEnteredFilename(&save, QStringLiteral("prefs.PLIST"), true), QStringLiteral("prefs.PLIST.plist"));
    EXPECT_EQ(c.panelUserEnteredFilename(&save, QStringLiteral("prefs.plist"), false), QStringLiteral("prefs.plist"));
    EXPECT_EQ(c.panelUserEnteredFilename(&open, QStringLiteral("prefs"), true), QStringLiteral("prefs"));
    EXPECT_EQ(c.panelUserEnteredFilename(nullptr, QStringLiteral("prefs"), true), QStringLiteral("prefs"));

    EXPECT_TRUE(c.panelIsValidFilename(&save, QStringLiteral("/a/prefs.plist")));
    EXPECT_FALSE(c.panelIsValidFilename(&save, QStringLiteral("/a/prefs.PLIST")));
    EXPECT_FALSE(c.panelIsValidFilename(&save, QStringLiteral("/a/prefs")));
    EXPECT_TRUE(c.panelIsValidFilename(&open, QStringLiteral("/a/prefs")));
    EXPECT_TRUE(c.panelIsValidFilename(nullptr, QStringLiteral("/a/prefs")));
    EXPECT_TRUE(c.panelIsValidFilename(&save, QString()));
}

TEST(PrefFiles, TheConfirmButtonNamesTheSelection)
{
    Fixture f;
    AppController &c = *f.controller;
    test::FakeFilePanel chooser(QString {});
    chooser.selection = QStringLiteral("/photos/Wedding Smith");
    c.panelSelectionDidChange(&chooser);
    EXPECT_EQ(chooser.promptText, QStringLiteral("Choose \"Wedding Smith\""));
    chooser.selection.clear();
    c.panelSelectionDidChange(&chooser);
    EXPECT_EQ(chooser.promptText, QStringLiteral("Select"));
    // Entering a folder keeps the prompt unless something is selected there.
    c.panelDirectoryDidChange(&chooser, QStringLiteral("/photos"));
    EXPECT_EQ(chooser.promptText, QStringLiteral("Select"));
    chooser.selection = QStringLiteral("/photos/Gala/");
    c.panelDirectoryDidChange(&chooser, QStringLiteral("/photos"));
    EXPECT_EQ(chooser.promptText, QStringLiteral("Choose \"Gala\""));

    // The save panel's button is its own business.
    test::FakeFilePanel save(PrefKeys::sSavePanelTitle);
    save.promptText = QStringLiteral("Save");
    save.selection = QStringLiteral("/photos/Gala");
    c.panelSelectionDidChange(&save);
    c.panelDirectoryDidChange(&save, QStringLiteral("/photos"));
    EXPECT_EQ(save.promptText, QStringLiteral("Save"));
}

// ---- Folder choosers ---------------------------------------------------------------------------------

TEST(FolderChoosers, AnUploadUnderWayShowsThe9003AlertAndKeepsTheFolder)
{
    Fixture f;
    f.store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("/photos/source"));
    f.controller->setStartedUploadProcess(true);
    f.controller->ibClickedOnChangeLocalSourceFolder(&f.button);
    f.controller->ibClickedOnChangeLocalMirrorSiteFolder(&f.button);

    EXPECT_TRUE(f.ui.requests.empty());
    ASSERT_EQ(f.ui.alerts.size(), 2u);
    EXPECT_EQ(f.ui.alerts.front().title, QStringLiteral("Upload in Progress"));
    EXPECT_TRUE(
        f.ui.alerts.front().message.contains(QStringLiteral("cannot be changed while an upload is in progress")));
    EXPECT_EQ(f.value(PrefKeys::sPrefLocalSourceUploadFolder), QVariant(QStringLiteral("/photos/source")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefLocalMasterMirrorSiteFolder));
}

TEST(FolderChoosers, AChosenFolderIsStoredAndShownInTheToolTip)
{
    Fixture f;
    const QString start = f.file(QStringLiteral("start"));
    QDir().mkpath(start);
    f.store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, start);

    f.controller->ibClickedOnChangeLocalSourceFolder(&f.button);
    ASSERT_EQ(f.ui.requests.size(), 1u);
    EXPECT_FALSE(f.ui.requests[0].canChooseFiles);
    EXPECT_TRUE(f.ui.requests[0].canChooseDirectories);
    EXPECT_FALSE(f.ui.requests[0].canCreateDirectories);
    EXPECT_EQ(f.ui.requests[0].directory, start);
    EXPECT_EQ(f.ui.requests[0].message, QStringLiteral("Please Select Your LOCAL SOURCE (To Be Uploaded) Folder"));
    f.ui.finishPanel(1, f.file(QStringLiteral("new source/")));
    EXPECT_EQ(f.value(PrefKeys::sPrefLocalSourceUploadFolder), QVariant(f.file(QStringLiteral("new source"))));
    EXPECT_EQ(f.sourceField.toolTip, f.file(QStringLiteral("new source")));

    f.controller->ibClickedOnChangeLocalMirrorSiteFolder(&f.button);
    ASSERT_EQ(f.ui.requests.size(), 2u);
    EXPECT_TRUE(f.ui.requests[1].canCreateDirectories);
    EXPECT_EQ(
        f.ui.requests[1].message, QStringLiteral("Please Select Your LOCAL MIRROR Site (Upload Completed) Folder"));
    f.ui.finishPanel(0, f.file(QStringLiteral("ignored")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefLocalMasterMirrorSiteFolder));
    EXPECT_TRUE(f.mirrorField.toolTip.isEmpty());

    // A pass that began while the chooser was up keeps the folders as they are.
    f.controller->ibClickedOnChangeLocalMirrorSiteFolder(&f.button);
    f.controller->setStartedUploadProcess(true);
    f.ui.finishPanel(1, f.file(QStringLiteral("late")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefLocalMasterMirrorSiteFolder));
    EXPECT_EQ(f.ui.alerts.size(), 1u);
}

TEST(FolderChoosers, AnEndWithoutContextChangesNothing)
{
    Fixture f;
    test::ConsoleRecorder console;
    f.controller->openPanelDidEnd(1, QStringLiteral("/x"), QString());
    f.controller->openPanelDidEnd(7, QStringLiteral("/x"), PrefKeys::sPrefLocalSourceUploadFolder);
    EXPECT_TRUE(console.contains(QStringLiteral("openPanelDidEnd passed NIL for contextInfo??????")));
    EXPECT_TRUE(console.contains(QStringLiteral("openPanelDidEnd:returnCode:contextInfo returned ?????")));
    EXPECT_FALSE(f.store->hasUserValue(PrefKeys::sPrefLocalSourceUploadFolder));
}
