#pragma once
// Helpers for the housekeeping tests: small real pictures with metadata written by exiv2, file dates.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

// A small real picture made with Qt.
bool makeJpeg(const QString &path);
bool makePng(const QString &path);

// Writes EXIF entries ("Exif.Photo.DateTimeOriginal" = "2009:11:17 14:03:22") into the picture.
bool writeExif(const QString &path, const std::vector<std::pair<std::string, std::string>> &entries);
// Writes the EXIF user comment; comment is exiv2's form, e.g. "charset=Unicode <plist>...".
bool writeUserComment(const QString &path, const std::string &comment);

// Sets a file's access and modification times (a link is followed).
bool setFileTimes(const QString &path, const QDateTime &modification);

} // namespace vesk::test
