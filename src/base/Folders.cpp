#include "base/Folders.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

namespace vesk::paths {

namespace {
QString fromEnv(const char *name)
{
    const QByteArray value = qgetenv(name);
    if (value.isEmpty())
        return {};
    const QString path = QString::fromLocal8Bit(value);
    return QDir::isAbsolutePath(path) ? path : QString(); // relative XDG values are to be ignored
}

QString appFolderIn(const QString &base)
{
    return base + QLatin1Char('/') + QLatin1String(kAppFolderName);
}
} // namespace

QString homeFolder()
{
    return QDir::homePath();
}

QString configFolder()
{
    QString base = fromEnv("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = homeFolder() + QStringLiteral("/.config");
    return appFolderIn(base);
}

QString stateFolder()
{
    QString base = fromEnv("XDG_STATE_HOME");
    if (base.isEmpty())
        base = homeFolder() + QStringLiteral("/.local/state");
    return appFolderIn(base);
}

QString runtimeFolder()
{
    const QString base = fromEnv("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        return QStringLiteral("/tmp/%1-%2").arg(QLatin1String(kAppFolderName)).arg(::getuid());
    return appFolderIn(base);
}

QString applicationFilePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString auxiliaryExecutable(const QString &name)
{
    const QString appDir = QFileInfo(applicationFilePath()).absolutePath();
    const QString overrideDir = qEnvironmentVariable("VESK_LIBEXEC_DIR");
    const QString candidates[] = {
        overrideDir.isEmpty() ? QString() : overrideDir + QLatin1Char('/') + name,
        appDir + QLatin1Char('/') + name,
        QDir::cleanPath(appDir + QStringLiteral("/../libexec/vesk-ftpuploader/") + name),
    };
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty())
            continue;
        QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return candidate;
    }
    // Scripts are also compiled into the program: run a private copy of the built-in one.
    QFile builtIn(QStringLiteral(":/libexec/") + name);
    if (!builtIn.open(QIODevice::ReadOnly))
        return {};
    const QByteArray content = builtIn.readAll();
    const QString folder = runtimeFolder() + QStringLiteral("/libexec");
    if (!makeFolder(runtimeFolder(), 0700) || !makeFolder(folder, 0700))
        return {};
    const QString target = folder + QLatin1Char('/') + name;
    QFile copy(target);
    if (copy.open(QIODevice::ReadOnly) && copy.readAll() == content && QFileInfo(target).isExecutable())
        return target;
    copy.close();
    QSaveFile writer(target);
    if (!writer.open(QIODevice::WriteOnly) || writer.write(content) != content.size())
        return {};
    writer.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!writer.commit())
        return {};
    return target;
}

bool makeFolder(const QString &path, unsigned mode)
{
    QFileInfo info(path);
    if (info.isDir())
        return true;
    const QString parent = info.absolutePath();
    if (parent != path && !QFileInfo(parent).isDir() && !QDir().mkpath(parent))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), mode) != 0 && errno != EEXIST)
        return false;
    return QFileInfo(path).isDir();
}

} // namespace vesk::paths
