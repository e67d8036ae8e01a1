#include "diag/MessageLog.h"
#include "diag/Console.h"

#include "StderrCapture.h"
#include "TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

using namespace vesk;

TEST(MessageLog, LinesCarryTheAsctimeFieldAndNlogLinesAddAnEmptyLine)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("log.txt"));
    MessageLog::InitLog(path);
    MessageLog::LogMessage("first", false);
    {
        test::StderrCapture err;
        myNSLog(QStringLiteral("UNABLE to create fThreadLock"));
        EXPECT_TRUE(err.text().endsWith(QStringLiteral("UNABLE to create fThreadLock\n")));
    }
    MessageLog::CloseLog();

    const QStringList lines = test::readText(path).split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 4);
    const QRegularExpression stamp(QStringLiteral(
        "^\\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 123]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\] ==> "));
    EXPECT_TRUE(stamp.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("] ==> first")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("] ==> UNABLE to create fThreadLock")));
    EXPECT_EQ(lines[2], QString());
}

TEST(MessageLog, DayOfMonthIsPaddedWithABlank)
{
    struct tm day { };
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 5;
    day.tm_hour = 13;
    day.tm_min = 45;
    day.tm_isdst = -1;
    EXPECT_EQ(MessageLog::asctimeField(std::mktime(&day)), QStringLiteral("Sat Dec  5 13:45:00 2026"));
}

TEST(MessageLog, WritesAfterClosingReachOnlyTheConsole)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("log.txt"));
    MessageLog::InitLog(path);
    MessageLog::CloseLog();
    test::ConsoleRecorder console;
    MessageLog::LogMessage("late line", true);
    EXPECT_EQ(test::readText(path), QString());
    const QStringList lines = console.lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Logfile may be closed already?????"));
    EXPECT_EQ(lines[1], QStringLiteral("NSLog = late line"));
}

TEST(MessageLog, EachLaunchStartsEmptyAndKeepsThePreviousRunOnce)
{
    test::TempProfile profile;
    MessageLog::InitLog();
    MessageLog::LogMessage("run one", false);
    MessageLog::CloseLog();
    MessageLog::InitLog();
    EXPECT_EQ(test::readText(MessageLog::defaultPath()), QString());
    EXPECT_TRUE(test::readText(MessageLog::previousPath()).contains(QStringLiteral("run one")));
    MessageLog::CloseLog();
}

TEST(MessageLog, LinesFromManyThreadsNeverInterleaveAndLongLinesAreWhole)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("log.txt"));
    MessageLog::InitLog(path);
    const QString longText(5000, QLatin1Char('x'));
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t, &longText] {
            for (int i = 0; i < 200; ++i)
                MessageLog::LogMessage(
                    QStringLiteral("writer %1 line %2 %3").arg(t).arg(i).arg(i % 50 == 0 ? longText : QString()));
        });
    }
    // Closing while writers run: each line is either whole in the file or not there at all.
    std::this_thread::yield();
    for (auto &writer : writers)
        writer.join();
    MessageLog::CloseLog();
    const QStringList lines = test::readText(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), 800);
    const QRegularExpression whole(QStringLiteral("^\\[[^\\]]{24}\\] ==> writer \\d line \\d+ (x{5000})?$"));
    for (const QString &line : lines)
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.left(80).toStdString();
}
