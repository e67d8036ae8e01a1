#pragma once
// Where the program keeps its files, following the XDG base-directory rules (configuration, state
// with the message log, runtime), and where it finds the auxiliary programs that ship with it. The
// lowest layer: it uses nothing of the program but Qt.

#include <QString>

namespace vesk::paths {

inline constexpr const char *kAppFolderName = "Vesk-FTPUploader";

QString homeFolder();
QString configFolder(); // $XDG_CONFIG_HOME/Vesk-FTPUploader
QString stateFolder(); // $XDG_STATE_HOME/Vesk-FTPUploader, where the message log lives
// $XDG_RUNTIME_DIR/Vesk-FTPUploader, else $XDG_STATE_HOME/Vesk-FTPUploader/run: never a fixed folder
// under /tmp, which another user could make first.
QString runtimeFolder();

// The running program's own file (from /proc/self/exe).
QString applicationFilePath();

// An auxiliary program shipped with the application: beside the executable in a build tree, or in
// <prefix>/libexec/vesk-ftpuploader after installation ($VESK_LIBEXEC_DIR first, when set). Scripts
// that are also compiled in are run from a private copy when no file is found. Empty otherwise.
QString auxiliaryExecutable(const QString &name);

// Makes the folder and its missing parents; the last level gets the given mode. False on failure.
bool makeFolder(const QString &path, unsigned mode);

// Opens the folder without following a link at its last level and checks on that descriptor that
// it belongs to this user and has mode 0700. The descriptor (close-on-exec, the caller closes it),
// or -1 with the reason. With make, a missing folder is made first (mode 0700, its parents too).
int openPrivateFolder(const QString &path, bool make, QString *problem);
// The same, for a folder only looked at or made: empty when it is private, else the reason.
QString privateFolderProblem(const QString &path, bool make);

} // namespace vesk::paths
