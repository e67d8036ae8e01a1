#pragma once
// A picture of the source folder held open from the moment the scan chose it until it has been moved:
// reached one folder at a time from the scanned folder without following any symbolic link below it,
// its device and inode noted. Every later read (the writer check, the metadata, the request body,
// the preview) uses this descriptor and the move starts from its folder's descriptor, so a folder
// swapped for a link after the scan cannot make the program read, send or move a file from outside.
// Immutable once opened; shared by the records of one upload, closed with the last of them. Any
// thread.

#include "files/FileOps.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <memory>
#include <optional>
#include <sys/stat.h>

namespace vesk {

class OpenedPicture {
public:
    // Why a picture could not be opened.
    enum class Failure {
        None,
        Gone, // nothing is at its path any more
        Link, // it, or a folder on its way, is a symbolic link: never followed
        Unreachable, // a folder on its way cannot be searched, or the like
        NotAFile, // a pipe, a device, a folder
        Busy, // a writer holds a lease on it
    };
    struct Opening {
        std::shared_ptr<const OpenedPicture> picture;
        Failure failure = Failure::None;
        int error = 0;
        // The entry that stopped the opening, relative to the scanned folder, and its own status
        // when it could be read (for reporting each obstacle once per path, change time and mode).
        QString obstacle;
        std::optional<struct stat> obstacleStatus;
    };

    // Opens root/relative for reading. A regular file that this user may not read, but whose folder
    // can be reached, is still a picture (fd() -1, readError()): it cannot be sent, and goes to the
    // problem folder like any unreadable picture.
    static Opening open(const QString &root, const QString &relative);

    ~OpenedPicture();
    OpenedPicture(const OpenedPicture &) = delete;
    OpenedPicture &operator=(const OpenedPicture &) = delete;

    // The picture open for reading, or -1 (readError() says why). Read it with pread: its offset is
    // shared by every reader.
    int fd() const { return fFd; }
    int readError() const { return fReadError; }
    // A path that opens this very file again ("/proc/self/fd/N"), for readers that want a path;
    // empty when it could not be opened.
    QString readPath() const;
    // The folder that holds it (an O_PATH descriptor) and its name there.
    int folderFd() const { return fFolder.get(); }
    const QByteArray &name() const { return fName; }
    // Its status when it was opened.
    const struct stat &status() const { return fStatus; }
    // Whether its name in its folder still is this file (not removed, replaced or renamed away).
    bool isStillNamed() const;
    // Whether its name still is this file, with the size and change time it had when opened.
    bool isUnchanged() const;
    QString describe() const;

private:
    OpenedPicture() = default;
    fileops::Descriptor fFolder;
    QByteArray fName;
    int fFd = -1;
    int fReadError = 0;
    struct stat fStatus { };
};

using OpenedPictureRef = std::shared_ptr<const OpenedPicture>;

} // namespace vesk

Q_DECLARE_METATYPE(vesk::OpenedPictureRef)
