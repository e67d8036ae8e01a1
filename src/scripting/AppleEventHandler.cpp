// AppController: the scripting interface. The command channel carries the events of a controlling
// application ('vesk'/'upnw', 'vesk'/'paus', 'vesk'/'resm', 'vesk'/'rtry', 'vesk'/'1234', 'vesk'/'fldr', 'aevt'/'quit')
// and those of a second launch ('aevt'/'odoc', 'misc'/'actv'); this file installs the channel and serves the events.

#include "app/AppController.h"

#include "app/Paths.h"
#include "diag/Console.h"
#include "files/FolderRules.h"
#include "files/PathUtils.h"
#include "prefs/PrefValues.h"
#include "scripting/AppleEvent.h"
#include "scripting/CommandServer.h"

#include <QDir>
#include <QFileInfo>

namespace vesk {

namespace {

const QString kCommandSuccess = QStringLiteral("COMMAND SUCCESS");
const QString kCommandFailed = QStringLiteral("COMMAND FAILED");
const QString kNull = QStringLiteral("(null)");

QString orNull(const std::optional<QString> &text)
{
    return text ? *text : kNull;
}

QString bytesInMemory(FourCharCode code)
{
    return QString::fromLatin1(fourCharBytesInMemory(code));
}

// The value as the console shows a stored object: texts as they are, numbers in their short form.
QString valueText(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::asprintf("%0.7g", value.toDouble());
    default:
        return value.toString();
    }
}

bool matches(const std::optional<QString> &text, const QString &word)
{
    return text && text->compare(word, Qt::CaseInsensitive) == 0;
}

bool matchesAny(const std::optional<QString> &text, std::initializer_list<const QString *> words)
{
    return std::any_of(words.begin(), words.end(), [&](const QString *word) { return matches(text, *word); });
}

class PreferenceCommand {
public:
    PreferenceCommand(AppController &app, const QStringList &items)
        : fApp(app)
    {
        auto item = [&](qsizetype i) { return i < items.size() ? std::optional<QString>(items.at(i)) : std::nullopt; };
        fCommand = item(0);
        fKey = item(1);
        fValue = item(2);
    }

    // Why the last run answered COMMAND FAILED, for the asker.
    const QString &reason() const { return fReason; }

    AEDescriptor run()
    {
        consoleLog(QStringLiteral("Got the Command Line = [%1] [%2] [%3]")
                       .arg(orNull(fCommand), orNull(fKey), orNull(fValue)));
        if (matches(fCommand, QStringLiteral("setValue")))
            return setValue();
        if (matches(fCommand, QStringLiteral("getValue")))
            return getValue();
        return AEDescriptor::text(kCommandSuccess); // any other command word: nothing to do
    }

private:
    bool isTextKey() const
    {
        return matchesAny(
            fKey, { &PrefKeys::sPrefUserEnteredEventName, &PrefKeys::sUserLoginName, &PrefKeys::sUserLoginPassword });
    }

    bool isYesNoKey() const
    {
        return matchesAny(fKey,
            { &PrefKeys::sPrefShowPreviewWhenUploading, &PrefKeys::sPrefDeleteEmptyFtpFolders,
                &PrefKeys::sPrefAutoSynchronize, &PrefKeys::sPrefUseEventName, &PrefKeys::sPrefUseDoDeleteOldPhotos,
                &PrefKeys::sPrefAutoStartUploadAtStartup, &PrefKeys::sPrefNotifyOnProblems });
    }

    void unsupported()
    {
        consoleLog(QStringLiteral("Unsupported keyname=[%1] and keyValue=[%2]").arg(orNull(fKey), orNull(fValue)));
        if (matchesAny(fKey, { &PrefKeys::sPrefLocalSourceUploadFolder, &PrefKeys::sPrefLocalMasterMirrorSiteFolder }))
            fReason = QStringLiteral("the folders are set together, with their checks: vesk-ctl folders SOURCE MIRROR");
        else
            fReason = QStringLiteral("%1 cannot be changed by %2").arg(orNull(fKey), orNull(fCommand));
    }

    // The value's text for the key family's own check, which Import Settings and the panel share
    // (no value: an invalid variant, which every check refuses).
    QVariant numberText() const
    {
        consoleLog(QStringLiteral("the UTF8String is: %1\n\n").arg(orNull(fValue)));
        return fValue ? QVariant(*fValue) : QVariant();
    }

    // The value is stored under the key as it was sent, even when its letter case differs from the
    // preference's own: the accessors then do not see it, as controlling applications expect.
    AEDescriptor setValue()
    {
        bool stored = false;
        if (isTextKey()) {
            // Without a value the request is refused and the stored text stays: a truncated command
            // must never wipe the login. An empty text ("") still clears it on purpose.
            if (fValue)
                stored = fApp.saveSettingToUserDefaults(*fValue, *fKey);
            fReason = QStringLiteral("%1 needs a value (\"\" clears it)").arg(*fKey);
        } else if (isYesNoKey()) {
            if (AppController::isValidYesNoString(fValue))
                stored = fApp.saveSettingToUserDefaults(*fValue, *fKey);
            fReason = QStringLiteral("%1 takes yes or no").arg(*fKey);
        } else if (matches(fKey, PrefKeys::sPrefSecondsBetweenScans)) {
            fReason = QStringLiteral("%1 takes a number of seconds from 1 to 2147483 (digits, an optional fraction)")
                          .arg(*fKey);
            // Stored in single precision; the range holds for the narrowed number too.
            if (const std::optional<double> seconds = prefvalues::secondsBetweenScans(numberText())) {
                const double number = double(static_cast<float>(*seconds));
                consoleLog(QStringLiteral("theConverted NSNumber is: [%1]\n\n").arg(valueText(number)));
                stored = fApp.saveSettingToUserDefaults(number, *fKey);
            }
        } else if (matches(fKey, PrefKeys::sPrefDaysOldBeforeDeleting)) {
            fReason = QStringLiteral("%1 takes a number of days from 1 to 36500").arg(*fKey);
            // Stored as an integer: whole days, truncated toward zero.
            if (const std::optional<qint64> days = prefvalues::daysOldBeforeDeleting(numberText())) {
                consoleLog(QStringLiteral("theConverted NSNumber is: [%1]\n\n").arg(*days));
                stored = fApp.saveSettingToUserDefaults(qlonglong(*days), *fKey);
            }
        } else {
            unsupported();
        }
        if (stored) {
            fReason.clear();
            return AEDescriptor::text(kCommandSuccess);
        }
        consoleLog(
            QStringLiteral("INVALID parameterValue=[%1] for parameterName=[%2]").arg(orNull(fValue), orNull(fKey)));
        return AEDescriptor::text(kCommandFailed);
    }

    AEDescriptor getValue()
    {
        std::optional<QString> value;
        if (isTextKey()) {
            consoleLog(QStringLiteral("Is Valid keyNameString = [%1]").arg(*fKey));
            value = fApp.store().stringForKey(*fKey);
            if (value)
                consoleLog(QStringLiteral("Get Parameter value for keyName [%1] => [%2]").arg(*fKey, *value));
        } else if (matches(fKey, PrefKeys::sPrefSecondsBetweenScans)) {
            // Read as text, then as a number: a missing value reads as 0.
            const std::optional<QString> text = fApp.store().stringForKey(*fKey);
            const double seconds = PreferenceStore::toDouble(text ? std::optional<QVariant>(*text) : std::nullopt);
            value = QString::asprintf("%3.2f", seconds);
            consoleLog(QStringLiteral("Is Valid keyNameString = [%1]").arg(*fKey));
        } else {
            unsupported();
            fReason = QStringLiteral(
                "getValue reads userEnteredEventName, userLoginName, userLoginPassword and prefSecondsBetweenScans");
            return AEDescriptor::text(kCommandFailed);
        }
        if (!value)
            return AEDescriptor::text(kCommandSuccess);
        return AEDescriptor::list({ AEDescriptor::text(kCommandSuccess),
            AEDescriptor::list(
                { AEDescriptor::text(*fCommand), AEDescriptor::text(*fKey), AEDescriptor::text(*value) }) });
    }

    AppController &fApp;
    std::optional<QString> fCommand;
    std::optional<QString> fKey;
    std::optional<QString> fValue;
    QString fReason;
};

void handlePreferenceCommand(AppController &app, const AppleEvent &event, AppleEventReply *reply)
{
    consoleLog(QStringLiteral("Got the eventID = [%1]").arg(bytesInMemory(event.eventID)));
    consoleLog(QStringLiteral("GOT 1234"));
    if (!reply)
        return;
    consoleLog(QStringLiteral("Got the REPLY eventID = [%1]").arg(bytesInMemory(reply->eventID)));
    consoleLog(QStringLiteral("Got the REPLY Class = [%1]").arg(bytesInMemory(reply->eventClass)));

    // An empty list carries no command, so it counts as no direct object.
    if (!event.directObject || event.directObject->isEmpty()) {
        consoleLog(QStringLiteral("Unable to Get descriptorForKeyword: keyDirectObject???\n"));
        reply->directObject = AEDescriptor::text(kCommandFailed);
        return;
    }
    const QStringList &items = *event.directObject;
    AEDescriptor list = AEDescriptor::list();
    for (const QString &item : items)
        list.append(AEDescriptor::text(item));
    consoleLog(QStringLiteral("GOT descriptorForKeyword: keyDirectObject = [%1]\n").arg(list.description()));
    for (int i = 1; i <= 3; ++i) {
        const QString text = i <= items.size() ? items.at(i - 1) : kNull;
        consoleLog(QStringLiteral("GOT descriptorForKeyword: keyDirectObject[%1] = [%2]\n").arg(i).arg(text));
    }
    PreferenceCommand command(app, items);
    reply->directObject = command.run();
    reply->reason = command.reason();
}

} // namespace

void AppController::setupForAppleEventsForThisApp()
{
    consoleLog(QStringLiteral("setupForAppleEventsForThisApp\n"));
    if (findChild<CommandServer *>(QString(), Qt::FindDirectChildrenOnly))
        return; // installed once for the life of the process

    auto *server = new CommandServer(this);
    QString error;
    if (!server->listen(paths::commandSocketFile(), &error)) {
        consoleLog(QStringLiteral("UNABLE setupForAppleEventsForThisApp\n"));
        consoleLog(QStringLiteral("The command channel cannot be opened: %1").arg(error));
        delete server;
        return;
    }

    const auto handler
        = [this](const AppleEvent &event, AppleEventReply &reply) { handleTestAEHandler(&event, &reply); };
    server->setEventHandler(kVeskEventClass, kVeskSynchronizeNow, handler);
    server->setEventHandler(kVeskEventClass, kVeskPause, handler);
    server->setEventHandler(kVeskEventClass, kVeskResume, handler);
    server->setEventHandler(kVeskEventClass, kVeskRetryNow, handler);
    server->setEventHandler(kVeskEventClass, kVeskPreferenceCommand, handler);
    server->setEventHandler(kVeskEventClass, kVeskFolders, handler);
    server->setEventHandler(kCoreEventClass, kAEQuitApplication, handler);

    // A second launch hands over its folder. The pass starts after the reply, so the second launch
    // is answered at once, whatever the opening then has to show the operator.
    server->setEventHandler(kCoreEventClass, kAEOpenDocuments, [this](const AppleEvent &event, AppleEventReply &reply) {
        if (!event.directObject || event.directObject->isEmpty()) {
            reply.errorString = QStringLiteral("the open-document request names no folder");
            return;
        }
        for (const QString &path : *event.directObject) {
            if (!QDir::isAbsolutePath(path)) {
                reply.errorString = QStringLiteral("the open-document request needs absolute paths");
                return;
            }
        }
        consoleLog(
            QStringLiteral("Open-document request for [%1]").arg(event.directObject->join(QStringLiteral("] ["))));
        // A missing or refused folder is answered at once, so that the asker (vesk-ctl open, a
        // second launch) learns it; nothing of the request is opened then.
        for (const QString &path : *event.directObject) {
            QString refusal = QFileInfo(path).isDir()
                ? refusedFoldersReason(path)
                : QStringLiteral("Local Source Upload Folder is NOT a Valid FOLDER: [%1]").arg(path);
            if (!refusal.isEmpty()) {
                reportRefusedFolders(refusal);
                reply.directObject = AEDescriptor::text(kCommandFailed);
                reply.reason = refusal;
                return;
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, folders = *event.directObject] {
                for (const QString &folder : folders)
                    applicationOpenFile(folder);
            },
            Qt::QueuedConnection);
    });
    // A second launch without a folder brings this one to the front.
    server->setEventHandler(kAEMiscStandards, kAEActivate, [this](const AppleEvent &, AppleEventReply &) {
        consoleLog(QStringLiteral("Activate request from a second launch"));
        if (ibMainWindow)
            ibMainWindow->orderFront();
    });

    installWatchingRequests(*server);
    connect(this, &AppController::terminated, server, &CommandServer::close);
}

void AppController::handleTestAEHandler(const AppleEvent *event, AppleEventReply *reply)
{
    myPrintf("got handleTestAEHandler\n");
    if (!event)
        return;
    myPrintf("got handleTestAEHandler => examining event\n");
    myPrintf(QStringLiteral("theEventClass = [%1]\ntheEventID = [%2]\n")
                 .arg(fourCharText(event->eventClass), fourCharText(event->eventID)));

    AEDescriptor answer;
    switch (event->eventID) {
    case kVeskPause:
        forceProcessToPause();
        answer = AEDescriptor::text(QStringLiteral("ACCEPTED"));
        break;
    case kVeskSynchronizeNow:
        ibClickedOnSynchronizeAgain();
        answer = AEDescriptor::text(QStringLiteral("ACCEPTED"));
        break;
    case kVeskResume:
        forceProcessToResume();
        answer = AEDescriptor::text(QStringLiteral("ACCEPTED"));
        break;
    case kVeskRetryNow:
        ibClickedOnRetryNow();
        answer = AEDescriptor::text(QStringLiteral("ACCEPTED"));
        break;
    case kAEQuitApplication:
        consoleLog(QStringLiteral("\n\nReceived kAEQuitApplication...\n\n"));
        fGotAEQuitApplication = true;
        // Queued, so that the channel writes the (empty) reply before the quit ends the process.
        QMetaObject::invokeMethod(
            this,
            [this] {
                closeCurrentAlert();
                ibClickedOnQuit(nullptr);
            },
            Qt::QueuedConnection);
        return;
    case kVeskPreferenceCommand:
        handlePreferenceCommand(*this, *event, reply);
        return;
    case kVeskFolders: {
        const QStringList folders = event->directObject.value_or(QStringList());
        const QString reason
            = folders.size() == 2 && QDir::isAbsolutePath(folders.at(0)) && QDir::isAbsolutePath(folders.at(1))
            ? setFolders(folders.at(0), folders.at(1))
            : QStringLiteral("the request needs two absolute paths: the source folder and the mirror folder");
        if (reply)
            reply->reason = reason;
        answer = AEDescriptor::text(reason.isEmpty() ? kCommandSuccess : kCommandFailed);
        break;
    }
    default:
        consoleLog(QStringLiteral("WHAT THE HECK????"));
        consoleLog(QStringLiteral("Got the eventID = [%1]").arg(bytesInMemory(event->eventID)));
        return;
    }
    if (reply)
        reply->directObject = answer;
}

bool AppController::saveSettingToUserDefaults(const QVariant &value, const QString &key)
{
    consoleLog(QStringLiteral("SETTING parameterValue=[%1] for parameterName=[%2]").arg(valueText(value), key));
    store().setObject(key, value);
    store().synchronize();
    return true;
}

QString AppController::setFolders(const QString &source, const QString &mirror)
{
    consoleLog(QStringLiteral("Folders request: source [%1], mirror [%2]").arg(source, mirror));
    // The panel's checks: never while a picture is on its way, and only folders that exist.
    if (gStartedUploadProcess)
        return QStringLiteral("the folders cannot be changed while a picture is on its way; try again once it is done");
    for (const auto &[role, path] : { std::pair { "source", source }, std::pair { "mirror", mirror } }) {
        if (!QFileInfo(path).isDir())
            return QStringLiteral("The %1 folder [%2] is not a folder").arg(QLatin1String(role), path);
    }
    const QString sourceFolder = QDir::cleanPath(source);
    const QString mirrorFolder = QDir::cleanPath(mirror);
    const QString problem = pathutil::appendPathComponent(
        pathutil::deletingLastPathComponent(mirrorFolder), QStringLiteral("Problem Folder"));
    if (const QString refusal = folderrules::refusalOf({ { QStringLiteral("source folder"), sourceFolder },
            { QStringLiteral("mirror folder"), mirrorFolder }, { QStringLiteral("problem folder"), problem } });
        !refusal.isEmpty())
        return refusal;
    store().setObject(PrefKeys::sPrefLocalSourceUploadFolder, sourceFolder);
    store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirrorFolder);
    store().synchronize();
    myNSLog(QStringLiteral("The source folder is now [%1] and the mirror folder [%2]").arg(sourceFolder, mirrorFolder));
    if (ibMainWindowLocalSourcePath)
        ibMainWindowLocalSourcePath->setToolTip(sourceFolder);
    if (ibMainWindowLocalMirrorSitePath)
        ibMainWindowLocalMirrorSitePath->setToolTip(mirrorFolder);
    return {};
}

bool AppController::isValidYesNoString(const std::optional<QString> &text)
{
    return matches(text, QStringLiteral("yes")) || matches(text, QStringLiteral("no"));
}

} // namespace vesk
