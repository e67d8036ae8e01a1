// vesk-picture-info PATH: prints what the uploader takes from a picture's metadata, its EXIF capture
// date and user comment, in the form decodePictureMetadata reads.
// vesk-picture-info --serve: the same for one picture after another, as the uploader runs it: a
// request is a path's bytes in hex on a line of the standard input, or "-" on a line that came with
// a descriptor of the picture (SCM_RIGHTS, standard input being a socket); each answer ends with
// "end".
// A picture that crashes exiv2 takes only this process down.
// Exit status: 0, 1 when the answer cannot be written, 2 for a bad command line.

#include "files/PictureMetadata.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool answer(const QString &path)
{
    const QByteArray text = vesk::encodePictureMetadata(
        path.isEmpty() ? vesk::PictureMetadata() : vesk::readPictureMetadataInProcess(path));
    return std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size())
        && std::fflush(stdout) == 0;
}

int serve()
{
    vesk::prepareMetadataReading(); // while the uploader has no picture yet
    std::deque<int> received;
    std::string line;
    for (;;) {
        char buffer[4096];
        iovec chunk { buffer, sizeof buffer };
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
        msghdr message {};
        message.msg_iov = &chunk;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got = ::recvmsg(STDIN_FILENO, &message, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == ENOTSOCK) {
            message.msg_controllen = 0;
            got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
                continue;
            const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
                received.push_back(fd);
            }
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != '\n') {
                line.push_back(buffer[i]);
                continue;
            }
            bool ok = true;
            if (line == "-") {
                // The picture itself, whatever became of its path: read through this process's descriptor.
                const int fd = received.empty() ? -1 : received.front();
                if (!received.empty())
                    received.pop_front();
                ok = fd >= 0 ? answer(QStringLiteral("/proc/self/fd/%1").arg(fd)) : answer(QString());
                if (fd >= 0)
                    ::close(fd);
            } else {
                ok = answer(QFile::decodeName(QByteArray::fromHex(QByteArray::fromStdString(line))));
            }
            if (!ok)
                return 1;
            line.clear();
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const char *usage = "Usage: vesk-picture-info PATH | --serve | --help | --version\n";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        std::fputs("Prints the capture date and user comment the uploader reads from a picture.\n"
                   "Exit status: 0 done, 1 the answer could not be written, 2 bad command line.\n",
            stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vesk-picture-info %s\n", VESK_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--serve") == 0)
        return serve();
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    return answer(QFile::decodeName(argv[1])) ? 0 : 1;
}
