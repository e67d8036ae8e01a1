#include "files/FolderRules.h"

#include "app/Paths.h"
#include "diag/Console.h"
#include "files/FileOps.h"
#include "files/Ownership.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
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
    // The password database is asked once: its answer does not change while the program runs.
    static const QString fromDatabase = [] {
        struct passwd entry { };
        struct passwd *found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            return QFile::decodeName(found->pw_dir);
        return QString();
    }();
    if (!fromDatabase.isEmpty())
        homes.push_back(fromDatabase);
    return homes;
}

QString refused(const QString &role, const QString &folder, const QString &why)
{
    return QStringLiteral("The %1 [%2] is refused: %3").arg(role, folder, why);
}

QString refusalOfOne(const RoleFolder &candidate, const Folder &folder, const std::vector<Folder> &homes,
    const std::vector<std::pair<QString, Folder>> &ownFolders)
{
    if (same(folder, folderAt(kRoot)))
        return refused(candidate.role, candidate.path, QStringLiteral("it is the root folder"));
    for (const Folder &home : homes) {
        if (same(folder, home))
            return refused(candidate.role, candidate.path, QStringLiteral("it is the home folder"));
    }
    for (const auto &[name, own] : ownFolders) {
        if (within(own, folder))
            return refused(candidate.role, candidate.path,
                QStringLiteral("it holds the program's own %1 folder [%2]").arg(name, own.real));
        if (within(folder, own))
            return refused(candidate.role, candidate.path,
                QStringLiteral("it lies inside the program's own %1 folder [%2]").arg(name, own.real));
    }
    // Something else under that name is no folder at all: the moves into it fail on their own.
    const fileops::Descriptor fd(candidate.destination && folder.exists
            ? ::open(QFile::encodeName(folder.real).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC)
            : -1);
    if (fd) {
        const ownership::Verdict verdict = ownership::judgeFolder(fd.get(), folder.real);
        if (!verdict.why.isEmpty())
            return refused(candidate.role, candidate.path, verdict.why);
        static std::mutex lock;
        static std::set<QString> told;
        std::lock_guard<std::mutex> guard(lock);
        if (!verdict.unowned.isEmpty() && told.insert(folder.real).second)
            myNSLog(QStringLiteral("The %1 [%2] lies on a file system without owners (%3): who owns its folders "
                                   "is not checked")
                        .arg(candidate.role, candidate.path, verdict.unowned));
    }
    return {};
}

QString refusalOfPair(const RoleFolder &a, const Folder &first, const RoleFolder &b, const Folder &second)
{
    QString why;
    if (same(first, second))
        why = QStringLiteral("they are the same folder");
    else if (within(second, first))
        why = QStringLiteral("the %1 lies inside the %2").arg(b.role, a.role);
    else if (within(first, second))
        why = QStringLiteral("the %1 lies inside the %2").arg(a.role, b.role);
    else
        return {};
    return QStringLiteral("The %1 [%2] and the %3 [%4] are refused: %5").arg(a.role, a.path, b.role, b.path, why);
}

QString evaluate(const std::vector<RoleFolder> &candidates)
{
    std::vector<Folder> homes;
    for (const QString &home : homeFolders())
        homes.push_back(folderAt(home));
    const std::vector<std::pair<QString, Folder>> ownFolders {
        { QStringLiteral("configuration"), folderAt(paths::configFolder()) },
        { QStringLiteral("state"), folderAt(paths::stateFolder()) },
        { QStringLiteral("runtime"), folderAt(paths::runtimeFolder()) },
    };
    std::vector<Folder> folders;
    for (const RoleFolder &candidate : candidates) {
        folders.push_back(folderAt(candidate.path));
        if (QString refusal = refusalOfOne(candidate, folders.back(), homes, ownFolders); !refusal.isEmpty())
            return refusal;
    }
    for (size_t i = 0; i < folders.size(); ++i) {
        for (size_t j = i + 1; j < folders.size(); ++j) {
            if (QString refusal = refusalOfPair(candidates[i], folders[i], candidates[j], folders[j]);
                !refusal.isEmpty())
                return refusal;
        }
    }
    return {};
}

// What the answer depends on: the folders as named, what each names on disk now, and where the
// home and the program's own folders are.
QStringList keyOf(const std::vector<RoleFolder> &candidates)
{
    QStringList key { qEnvironmentVariable("HOME"), paths::configFolder(), paths::stateFolder(),
        paths::runtimeFolder() };
    for (const RoleFolder &candidate : candidates) {
        struct stat info { };
        const bool exists = statFolder(paths::expandTilde(candidate.path), info);
        // The change time moves with the owner, the mode and the access list.
        key << candidate.role << candidate.path
            << (exists ? QStringLiteral("%1:%2:%3.%4")
                             .arg(info.st_dev)
                             .arg(info.st_ino)
                             .arg(info.st_ctim.tv_sec)
                             .arg(info.st_ctim.tv_nsec)
                       : QString());
    }
    return key;
}

} // namespace

QString refusalOf(const std::vector<RoleFolder> &folders)
{
    static std::mutex lock;
    static QStringList lastKey;
    static QString lastAnswer;
    QStringList key = keyOf(folders);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!lastKey.isEmpty() && key == lastKey)
            return lastAnswer;
    }
    QString answer = evaluate(folders);
    std::lock_guard<std::mutex> guard(lock);
    lastKey = std::move(key);
    lastAnswer = answer;
    return answer;
}

} // namespace vesk::folderrules
