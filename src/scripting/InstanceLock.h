#pragma once
// InstanceLock: one instance per user. An exclusive lock on a file in the private runtime folder,
// held for the life of the object (and released by the system when the process ends, however it
// ends). The file records the holder's process id for the message of a second launch.

#include <QString>

namespace vesk {

class InstanceLock {
public:
    enum class State {
        Held, // this process holds the lock
        HeldByOther, // another process holds it: an instance is already running
        Unavailable, // the lock file could not be used (see error())
    };

    // Tries once, without waiting. The file's folder is made first (mode 0700); one that is not the
    // user's own with mode 0700 makes the lock unavailable.
    explicit InstanceLock(const QString &lockFile);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    State state() const { return fState; }
    QString error() const { return fError; }
    // The holder's process id as the file records it; 0 when unknown.
    qint64 holderPid() const { return fHolderPid; }

private:
    int fFd = -1;
    State fState = State::Unavailable;
    QString fError;
    qint64 fHolderPid = 0;
};

} // namespace vesk
