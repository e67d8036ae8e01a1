#include "files/FolderRules.h"

#include "app/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace vesk::folderrules {

namespace {

const QString kRoot = QStringLiteral("/");

// A folder as the file system places it.
struct Folder {
    QString real; // links and ".." resolved as far as the folder exists
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
};

bool statFolder(const QString &path, struct stat &info)
{
    return ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

// The real path of a folder that may not exist yet: its nearest existing parent resolved, the rest
// of the path appended.
QString realPath(const QString &path)
{
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path);
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    QString existing = QDir::cleanPath(absolute);
    QString rest;
    while (existing != kRoot) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        rest.prepend(existing.mid(slash));
        existing = slash <= 0 ? kRoot : existing.left(slash);
        const QString parent = QFileInfo(existing).canonicalFilePath();
        if (!parent.isEmpty())
            return QDir::cleanPath(parent + rest);
    }
    return rest.isEmpty() ? kRoot : rest;
}

Folder folderAt(const QString &path)
{
    Folder folder;
    folder.real = realPath(paths::expandTilde(path));
    struct stat info { };
    if (statFolder(folder.real, info)) {
        folder.exists = true;
        folder.device = info.st_dev;
        folder.inode = info.st_ino;
    }
    return folder;
}

bool same(const Folder &a, const Folder &b)
{
    return a.real == b.real || (a.exists && b.exists && a.device == b.device && a.inode == b.inode);
}

// a is b, or lies somewhere inside it.
bool within(const Folder &a, const Folder &b)
{
    QString path = a.real;
    for (;;) {
        if (path == b.real)
            return true;
        struct stat info { };
        if (b.exists && statFolder(path, info) && info.st_dev == b.device && info.st_ino == b.inode)
            return true;
        if (path == kRoot)
            return false;
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        path = slash <= 0 ? kRoot : path.left(slash);
    }
}

// The home folder by the environment and by the password database (they may differ).
std::vector<QString> homeFolders()
{
    std::vector<QString> homes;
    const QString fromEnvironment = qEnvironmentVariable("HOME");
    if (!fromEnvironment.isEmpty())
        homes.push_back(fromEnvironment);
    struct passwd entry { };
    struct passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir
        && *found->pw_dir)
        homes.push_back(QFile::decodeName(found->pw_dir));
    return homes;
}

QString refused(const QString &role, const QString &folder, const QString &why)
{
    return QStringLiteral("The %1 [%2] is refused: %3").arg(role, folder, why);
}

} // namespace

QString refusalOf(const QString &role, const QString &folder)
{
    const Folder candidate = folderAt(folder);
    if (same(candidate, folderAt(kRoot)))
        return refused(role, folder, QStringLiteral("it is the root folder"));
    for (const QString &home : homeFolders()) {
        if (same(candidate, folderAt(home)))
            return refused(role, folder, QStringLiteral("it is the home folder"));
    }
    const std::pair<const char *, QString> ownFolders[] = {
        { "configuration", paths::configFolder() },
        { "state", paths::stateFolder() },
        { "runtime", paths::runtimeFolder() },
    };
    for (const auto &[name, path] : ownFolders) {
        const Folder own = folderAt(path);
        if (within(own, candidate))
            return refused(role, folder,
                QStringLiteral("it holds the program's own %1 folder [%2]").arg(QLatin1String(name), path));
        if (within(candidate, own))
            return refused(role, folder,
                QStringLiteral("it lies inside the program's own %1 folder [%2]").arg(QLatin1String(name), path));
    }
    return {};
}

QString refusalOfPair(const QString &roleA, const QString &a, const QString &roleB, const QString &b)
{
    const Folder first = folderAt(a);
    const Folder second = folderAt(b);
    QString why;
    if (same(first, second))
        why = QStringLiteral("they are the same folder");
    else if (within(second, first))
        why = QStringLiteral("the %1 lies inside the %2").arg(roleB, roleA);
    else if (within(first, second))
        why = QStringLiteral("the %1 lies inside the %2").arg(roleA, roleB);
    else
        return {};
    return QStringLiteral("The %1 [%2] and the %3 [%4] are refused: %5").arg(roleA, a, roleB, b, why);
}

} // namespace vesk::folderrules
