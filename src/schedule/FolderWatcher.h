#pragma once
// FolderWatcher: watches a folder tree with inotify and reports every change below it. Folders
// created later are watched as they appear. run() blocks on its own thread until stop() is called
// (from any thread) or the watched folder disappears.

#include "schedule/ChangePacer.h"

#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

namespace vesk {

class FolderWatcher {
public:
    struct Callbacks {
        std::function<void()> changed; // a pass is due: changes gathered and paced (see ChangePacer)
        std::function<void()> overflow; // events were lost: a full pass is needed
        std::function<void(const QString &)> problem; // something an operator should know
    };

    FolderWatcher(QString root, Callbacks callbacks, ChangePacer::Timing pacing = {});
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher &) = delete;
    FolderWatcher &operator=(const FolderWatcher &) = delete;

    // Sets up the watches. False when inotify cannot be used or the folder cannot be watched.
    bool start();
    // Reads events until stop() or the root folder goes away.
    void run();
    void stop();

    int watchCount() const;
    // Pretends the system allows only this many watches (tests of the limit).
    void setWatchLimit(int limit) { fWatchLimit = limit; }
    const QString &root() const { return fRoot; }

private:
    void addTree(const QByteArray &path);
    bool addWatch(const QByteArray &path);
    bool isWatched(const QByteArray &path) const;
    void handleEvents(const char *buffer, ssize_t length, ChangePacer::Time now);

    QString fRoot;
    Callbacks fCallbacks;
    ChangePacer fPacer; // the watcher thread's
    int fInotify = -1;
    int fWake = -1;
    int fRootWatch = -1;
    std::atomic<bool> fStopping { false };
    std::map<int, QByteArray> fWatches;
    mutable std::mutex fLock;
    int fWatchLimit = -1;
    bool fLimitReported = false;
};

} // namespace vesk
