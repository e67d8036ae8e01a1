#include "UploadStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::service {

namespace {

// Leaves room within the usual 255-byte limit for a " (n)" suffix.
constexpr int kMaxNameBytes = 200;
constexpr int kMaxExtensionChars = 16;
constexpr int kMaxNumber = 100000;
const char kIncomingPrefix[] = ".incoming-";
const char kIncomingSuffix[] = ".part";

QString cleanedComponent(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('/') || c == QLatin1Char('\\'))
            c = QLatin1Char('_');
    }
    text = text.trimmed();
    for (QChar &c : text) {
        if (c != QLatin1Char('.'))
            break;
        c = QLatin1Char('_');
    }
    return text;
}

QString shortened(QString stem, const QString &extension)
{
    const int budget = kMaxNameBytes - int(extension.toUtf8().size());
    while (!stem.isEmpty() && stem.toUtf8().size() > budget) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + extension;
}

// Where the extension starts, or -1 for a name without one.
qsizetype extensionStart(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || name.size() - dot > kMaxExtensionChars)
        return -1;
    return dot;
}

bool fileExists(const QString &path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

QString safeEventName(const QString &event)
{
    const QString cleaned = shortened(cleanedComponent(event), QString());
    return cleaned.isEmpty() ? QStringLiteral("_") : cleaned;
}

QString safeFileName(const QString &fileName)
{
    const qsizetype slash = std::max(fileName.lastIndexOf(QLatin1Char('/')), fileName.lastIndexOf(QLatin1Char('\\')));
    const QString cleaned = cleanedComponent(fileName.mid(slash + 1));
    if (cleaned.isEmpty())
        return QStringLiteral("_");
    const qsizetype dot = extensionStart(cleaned);
    if (dot < 0)
        return shortened(cleaned, QString());
    return shortened(cleaned.left(dot), cleaned.mid(dot));
}

QString numberedName(const QString &name, int number)
{
    if (number <= 1)
        return name;
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    const qsizetype dot = extensionStart(name);
    if (dot < 0)
        return name + suffix;
    return name.left(dot) + suffix + name.mid(dot);
}

IncomingFile::IncomingFile(int fd, QString path)
    : fFd(fd)
    , fPath(std::move(path))
{ }

IncomingFile::~IncomingFile()
{
    if (fFd >= 0)
        ::close(fFd);
    if (!fCommitted)
        ::unlink(QFile::encodeName(fPath).constData());
}

bool IncomingFile::write(const char *data, size_t size)
{
    if (fFd < 0)
        return false;
    fHash.add(data, size);
    while (size > 0) {
        const ssize_t n = ::write(fFd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
        fSize += n;
    }
    return true;
}

bool IncomingFile::finish()
{
    if (fFd < 0)
        return false;
    const bool ok = ::close(fFd) == 0;
    fFd = -1;
    fSha256 = fHash.hexDigest();
    return ok && !fSha256.isEmpty();
}

UploadStore::UploadStore(const QString &root)
    : fRoot(QDir::cleanPath(QDir(root).absolutePath()))
{ }

QString UploadStore::logPath() const
{
    return fRoot + QStringLiteral("/uploads.jsonl");
}

bool UploadStore::prepare(QString &error)
{
    if (!QDir().mkpath(fRoot) || !QFileInfo(fRoot).isDir()) {
        error = QStringLiteral("cannot create the storage folder ") + fRoot;
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    fFileMode = 0666 & ~mask;
    const QStringList leftovers
        = QDir(fRoot).entryList({ QLatin1String(kIncomingPrefix) + QLatin1Char('*') + QLatin1String(kIncomingSuffix) },
            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        QFile::remove(fRoot + QLatin1Char('/') + name);
    return true;
}

std::unique_ptr<IncomingFile> UploadStore::createIncoming(QString &error)
{
    QByteArray pattern = QFile::encodeName(fRoot) + '/' + kIncomingPrefix + "XXXXXX" + kIncomingSuffix;
    const int fd = ::mkostemps(pattern.data(), int(std::strlen(kIncomingSuffix)), O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot create a temporary file in ") + fRoot + QStringLiteral(": ")
            + QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    // mkostemps makes the file private; a stored picture gets the mode any new file would have.
    ::fchmod(fd, fFileMode);
    return std::unique_ptr<IncomingFile>(new IncomingFile(fd, QFile::decodeName(pattern)));
}

QString UploadStore::commit(IncomingFile &file, const QString &event, const QString &fileName, QString &error)
{
    std::lock_guard<std::mutex> guard(fLock);
    const QString folder = fRoot + QLatin1Char('/') + event;
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create ") + folder;
        return {};
    }
    const QByteArray source = QFile::encodeName(file.path());
    for (int number = 1; number <= kMaxNumber; ++number) {
        const QString target = folder + QLatin1Char('/') + numberedName(fileName, number);
        const QByteArray targetName = QFile::encodeName(target);
        int result = ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, targetName.constData(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without no-replace renames: the lock keeps the check and the rename together, as
            // this process is the folder's only writer.
            if (fileExists(target))
                continue;
            result = ::rename(source.constData(), targetName.constData());
        }
        if (result == 0) {
            file.fCommitted = true;
            return target;
        }
        if (errno != EEXIST) {
            error = QStringLiteral("cannot move the picture to ") + target + QStringLiteral(": ")
                + QString::fromLocal8Bit(std::strerror(errno));
            return {};
        }
    }
    error = QStringLiteral("too many pictures named ") + fileName + QStringLiteral(" in ") + folder;
    return {};
}

bool UploadStore::appendRecord(const QJsonObject &record, QString &error)
{
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(fLock);
    const int fd = ::open(QFile::encodeName(logPath()).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QStringLiteral("cannot open ") + logPath() + QStringLiteral(": ")
            + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const char *data = line.constData();
    size_t left = size_t(line.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = QStringLiteral("cannot write ") + logPath() + QStringLiteral(": ")
                + QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            return false;
        }
        data += n;
        left -= size_t(n);
    }
    return ::close(fd) == 0;
}

QList<QJsonObject> UploadStore::records() const
{
    QList<QJsonObject> result;
    std::lock_guard<std::mutex> guard(fLock);
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly))
        return result;
    while (!log.atEnd()) {
        const QJsonDocument document = QJsonDocument::fromJson(log.readLine());
        if (document.isObject())
            result.append(document.object());
    }
    return result;
}

} // namespace vesk::service
