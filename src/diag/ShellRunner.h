#pragma once
// Runs an external program directly (no shell) and collects its standard output. Both calls block
// until the program has exited; the output is read while it runs, so a chatty program cannot stall.

#include <QString>
#include <QStringList>

#include <optional>

namespace vesk {

// The program at an absolute path. The output as printed (no trimming), or none when the program
// could not be run or its output is not valid UTF-8.
std::optional<QString> runShellScript2(const QString &path, const std::optional<QStringList> &arguments);

// An auxiliary program that ships with the application. False when it was not found or not run,
// or when its output says "not connected"; true otherwise, whatever its exit status.
bool runShellScript(const QString &name, const std::optional<QStringList> &arguments);

} // namespace vesk
