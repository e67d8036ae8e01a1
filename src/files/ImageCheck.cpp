#include "files/ImageCheck.h"

#include "diag/Console.h"
#include "files/ExivSupport.h"
#include "files/FileOps.h"

#include <QFile>
#include <QImageReader>

namespace vesk {

namespace {
// Picture formats that exiv2 recognises from their first bytes. Sidecars, documents, videos and the
// formats that exiv2 judges by their name are left to Qt's readers.
bool isPictureType(int type)
{
    using namespace Exiv2::ImageType;
    for (const int picture : { jpeg, png, tiff, crw, mrw, cr2, raf, orf, gif, psd, bmp, jp2, rw2, pgf, webp }) {
        if (type == picture)
            return true;
    }
    return false;
}
} // namespace

bool IsValidImageObject(const QString &objectPath)
{
    if (objectPath.isEmpty()) {
        myPrintfDebug("IsValidImageObject => Passed a nil objectPath!!\n");
        consoleLog(QStringLiteral("NSLog IsValidImageObject => Passed a nil objectPath!!"));
        return false;
    }
    // Folders are no pictures, and reading a pipe or a device could block.
    if (!fileops::isRegularFile(objectPath))
        return false;

    if (isPictureType(exiv::typeOfContent(objectPath)))
        return true;

    QFile file(objectPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}

} // namespace vesk
