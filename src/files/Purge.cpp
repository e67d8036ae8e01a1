// AppController: the old-photo purge of the mirror folder and the empty-folder removal. The purge
// runs once per launch on its own thread; the removal also runs on the main thread at start-up and
// at quit.

#include "files/Purge.h"

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "diag/MessageLog.h"
#include "diag/TestHooks.h"
#include "files/CaptureDates.h"
#include "files/FileOps.h"
#include "files/ImageCheck.h"
#include "files/PathUtils.h"
#include "files/TreeWalk.h"
#include "prefs/PrefValues.h"

#include <QThread>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace vesk {

namespace {

const QString kNull = QStringLiteral("(null)");
const QString kDSStore = QStringLiteral(".DS_Store");
constexpr qint64 kDefaultDaysOld = 30;

QDateTime daysBefore(const QDateTime &moment, double seconds)
{
    return moment.addMSecs(-std::llround(seconds * 1000.0));
}

// Both walks report to standard error and the message log alike.
void reportToErrorAndLog(const QString &line)
{
    writeStandardError(line);
    MessageLog::LogMessage(line);
}

void reportUnreadableFolder(const QString &relativePath, int error)
{
    reportToErrorAndLog(QStringLiteral("testDirectory=> folder cannot be read: %1 (%2)\n")
                            .arg(relativePath, QString::fromLocal8Bit(std::strerror(error))));
}

QString entryLine(const char *operation)
{
    return QStringLiteral("Inside %1->[%2] ").arg(QLatin1String(AppController::kClassName), QLatin1String(operation));
}

} // namespace

bool isDirectoryEmpty(const QString &path)
{
    const std::optional<QStringList> names = fileops::contentsOfDirectory(path);
    if (!names)
        return false;
    if (names->isEmpty()) {
        writeStandardError(QStringLiteral("directory is EMPTY\n"));
        return true;
    }
    if (names->size() == 1 && names->first() == kDSStore) {
        // Only the desktop's metadata file; a folder of that name may hold anything and does not count.
        const QString metadata = pathutil::appendPathComponent(path, kDSStore);
        if (fileops::itemExistsAtPath(metadata) && !fileops::isRealDirectory(metadata)) {
            writeStandardError(QStringLiteral(".DS_Store is the ONLY item in this folder\n"));
            return true;
        }
    }
    return false;
}

void AppController::doSetupDeleteOldPhotosThread()
{
    traceInside(kClassName, __func__);
    if (!getPrefUseDoDeleteOldPhotos())
        return;
    if (const QString refusal = refusedFoldersReason(std::nullopt); !refusal.isEmpty()) {
        myNSLog(QStringLiteral("The old-photo purge does not run. ") + refusal);
        return;
    }

    const QString prefix = QStringLiteral("Inside %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__));
    consoleLog(prefix + QStringLiteral("  Doing Window Test\n"));
    WindowOutlet *window = ibUtilWindow;
    ProgressOutlet *progress = ibUtilProgressBar;
    if (window) {
        consoleLog(prefix + QStringLiteral("  ibUtilwindow EXISTS\n"));
        const qint64 days = PreferenceStore::toInteger(getPrefDaysOldBeforeDeleting());
        const QString mirror = getLocalMasterMirrorSiteFolder().value_or(kNull);
        // On screen before the text, which a hidden window would not show.
        performOnMainThread([window] { window->orderBack(); }, true);
        ibUpdateNSTextField(ibUtilFunctionName,
            QStringLiteral("Deleting %1-DayOld Items From Folder: [%2]:").arg(days).arg(mirror), false);
        if (progress)
            performOnMainThread([progress] { progress->startAnimation(); }, false);
    }

    consoleLog(QStringLiteral("doSetupDeleteOldPhotosThread - Started..."));
    deleteOldOldPhotosAndFolderIfEmptyWorks();
    ibUpdateNSTextField(
        ibUtilFunctionName, QStringLiteral("Now Deleting All Empty Folders inside Mirror Folder..."), false);
    deleteFolderIfEmpty(getLocalMasterMirrorSiteFolder(), false, std::nullopt);
    consoleLog(QStringLiteral("doSetupDeleteOldPhotosThread - Done..."));

    if (window && window->isVisible()) {
        if (progress)
            performOnMainThread([progress] { progress->stopAnimation(); }, false);
        performOnMainThread([window] { window->close(); }, false);
    }
}

void AppController::deleteOldOldPhotosAndFolderIfEmptyWorks()
{
    consoleLog(entryLine(__func__));
    if (!getPrefUseDoDeleteOldPhotos()) {
        consoleLog(QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty -> preference is turned off..."));
        return;
    }
    consoleLog(QStringLiteral("\n\nInside deleteOldOldPhotosAndFolderIfEmpty...\n"));

    qint64 days = kDefaultDaysOld;
    if (const std::optional<QVariant> value = getPrefDaysOldBeforeDeleting()) {
        // Read with the store's usual conversion, then held to the accepted range: an age beyond it
        // (a hand-edited file, a value from an older version) would put the cut-off at or after now
        // and take every picture.
        const double number = std::trunc(PreferenceStore::toDouble(value));
        if (!(number >= double(prefvalues::kMinDaysOld) && number <= double(prefvalues::kMaxDaysOld))) {
            myNSLog(QStringLiteral("The old-photo purge is off for this run: the stored age [%1] of %2 is not "
                                   "a number of days from %3 to %4")
                        .arg(value->toString(), sPrefDaysOldBeforeDeleting)
                        .arg(prefvalues::kMinDaysOld)
                        .arg(prefvalues::kMaxDaysOld));
            return;
        }
        days = static_cast<qint64>(number);
    } else {
        consoleLog(
            QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned nil???"));
        consoleLog(QStringLiteral("deleteOldOldPhotosAndFolderIfEmpty => Reverting to Default value of [%1] days...")
                       .arg(kDefaultDaysOld));
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime cutOff = daysBefore(now, days * 60.0 * 60.0 * 24.0);
    consoleLog(QStringLiteral("Current Date is now: [%1]").arg(describe(QVariant(now))));
    consoleLog(QStringLiteral("Looking For Images that are EARLIER than: [%1]").arg(describe(QVariant(cutOff))));
    if (cutOff >= now) {
        myNSLog(QStringLiteral("The old-photo purge deletes nothing: its cut-off is not in the past"));
        return;
    }

    const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder();
    bool isFolder = false;
    if (!mirror || !fileops::fileExists(*mirror, &isFolder)) {
        reportToErrorAndLog(
            QStringLiteral("testDirectory=> source item FOLDER does NOT exist: %1\n").arg(mirror.value_or(kNull)));
        return;
    }
    if (!isFolder) {
        reportToErrorAndLog(QStringLiteral("testDirectory=> source item is NOT a Folder: %1\n").arg(*mirror));
        return;
    }

    const bool onWorker = QThread::currentThread() != thread();
    walkTreeAt(
        *mirror,
        [&](const TreeEntry &entry) {
            const QString &relative = entry.relative;
            if (onWorker && isStopping())
                return false;
            const QString full = pathutil::appendPathComponent(*mirror, relative);
            struct stat info { };
            if (::fstatat(entry.folderFd, entry.name.constData(), &info, 0) != 0) {
                reportToErrorAndLog(QStringLiteral("testDirectory=> curItem does NOT exist: %1\n").arg(relative));
                return true;
            }
            if (S_ISDIR(info.st_mode))
                return true;
            if (IsValidImageObject(full)) {
                const std::optional<QDateTime> date = GetAndUpdateFileCreationDate(full, false, false);
                if (date && *date < cutOff) {
                    ibUpdateNSTextField(ibUtilStatus, QStringLiteral("Deleting: %1").arg(relative), false);
                    // Removed from the folder the walk reached, never through a link.
                    fileops::removeFileAt(entry.folderFd, entry.name);
                }
            } else {
                consoleLog(QStringLiteral("itemName is NOT an Image File: [%1]\n").arg(relative));
                if (!pathutil::lastPathComponent(relative).startsWith(QLatin1Char('.')))
                    ibUpdateNSTextField(ibUtilStatus, QStringLiteral("Skipping: %1").arg(relative), false);
            }
            return true;
        },
        &reportUnreadableFolder);
}

void AppController::deleteFolderIfEmpty(
    const std::optional<QString> &root, bool doNotDeleteImmediateChild, const std::optional<QDateTime> &cutOff)
{
    const QString prefix = entryLine(__func__);
    consoleLog(prefix);
    myNSLog(prefix + QStringLiteral("==> Passed SourcePath: [%1]").arg(root.value_or(kNull)));
    bool isFolder = false;
    if (!root || !fileops::fileExists(*root, &isFolder)) {
        myNSLog(prefix + QStringLiteral("==> passed Invalid SourcePath: [%1]").arg(root.value_or(kNull)));
        return;
    }
    if (!isFolder) {
        myNSLog(prefix + QStringLiteral("==> sourcePath is NOT a Directory: [%1]").arg(*root));
        return;
    }

    // The quit-time run on the main thread always finishes; the purge thread gives up when told to stop.
    const bool onWorker = QThread::currentThread() != thread();
    walkTreeAt(
        *root,
        [&](const TreeEntry &entry) {
            const QString &relative = entry.relative;
            if (onWorker && isStopping())
                return false;
            const QString full = pathutil::appendPathComponent(*root, relative);
            struct stat info { };
            if (::fstatat(entry.folderFd, entry.name.constData(), &info, 0) != 0) {
                reportToErrorAndLog(QStringLiteral("testDirectory=> curItem does NOT exist: %1\n").arg(relative));
                return true;
            }
            // Files are passed over, and so are links: removing one would not remove an empty folder.
            if (!S_ISDIR(info.st_mode)
                || ::fstatat(entry.folderFd, entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISDIR(info.st_mode))
                return true;
            if (!fileops::isDeletableFileAtPath(full)) {
                writeStandardError(QStringLiteral("??? Directory is CANNOT Be Deleted?????: %1\n").arg(relative));
                return true;
            }
            if (!isDirectoryEmpty(full))
                return true;

            if (doNotDeleteImmediateChild) {
                // A root written with a trailing "/" never equals a joined parent path, so its first
                // level is then not protected.
                if (pathutil::deletingLastPathComponent(full) == *root) {
                    consoleLog(QStringLiteral("\nCANNOT DELETE same Root Path of [%1]\n").arg(full));
                    return true;
                }
                consoleLog(QStringLiteral("\nOKAY to delete  Path of [%1]\n").arg(full));
            } else if (cutOff) {
                if (itemIsEarlierThan(full, *cutOff, NSFileModificationDate)) {
                    ibUpdateNSTextField(ibUtilStatus, QStringLiteral("ITEM IS OLDDDDDDDD [%1]").arg(full), false);
                    consoleLog(QStringLiteral("SHOULD BE DELETING THIS OLD ITEM??????"));
                } else {
                    ibUpdateNSTextField(ibUtilStatus, QStringLiteral("Will NOT Delete [%1]").arg(full), false);
                    consoleLog(QStringLiteral("SHOULD NOT Delete this NEWER ITEm??????"));
                    return true;
                }
            }

            ibUpdateNSTextField(ibUtilStatus, relative, true);
            writeStandardError(QStringLiteral("\n===>  DELETING an EMPTY Directory: %1\n\n").arg(full));
            testHook("before-folder-removal", full);
            // Never recursive: a lone ".DS_Store" goes, then the folder only if nothing arrived since.
            if (const int error = fileops::removeEmptyFolderAt(entry.folderFd, entry.name))
                writeStandardError(QStringLiteral("The folder was not removed (%1): %2\n")
                                       .arg(QString::fromLocal8Bit(std::strerror(error)), full));
            return true;
        },
        &reportUnreadableFolder);
}

void AppController::deleteFolderIfEmpty(const std::optional<QString> &root, bool doNotDeleteImmediateChild)
{
    consoleLog(entryLine(__func__));
    deleteFolderIfEmpty(root, doNotDeleteImmediateChild, std::nullopt);
}

void AppController::deleteOLDFolderIfEmpty(
    const std::optional<QString> &root, bool doNotDeleteImmediateChild, qint16 daysOld)
{
    consoleLog(entryLine(__func__));
    deleteFolderIfEmpty(root, doNotDeleteImmediateChild, daysBefore(QDateTime::currentDateTime(), daysOld * 86400.0));
}

void AppController::ibDeleteLocalFtpFolderIfEmpty()
{
    const std::optional<QString> source = getLocalSourceUploadFolder();
    bool isFolder = false;
    if (!source || !fileops::fileExists(*source, &isFolder) || !isFolder)
        return;
    if (const QString refusal = refusedFoldersReason(std::nullopt); !refusal.isEmpty()) {
        myNSLog(QStringLiteral("No empty folders are removed at quit. ") + refusal);
        return;
    }

    const QString prefix = QStringLiteral("Inside %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__));
    consoleLog(prefix + QStringLiteral("  Doing Window Test\n"));
    if (WindowOutlet *window = ibUtilWindow) {
        consoleLog(prefix + QStringLiteral("  ibUtilwindow EXISTS\n"));
        if (getPrefDeleteEmptyFtpFolders()) {
            consoleLog(prefix + QStringLiteral("  Need to Delete Empty Folders..."));
            performOnMainThread([window] { window->orderBack(); }, true);
            ibUpdateNSTextField(
                ibUtilFunctionName, QStringLiteral("Deleting Empty Folders in the Source Upload Folder:"), false);
            if (ProgressOutlet *progress = ibUtilProgressBar)
                performOnMainThread([progress] { progress->startAnimation(); }, true);
        }
    }
    consoleLog(prefix + QStringLiteral("  Going to call deleteFolderIfEmpty..."));
    // The cut-off goes along, but the first-level rule alone decides in this mode.
    deleteFolderIfEmpty(source, true, daysBefore(QDateTime::currentDateTime(), 172800.0));
}

} // namespace vesk
