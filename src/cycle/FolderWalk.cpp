#include "cycle/FolderWalk.h"

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

struct Entry {
    QByteArray name;
    unsigned char type;
};

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

FolderWalk::FolderWalk(QString root, std::optional<QString> mirror)
    : fRoot(std::move(root))
    , fMirror(std::move(mirror))
{ }

QByteArray FolderWalk::repairedName(const QByteArray &name)
{
    QByteArray result;
    const auto *p = reinterpret_cast<const unsigned char *>(name.constData());
    qsizetype i = 0;
    while (i < name.size()) {
        const int n = utf8SequenceLength(p + i, name.size() - i);
        if (n == 0) {
            result += '%';
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
    Fd root(::open(QFile::encodeName(fRoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fRootReadable = root.get() >= 0;
    if (!fRootReadable)
        return std::nullopt;
    Fd mirror(fMirror ? ::open(QFile::encodeName(*fMirror).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    return walk(root.get(), mirror.get(), QString(), 0, admit);
}

std::optional<QString> FolderWalk::walk(
    int folder, int mirrorFolder, const QString &relative, int depth, const Admit &admit)
{
    if (depth > kMaxDepth) {
        fProblems << QStringLiteral("Folder nesting too deep, not walked further: [%1]").arg(relative);
        return std::nullopt;
    }
    std::vector<Entry> entries;
    {
        const int listFd = ::dup(folder);
        DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0)
                ::close(listFd);
            fProblems << QStringLiteral("Cannot list folder [%1]: %2")
                             .arg(relative, QString::fromLocal8Bit(std::strerror(errno)));
            return std::nullopt;
        }
        ::rewinddir(dir);
        while (dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            entries.push_back(Entry { QByteArray(name), entry->d_type });
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });

    for (Entry &entry : entries) {
        if (!isValidUtf8(entry.name)) {
            QByteArray repaired = repairedName(entry.name);
            QByteArray candidate = repaired;
            int attempt = 1;
            while (::renameat2(folder, entry.name.constData(), folder, candidate.constData(), RENAME_NOREPLACE) != 0) {
                if (errno != EEXIST || attempt > 20) {
                    fProblems << QStringLiteral("Cannot rename [%1/%2], whose name is not valid UTF-8: %3")
                                     .arg(relative, QString::fromUtf8(repaired),
                                         QString::fromLocal8Bit(std::strerror(errno)));
                    candidate.clear();
                    break;
                }
                candidate = repaired + ' ' + QByteArray::number(++attempt);
            }
            if (candidate.isEmpty())
                continue;
            fProblems << QStringLiteral("Renamed [%1] to [%2]: the name was not valid UTF-8")
                             .arg(join(relative, QString::fromUtf8(repaired)),
                                 join(relative, QString::fromUtf8(candidate)));
            entry.name = candidate;
        }
        const QString name = QString::fromUtf8(entry.name);
        const QString path = join(relative, name);

        unsigned char type = entry.type;
        struct stat info { };
        if (type == DT_UNKNOWN) {
            if (::fstatat(folder, entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone since the listing
            type = S_ISDIR(info.st_mode) ? DT_DIR
                : S_ISLNK(info.st_mode)  ? DT_LNK
                : S_ISREG(info.st_mode)  ? DT_REG
                                         : DT_UNKNOWN;
        }

        if (type == DT_DIR) {
            // Mirror the folder with its own permissions; an existing folder is fine.
            if (mirrorFolder >= 0) {
                if (info.st_mode == 0)
                    ::fstatat(folder, entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW);
                ::mkdirat(mirrorFolder, entry.name.constData(), info.st_mode ? (info.st_mode & 07777) : 0755);
            }
            Fd child(::openat(folder, entry.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.get() < 0) {
                if (errno != ENOENT)
                    fProblems << QStringLiteral("Cannot open folder [%1]: %2")
                                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
                continue;
            }
            Fd childMirror(mirrorFolder >= 0
                    ? ::openat(mirrorFolder, entry.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                    : -1);
            if (std::optional<QString> found = walk(child.get(), childMirror.get(), path, depth + 1, admit))
                return found;
            continue;
        }
        if (entry.name.startsWith('.'))
            continue;
        if (type == DT_LNK) {
            // A link counts as what it points to; links to folders are never walked into.
            if (::fstatat(folder, entry.name.constData(), &info, 0) != 0 || !S_ISREG(info.st_mode))
                continue;
        } else if (type != DT_REG) {
            continue; // sockets, pipes, devices
        }
        if (depth == 0) {
            fRootItems << path;
            continue;
        }
        if (admit(path) == Verdict::Take)
            return path;
    }
    return std::nullopt;
}

} // namespace vesk
