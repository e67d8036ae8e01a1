#pragma once
// The annotation that the preparing program stores in a picture's EXIF user comment: an XML property
// list whose root is a dictionary, with the entries "QX_emailsForUpload" (array of strings) and
// "OriginalPath" (string). Free functions without state; they never throw. Any thread.

#include <QString>

#include <optional>

namespace vesk {

// What the upload record takes from the annotation: "edEmails" and "edOriginalPath".
struct PictureAnnotation {
    std::optional<QString> emails; // up to four addresses joined by "," without blanks
    std::optional<QString> originalPath; // percent-escaped in the Mac OS Roman encoding
};

// Reads the picture's EXIF user comment and derives both entries, writing the console lines that the
// scan shows. A picture without a user comment, one whose comment is no such property list, or a file
// that cannot be read as a picture gives neither entry.
PictureAnnotation readPictureAnnotation(const QString &path);

// The user comment's text without its 8-byte character-set prefix (UNICODE converted), or none.
std::optional<QString> readExifUserComment(const QString &path);

// Derives the entries from a user comment's text, with the same console lines.
PictureAnnotation parsePictureAnnotation(const QString &commentText);

// Percent-escapes a text for a URL in the Mac OS Roman encoding: A-Z a-z 0-9 and !$&'()*+,-./:;=?@_~#
// stay, every other byte of the encoded text becomes %XX (upper case). Decomposed accents are composed
// first. None when the text holds a character that Mac OS Roman cannot write.
std::optional<QString> percentEscapeMacRoman(const QString &text);

} // namespace vesk
