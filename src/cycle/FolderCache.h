#pragma once
// What the scan's walk learnt about folders that have not changed since: their entries. Every folder
// read is watched (inotify, an instance of the cache's own, whether or not the folder watcher runs
// yet), so a folder that has not changed need not be read again; a pass behind thousands of emptied
// folders then costs almost nothing. The changes are taken in when a walk or a count begins, so a
// change made before it began is always seen. Any doubt (events lost, a watch gone, a folder moved or
// replaced, a change the program did not make) means reading. The program's own removals (a picture
// moved to the mirror or the problem folder) are applied to the remembered listing in place, and
// their reports are then absorbed, so that draining a folder of thousands of pictures never reads it
// again. Thread-safe: the scan workers, the move and the counting thread all ask. A listing handed
// out is shared and never changes; a change replaces it.

#include <QByteArray>
#include <QHash>

#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vesk {

class FolderCache {
public:
    struct Entry {
        QByteArray name;
        unsigned char type; // DT_DIR, DT_REG, DT_LNK, ...
        quint64 inode = 0; // as the listing gave it
    };
    // In name order. A deque: the program's own moves take the pictures from its front, one by one.
    using Listing = std::deque<Entry>;
    using View = std::shared_ptr<const Listing>;

    FolderCache(); // without inotify nothing is ever remembered
    ~FolderCache();
    FolderCache(const FolderCache &) = delete;
    FolderCache &operator=(const FolderCache &) = delete;

    // Takes in the changes reported since the last look. Before a walk or a count.
    void refresh();
    // Changes of every kind the program did not make itself, counted (after taking in those
    // reported); 0 when changes cannot be followed. While it stays the same, nothing in the folders
    // remembered has changed but by the program's own removals.
    quint64 generation();

    // From the program, around its own removal of a file from a folder: the report of it is
    // absorbed, and once done the entry leaves the remembered listing. A removal that failed leaves
    // a doubt: the folder is read again.
    void expectRemoval(const QByteArray &folder, const QByteArray &name);
    void removalDone(const QByteArray &folder, const QByteArray &name, bool removed);

    // The remembered entries of an unchanged folder, or none; mirrored tells whether a walk has made
    // the mirror's folders for them since (a count does not).
    View listing(const QByteArray &folder, bool *mirrored = nullptr);
    void markMirrored(const QByteArray &folder);
    // Before reading a folder, open as fd: watches it, and gives a token for store().
    quint64 beginReading(const QByteArray &folder, int fd);
    // After reading it: kept only if it has been watched since before the reading began and has not
    // changed since. Returns the entries, kept or not.
    View store(const QByteArray &folder, quint64 token, Listing entries, bool mirrored = true);

    // As when the kernel's queue of changes overflows: the changes reported so far are lost, and
    // the loss is reported in their place. For tests.
    void loseQueuedChanges();

    int size() const;

private:
    struct Folder {
        int watch = -1;
        quint64 since = 0; // watched since
        quint64 changedAt = 0;
        std::shared_ptr<Listing> listing;
        // The program's removals made while a walk held the listing, applied at the next look.
        std::vector<QByteArray> pending;
        bool mirrored = false;
    };
    static void eraseEntry(Listing &listing, const QByteArray &name);
    void applyPending(Folder &folder);
    void takeChanges(bool lose = false);
    void changed(const QByteArray &folder);
    // The folder and every one below it: forgotten, unwatched. By value: the name may be one of the
    // entries it erases.
    void dropBeneath(QByteArray folder);
    void forgetListings();

    mutable std::mutex fLock;
    int fInotify = -1;
    quint64 fEpoch = 1;
    quint64 fForgotAt = 0;
    quint64 fGeneration = 1;
    QHash<QByteArray, Folder> fFolders;
    std::unordered_map<int, QByteArray> fFolderOfWatch;
    QHash<QByteArray, QHash<QByteArray, int>> fExpected; // per folder: removals whose report is to come
};

} // namespace vesk
