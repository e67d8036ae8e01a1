#include "files/ExivSupport.h"

#include "diag/Console.h"
#include "files/FileOps.h"

#include <QFile>

#include <mutex>
#include <optional>
#include <sys/stat.h>

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
        // Video containers (AVI, QuickTime, Matroska, ASF) are no pictures, and exiv2's readers
        // for them can loop for minutes over a few hundred hostile bytes (found by fuzzing).
        if (image.mimeType().rfind("video/", 0) == 0) {
            if (error)
                *error = QStringLiteral("a video container: its metadata is not read");
            return false;
        }
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

namespace {
struct Identity {
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    bool operator==(const Identity &) const = default;
};

std::optional<Identity> identify(const QString &path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return Identity { static_cast<quint64>(info.st_ino), static_cast<qint64>(info.st_size),
        static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec,
        static_cast<qint64>(info.st_ctim.tv_sec) * 1000000000LL + info.st_ctim.tv_nsec };
}

struct LastRead {
    QString path;
    Identity identity;
    Opened opened;
};
thread_local LastRead tLastRead;
} // namespace

Opened openAndReadMetadata(const QString &path)
{
    const std::optional<Identity> identity = identify(path);
    if (identity && tLastRead.opened.image && tLastRead.path == path && tLastRead.identity == *identity)
        return tLastRead.opened;
    Opened opened;
    std::unique_ptr<Exiv2::Image> image = open(path);
    if (image) {
        opened.metadataRead = readMetadata(*image);
        opened.image = std::move(image);
    }
    tLastRead = LastRead {};
    if (identity && opened.image && opened.metadataRead)
        tLastRead = LastRead { path, *identity, opened };
    return opened;
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
