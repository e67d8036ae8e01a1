// vesk-bench-micro: Google Benchmark for the pure functions on the per-picture path.
//
//   VESK_BENCH_PICTURE=PATH vesk-bench-micro [benchmark flags]
//
// PATH is a sample picture with an EXIF capture date and an annotation (vesk-sample-pictures).
// The EXIF readers write console lines: run with standard error sent to /dev/null (the write is
// then part of the measured cost, as it is in the program).

#include "cycle/CycleNames.h"
#include "cycle/WriterCheck.h"
#include "diag/Console.h"
#include "files/CaptureDates.h"
#include "files/OpenedPicture.h"
#include "files/PictureAnnotation.h"
#include "http/Multipart.h"
#include "http/Reply.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFileInfo>
#include <QString>

namespace {

const QString gPicture = qEnvironmentVariable("VESK_BENCH_PICTURE");

vesk::Info uploadRecord()
{
    using K = vesk::CycleNames;
    vesk::Info record;
    record.insert(K::cDictKeyUser, QStringLiteral("photographer"));
    record.insert(K::cDictKeyPasswd, QStringLiteral("s3cret"));
    record.insert(K::cDictKeyEventName, QStringLiteral("Gala 2026"));
    record.insert(K::cDictKeyClientName, QStringLiteral("IMG_0001"));
    record.insert(K::cDictKeyCaptureTime, QStringLiteral("2026-12-06 13:45:00"));
    record.insert(K::cDictKeyMetaData, QString());
    record.insert(K::cDictKeyKobFuseAction, QStringLiteral("upload.upload"));
    record.insert(K::cDictKeyEmails, QStringLiteral("guest@example.com,family@example.com"));
    record.insert(K::cDictKeyOriginalPath, QStringLiteral("/Volumes/Card/DCIM/100CANON/IMG_0001.JPG"));
    record.insert(K::cDictKeyFileName, QStringLiteral("/srv/hotfolder/source/Table 1/IMG_0001.JPG"));
    return record;
}

// The reply the substitute service gives for an accepted picture.
const QByteArray kOkReply
    = QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><status>OK</status>"
                        "<message>Received IMG_0001.JPG for event Gala 2026</message></response>");

void BM_MultipartPrefix(benchmark::State &state)
{
    const vesk::Info record = uploadRecord();
    for (auto _ : state) {
        QByteArray prefix = vesk::multipartPrefix(record);
        benchmark::DoNotOptimize(prefix);
    }
}
BENCHMARK(BM_MultipartPrefix);

// The whole request text around a picture, as the controller builds it per upload.
void BM_MultipartPrefixSuffixType(benchmark::State &state)
{
    const vesk::Info record = uploadRecord();
    for (auto _ : state) {
        QByteArray type = vesk::multipartContentType();
        QByteArray prefix = vesk::multipartPrefix(record);
        QByteArray suffix = vesk::multipartSuffix();
        benchmark::DoNotOptimize(type);
        benchmark::DoNotOptimize(prefix);
        benchmark::DoNotOptimize(suffix);
    }
}
BENCHMARK(BM_MultipartPrefixSuffixType);

void BM_InterpretReply(benchmark::State &state)
{
    for (auto _ : state) {
        vesk::ReplyInterpretation reply = vesk::interpretReply(kOkReply);
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_InterpretReply);

// With the logged details, as HttpController asks for them.
void BM_InterpretReplyForLog(benchmark::State &state)
{
    for (auto _ : state) {
        vesk::ReplyInterpretation reply = vesk::interpretReply(kOkReply, vesk::ReplyDetail::Log);
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_InterpretReplyForLog);

void BM_DecodeReply(benchmark::State &state)
{
    for (auto _ : state) {
        vesk::DecodedReply decoded = vesk::decodeReply(kOkReply);
        benchmark::DoNotOptimize(decoded);
    }
}
BENCHMARK(BM_DecodeReply);

void BM_CaptureDate(benchmark::State &state)
{
    for (auto _ : state) {
        std::optional<QDateTime> date = vesk::GetAndUpdateFileCreationDate(gPicture, true, false);
        if (!date)
            state.SkipWithError("no date");
        benchmark::DoNotOptimize(date);
    }
}
BENCHMARK(BM_CaptureDate)->Unit(benchmark::kMicrosecond);

void BM_ReadAnnotation(benchmark::State &state)
{
    for (auto _ : state) {
        vesk::PictureAnnotation annotation = vesk::readPictureAnnotation(gPicture);
        if (!annotation.emails)
            state.SkipWithError("no annotation");
        benchmark::DoNotOptimize(annotation);
    }
}
BENCHMARK(BM_ReadAnnotation)->Unit(benchmark::kMicrosecond);

// Both EXIF reads of one picture, as a pass does them.
void BM_ExifBoth(benchmark::State &state)
{
    for (auto _ : state) {
        std::optional<QDateTime> date = vesk::GetAndUpdateFileCreationDate(gPicture, true, false);
        vesk::PictureAnnotation annotation = vesk::readPictureAnnotation(gPicture);
        benchmark::DoNotOptimize(date);
        benchmark::DoNotOptimize(annotation);
    }
}
BENCHMARK(BM_ExifBoth)->Unit(benchmark::kMicrosecond);

void BM_WriterCheck(benchmark::State &state)
{
    for (auto _ : state) {
        vesk::WriterState writer = vesk::checkWriter(gPicture, 2.0);
        benchmark::DoNotOptimize(writer);
    }
}
BENCHMARK(BM_WriterCheck)->Unit(benchmark::kMicrosecond);

// The chosen picture opened afresh, one folder at a time from the source folder (two levels here, as
// a picture in a sub-folder), as every pass does before it reads the picture.
void BM_OpenPicture(benchmark::State &state)
{
    const QFileInfo picture(gPicture);
    const QString root = QFileInfo(picture.absolutePath()).absolutePath();
    const QString relative = picture.dir().dirName() + QLatin1Char('/') + picture.fileName();
    for (auto _ : state) {
        vesk::OpenedPicture::Opening opening = vesk::OpenedPicture::open(root, relative);
        benchmark::DoNotOptimize(opening);
        if (!opening.picture)
            state.SkipWithError("the picture cannot be opened");
    }
}
BENCHMARK(BM_OpenPicture)->Unit(benchmark::kMicrosecond);

// One console line (the program writes several dozen per picture).
void BM_ConsoleLogLine(benchmark::State &state)
{
    const QString line = QStringLiteral("Inside AppController => scanFolderOnMainThread...");
    for (auto _ : state)
        vesk::consoleLog(line);
}
BENCHMARK(BM_ConsoleLogLine);

} // namespace

BENCHMARK_MAIN();
