#pragma once
// The cycle's notification bus. Posting is synchronous: every observer of the name runs on the
// posting thread, in registration order, before post() returns; an observer may post again.
// Registration and posting are safe from any thread.

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vesk {

class ButtonOutlet;

// A record passed between stages. Shared and mutable, so that the last consumer can empty it and
// every holder sees that.
using Info = QVariantMap;
using InfoRef = std::shared_ptr<Info>;

inline InfoRef makeInfo(Info values = {})
{
    return std::make_shared<Info>(std::move(values));
}

struct Notification {
    QString name;
    const void *object = nullptr; // the poster: the controller, the HTTP client or none
    InfoRef userInfo; // may be null
    ButtonOutlet *button = nullptr; // the one notification whose user info is a button, not a record
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification &)>;

    // Registers an observer of one name, from any sender. The owner identifies it for removal.
    void addObserver(const void *owner, const QString &name, Handler handler);
    void removeObserver(const void *owner);

    void post(const Notification &notification) const;
    void post(const QString &name, const void *object, InfoRef userInfo = {}) const;

    std::size_t observerCount(const QString &name) const;

private:
    struct Entry {
        const void *owner;
        QString name;
        std::shared_ptr<const Handler> handler;
    };
    mutable std::mutex fLock;
    std::vector<Entry> fEntries;
};

} // namespace vesk
