// Capture dates read from real pictures, the zero creation dates and the cut-off test.

#include "FilesTestSupport.h"
#include "TestSupport.h"

#include "files/CaptureDates.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>

using namespace vesk;
using namespace vesk::test;

namespace {

const QString kExifFormat = QStringLiteral("yyyy:MM:dd HH:mm:ss");

// The zone of the test's clock, for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone)
        : fSaved(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (fSaved.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", fSaved);
        ::tzset();
    }

private:
    QByteArray fSaved;
};

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

} // namespace

TEST(CaptureDates, TheStoredClockTimeInThePicturesOwnZone)
{
    // Read in a zone with summer time: the clock text comes back as it was stored, on either side.
    ScopedTimeZone zone("America/New_York");
    QTemporaryDir dir;
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> exif;
        const char *date; // nullptr: no capture date
        QDateTime instant; // when known
    };
    const Case cases[] = {
        { "winter", { { "Exif.Photo.DateTimeOriginal", "2009:01:15 14:03:22" } }, "2009:01:15 14:03:22",
            utc(2009, 1, 15, 19, 3, 22) },
        { "summer, with a TIFF date beside it",
            { { "Exif.Photo.DateTimeOriginal", "2009:07:15 14:03:22" },
                { "Exif.Image.DateTime", "2011:01:01 00:00:00" } },
            "2009:07:15 14:03:22", utc(2009, 7, 15, 18, 3, 22) },
        { "only a TIFF date", { { "Exif.Image.DateTime", "2010:02:03 04:05:06" } }, nullptr, {} },
        { "blank", { { "Exif.Photo.DateTimeOriginal", "    :  :     :  :  " } }, nullptr, {} },
        { "month 13", { { "Exif.Photo.DateTimeOriginal", "2009:13:17 14:03:22" } }, nullptr, {} },
        { "no EXIF at all", {}, nullptr, {} },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = dir.filePath(QString::fromUtf8(c.what) + QStringLiteral(".jpg"));
        ASSERT_TRUE(makeJpeg(path, c.exif));
        const std::optional<QDateTime> date = GetInternalExifPictureCaptureDate(path);
        ASSERT_EQ(date.has_value(), c.date != nullptr);
        // The picture's date: the capture date, else the file's own (never the TIFF date).
        const std::optional<QDateTime> picked = GetAndUpdateFileCreationDate(path, true, false);
        ASSERT_TRUE(picked);
        if (!date) {
            EXPECT_EQ(*picked, fileDatesAtPath(path)->creation);
            continue;
        }
        EXPECT_EQ(date->toLocalTime().toString(kExifFormat), QLatin1String(c.date));
        EXPECT_EQ(date->toUTC(), c.instant);
        EXPECT_EQ(*picked, *date);
    }
    // The hour skipped by the change to summer time reads with the winter offset; the doubled one
    // shows its clock time either way.
    EXPECT_EQ(captureDateFromText(QStringLiteral("2009:03:08 02:30:00"))->toUTC(), utc(2009, 3, 8, 7, 30));
    EXPECT_EQ(captureDateFromText(QStringLiteral("2009:11:01 01:30:00"))->toLocalTime().toString(kExifFormat),
        QStringLiteral("2009:11:01 01:30:00"));
}
