// AppController: construction, start-up and shutdown, and the thread helpers every subsystem uses.

#include "app/AppController.h"

#include "app/Paths.h"
#include "app/SignalHandler.h"
#include "app/TimedWait.h"
#include "cycle/FolderCache.h"
#include "cycle/ItemBook.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "diag/OutcomeHistory.h"
#include "diag/ShellRunner.h"
#include "http/HttpController.h"
#include "http/ServiceProbe.h"
#include "schedule/FolderWatcher.h"
#include "scripting/CommandServer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QThread>
#include <QUrl>

#include <chrono>
#include <pthread.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace vesk {

namespace {
constexpr const char *kSupportAddress = "support@vesk-photos.example";
constexpr const char *kCopyrightLine = "Copyright \u00A9 2026 Vesk Photos. All rights reserved.";

bool inotifyWorks()
{
    const int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

QString findUname()
{
    for (const char *candidate : { "/usr/bin/uname", "/bin/uname" }) {
        if (::access(candidate, X_OK) == 0)
            return QString::fromLatin1(candidate);
    }
    return QStringLiteral("/usr/bin/uname");
}
} // namespace

AppController::AppController(AppOptions options, QObject *parent)
    : QObject(parent)
    , fOptions(std::move(options))
    , fStore(fOptions.store)
{
    Q_ASSERT(fStore);
    fHeadless = fOptions.headless;
    fItemBook = std::make_unique<ItemBook>(paths::stateFolder() + QStringLiteral("/unmoved-pictures.json"));
    fHistory = std::make_unique<OutcomeHistory>(OutcomeHistory::defaultPath());
    fFolderCache = std::make_shared<FolderCache>();
    fStatus = new CycleStatus(this);
    fStatus->setFolderCache(fFolderCache);
}

AppController::~AppController()
{
    // Never free what a worker may still use: wait for them all, however long it takes.
    while (!stopWorkers(5000))
        consoleLog(
            QStringLiteral("Still waiting for worker threads before the controller can go: %1").arg(liveWorkerNames()));
    fCenter.removeObserver(this);
}

void AppController::initialize(PreferenceStore &store, const QString &factoryDefaultsResource)
{
    setupFactoryDefaults(store, factoryDefaultsResource);
    mergeAdministratorDefaults(store);
}

QString AppController::formatDate(const QDateTime &date) const
{
    return date.toLocalTime().toString(kDateFormat);
}

void AppController::awakeFromNib()
{
    traceInside(kClassName, __func__);
    fGotAEQuitApplication = false;
    registerCycleObservers();

    // The platform version: the kernel release through the program runner. Linux has no minimum
    // beyond what the build needs; the real-time watcher needs only inotify.
    _macVersionString.clear();
    const std::optional<QString> version = runShellScript2(findUname(), QStringList { QStringLiteral("-r") });
    if (!version || version->isEmpty()) {
        consoleLog(QStringLiteral("runShellScript2 failed to get Mac OS version???"));
    } else {
        consoleLog(QStringLiteral("Got from runShellScript2: [%1]").arg(*version));
        _macVersionString = QStringLiteral("v") + *version;
        _isRunningLeopard = inotifyWorks();
    }
    if (ibMacOSVersion) {
        ibMacOSVersion->setHidden(false);
        ibMacOSVersion->setText(QStringLiteral("Linux: %1").arg(_macVersionString.trimmed()));
    }

    migrateOldFtpPrefs();
}

void AppController::applicationWillFinishLaunching()
{
    MessageLog::InitLog();
    MessageLog::LogMessage("applicationWillFinishLaunching", true);
    tightenPreferencesFile();

    {
        std::lock_guard<std::mutex> guard(fLoginLock);
        fCurPassword = QStringLiteral("quokkas");
        fCurUserName = QStringLiteral("testing");
        fRootFolder.reset();
    }

    if (ibVersion)
        fillInVersionString(ibVersion);
    if (ibCopyright) {
        const QString copyright = QString::fromUtf8(kCopyrightLine);
        ibCopyright->setText(copyright);
        consoleLog(copyright);
        MessageLog::LogMessage(QStringLiteral("Copyright Info is [%1]").arg(copyright));
    }

    if (ibLoginPanel) {
        if (auto *lock = dynamic_cast<ButtonOutlet *>(ibLoginPanel->viewWithTag(98)))
            ibClickedOnLockIcon(lock);
        ibLoginPanel->setDisplayAsSheet(false);
        if (getPrefShowWindowAtStartup()) {
            ibLoginPanel->orderFront();
        } else {
            if (fUi)
                fUi->hideApplication();
            ibLoginPanel->makeKeyWindow();
        }
    }

    if (ibMainWindowLocalSourcePath)
        ibMainWindowLocalSourcePath->setToolTip(getLocalSourceUploadFolder().value_or(QString()));
    if (ibMainWindowLocalMirrorSitePath)
        ibMainWindowLocalMirrorSitePath->setToolTip(getLocalMasterMirrorSiteFolder().value_or(QString()));

    fUploadFolder.reset();
    if (ibLoginPanel)
        fillInVersionString(ibLoginPanel->viewWithTag(99));

    setupForAppleEventsForThisApp();

    if (const QString refusal = refusedFoldersReason(std::nullopt); refusal.isEmpty()) {
        const std::optional<QString> source = getLocalSourceUploadFolder();
        deleteOLDFolderIfEmpty(source, false, 3);
        deleteOLDFolderIfEmpty(source, false, 3);
    } else {
        myNSLog(QStringLiteral("No empty folders are removed at start-up. ") + refusal);
    }

    detachThread("purge", [this] { doSetupDeleteOldPhotosThread(); });

    createHttpController();
    startMetricsTextfile();
    // fThreadLock exists from construction on; a std::recursive_mutex cannot fail to be made.
}

void AppController::applicationDidFinishLaunching()
{
    MessageLog::LogMessage("applicationDidFinishLaunching", true);
    // Said at once, so that a first start in a terminal tells what to set and how.
    for (const QString &line : missingSettings()) {
        myNSLog(line, LogPriority::Warning);
        reportStatusLine("setup", line);
    }
    if (getAutoStartUploadAtStartup()) {
        consoleLog(QStringLiteral("Will autoResynchronizeAtStartup is TRUE..."));
        const double seconds = getPrefShowWindowAtStartup() ? 30.0 : 10.0;
        fStartupTimer = new QTimer(this);
        fStartupTimer->setSingleShot(true);
        connect(fStartupTimer, &QTimer::timeout, this, [this] { ibUserClickedOnSynchronize(); });
        fStartupTimer->start(static_cast<int>(seconds * 1000.0 * fOptions.timeScale));
    } else {
        consoleLog(QStringLiteral("Will autoResynchronizeAtStartup is FALSE..."));
    }
}

AppController::TerminateReply AppController::applicationShouldTerminate()
{
    myPrintfDebug("applicationShouldTerminate\n");
    MessageLog::LogMessage("applicationShouldTerminate\n", true);
    consoleLog(QStringLiteral("fDidReceiveCFStreamEventOpenCompleted is false - OK to terminate???"));
    consoleLog(QStringLiteral("%1 => TerminateResponse is [%2]")
                   .arg(QLatin1String(__func__), QStringLiteral("NSTerminateNow")));
    return TerminateReply::TerminateNow;
}

void AppController::applicationWillTerminate()
{
    traceInside(kClassName, __func__);
    myPrintfDebug("applicationWillTerminate\n");
    if (gStartedUploadProcess) {
        consoleLog(QStringLiteral("Telling Thread to Stop - as soon as possible"));
        setWantsToHaltProcess(true);
    }
    if (getPrefDeleteEmptyFtpFolders()) {
        consoleLog(QStringLiteral("\n\n SHOULD BE DELETING Empty Folders Here...\n\n"));
        ibDeleteLocalFtpFolderIfEmpty();
        consoleLog(QStringLiteral("\n\n SHOULD BE DONE DELETING Empty Folders By Now...\n\n"));
    }
    // The halt is not waited for: a transfer still running is cut off and its picture stays in the
    // source folder for the next run. The workers' last lines still reach the log before it closes.
    stopWorkers(kQuitWorkerWaitMs);
    flushRepeatedLines(true); // the counts of the lines held back, before the last line
    MessageLog::LogMessage("applicationWillTerminate - DONE!", true);
    consoleLog(QStringLiteral("%1 - DONE!").arg(QLatin1String(__func__)));
    MessageLog::CloseLog();
}

void AppController::terminate(int exitStatus)
{
    if (fTerminating.exchange(true))
        return;
    if (applicationShouldTerminate() != TerminateReply::TerminateNow) {
        fTerminating = false;
        return;
    }
    // A margin of a second for the exit itself.
    armQuitWatchdog(std::chrono::milliseconds(kQuitBoundMs - 1000), exitStatus,
        [server = findChild<CommandServer *>(QString(), Qt::FindDirectChildrenOnly)] {
            if (server)
                server->removeSocketFile();
            MessageLog::LogMessage(QStringLiteral("The quit did not end within %1 s: the process ends now")
                                       .arg((kQuitBoundMs - 1000) / 1000),
                true);
            MessageLog::CloseLog();
        });
    applicationWillTerminate();
    emit terminated();
    QCoreApplication::exit(exitStatus);
}

void AppController::ibClickedOnQuit(ViewOutlet *)
{
    MessageLog::LogMessage("ibClickedOnQuit\n", true);
    if (ibLoginPanel && ibLoginPanel->displayAsSheet())
        ibLoginPanel->endSheet(1);
    terminate();
}

void AppController::sendMailCocoa()
{
    const QUrl url(QStringLiteral("mailto:%1?subject=System%20Has%20A%20Problem!!&body=NEED%20Tech%20Support!!!!")
                       .arg(QLatin1String(kSupportAddress)));
    QDesktopServices::openUrl(url);
}

bool AppController::fillInVersionString(ViewOutlet *element)
{
    if (!element)
        return false;
    const QString version = QStringLiteral(VESK_VERSION);
    const QString text = (element->tag() == 888 ? QStringLiteral("App Vers: ") : QStringLiteral("Version: ")) + version;
    if (auto *field = dynamic_cast<TextFieldOutlet *>(element))
        field->setText(text);
    consoleLog(text);
    MessageLog::LogMessage(QStringLiteral("%1 Version is [%2]").arg(QStringLiteral(VESK_DISPLAY_NAME), version));
    return true;
}

// ---- Threads -----------------------------------------------------------------------------------

void AppController::performOnMainThread(std::function<void()> work, bool wait)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    if (!wait) {
        QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
        return;
    }
    // Waits on our own condition rather than a blocking queued call, so that shutting down can
    // release the waiter: the main thread may itself be waiting for this worker to end.
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(
        this,
        [this, done, work = std::move(work)] {
            work();
            std::lock_guard<std::mutex> guard(fFlagCvLock);
            done->store(true);
            fFlagCv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(fFlagCvLock);
    fFlagCv.wait(guard, [this, &done] { return done->load() || fStopping.load(); });
}

namespace {
// Which controller's worker the calling thread is, and the name of the task it runs.
thread_local const AppController *tWorkerOf = nullptr;
thread_local const char *tWorkerTask = nullptr;
} // namespace

std::optional<AppController::WorkerTask> *&AppController::followingTask()
{
    thread_local std::optional<WorkerTask> *slot = nullptr;
    return slot;
}

bool AppController::detachThread(const char *name, std::function<void()> body, const char *afterTask)
{
    std::lock_guard<std::mutex> guard(fWorkerLock);
    if (fStopping.load())
        return false;
    ++fLiveWorkers;
    fWorkerNames.insert(QLatin1String(name));
    WorkerTask task { QByteArray(name).left(15), std::move(body) };
    std::optional<WorkerTask> *following = followingTask();
    if (afterTask && tWorkerOf == this && following && !following->has_value() && tWorkerTask
        && qstrcmp(tWorkerTask, afterTask) == 0) {
        following->emplace(std::move(task));
        return true;
    }
    fWorkerQueue.push_back(std::move(task));
    // Each task gets a thread of its own: an idle one when there is one, else a new one.
    if (fIdleWorkerThreads >= static_cast<int>(fWorkerQueue.size())) {
        fWorkAvailable.notify_one();
    } else {
        ++fWorkerThreads;
        std::thread(&AppController::workerThreadMain, this).detach();
    }
    return true;
}

void AppController::workerThreadMain()
{
    // An idle thread ends after this long without work.
    constexpr auto kIdleLifetime = std::chrono::seconds(30);
    std::optional<WorkerTask> following;
    tWorkerOf = this;
    followingTask() = &following;
    std::unique_lock<std::mutex> guard(fWorkerLock);
    for (;;) {
        WorkerTask task;
        if (following) {
            task = std::move(*following);
            following.reset();
        } else {
            ++fIdleWorkerThreads;
            const bool haveWork = timedWait(
                fWorkAvailable, guard, kIdleLifetime, [this] { return !fWorkerQueue.empty() || fStopping.load(); });
            --fIdleWorkerThreads;
            if (!haveWork || fWorkerQueue.empty())
                break;
            task = std::move(fWorkerQueue.front());
            fWorkerQueue.pop_front();
        }
        guard.unlock();
        pthread_setname_np(pthread_self(), task.name.constData());
        tWorkerTask = task.name.constData();
        task.body();
        tWorkerTask = nullptr;
        task.body = nullptr; // release what the body captured while the controller still exists
        guard.lock();
        --fLiveWorkers;
        if (auto it = fWorkerNames.find(QLatin1String(task.name.constData())); it != fWorkerNames.end())
            fWorkerNames.erase(it);
        fWorkerCv.notify_all();
    }
    followingTask() = nullptr;
    tWorkerOf = nullptr;
    --fWorkerThreads;
    fWorkerCv.notify_all();
}

QString AppController::liveWorkerNames() const
{
    std::lock_guard<std::mutex> guard(fWorkerLock);
    QStringList names;
    for (const QString &name : fWorkerNames)
        names << name;
    return names.join(QStringLiteral(", "));
}

int AppController::liveWorkerCount() const
{
    std::lock_guard<std::mutex> guard(fWorkerLock);
    return fLiveWorkers;
}

bool AppController::sleepFor(double seconds)
{
    const auto duration = std::chrono::duration<double>(seconds * fOptions.timeScale);
    std::unique_lock<std::mutex> guard(fFlagCvLock);
    timedWait(fFlagCv, guard, duration, [this] { return fStopping.load(); });
    return !fStopping.load();
}

void AppController::notifyFlagWaiters()
{
    std::lock_guard<std::mutex> guard(fFlagCvLock);
    fFlagCv.notify_all();
}

bool AppController::stopWorkers(int timeoutMs)
{
    {
        std::lock_guard<std::mutex> guard(fWorkerLock);
        fStopping = true;
        fWorkAvailable.notify_all();
    }
    notifyFlagWaiters();
    cancelTransfers();
    stopFolderWatcher();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool onMainThread = QThread::currentThread() == thread();
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(fWorkerLock);
            if (fLiveWorkers == 0 && fWorkerThreads == 0)
                return true;
            if (std::chrono::steady_clock::now() >= deadline) {
                consoleLog(QStringLiteral("%1 worker thread(s) did not stop in time: %2")
                               .arg(fLiveWorkers)
                               .arg(QStringList(fWorkerNames.begin(), fWorkerNames.end()).join(QStringLiteral(", "))));
                return false;
            }
            timedWait(fWorkerCv, guard, std::chrono::milliseconds(onMainThread ? 10 : 100),
                [this] { return fLiveWorkers == 0; });
        }
        // Workers may be waiting for the main thread to run something for them.
        if (onMainThread && QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

} // namespace vesk
