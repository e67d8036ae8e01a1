#pragma once
// What the scan's walk learnt about folders that have not changed since: their entries. While the
// folder watcher runs it reports every change of a folder's entries, so a folder that is watched and
// has not changed need not be read again; a pass behind thousands of emptied folders then costs
// almost nothing. Any doubt (events lost, the watcher gone, a folder not watched, a change the
// program did not make) means reading. The program's own removals (a picture moved to the mirror or
// the problem folder) are applied to the remembered listing in place, and the watcher's report of
// them is then absorbed, so that draining a folder of thousands of pictures never reads it again.
// Thread-safe: the watcher thread reports, the scan workers ask. A listing handed out is shared and
// never changes; a change replaces it.

#include <QByteArray>
#include <QHash>

#include <memory>
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
    using Listing = std::vector<Entry>; // in name order
    using View = std::shared_ptr<const Listing>;

    // From the watcher. Paths are absolute, as the watcher knows them.
    void setActive(bool active); // inactive: nothing is remembered or answered
    void watchAdded(const QByteArray &folder);
    void watchRemoved(const QByteArray &folder);
    // An entry was made, removed or renamed (removal: the name left the folder).
    void folderChanged(const QByteArray &folder, const QByteArray &name = {}, bool removal = false);
    void forgetAll(); // events were lost
    // A file's content or attributes changed (written, closed, chmod).
    void contentChanged();

    // Changes of every kind the program did not make itself, counted; 0 while inactive. While it
    // stays the same, nothing in the watched folders has changed but by the program's own removals.
    quint64 generation() const;

    // From the program, around its own removal of a file from a folder: the watcher's report of it
    // is absorbed, and once done the entry leaves the remembered listing. A removal that failed
    // leaves a doubt: the folder is read again.
    void expectRemoval(const QByteArray &folder, const QByteArray &name);
    void removalDone(const QByteArray &folder, const QByteArray &name, bool removed);

    // From the walk: the remembered entries of an unchanged, watched folder, or none.
    View listing(const QByteArray &folder) const;
    // Before reading a folder: a token for store().
    quint64 beginReading() const;
    // After reading it: kept only if the folder was watched before the reading began and has not
    // changed since. Returns the entries, kept or not.
    View store(const QByteArray &folder, quint64 token, Listing entries);

    int size() const;

private:
    void drop(const QByteArray &folder);

    mutable std::mutex fLock;
    bool fActive = false;
    quint64 fEpoch = 1;
    quint64 fForgotAt = 0;
    quint64 fGeneration = 1;
    QHash<QByteArray, quint64> fWatchedSince;
    QHash<QByteArray, quint64> fChangedAt;
    QHash<QByteArray, std::shared_ptr<Listing>> fListings;
    QHash<QByteArray, QHash<QByteArray, int>> fExpected; // per folder: removals whose report is to come
};

} // namespace vesk
