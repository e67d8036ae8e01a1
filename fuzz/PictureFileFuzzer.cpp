// Fuzz target: a picture file, read the way the scan and the purge read one: the capture date from
// its EXIF, TIFF or PNG data, the file's own date as the fallback, the annotation in its user
// comment, and whether it is a picture at all. Besides not crashing: a file that exists always has
// a date. The bytes are written to a file in a private temporary folder, since exiv2 reads files.

#include "files/CaptureDates.h"
#include "files/ImageCheck.h"
#include "files/PictureAnnotation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace vesk;

namespace {
QString picturePath()
{
    // In memory where the system offers it: the file is rewritten for every input.
    static QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists()
            ? QStringLiteral("/dev/shm/vesk-fuzz-picture-XXXXXX")
            : QDir::tempPath() + QStringLiteral("/vesk-fuzz-picture-XXXXXX"));
    if (!folder.isValid())
        std::abort();
    return folder.filePath(QStringLiteral("IMG_0001.JPG"));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = picturePath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            std::abort();
    }
    if (!GetAndUpdateFileCreationDate(path, true, false))
        __builtin_trap();
    (void)GetInternalTiffPictureCaptureDate(path);
    (void)GetInternalPNGPictureCaptureDate(path);
    (void)readPictureAnnotation(path);
    (void)IsValidImageObject(path);
    return 0;
}
