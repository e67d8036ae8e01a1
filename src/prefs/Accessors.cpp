// AppController: the factory defaults, the preference accessors and the migration of the
// predecessor's settings. Every accessor reads the store afresh; nothing is cached.

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "files/PathUtils.h"
#include "prefs/PrefValues.h"
#include "prefs/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {
// A property list file whose root is a dictionary; none otherwise, with the reason in why.
std::optional<QVariantMap> readDictionary(const QString &path, QString *why)
{
    const std::optional<QVariant> loaded = plist::readFile(path, why);
    if (loaded && loaded->typeId() == QMetaType::QVariantMap)
        return loaded->toMap();
    if (loaded)
        *why = QStringLiteral("its root is not a dictionary");
    return std::nullopt;
}
QVariantMap gInitialValues; // the values the panel's bindings revert to; set once at class init
} // namespace

const QStringList &myPrefKeyNameArray()
{
    static const QStringList keys {
        PrefKeys::sPrefLocalMasterMirrorSiteFolder,
        PrefKeys::sPrefLocalSourceUploadFolder,
        PrefKeys::sUserLoginName,
        PrefKeys::sUserLoginPassword,
        PrefKeys::sPrefCreateEncapsulatingFolder,
        PrefKeys::sPrefShowPreviewWhenUploading,
        PrefKeys::sPrefDeleteEmptyFtpFolders,
        PrefKeys::sPrefUseEventName,
        PrefKeys::sPrefUserEnteredEventName,
        PrefKeys::sPrefAutoSynchronize,
        PrefKeys::sPrefSecondsBetweenScans,
        PrefKeys::sPrefUseDoDeleteOldPhotos,
        PrefKeys::sPrefDaysOldBeforeDeleting,
        PrefKeys::sPrefShowWindowAtStartup,
        PrefKeys::sPrefAutoQuitAndRelaunchPerIteration,
        PrefKeys::sPrefDeleteServerItemFirst,
        PrefKeys::sPrefAutoStartUploadAtStartup,
        PrefKeys::sPrefDoCopyOldFtpPref,
        PrefKeys::sPrefNotifyOnProblems,
    };
    return keys;
}

void AppController::setupFactoryDefaults(PreferenceStore &store, const QString &resource)
{
    consoleLog(QStringLiteral("setupFactoryDefaults"));
    consoleLog(QStringLiteral("userDefaultsValuesPath = [%1]").arg(resource));
    QString error;
    std::optional<QVariant> loaded = plist::readFile(resource, &error);
    QVariantMap factory;
    if (!loaded || loaded->typeId() != QMetaType::QVariantMap) {
        consoleLog(QStringLiteral("userDefaultsValuesDict == NIL!!!!"));
        if (!loaded)
            consoleLog(QStringLiteral("The factory defaults [%1] cannot be read: %2").arg(resource, error));
        else
            consoleLog(QStringLiteral("The factory defaults [%1] are not a dictionary").arg(resource));
    } else {
        factory = loaded->toMap();
        consoleLog(QStringLiteral("About to register factory default dictionary:\n%1\n\n").arg(describe(factory)));
    }
    store.registerDefaults(factory);

    QVariantMap initial;
    for (const QString &key : myPrefKeyNameArray())
        initial.insert(key, factory.value(key));
    gInitialValues = initial;
}

void AppController::mergeAdministratorDefaults(PreferenceStore &store)
{
    const QString path = paths::administratorDefaultsFile();
    if (path.isEmpty())
        return;
    QString error;
    const std::optional<QVariantMap> read = readDictionary(path, &error);
    if (!read) {
        consoleLog(
            QStringLiteral("The administrator's defaults [%1] cannot be used (%2); they are ignored").arg(path, error));
        return;
    }
    const QVariantMap &values = *read;
    QVariantMap taken;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString &key = it.key();
        if (key == sUserLoginPassword) {
            consoleLog(QStringLiteral("The administrator's defaults [%1] hold a password: it is ignored (the file is "
                                      "readable by everyone; a credential of the service manager serves instead)")
                           .arg(path));
            continue;
        }
        if (!myPrefKeyNameArray().contains(key)) {
            consoleLog(QStringLiteral("The administrator's defaults [%1] name %2, which is no setting: it is ignored")
                           .arg(path, key));
            continue;
        }
        QString why;
        std::optional<QVariant> value = prefvalues::checkedValue(key, it.value(), &why);
        if (!value) {
            consoleLog(
                QStringLiteral("%1 (the administrator's defaults [%2]); the factory value stays").arg(why, path));
            continue;
        }
        // Folders may be given for every account at once, relative to each one's home.
        if ((key == sPrefLocalSourceUploadFolder || key == sPrefLocalMasterMirrorSiteFolder)
            && value->typeId() == QMetaType::QString)
            value = paths::expandTilde(value->toString());
        taken.insert(key, *value);
    }
    consoleLog(QStringLiteral("The administrator's defaults [%1]: %2").arg(path, describe(taken)));
    store.registerAdministratorDefaults(taken);
    for (auto it = taken.cbegin(); it != taken.cend(); ++it)
        gInitialValues.insert(it.key(), it.value());
}

std::optional<QString> AppController::getLocalSourceUploadFolder() const
{
    return fStore->stringForKey(sPrefLocalSourceUploadFolder);
}

std::optional<QString> AppController::getLocalMasterMirrorSiteFolder() const
{
    return fStore->stringForKey(sPrefLocalMasterMirrorSiteFolder);
}

std::optional<QString> AppController::getLocalProblemUploadFolder() const
{
    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    if (!mirror)
        return std::nullopt;
    // A sibling of the mirror folder, not inside it.
    return pathutil::appendPathComponent(
        pathutil::deletingLastPathComponent(*mirror), QStringLiteral("Problem Folder"));
}

bool AppController::getPrefShowPreviewWhenUploading() const
{
    return fStore->boolForKey(sPrefShowPreviewWhenUploading);
}

namespace {
// Read-and-materialise: a flag with no value in any layer is written as false, so that from then
// on the key is present in the user's settings.
bool readAndMaterialise(PreferenceStore &store, const QString &key)
{
    const bool flag = store.boolForKey(key);
    if (!store.objectForKey(key))
        store.setObject(key, flag);
    return flag;
}
} // namespace

bool AppController::getPrefDeleteEmptyFtpFolders()
{
    return readAndMaterialise(*fStore, sPrefDeleteEmptyFtpFolders);
}

bool AppController::getDoAutoSynchronize()
{
    return readAndMaterialise(*fStore, sPrefAutoSynchronize);
}

bool AppController::getPrefUseDoDeleteOldPhotos()
{
    return readAndMaterialise(*fStore, sPrefUseDoDeleteOldPhotos);
}

bool AppController::getPrefShowWindowAtStartup()
{
    return readAndMaterialise(*fStore, sPrefShowWindowAtStartup);
}

bool AppController::getAutoStartUploadAtStartup()
{
    return readAndMaterialise(*fStore, sPrefAutoStartUploadAtStartup);
}

bool AppController::getPrefAutoQuitAndRelaunchPerIteration()
{
    return readAndMaterialise(*fStore, sPrefAutoQuitAndRelaunchPerIteration);
}

bool AppController::getPrefDeleteServerItemFirst()
{
    return readAndMaterialise(*fStore, sPrefDeleteServerItemFirst);
}

std::optional<QVariant> AppController::getPrefSecondsBetweenScans() const
{
    std::optional<QVariant> value = fStore->objectForKey(sPrefSecondsBetweenScans);
    consoleLog(QStringLiteral("getPrefSecondsBetweenScans returned [%1]")
                   .arg(static_cast<double>(static_cast<float>(PreferenceStore::toDouble(value))), 0, 'f', 3));
    return value;
}

std::optional<QVariant> AppController::getPrefDaysOldBeforeDeleting() const
{
    std::optional<QVariant> value = fStore->objectForKey(sPrefDaysOldBeforeDeleting);
    consoleLog(QStringLiteral("sPrefDaysOldBeforeDeleting returned [%1]")
                   .arg(PreferenceStore::toInteger(value), 2, 10, QLatin1Char('0')));
    return value;
}

std::optional<QString> AppController::getKobFuseAction() const
{
    return fStore->stringForKey(sPrefKobFuseAction);
}

void AppController::getUserEnteredEventName()
{
    getUseEventName();
    const std::optional<QString> name = fStore->stringForKey(sPrefUserEnteredEventName);
    std::optional<QString> current;
    {
        std::lock_guard<std::mutex> guard(fLoginLock);
        if (name)
            fCurEventName = name;
        current = fCurEventName;
    }
    if (!name)
        consoleLog(QStringLiteral("USER did NOT Enter a Valid Event/Location Name"));
    consoleLog(QStringLiteral("Using Event Name = [%1]").arg(current.value_or(QStringLiteral("(null)"))));
}

std::optional<QString> AppController::credentialPassword() const
{
    const QString path = paths::passwordCredentialFile();
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!fCredentialNoted.exchange(true))
            myNSLog(QStringLiteral("The password credential [%1] cannot be read (%2): the stored password is used")
                        .arg(path, file.errorString()));
        return std::nullopt;
    }
    QByteArray bytes = file.read(64 * 1024);
    // The line end an editor or `echo` adds is no part of the password.
    if (bytes.endsWith('\n'))
        bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
    if (!fCredentialNoted.exchange(true))
        myNSLog(QStringLiteral("The password comes from the credential [%1]%2")
                    .arg(path,
                        fStore->hasUserValue(sUserLoginPassword) ? QStringLiteral("; it wins over the stored one")
                                                                 : QString()));
    return QString::fromUtf8(bytes);
}

QString AppController::addressSource() const
{
    if (!fOptions.endpoint.isEmpty())
        return QStringLiteral("from the command line");
    if (!qEnvironmentVariableIsEmpty("VESK_UPLOAD_URL"))
        return QStringLiteral("from the environment");
    return QStringLiteral("built in");
}

QString AppController::passwordSource() const
{
    if (credentialPassword())
        return QStringLiteral("from a credential");
    return fStore->objectForKey(sUserLoginPassword) ? QStringLiteral("from the preferences")
                                                    : QStringLiteral("none stored");
}

void AppController::getCurrentLoginInfo()
{
    const std::optional<QString> name = fStore->stringForKey(sUserLoginName);
    const std::optional<QString> credential = credentialPassword();
    const std::optional<QString> password = credential ? credential : fStore->stringForKey(sUserLoginPassword);
    {
        std::lock_guard<std::mutex> guard(fLoginLock);
        if (name)
            fCurUserName = *name;
        if (password)
            fCurPassword = *password;
    }
    if (!name)
        writeStandardError(QStringLiteral("Using Factory default for curUserLoginName\n"));
    if (!password)
        writeStandardError(QStringLiteral("Using Factory default for curUserLoginPassword\n"));
}

std::optional<QString> AppController::getCurUserLoginName() const
{
    return fStore->stringForKey(sUserLoginName);
}

std::optional<QString> AppController::getCurUserLoginPassword() const
{
    return fStore->stringForKey(sUserLoginPassword);
}

QString AppController::curUserName() const
{
    std::lock_guard<std::mutex> guard(fLoginLock);
    return fCurUserName;
}

QString AppController::curPassword() const
{
    std::lock_guard<std::mutex> guard(fLoginLock);
    return fCurPassword;
}

std::optional<QString> AppController::curEventName() const
{
    std::lock_guard<std::mutex> guard(fLoginLock);
    return fCurEventName;
}

std::optional<QString> AppController::rootFolder() const
{
    std::lock_guard<std::mutex> guard(fLoginLock);
    return fRootFolder;
}

void AppController::migrateOldFtpPrefs()
{
    if (!fStore->isUsable())
        return;
    const std::optional<QVariant> copied = fStore->objectForKey(sPrefDoCopyOldFtpPref);
    if (!copied) {
        consoleLog(QStringLiteral("This version does NOT have pref = [%1]").arg(sPrefDoCopyOldFtpPref));
        return;
    }
    if (PreferenceStore::toBool(copied)) {
        consoleLog(QStringLiteral("ALREADY Copied OLD Ftp Prefs..."));
        return;
    }
    const QString oldPath = paths::predecessorPreferencesFile();
    if (!QFileInfo::exists(oldPath)) {
        consoleLog(QStringLiteral("NO OLD ftp-uploader.plist to copy..."));
        return;
    }
    consoleLog(QStringLiteral("Need to Copy OLD Ftp Prefs from: [%1]").arg(oldPath));
    QString error;
    const std::optional<QVariantMap> old = readDictionary(oldPath, &error);
    if (!old) {
        // Nothing is copied and the flag stays false, so the next launch tries again.
        consoleLog(QStringLiteral("The old preferences [%1] cannot be read (%2); nothing copied").arg(oldPath, error));
        return;
    }
    const QVariantMap &oldValues = *old;
    for (const QString &key : myPrefKeyNameArray()) {
        auto it = oldValues.constFind(key);
        if (it == oldValues.cend())
            continue;
        QString why;
        if (const std::optional<QVariant> value = prefvalues::checkedValue(key, it.value(), &why))
            fStore->setObject(key, *value);
        else
            myNSLog(why + QStringLiteral("; it is not copied from the old preferences"));
    }
    fStore->setObject(sPrefDoCopyOldFtpPref, true);
    fStore->synchronize();
}

void AppController::tightenPreferencesFile()
{
    if (!fStore->isUsable() || !fStore->hasUserValue(sUserLoginPassword))
        return;
    const QByteArray path = QFile::encodeName(fStore->filePath());
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0) {
        const mode_t before = info.st_mode & 07777;
        if (::fchmod(fd, 0600) == 0)
            myNSLog(QStringLiteral("The preferences file [%1] holds the password but was readable by others "
                                   "(mode %2): it is now readable by its owner only (0600)")
                        .arg(fStore->filePath())
                        .arg(before, 4, 8, QLatin1Char('0')));
        else
            myNSLog(QStringLiteral("The preferences file [%1] holds the password and is readable by others "
                                   "(mode %2), but its mode cannot be changed: %3")
                        .arg(fStore->filePath())
                        .arg(before, 4, 8, QLatin1Char('0'))
                        .arg(qt_error_string(errno)));
    }
    ::close(fd);
}

QVariantMap factoryInitialValues()
{
    return gInitialValues;
}

} // namespace vesk
