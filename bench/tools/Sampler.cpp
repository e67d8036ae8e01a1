// vesk-bench-sampler: reads /proc/PID/status every INTERVAL microseconds (default 500) until the
// process ends or this sampler gets SIGTERM/SIGINT, then prints the peak "Threads" seen, the last
// VmHWM and VmRSS (kB) read, and the number of samples taken.
//
//   vesk-bench-sampler PID [INTERVAL_US]

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<bool> gStop { false };

void onSignal(int)
{
    gStop = true;
}

long field(const char *text, const char *name)
{
    const char *p = std::strstr(text, name);
    return p ? std::strtol(p + std::strlen(name), nullptr, 10) : -1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: vesk-bench-sampler PID [INTERVAL_US]\n", stderr);
        return 2;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/status", argv[1]);
    const long interval = argc > 2 ? std::atol(argv[2]) : 500;
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    long peakThreads = 0;
    long hwm = -1;
    long rss = -1;
    long samples = 0;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    char buffer[8192];
    while (!gStop) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
        if (n <= 0)
            break; // the process has ended
        buffer[n] = '\0';
        const long threads = field(buffer, "\nThreads:");
        if (threads > peakThreads)
            peakThreads = threads;
        hwm = field(buffer, "\nVmHWM:");
        rss = field(buffer, "\nVmRSS:");
        ++samples;
        std::this_thread::sleep_for(std::chrono::microseconds(interval));
    }
    ::close(fd);
    std::printf("peak_threads %ld\nvmhwm_kb %ld\nvmrss_kb %ld\nsamples %ld\n", peakThreads, hwm, rss, samples);
    return 0;
}
