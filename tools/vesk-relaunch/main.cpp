// vesk-relaunch: waits for a process to end, then starts a program again.
//   vesk-relaunch '"/path/to/program"' PID
// The program path may come wrapped in double quotes. Exit status: 0 when the program was started
// again, 1 when it could not be, 2 for a bad command line.

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

int usage(FILE *stream, int status)
{
    std::fputs("Usage: vesk-relaunch \"PROGRAM\" PID\n"
               "Waits until process PID has ended, then starts PROGRAM again (detached, in a session of\n"
               "its own, with the standard streams vesk-relaunch was given). Vesk-FTPUploader runs it to\n"
               "replace itself with a fresh instance. The process that ends PID starts PROGRAM itself,\n"
               "marked with VESK_RELAUNCHED_FROM=PID in its environment; PROGRAM is started only when\n"
               "that one did not.\n"
               "\n"
               "  --version  print the version and exit\n"
               "  --help     print this help and exit\n"
               "\n"
               "Exit status: 0 when PROGRAM was started again, 1 when it could not be, 2 for a bad\n"
               "command line.\n",
        stream);
    return status;
}

bool processAlive(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

void waitForEnd(pid_t pid)
{
    // A pidfd wakes us the moment the process ends; polling is the fallback on old kernels.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd entry { fd, POLLIN, 0 };
        while (::poll(&entry, 1, -1) < 0 && errno == EINTR) { }
        ::close(fd);
        return;
    }
    while (processAlive(pid))
        ::usleep(100 * 1000);
}

enum class Successor { Starting, Started, None };

// Where the process that ended pid stands: a process marked with VESK_RELAUNCHED_FROM=pid that
// already runs the program, one that is still the shell on its way there, or none at all.
Successor findSuccessor(const std::string &program, long pid)
{
    const std::string mark = "VESK_RELAUNCHED_FROM=" + std::to_string(pid);
    Successor found = Successor::None;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long candidate = std::strtol(entry->d_name, &end, 10);
        if (candidate <= 0 || *end != '\0' || candidate == long(::getpid()))
            continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        std::ifstream environment(folder + "/environ", std::ios::binary);
        const std::string variables((std::istreambuf_iterator<char>(environment)), std::istreambuf_iterator<char>());
        if (variables.find('\0' + mark + '\0') == std::string::npos && variables.rfind(mark + '\0', 0) != 0)
            continue;
        char executable[PATH_MAX] = {};
        const ssize_t length = ::readlink((folder + "/exe").c_str(), executable, sizeof executable - 1);
        if (length > 0 && program == std::string(executable, size_t(length))) {
            found = Successor::Started;
            break;
        }
        found = Successor::Starting;
    }
    ::closedir(proc);
    return found;
}

// Whether the process that ended pid has started the program, waiting (a bounded while) for it to
// get there.
bool successorStarted(const std::string &program, long pid)
{
    char resolved[PATH_MAX] = {};
    const std::string real = ::realpath(program.c_str(), resolved) ? std::string(resolved) : program;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const Successor successor = findSuccessor(real, pid);
        if (successor != Successor::Starting || std::chrono::steady_clock::now() > deadline)
            return successor == Successor::Started;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return usage(stdout, 0);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vesk-relaunch %s\n", VESK_VERSION);
        return 0;
    }
    if (argc != 3)
        return usage(stderr, 2);
    std::string program = argv[1];
    if (program.size() >= 2 && program.front() == '"' && program.back() == '"')
        program = program.substr(1, program.size() - 2);
    char *end = nullptr;
    const long pid = std::strtol(argv[2], &end, 10);
    if (program.empty() || !end || *end != '\0' || pid <= 0)
        return usage(stderr, 2);

    waitForEnd(static_cast<pid_t>(pid));
    if (successorStarted(program, pid))
        return 0;

    // Start the program in a session of its own, so that nothing ends it along with whoever started
    // us, but with our standard streams: the ended instance's, which its successor keeps writing to.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char *childArgv[] = { program.data(), nullptr };
    pid_t child = 0;
    const int status = ::posix_spawn(&child, program.c_str(), nullptr, &attributes, childArgv, environ);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) {
        std::fprintf(stderr, "vesk-relaunch: cannot start %s: %s\n", program.c_str(), std::strerror(status));
        return 1;
    }
    return 0;
}
