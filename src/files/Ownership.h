#pragma once
// Whether a folder may receive pictures: it must belong to the user running the program and be
// writable by nobody else (group write only for the user's own private group; an access list that
// lets anyone else write counts as writable), or another user could take, swap or read what lands
// there. Judged on an open descriptor, never on a path. File systems without Unix ownership (FAT,
// exFAT, FUSE block devices, SMB shares) are not judged. Any thread.

#include <QString>

namespace vesk::ownership {

struct Verdict {
    QString folder; // the folder refused, as a path for messages
    QString why; // empty when every folder may receive pictures
    QString unowned; // set when the folders lie on a file system without Unix ownership: its name
};

// The folder open as fd (an O_PATH descriptor will do).
Verdict judgeFolder(int fd, const QString &path);

// root itself, then every folder from root down to root/relative, each reached from its parent
// without following a link. A level that is missing or cannot be reached ends the check: whatever
// uses it fails on its own.
Verdict judgeBeneath(const QString &root, const QString &relative);

} // namespace vesk::ownership
