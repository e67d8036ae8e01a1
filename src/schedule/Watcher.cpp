// AppController: installing the folder watcher once, and turning its events into passes.

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "schedule/FolderWatcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <mutex>

namespace vesk {

void AppController::doWatchFolderInThread(const QString &path)
{
    consoleLog(QStringLiteral("Inside THREAD *********** %1 => %2...")
                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        if (gIsInWatchFolderInstaller) {
            consoleLog(QStringLiteral("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n"));
            return;
        }
        setIsInsideWatchFolderThread(true);
    }
    consoleLog(QStringLiteral("Inside %1 => %2  Trying to setup fWatcherRunLoop...")
                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
    if (path.isEmpty()) {
        consoleLog(
            QStringLiteral("Passed NO Info to %1 => %2...").arg(QLatin1String(kClassName), QLatin1String(__func__)));
        return;
    }
    if (!_isRunningLeopard) {
        const char *lines[]
            = { "====================================================", "FSEvents NOT supported on 10.4.x and lower...",
                  "Will NOT Be Able to Watch for Folder in real time...",
                  "====================================================" };
        for (const char *line : lines)
            MessageLog::LogMessage(line, true);
        return;
    }

    FolderWatcher::Callbacks callbacks;
    callbacks.changed = [this] {
        consoleLog(QStringLiteral("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<======="));
        fCenter.post(cNotification_WatcherItemChanged, nullptr);
    };
    callbacks.overflow = [this] {
        fStatus->watcherChanged(CycleStatus::Watcher::Recovering);
        myPrintf("BAD NEWS! We dropped events.\nForcing a full rescan.\n", LogPriority::Warning);
        fCenter.post(cNotification_WatcherItemChanged, nullptr);
    };
    callbacks.problem = [](const QString &text) { myNSLog(text); };
    auto watcher = std::make_shared<FolderWatcher>(path, callbacks);
    if (!watcher->start()) {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        setIsInsideWatchFolderThread(false);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        fWatcher = watcher;
    }
    fStatus->watcherChanged(CycleStatus::Watcher::Watching);
    // The counts of the lines held back go out once a minute even when nothing else is written.
    static std::once_flag flushing;
    std::call_once(flushing, [this] {
        performOnMainThread([] {
            auto *timer = new QTimer(QCoreApplication::instance());
            QObject::connect(timer, &QTimer::timeout, timer, [] { flushRepeatedLines(); });
            timer->start(std::chrono::minutes(1));
        });
    });
    const bool started = detachThread("watcher", [this, watcher, path] {
        fCenter.post(cNotification_WatcherStarted, nullptr,
            makeInfo({ { cDictKeyRunLoop, QStringLiteral("inotify watcher of [%1]").arg(path) } }));
        consoleLog(QStringLiteral("doInstallTheWatcher is running inside NSRunLoop = %1\n").arg(path));
        watcher->run();
        consoleLog(QStringLiteral("Done With CFRunLoopRun inside doInstallTheWatcher..."));
        fStatus->watcherChanged(CycleStatus::Watcher::TimerOnly);
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        if (fWatcher == watcher)
            fWatcher.reset();
        // The watched folder went away: a later empty pass may install a new watcher.
        if (!fStopping)
            setIsInsideWatchFolderThread(false);
    });
    if (!started) {
        fStatus->watcherChanged(CycleStatus::Watcher::TimerOnly);
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        fWatcher.reset();
    }
}

void AppController::stopFolderWatcher()
{
    std::shared_ptr<FolderWatcher> watcher;
    {
        std::lock_guard<std::recursive_mutex> guard(fThreadLock);
        watcher = fWatcher;
    }
    if (watcher)
        watcher->stop();
}

void AppController::handleNotification_WatcherStarted(const Notification &note)
{
    std::lock_guard<std::recursive_mutex> guard(fThreadLock);
    if (note.userInfo && note.userInfo->contains(cDictKeyRunLoop)) {
        fWatcherRunLoop = note.userInfo->value(cDictKeyRunLoop).toString();
        consoleLog(QStringLiteral("SET fWatcherRunLoop to: %1").arg(fWatcherRunLoop));
    } else {
        consoleLog(QStringLiteral("Unable to SET fWatcherRunLoop???"));
    }
}

void AppController::handleNotification_WatcherItemChanged(const Notification &)
{
    requestReopen();
}

} // namespace vesk
