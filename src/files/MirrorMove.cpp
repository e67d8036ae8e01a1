// AppController: the move of an item out of the source folder into the mirror or problem folder,
// keeping its path relative to the source root, and the encapsulating-folder paths.

#include "files/MirrorMove.h"

#include "app/AppController.h"
#include "cycle/FolderCache.h"
#include "cycle/ItemBook.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "files/FileOps.h"
#include "files/OpenedPicture.h"
#include "files/Ownership.h"
#include "files/PathUtils.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk {

namespace {
const QString kNull = QStringLiteral("(null)");

// Whether the entry name of the folder is a regular file holding exactly the bytes of content.
bool holdsSameBytes(int folder, const QByteArray &name, int content)
{
    const fileops::Descriptor there(::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat a {
    }, b {};
    if (!there || content < 0 || ::fstat(there.get(), &a) != 0 || ::fstat(content, &b) != 0 || !S_ISREG(a.st_mode)
        || !S_ISREG(b.st_mode) || a.st_size != b.st_size)
        return false;
    std::vector<char> left(1 << 16), right(1 << 16);
    for (off_t offset = 0; offset < a.st_size;) {
        const ssize_t got = ::pread(there.get(), left.data(), left.size(), offset);
        if (got <= 0 || ::pread(content, right.data(), static_cast<size_t>(got), offset) != got
            || std::memcmp(left.data(), right.data(), static_cast<size_t>(got)) != 0)
            return false;
        offset += got;
    }
    return true;
}

// The name with " number" before its extension: "IMG_0001.JPG" gives "IMG_0001 2.JPG".
QString numberedName(const QString &name, int number)
{
    const QString extension = pathutil::pathExtension(name);
    const QString numbered = pathutil::deletingPathExtension(name) + QStringLiteral(" %1").arg(number);
    return extension.isEmpty() ? numbered : numbered + QLatin1Char('.') + extension;
}
} // namespace

std::optional<QString> getBaseName1(const std::optional<QString> &path)
{
    if (!path)
        return std::nullopt;
    const QString name = pathutil::lastPathComponent(*path);
    const qsizetype underscore = name.indexOf(QLatin1Char('_'));
    if (underscore <= 0) {
        writeStandardError(QStringLiteral("==> getBaseName1 FAILED\n"));
        return std::nullopt;
    }
    const QString base = name.left(underscore);
    writeStandardError(QStringLiteral("==> getBaseName1 returned: [%1]\n").arg(base));
    return base;
}

QString createEncapsulationFolder(const QString &destRoot, const QString &item, bool create)
{
    const QString parent = pathutil::deletingLastPathComponent(pathutil::appendPathComponent(destRoot, item));
    const std::optional<QString> base = getBaseName1(item);
    if (!base)
        return parent;
    const QString folder = pathutil::appendPathComponent(parent, *base);
    writeStandardError(QStringLiteral("createEncapsulationFolder formed name: %1\n\n").arg(folder));
    if (create) {
        writeStandardError(QStringLiteral("createEncapsulationFolder CREATING: %1\n\n").arg(folder));
        (void)fileops::openFolderBeneath(
            destRoot, pathutil::appendPathComponent(pathutil::deletingLastPathComponent(item), *base), true);
    }
    return folder;
}

QString convertItemWithEncapsulation(const QString &item)
{
    QString result = item;
    if (const std::optional<QString> base = getBaseName1(item)) {
        result = pathutil::appendPathComponent(
            pathutil::appendPathComponent(pathutil::deletingLastPathComponent(item), *base),
            pathutil::lastPathComponent(item));
    }
    writeStandardError(QStringLiteral("==> convertItemWithEncapsulation returned [%1]\n").arg(result));
    return result;
}

bool AppController::moveFileToPath(const QString &item, const QString &sourceRoot, const OpenedPicture *expected)
{
    traceInside(kClassName, __func__);
    return moveFileToPath(item, sourceRoot, true, false, expected);
}

bool AppController::moveFileToPath(
    const QString &item, const QString &sourceRoot, bool overwrite, bool encapsulate, const OpenedPicture *expected)
{
    traceInside(kClassName, __func__);
    return moveFileToPath(item, sourceRoot, getLocalMasterMirrorSiteFolder(), overwrite, encapsulate, expected);
}

bool AppController::moveFileToPath(const QString &item, const QString &sourceRoot,
    const std::optional<QString> &destRoot, bool overwrite, bool encapsulate, const OpenedPicture *expected)
{
    traceInside(kClassName, __func__);
    const QString fullSourcePath = pathutil::appendPathComponent(sourceRoot, item);
    const QByteArray sourceName = QFile::encodeName(pathutil::lastPathComponent(item));
    // Both sides are reached one folder at a time from their roots without following a link below
    // them: a folder swapped for a link cannot make the move take, replace or place anything outside.
    fileops::Obstacle obstacle;
    const fileops::Descriptor sourceFolder
        = fileops::openFolderBeneath(sourceRoot, pathutil::deletingLastPathComponent(item), false, &obstacle);
    struct stat source { };
    if (sourceFolder && ::fstatat(sourceFolder.get(), sourceName.constData(), &source, AT_SYMLINK_NOFOLLOW) != 0)
        obstacle.error = errno;
    if (!sourceFolder || obstacle.error != 0) {
        if (obstacle.error == ENOENT)
            MessageLog::LogMessage(
                QStringLiteral("moveFileToPath=> source item does NOT exist:\r %1\n").arg(fullSourcePath));
        else
            MessageLog::LogMessage(
                QStringLiteral("moveFileToPath=> source item cannot be reached (%1), not moved:\r %2\n")
                    .arg(QString::fromLocal8Bit(std::strerror(obstacle.error)), fullSourcePath));
        return false;
    }
    if (expected && (source.st_dev != expected->status().st_dev || source.st_ino != expected->status().st_ino)) {
        MessageLog::LogMessage(
            QStringLiteral("moveFileToPath=> source item is no longer the picture that was sent, not moved:\r %1\n")
                .arg(fullSourcePath));
        return false;
    }

    // A link or a file in the way of a destination folder is told once; nothing is made or moved
    // through it, and the picture stays where it is.
    auto inTheWay = [this](const QString &where, const fileops::Obstacle &found) {
        if (found.status && !S_ISDIR(found.status->st_mode)
            && fItemBook->firstNotice(QStringLiteral("%1|%2.%3|%4")
                                          .arg(where)
                                          .arg(qint64(found.status->st_ctim.tv_sec))
                                          .arg(qint64(found.status->st_ctim.tv_nsec))
                                          .arg(found.status->st_mode, 0, 8)))
            myNSLog(QStringLiteral("Nothing is made or moved through [%1]: %2; its pictures stay in the source folder")
                        .arg(where, fileops::obstacleText(found)));
    };
    // An absent destination root makes every path below it absent, and every step on it fails.
    fileops::Obstacle rootObstacle;
    if (destRoot && !fileops::makeFolderPath(*destRoot, false, &rootObstacle))
        inTheWay(rootObstacle.relative, rootObstacle);
    const std::optional<QString> itemDestPath
        = destRoot ? std::optional<QString>(pathutil::appendPathComponent(*destRoot, item)) : std::nullopt;

    std::optional<QString> outcomePath;
    bool placed = false;
    if (S_ISDIR(source.st_mode)) {
        // A folder item is only reproduced; the source folder and its contents stay.
        writeStandardError(QStringLiteral("\ncreateDirectory %1\n").arg(itemDestPath.value_or(kNull)));
        if (destRoot) {
            const fileops::Descriptor parent
                = fileops::openFolderBeneath(*destRoot, pathutil::deletingLastPathComponent(item), false);
            if (parent)
                (void)::mkdirat(parent.get(), sourceName.constData(), fileops::kFolderMode);
        }
        outcomePath = itemDestPath;
        placed = true;
    } else {
        std::optional<QString> modifiedDestPath = itemDestPath;
        QString destRelative = item;
        if (encapsulate && destRoot) {
            const QString folder = createEncapsulationFolder(*destRoot, item, true);
            modifiedDestPath = pathutil::appendPathComponent(folder, pathutil::lastPathComponent(item));
            const QString rootPrefix = pathutil::appendPathComponent(*destRoot, QStringLiteral("x")).chopped(1);
            destRelative = modifiedDestPath->mid(rootPrefix.size());
        }
        // Every folder from the destination root down must be the user's own and closed to others:
        // whoever else may write there could take, swap or read the picture.
        if (destRoot) {
            const ownership::Verdict verdict
                = ownership::judgeBeneath(*destRoot, pathutil::deletingLastPathComponent(destRelative));
            if (!verdict.why.isEmpty()) {
                if (fItemBook->firstNotice(
                        QStringLiteral("refused destination|%1|%2").arg(verdict.folder, verdict.why)))
                    reportRefusedFolders(QStringLiteral("The folder [%1] is refused as a destination: %2; the "
                                                        "pictures bound for it stay in the source folder")
                                             .arg(verdict.folder, verdict.why));
                return false;
            }
            if (!verdict.unowned.isEmpty() && fItemBook->firstNotice(QStringLiteral("unowned|%1").arg(*destRoot)))
                myNSLog(QStringLiteral("The folder [%1] lies on a file system without owners (%2): who owns its "
                                       "folders is not checked")
                            .arg(*destRoot, verdict.unowned));
        }
        QString destFileName = pathutil::lastPathComponent(destRelative);
        QByteArray destName = QFile::encodeName(destFileName);
        fileops::Obstacle destObstacle { QString(), ENOENT, std::nullopt };
        const fileops::Descriptor destFolder = destRoot
            ? fileops::openFolderBeneath(
                *destRoot, pathutil::deletingLastPathComponent(destRelative), false, &destObstacle)
            : fileops::Descriptor();
        if (destRoot && !destFolder)
            inTheWay(pathutil::appendPathComponent(*destRoot, destObstacle.relative), destObstacle);
        struct stat there { };
        const bool occupied
            = destFolder && ::fstatat(destFolder.get(), destName.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0;
        struct stat target { };
        const bool folderInTheWay = occupied
            && (S_ISDIR(there.st_mode)
                || (S_ISLNK(there.st_mode) && ::fstatat(destFolder.get(), destName.constData(), &target, 0) == 0
                    && S_ISDIR(target.st_mode)));
        if (folderInTheWay && overwrite) {
            // A picture never replaces a folder (nor a link to one): whatever is archived there stays,
            // and the picture is parked beside, in the problem folder, replacing nothing there either.
            myNSLog(QStringLiteral("A folder of that name is in the mirror folder; it is not replaced, and the "
                                   "picture goes to the problem folder instead: [%1]")
                        .arg(*modifiedDestPath));
            const std::optional<QString> problem = getLocalProblemUploadFolder();
            if (problem)
                fileops::makeFoldersBeneath(*problem, pathutil::deletingLastPathComponent(item));
            return moveFileToPath(item, sourceRoot, problem, false, false, expected);
        }
        // The source's bytes: the picture that was sent, else the entry itself, never through a link.
        fileops::Descriptor opened;
        int content = expected ? expected->fd() : -1;
        if (content < 0 && S_ISREG(source.st_mode)) {
            opened = fileops::Descriptor(
                ::openat(sourceFolder.get(), sourceName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            content = opened.get();
        }
        if (occupied && overwrite && holdsSameBytes(destFolder.get(), destName, content)) {
            // The same picture again (sent once more after a crash): the one in place may go.
            if (fileops::removeFileAt(destFolder.get(), destName) != 0)
                consoleLog(QStringLiteral("moveFileToPath2 => removeFileAtPath Failed for item [ [%1]???")
                               .arg(*modifiedDestPath));
        }

        const QString trace = QStringLiteral(
            "\nmoveFileToPath2\rFROM fullSourcePath: %1\r        TO destPath: %2\r   modifiedDestPath: %3\n\n")
                                  .arg(fullSourcePath, destRoot.value_or(kNull), modifiedDestPath.value_or(kNull));
        writeStandardError(trace);
        consoleLog(trace);

        // The walk's remembered listing loses the picture now, and the watcher's report of the move
        // does not make the folder be read again.
        QByteArray cachedFolder = QFile::encodeName(sourceRoot);
        while (cachedFolder.size() > 1 && cachedFolder.endsWith('/'))
            cachedFolder.chop(1);
        if (const QString parent = pathutil::deletingLastPathComponent(item); !parent.isEmpty())
            cachedFolder += '/' + QFile::encodeName(parent);
        if (destFolder)
            fFolderCache->expectRemoval(cachedFolder, sourceName);
        // Another user's picture lands as the user's own copy, which that user cannot change any more.
        const bool foreign = source.st_uid != ::geteuid();
        int error = destFolder ? 0 : destObstacle.error;
        for (int number = 2; error == 0; ++number) {
            error = fileops::moveAt(sourceFolder.get(), sourceName, destFolder.get(), destName, content, foreign);
            // Whatever is in the way stays (another picture, a folder, a link): the newcomer lands
            // beside it under the first free name.
            if (error != EEXIST || number > 9999)
                break;
            destFileName = numberedName(pathutil::lastPathComponent(destRelative), number);
            destName = QFile::encodeName(destFileName);
            modifiedDestPath
                = pathutil::appendPathComponent(pathutil::deletingLastPathComponent(*modifiedDestPath), destFileName);
            error = 0;
        }
        fFolderCache->removalDone(cachedFolder, sourceName, error == 0);
        placed = error == 0;
        if (!placed) {
            consoleLog(QStringLiteral("moveFileToPath2 => movePath Failed???"));
            consoleLog(QStringLiteral("moveFileToPath2 => %1").arg(QString::fromLocal8Bit(std::strerror(error))));
        } else if (destFileName != pathutil::lastPathComponent(destRelative)) {
            myNSLog(QStringLiteral("Another file of that name is kept; the picture lands beside it: [%1]")
                        .arg(*modifiedDestPath));
        }
        outcomePath = modifiedDestPath;
    }

    // Only asks whether something is at the destination, so an item of that name that was already
    // there reads as a success here; the answer to the caller also needs the move itself to succeed.
    const bool present = outcomePath && fileops::fileExists(*outcomePath);
    if (present) {
        writeStandardError(QStringLiteral("moveFileToPath2 => destination moved/created Successfully\n\n"));
    } else {
        writeStandardError(QStringLiteral("moveFileToPath2 => destination NOT moved or created: %1\n\n")
                               .arg(outcomePath.value_or(kNull)));
        MessageLog::LogMessage(QStringLiteral("moveFileToPath2 => destination NOT moved or created:\r%1\n\n")
                                   .arg(outcomePath.value_or(kNull)));
    }
    std::fflush(stderr);
    return placed && present;
}

} // namespace vesk
