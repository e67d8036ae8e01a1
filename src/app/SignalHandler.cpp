#include "app/SignalHandler.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
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
