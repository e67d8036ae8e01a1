#include "cycle/FolderWalk.h"
#include "cycle/FolderEntries.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk {

namespace {
constexpr int kMaxDepth = 128;

class Fd {
public:
    explicit Fd(int fd = -1)
        : fFd(fd)
    { }
    ~Fd()
    {
        if (fFd >= 0)
            ::close(fFd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fFd; }

private:
    int fFd;
};

// Length of the valid UTF-8 sequence starting at p (1 to 4), or 0 when it is not valid.
int utf8SequenceLength(const unsigned char *p, qsizetype left)
{
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int length = 0;
    unsigned minimum = 0;
    unsigned value = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

bool isValidUtf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

QString join(const QString &relative, const QString &name)
{
    return relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
}
} // namespace

FolderWalk::FolderWalk(QString root, std::optional<QString> mirror, FolderCache *cache)
    : fRoot(std::move(root))
    , fMirror(std::move(mirror))
    , fCache(cache)
{ }

QByteArray FolderWalk::repairedName(const QByteArray &name, const char *escape)
{
    QByteArray result;
    const auto *p = reinterpret_cast<const unsigned char *>(name.constData());
    qsizetype i = 0;
    while (i < name.size()) {
        const int n = utf8SequenceLength(p + i, name.size() - i);
        if (n == 0) {
            result += escape;
            result += QByteArray::number(p[i], 16).toUpper().rightJustified(2, '0');
            ++i;
        } else {
            result.append(name.constData() + i, n);
            i += n;
        }
    }
    return result;
}

std::optional<QString> FolderWalk::findFirst(const Admit &admit)
{
    fRootItems.clear();
    fProblems.clear();
    fProblemKeys.clear();
    QByteArray root = QFile::encodeName(fRoot);
    while (root.size() > 1 && root.endsWith('/'))
        root.chop(1);
    struct stat info { };
    fRootReadable
        = ::stat(root.constData(), &info) == 0 && S_ISDIR(info.st_mode) && ::access(root.constData(), R_OK | X_OK) == 0;
    if (!fRootReadable)
        return std::nullopt;
    QByteArray mirror = fMirror ? QFile::encodeName(*fMirror) : QByteArray();
    while (mirror.size() > 1 && mirror.endsWith('/'))
        mirror.chop(1);

    // The mirror and problem folders are never walked, wherever they lie and however they are named:
    // their pictures would be sent again, and their paths would grow without end.
    fKeptOutIds.clear();
    QStringList keptOut = fKeptOut;
    if (fMirror)
        keptOut.prepend(*fMirror);
    for (const QString &folder : keptOut) {
        struct stat kept { };
        if (::stat(QFile::encodeName(folder).constData(), &kept) == 0 && S_ISDIR(kept.st_mode))
            fKeptOutIds.emplace_back(kept.st_dev, kept.st_ino);
    }
    if (isKeptOut(root, info.st_ino)) {
        addProblem(
            QStringLiteral("Not walked: the folder to upload from is the mirror or the problem folder [%1]").arg(fRoot),
            root);
        return std::nullopt;
    }
    return walk(root, mirror, QString(), 0, admit);
}

bool FolderWalk::isKeptOut(const QByteArray &path, quint64 inode) const
{
    // The listing's inode is free to compare; only a match costs a look at the device.
    for (const auto &[device, keptInode] : fKeptOutIds) {
        if (keptInode != inode)
            continue;
        struct stat info { };
        if (::stat(path.constData(), &info) == 0 && info.st_dev == device && info.st_ino == keptInode)
            return true;
    }
    return false;
}

void FolderWalk::addProblem(const QString &line, const QByteArray &path)
{
    struct stat info { };
    const bool known = ::lstat(path.constData(), &info) == 0;
    fProblems << line;
    fProblemKeys << QStringLiteral("%1|%2.%3|%4")
                        .arg(QFile::decodeName(path))
                        .arg(known ? qint64(info.st_ctim.tv_sec) : 0)
                        .arg(known ? qint64(info.st_ctim.tv_nsec) : 0)
                        .arg(known ? info.st_mode : 0, 0, 8);
}

bool FolderWalk::readFolder(const QByteArray &folder, const QString &relative, FolderCache::Listing &entries)
{
    Fd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT)
            addProblem(QStringLiteral("Cannot open folder [%1]: %2")
                           .arg(relative, QString::fromLocal8Bit(std::strerror(errno))),
                folder);
        return false;
    }
    const int listFd = ::dup(fd.get());
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        addProblem(
            QStringLiteral("Cannot list folder [%1]: %2").arg(relative, QString::fromLocal8Bit(std::strerror(errno))),
            folder);
        return false;
    }
    while (dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (folderentries::isSelfOrParent(name))
            continue;
        const int type = folderentries::entryType(fd.get(), *entry);
        if (type < 0)
            continue; // gone since the listing
        entries.push_back(FolderCache::Entry {
            QByteArray(name), static_cast<unsigned char>(type), static_cast<quint64>(entry->d_ino) });
    }
    ::closedir(dir);

    for (FolderCache::Entry &entry : entries) {
        if (isValidUtf8(entry.name))
            continue;
        const QByteArray repaired = repairedName(entry.name);
        QByteArray candidate = repaired;
        int attempt = 1;
        while (::renameat2(fd.get(), entry.name.constData(), fd.get(), candidate.constData(), RENAME_NOREPLACE) != 0) {
            if (errno != EEXIST || attempt > 20) {
                addProblem(
                    QStringLiteral("Cannot rename [%1/%2], whose name is not valid UTF-8: %3")
                        .arg(relative, QString::fromUtf8(repaired), QString::fromLocal8Bit(std::strerror(errno))),
                    folder + '/' + entry.name);
                candidate.clear();
                break;
            }
            candidate = repaired + ' ' + QByteArray::number(++attempt);
        }
        if (!candidate.isEmpty())
            addProblem(QStringLiteral("Renamed [%1] to [%2]: the name was not valid UTF-8")
                           .arg(join(relative, QString::fromUtf8(repairedName(entry.name, "\\x"))),
                               join(relative, QString::fromUtf8(candidate))),
                folder + '/' + candidate);
        entry.name = candidate; // empty: left out
    }
    entries.erase(
        std::remove_if(entries.begin(), entries.end(), [](const FolderCache::Entry &e) { return e.name.isEmpty(); }),
        entries.end());
    std::sort(entries.begin(), entries.end(),
        [](const FolderCache::Entry &a, const FolderCache::Entry &b) { return a.name < b.name; });
    return true;
}

namespace {
// The source folder's permissions, but never fewer than the owner's own: a mirror folder the
// program cannot write would keep every picture of it out of the mirror for good, even once the
// source folder's permissions have been put right.
mode_t mirrorFolderMode(const struct stat *source)
{
    return source ? (source->st_mode & 07777) | S_IRWXU : 0755;
}
} // namespace

void FolderWalk::ensureMirrorChain(const QString &relative)
{
    if (!fMirror || fEnsured.contains(relative))
        return;
    QByteArray source = QFile::encodeName(fRoot);
    QByteArray mirror = QFile::encodeName(*fMirror);
    QString done;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        done = join(done, part);
        source += '/' + part.toUtf8();
        mirror += '/' + part.toUtf8();
        if (fEnsured.contains(done))
            continue;
        struct stat info { };
        const bool known = ::lstat(source.constData(), &info) == 0;
        ::mkdir(mirror.constData(), mirrorFolderMode(known ? &info : nullptr));
        fEnsured.insert(done);
    }
}

std::optional<QString> FolderWalk::walk(
    const QByteArray &folder, const QByteArray &mirror, const QString &relative, int depth, const Admit &admit)
{
    if (depth > kMaxDepth) {
        addProblem(QStringLiteral("Folder nesting too deep, not walked further: [%1]").arg(relative), folder);
        return std::nullopt;
    }
    FolderCache::Listing entries;
    bool fresh = true;
    if (fCache) {
        if (std::optional<FolderCache::Listing> cached = fCache->listing(folder)) {
            entries = std::move(*cached);
            fresh = false;
        }
    }
    if (fresh) {
        const quint64 token = fCache ? fCache->beginReading() : 0;
        if (!readFolder(folder, relative, entries))
            return std::nullopt;
        if (fCache)
            fCache->store(folder, token, entries);
    }

    for (const FolderCache::Entry &entry : entries) {
        const QString name = QString::fromUtf8(entry.name);
        const QString path = join(relative, name);
        const QByteArray child = folder + '/' + entry.name;

        if (entry.type == DT_DIR) {
            if (!fKeptOutIds.empty() && isKeptOut(child, entry.inode)) {
                addProblem(QStringLiteral("Not walked: [%1] is the mirror or the problem folder").arg(path), child);
                continue;
            }
            const QByteArray childMirror = mirror.isEmpty() ? QByteArray() : mirror + '/' + entry.name;
            // Mirror the folder with its own permissions when it is read; an existing folder is fine.
            if (fresh && !childMirror.isEmpty()) {
                struct stat info { };
                const bool known = ::lstat(child.constData(), &info) == 0;
                ::mkdir(childMirror.constData(), mirrorFolderMode(known ? &info : nullptr));
            }
            if (std::optional<QString> found = walk(child, childMirror, path, depth + 1, admit))
                return found;
            continue;
        }
        if (entry.name.startsWith('.'))
            continue;
        if (entry.type == DT_LNK) {
            // Never followed, to a file or a folder: what it points to may lie anywhere.
            addProblem(QStringLiteral("Passed over a symbolic link (links are never followed): [%1]")
                           .arg(QFile::decodeName(child)),
                child);
            continue;
        } else if (entry.type != DT_REG) {
            continue; // sockets, pipes, devices
        }
        if (depth == 0) {
            fRootItems << path;
            continue;
        }
        // The picture's mirror folder must exist when its move comes, even where a folder on the
        // way was not read again this pass.
        ensureMirrorChain(relative);
        if (admit(path) == Verdict::Take)
            return path;
    }
    return std::nullopt;
}

} // namespace vesk
