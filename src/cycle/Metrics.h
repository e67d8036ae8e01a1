#pragma once
// The program's figures in the Prometheus text exposition format (for `vesk-ctl metrics` and
// node_exporter's textfile collector), and the writer of that file. Every series carries the booth
// label, so that two accounts writing into one folder never make the same series.

#include "cycle/CycleStatus.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;

namespace vesk::metrics {

// The cycle's states, one gauge each (1 for the current one).
inline const QStringList kStates { QStringLiteral("idle and waiting"), QStringLiteral("scanning"),
    QStringLiteral("uploading"), QStringLiteral("pause requested"), QStringLiteral("halted"),
    QStringLiteral("stopped by a service error"), QStringLiteral("settings refused") };

struct Figures {
    QString booth;
    QString version;
    QString event;
    QString state;
    CycleStatus::Snapshot cycle;
    int waitingForRetry = 0; // pictures in the source folder waiting for a retry
    std::optional<qint64> mirrorAvailableBytes, mirrorSizeBytes; // none when the mirror cannot be read
};

// A label value as the format wants it: backslash, double quote and line feed escaped.
QString escapeLabelValue(const QString &value);
// The whole exposition, ending in a line feed.
QByteArray exposition(const Figures &figures);

// Writes the exposition to a .prom file whole (a temporary file beside it, then a rename): within
// 1 s of every outcome(), at least every 15 s, never more often than once a second. The file stays
// when the writer goes. Main thread.
class Textfile : public QObject {
    Q_OBJECT
public:
    // Why the path cannot serve (empty when it can): the name must end in ".prom" and its folder must exist.
    static QString refusal(const QString &path);

    Textfile(QString path, std::function<QByteArray()> text, QObject *parent = nullptr);
    const QString &path() const { return fPath; }
    // Something happened: the file is written within a second.
    void outcome();
    // Writes it now; false (logged once until a write works again) when it cannot be written.
    bool write();

private:
    QString fPath;
    std::function<QByteArray()> fText;
    QTimer *fTimer;
    std::chrono::steady_clock::time_point fLastWrite {};
    bool fFailing = false;
};

} // namespace vesk::metrics
