#include "cycle/NotificationCenter.h"

#include <algorithm>

namespace vesk {

void NotificationCenter::addObserver(const void *owner, const QString &name, Handler handler)
{
    std::lock_guard<std::mutex> guard(fLock);
    fEntries.push_back(Entry { owner, name, std::make_shared<const Handler>(std::move(handler)) });
}

void NotificationCenter::removeObserver(const void *owner)
{
    std::lock_guard<std::mutex> guard(fLock);
    fEntries.erase(
        std::remove_if(fEntries.begin(), fEntries.end(), [owner](const Entry &e) { return e.owner == owner; }),
        fEntries.end());
}

void NotificationCenter::post(const Notification &notification) const
{
    // Take the matching handlers first and call them without the lock, so that a handler may post
    // or register in turn.
    std::vector<std::shared_ptr<const Handler>> handlers;
    {
        std::lock_guard<std::mutex> guard(fLock);
        for (const Entry &entry : fEntries) {
            if (entry.name == notification.name)
                handlers.push_back(entry.handler);
        }
    }
    for (const auto &handler : handlers)
        (*handler)(notification);
}

void NotificationCenter::post(const QString &name, const void *object, InfoRef userInfo) const
{
    post(Notification { name, object, std::move(userInfo), nullptr });
}

std::size_t NotificationCenter::observerCount(const QString &name) const
{
    std::lock_guard<std::mutex> guard(fLock);
    return static_cast<std::size_t>(
        std::count_if(fEntries.begin(), fEntries.end(), [&](const Entry &e) { return e.name == name; }));
}

} // namespace vesk
