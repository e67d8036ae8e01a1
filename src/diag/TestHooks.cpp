#include "diag/TestHooks.h"

#ifndef VESK_WITH_TEST_HOOKS

void vesk::testHook(const char *, const QString &) { }

#else

#include "base/Folders.h"
#include "diag/Console.h"

#include <QFile>

#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vesk {

void testHook(const char *name, const QString &detail)
{
    static const QByteArray folder = qgetenv("VESK_TEST_HOOKS");
    if (folder.isEmpty())
        return;
    // A folder that others can enter would let them pause the program, or have it write for them.
    QString problem;
    const int dir = paths::openPrivateFolder(QFile::decodeName(folder), false, &problem);
    if (dir < 0) {
        static std::once_flag told;
        std::call_once(told, [&] { consoleLog(QStringLiteral("The test hooks are off: %1").arg(problem)); });
        return;
    }
    auto armed = [dir, name] {
        struct stat info { };
        return ::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
    };
    if (armed()) {
        // A file with text in it arms the hook for that detail only.
        QByteArray only;
        const int armedFd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (armedFd >= 0) {
            char buffer[4096];
            const ssize_t got = ::read(armedFd, buffer, sizeof buffer);
            if (got > 0)
                only = QByteArray(buffer, static_cast<qsizetype>(got)).trimmed();
            ::close(armedFd);
        }
        if (!only.isEmpty() && only != detail.toUtf8()) {
            ::close(dir);
            return;
        }
        const QByteArray reached = QByteArray(name) + ".reached";
        const int fd = ::openat(dir, reached.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const QByteArray line = detail.toUtf8() + '\n';
            [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
            ::close(fd);
        }
        // A test hook only: a short poll keeps it free of any machinery of its own.
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (armed() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(dir);
}

} // namespace vesk

#endif
