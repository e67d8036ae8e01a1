#pragma once
// The deep walk of a folder tree that the purge and the empty-folder removal share.

#include <QByteArray>
#include <QString>

#include <functional>

namespace vesk {

// One entry met by the walk: its path relative to the root, and the folder that holds it, reached
// from the root without following any symbolic link (an O_PATH descriptor, valid during the visit),
// with the entry's own name in it. Removals made through folderFd cannot land outside the tree,
// whatever is swapped for a link meanwhile.
struct TreeEntry {
    const QString &relative;
    int folderFd;
    const QByteArray &name;
};

// Visits every entry below root at every depth, hidden ones included: depth first, each folder
// before its contents, names in sorted order within a folder. A folder's contents are listed right
// after the folder has been visited, so the visitor may remove it. Links to folders are visited but
// never entered, so link loops cannot trap the walk, and a folder swapped for a link is not entered
// either. A folder that cannot be listed goes to unreadable (relative path, empty for the root, and
// errno) unless it is gone; the walk goes on. visit answers false to end the walk. Blocks the
// calling thread for the whole walk.
void walkTreeAt(const QString &root, const std::function<bool(const TreeEntry &entry)> &visit,
    const std::function<void(const QString &relativePath, int error)> &unreadable);

// The same, for visitors that need only the relative path.
void walkTree(const QString &root, const std::function<bool(const QString &relativePath)> &visit,
    const std::function<void(const QString &relativePath, int error)> &unreadable);

} // namespace vesk
