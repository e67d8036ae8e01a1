#include "cycle/WriterCheck.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vesk {

WriterState checkWriter(const QString &path, double quietSeconds)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == EWOULDBLOCK ? WriterState::Busy : WriterState::Missing;
    const WriterState state = checkWriter(fd, quietSeconds);
    ::close(fd);
    return state;
}

WriterState checkWriter(int fd, double quietSeconds)
{
    if (fd < 0)
        return WriterState::Missing;
    WriterState state = WriterState::Idle;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN) {
        state = WriterState::Busy;
    } else {
        struct stat info { };
        struct timespec now { };
        ::clock_gettime(CLOCK_REALTIME, &now);
        if (::fstat(fd, &info) == 0) {
            const double age = static_cast<double>(now.tv_sec - info.st_ctim.tv_sec)
                + static_cast<double>(now.tv_nsec - info.st_ctim.tv_nsec) / 1e9;
            if (age < quietSeconds)
                state = WriterState::Busy;
        }
    }
    return state;
}

} // namespace vesk
