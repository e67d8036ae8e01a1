#pragma once
// What the scan takes from a picture's metadata: its EXIF capture date and the text of its EXIF user
// comment (the annotation). exiv2 can bring the process down on a hostile picture (a deep enough
// chain of CRW directories overflows its stack; no exception is thrown), so the reading happens in
// a helper process, vesk-picture-info, that takes such a crash with it: the picture then has no
// metadata and goes up like any other. Any thread; blocks while the helper runs.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace vesk {

struct PictureMetadata {
    std::optional<QDateTime> captureDate; // as GetInternalExifPictureCaptureDate gives it
    std::optional<QString> captureClock; // its clock time as stored, "yyyy-MM-dd HH:mm:ss"
    std::optional<QString> comment; // as readExifUserComment gives it
    bool operator==(const PictureMetadata &) const = default;
};

// Reads the picture's metadata in the helper, which gets at most limit to answer. Without a helper
// (it is not beside the program nor in VESK_LIBEXEC_DIR), reads it in this process.
PictureMetadata readPictureMetadata(const QString &path, std::chrono::milliseconds limit);
// The same for a picture already open: the helper gets the descriptor itself, so it reads that very
// file whatever happens to its path meanwhile. path only names it in log lines.
PictureMetadata readPictureMetadata(const QString &path, int fd, std::chrono::milliseconds limit);

// Starts the helper, when there is one, so that the first picture does not wait for it to start and
// load its libraries (tens of milliseconds). Any thread; does not wait for the helper.
void startPictureMetadataReader();

// Work for the calling thread while the helper reads a picture (on another core, as a rule), given
// the picture's descriptor: what the upload will need of the file and can have ready by then. Set it
// before the scan runs; an empty function sets none.
void setWhileMetadataIsRead(std::function<void(int fd)> work);

// The helper's work: the reading in this process. prepareMetadataReading sets up the EXIF library
// ahead of the first picture.
void prepareMetadataReading();
PictureMetadata readPictureMetadataInProcess(const QString &path);

// The helper's answer as it prints it, and back; none for an answer that is not complete.
QByteArray encodePictureMetadata(const PictureMetadata &metadata);
std::optional<PictureMetadata> decodePictureMetadata(const QByteArray &answer);

} // namespace vesk
