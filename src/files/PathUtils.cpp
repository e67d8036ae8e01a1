#include "files/PathUtils.h"

namespace vesk::pathutil {

namespace {
// Drops trailing separators, keeping a lone "/".
QString withoutTrailingSlash(const QString &path)
{
    QString result = path;
    while (result.size() > 1 && result.endsWith(QLatin1Char('/')))
        result.chop(1);
    return result;
}
} // namespace

QString appendPathComponent(const QString &base, const QString &component)
{
    QString left = withoutTrailingSlash(base);
    QString right = component;
    while (right.startsWith(QLatin1Char('/')))
        right.remove(0, 1);
    if (left.isEmpty())
        return right;
    if (right.isEmpty())
        return left;
    if (left == QLatin1String("/"))
        return left + right;
    return left + QLatin1Char('/') + right;
}

QString lastPathComponent(const QString &path)
{
    const QString trimmed = withoutTrailingSlash(path);
    if (trimmed == QLatin1String("/"))
        return trimmed;
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? trimmed : trimmed.mid(slash + 1);
}

QString deletingLastPathComponent(const QString &path)
{
    const QString trimmed = withoutTrailingSlash(path);
    if (trimmed == QLatin1String("/"))
        return trimmed;
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    if (slash == 0)
        return QStringLiteral("/");
    return withoutTrailingSlash(trimmed.left(slash));
}

QString pathExtension(const QString &path)
{
    const QString name = lastPathComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return QString();
    return name.mid(dot + 1);
}

QString deletingPathExtension(const QString &path)
{
    const QString extension = pathExtension(path);
    if (extension.isEmpty())
        return withoutTrailingSlash(path);
    const QString trimmed = withoutTrailingSlash(path);
    return trimmed.left(trimmed.size() - extension.size() - 1);
}

} // namespace vesk::pathutil
