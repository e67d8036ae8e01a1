// AppController: preference files (export and import), the source and mirror folder choosers, and
// the delegate rules of their file panels. The panels themselves belong to the front end; this
// file only says what to ask and what to do with the answer. Main thread.

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "prefs/PrefValues.h"
#include "prefs/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vesk {

namespace {
constexpr int kOkButton = 1;
constexpr int kCancelButton = 0;
const QString kPlistExtension = QStringLiteral(".plist");

// Where the preference-file panels start: the Desktop folder, or home where there is none.
QString desktopFolder()
{
    const QString desktop = paths::expandTilde(QStringLiteral("~/Desktop/"));
    return QFileInfo(desktop).isDir() ? desktop : paths::expandTilde(QStringLiteral("~/"));
}

QString lastPathComponent(const QString &path)
{
    if (path.isEmpty())
        return {};
    return QFileInfo(QDir::cleanPath(path)).fileName();
}

QString chooseTitle(const QString &name)
{
    return QStringLiteral("Choose \"%1\"").arg(name);
}

QString describeValue(const QVariant &value)
{
    return value.typeId() == QMetaType::QString ? value.toString() : describe(value);
}

// The path as the platform hands it over: absolute, without a trailing separator.
QString normalisedFolder(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

void logPanelEnd(const char *operation, int returnCode)
{
    const char *answer = returnCode == kOkButton ? "NSOKButton"
        : returnCode == kCancelButton            ? "NSCancelButton"
                                                 : "?????";
    consoleLog(
        QStringLiteral("%1:returnCode:contextInfo returned %2").arg(QLatin1String(operation), QLatin1String(answer)));
}
} // namespace

// ---- Export ------------------------------------------------------------------------------------

void AppController::ibSavePrefToFile(ViewOutlet *sender)
{
    traceInside(kClassName, __func__);
    if (!sender)
        return;
    FilePanelRequest request;
    request.save = true;
    request.title = sSavePanelTitle;
    request.message = QStringLiteral("Saving the Current Preferences to File...");
    request.directory = desktopFolder();
    request.parent = sender->window();
    const bool shown = fUi && fUi->beginFilePanel(request, [this](int returnCode, const QString &path) {
        savePrefToFilePanelDidEnd(returnCode, path);
    });
    if (!shown)
        consoleLog(QStringLiteral("savepanel is NIL???"));
}

void AppController::savePrefToFilePanelDidEnd(int returnCode, const QString &path)
{
    logPanelEnd("savePanelDidEnd", returnCode);
    if (returnCode != kOkButton || path.isEmpty())
        return;
    savePrefToFile(path);
}

bool AppController::savePrefToFile(const QString &path)
{
    consoleLog(QStringLiteral("Saving Pref to FileName = [%1]").arg(path));
    // The empty file marks the place at once; an existing file is left whole until the new one
    // replaces it in one step.
    if (!QFileInfo::exists(path)) {
        QFile placeholder(path);
        if (placeholder.open(QIODevice::WriteOnly))
            placeholder.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    const QVariantMap everything = fStore->dictionaryRepresentation();
    QVariantMap exported;
    for (const QString &key : myPrefKeyNameArray()) {
        auto it = everything.constFind(key);
        if (it != everything.cend() && it.value().isValid())
            exported.insert(key, it.value());
    }
    // The file holds the password: readable by its owner only.
    QString error;
    if (!plist::writeXmlFileAtomically(path, exported, 0600, &error)) {
        consoleLog(QStringLiteral("Saving Pref to FileName failed: %1").arg(error));
        return false;
    }
    return true;
}

// ---- Import ------------------------------------------------------------------------------------

void AppController::ibLoadPrefFromFile(ViewOutlet *sender)
{
    traceInside(kClassName, __func__);
    if (!sender)
        return;
    FilePanelRequest request;
    request.message = QStringLiteral("Please Choose A Preference File...");
    request.prompt = QStringLiteral("Select");
    request.canChooseFiles = true;
    request.canChooseDirectories = false;
    request.directory = desktopFolder();
    request.parent = sender->window();
    consoleLog(QStringLiteral("ibLoadPrefFromFile - Open panel as Sheet"));
    const bool shown = fUi && fUi->beginFilePanel(request, [this](int returnCode, const QString &path) {
        openPanelForLoadPrefDidEnd(returnCode, path);
    });
    if (!shown)
        consoleLog(QStringLiteral("savepanel is NIL???"));
}

void AppController::openPanelForLoadPrefDidEnd(int returnCode, const QString &path)
{
    logPanelEnd("openPanelForLoadPrefDidEnd", returnCode);
    if (returnCode != kOkButton || path.isEmpty())
        return;
    loadPrefFromFile(path);
}

bool AppController::loadPrefFromFile(const QString &path)
{
    consoleLog(QStringLiteral("Loading Pref from FileName = [%1]").arg(path));
    const std::optional<QVariant> loaded = plist::readFile(path);
    if (!loaded || loaded->typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap values = loaded->toMap();
    const QStringList &keys = myPrefKeyNameArray();
    for (qsizetype index = 0; index < keys.size(); ++index) {
        const QString &key = keys.at(index);
        const QString number = QStringLiteral("%1").arg(index, 2, 10, QLatin1Char('0'));
        auto it = values.constFind(key);
        if (it == values.cend() || !it.value().isValid()) {
            consoleLog(QStringLiteral("%1 => [%2] = [NIL]").arg(number, key));
            continue;
        }
        // Taken as it is (the accessors convert whatever type the file holds when it is read), except
        // a number outside what its preference accepts: that one is left out.
        consoleLog(QStringLiteral("%1 => [%2] = [%3]").arg(number, key, describeValue(it.value())));
        QString why;
        if (const std::optional<QVariant> value = prefvalues::checkedValue(key, it.value(), &why))
            fStore->setObject(key, *value);
        else
            myNSLog(why + QStringLiteral("; the setting is left unchanged"));
    }
    return true;
}

// ---- Folder choosers ---------------------------------------------------------------------------

namespace {
void beginFolderChooser(AppController &controller, ViewOutlet *sender, const QString &key)
{
    if (!sender)
        return;
    if (controller.gStartedUploadProcess) {
        controller.myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("NSAlertWindow_9003"));
        return;
    }
    const bool mirror = key == PrefKeys::sPrefLocalMasterMirrorSiteFolder;
    FilePanelRequest request;
    request.canChooseFiles = false;
    request.canChooseDirectories = true;
    request.canCreateDirectories = mirror;
    request.message = mirror ? QStringLiteral("Please Select Your LOCAL MIRROR Site (Upload Completed) Folder")
                             : QStringLiteral("Please Select Your LOCAL SOURCE (To Be Uploaded) Folder");
    request.prompt = QStringLiteral("Select");
    request.directory = paths::expandTilde(controller.store().stringForKey(key).value_or(QString()));
    request.parent = sender->window();
    consoleLog(mirror ? QStringLiteral("ibClickedOnChangeLocalMirrorSiteFolder - Open panel as Sheet")
                      : QStringLiteral("ibClickedOnChangeLocalSourceFolder - Open panel as Sheet"));
    const bool shown = controller.fUi
        && controller.fUi->beginFilePanel(request, [&controller, key](int returnCode, const QString &path) {
               controller.openPanelDidEnd(returnCode, path, key);
           });
    if (!shown)
        consoleLog(QStringLiteral("The folder chooser could not be shown"));
}
} // namespace

void AppController::ibClickedOnChangeLocalSourceFolder(ViewOutlet *sender)
{
    traceInside(kClassName, __func__);
    beginFolderChooser(*this, sender, sPrefLocalSourceUploadFolder);
}

void AppController::ibClickedOnChangeLocalMirrorSiteFolder(ViewOutlet *sender)
{
    traceInside(kClassName, __func__);
    beginFolderChooser(*this, sender, sPrefLocalMasterMirrorSiteFolder);
}

void AppController::openPanelDidEnd(int returnCode, const QString &path, const QString &contextKey)
{
    logPanelEnd("openPanelDidEnd", returnCode);
    if (returnCode != kOkButton)
        return;
    if (contextKey.isEmpty()) {
        consoleLog(QStringLiteral("openPanelDidEnd passed NIL for contextInfo??????"));
        return;
    }
    // The chooser is modal for its window only, so a pass may have begun while it was up.
    if (gStartedUploadProcess && !path.isEmpty()) {
        myNSRunAlertPanel(QStringLiteral("myLocalDictionary"), QStringLiteral("NSAlertWindow_9003"));
        return;
    }
    const QString folder = path.isEmpty() ? QString() : normalisedFolder(path);
    if (contextKey == sPrefLocalMasterMirrorSiteFolder) {
        consoleLog(QStringLiteral("contextInfo is sPrefLocalMasterMirrorSiteFolder"));
        if (!folder.isEmpty()) {
            fStore->setObject(sPrefLocalMasterMirrorSiteFolder, folder);
            if (ibMainWindowLocalMirrorSitePath)
                ibMainWindowLocalMirrorSitePath->setToolTip(folder);
        } else {
            consoleLog(QStringLiteral("???? However contextInfo is NIL ??????"));
        }
    }
    if (contextKey == sPrefLocalSourceUploadFolder) {
        consoleLog(QStringLiteral("contextInfo is sPrefLocalSourceUploadFolder"));
        if (!folder.isEmpty()) {
            fStore->setObject(sPrefLocalSourceUploadFolder, folder);
            if (ibMainWindowLocalSourcePath)
                ibMainWindowLocalSourcePath->setToolTip(folder);
        } else {
            consoleLog(QStringLiteral("???? However contextInfo is NIL ??????"));
        }
    }
}

// ---- File-panel delegate -----------------------------------------------------------------------

void AppController::panelDirectoryDidChange(FilePanelOutlet *panel, const QString &)
{
    consoleLog(QStringLiteral("directoryDidChange"));
    if (!panel || panel->title() == sSavePanelTitle)
        return;
    const QString name = lastPathComponent(panel->selectedPath());
    if (!name.isEmpty())
        panel->setPrompt(chooseTitle(name));
}

void AppController::panelSelectionDidChange(FilePanelOutlet *panel)
{
    const QString selected = panel ? panel->selectedPath() : QString();
    consoleLog(QStringLiteral("panelSelectionDidChange [%1]").arg(selected));
    if (!panel || panel->title() == sSavePanelTitle)
        return;
    const QString name = lastPathComponent(selected);
    panel->setPrompt(name.isEmpty() ? QStringLiteral("Select") : chooseTitle(name));
}

QString AppController::panelUserEnteredFilename(FilePanelOutlet *panel, const QString &filename, bool okFlag)
{
    consoleLog(QStringLiteral("inside panel:(id)sender userEnteredFilename"));
    if (!panel || panel->title() != sSavePanelTitle)
        return filename;
    consoleLog(QStringLiteral("Responding to userEnteredFilename for SavePanel"));
    consoleLog(QStringLiteral("filename = [%1]").arg(filename));
    consoleLog(QStringLiteral("okFlag = [%1]").arg(okFlag ? 1 : 0));
    if (filename.endsWith(kPlistExtension)) {
        consoleLog(QStringLiteral("userEnteredFilename GOOD = [%1]").arg(filename));
        return filename;
    }
    const QString changed = filename + kPlistExtension;
    consoleLog(QStringLiteral("userEnteredFilename CHANGED filename to = [%1]").arg(changed));
    return changed;
}

bool AppController::panelIsValidFilename(FilePanelOutlet *panel, const QString &filename)
{
    if (!panel || filename.isNull() || panel->title() != sSavePanelTitle)
        return true;
    if (filename.endsWith(kPlistExtension)) {
        consoleLog(QStringLiteral("isValidFilename GOOD = [%1]").arg(filename));
        return true;
    }
    consoleLog(QStringLiteral("isValidFilename is missing .plist extension???"));
    consoleLog(QStringLiteral("isValidFilename NOT Valid to = [%1]").arg(filename));
    return false;
}

} // namespace vesk
