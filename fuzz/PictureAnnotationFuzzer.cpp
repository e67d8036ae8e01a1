// Fuzz target: the text of a picture's EXIF user comment, read as the annotation that the preparing
// program leaves there. Besides not crashing: the original path comes out percent-escaped, with only
// the characters a URL keeps.

#include "files/PictureAnnotation.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace vesk;

namespace {
bool isUpperHex(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

bool isEscapedUrlText(const QString &text)
{
    static const char kKept[] = "!$&'()*+,-./:;=?@_~#";
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            continue;
        if (c > 0 && c < 0x80 && std::strchr(kKept, static_cast<char>(c)))
            continue;
        if (c == '%' && i + 2 < text.size() && isUpperHex(text.at(i + 1)) && isUpperHex(text.at(i + 2))) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const PictureAnnotation annotation = parsePictureAnnotation(text);
    if (annotation.originalPath && !isEscapedUrlText(*annotation.originalPath))
        __builtin_trap();
    return 0;
}
