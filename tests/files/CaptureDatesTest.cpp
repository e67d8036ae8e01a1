// Capture dates read from real pictures, the zero creation dates and the cut-off test.

#include "files/CaptureDates.h"
#include "FilesTestSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>

using namespace vesk;
using namespace vesk::test;

namespace {

const QString kExifFormat = QStringLiteral("yyyy:MM:dd HH:mm:ss");

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone)
        : fSaved(qgetenv("TZ"))
        , fHadValue(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (fHadValue)
            qputenv("TZ", fSaved);
        else
            qunsetenv("TZ");
        ::tzset();
    }

private:
    QByteArray fSaved;
    bool fHadValue;
};

// Replaces the file dates that the functions see, for the life of the object.
class FakeFileDates {
public:
    FakeFileDates(QDateTime creation, QDateTime modification)
    {
        setFileDatesSourceForTesting([creation, modification](const QString &path) -> std::optional<FileDates> {
            if (!QFileInfo::exists(path))
                return std::nullopt;
            FileDates dates;
            dates.creation = creation;
            dates.modification = modification;
            dates.attributes.insert(NSFileCreationDate, creation);
            dates.attributes.insert(NSFileModificationDate, modification);
            return dates;
        });
    }
    ~FakeFileDates() { setFileDatesSourceForTesting({}); }
};

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

class CaptureDates : public ::testing::Test {
protected:
    QString picture(const QString &name) { return fDir.path() + QLatin1Char('/') + name; }
    QString jpegWith(const QString &name, const std::vector<std::pair<std::string, std::string>> &entries)
    {
        const QString path = picture(name);
        EXPECT_TRUE(makeJpeg(path));
        if (!entries.empty()) {
            EXPECT_TRUE(writeExif(path, entries));
        }
        return path;
    }
    QTemporaryDir fDir;
    ConsoleRecorder fConsole;
};

} // namespace

// ---- Reading the capture date --------------------------------------------------------------------

TEST_F(CaptureDates, ExifDateTimeOriginalIsTheStoredClockTime)
{
    const QString path = jpegWith(QStringLiteral("a.jpg"),
        { { "Exif.Photo.DateTimeOriginal", "2009:11:17 14:03:22" }, { "Exif.Image.DateTime", "2011:01:01 00:00:00" } });
    const std::optional<QDateTime> date = GetInternalExifPictureCaptureDate(path);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->toLocalTime().toString(kExifFormat), QStringLiteral("2009:11:17 14:03:22"));
    EXPECT_EQ(GetInternalPictureCaptureDate(path), date);
    // The scan's call takes the EXIF date and looks no further.
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, true, false), date);
    EXPECT_FALSE(fConsole.contains(QStringLiteral("did NOT contain MetaTag Data")));
}

TEST_F(CaptureDates, TiffDateIsReadOnlyByItsOwnForm)
{
    const QString path = jpegWith(QStringLiteral("tiff.jpg"), { { "Exif.Image.DateTime", "2010:02:03 04:05:06" } });
    const std::optional<QDateTime> tiff = GetInternalTiffPictureCaptureDate(path);
    ASSERT_TRUE(tiff);
    EXPECT_EQ(tiff->toLocalTime().toString(kExifFormat), QStringLiteral("2010:02:03 04:05:06"));

    // The picture's date never falls back to the TIFF date: without DateTimeOriginal it is the file date.
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(path));
    const std::optional<QDateTime> picked = GetAndUpdateFileCreationDate(path, true, false);
    ASSERT_TRUE(picked);
    EXPECT_NE(*picked, *tiff);
    EXPECT_EQ(*picked, fileDatesAtPath(path)->creation);
}

TEST_F(CaptureDates, MissingPropertyAndMissingSubDictionaryAreTold)
{
    const QString onlyTiff = jpegWith(QStringLiteral("t.jpg"), { { "Exif.Image.DateTime", "2010:02:03 04:05:06" } });
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(onlyTiff));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("GetInternalPictureCaptureDate for {Exif} with {DateTimeOriginal} => "
                                                 "This Image File Does NOT have any {Exif} Properties MetaData...")));

    const QString otherExif = jpegWith(QStringLiteral("e.jpg"), { { "Exif.Photo.ExposureTime", "1/60" } });
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(otherExif));
    EXPECT_TRUE(
        fConsole.contains(QStringLiteral("GetInternalPictureCaptureDate for {Exif} with {DateTimeOriginal} => "
                                         "GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????")));
}

TEST_F(CaptureDates, BlankDateGivesNoneWithItsLine)
{
    const QString path
        = jpegWith(QStringLiteral("blank.jpg"), { { "Exif.Photo.DateTimeOriginal", "    :  :     :  :  " } });
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(path));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("GetInternalPictureCaptureDate for {Exif} with {DateTimeOriginal} => "
                                                 "This File may NOT have a valid date/time field...")));
    // The upload still gets a date: the file's.
    EXPECT_TRUE(GetAndUpdateFileCreationDate(path, true, false));
}

TEST_F(CaptureDates, UnparsableDatesGiveNone)
{
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(
        jpegWith(QStringLiteral("nospace.jpg"), { { "Exif.Photo.DateTimeOriginal", "2009:11:17T14:03:22" } })));
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(
        jpegWith(QStringLiteral("month13.jpg"), { { "Exif.Photo.DateTimeOriginal", "2009:13:17 14:03:22" } })));
    EXPECT_FALSE(captureDateFromText(QStringLiteral("2009:11:17 25:03:22")));
    EXPECT_FALSE(captureDateFromText(QString()));
}

TEST_F(CaptureDates, PictureWithoutExifGivesTheFileDate)
{
    const QString path = jpegWith(QStringLiteral("plain.jpg"), {});
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(path));
    const std::optional<QDateTime> date = GetAndUpdateFileCreationDate(path, true, false);
    ASSERT_TRUE(date);
    EXPECT_EQ(*date, fileDatesAtPath(path)->creation);
    EXPECT_TRUE(fConsole.contains(QStringLiteral(
        "GetAndUpdateFileCreationDate -> Image File did NOT contain MetaTag Data for Internal Creation Date...")));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("Returning Creation Date of: [")));
}

TEST_F(CaptureDates, PngCarriesItsExifDate)
{
    const QString png = picture(QStringLiteral("p.png"));
    ASSERT_TRUE(makePng(png));
    ASSERT_TRUE(writeExif(png, { { "Exif.Photo.DateTimeOriginal", "2012:06:30 23:59:58" } }));
    const std::optional<QDateTime> date = GetInternalPNGPictureCaptureDate(png);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->toLocalTime().toString(kExifFormat), QStringLiteral("2012:06:30 23:59:58"));

    const QString jpeg
        = jpegWith(QStringLiteral("j.jpg"), { { "Exif.Photo.DateTimeOriginal", "2012:06:30 23:59:58" } });
    EXPECT_FALSE(GetInternalPNGPictureCaptureDate(jpeg));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("This Image File Does NOT have any {PNG} Properties MetaData...")));
}

TEST_F(CaptureDates, FilesThatAreNoPicturesNeverThrow)
{
    const QString text = picture(QStringLiteral("notes.jpg"));
    ASSERT_TRUE(writeFile(text, "just some words, not a picture"));
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(text));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("CGImageSourceCreateWithURL returned NIL")));

    // A JPEG header followed by rubbish.
    const QString broken = picture(QStringLiteral("broken.jpg"));
    ASSERT_TRUE(writeFile(broken, QByteArray("\xFF\xD8\xFF\xE1\x00\x10garbagegarbage", 20) + QByteArray(64, '\x07')));
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(broken));
    EXPECT_TRUE(GetAndUpdateFileCreationDate(broken, true, false));

    const QString pipe = picture(QStringLiteral("pipe.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(pipe));

    EXPECT_FALSE(GetInternalExifPictureCaptureDate(QString()));
    EXPECT_FALSE(GetInternalExifPictureCaptureDate(picture(QStringLiteral("missing.jpg"))));
}

// ---- Daylight saving -----------------------------------------------------------------------------

TEST_F(CaptureDates, ClockTimeKeepsTheOffsetOfItsOwnDate)
{
    const QString winter
        = jpegWith(QStringLiteral("winter.jpg"), { { "Exif.Photo.DateTimeOriginal", "2009:01:15 14:03:22" } });
    const QString summer
        = jpegWith(QStringLiteral("summer.jpg"), { { "Exif.Photo.DateTimeOriginal", "2009:07:15 14:03:22" } });

    ASSERT_TRUE(QFileInfo::exists(QStringLiteral("/usr/share/zoneinfo/America/New_York"))) << "tzdata is missing";
    ScopedTimeZone zone("America/New_York");
    const std::optional<QDateTime> w = GetInternalExifPictureCaptureDate(winter);
    const std::optional<QDateTime> s = GetInternalExifPictureCaptureDate(summer);
    ASSERT_TRUE(w && s);
    EXPECT_EQ(w->toLocalTime().toString(kExifFormat), QStringLiteral("2009:01:15 14:03:22"));
    EXPECT_EQ(s->toLocalTime().toString(kExifFormat), QStringLiteral("2009:07:15 14:03:22"));
    EXPECT_EQ(w->toUTC(), utc(2009, 1, 15, 19, 3, 22));
    EXPECT_EQ(s->toUTC(), utc(2009, 7, 15, 18, 3, 22));
}

TEST_F(CaptureDates, ClockTimesAroundTheChangesStillGiveADate)
{
    ScopedTimeZone zone("America/New_York");
    // 02:30 does not exist on 2009-03-08 there: read with the winter offset.
    const std::optional<QDateTime> skipped = captureDateFromText(QStringLiteral("2009:03:08 02:30:00"));
    ASSERT_TRUE(skipped && skipped->isValid());
    EXPECT_EQ(skipped->toUTC(), utc(2009, 3, 8, 7, 30));
    // 01:30 exists twice on 2009-11-01; either reading shows the stored clock time.
    const std::optional<QDateTime> twice = captureDateFromText(QStringLiteral("2009:11:01 01:30:00"));
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->toLocalTime().toString(kExifFormat), QStringLiteral("2009:11:01 01:30:00"));
}

// ---- Zero creation dates -------------------------------------------------------------------------

TEST_F(CaptureDates, ZeroCreationDatesGiveTheModificationDate)
{
    const QString path = jpegWith(QStringLiteral("z.jpg"), {});
    const QDateTime modified = utc(2015, 5, 5, 5, 5, 5);

    {
        FakeFileDates dates(zeroDate1904(), modified);
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, false), modified);
        EXPECT_TRUE(fConsole.contains(QStringLiteral("fileCreationDate isEqualToDate: Jan 1, 1904")));
        EXPECT_FALSE(fConsole.contains(QStringLiteral("FAILED in changing")));
        // Linux cannot set a creation date: the repair is reported as failed, the answer is the same.
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, true), modified);
        EXPECT_TRUE(fConsole.contains(QStringLiteral("FAILED in changing ZeroDate to FileModificationDate")));
    }
    fConsole.clear();
    {
        FakeFileDates dates(zeroDate1970(), modified);
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, false), modified);
        EXPECT_FALSE(fConsole.contains(QStringLiteral("isEqualToDate")));
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, true), modified);
        EXPECT_TRUE(fConsole.contains(QStringLiteral("FAILED in changing ZeroDate2 to FileModificationDate")));
    }
    {
        const QDateTime almostZero = zeroDate1970().addSecs(1);
        FakeFileDates dates(almostZero, modified);
        EXPECT_EQ(GetAndUpdateFileCreationDate(path, false, true), almostZero);
    }
}

TEST_F(CaptureDates, CaptureDateWinsOverAZeroCreationDate)
{
    const QString path
        = jpegWith(QStringLiteral("c.jpg"), { { "Exif.Photo.DateTimeOriginal", "2009:11:17 14:03:22" } });
    FakeFileDates dates(zeroDate1904(), utc(2015, 5, 5));
    const std::optional<QDateTime> date = GetAndUpdateFileCreationDate(path, true, true);
    ASSERT_TRUE(date);
    EXPECT_EQ(date->toLocalTime().toString(kExifFormat), QStringLiteral("2009:11:17 14:03:22"));
    EXPECT_FALSE(fConsole.contains(QStringLiteral("Jan 1, 1904")));
    EXPECT_FALSE(fConsole.contains(QStringLiteral("FAILED in changing")));
}

TEST_F(CaptureDates, VanishedFileHasNoDate)
{
    EXPECT_FALSE(GetAndUpdateFileCreationDate(picture(QStringLiteral("gone.jpg")), true, false));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????")));
}

// ---- Cut-off test --------------------------------------------------------------------------------

TEST_F(CaptureDates, CutOffIsStrict)
{
    const QString path = picture(QStringLiteral("folder"));
    ASSERT_TRUE(QDir().mkpath(path));
    const QDateTime modified = utc(2020, 4, 1, 12, 0, 0);
    ASSERT_TRUE(setFileTimes(path, modified));

    EXPECT_FALSE(itemIsEarlierThan(path, modified, NSFileModificationDate));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate is AFTER minNSDate")));
    EXPECT_TRUE(itemIsEarlierThan(path, modified.addSecs(1), NSFileModificationDate));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate is BEFORE minNSDate")));
    EXPECT_FALSE(itemIsEarlierThan(path, modified.addSecs(-1), std::nullopt));
    EXPECT_TRUE(itemIsEarlierThan(path, modified.addSecs(1), std::nullopt));
}

TEST_F(CaptureDates, DateKeyChoosesTheDate)
{
    const QString path = jpegWith(QStringLiteral("k.jpg"), {});
    const QDateTime created = utc(2000, 1, 1);
    const QDateTime modified = utc(2020, 1, 1);
    const QDateTime cutOff = utc(2010, 1, 1);
    FakeFileDates dates(created, modified);
    EXPECT_TRUE(itemIsEarlierThan(path, cutOff, QStringLiteral("nsfilecreationdate")));
    EXPECT_FALSE(itemIsEarlierThan(path, cutOff, QStringLiteral("NSFileCreationDat")));
    EXPECT_FALSE(itemIsEarlierThan(path, cutOff, NSFileModificationDate));
}

TEST_F(CaptureDates, ZeroCreationDateIsReplacedInTheCutOffTest)
{
    const QString path = jpegWith(QStringLiteral("zz.jpg"), {});
    FakeFileDates dates(zeroDate1970(), utc(2020, 1, 1));
    EXPECT_FALSE(itemIsEarlierThan(path, utc(2010, 1, 1), NSFileCreationDate));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("Inside itemIsEarlierThan => fileCreationDate isEqualToDate: [")));
}

TEST_F(CaptureDates, VanishedFileIsNotEarlier)
{
    EXPECT_FALSE(itemIsEarlierThan(picture(QStringLiteral("gone")), utc(2100, 1, 1), std::nullopt));
    EXPECT_TRUE(fConsole.contains(QStringLiteral("itemIsEarlierThan -> file may NOT exist anymore?????")));
}
