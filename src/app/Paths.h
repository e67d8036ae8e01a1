#pragma once
// The program's files in its folders (the folders themselves are in base/Folders.h).

#include "base/Folders.h"

#include <QString>

namespace vesk::paths {

QString preferencesFile();
QString predecessorPreferencesFile(); // ~/Library/Preferences/com.halvoryn.Vesk-FTPUploader.plist
QString commandSocketFile();
// The administrator's defaults for every account: Vesk-FTPUploader/defaults.plist in the first folder
// of $XDG_CONFIG_DIRS (/etc/xdg when unset) that holds one; empty when none does.
QString administratorDefaultsFile();
// The password handed over by the service manager ($CREDENTIALS_DIRECTORY/vesk-password); empty
// when no credentials folder is set.
QString passwordCredentialFile();

// Expands a leading "~" to the home folder, as the platform's stringByExpandingTildeInPath does.
QString expandTilde(const QString &path);

} // namespace vesk::paths
