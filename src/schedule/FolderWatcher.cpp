#include "schedule/FolderWatcher.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {
// IN_ATTRIB: a chmod or touch (a permission fixed, say) may make a picture or a folder sendable.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr int kMaxDepth = 128;
} // namespace

FolderWatcher::FolderWatcher(QString root, Callbacks callbacks, ChangePacer::Timing pacing)
    : fRoot(std::move(root))
    , fCallbacks(std::move(callbacks))
    , fPacer(pacing)
{ }

FolderWatcher::~FolderWatcher()
{
    if (fInotify >= 0)
        ::close(fInotify);
    if (fWake >= 0)
        ::close(fWake);
}

bool FolderWatcher::isWatched(const QByteArray &path) const
{
    std::lock_guard<std::mutex> guard(fLock);
    return std::any_of(fWatches.begin(), fWatches.end(), [&](const auto &watch) { return watch.second == path; });
}

int FolderWatcher::watchCount() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<int>(fWatches.size());
}

bool FolderWatcher::start()
{
    fInotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    fWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fInotify < 0 || fWake < 0) {
        if (fCallbacks.problem)
            fCallbacks.problem(
                QStringLiteral("The folder watcher cannot start (%1); new pictures are found by the rescan timer only")
                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const QByteArray root = QFile::encodeName(fRoot);
    if (!addWatch(root))
        return false;
    {
        std::lock_guard<std::mutex> guard(fLock);
        fRootWatch = fWatches.empty() ? -1 : fWatches.begin()->first;
    }
    addTree(root);
    return true;
}

bool FolderWatcher::addWatch(const QByteArray &path)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        if (fWatchLimit >= 0 && static_cast<int>(fWatches.size()) >= fWatchLimit) {
            errno = ENOSPC;
            goto failed;
        }
    }
    {
        const int wd = ::inotify_add_watch(fInotify, path.constData(), kFolderEvents);
        if (wd >= 0) {
            {
                std::lock_guard<std::mutex> guard(fLock);
                fWatches[wd] = path;
            }
            return true;
        }
    }
failed:
    if (errno == ENOSPC) {
        // Reported once: from here on the rescan timer finds what the watcher cannot see.
        if (!fLimitReported && fCallbacks.problem)
            fCallbacks.problem(
                QStringLiteral("The folder watcher has reached the system's limit of watched folders "
                               "(fs.inotify.max_user_watches); pictures in folders it cannot watch are found by the "
                               "rescan timer"));
        fLimitReported = true;
    } else if (errno != ENOENT && errno != ENOTDIR && fCallbacks.problem) {
        fCallbacks.problem(QStringLiteral("Cannot watch folder [%1]: %2")
                               .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno))));
    }
    return false;
}

void FolderWatcher::addTree(const QByteArray &path)
{
    // Iterative, so deep trees cost no stack; links to folders are not followed.
    std::vector<std::pair<QByteArray, int>> pending { { path, 0 } };
    while (!pending.empty()) {
        auto [folder, depth] = pending.back();
        pending.pop_back();
        DIR *dir = ::opendir(folder.constData());
        if (!dir)
            continue;
        while (dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            bool isFolder = entry->d_type == DT_DIR;
            const QByteArray child = folder + '/' + name;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info { };
                isFolder = ::lstat(child.constData(), &info) == 0 && S_ISDIR(info.st_mode);
            }
            if (isFolder && depth < kMaxDepth && addWatch(child))
                pending.emplace_back(child, depth + 1);
        }
        ::closedir(dir);
    }
}

void FolderWatcher::stop()
{
    fStopping = true;
    if (fWake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fWake, &one, sizeof one);
    }
}

void FolderWatcher::run()
{
    alignas(inotify_event) char buffer[64 * 1024];
    while (!fStopping) {
        int timeout = -1;
        const ChangePacer::Time now = ChangePacer::Clock::now();
        if (const std::optional<ChangePacer::Time> due = fPacer.wakeAt(now)) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
            timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 60000));
        }
        pollfd fds[2] = { { fInotify, POLLIN, 0 }, { fWake, POLLIN, 0 } };
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        for (;;) {
            const ssize_t length = ::read(fInotify, buffer, sizeof buffer);
            if (length <= 0)
                break;
            handleEvents(buffer, length, ChangePacer::Clock::now());
        }
        if (fPacer.take(ChangePacer::Clock::now()) && fCallbacks.changed)
            fCallbacks.changed();
        std::lock_guard<std::mutex> guard(fLock);
        if (fWatches.find(fRootWatch) == fWatches.end())
            break; // the watched folder itself is gone
    }
}

void FolderWatcher::handleEvents(const char *buffer, ssize_t length, ChangePacer::Time now)
{
    for (const char *p = buffer; p < buffer + length;) {
        const auto *event = reinterpret_cast<const inotify_event *>(p);
        p += sizeof(inotify_event) + event->len;

        if (event->mask & IN_Q_OVERFLOW) {
            if (fCallbacks.overflow)
                fCallbacks.overflow();
            continue;
        }
        QByteArray folder;
        {
            std::lock_guard<std::mutex> guard(fLock);
            auto it = fWatches.find(event->wd);
            if (it != fWatches.end())
                folder = it->second;
            if (event->mask & IN_IGNORED)
                fWatches.erase(event->wd);
        }
        if ((event->mask & IN_IGNORED) || folder.isEmpty())
            continue;
        if (event->wd == fRootWatch && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
            if (fCallbacks.problem)
                fCallbacks.problem(
                    QStringLiteral("The watched folder [%1] was removed or moved away; it is no longer watched")
                        .arg(fRoot));
            ::inotify_rm_watch(fInotify, event->wd);
            continue;
        }
        if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB)) && event->len > 0) {
            // A new folder, or one whose permissions may now let it be watched: watch it and
            // everything already inside it (files may land before the watch does; the pass this
            // event asks for finds them).
            const QByteArray child = folder + '/' + QByteArray(event->name);
            if (!((event->mask & IN_ATTRIB) && isWatched(child)) && addWatch(child))
                addTree(child);
        }
        // What a pass may find: an entry that arrived or was written. Removals alone find nothing new
        // but are still reported, at a slower pace; deletions by the dozen tell of churn.
        const QByteArray entry = event->len > 0 ? folder + '/' + QByteArray(event->name) : folder;
        if (event->mask & (IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB))
            fPacer.added(entry, now);
        else
            fPacer.removed(entry, now, (event->mask & IN_DELETE) != 0);
    }
}

} // namespace vesk
