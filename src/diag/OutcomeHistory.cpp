#include "diag/OutcomeHistory.h"

#include "base/Folders.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

namespace vesk {

OutcomeHistory::OutcomeHistory(QString path, qsizetype lineLimit)
    : fPath(std::move(path))
    , fLineLimit(lineLimit)
{ }

QString OutcomeHistory::defaultPath()
{
    return paths::stateFolder() + QStringLiteral("/history.jsonl");
}

bool OutcomeHistory::append(
    const QDateTime &time, const QString &picture, qint64 size, const QString &outcome, const QString &error)
{
    const QJsonObject line { { QStringLiteral("time"),
                                 time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs) },
        { QStringLiteral("picture"), picture }, { QStringLiteral("size"), size },
        { QStringLiteral("outcome"), outcome }, { QStringLiteral("error"), error } };
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(fLock);
    if (fLines < 0) {
        QFile file(fPath);
        fLines = file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }
    // One write of the whole line on a descriptor in append mode: a line is never torn or mixed.
    const int fd = ::open(QFile::encodeName(fPath).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(fd);
    if (written && ++fLines > fLineLimit)
        compact();
    return written;
}

bool OutcomeHistory::compact()
{
    const QList<QByteArray> kept = lastLines(fPath, fLineLimit / 2);
    QSaveFile file(fPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const QByteArray &line : kept)
        file.write(line + '\n');
    if (!file.commit())
        return false;
    fLines = kept.size();
    return true;
}

QList<QByteArray> OutcomeHistory::lastLines(const QString &path, qsizetype count)
{
    QFile file(path);
    if (count <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines.mid(std::max<qsizetype>(0, lines.size() - count));
}

} // namespace vesk
