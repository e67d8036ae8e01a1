#pragma once
// OutcomeHistory: the outcome of every picture, one JSON line each, appended to a file of the state
// folder (mode 0600) so that an operator can ask later whether a picture went. The file is never
// rewritten per outcome: past its line limit it is compacted once to the newer half of its lines.
// Any thread. QtCore only, so that vesk-ctl reads the file with the same code.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <mutex>

namespace vesk {

class OutcomeHistory {
public:
    static constexpr qsizetype kDefaultLineLimit = 20000;

    explicit OutcomeHistory(QString path, qsizetype lineLimit = kDefaultLineLimit);

    // Appends one line: time, picture (relative to the source folder), size in bytes, outcome
    // ("uploaded", "parked", ...) and error (empty for none). False when the file cannot be written.
    bool append(
        const QDateTime &time, const QString &picture, qint64 size, const QString &outcome, const QString &error);

    // The last lines of the file (at most count), oldest first, without their line ends.
    static QList<QByteArray> lastLines(const QString &path, qsizetype count);
    // history.jsonl in the state folder.
    static QString defaultPath();

private:
    bool compact(); // fLock held

    const QString fPath;
    const qsizetype fLineLimit;
    std::mutex fLock;
    qsizetype fLines = -1; // lines in the file; counted at the first append
};

} // namespace vesk
