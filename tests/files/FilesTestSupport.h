#pragma once
// Helpers for the housekeeping tests: small real pictures with metadata written by exiv2, and file
// dates (creation dates cannot be set on Linux: the date functions are given them).

#include "FakeOutlets.h" // the fakes that lived here
#include "StderrCapture.h"
#include "files/CaptureDates.h"

#include <QDateTime>
#include <QString>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

using StandardErrorCapture = StderrCapture; // its former name

// A small real picture made with Qt, with the EXIF entries given ("Exif.Photo.DateTimeOriginal" =
// "2009:11:17 14:03:22") written by exiv2.
bool makeJpeg(const QString &path, const std::vector<std::pair<std::string, std::string>> &exif = {});
bool writeExif(const QString &path, const std::vector<std::pair<std::string, std::string>> &entries);
// Writes the EXIF user comment; comment is exiv2's form, e.g. "charset=Unicode <plist>...".
bool writeUserComment(const QString &path, const std::string &comment);

// Sets a file's access and modification times (a link is followed).
bool setFileTimes(const QString &path, const QDateTime &modification);

// While it lives, the date functions see the dates set here for the named files (or for every file,
// with an empty path) and the real dates of every other file.
class FileDatesOverride {
public:
    FileDatesOverride();
    ~FileDatesOverride();
    void set(const QString &path, const QDateTime &creation, const QDateTime &modification);

private:
    std::map<QString, std::pair<QDateTime, QDateTime>> fDates;
};

} // namespace vesk::test
