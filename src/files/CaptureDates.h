#pragma once
// Picture dates: the capture date stored in a picture's metadata, the file's creation date with the
// two zero dates treated as missing, and the test of a file's date against a cut-off. Free functions
// without state, safe on any thread (the scan worker and the purge thread use them at once).

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace vesk {

// Keys of the metadata sub-dictionaries and of their date properties.
inline const QString kImagePropertyExifDictionary = QStringLiteral("{Exif}");
inline const QString kImagePropertyTIFFDictionary = QStringLiteral("{TIFF}");
inline const QString kImagePropertyPNGDictionary = QStringLiteral("{PNG}");
inline const QString kImagePropertyGPSDictionary = QStringLiteral("{GPS}");
inline const QString kImagePropertyExifDateTimeOriginal = QStringLiteral("DateTimeOriginal");
inline const QString kImagePropertyTIFFDateTime = QStringLiteral("DateTime");

// Names of the file-date attributes.
inline const QString NSFileCreationDate = QStringLiteral("NSFileCreationDate");
inline const QString NSFileModificationDate = QStringLiteral("NSFileModificationDate");

// The capture date under propertyKey of the sub-dictionary dictionaryKey ("{Exif}", "{TIFF}", "{PNG}",
// "{GPS}"), or none. The stored clock time is read as local time on its own date, so formatting the
// result in local time gives back the stored text whatever the daylight-saving offset of today.
std::optional<QDateTime> GetInternalPictureCaptureDate(
    const QString &path, const QString &dictionaryKey, const QString &propertyKey);
std::optional<QDateTime> GetInternalExifPictureCaptureDate(const QString &path);
std::optional<QDateTime> GetInternalTiffPictureCaptureDate(const QString &path);
std::optional<QDateTime> GetInternalPNGPictureCaptureDate(const QString &path);
std::optional<QDateTime> GetInternalPictureCaptureDate(const QString &path);
// The capture-date text under those keys as the picture stores it ("YYYY:MM:DD HH:MM:SS"), or none,
// with the same console lines; the date functions above read it.
std::optional<QString> GetInternalPictureCaptureText(
    const QString &path, const QString &dictionaryKey, const QString &propertyKey);

// The picture's date: with useCaptureDate its EXIF capture date when it has one, else the file's
// creation date, or its modification date when the creation date is a zero date. A creation date
// cannot be set on Linux: with update the repair is reported as failed and the modification date is
// still the answer. None when the file is gone.
std::optional<QDateTime> GetAndUpdateFileCreationDate(const QString &path, bool useCaptureDate, bool update);

// Whether the file's date (dateKey NSFileCreationDate, compared without case, or else the
// modification date) lies strictly before cutOff. False when the file is gone.
bool itemIsEarlierThan(const QString &path, const QDateTime &cutOff, const std::optional<QString> &dateKey);

// The clock time of a capture-date text "YYYY:MM:DD HH:MM:SS" as local time on its own date.
// A time that the local zone skips (the hour of the change to summer time) is read with the offset in
// force just before the change. None for a text that does not parse.
std::optional<QDateTime> captureDateFromText(const QString &text);
// The same text's clock time as "yyyy-MM-dd HH:mm:ss", whatever the local zone does on that date
// (its skipped hour included). None for a text that does not parse.
std::optional<QString> captureClockFromText(const QString &text);

// The two instants that count as "no creation date": 1904-01-01 and 1970-01-01 00:00:00 UTC.
QDateTime zeroDate1904();
QDateTime zeroDate1970();

// A file's dates, a symbolic link followed to its target. The creation date is the birth time where
// the file system keeps one, else the modification date. attributes holds what the console shows.
struct FileDates {
    QDateTime creation;
    QDateTime modification;
    QVariantMap attributes;
};
std::optional<FileDates> fileDatesAtPath(const QString &path);

// Birth times cannot be set on Linux; tests give the date functions other file dates through this.
// An empty function restores the real reader.
using FileDatesSource = std::function<std::optional<FileDates>(const QString &path)>;
void setFileDatesSourceForTesting(FileDatesSource source);

} // namespace vesk
