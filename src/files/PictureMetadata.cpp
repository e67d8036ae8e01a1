#include "files/PictureMetadata.h"

#include "app/Paths.h"
#include "diag/Console.h"
#include "files/CaptureDates.h"
#include "files/ExivSupport.h"
#include "files/PictureAnnotation.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vesk {

namespace {
const QString kHelperName = QStringLiteral("vesk-picture-info");
// An answer is a few lines; a user comment is at most what an EXIF block holds.
constexpr qsizetype kMaxAnswerBytes = qsizetype(1) << 20;
// How long a helper that closed its end may take to exit by itself.
constexpr std::chrono::milliseconds kGrace { 2000 };

std::mutex gMeanwhileLock;
std::function<void(int)> gMeanwhile;
} // namespace

void setWhileMetadataIsRead(std::function<void(int fd)> work)
{
    std::lock_guard<std::mutex> guard(gMeanwhileLock);
    gMeanwhile = std::move(work);
}

void prepareMetadataReading()
{
    exiv::prepare();
    // A first picture costs the library's first use (its code paged in, its tables set up): a JPEG
    // with an empty EXIF block takes that ahead of the first real one.
    static const unsigned char kEmptyExifJpeg[] = { 0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x16, 'E', 'x', 'i', 'f', 0, 0, 'I',
        'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9 };
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(kEmptyExifJpeg, long(sizeof kEmptyExifJpeg));
#pragma GCC diagnostic pop
        if (image.get())
            image->readMetadata();
    } catch (...) { }
}

PictureMetadata readPictureMetadataInProcess(const QString &path)
{
    PictureMetadata metadata;
    if (const std::optional<QString> text
        = GetInternalPictureCaptureText(path, kImagePropertyExifDictionary, kImagePropertyExifDateTimeOriginal)) {
        metadata.captureDate = captureDateFromText(*text);
        metadata.captureClock = captureClockFromText(*text);
    }
    metadata.comment = readExifUserComment(path);
    return metadata;
}

QByteArray encodePictureMetadata(const PictureMetadata &metadata)
{
    QByteArray answer;
    if (metadata.captureDate)
        answer += "capture " + QByteArray::number(metadata.captureDate->toMSecsSinceEpoch()) + '\n';
    if (metadata.captureClock)
        answer += "clock " + metadata.captureClock->toUtf8().toHex() + '\n';
    if (metadata.comment)
        answer += "comment " + metadata.comment->toUtf8().toHex() + '\n';
    answer += "end\n";
    return answer;
}

std::optional<PictureMetadata> decodePictureMetadata(const QByteArray &answer)
{
    PictureMetadata metadata;
    const QList<QByteArray> lines = answer.split('\n');
    for (const QByteArray &line : lines) {
        if (line == "end")
            return metadata;
        if (line.startsWith("capture ")) {
            bool ok = false;
            const qint64 ms = line.mid(8).toLongLong(&ok);
            if (!ok)
                return std::nullopt;
            metadata.captureDate = QDateTime::fromMSecsSinceEpoch(ms);
        } else if (line.startsWith("clock ")) {
            metadata.captureClock = QString::fromUtf8(QByteArray::fromHex(line.mid(6)));
        } else if (line.startsWith("comment ")) {
            metadata.comment = QString::fromUtf8(QByteArray::fromHex(line.mid(8)));
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt; // no "end": the helper did not finish
}

namespace {

// The helper, started once and asked for one picture after another over a socket joined to its
// standard input and output: a request is the path's bytes in hex on a line, or "-" on a line with
// the picture's descriptor passed along (SCM_RIGHTS); the answer is what encodePictureMetadata gives. When it crashes
// or hangs it is ended, and the next picture starts a new one. Started with posix_spawn rather than QProcess: it is
// used from worker threads, outlives any one of them, and needs no event loop.
class MetadataReader {
public:
    PictureMetadata read(const QString &helper, const QString &path, int fd, std::chrono::milliseconds limit)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        bool busyMeanwhile = false;
        const QByteArray request = fd >= 0 ? QByteArray("-\n") : QFile::encodeName(path).toHex() + '\n';
        // A helper that ends without answering may have ended before the question (killed from
        // outside since the last picture): a second one is asked. One that ends again was ended
        // by the picture.
        int status = -1;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fPid > 0 && fHelper != helper)
                stop();
            if (fPid <= 0 && !start(helper))
                return {};
            if (!sendAll(request, fd)) {
                status = stop(kGrace);
                continue;
            }
            if (fd >= 0 && !busyMeanwhile) {
                busyMeanwhile = true;
                std::function<void(int)> work;
                {
                    std::lock_guard<std::mutex> guard(gMeanwhileLock);
                    work = gMeanwhile;
                }
                if (work) {
                    const auto began = std::chrono::steady_clock::now();
                    work(fd);
                    deadline += std::chrono::steady_clock::now() - began; // the helper's time is its own
                }
            }
            PictureMetadata metadata;
            switch (answer(deadline, metadata, status)) {
            case Outcome::Answered:
                return metadata;
            case Outcome::Ended:
                continue;
            case Outcome::TimedOut:
                consoleLog(
                    QStringLiteral("Reading the picture's metadata took too long; it is left out: %1").arg(path));
                return {};
            case Outcome::Garbled:
                consoleLog(
                    QStringLiteral("%1 gave no answer; the picture's metadata is left out: %2").arg(kHelperName, path));
                return {};
            }
        }
        if (status != -1 && WIFSIGNALED(status)) {
            // What would have ended the program ended only the helper.
            consoleLog(
                QStringLiteral("The picture's metadata could not be read (the reader crashed); it is left out: %1")
                    .arg(path));
        } else {
            consoleLog(QStringLiteral("%1 gave no answer (exit status %2); the picture's metadata is left out: %3")
                           .arg(kHelperName)
                           .arg(status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                           .arg(path));
        }
        return {};
    }

    bool running() const { return fPid > 0; }

    // Starts the helper ahead of the first picture, unless this one already runs.
    void prepare(const QString &helper)
    {
        if (fPid > 0 && fHelper != helper)
            stop();
        if (fPid <= 0)
            start(helper);
    }

private:
    bool start(const QString &helper)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            consoleLog(QStringLiteral("Cannot run %1 (%2)").arg(helper, QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int signal : { SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD })
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const QByteArray program = QFile::encodeName(helper);
        char serve[] = "--serve";
        char *argv[] = { const_cast<char *>(program.constData()), serve, nullptr };
        pid_t pid = -1;
        const int error = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv, environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
        if (error != 0) {
            ::close(pair[0]);
            consoleLog(QStringLiteral("Cannot run %1 (%2): picture metadata is left out")
                           .arg(helper, QString::fromLocal8Bit(std::strerror(error))));
            return false;
        }
        fPid = pid;
        fSocket = pair[0];
        fHelper = helper;
        return true;
    }

    // Ends the helper and collects it; the wait status, or -1. One that closed its end is given a
    // moment to finish on its own, so that its own exit status is seen.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(0))
    {
        int status = -1;
        if (fSocket >= 0)
            ::close(fSocket);
        fSocket = -1;
        if (fPid > 0) {
            const auto until = std::chrono::steady_clock::now() + grace;
            pid_t done = 0;
            while ((done = ::waitpid(fPid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (done == 0) {
                ::kill(fPid, SIGKILL);
                while (::waitpid(fPid, &status, 0) < 0 && errno == EINTR) { }
            }
        }
        fPid = -1;
        return status;
    }

    // The descriptor, when there is one, goes with the first bytes.
    bool sendAll(const QByteArray &data, int fd)
    {
        qsizetype sent = 0;
        while (sent < data.size()) {
            iovec chunk { const_cast<char *>(data.constData() + sent), size_t(data.size() - sent) };
            msghdr message {};
            message.msg_iov = &chunk;
            message.msg_iovlen = 1;
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
            if (fd >= 0 && sent == 0) {
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                cmsghdr *header = CMSG_FIRSTHDR(&message);
                header->cmsg_level = SOL_SOCKET;
                header->cmsg_type = SCM_RIGHTS;
                header->cmsg_len = CMSG_LEN(sizeof(int));
                std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
            }
            const ssize_t n = ::sendmsg(fSocket, &message, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }

    enum class Outcome { Answered, Ended, TimedOut, Garbled };

    Outcome answer(std::chrono::steady_clock::time_point deadline, PictureMetadata &metadata, int &status)
    {
        QByteArray answer;
        while (answer != "end\n" && !answer.endsWith("\nend\n")) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || answer.size() > kMaxAnswerBytes) {
                stop();
                return Outcome::TimedOut;
            }
            pollfd ready { fSocket, POLLIN, 0 };
            if (::poll(&ready, 1, int(std::min<qint64>(left.count(), 1000))) <= 0)
                continue;
            char buffer[16384];
            const ssize_t n = ::recv(fSocket, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                status = stop(kGrace);
                return Outcome::Ended;
            }
            answer.append(buffer, n);
        }
        const std::optional<PictureMetadata> decoded = decodePictureMetadata(answer);
        if (!decoded) {
            stop();
            return Outcome::Garbled;
        }
        metadata = *decoded;
        return Outcome::Answered;
    }

    pid_t fPid = -1;
    int fSocket = -1;
    QString fHelper;
};

} // namespace

PictureMetadata readPictureMetadata(const QString &path, std::chrono::milliseconds limit)
{
    return readPictureMetadata(path, -1, limit);
}

namespace {
// The one helper of the process, and where it is: looked up again only when it is to be started or
// the place it may be named by changes; the lookup resolves the program's own path, a dozen system
// calls that would otherwise come between every two uploads.
struct SharedReader {
    std::mutex lock;
    MetadataReader reader;
    QByteArray lookedUpFor;
    QString helper;

    const QString &helperToUse()
    {
        const QByteArray libexec = qgetenv("VESK_LIBEXEC_DIR");
        if (!reader.running() || libexec != lookedUpFor) {
            helper = paths::auxiliaryExecutable(kHelperName);
            lookedUpFor = libexec;
        }
        return helper;
    }
};

SharedReader &sharedReader()
{
    static SharedReader shared;
    return shared;
}
} // namespace

void startPictureMetadataReader()
{
    SharedReader &shared = sharedReader();
    const std::lock_guard<std::mutex> guard(shared.lock);
    if (const QString &helper = shared.helperToUse(); !helper.isEmpty())
        shared.reader.prepare(helper);
}

PictureMetadata readPictureMetadata(const QString &path, int fd, std::chrono::milliseconds limit)
{
    SharedReader &shared = sharedReader();
    std::unique_lock<std::mutex> guard(shared.lock);
    const QString helper = shared.helperToUse();
    if (helper.isEmpty()) {
        guard.unlock();
        static std::atomic<bool> told { false };
        if (!told.exchange(true))
            consoleLog(
                QStringLiteral("No %1 beside the program: picture metadata is read in this process").arg(kHelperName));
        return readPictureMetadataInProcess(fd >= 0 ? QStringLiteral("/proc/self/fd/%1").arg(fd) : path);
    }
    return shared.reader.read(helper, path, fd, limit);
}

} // namespace vesk
