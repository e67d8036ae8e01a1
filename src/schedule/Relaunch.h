#pragma once
// The running instances of the application, read from the process table.

#include <QString>

#include <optional>
#include <vector>

namespace vesk {

struct RunningApplication {
    QString path; // the program file
    qint64 processIdentifier = 0;
};

// Every process whose program file is named like this application (compared without regard to
// case, extension ignored), in process-number order.
std::vector<RunningApplication> runningApplications();

// The name every instance shares.
inline constexpr const char *kOwnApplicationName = "Vesk-FTPUploader";

// Whether a program path names this application: its last component, without extension, equals
// the application's name without regard to case.
bool isOwnApplicationPath(const QString &path);

// The exit status that stands for a relaunch, from VESK_RELAUNCH_EXIT (1 to 255): under a service
// manager that restarts the program on it, a relaunch is that exit instead of a process started
// here. None when the variable is not set or not such a number (a console line says so).
std::optional<int> relaunchExitStatus();

} // namespace vesk
