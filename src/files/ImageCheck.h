#pragma once
// Whether a file holds a picture, judged from its content and never from its name.

#include <QString>

namespace vesk {

// True when the file's first bytes are those of a picture format that exiv2 or Qt's image readers
// know; no full decode. An absent (empty) path is reported and answers false. Any thread.
bool IsValidImageObject(const QString &objectPath);

} // namespace vesk
