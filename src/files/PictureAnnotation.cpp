#include "files/PictureAnnotation.h"

#include "diag/Console.h"
#include "files/ExivSupport.h"
#include "prefs/PropertyList.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <cerrno>
#include <iconv.h>

namespace vesk {

namespace {

const QString kEmailsKey = QStringLiteral("QX_emailsForUpload");
const QString kOriginalPathKey = QStringLiteral("OriginalPath");
constexpr int kMaxEmails = 4;

// The text in Mac OS Roman, or none when a character has no form there.
std::optional<QByteArray> toMacRoman(const QString &text)
{
    QByteArray input = text.toUtf8();
    if (input.isEmpty())
        return QByteArray();
    const iconv_t converter = ::iconv_open("MACINTOSH", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        consoleLog(QStringLiteral("The Mac OS Roman converter is not available on this system"));
        return std::nullopt;
    }
    // Every character is one byte in Mac OS Roman and at least one in UTF-8.
    QByteArray output(input.size() + 16, Qt::Uninitialized);
    char *in = input.data();
    size_t inLeft = static_cast<size_t>(input.size());
    char *out = output.data();
    size_t outLeft = static_cast<size_t>(output.size());
    const size_t converted = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    const bool ok = converted != static_cast<size_t>(-1) && inLeft == 0
        && ::iconv(converter, nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1);
    ::iconv_close(converter);
    if (!ok)
        return std::nullopt;
    output.truncate(output.size() - static_cast<qsizetype>(outLeft));
    return output;
}

bool staysUnescaped(unsigned char byte)
{
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9'))
        return true;
    static const char kLegal[] = "!$&'()*+,-./:;=?@_~#";
    for (const char *c = kLegal; *c; ++c) {
        if (byte == static_cast<unsigned char>(*c))
            return true;
    }
    return false;
}

std::optional<QString> emailsFrom(const QVariant &value)
{
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    const QVariantList list = value.toList();
    if (list.isEmpty())
        return std::nullopt;
    QString joined = list.at(0).toString();
    for (qsizetype i = 1; i < list.size() && i < kMaxEmails; ++i)
        joined += QLatin1Char(',') + list.at(i).toString();
    return joined;
}

} // namespace

std::optional<QString> percentEscapeMacRoman(const QString &text)
{
    const std::optional<QByteArray> encoded = toMacRoman(text.normalized(QString::NormalizationForm_C));
    if (!encoded)
        return std::nullopt;
    static const char kHex[] = "0123456789ABCDEF";
    QString escaped;
    escaped.reserve(encoded->size() * 3);
    for (const char c : *encoded) {
        const auto byte = static_cast<unsigned char>(c);
        if (staysUnescaped(byte)) {
            escaped += QLatin1Char(c);
        } else {
            escaped += QLatin1Char('%');
            escaped += QLatin1Char(kHex[byte >> 4]);
            escaped += QLatin1Char(kHex[byte & 0x0F]);
        }
    }
    return escaped;
}

std::optional<QString> readExifUserComment(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    const exiv::Opened opened = exiv::openAndReadMetadata(path);
    Exiv2::Image *image = opened.image.get();
    if (!image || !opened.metadataRead)
        return std::nullopt;
    try {
        Exiv2::ExifData &exif = image->exifData();
        const auto found = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
        if (found == exif.end())
            return std::nullopt;
        std::string text;
        if (const auto *comment = dynamic_cast<const Exiv2::CommentValue *>(&found->value()))
            text = comment->comment();
        else
            text = found->toString();
        while (!text.empty() && (text.back() == '\0'))
            text.pop_back();
        if (text.empty())
            return std::nullopt;
        return QString::fromUtf8(text);
    } catch (...) {
        return std::nullopt;
    }
}

PictureAnnotation parsePictureAnnotation(const QString &commentText)
{
    PictureAnnotation annotation;
    const std::optional<QVariant> list = plist::parse(commentText.toUtf8());
    QVariantMap root;
    if (list && list->typeId() == QMetaType::QVariantMap)
        root = list->toMap();

    annotation.emails = emailsFrom(root.value(kEmailsKey));
    if (annotation.emails)
        consoleLog(QStringLiteral("READ IN the List Of Emails: [%1]").arg(*annotation.emails));

    const QVariant original = root.value(kOriginalPathKey);
    if (original.typeId() == QMetaType::QString) {
        annotation.originalPath = percentEscapeMacRoman(original.toString());
        if (annotation.originalPath)
            consoleLog(QStringLiteral("edOriginalPath: [%1]").arg(*annotation.originalPath));
        else
            consoleLog(QStringLiteral("OriginalPath has characters that Mac OS Roman cannot write, left out: [%1]")
                           .arg(original.toString()));
    } else {
        consoleLog(QStringLiteral("NO Original Path in this image file"));
    }
    return annotation;
}

PictureAnnotation readPictureAnnotation(const QString &path)
{
    const std::optional<QString> comment = readExifUserComment(path);
    if (!comment)
        return {};
    return parsePictureAnnotation(*comment);
}

} // namespace vesk
