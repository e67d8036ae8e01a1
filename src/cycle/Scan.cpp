// AppController: one pass over the source folder, on its own worker. It finds the next picture,
// builds its upload record and, through the notifications, uploads it and handles the outcome
// before it returns.

#include "app/AppController.h"
#include "cycle/FolderWalk.h"
#include "cycle/ItemBook.h"
#include "cycle/WriterCheck.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "diag/MessageLog.h"
#include "diag/TestHooks.h"
#include "files/CaptureDates.h"
#include "files/FileOps.h"
#include "files/OpenedPicture.h"
#include "files/PathUtils.h"
#include "files/PictureAnnotation.h"
#include "files/PictureMetadata.h"

#include <cstring>

namespace vesk {

namespace {
// How long a picture whose writer we cannot see must have been quiet before it is sent.
constexpr double kQuietSeconds = 2.0;
// How long the metadata reader may take for one picture before it is given up.
constexpr std::chrono::milliseconds kMetadataLimit { 20000 };
// How often the move of a picture that could not leave the source folder is tried again.
constexpr std::chrono::duration<double> kUnmovedRetry { 60.0 };
} // namespace

void AppController::scanFolderOnMainThread(const Notification &note)
{
    traceInside(kClassName, __func__);
    {
        // Testing and setting gIsScanning is one step, as are, at the end, clearing it and reading
        // the count: a request that meets a running scan is always either counted or served.
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        if (gIsScanning) {
            setNeedsToRescan(true);
            consoleLog(QStringLiteral("\n ******** Already Started a scanning process  [%1] *******\n\n")
                           .arg(gNeedsToRescan.load()));
            return;
        }
        setNeedsToRescan(false);
        setIsScanningFolder(true);
    }
    if (gStartedUploadProcess) {
        consoleLog(QStringLiteral(
            "Cannot Scan Folder Yet - while an upload is still in progress!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n"));
        setIsScanningFolder(false);
        return;
    }
    if (gDidHaltProcess) {
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Process Halted... Click Resume If You Wish To Continue..."));
        setIsScanningFolder(false);
        return;
    }
    if (serviceIsAway()) {
        // No upload starts while the service is away, new pictures included: the pass that its
        // return starts takes them in the scan's order.
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Waiting for the service: ")
            + CycleStatus::awayText(fStatus->snapshot(), QDateTime::currentDateTime()));
        setIsScanningFolder(false);
        return;
    }
    if (!note.userInfo) {
        ibUpdateFTPCallbackStatusTextField(
            QStringLiteral("BAD Internal ERROR!!!!! No Info To Start Scan of Folder..."));
        setIsScanningFolder(false);
        return;
    }

    Info working = *note.userInfo;
    working.remove(cDictKeyHttpError);
    const QString root = working.value(cDictKeyLocalRootFolder).toString();
    const QString mirror = working.value(cDictKeyLocalMirrorFolder).toString();
    const QString event = working.value(cDictKeyUserEnteredEventName).toString();
    const char *missing = !working.contains(cDictKeyLocalRootFolder)
        ? "Unable to determine root folder to start the enumeration process..."
        : !working.contains(cDictKeyLocalMirrorFolder)
        ? "Unable to determine dest folder to start the enumeration process..."
        : !working.contains(cDictKeyUserEnteredEventName)
        ? "Unable to determine userEnteredEventName to start the enumeration process..."
        : nullptr;
    if (missing) {
        MessageLog::LogMessage(QStringLiteral("Passed Note:\n%1\n\n").arg(describe(*note.userInfo)));
        MessageLog::LogMessage(QString::fromLatin1(missing));
        setIsScanningFolder(false);
        return;
    }

    // The walk. Pictures that must wait (a writer still at them, a retry delay) are passed over
    // so that the ones behind them can go; a pass is scheduled for when they may go.
    std::optional<QDateTime> earliestDeferred;
    auto defer = [&earliestDeferred](const QDateTime &when) {
        if (!earliestDeferred || when < *earliestDeferred)
            earliestDeferred = when;
    };
    bool metBusy = false;
    auto deferShortly = [&] {
        metBusy = true;
        defer(QDateTime::currentDateTimeUtc().addMSecs(static_cast<qint64>(1000 * fOptions.timeScale + 1)));
    };
    // What is passed over and why, once per entry as long as it stays the same.
    QStringList notices;
    auto notice = [&](const QString &occasion, const QString &line) {
        if (fItemBook->firstNotice(occasion))
            notices << line;
    };
    // The walk only finds a candidate; it is then opened afresh, one folder at a time from the
    // scanned folder, so that a folder swapped for a link since cannot lead outside it.
    auto openCandidate = [&](const QString &relative) -> OpenedPictureRef {
        testHook("picture-found", relative);
        const OpenedPicture::Opening opening = OpenedPicture::open(root, relative);
        if (opening.picture)
            return opening.picture;
        const QString where = pathutil::appendPathComponent(root, opening.obstacle);
        const QString occasion = QStringLiteral("%1|%2.%3|%4")
                                     .arg(where)
                                     .arg(opening.obstacleStatus ? qint64(opening.obstacleStatus->st_ctim.tv_sec) : 0)
                                     .arg(opening.obstacleStatus ? qint64(opening.obstacleStatus->st_ctim.tv_nsec) : 0)
                                     .arg(opening.obstacleStatus ? opening.obstacleStatus->st_mode : 0, 0, 8);
        switch (opening.failure) {
        case OpenedPicture::Failure::Busy:
            consoleLog(QStringLiteral("Still being written, will look again: [%1]").arg(where));
            deferShortly();
            break;
        case OpenedPicture::Failure::Link:
            notice(occasion, QStringLiteral("Passed over a symbolic link (links are never followed): [%1]").arg(where));
            break;
        case OpenedPicture::Failure::NotAFile:
            notice(occasion, QStringLiteral("Passed over [%1]: it is not a regular file").arg(where));
            break;
        case OpenedPicture::Failure::Unreachable:
            notice(occasion,
                QStringLiteral("Passed over [%1]: it cannot be reached (%2); the other pictures go on")
                    .arg(where, QString::fromLocal8Bit(std::strerror(opening.error))));
            break;
        case OpenedPicture::Failure::Gone:
        case OpenedPicture::Failure::None:
            break;
        }
        return nullptr;
    };
    // A picture whose transfer failed before goes only when no picture that was never tried is
    // waiting: its retry delay alone can be shorter than an attempt that ends in a time-out, and a
    // few such pictures would then take turns ahead of all the others. When the last full walk met
    // no picture that was never tried and nothing has changed since but by the program's own moves,
    // there is none: the first picture that may be retried is the choice, and the walk stops there.
    // Likewise, after a pass that took a picture never tried, with nothing changed since but by the
    // program's own moves, every picture in front of it is one that must not go before the pictures
    // behind it (tried before, done with, waiting for a retry): the walk starts at it (it may still be
    // waiting, never tried, when the service was away), and only when it finds no picture never
    // tried from there is the whole walk made.
    std::optional<QString> retryCandidate;
    OpenedPictureRef chosen;
    const std::optional<QString> problemFolder = getLocalProblemUploadFolder();
    const QString walked = QStringList { root, mirror, problemFolder.value_or(QString()) }.join(QChar(0));
    const quint64 generation = fFolderCache->generation();
    const bool onlyFailedLeft
        = generation != 0 && fOnlyFailedLeft && *fOnlyFailedLeft == std::make_pair(walked, generation);
    const bool resume
        = generation != 0 && fResumeAfter && fResumeAfter->walked == walked && fResumeAfter->generation == generation;
    bool metNeverTried = false;
    const FolderWalk::Admit admit = [&](const QString &relative) {
        const QString full = pathutil::appendPathComponent(root, relative);
        if (const std::optional<ItemBook::Destination> done = fItemBook->unmoved(full)) {
            // Already sent (or rejected): only its move is retried, at most once a minute (a full
            // mirror disk must not cost an attempt per picture per pass), and it is never sent again.
            // The walk makes the mirror's folders; the problem folder's are made here, as after a
            // rejection.
            const auto now = std::chrono::steady_clock::now();
            auto [tried, first] = fUnmovedTried.try_emplace(full, now);
            if (!first && now - tried->second < kUnmovedRetry * fOptions.timeScale)
                return FolderWalk::Verdict::Skip;
            tried->second = now;
            bool moved = false;
            if (*done == ItemBook::Destination::Mirror) {
                moved = moveFileToPath(relative, root);
            } else {
                const std::optional<QString> problem = getLocalProblemUploadFolder();
                if (problem)
                    fileops::makeFoldersBeneath(*problem, pathutil::deletingLastPathComponent(relative));
                moved = moveFileToPath(relative, root, problem, false, false);
            }
            if (moved) {
                fItemBook->clearUnmoved(full);
                fUnmovedTried.erase(full);
            }
            return FolderWalk::Verdict::Skip;
        }
        if (!fUnmovedTried.empty())
            fUnmovedTried.erase(full); // changed since, or moved by someone else
        const bool failedBefore = fItemBook->failureCount(full) > 0;
        metNeverTried = metNeverTried || !failedBefore;
        if (const std::optional<QDateTime> retry = fItemBook->retryAfter(full)) {
            defer(*retry);
            return FolderWalk::Verdict::Skip;
        }
        if (failedBefore && retryCandidate)
            return FolderWalk::Verdict::Skip; // only the first one could be chosen
        OpenedPictureRef picture = openCandidate(relative);
        if (!picture)
            return FolderWalk::Verdict::Skip;
        if (checkWriter(picture->fd(), kQuietSeconds) == WriterState::Busy) {
            consoleLog(QStringLiteral("Still being written, will look again: [%1]").arg(full));
            deferShortly();
            return FolderWalk::Verdict::Skip;
        }
        if (failedBefore) {
            retryCandidate = relative;
            if (!onlyFailedLeft)
                return FolderWalk::Verdict::Skip;
        }
        chosen = std::move(picture);
        return FolderWalk::Verdict::Take;
    };
    std::optional<FolderWalk> walk;
    std::optional<QString> item;
    for (const bool resumed : { true, false }) {
        if (resumed && !resume)
            continue;
        walk.emplace(root, mirror, fFolderCache.get());
        if (problemFolder)
            walk->keepOut({ *problemFolder });
        if (resumed)
            walk->startAt(fResumeAfter->item);
        retryCandidate.reset();
        metNeverTried = false;
        item = walk->findFirst(admit);
        if (item)
            break;
    }
    if (root != fCountedRoot) {
        // The first walk of this folder is done: the waiting pictures are counted now, in the
        // background, reading only the folders the walk did not. The window, the tray and the
        // metrics have the figure at once, and a status request during a backlog of thousands walks
        // remembered listings instead of reading folders.
        fCountedRoot = root;
        fStatus->countWaiting(root, [](const CycleStatus::WaitingCount &) {});
    }
    if (!item && walk->allRemembered() && !metNeverTried && generation != 0)
        fOnlyFailedLeft = std::make_pair(walked, generation);
    else if (metNeverTried)
        fOnlyFailedLeft.reset();
    if (item && !(retryCandidate && *item == *retryCandidate) && !metBusy && generation != 0)
        fResumeAfter = ResumePoint { walked, generation, *item };
    else
        fResumeAfter.reset();
    if (!item && retryCandidate) {
        item = retryCandidate;
        chosen = openCandidate(*item);
    }
    for (const QString &rootItem : walk->rootItems())
        consoleLog(QStringLiteral("Root Item [%1] May NOT be Uploaded!!!!!")
                       .arg(pathutil::appendPathComponent(root, rootItem)));
    for (qsizetype i = 0; i < walk->problems().size(); ++i)
        notice(walk->problemKeys().value(i), walk->problems().at(i));
    for (const QString &line : std::as_const(notices))
        myNSLog(line);
    if (!walk->rootReadable())
        myNSLog(QStringLiteral("Cannot read the folder to upload from: [%1]").arg(root));
    if (!item)
        consoleLog(QStringLiteral("No more images to upload..."));

    ibUpdateFTPCallbackStatusTextField(QString());
    for (const QString &line : std::as_const(notices))
        ibUpdateFTPCallbackStatusTextField(line, true);

    bool emptyPass = !item.has_value();
    if (item) {
        const QString clientName = pathutil::deletingPathExtension(pathutil::lastPathComponent(*item));
        working.insert(cDictKeyUserEnteredClientName, clientName);
        consoleLog(QStringLiteral("====> Setting CLIENT NAME = [%1]").arg(clientName));

        const QString file = pathutil::appendPathComponent(root, *item);
        if (!chosen) {
            consoleLog(QStringLiteral("WHAT???? FILE is LOST or Missing????? [%1]\n\n").arg(file));
            emptyPass = true;
        } else {
            // Read by the helper: a picture that crashes exiv2 must not take the program down. An
            // unreadable picture has none; it goes on to fail as unreadable.
            const PictureMetadata stored
                = chosen->fd() >= 0 ? readPictureMetadata(file, chosen->fd(), kMetadataLimit) : PictureMetadata();
            const std::optional<QDateTime> date = stored.captureDate
                ? stored.captureDate
                : GetAndUpdateFileCreationDate(chosen->fd() >= 0 ? chosen->readPath() : file, false, false);
            consoleLog(QStringLiteral("Found fileDate for %1: %2")
                           .arg(file, date ? describe(*date) : QStringLiteral("(null)")));
            if (!date)
                MessageLog::LogMessage(QStringLiteral("WHAT???? Cannot Find File Date for item: %1").arg(file));

            const std::optional<QString> fuseAction = getKobFuseAction();
            const QString metadata = fuseAction && *fuseAction == QLatin1String("upload.zentrova")
                ? QStringLiteral("From Zentrova 2010 Event.")
                : QString();
            const PictureAnnotation annotation
                = stored.comment ? parsePictureAnnotation(*stored.comment) : PictureAnnotation();

            auto record = makeInfo(working);
            // The move takes the picture from the folder it was found in; that is the source folder
            // for every trigger except the open-document request for another folder.
            record->insert(cDictKeyLocalRootFolder, root);
            if (const std::optional<QString> mirrorNow = getLocalMasterMirrorSiteFolder())
                record->insert(cDictKeyLocalMirrorFolder, *mirrorNow);
            record->insert(cDictKeyCurItem, *item);
            record->insert(cDictKeyUser, curUserName());
            record->insert(cDictKeyPasswd, curPassword());
            record->insert(cDictKeyFileName, file);
            record->insert(cDictKeyOpenedPicture, QVariant::fromValue(chosen));
            record->insert(cDictKeyClientName, clientName);
            record->insert(cDictKeyEventName, event);
            record->insert(cDictKeyMetaData, metadata);
            // The picture's own clock text: converting through a date would move a time in the
            // hour that summer time skips.
            record->insert(cDictKeyCaptureTime,
                stored.captureClock ? *stored.captureClock
                    : date          ? formatDate(*date)
                                    : QString());
            record->insert(cDictKeyKobFuseAction, fuseAction.value_or(QStringLiteral("upload.upload")));
            if (annotation.emails)
                record->insert(cDictKeyEmails, *annotation.emails);
            if (annotation.originalPath)
                record->insert(cDictKeyOriginalPath, *annotation.originalPath);
            consoleLog(QStringLiteral("edKobFuseAction = [%1]").arg(record->value(cDictKeyKobFuseAction).toString()));
            testHook("picture-chosen", *item);
            fCenter.post(cNotification_PrepareUploadStart, this, record);
        }
    }

    if (emptyPass) {
        consoleLog(QStringLiteral("Scanning done - NO File found for uploading..."));
        ibUpdateUploadStatusTextField(QStringLiteral("Done With Iteration..."));
        ibUpdateFTPCallbackStatusTextField(QStringLiteral("Waiting For New Images..."));
        doWatchFolderInThread(root);
        fCenter.post(cNotification_CleanUpAfterCompleteLoop, this, note.userInfo);
        doSetupRetriggerTimerOnMainThread();
        // With "prefAutoQuitAndRelaunchPerIteration", a fresh process takes over once a batch of
        // pictures is done: after an empty pass that follows at least one upload of this run. An
        // idle instance is never restarted over and over.
        if (fUploadedCount + fParkedCount > 0 && getPrefAutoQuitAndRelaunchPerIteration())
            performOnMainThread([this] { doRelaunchThisApp(); });
    }
    if (earliestDeferred)
        scheduleDeferredPass(*earliestDeferred);

    qint32 requests = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        setIsScanningFolder(false);
        requests = gNeedsToRescan.load();
    }
    working.clear();
    if (requests > 0)
        requestReopen();
}

} // namespace vesk
