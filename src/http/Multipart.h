#pragma once
// The text around a picture in the upload request: the form fields before the picture and the
// closing boundary after it. Pure functions of the upload record, callable from any thread.

#include "cycle/NotificationCenter.h"

#include <QByteArray>
#include <QString>

namespace vesk {

// The boundary between the parts of the body.
inline constexpr char kMultipartBoundary[] = "0xKhTmLbOuNdArY";

// The boundary for a request that carries the picture read from fd (size bytes): kMultipartBoundary,
// unless the picture's bytes hold CR LF "--" and that boundary, which would end the picture's part
// early and leave the service with part of it; then kMultipartBoundary, "-" and 16 random hex
// digits that the picture does not hold. Reads the whole file with pread (its offset stays); any
// thread.
QByteArray boundaryForPicture(int fd, qint64 size);
// The same in two steps, so that the reading can be done ahead (while the picture's metadata is
// read): prepareBoundaryForPicture remembers the answer for the file as it is now; then
// boundaryForPreparedPicture gives that answer if it was for this very file, unchanged since
// (device, inode, size, modification and change times), else reads it afresh. An answer is used once.
void prepareBoundaryForPicture(int fd);
QByteArray boundaryForPreparedPicture(int fd, qint64 size);

// The value of the request's Content-Type header: "multipart/form-data; boundary=0xKhTmLbOuNdArY".
QByteArray multipartContentType(const QByteArray &boundary = kMultipartBoundary);

// Every byte of the body that comes before the picture's bytes: the opening empty line, the form
// fields in their fixed order (the e-mail and original-path parts only when the record has those
// entries; absent required entries count as empty texts), the Submit part and the header of the
// picture part up to its blank line. Texts are written as UTF-8, unchanged, except that a text
// holding CR LF "--" and the boundary gets its CR and LF written as %0D and %0A.
QByteArray multipartPrefix(const Info &record, const QByteArray &boundary = kMultipartBoundary);

// The closing bytes after the picture: CR LF, "--", the boundary, "--", CR LF.
QByteArray multipartSuffix(const QByteArray &boundary = kMultipartBoundary);

// "image/png" when the path's extension is png in any case, else "image/jpeg".
QString pictureContentType(const QString &path);

// The last component of a path ("/a/b/IMG_1.JPG" gives "IMG_1.JPG"; a trailing slash is ignored).
QString lastPathComponent(const QString &path);

// The file name as it goes into filename="...": '"', CR and LF become %22, %0D and %0A so that a
// name cannot end the parameter or the header line early. Everything else is kept.
QString dispositionFileName(const QString &path);

} // namespace vesk
