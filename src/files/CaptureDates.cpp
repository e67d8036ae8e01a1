#include "files/CaptureDates.h"

#include "diag/Console.h"
#include "diag/Describe.h"
#include "files/ExivSupport.h"

#include <QFile>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>

namespace vesk {

namespace {

std::mutex gSourceLock;
FileDatesSource gFileDatesSource;

std::optional<FileDates> currentFileDates(const QString &path)
{
    FileDatesSource source;
    {
        std::lock_guard<std::mutex> guard(gSourceLock);
        source = gFileDatesSource;
    }
    return source ? source(path) : fileDatesAtPath(path);
}

QString describeDate(const QDateTime &date)
{
    return describe(QVariant(date));
}

QDateTime fromTimestamp(const statx_timestamp &stamp)
{
    return QDateTime::fromMSecsSinceEpoch(stamp.tv_sec * 1000 + stamp.tv_nsec / 1000000, Qt::UTC);
}

QString fileTypeName(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("NSFileTypeDirectory");
    if (S_ISREG(mode))
        return QStringLiteral("NSFileTypeRegular");
    if (S_ISLNK(mode))
        return QStringLiteral("NSFileTypeSymbolicLink");
    if (S_ISCHR(mode))
        return QStringLiteral("NSFileTypeCharacterSpecial");
    if (S_ISBLK(mode))
        return QStringLiteral("NSFileTypeBlockSpecial");
    if (S_ISSOCK(mode))
        return QStringLiteral("NSFileTypeSocket");
    return QStringLiteral("NSFileTypeUnknown");
}

// The sub-dictionary keys as exiv2 groups: whether the picture has that sub-dictionary, and the
// exiv2 key of a property inside it.
struct Group {
    const char *keyPrefix;
    const char *groupName;
};
std::optional<Group> groupFor(const QString &dictionaryKey)
{
    if (dictionaryKey == kImagePropertyExifDictionary || dictionaryKey == kImagePropertyPNGDictionary)
        return Group { "Exif.Photo.", "Photo" };
    if (dictionaryKey == kImagePropertyTIFFDictionary)
        return Group { "Exif.Image.", "Image" };
    if (dictionaryKey == kImagePropertyGPSDictionary)
        return Group { "Exif.GPSInfo.", "GPSInfo" };
    return std::nullopt;
}

bool hasSubDictionary(Exiv2::Image &image, const QString &dictionaryKey, const Group &group)
{
    if (dictionaryKey == kImagePropertyPNGDictionary)
        return image.imageType() == Exiv2::ImageType::png;
    const Exiv2::ExifData &exif = image.exifData();
    for (auto it = exif.begin(); it != exif.end(); ++it) {
        if (it->groupName() == group.groupName)
            return true;
    }
    return false;
}

std::optional<QString> propertyText(Exiv2::Image &image, const Group &group, const QString &propertyKey)
{
    try {
        const Exiv2::ExifKey key(std::string(group.keyPrefix) + propertyKey.toStdString());
        Exiv2::ExifData &exif = image.exifData();
        const auto found = exif.findKey(key);
        if (found == exif.end())
            return std::nullopt;
        QString text = QString::fromUtf8(found->toString());
        while (text.endsWith(QChar(0)))
            text.chop(1);
        return text;
    } catch (...) {
        // An unknown tag name is a property the picture cannot have.
        return std::nullopt;
    }
}

// The date and clock time of a capture-date text, none when it does not parse.
std::optional<std::pair<QDate, QTime>> parseClock(const QString &text)
{
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space <= 0)
        return std::nullopt;
    QString datePart = text.left(space);
    datePart.replace(QLatin1Char(':'), QLatin1Char('-'));
    const QDate date = QDate::fromString(datePart, QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(space + 1).trimmed(), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return std::make_pair(date, time);
}

std::optional<QDateTime> parseWallClock(const QDate &date, const QTime &time)
{
    const QDateTime local(date, time, Qt::LocalTime);
    if (local.isValid())
        return local;
    // The clock time falls in the hour skipped by the change to summer time.
    const QDateTime asUtc(date, time, Qt::UTC);
    const int offsetBefore = asUtc.addSecs(-86400).toLocalTime().offsetFromUtc();
    const QDateTime shifted(date, time, Qt::OffsetFromUTC, offsetBefore);
    if (!shifted.isValid())
        return std::nullopt;
    return shifted.toLocalTime();
}

} // namespace

QDateTime zeroDate1904()
{
    return QDateTime(QDate(1904, 1, 1), QTime(0, 0), Qt::UTC);
}

QDateTime zeroDate1970()
{
    return QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
}

std::optional<QDateTime> captureDateFromText(const QString &text)
{
    const auto clock = parseClock(text);
    return clock ? parseWallClock(clock->first, clock->second) : std::nullopt;
}

std::optional<QString> captureClockFromText(const QString &text)
{
    const auto clock = parseClock(text);
    if (!clock)
        return std::nullopt;
    return clock->first.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(' ')
        + clock->second.toString(QStringLiteral("HH:mm:ss"));
}

std::optional<FileDates> fileDatesAtPath(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    struct statx info { };
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
            &info)
        != 0)
        return std::nullopt;
    FileDates dates;
    dates.modification = fromTimestamp(info.stx_mtime);
    dates.creation = (info.stx_mask & STATX_BTIME) ? fromTimestamp(info.stx_btime) : dates.modification;
    dates.attributes.insert(NSFileCreationDate, dates.creation);
    dates.attributes.insert(NSFileModificationDate, dates.modification);
    dates.attributes.insert(QStringLiteral("NSFileSize"), static_cast<qulonglong>(info.stx_size));
    dates.attributes.insert(QStringLiteral("NSFilePosixPermissions"), static_cast<int>(info.stx_mode & 07777));
    dates.attributes.insert(QStringLiteral("NSFileType"), fileTypeName(info.stx_mode));
    dates.attributes.insert(QStringLiteral("NSFileOwnerAccountID"), static_cast<qulonglong>(info.stx_uid));
    dates.attributes.insert(QStringLiteral("NSFileGroupOwnerAccountID"), static_cast<qulonglong>(info.stx_gid));
    dates.attributes.insert(QStringLiteral("NSFileReferenceCount"), static_cast<qulonglong>(info.stx_nlink));
    dates.attributes.insert(QStringLiteral("NSFileSystemFileNumber"), static_cast<qulonglong>(info.stx_ino));
    return dates;
}

void setFileDatesSourceForTesting(FileDatesSource source)
{
    std::lock_guard<std::mutex> guard(gSourceLock);
    gFileDatesSource = std::move(source);
}

std::optional<QDateTime> GetInternalPictureCaptureDate(
    const QString &path, const QString &dictionaryKey, const QString &propertyKey)
{
    const std::optional<QString> text = GetInternalPictureCaptureText(path, dictionaryKey, propertyKey);
    return text ? captureDateFromText(*text) : std::nullopt;
}

std::optional<QString> GetInternalPictureCaptureText(
    const QString &path, const QString &dictionaryKey, const QString &propertyKey)
{
    if (path.isEmpty())
        return std::nullopt;
    const QString prefix
        = QStringLiteral("GetInternalPictureCaptureDate for %1 with {%2} =>").arg(dictionaryKey, propertyKey);

    const exiv::Opened opened = exiv::openAndReadMetadata(path);
    if (!opened.image) {
        consoleLog(
            prefix + QStringLiteral(" GetInternalPictureCaptureDate => CGImageSourceCreateWithURL returned NIL"));
        return std::nullopt;
    }
    if (!opened.metadataRead) {
        consoleLog(prefix + QStringLiteral(" There is NO MetaData in this Image File..."));
        return std::nullopt;
    }
    Exiv2::Image *image = opened.image.get();
    const std::optional<Group> group = groupFor(dictionaryKey);
    if (!group || !hasSubDictionary(*image, dictionaryKey, *group)) {
        consoleLog(
            prefix + QStringLiteral(" This Image File Does NOT have any %1 Properties MetaData...").arg(dictionaryKey));
        return std::nullopt;
    }
    const std::optional<QString> text = propertyText(*image, *group, propertyKey);
    if (!text) {
        consoleLog(
            prefix + QStringLiteral(" GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????"));
        return std::nullopt;
    }
    if (text->startsWith(QLatin1Char(' '))) {
        consoleLog(prefix + QStringLiteral(" This File may NOT have a valid date/time field..."));
        return std::nullopt;
    }
    return text;
}

std::optional<QDateTime> GetInternalExifPictureCaptureDate(const QString &path)
{
    return GetInternalPictureCaptureDate(path, kImagePropertyExifDictionary, kImagePropertyExifDateTimeOriginal);
}

std::optional<QDateTime> GetInternalTiffPictureCaptureDate(const QString &path)
{
    return GetInternalPictureCaptureDate(path, kImagePropertyTIFFDictionary, kImagePropertyTIFFDateTime);
}

std::optional<QDateTime> GetInternalPNGPictureCaptureDate(const QString &path)
{
    return GetInternalPictureCaptureDate(path, kImagePropertyPNGDictionary, kImagePropertyExifDateTimeOriginal);
}

std::optional<QDateTime> GetInternalPictureCaptureDate(const QString &path)
{
    return GetInternalExifPictureCaptureDate(path);
}

std::optional<QDateTime> GetAndUpdateFileCreationDate(const QString &path, bool useCaptureDate, bool update)
{
    consoleLog(QStringLiteral("Inside GetAndUpdateFileCreationDate..."));
    if (useCaptureDate) {
        if (std::optional<QDateTime> captured = GetInternalExifPictureCaptureDate(path))
            return captured;
    }
    consoleLog(QStringLiteral(
        "GetAndUpdateFileCreationDate -> Image File did NOT contain MetaTag Data for Internal Creation Date..."));

    const std::optional<FileDates> dates = currentFileDates(path);
    if (!dates) {
        consoleLog(QStringLiteral("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????"));
        return std::nullopt;
    }

    std::optional<QDateTime> result;
    // A creation date cannot be set on Linux, so a requested repair always fails; the answer is the
    // modification date either way.
    if (dates->creation == zeroDate1904()) {
        const char *line = "fileCreationDate isEqualToDate: Jan 1, 1904\n";
        consoleLog(QString::fromLatin1(line));
        myPrintfDebug(line);
        if (update) {
            const char *failed = "FAILED in changing ZeroDate to FileModificationDate\n";
            consoleLog(QString::fromLatin1(failed));
            myPrintf(failed);
        }
        result = dates->modification;
    } else if (dates->creation == zeroDate1970()) {
        myPrintfDebug("fileCreationDate isEqualToDate: Jan 1, 1970\n");
        if (update) {
            const char *failed = "FAILED in changing ZeroDate2 to FileModificationDate\n";
            consoleLog(QString::fromLatin1(failed));
            myPrintf(failed);
        }
        result = dates->modification;
    } else {
        result = dates->creation;
    }
    if (result && result->isValid())
        consoleLog(QStringLiteral("Returning Creation Date of: [%1]").arg(describeDate(*result)));
    else
        result.reset();
    return result;
}

bool itemIsEarlierThan(const QString &path, const QDateTime &cutOff, const std::optional<QString> &dateKey)
{
    consoleLog(QStringLiteral("Inside itemIsEarlierThan..."));
    const std::optional<FileDates> dates = currentFileDates(path);
    const QString key = dateKey.value_or(NSFileModificationDate);
    if (!dates) {
        consoleLog(QStringLiteral("itemIsEarlierThan -> file may NOT exist anymore?????"));
        return false;
    }
    consoleLog(QStringLiteral("Inside itemIsEarlierThan => fileAttributes:\n%1").arg(describe(dates->attributes)));

    QDateTime date = dates->modification;
    if (key.compare(NSFileCreationDate, Qt::CaseInsensitive) == 0) {
        date = dates->creation;
        for (const QDateTime &zero : { zeroDate1904(), zeroDate1970() }) {
            if (date == zero) {
                consoleLog(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate isEqualToDate: [%1]")
                               .arg(describeDate(zero)));
                date = dates->modification;
                break;
            }
        }
    }
    consoleLog(QStringLiteral("NEED To Compare comparisonDate: %1 [%2]").arg(describeDate(date), key));
    consoleLog(QStringLiteral("     NEED to Compare minNSDate: %1").arg(describeDate(cutOff)));
    if (date.isValid() && cutOff.isValid() && date < cutOff) {
        consoleLog(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate is BEFORE minNSDate"));
        return true;
    }
    consoleLog(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate is AFTER minNSDate"));
    return false;
}

} // namespace vesk
