#pragma once
// Is some program still writing this file? A picture that is still being copied must not be sent.

#include <QString>

namespace vesk {

enum class WriterState {
    Idle, // nobody has it open for writing, and it has not changed for a moment
    Busy, // a writer has it open, or it changed just now
    Missing, // it cannot be opened at all (gone, unreadable): the upload will report that
};

// Asks the kernel for a read lease, which is refused while any process holds the file open for
// writing. Where a lease cannot be had (not the file's owner, a file system without leases), a file
// counts as busy while its change time is within quietSeconds of now: every write, and also the
// time-setting of "cp -p" or "rsync -t", moves the change time.
WriterState checkWriter(const QString &path, double quietSeconds = 2.0);

// The same for a file already open for reading (-1 answers Missing).
WriterState checkWriter(int fd, double quietSeconds = 2.0);

} // namespace vesk
