#pragma once
// AppController: the single controller and application delegate. It owns all run-time state of the
// uploader: the cycle flags, the timers, the HTTP client, the lock, the login copies and the
// outlets. It lives on the main thread; its cycle stages also run on the worker threads that the
// notifications start. Its member functions are defined in the folder of the subsystem they
// belong to; this header declares them grouped the same way.

#include "app/Outlets.h"
#include "cycle/CycleNames.h"
#include "cycle/CycleStatus.h"
#include "cycle/NotificationCenter.h"
#include "diag/Console.h"
#include "prefs/PrefKeys.h"
#include "prefs/PreferenceStore.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace vesk {

class CommandReplyStream;
class CommandServer;
class ConsoleCapture;
class FolderCache;
class FolderWatcher;
class HttpController;
class ItemBook;
class OutcomeHistory;
class OpenedPicture;
class ServiceProbe;
struct AppleEvent;
struct AppleEventReply;

struct AppOptions {
    std::shared_ptr<PreferenceStore> store;
    bool headless = false;
    QString endpoint; // upload URL; empty means the compiled-in default or VESK_UPLOAD_URL
    QString metricsTextfile; // node_exporter's textfile to keep written; empty: none
    QString metricsLabel; // the booth label of every metric
    double timeScale = 1.0; // multiplies every fixed delay (tests shorten them)
    QString factoryDefaultsResource = QStringLiteral(":/FactoryDefault.plist");
    QString stringsFolder = QStringLiteral(":/strings"); // holds <Language>.lproj/myLocalDictionary.strings
};

class AppController : public QObject, public PrefKeys, public CycleNames {
    Q_OBJECT

public:
    explicit AppController(AppOptions options, QObject *parent = nullptr);
    ~AppController() override;

    static constexpr const char *kClassName = "AppController";

    // ---- Start-up and shutdown (app/) ----------------------------------------------------------
    // Class initialisation: registers the factory defaults on the store.
    static void initialize(PreferenceStore &store, const QString &factoryDefaultsResource);
    void awakeFromNib();
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    enum class TerminateReply { TerminateNow, TerminateCancel };
    TerminateReply applicationShouldTerminate();
    void applicationWillTerminate();
    void ibClickedOnQuit(ViewOutlet *sender);
    void sendMailCocoa();
    bool fillInVersionString(ViewOutlet *element);
    // The application's terminate request: asks applicationShouldTerminate, runs
    // applicationWillTerminate and leaves the event loop with the exit status. Main thread.
    // The process ends within kQuitBoundMs of it whatever a worker does: the workers get
    // kQuitWorkerWaitMs to stop and are then left to the exit; should the orderly quit itself hang,
    // a watchdog closes the message log, removes the command socket and ends the process.
    void terminate(int exitStatus = 0);
    static constexpr int kQuitBoundMs = 15000;
    static constexpr int kQuitWorkerWaitMs = 10000;
    bool isTerminating() const { return fTerminating.load(); }
    // Tells the workers to stop, cancels a running transfer and waits (bounded) for them to end,
    // handling main-thread requests meanwhile. Main thread, after the event loop has ended.
    bool stopWorkers(int timeoutMs = 15000);

    // ---- Preferences (prefs/) -------------------------------------------------------------------
    static void setupFactoryDefaults(PreferenceStore &store, const QString &resource);
    // The administrator's defaults (paths::administratorDefaultsFile) over the factory ones: each
    // value passes the checks of an import; the password is never taken from there.
    static void mergeAdministratorDefaults(PreferenceStore &store);
    PreferenceStore &store() const { return *fStore; }
    std::optional<QString> getLocalSourceUploadFolder() const;
    std::optional<QString> getLocalMasterMirrorSiteFolder() const;
    std::optional<QString> getLocalProblemUploadFolder() const;
    bool getPrefShowPreviewWhenUploading() const;
    bool getPrefDeleteEmptyFtpFolders();
    bool getDoAutoSynchronize();
    bool getPrefUseDoDeleteOldPhotos();
    bool getPrefShowWindowAtStartup();
    bool getAutoStartUploadAtStartup();
    bool getPrefAutoQuitAndRelaunchPerIteration();
    bool getPrefDeleteServerItemFirst();
    std::optional<QVariant> getPrefSecondsBetweenScans() const;
    std::optional<QVariant> getPrefDaysOldBeforeDeleting() const;
    std::optional<QString> getKobFuseAction() const;
    bool getUseEventName() const { return true; }
    bool getPrefDoEncapsulate() const { return false; }
    void getUserEnteredEventName();
    void getCurrentLoginInfo();
    std::optional<QString> getCurUserLoginName() const;
    std::optional<QString> getCurUserLoginPassword() const;
    // The password of the service manager's credential when there is one (it wins over the stored
    // one); none when there is none or it cannot be read (said once in the log).
    std::optional<QString> credentialPassword() const;
    // Where the upload address and the password in use come from, for the status.
    QString addressSource() const;
    QString passwordSource() const;
    void migrateOldFtpPrefs();
    // A preferences file that others may read while it holds the password becomes readable by its
    // owner only (0600); logged when it happens.
    void tightenPreferencesFile();

    // ---- Preference panel, preference files, folder choosers (prefs/) -------------------------
    // All of these run on the main thread, except doHandleOpenPrefPanel, which hands itself over.
    void ibClickedOnOpenPref(ViewOutlet *sender);
    void doHandleOpenPrefPanel(ViewOutlet *sender);
    void sheetDidEnd(int returnCode);
    void ibClickedOnSaveAndClose();
    void ibClickedOnLockIcon(ViewOutlet *sender);
    void forceLockedIcon(int wantedState); // 0 locked, 1 unlocked
    // Enables or disables every control inside the view; containers are entered, controls are not.
    static void viewSetEnabled(ViewOutlet *view, bool flag);
    // Starts playing the sound resource :/sounds/<name>.<type>; answers whether it started.
    bool doPlaySound(const QString &name, const QString &type);
    // Export: the save panel, then the file.
    void ibSavePrefToFile(ViewOutlet *sender);
    void savePrefToFilePanelDidEnd(int returnCode, const QString &path);
    bool savePrefToFile(const QString &path); // false when the file could not be written
    // Import: the open panel, then the file.
    void ibLoadPrefFromFile(ViewOutlet *sender);
    void openPanelForLoadPrefDidEnd(int returnCode, const QString &path);
    bool loadPrefFromFile(const QString &path); // false when the file is no property-list dictionary
    // Folder choosers; contextKey is sPrefLocalSourceUploadFolder or sPrefLocalMasterMirrorSiteFolder.
    void ibClickedOnChangeLocalSourceFolder(ViewOutlet *sender);
    void ibClickedOnChangeLocalMirrorSiteFolder(ViewOutlet *sender);
    void openPanelDidEnd(int returnCode, const QString &path, const QString &contextKey);
    // File-panel delegate. A null panel or a null name counts as missing.
    void panelDirectoryDidChange(FilePanelOutlet *panel, const QString &directory);
    void panelSelectionDidChange(FilePanelOutlet *panel);
    QString panelUserEnteredFilename(FilePanelOutlet *panel, const QString &filename, bool okFlag);
    bool panelIsValidFilename(FilePanelOutlet *panel, const QString &filename);
    void ibMenuCmd_Open();
    // Items dropped on the main window: one folder is an open-document request; anything else
    // is refused with a beep. Answers whether a pass was asked for.
    bool openDroppedItems(const QStringList &paths);

    // ---- Status display, alerts, reveal (ui/) --------------------------------------------------
    void ibUpdateNSTextField(TextFieldOutlet *field, const QString &text, bool doWait, bool isError);
    void ibUpdateNSTextField(TextFieldOutlet *field, const QString &text, bool doWait);
    void ibUpdateUploadMainPath(const QString &text);
    void ibUpdateLoginName(const QString &text);
    void ibUpdateSourceFolderPath(const QString &text);
    void ibUpdateFileNameField(const QString &text);
    void ibUpdateUploadStatusTextField(const QString &text);
    void ibUpdateFTPCallbackStatusTextField(const QString &text);
    void ibUpdateFTPCallbackStatusTextField(const QString &text, bool isError);
    void ibUpdateProgressBar(const QString &yesOrNo);
    // The localised alert of the strings table; 1, 0, -1 for the buttons, -2 when none was shown.
    int myNSRunAlertPanel(
        const QString &tableName, const QString &key, const QString &arg1 = {}, const QString &arg2 = {});
    void ibClickedOnRevealFinder1();
    void ibClickedOnRevealFinder2();
    void ibClickedOnRevealProblemFolder();
    void revealItemInFinder(const QString &path);
    void closeCurrentAlert();
    void beep();
    // Trace-only window handlers.
    void postWindowBecameKey();
    void postWindowBecameMain();
    void windowWillBeginSheet();
    void windowDidMove();
    void windowWillClose();
    void textDidChange();

    // ---- Upload cycle (cycle/) ------------------------------------------------------------------
    void setStartedUploadProcess(bool flag);
    void setIsScanningFolder(bool flag);
    void setNeedsToRescan(bool flag);
    void setIsInsideOpenFile(bool flag);
    void setWantsToHaltProcess(bool flag);
    void setDidHaltProcess(bool flag);
    void setIsInsideWatchFolderThread(bool flag);

    bool validateUserInfoBeforeUploading(const std::optional<QString> &sourceFolder);
    void saveLoginInfo();
    // Why a pass over the source folder (the stored one when none is given), with the stored mirror
    // folder and its problem folder, must not run; empty when it may. No pass, purge or removal of
    // empty folders ever runs on refused folders. Any thread.
    QString refusedFoldersReason(const std::optional<QString> &sourceFolder) const;
    // The refusal in the status line (as an error) and the log.
    void reportRefusedFolders(const QString &reason);

    // Entry points
    bool applicationOpenFile(const QString &path);
    void ibUserClickedOnSynchronize();
    void ibClickedOnSynchronizeAgain();
    // Retry Now ('vesk'/'rtry', the tray's and the window's action): every picture waiting for a retry
    // is due at once, the service is asked at once when it is away, and a pass starts unless one runs
    // or the cycle is halted. Synchronize Again and 'upnw' make the pictures due and ask too.
    void ibClickedOnRetryNow();
    void makeWaitingPicturesDue();
    void openFileOnMainThread();
    // Asks for a pass through a re-open worker. Requests that arrive while one waits are served by
    // it, so a burst of requests never makes more than one waiting worker. afterTask: as for
    // detachThread.
    void requestReopen(const char *afterTask = nullptr);

    // Handlers
    void handleNotification_ScanFolder(const Notification &note);
    void handleNotification_PrepareUploadStart(const Notification &note);
    void handleNotification_UploadStart(const Notification &note);
    void handleNotification_UploadDone(const Notification &note);
    void handleNotification_UploadSuccess(const Notification &note);
    void handleNotification_UploadFail(const Notification &note);
    void handleNotification_Retrigger(const Notification &note);
    void handleNotification_UpdateProgressWindow(const Notification &note);
    void handleNotification_WatcherStarted(const Notification &note);
    void handleNotification_WatcherItemChanged(const Notification &note);
    void handleNotification_DebugMoveItemsBack(const Notification &note);
    void handleNotification_UploadProcessPaused(const Notification &note);
    void handleNotification_CleanUpAfterUpload(const Notification &note);
    void handleNotification_CleanUpAfterCompleteLoop(const Notification &note);

    // The scan of one request, on its worker.
    void scanFolderOnMainThread(const Notification &note);

    // Halt, pause and resume
    void ibClickedOnHalt(ViewOutlet *sender);
    void forceProcessToPause();
    // The scripted resume ('resm'): a halted cycle resumes as with the Resume button, a pause still
    // waiting for the current picture is called off, anything else is left alone. Main thread.
    void forceProcessToResume();
    void doHandlePauseResumeButtonAsResume(ViewOutlet *sender);
    void doWaitForUploadProcessToEndInThread(ViewOutlet *button);

    NotificationCenter &defaultCenter() { return fCenter; }

    // ---- Scheduling and watching (schedule/) ---------------------------------------------------
    void doSetupRetriggerTimerOnMainThread();
    void doSetupRetriggerTimer();
    void cancelRetriggerTimerOnMainThread();
    void cancelRetriggerTimer();
    void doAutoResynchronize();
    QTimer *getRepeatTimer() const { return fRepeatTimer; }
    void doWatchFolderInThread(const QString &path);
    void stopFolderWatcher();
    void doRelaunchThisApp();

    // ---- File housekeeping (files/) --------------------------------------------------------------
    // The three moves answer whether the item is now at its destination (the cycle needs to know
    // when a picture it uploaded could not leave the source folder). With expected, the picture that
    // was sent: the item moves only while its name still is that file, and is copied from it.
    bool moveFileToPath(const QString &item, const QString &sourceRoot, const OpenedPicture *expected = nullptr);
    bool moveFileToPath(const QString &item, const QString &sourceRoot, bool overwrite, bool encapsulate,
        const OpenedPicture *expected = nullptr);
    bool moveFileToPath(const QString &item, const QString &sourceRoot, const std::optional<QString> &destRoot,
        bool overwrite, bool encapsulate, const OpenedPicture *expected = nullptr);
    void doSetupDeleteOldPhotosThread();
    void deleteOldOldPhotosAndFolderIfEmptyWorks();
    void deleteFolderIfEmpty(
        const std::optional<QString> &root, bool doNotDeleteImmediateChild, const std::optional<QDateTime> &cutOff);
    void deleteFolderIfEmpty(const std::optional<QString> &root, bool doNotDeleteImmediateChild);
    void deleteOLDFolderIfEmpty(const std::optional<QString> &root, bool doNotDeleteImmediateChild, qint16 daysOld);
    void ibDeleteLocalFtpFolderIfEmpty();

    // ---- Scripting interface (scripting/) -------------------------------------------------------
    // Opens the command channel (once) and registers the handlers of its events. Main thread.
    void setupForAppleEventsForThisApp();
    // Serves one event of the channel; either may be null. The answer goes into the reply's direct
    // object. Main thread.
    void handleTestAEHandler(const AppleEvent *event, AppleEventReply *reply);
    // Stores the value under the key and writes the preferences at once.
    bool saveSettingToUserDefaults(const QVariant &value, const QString &key);
    static bool isValidYesNoString(const std::optional<QString> &text);
    // Sets the source and mirror folders together, as the panel would, once they pass every check
    // of a folder in its role; answers why not (empty when they were stored). Main thread.
    QString setFolders(const QString &source, const QString &mirror);
    // Why a pass cannot start with the stored settings and the commands that fix it, one line each;
    // empty when nothing is missing.
    QStringList missingSettings() const;

    // ---- Watching it run (cycle/Watching.cpp, scripting/WatchingRequests.cpp) --------------------
    // What the status request, the tray and the notifications see. Reading never blocks the cycle.
    CycleStatus &cycleStatus() const { return *fStatus; }
    struct StatusReport {
        QString state; // "idle and waiting", "scanning", "uploading", "pause requested", "halted",
                       // "stopped by a service error" or "settings refused"
        CycleStatus::Snapshot cycle;
        int uploaded = 0;
        int parked = 0;
        int transferFailures = 0; // pictures whose transfer failed at least once
        int failedAttempts = 0; // the failed transfers themselves
        int waitingForRetry = 0; // pictures in the source folder waiting for a retry
        std::optional<QDateTime> nextRetry; // the earliest of their retries
        std::optional<QDateTime> nextPass; // the earlier of the rescan timer and a retry's pass
        QString host; // the upload endpoint's
        QString addressSource; // "from the command line", "from the environment" or "built in"
        QString passwordSource; // "from a credential", "from the preferences" or "none stored"
        QString endpoint;
        std::optional<QString> sourceFolder, mirrorFolder, problemFolder; // none when not set
    };
    // Main thread (it reads the timers).
    StatusReport statusReport() const;
    // The cycle's reports, one call at each place where it decides.
    enum class WatchedOutcome { Uploaded, Parked, TransferFailed, ServiceError, Gone };
    void watchUploadStarted(const Info &info);
    void watchOutcome(WatchedOutcome outcome, const InfoRef &info);
    void watchSettingsChecked(bool accepted, const ConsoleCapture &lines);
    // The status line of a refusal of the settings.
    static QString settingsRefusedLine(const QString &reason);
    // Where the console is the journal: Error for a failure that stops the cycle, else Warning.
    LogPriority failurePriority(const Notification &note) const;
    // The status ('vesk'/'stat') and event-stream ('vesk'/'evts') requests. Main thread.
    void installWatchingRequests(CommandServer &server);
    // The figures in the Prometheus text format (cycle/Metrics.cpp). Main thread; never waits.
    QByteArray metricsExposition();
    // Keeps the options' metrics textfile written, from now on. Main thread.
    void startMetricsTextfile();
    int eventListenerCount();

    // ---- HTTP client ----------------------------------------------------------------------------
    void createHttpController();
    // Cuts off a transfer in progress (used at quit); its picture stays in the source folder. Ends
    // the checks of a service that is away.
    void cancelTransfers();
    // While the service is away no upload starts; the probe says when it is back.
    bool serviceIsAway() const;

    // ---- Threads --------------------------------------------------------------------------------
    // Hands work to the main thread (directly when already there). With wait, returns once done.
    void performOnMainThread(std::function<void()> work, bool wait = false);
    // Starts a worker thread that the controller can stop and wait for at quit. Returns false (and
    // starts nothing) once the controller is stopping. When the caller is a worker running a task
    // named afterTask, the new task runs on that same thread as soon as the caller's task ends (a
    // stage that ends by handing the cycle on then wakes no other thread).
    bool detachThread(const char *name, std::function<void()> body, const char *afterTask = nullptr);
    bool isStopping() const { return fStopping.load(); }
    int liveWorkerCount() const;
    QString liveWorkerNames() const;
    // Sleeps for the scaled duration, waking early (false) when the controller stops.
    bool sleepFor(double seconds);
    double timeScale() const { return fOptions.timeScale; }

    // ---- Outlets (set by the window layer at load; null headless) -------------------------------
    UserInterface *fUi = nullptr;
    WindowOutlet *ibMainWindow = nullptr;
    TextFieldOutlet *ibVersion = nullptr;
    TextFieldOutlet *ibCopyright = nullptr;
    TextFieldOutlet *ibMacOSVersion = nullptr;
    TextFieldOutlet *ibMainWindowLocalSourcePath = nullptr;
    TextFieldOutlet *ibMainWindowLocalMirrorSitePath = nullptr;
    PanelOutlet *ibLoginPanel = nullptr;
    ViewOutlet *ibChangeablePrefView = nullptr;
    ButtonOutlet *ibOpenPrefButton = nullptr;
    WindowOutlet *ibProgressPanel = nullptr;
    TextFieldOutlet *ibUploadMainPath = nullptr;
    TextFieldOutlet *ibLoginName = nullptr;
    TextFieldOutlet *ibSourceFolderPath = nullptr;
    TextFieldOutlet *ibFileNameField = nullptr;
    TextFieldOutlet *ibUploadFileStatusField = nullptr;
    TextFieldOutlet *ibFTPCallbackStatusField = nullptr;
    ProgressOutlet *ibProgressBar = nullptr;
    ImageViewOutlet *ibImageView = nullptr;
    ButtonOutlet *ibPauseResumeButton = nullptr;
    WindowOutlet *ibUtilWindow = nullptr;
    TextFieldOutlet *ibUtilFunctionName = nullptr;
    TextFieldOutlet *ibUtilStatus = nullptr;
    ProgressOutlet *ibUtilProgressBar = nullptr;

    // ---- Cycle flags: process-wide, written through their setters under fThreadLock ------------
    std::atomic<bool> gStartedUploadProcess { false };
    std::atomic<bool> gIsScanning { false };
    std::atomic<qint32> gNeedsToRescan { 0 };
    std::atomic<bool> gInsideOpenFile { false };
    std::atomic<bool> gWantsToHaltProcess { false };
    std::atomic<bool> gDidHaltProcess { false };
    std::atomic<bool> gIsInWatchFolderInstaller { false };

    // ---- Login copies and other state ------------------------------------------------------------
    // fCurUserName, fCurPassword, fCurEventName: written by the opening of a pass, validation and
    // the login save, read by the scan worker; fRootFolder: the last folder opened. Any thread.
    QString curUserName() const;
    QString curPassword() const;
    std::optional<QString> curEventName() const;
    std::optional<QString> rootFolder() const;

    bool fHeadless = false;
    bool fUserRequired = false;
    std::atomic<bool> fGotAEQuitApplication { false };
    QString _macVersionString;
    bool _isRunningLeopard = false;
    static inline const QString kDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    QString formatDate(const QDateTime &date) const; // _dateFormatter: local time, kDateFormat

    // fThreadLock: serialises the flag setters and the watcher start. Recursive.
    std::recursive_mutex fThreadLock;
    bool fHaveThreadLock = false;

    HttpController *httpController() const { return fHttpController.get(); }
    const AppOptions &options() const { return fOptions; }

signals:
    // Emitted on the main thread when the application is about to leave its event loop.
    void terminated();

private:
    void registerCycleObservers();
    void notifyFlagWaiters();
    void reportStatusLine(const char *line, const QString &text);
    // One status line on standard output, "[tag] text": a line end inside the text (a file name may
    // hold one) becomes a space, so that every status line starts with '['.
    static void printStatusLine(const QString &tag, const QString &text, LogPriority priority);

    AppOptions fOptions;
    std::shared_ptr<PreferenceStore> fStore;
    NotificationCenter fCenter;
    std::unique_ptr<HttpController> fHttpController;
    std::unique_ptr<ServiceProbe> fServiceProbe;
    // The pictures answered in a row with an address or network problem (one entry per picture).
    std::mutex fMisdirectedLock;
    std::vector<QString> fMisdirectedRun;

    mutable std::mutex fLoginLock; // guards the four values below
    QString fCurUserName = QStringLiteral("testing");
    QString fCurPassword = QStringLiteral("quokkas");
    std::optional<QString> fCurEventName;
    std::optional<QString> fRootFolder;
    std::optional<QString> fUploadFolder;
    mutable std::atomic<bool> fCredentialNoted { false }; // its use (or its failure) is logged once

    std::atomic<bool> fTerminating { false };
    std::atomic<bool> fStopping { false };
    // Workers: every detached body runs on a thread of its own, taken from idle threads that wait a
    // while for more work before they end, so that a pass does not pay for creating threads.
    struct WorkerTask {
        QByteArray name;
        std::function<void()> body;
    };
    void workerThreadMain();
    // The calling worker's task that runs once its present one ends (see detachThread).
    static std::optional<WorkerTask> *&followingTask();
    mutable std::mutex fWorkerLock; // guards everything down to fWorkerNames
    std::condition_variable fWorkerCv; // a task ended, or a thread ended
    std::condition_variable fWorkAvailable; // a task is queued, or the workers must stop
    std::deque<WorkerTask> fWorkerQueue;
    int fLiveWorkers = 0; // tasks queued or running
    int fWorkerThreads = 0;
    int fIdleWorkerThreads = 0;
    std::multiset<QString> fWorkerNames; // of the running tasks, for the log when one will not stop
    // Wakes condition waits (flag waits and sleeps) when a flag changes or the controller stops.
    std::condition_variable_any fFlagCv;
    std::mutex fFlagCvLock;

    QTimer *fStartupTimer = nullptr;
    QPointer<QTimer> fRepeatTimer;
    QString fReportedSecondsBetweenScans; // the out-of-range interval last logged (main thread)

    // The cycle's memory of single pictures (retry delays, pictures done with but not moved).
    std::unique_ptr<ItemBook> fItemBook;
    std::unique_ptr<OutcomeHistory> fHistory; // every picture's outcome, for vesk-ctl history
    // Re-open requests: at most one worker waits at a time; the workers open one after another.
    std::mutex fReopenLock;
    bool fReopenPending = false;
    std::mutex fReopenSerial;
    // A pass for pictures that had to wait (still being written, or in a retry delay). Main thread.
    QTimer *fDeferredTimer = nullptr;
    void scheduleDeferredPass(const QDateTime &when);
    // Folder watcher (inotify), installed once.
    std::shared_ptr<FolderWatcher> fWatcher;
    // What the scan learnt about folders that have not changed since.
    std::shared_ptr<FolderCache> fFolderCache;
    // The folders (source, mirror, problem) and the cache's generation of the last pass that walked
    // every folder and met no picture that was never tried: until either changes, a pass may take
    // the first picture it may retry without looking further. Scan workers, one at a time.
    std::optional<std::pair<QString, quint64>> fOnlyFailedLeft;
    struct ResumePoint {
        QString walked; // the folders of the walk
        quint64 generation = 0; // of the folder cache
        QString item; // the picture never tried that the pass took
    };
    // The picture never tried that the last pass took: while nothing changes but by the program's own
    // moves, the next pass starts after it. Scan workers, one at a time.
    std::optional<ResumePoint> fResumeAfter;
    // The source folder of the last pass, once its walk is done: each new one is counted then.
    QString fCountedRoot;
    // When the move of each unmoved picture was last tried. Scan workers, one at a time.
    std::map<QString, std::chrono::steady_clock::time_point> fUnmovedTried;
    QString fWatcherRunLoop; // what the installed watcher watches, for the log
    // Headless progress summary.
    std::atomic<int> fUploadedCount { 0 };
    std::atomic<int> fParkedCount { 0 };
    std::atomic<int> fFailedCount { 0 }; // pictures
    std::atomic<int> fFailedAttempts { 0 };
    CycleStatus *fStatus = nullptr; // a child, so it outlives the workers
    QPointer<QObject> fMetricsTextfile; // a child, once started
    std::vector<std::shared_ptr<CommandReplyStream>> fEventListeners; // main thread
    // detail follows the item on the line.
    void reportProgress(const char *what, const QString &item, const QString &detail = {});
    void showError(const QString &text);
    // Whether the picture of the outcome changed after its upload started (a copy that stalled
    // mid-file and went on): then it is a transfer failure, to be sent again whole, and is noted so.
    bool retriedAsChanged(const Notification &note, const QString &item, const QString &full);
    // The picture stays in the source folder and waits a growing while, so the pictures behind it go first.
    void retryLater(const Notification &note, const QString &item, const QString &full);
    friend class AppControllerTestAccess;
};

} // namespace vesk
