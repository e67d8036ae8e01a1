// vesk-sample-pictures: writes JPEG pictures with an EXIF capture date and, optionally, the
// annotation a preparing program embeds (e-mail addresses and the original path).
//   vesk-sample-pictures --out DIR [--count N] [--folders K] [--size BYTES] [--prefix NAME]
//                        [--emails a@x,b@y] [--date "2026:12:06 14:05:09"] [--no-annotation]
// Pictures are spread over K sub-folders named "Table 1".."Table K" (K=0: directly in DIR).
// --size pads each picture with random bytes after its image data up to that many bytes.

#include <QBuffer>
#include <QColor>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

QByteArray annotation(const QStringList &emails, const QString &originalPath)
{
    QByteArray xml
        = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
          "<plist version=\"1.0\">\n<dict>\n\t<key>OriginalPath</key>\n\t<string>";
    xml += originalPath.toHtmlEscaped().toUtf8();
    xml += "</string>\n\t<key>QX_emailsForUpload</key>\n\t<array>\n";
    for (const QString &email : emails)
        xml += "\t\t<string>" + email.toHtmlEscaped().toUtf8() + "</string>\n";
    xml += "\t</array>\n</dict>\n</plist>\n";
    return xml;
}

QByteArray drawJpeg(int index, std::mt19937 &random)
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(static_cast<int>(random() % 360), 120, 220));
    QPainter painter(&image);
    painter.setPen(Qt::black);
    QFont font = painter.font();
    font.setPointSize(28);
    painter.setFont(font);
    painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("Sample %1").arg(index));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("out"), QStringLiteral("Folder to write into."), QStringLiteral("DIR") });
    parser.addOption(
        { QStringLiteral("count"), QStringLiteral("Number of pictures."), QStringLiteral("N"), QStringLiteral("5") });
    parser.addOption({ QStringLiteral("folders"), QStringLiteral("Number of sub-folders."), QStringLiteral("K"),
        QStringLiteral("1") });
    parser.addOption({ QStringLiteral("size"), QStringLiteral("Approximate size of each picture."),
        QStringLiteral("BYTES"), QStringLiteral("0") });
    parser.addOption({ QStringLiteral("prefix"), QStringLiteral("File name prefix."), QStringLiteral("NAME"),
        QStringLiteral("IMG_") });
    parser.addOption({ QStringLiteral("emails"), QStringLiteral("Addresses to embed."), QStringLiteral("LIST"),
        QStringLiteral("guest@example.com,family@example.com") });
    parser.addOption(
        { QStringLiteral("date"), QStringLiteral("EXIF capture date."), QStringLiteral("DATE"), QString() });
    parser.addOption({ QStringLiteral("no-annotation"), QStringLiteral("Leave the annotation out.") });
    parser.addOption({ QStringLiteral("no-date"), QStringLiteral("Leave the capture date out.") });
    parser.process(app);
    if (!parser.isSet(QStringLiteral("out"))) {
        std::fputs("vesk-sample-pictures: --out DIR is required\n", stderr);
        return 2;
    }
    const QString out = parser.value(QStringLiteral("out"));
    const int count = parser.value(QStringLiteral("count")).toInt();
    const int folders = parser.value(QStringLiteral("folders")).toInt();
    const qint64 size = parser.value(QStringLiteral("size")).toLongLong();
    const QStringList emails = parser.value(QStringLiteral("emails")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    std::mt19937 random(12345);

    for (int i = 1; i <= count; ++i) {
        const QString folder = folders > 0 ? out + QStringLiteral("/Table %1").arg((i - 1) % folders + 1) : out;
        QDir().mkpath(folder);
        const QString path = folder
            + QStringLiteral("/%1%2.JPG").arg(parser.value(QStringLiteral("prefix"))).arg(i, 4, 10, QLatin1Char('0'));
        QByteArray jpeg = drawJpeg(i, random);
        try {
            auto image
                = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), jpeg.size());
            image->readMetadata();
            Exiv2::ExifData &exif = image->exifData();
            const QString date = parser.value(QStringLiteral("date")).isEmpty()
                ? QDateTime::currentDateTime().addSecs(-i).toString(QStringLiteral("yyyy:MM:dd HH:mm:ss"))
                : parser.value(QStringLiteral("date"));
            if (!parser.isSet(QStringLiteral("no-date"))) {
                exif["Exif.Photo.DateTimeOriginal"] = date.toStdString();
                exif["Exif.Image.DateTime"] = date.toStdString();
            }
            if (!parser.isSet(QStringLiteral("no-annotation")))
                exif["Exif.Photo.UserComment"] = std::string("charset=Ascii ")
                    + annotation(emails,
                        QStringLiteral("/Volumes/Card/DCIM/100CANON/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')))
                          .toStdString();
            image->writeMetadata();
            Exiv2::BasicIo &io = image->io();
            io.seek(0, Exiv2::BasicIo::beg);
            jpeg = QByteArray(reinterpret_cast<const char *>(io.mmap()), static_cast<qsizetype>(io.size()));
            io.munmap();
        } catch (const Exiv2::AnyError &error) {
            std::fprintf(stderr, "vesk-sample-pictures: %s\n", error.what());
            return 1;
        }
        if (size > jpeg.size()) {
            // Pad after the end of the image, where decoders and metadata readers never look, like
            // the bulk of a camera's picture data.
            const qsizetype start = jpeg.size();
            jpeg.resize(size);
            for (qsizetype k = start; k < size; k += 4) {
                const quint32 word = random();
                std::memcpy(jpeg.data() + k, &word, static_cast<size_t>(std::min<qsizetype>(4, size - k)));
            }
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size()) {
            std::fprintf(stderr, "vesk-sample-pictures: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
