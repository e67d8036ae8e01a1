#include "app/Paths.h"

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

QString expandTilde(const QString &path)
{
    if (path == QLatin1String("~"))
        return homeFolder();
    if (path.startsWith(QLatin1String("~/")))
        return homeFolder() + path.mid(1);
    return path;
}

} // namespace vesk::paths
