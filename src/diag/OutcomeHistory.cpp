#include "diag/OutcomeHistory.h"

#include "base/Folders.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
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

namespace {
constexpr qint64 kBlock = 64 * 1024;

// Where the last count lines (blank ones not counted) of the open file begin; 0 when it holds no
// more. Read backwards a block at a time: the cost is that of the lines asked for, not the file's.
qint64 startOfLastLines(QFile &file, qsizetype count)
{
    qsizetype seen = 0;
    bool content = false; // in the line after the last line end met
    for (qint64 end = file.size(); end > 0;) {
        const qint64 from = std::max<qint64>(0, end - kBlock);
        if (!file.seek(from))
            return 0;
        const QByteArray block = file.read(end - from);
        if (block.size() != end - from)
            return 0;
        for (qsizetype i = block.size() - 1; i >= 0; --i) {
            if (block.at(i) != '\n') {
                content = true;
            } else if (content) {
                content = false;
                if (++seen == count)
                    return from + i + 1;
            }
        }
        end = from;
    }
    return 0;
}
} // namespace

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
        fLines = 0;
        QFile file(fPath);
        if (file.open(QIODevice::ReadOnly)) {
            for (QByteArray block = file.read(kBlock); !block.isEmpty(); block = file.read(kBlock))
                fLines += block.count('\n');
        }
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
    // Copied a block at a time: a compaction during a backlog of thousands holds no more than a
    // block of the file in memory.
    QFile source(fPath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    if (!source.seek(startOfLastLines(source, fLineLimit / 2)))
        return false;
    QSaveFile file(fPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    qsizetype lines = 0;
    for (QByteArray block = source.read(kBlock); !block.isEmpty(); block = source.read(kBlock)) {
        lines += block.count('\n');
        if (file.write(block) != block.size())
            return false;
    }
    if (source.error() != QFileDevice::NoError || !file.commit())
        return false;
    fLines = lines;
    return true;
}

QList<QByteArray> OutcomeHistory::lastLines(const QString &path, qsizetype count)
{
    QFile file(path);
    if (count <= 0 || !file.open(QIODevice::ReadOnly) || !file.seek(startOfLastLines(file, count)))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace vesk
