#pragma once
// exiv2 as the housekeeping uses it: set up once per process (its log routed to the console, the XMP
// parser initialised before any thread reads a picture), pictures opened with every exception caught.
// For the sources of files/ only.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#pragma GCC diagnostic pop

#include <QString>

#include <memory>

namespace vesk::exiv {

// Idempotent and thread-safe; every function below calls it.
void prepare();

// Opens the picture at the path, or none when it cannot be opened or is of no type exiv2 knows; the
// reason goes to *error.
std::unique_ptr<Exiv2::Image> open(const QString &path, QString *error = nullptr);

// Reads the picture's metadata; false (reason in *error) when the metadata is unreadable.
bool readMetadata(Exiv2::Image &image, QString *error = nullptr);

// A picture opened and its metadata read, or how far that got.
struct Opened {
    std::shared_ptr<Exiv2::Image> image; // null when it could not be opened
    bool metadataRead = false;
};

// open() and readMetadata() in one, remembering the last picture read on the calling thread: the
// scan asks one picture for its capture date and then for its annotation, and reads it once. A
// file that changed since (size, times or inode) is read again.
Opened openAndReadMetadata(const QString &path);

// The picture's type from its first bytes (Exiv2::ImageType::none when unknown or unreadable).
int typeOfContent(const QString &path);

} // namespace vesk::exiv
