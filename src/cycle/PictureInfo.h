#pragma once
// What the scan reads from a picture for its upload record.

#include <QDateTime>
#include <QString>

#include <optional>

namespace vesk {

struct PictureAnnotation {
    std::optional<QString> emails; // up to four addresses joined by ","
    std::optional<QString> originalPath; // percent-escaped
};

// The capture date embedded in the picture, else the file's date; none when the file is gone.
std::optional<QDateTime> pictureDate(const QString &path);
PictureAnnotation pictureAnnotation(const QString &path);

} // namespace vesk
