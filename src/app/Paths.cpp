#include "app/Paths.h"

#include <QDir>
#include <QFileInfo>

namespace vesk::paths {

QString preferencesFile()
{
    return configFolder() + QStringLiteral("/preferences.plist");
}

QString predecessorPreferencesFile()
{
    return homeFolder() + QStringLiteral("/Library/Preferences/com.halvoryn.Vesk-FTPUploader.plist");
}

QString commandSocketFile()
{
    return runtimeFolder() + QStringLiteral("/command.sock");
}

QString administratorDefaultsFile()
{
    QString folders = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (folders.isEmpty())
        folders = QStringLiteral("/etc/xdg");
    for (const QString &folder : folders.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!QDir::isAbsolutePath(folder))
            continue; // relative entries are to be ignored
        const QString file
            = folder + QLatin1Char('/') + QLatin1String(kAppFolderName) + QStringLiteral("/defaults.plist");
        if (QFileInfo::exists(file))
            return file;
    }
    return {};
}

QString passwordCredentialFile()
{
    const QString folder = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/vesk-password");
}

QString expandTilde(const QString &path)
{
    if (path == QLatin1String("~"))
        return homeFolder();
    if (path.startsWith(QLatin1String("~/")))
        return homeFolder() + path.mid(1);
    return path;
}

} // namespace vesk::paths
