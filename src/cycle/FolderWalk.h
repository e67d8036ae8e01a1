#pragma once
// The scan's walk over the source folder: depth first, each folder before its contents, entries of
// a folder in name order. It reproduces the folders it meets in the mirror folder and stops at the
// first file the caller takes. It never follows a symbolic link below the folder it walks or the
// mirror folder (links are passed over and reported): every folder, in both, is opened or made from
// its parent's descriptor, so neither a link loop nor a folder swapped for a link while the walk runs
// leads it outside. It never enters the mirror folder nor the other folders it is told to keep out
// of, and it renames entries whose names are not valid UTF-8 (invalid bytes become %XX) so that every
// picture can be named, sent and moved.

#include "cycle/FolderCache.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vesk {

class FolderWalk {
public:
    enum class Verdict { Take, Skip };
    // Asked for every eligible file: not hidden, not directly in the root, a regular file. Gets the
    // path relative to the root.
    using Admit = std::function<Verdict(const QString &relativePath)>;

    // With a cache, folders that have not changed since they were last read are not read again
    // (nor their mirror folders made again: that was done when they were read).
    FolderWalk(QString root, std::optional<QString> mirror, FolderCache *cache = nullptr);

    // The first file admitted, as a path relative to the root; none when the walk ends without one
    // or the root cannot be read.
    std::optional<QString> findFirst(const Admit &admit);

    // The next findFirst starts at this file (a path relative to the root, as findFirst gave it):
    // what lies in front of it in the walk's order is passed over unseen, but for the files lying
    // directly in the root, which are still reported.
    void startAt(const QString &relative);

    // What findFirst would offer, counted, none taken: the regular files in sub-folders, hidden ones
    // and links left out. Nothing is made, renamed or reported on the way. Stops early (incomplete)
    // once stop() answers true; it is asked now and then.
    struct Count {
        qint64 pictures = 0;
        qint64 entries = 0;
        bool complete = true;
    };
    Count countAll(const std::function<bool()> &stop = {});

    // Folders besides the mirror folder that the walk never enters (the problem folder), recognised
    // by device and inode, whatever their paths look like. Before findFirst.
    void keepOut(const QStringList &folders) { fKeptOut = folders; }

    bool rootReadable() const { return fRootReadable; }
    // Whether every folder walked was read and its listing is remembered by the cache: then the
    // cache hears of every later change in them.
    bool allRemembered() const { return fAllRemembered; }
    // Files lying directly in the root, met on the way (they are never uploaded).
    const QStringList &rootItems() const { return fRootItems; }
    // Lines worth an operator's attention: renamed entries, unreadable folders, links passed over,
    // folders kept out. problemKeys() holds, at the same index, what identifies each occasion (the
    // entry's path, change time and mode), so that it can be reported once rather than every pass.
    const QStringList &problems() const { return fProblems; }
    const QStringList &problemKeys() const { return fProblemKeys; }

    // The name with every byte that is not part of valid UTF-8 replaced by %XX (and "%" itself
    // kept), or by another escape before the hexadecimal digits. Exposed for tests.
    static QByteArray repairedName(const QByteArray &name, const char *escape = "%");

private:
    struct Level;
    std::optional<QString> walk(Level &folder, int depth, const Admit &admit);
    // Reads a folder's entries in name order, repairing names that are not valid UTF-8 (while
    // counting, only telling of them: named false). False when it cannot be read.
    bool readFolder(Level &folder, FolderCache::Listing &entries, bool &named);
    // The level's folder, opened for reading from its parent's descriptor when first needed; -1
    // (reported) when it cannot be, a link in its place included.
    int sourceFd(Level &level);
    // The level's mirror folder (O_PATH), opened likewise; -1 when it is not there or not a folder.
    int mirrorFd(Level &level);
    // Makes the level's mirror folder in its parent's, as the reading of the parent does.
    void makeMirror(Level &level);
    // Makes the mirror folders down to the level's, as a read of each would have. False when a link
    // or a file stands in the way of one (reported once per walk): nothing is made through it, and
    // the move of its pictures is refused.
    bool ensureMirror(Level &level);
    // Whether the folder is one of the folders kept out.
    bool isKeptOut(Level &level, quint64 inode);
    // A problem with the entry at path (native), identified by its status: that of name in the
    // folder descriptor when one is given, else of the path itself.
    void addProblem(const QString &line, const QByteArray &path, int folder = -1, const QByteArray &name = {});

    QString fRoot;
    std::optional<QString> fMirror;
    FolderCache *fCache;
    bool fRootReadable = false;
    bool fAllRemembered = false;
    QStringList fRootItems;
    QStringList fProblems;
    QStringList fProblemKeys;
    QStringList fKeptOut;
    std::vector<QByteArray> fResume; // the components of the path to start at
    bool fCounting = false;
    const std::function<bool()> *fStop = nullptr;
    Count fCount;
    std::vector<std::pair<dev_t, ino_t>> fKeptOutIds;
};

} // namespace vesk
