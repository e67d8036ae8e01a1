#pragma once
// The running instances of the application, read from the process table.

#include <QString>

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

} // namespace vesk
