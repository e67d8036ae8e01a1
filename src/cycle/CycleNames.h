#pragma once
// The notification names of the upload cycle and the keys of the records they carry.

#include <QString>

namespace vesk {

struct CycleNames {
    // Notifications
    static inline const QString cNotification_ScanFolder = QStringLiteral("ScanFolderNotification");
    static inline const QString cNotification_PrepareUploadStart = QStringLiteral("PrepareUploadStartNotification");
    static inline const QString cNotification_UploadStart = QStringLiteral("UploadStartNotification");
    static inline const QString cNotification_UploadDone = QStringLiteral("UploadDoneNotification");
    static inline const QString cNotification_UploadSuccess = QStringLiteral("UploadSuccessNotification");
    static inline const QString cNotification_UploadFail = QStringLiteral("UploadFailNotification");
    static inline const QString cNotification_Retrigger = QStringLiteral("RetriggerNotification");
    static inline const QString cNotification_UpdateProgressWindow = QStringLiteral("UpdateProgressWindowNotification");
    static inline const QString cNotification_WatcherStarted = QStringLiteral("WatcherStarted");
    static inline const QString cNotification_WatcherItemChanged = QStringLiteral("WatcherItemChanged");
    static inline const QString cNotification_DebugMoveItemsBack = QStringLiteral("DebugMoveItemsBack");
    static inline const QString cNotification_UploadProcessPaused = QStringLiteral("UploadProcessPaused");
    static inline const QString cNotification_CleanUpAfterUpload = QStringLiteral("CleanUpAfterUploadNotification");
    static inline const QString cNotification_CleanUpAfterCompleteLoop = QStringLiteral("CleanUpAfterCompleteLoop");

    // ScanRequestInfo and UploadItemInfo
    static inline const QString cDictKeyLocalRootFolder = QStringLiteral("localRootFolder");
    static inline const QString cDictKeyLocalMirrorFolder = QStringLiteral("localMirrorFolder");
    static inline const QString cDictKeyUserEnteredEventName = QStringLiteral("userEnteredEventName");
    static inline const QString cDictKeyUserEnteredClientName = QStringLiteral("userEnteredClientName");
    static inline const QString cDictKeyCurItem = QStringLiteral("localItem");
    static inline const QString cDictKeyUser = QStringLiteral("edUser");
    static inline const QString cDictKeyPasswd = QStringLiteral("edPasswd");
    static inline const QString cDictKeyFileName = QStringLiteral("edFileName");
    static inline const QString cDictKeyClientName = QStringLiteral("edClientName");
    static inline const QString cDictKeyEventName = QStringLiteral("edEventName");
    static inline const QString cDictKeyMetaData = QStringLiteral("edMetaData");
    static inline const QString cDictKeyCaptureTime = QStringLiteral("edCaptureTime");
    static inline const QString cDictKeyKobFuseAction = QStringLiteral("edKobFuseAction");
    static inline const QString cDictKeyEmails = QStringLiteral("edEmails");
    static inline const QString cDictKeyOriginalPath = QStringLiteral("edOriginalPath");
    // The picture held open since the scan chose it (an OpenedPictureRef): read and moved through it.
    static inline const QString cDictKeyOpenedPicture = QStringLiteral("edOpenedPicture");

    // UploadResultInfo
    static inline const QString cDictKeyHttpStatusCode = QStringLiteral("httpStatusCode");
    static inline const QString cDictKeyHttpResponse = QStringLiteral("httpResponse");
    static inline const QString cDictKeyHttpError = QStringLiteral("httpError");
    static inline const QString cDictKeyHttpReturnData = QStringLiteral("httpReturnData");
    static inline const QString cDictKeyHttpCustomStatus = QStringLiteral("httpOurCustomStatus");
    static inline const QString cDictKeyHttpCustomMessage = QStringLiteral("httpOurCustomMessage");
    static inline const QString cDictKeyHttpCustomError = QStringLiteral("httpOurCustomError");
    // The service is away (no connection, a gateway's answer, a web page): the line for the operator,
    // the answer's Retry-After in seconds, and whether it was a web page. The picture is not at fault.
    static inline const QString cDictKeyHttpServiceAway = QStringLiteral("httpServiceAway");
    static inline const QString cDictKeyHttpRetryAfter = QStringLiteral("httpRetryAfter");
    static inline const QString cDictKeyHttpWebPage = QStringLiteral("httpWebPage");
    // The address or the network is wrong (401, 403, 404, 405, 407, a redirect not followed): the line.
    static inline const QString cDictKeyHttpAddressProblem = QStringLiteral("httpAddressProblem");

    // UpdateProgressWindowNotification display texts
    static inline const QString cDictKeyDisplayCallbackStatus = QStringLiteral("ibFTPCallbackStatusField");
    static inline const QString cDictKeyDisplayUploadName = QStringLiteral("ibFtpUploadNameField");
    static inline const QString cDictKeyDisplayUploadStatus = QStringLiteral("ibUploadFileStatusField");

    // WatcherStarted
    static inline const QString cDictKeyRunLoop = QStringLiteral("CFRunLoopRef");
};

} // namespace vesk
