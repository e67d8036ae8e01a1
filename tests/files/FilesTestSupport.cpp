#include "FilesTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::test {

namespace {
bool savePicture(const QString &path, const char *format)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(16, 12, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return image.save(path, format);
}

template <typename Edit> bool editMetadata(const QString &path, Edit edit)
{
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
#pragma GCC diagnostic pop
        image->readMetadata();
        edit(image->exifData());
        image->writeMetadata();
        return true;
    } catch (const std::exception &failure) {
        ADD_FAILURE() << "exiv2: " << failure.what();
        return false;
    }
}
} // namespace

bool makeJpeg(const QString &path, const std::vector<std::pair<std::string, std::string>> &exif)
{
    return savePicture(path, "JPEG") && (exif.empty() || writeExif(path, exif));
}

bool writeExif(const QString &path, const std::vector<std::pair<std::string, std::string>> &entries)
{
    return editMetadata(path, [&](Exiv2::ExifData &exif) {
        for (const auto &[key, value] : entries)
            exif[key] = value;
    });
}

bool writeUserComment(const QString &path, const std::string &comment)
{
    return editMetadata(path, [&](Exiv2::ExifData &exif) { exif["Exif.Photo.UserComment"] = comment; });
}

bool setFileTimes(const QString &path, const QDateTime &modification)
{
    const qint64 ms = modification.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(ms / 1000);
    times[0].tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

FileDatesOverride::FileDatesOverride()
{
    setFileDatesSourceForTesting([this](const QString &path) -> std::optional<FileDates> {
        auto it = fDates.find(path);
        if (it == fDates.end())
            it = fDates.find(QString());
        if (it == fDates.end())
            return fileDatesAtPath(path);
        if (!QFileInfo::exists(path))
            return std::nullopt;
        FileDates dates;
        dates.creation = it->second.first;
        dates.modification = it->second.second;
        dates.attributes.insert(NSFileCreationDate, dates.creation);
        dates.attributes.insert(NSFileModificationDate, dates.modification);
        return dates;
    });
}

FileDatesOverride::~FileDatesOverride()
{
    setFileDatesSourceForTesting({});
}

void FileDatesOverride::set(const QString &path, const QDateTime &creation, const QDateTime &modification)
{
    fDates[path] = { creation, modification };
}

} // namespace vesk::test
