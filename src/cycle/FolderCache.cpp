#include "cycle/FolderCache.h"

namespace vesk {

void FolderCache::setActive(bool active)
{
    std::lock_guard<std::mutex> guard(fLock);
    fActive = active;
    fForgotAt = ++fEpoch;
    fListings.clear();
    if (!active) {
        fWatchedSince.clear();
        fChangedAt.clear();
    }
}

void FolderCache::watchAdded(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    fWatchedSince.insert(folder, ++fEpoch);
    fListings.remove(folder);
}

void FolderCache::watchRemoved(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    fWatchedSince.remove(folder);
    fListings.remove(folder);
}

void FolderCache::folderChanged(const QByteArray &folder)
{
    std::lock_guard<std::mutex> guard(fLock);
    fChangedAt.insert(folder, ++fEpoch);
    fListings.remove(folder);
}

void FolderCache::forgetAll()
{
    std::lock_guard<std::mutex> guard(fLock);
    fForgotAt = ++fEpoch;
    fListings.clear();
}

std::optional<FolderCache::Listing> FolderCache::listing(const QByteArray &folder) const
{
    std::lock_guard<std::mutex> guard(fLock);
    if (!fActive)
        return std::nullopt;
    auto it = fListings.constFind(folder);
    if (it == fListings.cend())
        return std::nullopt;
    return it.value();
}

quint64 FolderCache::beginReading() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return fEpoch;
}

void FolderCache::store(const QByteArray &folder, quint64 token, Listing entries)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (!fActive || token < fForgotAt)
        return;
    auto watched = fWatchedSince.constFind(folder);
    if (watched == fWatchedSince.cend() || watched.value() > token)
        return; // not watched, or not yet when the reading began: a change could have gone unseen
    auto changed = fChangedAt.constFind(folder);
    if (changed != fChangedAt.cend() && changed.value() > token)
        return; // changed while it was being read
    fListings.insert(folder, std::move(entries));
}

int FolderCache::size() const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<int>(fListings.size());
}

} // namespace vesk
