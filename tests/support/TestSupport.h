#pragma once
// Helpers shared by the tests: a private profile (XDG folders in a temporary folder), bounded
// waits that keep the event loop turning, and a recorder of console lines.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <mutex>

namespace vesk::test {

// Points HOME, the XDG folders (XDG_CONFIG_DIRS: <root>/xdg) and CREDENTIALS_DIRECTORY (<root>/credentials)
// at a fresh temporary folder for the life of the object.
class TempProfile {
public:
    TempProfile();
    ~TempProfile();
    QString root() const { return fDir.path(); }
    QString path(const QString &relative) const { return fDir.path() + QLatin1Char('/') + relative; }

private:
    QTemporaryDir fDir;
    QByteArray fSaved[7];
};

// Runs the event loop until the condition holds or the time is up; answers the condition.
bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

// Records the console lines written while it lives.
class ConsoleRecorder {
public:
    ConsoleRecorder();
    ~ConsoleRecorder();
    QStringList lines() const;
    bool contains(const QString &text) const;
    int count(const QString &text) const;
    void clear();

private:
    int fId;
    mutable std::mutex fLock;
    QStringList fLines;
};

// Reads a whole file, as bytes or as UTF-8 (empty when missing).
QByteArray readBytes(const QString &path);
QString readText(const QString &path);

// Lower-case hexadecimal SHA-256 of the bytes, as the photo service records it.
QString sha256Of(const QByteArray &bytes);
// Writes a file, making its folder first.
bool writeFile(const QString &path, const QByteArray &bytes);

// Runs a program to its end and answers its exit status (-1 when it did not run or finish in time).
int runProgram(const QString &program, const QStringList &arguments, int timeoutMs = 120000);

// The build's folder of programs, from the test environment.
QString buildBinFolder();

// Runs the function on a thread of its own (and the threads it starts) without the capabilities
// that override file permissions and ownership (leases included), so that they bind as they do for
// a user; returns when it is done. Without those capabilities to begin with (not root), the function simply runs there.
void withoutFileCapabilities(const std::function<void()> &function);

} // namespace vesk::test
