// AppController: the check that everything an upload needs is in place, and the login save.

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "files/FolderRules.h"
#include "http/HttpController.h"

#include <QFileInfo>

#include <vector>

namespace vesk {

namespace {
bool isExistingFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isDir();
}
} // namespace

bool AppController::validateUserInfoBeforeUploading(const std::optional<QString> &sourceFolder)
{
    myNSLog(QStringLiteral("Inside %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__)));
    const ConsoleCapture refusals;
    const ProblemPriority refusedSettings(LogPriority::Error);
    int errors = 0;

    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    if (!mirror || mirror->isEmpty()) {
        myNSLog(QStringLiteral("Local Master Mirror Folder Has NOT Been Selected Yet..."));
        errors = 1;
    } else {
        const QString expanded = paths::expandTilde(*mirror);
        consoleLog(QStringLiteral("Checking for folder: [%1]").arg(expanded));
        if (!isExistingFolder(expanded)) {
            myNSLog(QStringLiteral("Local Master Mirror Folder is NOT a Valid FOLDER: [%1]").arg(expanded));
            errors = 1;
        }
    }

    const std::optional<QString> source = sourceFolder ? sourceFolder : getLocalSourceUploadFolder();
    if (!source || source->isEmpty()) {
        myNSLog(QStringLiteral("Local Source Upload Folder Has NOT Been Selected Yet..."));
        ++errors;
    } else {
        const QString expanded = paths::expandTilde(*source);
        consoleLog(QStringLiteral("Checking for folder: [%1]").arg(expanded));
        if (!isExistingFolder(expanded)) {
            myNSLog(QStringLiteral("Local Source Upload Folder is NOT a Valid FOLDER: [%1]").arg(expanded));
            ++errors;
        }
    }

    if (const QString refusal = refusedFoldersReason(source); !refusal.isEmpty()) {
        reportRefusedFolders(refusal);
        ++errors;
    }
    if (const QString refusal = HttpController::endpointRefusal(HttpController::resolveEndpoint(fOptions.endpoint));
        !refusal.isEmpty()) {
        reportRefusedFolders(refusal);
        ++errors;
    }

    if (errors == 0) {
        getUserEnteredEventName();
        const std::optional<QString> event = curEventName();
        consoleLog(QStringLiteral("fCurEventName = [%1]").arg(event.value_or(QStringLiteral("(null)"))));
        if (!event) {
            consoleLog(QStringLiteral("fCurEventName is NIL??????"));
            errors = 1;
        } else if (event->isEmpty()) {
            consoleLog(QStringLiteral("fCurEventName is BLANK??????"));
            errors = 1;
        } else if (event->compare(sEventNamePlaceholder, Qt::CaseInsensitive) == 0) {
            consoleLog(QStringLiteral("fCurEventName is turnOnCheckBoxIfUsingThisOption??????"));
            errors = 1;
        }
    }

    getCurrentLoginInfo();
    if (curPassword().isEmpty()) {
        ++errors;
        consoleLog(QStringLiteral("fCurPassword is NOT set or Blank??????"));
    }
    if (curUserName().isEmpty()) {
        ++errors;
        consoleLog(QStringLiteral("fCurUserName is NOT set or Blank??????"));
    }

    if (errors != 0)
        beep();
    watchSettingsChecked(errors == 0, refusals);
    return errors == 0;
}

QString AppController::refusedFoldersReason(const std::optional<QString> &sourceFolder) const
{
    const std::optional<QString> source = sourceFolder ? sourceFolder : getLocalSourceUploadFolder();
    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    std::vector<folderrules::RoleFolder> folders;
    if (source && !source->isEmpty())
        folders.push_back({ QStringLiteral("source folder"), *source });
    if (mirror && !mirror->isEmpty()) {
        folders.push_back({ QStringLiteral("mirror folder"), *mirror, true });
        folders.push_back(
            { QStringLiteral("problem folder"), getLocalProblemUploadFolder().value_or(QString()), true });
    }
    return folderrules::refusalOf(folders);
}

QStringList AppController::missingSettings() const
{
    QStringList missing;
    const auto unset = [](const std::optional<QString> &text) { return !text || text->isEmpty(); };
    const std::optional<QString> source = getLocalSourceUploadFolder();
    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    if (unset(source) || unset(mirror)) {
        missing << QStringLiteral("The source and mirror folders are not set: vesk-ctl folders SOURCE MIRROR");
    } else {
        for (const auto &[role, folder] : { std::pair { "source", *source }, std::pair { "mirror", *mirror } }) {
            if (!isExistingFolder(paths::expandTilde(folder)))
                missing << QStringLiteral("The %1 folder [%2] does not exist: make it, or choose others with "
                                          "vesk-ctl folders SOURCE MIRROR")
                               .arg(QLatin1String(role), folder);
        }
    }
    const std::optional<QString> event = store().stringForKey(sPrefUserEnteredEventName);
    if (unset(event) || event->compare(sEventNamePlaceholder, Qt::CaseInsensitive) == 0)
        missing << QStringLiteral("No event name is set: vesk-ctl setValue userEnteredEventName \"EVENT NAME\"");
    if (unset(store().stringForKey(sUserLoginName)))
        missing << QStringLiteral("No login is set: vesk-ctl setValue userLoginName NAME");
    if (unset(store().stringForKey(sUserLoginPassword)))
        missing << QStringLiteral("No password is set: vesk-ctl setValue userLoginPassword PASSWORD");
    if (!missing.isEmpty())
        missing << QStringLiteral("Then start a pass: vesk-ctl upnw (vesk-ctl status shows the settings in use)");
    return missing;
}

void AppController::reportRefusedFolders(const QString &reason)
{
    ibUpdateFTPCallbackStatusTextField(reason, true);
    myNSLog(reason);
}

void AppController::saveLoginInfo()
{
    traceInside(kClassName, __func__);
    if (!validateUserInfoBeforeUploading(std::nullopt)) {
        beep();
        return;
    }
    consoleLog(QStringLiteral("Inside saveLoginInfo"));
    getCurrentLoginInfo();
    if (ibLoginPanel && ibLoginPanel->isVisible())
        forceLockedIcon(0);
    if (ibLoginPanel) {
        if (ibLoginPanel->displayAsSheet())
            ibLoginPanel->endSheet(1);
        else
            ibLoginPanel->close();
    }
}

} // namespace vesk
