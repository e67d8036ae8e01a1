#include "cycle/FolderCache.h"

#include <algorithm>
#include <cstring>

#include <sys/inotify.h>
#include <unistd.h>

namespace vesk {

namespace {
// Entries made, removed or renamed; the folder itself moved, removed or its permissions changed; a
// file written or its attributes changed (which a retry of a failed picture must hear of).
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF
    | IN_ATTRIB | IN_CLOSE_WRITE | IN_ONLYDIR;
} // namespace

FolderCache::FolderCache()
    : fInotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{ }

FolderCache::~FolderCache()
{
    if (fInotify >= 0)
        ::close(fInotify);
}

void FolderCache::refresh()
{
    std::lock_guard<std::mutex> guard(fLock);
    takeChanges();
}

quint64 FolderCache::generation()
{
    std::lock_guard<std::mutex> guard(fLock);
    takeChanges();
    return fInotify >= 0 ? fGeneration : 0;
}

void FolderCache::loseQueuedChanges()
{
    std::lock_guard<std::mutex> guard(fLock);
    takeChanges(true);
}

void FolderCache::takeChanges(bool lose)
{
    if (fInotify < 0)
        return;
    alignas(inotify_event) char buffer[64 * 1024];
    bool lost = false;
    for (;;) {
        const ssize_t length = ::read(fInotify, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (const char *p = buffer; p < buffer + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + event->len;
            if (lose || (event->mask & IN_Q_OVERFLOW)) {
                lost = true;
                continue;
            }
            const auto watched = fFolderOfWatch.find(event->wd);
            if (watched == fFolderOfWatch.end())
                continue; // a watch given up already
            const QByteArray folder = watched->second;
            if (event->mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF)) {
                // Gone, or its path now names something else (or nothing).
                dropBeneath(folder);
                continue;
            }
            if (event->len == 0 || event->name[0] == '\0') {
                if (event->mask & IN_ATTRIB)
                    changed(folder); // its own permissions: it may not be readable any more
                continue;
            }
            const QByteArray name(event->name);
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                auto expected = fExpected.find(folder);
                if (expected != fExpected.end()) {
                    auto count = expected->find(name);
                    if (count != expected->end()) {
                        if (--count.value() == 0)
                            expected->erase(count);
                        if (expected->isEmpty())
                            fExpected.erase(expected);
                        continue; // the program's own removal, already applied
                    }
                }
            }
            if (event->mask & (IN_DELETE | IN_MOVED_FROM | IN_CREATE | IN_MOVED_TO)) {
                // A folder that left or arrived under a remembered name is not the one remembered.
                if (event->mask & IN_ISDIR)
                    dropBeneath(folder + '/' + name);
                changed(folder);
            } else {
                ++fGeneration; // a file written, or its attributes changed
            }
        }
    }
    if (lost)
        forgetListings();
}

void FolderCache::changed(const QByteArray &folder)
{
    ++fGeneration;
    auto it = fFolders.find(folder);
    if (it != fFolders.end()) {
        it->changedAt = ++fEpoch;
        it->listing.reset();
        it->pending.clear();
    }
    // A report still to come for the program's own removal now only costs another reading.
    fExpected.remove(folder);
}

void FolderCache::dropBeneath(QByteArray folder)
{
    ++fGeneration;
    const QByteArray below = folder + '/';
    for (auto it = fFolders.begin(); it != fFolders.end();) {
        if (it.key() != folder && !it.key().startsWith(below)) {
            ++it;
            continue;
        }
        if (it->watch >= 0) {
            fFolderOfWatch.erase(it->watch);
            ::inotify_rm_watch(fInotify, it->watch);
        }
        fExpected.remove(it.key());
        it = fFolders.erase(it);
    }
}

void FolderCache::forgetListings()
{
    fForgotAt = ++fEpoch;
    ++fGeneration;
    for (Folder &folder : fFolders) {
        folder.listing.reset();
        folder.pending.clear();
    }
    fExpected.clear();
}

void FolderCache::expectRemoval(const QByteArray &folder, const QByteArray &name)
{
    std::lock_guard<std::mutex> guard(fLock);
    // Only a watched folder's removal is reported; nothing else is worth remembering.
    if (fFolders.contains(folder))
        ++fExpected[folder][name];
}

void FolderCache::removalDone(const QByteArray &folder, const QByteArray &name, bool removed)
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = fFolders.find(folder);
    if (it == fFolders.end())
        return;
    if (!removed) {
        changed(folder);
        return;
    }
    // A reading under way may or may not have seen the entry: it is not kept.
    it->changedAt = ++fEpoch;
    if (!it->listing)
        return;
    if (it->listing.use_count() > 1) {
        // A walk (a count, most likely) still holds this listing and keeps it unchanged: the removal
        // waits for the next look, when the walk is most likely done, rather than costing a copy.
        it->pending.push_back(name);
        return;
    }
    applyPending(*it);
    eraseEntry(*it->listing, name);
}

void FolderCache::eraseEntry(Listing &listing, const QByteArray &name)
{
    const auto entry = std::lower_bound(listing.begin(), listing.end(), name,
        [](const Entry &e, const QByteArray &wanted) { return e.name < wanted; });
    if (entry != listing.end() && entry->name == name)
        listing.erase(entry);
}

void FolderCache::applyPending(Folder &folder)
{
    if (folder.pending.empty() || !folder.listing)
        return;
    if (folder.listing.use_count() > 1)
        folder.listing = std::make_shared<Listing>(*folder.listing); // the walk holding it keeps its own
    for (const QByteArray &name : folder.pending)
        eraseEntry(*folder.listing, name);
    folder.pending.clear();
}

FolderCache::View FolderCache::listing(const QByteArray &folder, bool *mirrored)
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = fFolders.find(folder);
    if (it == fFolders.end())
        return nullptr;
    if (mirrored)
        *mirrored = it->mirrored;
    applyPending(*it);
    return it->listing;
}

void FolderCache::markMirrored(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = fFolders.find(folder);
    if (it != fFolders.end() && it->listing)
        it->mirrored = true;
}

quint64 FolderCache::beginReading(const QByteArray &folder, int fd)
{
    std::lock_guard<std::mutex> guard(fLock);
    takeChanges();
    if (fInotify < 0 || fd < 0)
        return fEpoch;
    // The folder the descriptor holds, whatever its path names by now.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    int watch = ::inotify_add_watch(fInotify, proc, kWatchMask);
    const auto known = watch < 0 ? fFolderOfWatch.end() : fFolderOfWatch.find(watch);
    if (known != fFolderOfWatch.end() && known->second != folder) {
        // The same folder, reached under another path now: what its old path led to is forgotten.
        dropBeneath(known->second);
        watch = ::inotify_add_watch(fInotify, proc, kWatchMask);
    }
    if (watch < 0)
        return fEpoch; // out of watches, say: the folder is read every time
    auto it = fFolders.find(folder);
    if (it != fFolders.end() && it->watch != watch) {
        // Another folder under this path than the one watched.
        dropBeneath(folder);
        it = fFolders.end();
    }
    if (it == fFolders.end()) {
        it = fFolders.insert(folder, Folder { watch, ++fEpoch, 0, nullptr, {}, false });
        fFolderOfWatch[watch] = folder;
    }
    return fEpoch;
}

FolderCache::View FolderCache::store(const QByteArray &folder, quint64 token, Listing entries, bool mirrored)
{
    auto listing = std::make_shared<Listing>(std::move(entries));
    std::lock_guard<std::mutex> guard(fLock);
    if (token < fForgotAt)
        return listing;
    auto it = fFolders.find(folder);
    if (it == fFolders.end() || it->since > token)
        return listing; // not watched, or not yet when the reading began: a change could have gone unseen
    if (it->changedAt > token)
        return listing; // changed while it was being read
    it->listing = listing;
    it->pending.clear();
    it->mirrored = mirrored;
    return listing;
}

int FolderCache::size() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<int>(std::count_if(
        fFolders.cbegin(), fFolders.cend(), [](const Folder &folder) { return folder.listing != nullptr; }));
}

} // namespace vesk
