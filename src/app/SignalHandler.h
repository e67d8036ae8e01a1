#pragma once
// Turns SIGTERM and SIGINT into a call on the main thread (a self-pipe read by the event loop), so a
// signal becomes an ordinary quit request.

#include <QObject>

#include <chrono>
#include <functional>

class QSocketNotifier;

namespace vesk {

class SignalHandler : public QObject {
    Q_OBJECT
public:
    explicit SignalHandler(std::function<void(int)> onSignal, QObject *parent = nullptr);
    ~SignalHandler() override;

private:
    void readSignal();
    std::function<void(int)> fOnSignal;
    QSocketNotifier *fNotifier = nullptr;
};

// Ends the process with exitStatus once `bound` has passed, unless disarmQuitWatchdog() comes first:
// lastWords runs then, on the watchdog's own thread, and standard streams are flushed. For a quit that
// must end in time whatever a worker or a hung file system holds up. Armed once; any thread.
void armQuitWatchdog(std::chrono::milliseconds bound, int exitStatus, std::function<void()> lastWords);
// Waits for a watchdog that has already fired (it then ends the process) and keeps it from firing.
void disarmQuitWatchdog();

// A write to a pipe nobody reads any more (standard error piped into a program that ended, such as
// `tee` or the terminal of a closed session) fails instead of ending the process. A handler that
// does nothing, rather than SIG_IGN, so that the programs we start get the usual behaviour back.
void survivePipeWritesWithoutReader();

} // namespace vesk
