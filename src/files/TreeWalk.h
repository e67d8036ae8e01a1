#pragma once
// The deep walk of a folder tree that the purge and the empty-folder removal share.

#include <QString>

#include <functional>

namespace vesk {

// Visits every entry below root at every depth, hidden ones included, as a path relative to root:
// depth first, each folder before its contents, names in sorted order within a folder. A folder's
// contents are listed right after the folder has been visited, so the visitor may remove it. Links to
// folders are visited but never entered, so link loops cannot trap the walk. A folder that cannot be
// listed goes to unreadable (relative path, empty for the root, and errno) unless it is gone; the walk
// goes on. visit answers false to end the walk. Blocks the calling thread for the whole walk.
void walkTree(const QString &root, const std::function<bool(const QString &relativePath)> &visit,
    const std::function<void(const QString &relativePath, int error)> &unreadable);

} // namespace vesk
