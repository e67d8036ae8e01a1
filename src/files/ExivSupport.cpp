#include "files/ExivSupport.h"

#include "diag/Console.h"
#include "files/FileOps.h"

#include <QFile>

#include <mutex>

namespace vesk::exiv {

namespace {
void routeLogMessage(int level, const char *message)
{
    if (level < Exiv2::LogMsg::error || !message)
        return;
    consoleLog(QStringLiteral("exiv2: %1").arg(QString::fromUtf8(message).trimmed()));
}

std::string nativePath(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}
} // namespace

void prepare()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler(&routeLogMessage);
        try {
            Exiv2::XmpParser::initialize();
        } catch (...) {
            consoleLog(QStringLiteral("exiv2: the XMP parser could not be set up"));
        }
    });
}

std::unique_ptr<Exiv2::Image> open(const QString &path, QString *error)
{
    prepare();
    if (!fileops::isRegularFile(path)) {
        if (error)
            *error = QStringLiteral("not a regular file");
        return nullptr;
    }
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(nativePath(path), false);
#pragma GCC diagnostic pop
        if (!image.get()) {
            if (error)
                *error = QStringLiteral("no image");
            return nullptr;
        }
        return std::unique_ptr<Exiv2::Image>(image.release());
    } catch (const std::exception &failure) {
        if (error)
            *error = QString::fromUtf8(failure.what());
    } catch (...) {
        if (error)
            *error = QStringLiteral("unknown failure");
    }
    return nullptr;
}

bool readMetadata(Exiv2::Image &image, QString *error)
{
    try {
        image.readMetadata();
        return true;
    } catch (const std::exception &failure) {
        if (error)
            *error = QString::fromUtf8(failure.what());
    } catch (...) {
        if (error)
            *error = QStringLiteral("unknown failure");
    }
    return false;
}

int typeOfContent(const QString &path)
{
    prepare();
    if (!fileops::isRegularFile(path))
        return Exiv2::ImageType::none;
    try {
        return Exiv2::ImageFactory::getType(nativePath(path));
    } catch (...) {
        return Exiv2::ImageType::none;
    }
}

} // namespace vesk::exiv
