#pragma once
// The preference keys. Stored files and scripts use these strings; code always uses the constants.

#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace vesk {

struct PrefKeys {
    static inline const QString sPrefLocalMasterMirrorSiteFolder = QStringLiteral("prefLocalMasterMirrorSiteFolder");
    static inline const QString sPrefLocalSourceUploadFolder = QStringLiteral("prefLocalSourceUploadFolder");
    static inline const QString sUserLoginName = QStringLiteral("userLoginName");
    static inline const QString sUserLoginPassword = QStringLiteral("userLoginPassword");
    static inline const QString sPrefCreateEncapsulatingFolder = QStringLiteral("prefCreateEncapsulatingFolder");
    static inline const QString sPrefShowPreviewWhenUploading = QStringLiteral("prefShowPreviewWhenUploading");
    static inline const QString sPrefDeleteEmptyFtpFolders = QStringLiteral("prefDeleteEmptyFtpFolders");
    static inline const QString sPrefUseEventName = QStringLiteral("prefUseEventName");
    static inline const QString sPrefUserEnteredEventName = QStringLiteral("userEnteredEventName");
    static inline const QString sPrefAutoSynchronize = QStringLiteral("prefAutoSynchronize");
    static inline const QString sPrefSecondsBetweenScans = QStringLiteral("prefSecondsBetweenScans");
    // The constant's name has "Use" before "Do"; the stored key has them the other way round.
    static inline const QString sPrefUseDoDeleteOldPhotos = QStringLiteral("prefDoUseDeleteOldPhotos");
    static inline const QString sPrefDaysOldBeforeDeleting = QStringLiteral("prefDaysOldBeforeDeleting");
    static inline const QString sPrefShowWindowAtStartup = QStringLiteral("prefShowWindowAtStartup");
    static inline const QString sPrefAutoQuitAndRelaunchPerIteration
        = QStringLiteral("prefAutoQuitAndRelaunchPerIteration");
    static inline const QString sPrefDeleteServerItemFirst = QStringLiteral("prefDeleteServerItemFirst");
    static inline const QString sPrefAutoStartUploadAtStartup = QStringLiteral("prefAutoStartUploadAtStartup");
    static inline const QString sPrefDoCopyOldFtpPref = QStringLiteral("prefDoCopyOldFtpPref");
    static inline const QString sPrefNotifyOnProblems = QStringLiteral("prefNotifyOnProblems");
    // Not in the key list: neither migrated, exported nor imported.
    static inline const QString sPrefKobFuseAction = QStringLiteral("prefKobFuseAction");

    // Title by which the preference-file save panel is recognised.
    static inline const QString sSavePanelTitle = QStringLiteral("SavePanel");

    // The value of the event-name field that means "not entered".
    static inline const QString sEventNamePlaceholder = QStringLiteral("turnOnCheckBoxIfUsingThisOption");
};

// myPrefKeyNameArray: the 19 keys in the order of the migration copy and the import listing.
const QStringList &myPrefKeyNameArray();

// The factory values of the keys of the list, to which the panel's fields revert.
QVariantMap factoryInitialValues();

} // namespace vesk
