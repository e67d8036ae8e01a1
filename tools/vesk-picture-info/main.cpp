// vesk-picture-info PATH: prints what the uploader takes from a picture's metadata, its EXIF capture
// date and user comment, in the form decodePictureMetadata reads.
// vesk-picture-info --serve: the same for one picture after another, as the uploader runs it: a
// request is a path's bytes in hex on a line of the standard input, each answer ends with "end".
// A picture that crashes exiv2 takes only this process down.
// Exit status: 0, 1 when the answer cannot be written, 2 for a bad command line.

#include "files/PictureMetadata.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool answer(const QString &path)
{
    const QByteArray text = vesk::encodePictureMetadata(vesk::readPictureMetadataInProcess(path));
    return std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size())
        && std::fflush(stdout) == 0;
}

int serve()
{
    std::string line;
    for (int c; (c = std::getchar()) != EOF;) {
        if (c != '\n') {
            line.push_back(char(c));
            continue;
        }
        if (!answer(QFile::decodeName(QByteArray::fromHex(QByteArray::fromStdString(line)))))
            return 1;
        line.clear();
    }
    return 0;
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
