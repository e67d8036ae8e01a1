#include "http/Multipart.h"

#include "cycle/CycleNames.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

void appendSeparator(QByteArray &body, const QByteArray &boundary)
{
    body += "\r\n--";
    body += boundary;
    body += "\r\n";
}

void appendField(QByteArray &body, const QByteArray &boundary, const char *name, const QByteArray &value)
{
    appendSeparator(body, boundary);
    body += "Content-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    // A text holding the delimiter line (a file name can) would end its part early and take the
    // picture out of the request: its line breaks are written the way the file name's are.
    if (value.contains(QByteArray("\r\n--" + boundary))) {
        QByteArray escaped = value;
        escaped.replace('\r', "%0D");
        escaped.replace('\n', "%0A");
        body += escaped;
    } else {
        body += value;
    }
}

// Whether the file's bytes hold the text. A file that cannot be read counts as not holding it:
// its upload fails on the same read. The file is read in pieces through one buffer per thread, kept
// from one picture to the next: this runs between the answer to one upload and the next request,
// and a fresh buffer would cost a page fault for every few kilobytes read.
bool fileHolds(int fd, qint64 size, const QByteArray &text)
{
    constexpr qsizetype kChunk = qsizetype(256) << 10;
    thread_local QByteArray buffer;
    if (buffer.size() < kChunk + text.size())
        buffer.resize(kChunk + text.size());
    char *const data = buffer.data();
    qsizetype kept = 0; // the end of the previous piece, in case the text straddles two
    qint64 offset = 0;
    while (offset < size) {
        const ssize_t got = ::pread(fd, data + kept, size_t(std::min<qint64>(kChunk, size - offset)), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        offset += got;
        const qsizetype filled = kept + got;
        if (::memmem(data, size_t(filled), text.constData(), size_t(text.size())))
            return true;
        kept = std::min<qsizetype>(text.size() - 1, filled);
        std::memmove(data, data + filled - kept, size_t(kept));
    }
    return false;
}

QByteArray text(const Info &record, const QString &key)
{
    return record.value(key).toString().toUtf8();
}

} // namespace

QByteArray boundaryForPicture(int fd, qint64 size)
{
    QByteArray boundary(kMultipartBoundary);
    for (int attempt = 0; attempt < 4 && fileHolds(fd, size, QByteArray("\r\n--" + boundary)); ++attempt) {
        boundary = QByteArray(kMultipartBoundary) + '-'
            + QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
    }
    return boundary;
}

namespace {
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    timespec modified {}, changed {};
    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

std::optional<FileIdentity> identify(int fd)
{
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return FileIdentity { info.st_dev, info.st_ino, qint64(info.st_size), info.st_mtim, info.st_ctim };
}

std::mutex gPreparedLock;
std::optional<std::pair<FileIdentity, QByteArray>> gPrepared;
} // namespace

void prepareBoundaryForPicture(int fd)
{
    const std::optional<FileIdentity> file = identify(fd);
    if (!file)
        return;
    const QByteArray boundary = boundaryForPicture(fd, file->size);
    std::lock_guard<std::mutex> guard(gPreparedLock);
    gPrepared.emplace(*file, boundary);
}

QByteArray boundaryForPreparedPicture(int fd, qint64 size)
{
    std::optional<std::pair<FileIdentity, QByteArray>> prepared;
    {
        std::lock_guard<std::mutex> guard(gPreparedLock);
        prepared.swap(gPrepared);
    }
    const std::optional<FileIdentity> file = identify(fd);
    if (prepared && file && file->size == size && prepared->first == *file)
        return prepared->second;
    return boundaryForPicture(fd, size);
}

QByteArray multipartContentType(const QByteArray &boundary)
{
    return QByteArray("multipart/form-data; boundary=") + boundary;
}

QByteArray multipartPrefix(const Info &record, const QByteArray &boundary)
{
    using K = CycleNames;
    QByteArray body;
    body.reserve(1024);
    appendField(body, boundary, "username", text(record, K::cDictKeyUser));
    appendField(body, boundary, "password", text(record, K::cDictKeyPasswd));
    appendField(body, boundary, "event", text(record, K::cDictKeyEventName));
    appendField(body, boundary, "client", text(record, K::cDictKeyClientName));
    appendField(body, boundary, "capturetime", text(record, K::cDictKeyCaptureTime));
    appendField(body, boundary, "metadata", text(record, K::cDictKeyMetaData));
    appendField(body, boundary, "fuseaction", text(record, K::cDictKeyKobFuseAction));
    if (record.contains(K::cDictKeyEmails))
        appendField(body, boundary, "emails", text(record, K::cDictKeyEmails));
    if (record.contains(K::cDictKeyOriginalPath))
        appendField(body, boundary, "localfilelocation", text(record, K::cDictKeyOriginalPath));
    appendField(body, boundary, "Submit", QByteArrayLiteral("Upload"));

    const QString path = record.value(K::cDictKeyFileName).toString();
    appendSeparator(body, boundary);
    body += "Content-Disposition: form-data; name=\"imgfile\"; filename=\"";
    body += dispositionFileName(path).toUtf8();
    body += "\"\r\nContent-Type: ";
    body += pictureContentType(path).toUtf8();
    body += "\r\n\r\n";
    return body;
}

QByteArray multipartSuffix(const QByteArray &boundary)
{
    return "\r\n--" + boundary + "--\r\n";
}

QString lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    if (slash < 0)
        return path.left(end);
    if (slash == 0 && end == 1)
        return path.left(1); // the root folder itself
    return path.mid(slash + 1, end - slash - 1);
}

QString pictureContentType(const QString &path)
{
    const QString name = lastPathComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool isPng = dot > 0 && name.mid(dot + 1).compare(QLatin1String("png"), Qt::CaseInsensitive) == 0;
    return isPng ? QStringLiteral("image/png") : QStringLiteral("image/jpeg");
}

QString dispositionFileName(const QString &path)
{
    QString name = lastPathComponent(path);
    name.replace(QLatin1Char('"'), QLatin1String("%22"));
    name.replace(QLatin1Char('\r'), QLatin1String("%0D"));
    name.replace(QLatin1Char('\n'), QLatin1String("%0A"));
    return name;
}

} // namespace vesk
