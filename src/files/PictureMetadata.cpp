#include "files/PictureMetadata.h"

#include "app/Paths.h"
#include "diag/Console.h"
#include "files/CaptureDates.h"
#include "files/PictureAnnotation.h"

#include <QFile>
#include <QProcess>

#include <atomic>

namespace vesk {

namespace {
const QString kHelperName = QStringLiteral("vesk-picture-info");
// An answer is a few lines; a user comment is at most what an EXIF block holds.
constexpr qsizetype kMaxAnswerBytes = qsizetype(1) << 20;
} // namespace

PictureMetadata readPictureMetadataInProcess(const QString &path)
{
    PictureMetadata metadata;
    metadata.captureDate = GetInternalExifPictureCaptureDate(path);
    metadata.comment = readExifUserComment(path);
    return metadata;
}

QByteArray encodePictureMetadata(const PictureMetadata &metadata)
{
    QByteArray answer;
    if (metadata.captureDate)
        answer += "capture " + QByteArray::number(metadata.captureDate->toMSecsSinceEpoch()) + '\n';
    if (metadata.comment)
        answer += "comment " + metadata.comment->toUtf8().toHex() + '\n';
    answer += "end\n";
    return answer;
}

std::optional<PictureMetadata> decodePictureMetadata(const QByteArray &answer)
{
    PictureMetadata metadata;
    const QList<QByteArray> lines = answer.split('\n');
    for (const QByteArray &line : lines) {
        if (line == "end")
            return metadata;
        if (line.startsWith("capture ")) {
            bool ok = false;
            const qint64 ms = line.mid(8).toLongLong(&ok);
            if (!ok)
                return std::nullopt;
            metadata.captureDate = QDateTime::fromMSecsSinceEpoch(ms);
        } else if (line.startsWith("comment ")) {
            metadata.comment = QString::fromUtf8(QByteArray::fromHex(line.mid(8)));
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt; // no "end": the helper did not finish
}

PictureMetadata readPictureMetadata(const QString &path, std::chrono::milliseconds limit)
{
    const QString helper = paths::auxiliaryExecutable(kHelperName);
    if (helper.isEmpty()) {
        static std::atomic<bool> told { false };
        if (!told.exchange(true))
            consoleLog(
                QStringLiteral("No %1 beside the program: picture metadata is read in this process").arg(kHelperName));
        return readPictureMetadataInProcess(path);
    }
    QProcess process;
    process.setProgram(helper);
    process.setArguments({ path });
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(int(limit.count()))) {
        consoleLog(QStringLiteral("Cannot run %1 (%2): the picture's metadata is left out: %3")
                       .arg(helper, process.errorString(), path));
        return {};
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QByteArray answer;
    while (process.state() != QProcess::NotRunning) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || answer.size() > kMaxAnswerBytes) {
            process.kill();
            process.waitForFinished(-1);
            consoleLog(QStringLiteral("Reading the picture's metadata took too long; it is left out: %1").arg(path));
            return {};
        }
        process.waitForReadyRead(int(std::min<qint64>(left.count(), 100)));
        answer += process.readAllStandardOutput();
    }
    answer += process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit) {
        // What would have ended the program ended only the helper.
        consoleLog(QStringLiteral("The picture's metadata could not be read (the reader crashed); it is left out: %1")
                       .arg(path));
        return {};
    }
    const std::optional<PictureMetadata> metadata = decodePictureMetadata(answer);
    if (!metadata || process.exitCode() != 0) {
        consoleLog(QStringLiteral("%1 gave no answer (exit status %2); the picture's metadata is left out: %3")
                       .arg(kHelperName)
                       .arg(process.exitCode())
                       .arg(path));
        return {};
    }
    return *metadata;
}

} // namespace vesk
