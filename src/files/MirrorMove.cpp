// AppController: the move of an item out of the source folder into the mirror or problem folder,
// keeping its path relative to the source root, and the encapsulating-folder paths.

#include "files/MirrorMove.h"

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "files/FileOps.h"
#include "files/PathUtils.h"

#include <cstdio>
#include <cstring>

namespace vesk {

namespace {
const QString kNull = QStringLiteral("(null)");
}

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
        fileops::createDirectory(folder);
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

bool AppController::moveFileToPath(const QString &item, const QString &sourceRoot)
{
    traceInside(kClassName, __func__);
    return moveFileToPath(item, sourceRoot, true, false);
}

bool AppController::moveFileToPath(const QString &item, const QString &sourceRoot, bool overwrite, bool encapsulate)
{
    traceInside(kClassName, __func__);
    return moveFileToPath(item, sourceRoot, getLocalMasterMirrorSiteFolder(), overwrite, encapsulate);
}

bool AppController::moveFileToPath(const QString &item, const QString &sourceRoot,
    const std::optional<QString> &destRoot, bool overwrite, bool encapsulate)
{
    traceInside(kClassName, __func__);
    const QString fullSourcePath = pathutil::appendPathComponent(sourceRoot, item);
    bool sourceIsFolder = false;
    if (!fileops::fileExists(fullSourcePath, &sourceIsFolder)) {
        MessageLog::LogMessage(
            QStringLiteral("moveFileToPath=> source item does NOT exist:\r %1\n").arg(fullSourcePath));
        return false;
    }

    // An absent destination root makes every path below it absent, and every step on it fails.
    if (destRoot)
        fileops::createDirectory(*destRoot);
    const std::optional<QString> itemDestPath
        = destRoot ? std::optional<QString>(pathutil::appendPathComponent(*destRoot, item)) : std::nullopt;

    std::optional<QString> outcomePath;
    bool placed = false;
    if (sourceIsFolder) {
        // A folder item is only reproduced; the source folder and its contents stay.
        writeStandardError(QStringLiteral("\ncreateDirectory %1\n").arg(itemDestPath.value_or(kNull)));
        if (itemDestPath)
            fileops::createDirectory(*itemDestPath);
        outcomePath = itemDestPath;
        placed = true;
    } else {
        std::optional<QString> modifiedDestPath = itemDestPath;
        if (encapsulate && destRoot) {
            const QString folder = createEncapsulationFolder(*destRoot, item, true);
            modifiedDestPath = pathutil::appendPathComponent(folder, pathutil::lastPathComponent(item));
        }
        if (modifiedDestPath && overwrite && fileops::itemExistsAtPath(*modifiedDestPath)) {
            if (!fileops::removeItem(*modifiedDestPath))
                consoleLog(QStringLiteral("moveFileToPath2 => removeFileAtPath Failed for item [ [%1]???")
                               .arg(*modifiedDestPath));
        }

        const QString trace = QStringLiteral(
            "\nmoveFileToPath2\rFROM fullSourcePath: %1\r        TO destPath: %2\r   modifiedDestPath: %3\n\n")
                                  .arg(fullSourcePath, destRoot.value_or(kNull), modifiedDestPath.value_or(kNull));
        writeStandardError(trace);
        consoleLog(trace);

        int error = 0;
        placed = modifiedDestPath && fileops::movePath(fullSourcePath, *modifiedDestPath, &error);
        if (!placed) {
            consoleLog(QStringLiteral("moveFileToPath2 => movePath Failed???"));
            if (error != 0)
                consoleLog(QStringLiteral("moveFileToPath2 => %1").arg(QString::fromLocal8Bit(std::strerror(error))));
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
