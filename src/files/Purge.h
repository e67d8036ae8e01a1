#pragma once
// The emptiness test of the empty-folder removal (the purge and the removal themselves are members of
// AppController).

#include <QString>

namespace vesk {

// True when the folder holds nothing, or nothing but a ".DS_Store" file; false when it cannot be
// listed. Writes the reason for a true answer to standard error. Any thread.
bool isDirectoryEmpty(const QString &path);

} // namespace vesk
