// The message log, the history of outcomes and the program runner.

#include "StderrCapture.h"
#include "TestSupport.h"

#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "diag/OutcomeHistory.h"
#include "diag/ShellRunner.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace vesk;

TEST(MessageLog, OnePrivateFilePerRunWithTheLastRunKeptOnce)
{
    test::TempProfile profile;
    MessageLog::InitLog();
    MessageLog::LogMessage("run one", false);
    {
        test::StderrCapture err;
        for (int i = 0; i < 3; ++i)
            myNSLog(QStringLiteral("UNABLE to create fThreadLock")); // to standard error and the log
        flushRepeatedErrorLines(true);
        EXPECT_EQ(err.text().count(QStringLiteral("UNABLE to create fThreadLock\n")), 1);
        EXPECT_TRUE(err.text().endsWith(
            QStringLiteral("UNABLE to create fThreadLock (repeated 2 times in the last minute)\n")));
    }
    MessageLog::CloseLog();
    const QStringList lines = test::readText(MessageLog::defaultPath()).split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 5);
    const QRegularExpression stamp(QStringLiteral(
        "^\\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\] ==> run one$"));
    EXPECT_TRUE(stamp.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("] ==> UNABLE to create fThreadLock")));
    EXPECT_EQ(lines[2], QString()); // a line of its own after each of those
    // The count of the ones held back, written when the log closes.
    EXPECT_TRUE(
        lines[3].endsWith(QStringLiteral("] ==> UNABLE to create fThreadLock (repeated 2 times in the last minute)")));
    MessageLog::InitLog();
    EXPECT_EQ(test::readText(MessageLog::defaultPath()), QString());
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(MessageLog::defaultPath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    MessageLog::CloseLog();
    // Once closed, a line reaches only the console.
    test::ConsoleRecorder console;
    MessageLog::LogMessage("late line", true);
    EXPECT_EQ(test::readText(MessageLog::defaultPath()), QString());
    EXPECT_EQ(console.lines(),
        (QStringList { QStringLiteral("Logfile may be closed already?????"), QStringLiteral("NSLog = late line") }));
}

TEST(MessageLog, LinesFromManyThreadsStayWholeWhenTheLogClosesMeanwhile)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("log.txt"));
    MessageLog::InitLog(path);
    const QString longText(5000, QLatin1Char('x'));
    constexpr int kLines = 5000;
    std::atomic<int> written { 0 };
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i, ++written)
                MessageLog::LogMessage(
                    QStringLiteral("writer %1 line %2 %3").arg(t).arg(i).arg(i % 50 ? QString() : longText));
        });
    }
    // Closed while the writers are still at it: each line is either whole in the file or not there.
    ASSERT_TRUE(test::waitFor([&] { return QFile(path).size() > 100000; }));
    MessageLog::CloseLog();
    EXPECT_LT(written.load(), 4 * kLines) << "the writers were done before the log closed";
    for (auto &writer : writers)
        writer.join();
    const QStringList lines = test::readText(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QRegularExpression whole(QStringLiteral("^\\[[^\\]]{24}\\] ==> writer \\d line \\d+ (x{5000})?$"));
    for (const QString &line : lines)
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.left(80).toStdString();
}

TEST(MessageLog, ARepeatedLineIsCountedOnceAMinuteAndNoOtherLineIsHeldBack)
{
    RepeatedLines repeats(std::chrono::minutes(1), 3);
    const struct {
        int second;
        const char *text; // none: only what is due
        const char *written; // lines separated by |
    } steps[] = {
        { 0, "A\n", "A\n" },
        { 1, "A\n", "" },
        { 2, "B", "B" },
        { 3, "A\n", "" },
        { 59, "B", "" },
        // A's minute is over: its count, before its line end; it stays held back while it comes.
        { 60, "C", "A (repeated 2 times in the last minute)\n|C" },
        { 61, "A\n", "" },
        { 62, nullptr, "B (repeated once in the last minute)" },
        { 122, nullptr, "A (repeated once in the last minute)\n" },
        // B came no more in its second minute: forgotten, and written at once when it comes again.
        { 123, "B", "B" },
        { 124, "A\n", "" },
        { 125, "D", "D" },
        // Beyond three kinds the oldest is let go, with its count.
        { 126, "E", "E|A (repeated once in the last minute)\n" },
        { 127, "D", "" },
        { 128, "A\n", "A\n" },
        { 129, nullptr, "" },
    };
    const auto expected
        = [](const char *written) { return QString::fromUtf8(written).split(QLatin1Char('|'), Qt::SkipEmptyParts); };
    const RepeatedLines::Clock::time_point start;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.second);
        const auto now = start + std::chrono::seconds(step.second);
        EXPECT_EQ(
            step.text ? repeats.admit(QString::fromUtf8(step.text), now) : repeats.due(now), expected(step.written));
    }
    EXPECT_EQ(repeats.due(start + std::chrono::seconds(130), true), expected("D (repeated once in the last minute)"));
}

TEST(ShellRunner, ProgramsAreRunToTheirEndAndTheirAnswerRead)
{
    // Far more than a pipe holds: the runner reads while the program runs.
    const auto output = runShellScript2(QStringLiteral("/bin/sh"),
        QStringList { QStringLiteral("-c"), QStringLiteral("head -c 300000 /dev/zero | tr '\\0' a; echo; exit 3") });
    ASSERT_TRUE(output);
    EXPECT_EQ(output->size(), 300001);
    EXPECT_FALSE(runShellScript2(QStringLiteral("/nonexistent/program"), std::nullopt));
    EXPECT_FALSE(runShellScript2(
        QStringLiteral("/bin/sh"), QStringList { QStringLiteral("-c"), QStringLiteral("printf '\\377'") }));

    // The reveal script ships compiled in; it is found even with no file beside the program.
    EXPECT_TRUE(runShellScript(QStringLiteral("revealInFinder.sh"), QStringList { QStringLiteral("/nonexistent") }));
}

TEST(OutcomeHistory, AppendsInPlaceAndCompactsToTheNewerHalfOncePastItsLimitAcrossRuns)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/history.jsonl");
    const QDateTime when = QDateTime::fromString(QStringLiteral("2026-12-07T10:00:00.000+01:00"), Qt::ISODateWithMs);
    struct stat info { };
    ino_t inode = 0;
    int picture = 0;
    for (const int appends : { 7, 4 }) { // two runs: the second counts the lines the first left
        OutcomeHistory history(path, 10);
        for (int i = 0; i < appends; ++i, ++picture) {
            ASSERT_TRUE(history.append(when, QStringLiteral("cam/IMG_%1.JPG").arg(picture), picture,
                QStringLiteral("parked"), picture == 9 ? QStringLiteral("HTTP 500") : QString()));
            ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
            EXPECT_EQ(picture > 0 && info.st_ino != inode, picture == 10) << picture; // rewritten once
            inode = info.st_ino;
        }
    }
    const QList<QByteArray> lines = OutcomeHistory::lastLines(path, 100);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines.at(3),
        R"({"error":"HTTP 500","outcome":"parked","picture":"cam/IMG_9.JPG","size":9,"time":"2026-12-07T10:00:00.000+01:00"})");

    // A history of several hundred kilobytes, read from its end a block at a time: blank lines are
    // not lines, the last line may lack its end, and a compaction keeps the newer half.
    QList<QByteArray> written;
    QByteArray text;
    for (int i = 0; i < 3000; ++i) {
        written << QByteArray(40 + i % 90, 'a' + char(i % 26)) + QByteArray::number(i);
        text += written.last() + (i % 7 == 0 ? "\n\n" : "\n");
    }
    text.chop(1);
    QFile big(path);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
    big.write(text);
    big.close();
    for (const qsizetype count : { 1, 2, 1500, 2999, 3000, 5000 })
        EXPECT_EQ(OutcomeHistory::lastLines(path, count), written.mid(std::max<qsizetype>(0, 3000 - count))) << count;
    ASSERT_TRUE(big.open(QIODevice::Append));
    big.write("\n");
    big.close();
    OutcomeHistory history(path, 2000);
    ASSERT_TRUE(history.append(when, QStringLiteral("cam/last.JPG"), 1, QStringLiteral("uploaded"), QString()));
    const QList<QByteArray> kept = OutcomeHistory::lastLines(path, 5000);
    ASSERT_EQ(kept.size(), 1000);
    EXPECT_EQ(kept.first(), written.at(2001));
    EXPECT_TRUE(kept.last().contains("cam/last.JPG"));
}
