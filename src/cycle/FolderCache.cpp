#include "cycle/FolderCache.h"

#include <algorithm>

namespace vesk {

void FolderCache::setActive(bool active)
{
    std::lock_guard<std::mutex> guard(fLock);
    fActive = active;
    ++fGeneration;
    fForgotAt = ++fEpoch;
    fListings.clear();
    fExpected.clear();
    if (!active) {
        fWatchedSince.clear();
        fChangedAt.clear();
    }
}

void FolderCache::drop(const QByteArray &folder)
{
    ++fGeneration;
    fListings.remove(folder);
    // A report still to come for the program's own removal now only costs another reading.
    fExpected.remove(folder);
}

void FolderCache::watchAdded(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    fWatchedSince.insert(folder, ++fEpoch);
    drop(folder);
}

void FolderCache::watchRemoved(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    fWatchedSince.remove(folder);
    drop(folder);
}

void FolderCache::folderChanged(const QByteArray &folder, const QByteArray &name, bool removal)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (removal) {
        auto expected = fExpected.find(folder);
        if (expected != fExpected.end()) {
            auto count = expected->find(name);
            if (count != expected->end()) {
                if (--count.value() == 0)
                    expected->erase(count);
                if (expected->isEmpty())
                    fExpected.erase(expected);
                return; // the program's own removal, already applied
            }
        }
    }
    fChangedAt.insert(folder, ++fEpoch);
    drop(folder);
}

void FolderCache::forgetAll()
{
    std::lock_guard<std::mutex> guard(fLock);
    fForgotAt = ++fEpoch;
    ++fGeneration;
    fListings.clear();
    fExpected.clear();
}

void FolderCache::contentChanged()
{
    std::lock_guard<std::mutex> guard(fLock);
    ++fGeneration;
}

quint64 FolderCache::generation() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fActive ? fGeneration : 0;
}

void FolderCache::expectRemoval(const QByteArray &folder, const QByteArray &name)
{
    std::lock_guard<std::mutex> guard(fLock);
    // Only a watched folder's removal is reported; nothing else is worth remembering.
    if (fActive && fWatchedSince.contains(folder))
        ++fExpected[folder][name];
}

void FolderCache::removalDone(const QByteArray &folder, const QByteArray &name, bool removed)
{
    std::lock_guard<std::mutex> guard(fLock);
    // A reading under way may or may not have seen the entry: it is not kept.
    fChangedAt.insert(folder, ++fEpoch);
    if (!removed) {
        drop(folder);
        return;
    }
    auto it = fListings.find(folder);
    if (it == fListings.end())
        return;
    std::shared_ptr<Listing> &listing = it.value();
    const auto entry = std::lower_bound(listing->begin(), listing->end(), name,
        [](const Entry &e, const QByteArray &wanted) { return e.name < wanted; });
    if (entry == listing->end() || entry->name != name)
        return;
    if (listing.use_count() > 1) {
        // A walk still holds this listing: it keeps it unchanged, the cache gets a changed copy.
        auto copy = std::make_shared<Listing>();
        copy->reserve(listing->size() - 1);
        copy->insert(copy->end(), listing->cbegin(), std::vector<Entry>::const_iterator(entry));
        copy->insert(copy->end(), std::next(std::vector<Entry>::const_iterator(entry)), listing->cend());
        listing = std::move(copy);
    } else {
        listing->erase(entry);
    }
}

FolderCache::View FolderCache::listing(const QByteArray &folder) const
{
    std::lock_guard<std::mutex> guard(fLock);
    if (!fActive)
        return nullptr;
    auto it = fListings.constFind(folder);
    if (it == fListings.cend())
        return nullptr;
    return it.value();
}

quint64 FolderCache::beginReading() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fEpoch;
}

FolderCache::View FolderCache::store(const QByteArray &folder, quint64 token, Listing entries)
{
    auto listing = std::make_shared<Listing>(std::move(entries));
    std::lock_guard<std::mutex> guard(fLock);
    if (!fActive || token < fForgotAt)
        return listing;
    auto watched = fWatchedSince.constFind(folder);
    if (watched == fWatchedSince.cend() || watched.value() > token)
        return listing; // not watched, or not yet when the reading began: a change could have gone unseen
    auto changed = fChangedAt.constFind(folder);
    if (changed != fChangedAt.cend() && changed.value() > token)
        return listing; // changed while it was being read
    fListings.insert(folder, listing);
    return listing;
}

int FolderCache::size() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<int>(fListings.size());
}

} // namespace vesk
