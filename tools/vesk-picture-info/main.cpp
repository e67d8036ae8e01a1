// vesk-picture-info PATH: prints what the uploader takes from a picture's metadata, its EXIF capture
// date and user comment, in the form decodePictureMetadata reads. The uploader runs it for every
// picture it sends, so that a picture that crashes exiv2 takes only this process down.
// Exit status: 0 with an answer, 2 for a bad command line.

#include "files/PictureMetadata.h"

#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: vesk-picture-info PATH\n", stderr);
        return 2;
    }
    const QByteArray answer
        = vesk::encodePictureMetadata(vesk::readPictureMetadataInProcess(QFile::decodeName(argv[1])));
    std::fwrite(answer.constData(), 1, size_t(answer.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
