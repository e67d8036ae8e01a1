#include "cycle/FolderWalk.h"
#include "cycle/FolderEntries.h"
#include "diag/TestHooks.h"
#include "files/FileOps.h"
#include "files/PathUtils.h"

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

// The source folder's permissions, but never fewer than the owner's own (a mirror folder the program
// cannot write would keep every picture of it out of the mirror for good, even once the source
// folder's permissions have been put right), and never writable by others.
mode_t mirrorFolderMode(const struct stat *source)
{
    return ((source ? source->st_mode & 07777 : 0755) | S_IRWXU) & ~S_IWOTH;
}

bool inTheWay(int error)
{
    return error == ELOOP || error == ENOTDIR;
}
} // namespace

// One folder of the walk and its mirror folder, each opened from its parent's descriptor only when
// something needs it: passing a folder whose listing is remembered costs no system call.
struct FolderWalk::Level {
    Level *parent = nullptr;
    QByteArray name; // in the parent; empty for the root
    QByteArray path; // the source folder's, for the cache and for messages
    QString relative;
    fileops::Descriptor source;
    fileops::Descriptor mirror;
    int sourceError = 0;
    int mirrorError = 0;
    bool mirrorMade = false; // during this walk
    bool mirrorBlocked = false; // by a link or a file, reported
    bool resuming = false; // on the path of the file to start at
};

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
    fAllRemembered = false;
    fProblems.clear();
    fProblemKeys.clear();
    // Links in the path of the folder walked, and of the mirror folder, are followed; below them none is.
    Level top;
    top.path = QFile::encodeName(fRoot);
    while (top.path.size() > 1 && top.path.endsWith('/'))
        top.path.chop(1);
    top.source = fileops::Descriptor(
        top.path.isEmpty() ? -1 : ::open(top.path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info { };
    fRootReadable = top.source && ::fstat(top.source.get(), &info) == 0 && ::access(top.path.constData(), X_OK) == 0;
    if (!fRootReadable)
        return std::nullopt;
    if (fMirror)
        top.mirror
            = fileops::Descriptor(::open(QFile::encodeName(*fMirror).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    top.mirrorError = top.mirror ? 0 : ENOENT;
    top.mirrorMade = true; // the move makes it

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
    if (isKeptOut(top, info.st_ino)) {
        addProblem(
            QStringLiteral("Not walked: the folder to upload from is the mirror or the problem folder [%1]").arg(fRoot),
            top.path);
        return std::nullopt;
    }
    fAllRemembered = fCache != nullptr && fResume.empty();
    top.resuming = !fResume.empty();
    if (fCache)
        fCache->refresh(); // every change made before the walk began is seen
    std::optional<QString> found = walk(top, 0, admit);
    fResume.clear();
    return found;
}

void FolderWalk::startAt(const QString &relative)
{
    const QList<QByteArray> parts = QFile::encodeName(relative).split('/');
    fResume.assign(parts.cbegin(), parts.cend());
}

FolderWalk::Count FolderWalk::countAll(const std::function<bool()> &stop)
{
    fCounting = true;
    fStop = stop ? &stop : nullptr;
    fCount = Count();
    findFirst([](const QString &) { return Verdict::Skip; });
    fCounting = false;
    fStop = nullptr;
    fCount.complete = fCount.complete && fRootReadable;
    return fCount;
}

bool FolderWalk::isKeptOut(Level &level, quint64 inode)
{
    // The listing's inode is free to compare; only a match costs a look at the device.
    for (const auto &[device, keptInode] : fKeptOutIds) {
        if (keptInode != inode)
            continue;
        struct stat info { };
        const int found = level.parent
            ? ::fstatat(sourceFd(*level.parent), level.name.constData(), &info, AT_SYMLINK_NOFOLLOW)
            : ::fstat(level.source.get(), &info);
        if (found == 0 && info.st_dev == device && info.st_ino == keptInode)
            return true;
    }
    return false;
}

void FolderWalk::addProblem(const QString &line, const QByteArray &path, int folder, const QByteArray &name)
{
    struct stat info { };
    const bool known = (folder >= 0 ? ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW)
                                    : ::lstat(path.constData(), &info))
        == 0;
    fProblems << line;
    fProblemKeys << QStringLiteral("%1|%2.%3|%4")
                        .arg(QFile::decodeName(path))
                        .arg(known ? qint64(info.st_ctim.tv_sec) : 0)
                        .arg(known ? qint64(info.st_ctim.tv_nsec) : 0)
                        .arg(known ? info.st_mode : 0, 0, 8);
}

int FolderWalk::sourceFd(Level &level)
{
    if (level.source || level.sourceError != 0 || !level.parent)
        return level.source.get();
    const int parent = sourceFd(*level.parent);
    level.source = fileops::Descriptor(
        parent < 0 ? -1 : ::openat(parent, level.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (level.source)
        return level.source.get();
    level.sourceError = parent < 0 ? ENOENT : errno;
    struct stat info { };
    if (level.sourceError == ENOENT) {
        // gone since the listing, or its parent could not be opened (reported there)
    } else if (inTheWay(level.sourceError) && ::fstatat(parent, level.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(info.st_mode)) {
        addProblem(QStringLiteral("Passed over a symbolic link (links are never followed): [%1]")
                       .arg(QFile::decodeName(level.path)),
            level.path, parent, level.name);
    } else {
        addProblem(QStringLiteral("Cannot open folder [%1]: %2")
                       .arg(level.relative, QString::fromLocal8Bit(std::strerror(level.sourceError))),
            level.path, parent, level.name);
    }
    return -1;
}

int FolderWalk::mirrorFd(Level &level)
{
    if (level.mirror || level.mirrorError != 0 || !level.parent)
        return level.mirror.get();
    const int parent = mirrorFd(*level.parent);
    level.mirror = fileops::Descriptor(
        parent < 0 ? -1 : ::openat(parent, level.name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    level.mirrorError = level.mirror ? 0 : parent < 0 ? ENOENT : errno;
    return level.mirror.get();
}

void FolderWalk::makeMirror(Level &level)
{
    level.mirrorMade = true;
    const int parent = mirrorFd(*level.parent);
    if (parent < 0)
        return;
    struct stat info { };
    const bool known = ::fstatat(sourceFd(*level.parent), level.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    // An existing folder is fine; whatever else is there is found when the folder is opened.
    (void)::mkdirat(parent, level.name.constData(), mirrorFolderMode(known ? &info : nullptr));
}

bool FolderWalk::ensureMirror(Level &level)
{
    if (level.mirrorBlocked)
        return false;
    if (!level.mirrorMade) {
        if (!ensureMirror(*level.parent))
            return false;
        makeMirror(level);
    }
    if (mirrorFd(level) >= 0 || !inTheWay(level.mirrorError))
        return true;
    fileops::Obstacle obstacle { QString(), level.mirrorError, std::nullopt };
    struct stat info { };
    if (::fstatat(mirrorFd(*level.parent), level.name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        obstacle.status = info;
    const QString where = pathutil::appendPathComponent(*fMirror, level.relative);
    addProblem(QStringLiteral("Nothing is made or moved through [%1]: %2; its pictures stay in the source folder")
                   .arg(where, fileops::obstacleText(obstacle)),
        QFile::encodeName(where), mirrorFd(*level.parent), level.name);
    level.mirrorBlocked = true;
    return false;
}

bool FolderWalk::readFolder(Level &folder, FolderCache::Listing &entries, bool &named)
{
    const int fd = sourceFd(folder);
    if (fd < 0)
        return false;
    const int listFd = ::dup(fd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        addProblem(QStringLiteral("Cannot list folder [%1]: %2")
                       .arg(folder.relative, QString::fromLocal8Bit(std::strerror(errno))),
            folder.path);
        return false;
    }
    while (dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (folderentries::isSelfOrParent(name))
            continue;
        const int type = folderentries::entryType(fd, *entry);
        if (type < 0)
            continue; // gone since the listing
        entries.push_back(FolderCache::Entry {
            QByteArray(name), static_cast<unsigned char>(type), static_cast<quint64>(entry->d_ino) });
    }
    ::closedir(dir);

    const QString &relative = folder.relative;
    for (FolderCache::Entry &entry : entries) {
        if (isValidUtf8(entry.name))
            continue;
        if (fCounting) {
            named = false;
            continue;
        }
        const QByteArray repaired = repairedName(entry.name);
        QByteArray candidate = repaired;
        int attempt = 1;
        while (::renameat2(fd, entry.name.constData(), fd, candidate.constData(), RENAME_NOREPLACE) != 0) {
            if (errno != EEXIST || attempt > 20) {
                addProblem(
                    QStringLiteral("Cannot rename [%1/%2], whose name is not valid UTF-8: %3")
                        .arg(relative, QString::fromUtf8(repaired), QString::fromLocal8Bit(std::strerror(errno))),
                    folder.path + '/' + entry.name, fd, entry.name);
                candidate.clear();
                break;
            }
            candidate = repaired + ' ' + QByteArray::number(++attempt);
        }
        if (!candidate.isEmpty())
            addProblem(QStringLiteral("Renamed [%1] to [%2]: the name was not valid UTF-8")
                           .arg(join(relative, QString::fromUtf8(repairedName(entry.name, "\\x"))),
                               join(relative, QString::fromUtf8(candidate))),
                folder.path + '/' + candidate, fd, candidate);
        entry.name = candidate; // empty: left out
    }
    entries.erase(
        std::remove_if(entries.begin(), entries.end(), [](const FolderCache::Entry &e) { return e.name.isEmpty(); }),
        entries.end());
    std::sort(entries.begin(), entries.end(),
        [](const FolderCache::Entry &a, const FolderCache::Entry &b) { return a.name < b.name; });
    return true;
}

std::optional<QString> FolderWalk::walk(Level &folder, int depth, const Admit &admit)
{
    if (depth > kMaxDepth) {
        fAllRemembered = false;
        addProblem(
            QStringLiteral("Folder nesting too deep, not walked further: [%1]").arg(folder.relative), folder.path);
        return std::nullopt;
    }
    // The walk keeps its own view of the listing: the program's moves meanwhile change the cache's.
    bool mirrored = true;
    FolderCache::View entries = fCache ? fCache->listing(folder.path, &mirrored) : nullptr;
    const bool fresh = !entries;
    // Mirror the sub-folders as they are met when the folder is read, or first walked after a count
    // read it.
    const bool makeMirrors = !fCounting && (fresh || !mirrored);
    if (!fresh && makeMirrors)
        fCache->markMirrored(folder.path);
    if (fresh) {
        const quint64 token = fCache ? fCache->beginReading(folder.path, sourceFd(folder)) : 0;
        FolderCache::Listing read;
        bool named = true;
        if (!readFolder(folder, read, named)) {
            fAllRemembered = false;
            return std::nullopt;
        }
        // A count leaves names that are not valid UTF-8 as they are: such a listing is not kept.
        entries = fCache && named ? fCache->store(folder.path, token, std::move(read), !fCounting)
                                  : std::make_shared<const FolderCache::Listing>(std::move(read));
        if (fAllRemembered && fCache->listing(folder.path) != entries)
            fAllRemembered = false;
        if (!fCounting)
            testHook("folder-read", folder.relative);
    }

    auto from = entries->begin();
    if (folder.resuming && size_t(depth) < fResume.size()) {
        from = std::lower_bound(entries->begin(), entries->end(), fResume[size_t(depth)],
            [](const FolderCache::Entry &e, const QByteArray &wanted) { return e.name < wanted; });
        for (auto passed = entries->begin(); depth == 0 && passed != from; ++passed) {
            if (passed->type == DT_REG && !passed->name.startsWith('.'))
                fRootItems << QString::fromUtf8(passed->name);
        }
    }
    for (auto at = from; at != entries->end(); ++at) {
        const FolderCache::Entry &entry = *at;
        if (fCounting) {
            if ((++fCount.entries & 255) == 0 && fStop && (*fStop)()) {
                fCount.complete = false;
                return std::nullopt;
            }
            if (entry.type == DT_REG) {
                fCount.pictures += depth > 0 && !entry.name.startsWith('.');
                continue;
            }
        }
        const QString name = QString::fromUtf8(entry.name);
        const QString path = join(folder.relative, name);

        if (entry.type == DT_DIR) {
            Level child;
            child.parent = &folder;
            child.name = entry.name;
            child.path = folder.path + '/' + entry.name;
            child.relative = path;
            child.resuming = folder.resuming && at == from && size_t(depth) + 1 < fResume.size()
                && entry.name == fResume[size_t(depth)];
            if (!fKeptOutIds.empty() && isKeptOut(child, entry.inode)) {
                addProblem(
                    QStringLiteral("Not walked: [%1] is the mirror or the problem folder").arg(path), child.path);
                continue;
            }
            // Mirror the folder with its own permissions when it is read; an existing folder is fine.
            if (makeMirrors)
                makeMirror(child);
            if (std::optional<QString> found = walk(child, depth + 1, admit))
                return found;
            if (!fCount.complete)
                return std::nullopt;
            continue;
        }
        if (fCounting)
            continue; // links and the like are never counted
        if (entry.name.startsWith('.'))
            continue;
        if (entry.type == DT_LNK) {
            // Never followed, to a file or a folder: what it points to may lie anywhere.
            const QByteArray link = folder.path + '/' + entry.name;
            addProblem(QStringLiteral("Passed over a symbolic link (links are never followed): [%1]")
                           .arg(QFile::decodeName(link)),
                link, folder.source.get(), entry.name);
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
        ensureMirror(folder);
        if (admit(path) == Verdict::Take)
            return path;
    }
    return std::nullopt;
}

} // namespace vesk
