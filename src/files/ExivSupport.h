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

// The picture's type from its first bytes (Exiv2::ImageType::none when unknown or unreadable).
int typeOfContent(const QString &path);

} // namespace vesk::exiv
