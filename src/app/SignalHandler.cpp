#include "app/SignalHandler.h"

#include "app/TimedWait.h"

#include <QSocketNotifier>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vesk {

namespace {
int gSignalPipe[2] = { -1, -1 };

extern "C" void forwardSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

SignalHandler::SignalHandler(std::function<void(int)> onSignal, QObject *parent)
    : QObject(parent)
    , fOnSignal(std::move(onSignal))
{
    if (gSignalPipe[0] < 0 && ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    fNotifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
    connect(fNotifier, &QSocketNotifier::activated, this, &SignalHandler::readSignal);
    struct sigaction action { };
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

SignalHandler::~SignalHandler()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

void SignalHandler::readSignal()
{
    unsigned char byte = 0;
    while (::read(gSignalPipe[0], &byte, 1) == 1) {
        if (fOnSignal)
            fOnSignal(byte);
    }
}

namespace {
struct QuitWatchdog {
    std::mutex lock;
    std::condition_variable cv;
    bool armed = false;
    bool disarmed = false;
};

// Never destroyed: its thread may outlive main().
QuitWatchdog &quitWatchdog()
{
    static auto *watchdog = new QuitWatchdog;
    return *watchdog;
}
} // namespace

void armQuitWatchdog(std::chrono::milliseconds bound, int exitStatus, std::function<void()> lastWords)
{
    QuitWatchdog &watchdog = quitWatchdog();
    {
        std::lock_guard<std::mutex> guard(watchdog.lock);
        if (watchdog.armed || watchdog.disarmed)
            return;
        watchdog.armed = true;
    }
    std::thread([&watchdog, bound, exitStatus, lastWords = std::move(lastWords)] {
        std::unique_lock<std::mutex> guard(watchdog.lock);
        if (timedWait(watchdog.cv, guard, bound, [&watchdog] { return watchdog.disarmed; }))
            return;
        // Still holding the lock: whoever disarms now waits for the end instead of freeing what
        // lastWords uses.
        if (lastWords)
            lastWords();
        std::fflush(nullptr);
        std::_Exit(exitStatus);
    }).detach();
}

void disarmQuitWatchdog()
{
    QuitWatchdog &watchdog = quitWatchdog();
    std::lock_guard<std::mutex> guard(watchdog.lock);
    watchdog.disarmed = true;
    watchdog.cv.notify_all();
}

namespace {
void ignorePipeSignal(int) { }
} // namespace

void survivePipeWritesWithoutReader()
{
    struct sigaction action { };
    action.sa_handler = ignorePipeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
}

} // namespace vesk
