#pragma once
// The program's files in its folders (the folders themselves are in base/Folders.h).

#include "base/Folders.h"

#include <QString>

namespace vesk::paths {

QString preferencesFile();
QString predecessorPreferencesFile(); // ~/Library/Preferences/com.halvoryn.Vesk-FTPUploader.plist
QString commandSocketFile();

// Expands a leading "~" to the home folder, as the platform's stringByExpandingTildeInPath does.
QString expandTilde(const QString &path);

} // namespace vesk::paths
