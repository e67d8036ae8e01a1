#include "cycle/Metrics.h"

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cmath>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace vesk::metrics {

namespace {
constexpr auto kLeastInterval = std::chrono::seconds(1);
constexpr auto kMostInterval = std::chrono::seconds(15);

QString number(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("+Inf") : QStringLiteral("-Inf");
    return QString::number(value, 'g', 15);
}

double unixSeconds(const QDateTime &when)
{
    return when.isValid() ? double(when.toMSecsSinceEpoch()) / 1000.0 : 0.0;
}

class Writer {
public:
    explicit Writer(const QString &booth)
        : fBooth(QStringLiteral("booth=\"%1\"").arg(escapeLabelValue(booth)))
    { }
    void family(const char *name, const char *type, const char *help)
    {
        fText += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                     .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    // labels: further label pairs, already escaped (name="value",...).
    void sample(const QString &name, const QString &value, const QString &labels = {})
    {
        fText += name + QLatin1Char('{') + fBooth + (labels.isEmpty() ? QString() : QLatin1Char(',') + labels)
            + QStringLiteral("} ") + value + QLatin1Char('\n');
    }
    void sample(const char *name, const QString &value) { sample(QLatin1String(name), value); }
    void single(const char *name, const char *type, const char *help, const QString &value)
    {
        family(name, type, help);
        sample(name, value);
    }
    QByteArray bytes() const { return fText.toUtf8(); }

private:
    QString fBooth;
    QString fText;
};

QString label(const char *name, const QString &value)
{
    return QStringLiteral("%1=\"%2\"").arg(QLatin1String(name), escapeLabelValue(value));
}
} // namespace

QString escapeLabelValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QByteArray exposition(const Figures &f)
{
    const CycleStatus::Totals &t = f.cycle.totals;
    const auto count = [](qint64 value) { return QString::number(value); };
    Writer w(f.booth);
    w.family("vesk_info", "gauge", "The uploader's version, the event it uploads for and its booth.");
    w.sample(QStringLiteral("vesk_info"), QStringLiteral("1"),
        label("version", f.version) + QLatin1Char(',') + label("event", f.event));
    w.single("vesk_start_time_seconds", "gauge", "When the uploader started, in seconds since the epoch.",
        number(unixSeconds(f.cycle.started)));
    w.single("vesk_uploaded_pictures_total", "counter", "Pictures the service took.", count(t.uploaded));
    w.single("vesk_parked_pictures_total", "counter", "Pictures moved into the problem folder.", count(t.parked));
    w.single("vesk_uploaded_not_moved_pictures_total", "counter",
        "Pictures the service took that could not be moved into the mirror folder.", count(t.uploadedNotMoved));
    w.single("vesk_failed_transfer_pictures_total", "counter",
        "Pictures whose transfer failed (once until they go through or leave).", count(t.failedPictures));
    w.single("vesk_failed_transfer_attempts_total", "counter", "Transfers that failed.", count(t.failedAttempts));
    w.single("vesk_sent_bytes_total", "counter", "Bytes of the pictures the service took.", count(t.sentBytes));
    w.single("vesk_last_upload_timestamp_seconds", "gauge",
        "When the last picture went through, in seconds since the epoch (0 before the first).",
        number(unixSeconds(t.lastUpload)));
    w.single("vesk_retry_waiting_pictures", "gauge", "Pictures waiting for a retry after a failed transfer.",
        count(f.waitingForRetry));
    if (f.cycle.lastCountTime.isValid() && f.cycle.lastCount.readable) {
        w.single("vesk_waiting_pictures", "gauge",
            "Pictures waiting in the source folder at the last count (at least, when the count was cut short).",
            count(f.cycle.lastCount.pictures));
        w.single("vesk_waiting_count_age_seconds", "gauge", "How old the count of waiting pictures is.",
            number(double(f.cycle.lastCountTime.msecsTo(QDateTime::currentDateTime())) / 1000.0));
    }
    w.family("vesk_cycle_state", "gauge", "The cycle's state: 1 for the current one.");
    for (const QString &state : kStates)
        w.sample(QStringLiteral("vesk_cycle_state"), state == f.state ? QStringLiteral("1") : QStringLiteral("0"),
            label("state", state));
    w.single("vesk_service_away", "gauge", "1 while the service does not answer.",
        f.cycle.awaySince.isValid() ? QStringLiteral("1") : QStringLiteral("0"));
    w.family("vesk_upload_duration_seconds", "histogram", "How long the pictures that went through took to send.");
    qint64 cumulative = 0;
    for (size_t i = 0; i < CycleStatus::kDurationBounds.size(); ++i) {
        cumulative += t.durationCounts[i];
        w.sample(QStringLiteral("vesk_upload_duration_seconds_bucket"), count(cumulative),
            label("le", number(CycleStatus::kDurationBounds[i])));
    }
    w.sample(
        QStringLiteral("vesk_upload_duration_seconds_bucket"), count(t.durationCount), QStringLiteral("le=\"+Inf\""));
    w.sample("vesk_upload_duration_seconds_sum", number(t.durationSum));
    w.sample("vesk_upload_duration_seconds_count", count(t.durationCount));
    if (f.mirrorAvailableBytes && f.mirrorSizeBytes) {
        w.single("vesk_mirror_filesystem_avail_bytes", "gauge",
            "Bytes free for the uploader on the mirror folder's file system.", count(*f.mirrorAvailableBytes));
        w.single("vesk_mirror_filesystem_size_bytes", "gauge", "Size of the mirror folder's file system.",
            count(*f.mirrorSizeBytes));
    }
    return w.bytes();
}

QString Textfile::refusal(const QString &path)
{
    if (!path.endsWith(QLatin1String(".prom")) || QFileInfo(path).fileName() == QLatin1String(".prom"))
        return QStringLiteral("the metrics file's name must end in .prom (node_exporter reads only those): %1")
            .arg(path);
    if (!QFileInfo(QFileInfo(path).absolutePath()).isDir())
        return QStringLiteral("the metrics file's folder does not exist: %1").arg(QFileInfo(path).absolutePath());
    return {};
}

Textfile::Textfile(QString path, std::function<QByteArray()> text, QObject *parent)
    : QObject(parent)
    , fPath(std::move(path))
    , fText(std::move(text))
    , fTimer(new QTimer(this))
{
    fTimer->setSingleShot(true);
    connect(fTimer, &QTimer::timeout, this, [this] { write(); });
    fTimer->start(0);
}

void Textfile::outcome()
{
    using namespace std::chrono;
    const auto due = std::max(fLastWrite + kLeastInterval, steady_clock::now());
    const auto wait = duration_cast<milliseconds>(due - steady_clock::now()) + milliseconds(1);
    if (!fTimer->isActive() || milliseconds(fTimer->remainingTime()) > wait)
        fTimer->start(wait);
}

bool Textfile::write()
{
    fLastWrite = std::chrono::steady_clock::now();
    fTimer->start(kMostInterval);
    const QByteArray text = fText();
    // Beside the file under a name node_exporter passes over, then renamed over it in one step.
    const QByteArray temporary = QFile::encodeName(fPath + QStringLiteral(".%1.tmp").arg(::getpid()));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd >= 0;
    for (qsizetype done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += n > 0 ? n : 0;
    }
    const int error = written ? 0 : errno;
    if (fd >= 0 && ::close(fd) != 0 && written)
        written = false;
    if (written && ::rename(temporary.constData(), QFile::encodeName(fPath).constData()) != 0)
        written = false;
    if (!written) {
        const QString reason = qt_error_string(error ? error : errno);
        ::unlink(temporary.constData());
        if (!fFailing)
            myNSLog(QStringLiteral("The metrics file [%1] cannot be written: %2").arg(fPath, reason));
        fFailing = true;
        return false;
    }
    if (fFailing)
        myNSLog(QStringLiteral("The metrics file [%1] is written again").arg(fPath));
    fFailing = false;
    return true;
}

} // namespace vesk::metrics

namespace vesk {

namespace {
constexpr qint64 kWaitingCountMaxAgeMs = 15000;
}

QByteArray AppController::metricsExposition()
{
    metrics::Figures figures;
    const StatusReport report = statusReport();
    figures.booth = fOptions.metricsLabel;
    figures.version = QStringLiteral(VESK_VERSION);
    figures.state = report.state;
    figures.cycle = report.cycle;
    figures.waitingForRetry = report.waitingForRetry;
    const QString event = fStore->stringForKey(sPrefUserEnteredEventName).value_or(QString());
    figures.event = event.compare(sEventNamePlaceholder, Qt::CaseInsensitive) == 0 ? QString() : event;
    if (const std::optional<QString> mirror = getLocalMasterMirrorSiteFolder()) {
        struct statvfs space { };
        if (!mirror->isEmpty() && ::statvfs(QFile::encodeName(paths::expandTilde(*mirror)).constData(), &space) == 0) {
            figures.mirrorAvailableBytes = qint64(space.f_bavail) * qint64(space.f_frsize);
            figures.mirrorSizeBytes = qint64(space.f_blocks) * qint64(space.f_frsize);
        }
    }
    // The figure is the last count with its age: a reading never waits for a walk of the folder, and
    // asks for a fresh count (on the counting thread) only when the last one is old.
    const QDateTime &counted = figures.cycle.lastCountTime;
    if (!counted.isValid() || counted.msecsTo(QDateTime::currentDateTime()) > kWaitingCountMaxAgeMs)
        fStatus->countWaiting(
            getLocalSourceUploadFolder().value_or(QString()), [](const CycleStatus::WaitingCount &) {});
    return metrics::exposition(figures);
}

void AppController::startMetricsTextfile()
{
    if (fOptions.metricsTextfile.isEmpty() || fMetricsTextfile)
        return;
    auto *file = new metrics::Textfile(
        fOptions.metricsTextfile, [this] { return metricsExposition(); }, this);
    connect(fStatus, &CycleStatus::event, file, &metrics::Textfile::outcome);
    connect(fStatus, &CycleStatus::waitingCountChanged, file, &metrics::Textfile::outcome);
    fMetricsTextfile = file;
    MessageLog::LogMessage(QStringLiteral("Metrics are written to [%1]").arg(fOptions.metricsTextfile), true);
}

} // namespace vesk
