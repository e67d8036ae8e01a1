#pragma once
// What the scan's walk learnt about folders that have not changed since: their entries. While the
// folder watcher runs it reports every change of a folder's entries, so a folder that is watched and
// has not changed need not be read again; a pass behind thousands of emptied folders then costs
// almost nothing. Any doubt (events lost, the watcher gone, a folder not watched) means reading.
// Thread-safe: the watcher thread reports, the scan workers ask.

#include <QByteArray>
#include <QHash>

#include <mutex>
#include <optional>
#include <vector>

namespace vesk {

class FolderCache {
public:
    struct Entry {
        QByteArray name;
        unsigned char type; // DT_DIR, DT_REG, DT_LNK, ...
        quint64 inode = 0; // as the listing gave it
    };
    using Listing = std::vector<Entry>;

    // From the watcher. Paths are absolute, as the watcher knows them.
    void setActive(bool active); // inactive: nothing is remembered or answered
    void watchAdded(const QByteArray &folder);
    void watchRemoved(const QByteArray &folder);
    void folderChanged(const QByteArray &folder);
    void forgetAll(); // events were lost

    // From the walk: the remembered entries of an unchanged, watched folder.
    std::optional<Listing> listing(const QByteArray &folder) const;
    // Before reading a folder: a token for store().
    quint64 beginReading() const;
    // After reading it: kept only if the folder was watched before the reading began and has not
    // changed since.
    void store(const QByteArray &folder, quint64 token, Listing entries);

    int size() const;

private:
    mutable std::mutex fLock;
    bool fActive = false;
    quint64 fEpoch = 1;
    quint64 fForgotAt = 0;
    QHash<QByteArray, quint64> fWatchedSince;
    QHash<QByteArray, quint64> fChangedAt;
    QHash<QByteArray, Listing> fListings;
};

} // namespace vesk
