// The folder watcher: every kind of change in every folder below the root, new folders included,
// and a watcher that says so when it can no longer see everything; how its events become passes.

#include "TestSupport.h"

#include "schedule/ChangePacer.h"
#include "schedule/FolderWatcher.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <thread>

using namespace vesk;

namespace {
struct Watching {
    explicit Watching(const QString &root, int limit = -1)
        : watcher(root,
            { [this] { ++changes; }, [this] { ++overflows; },
                [this](const QString &text) {
                    std::lock_guard<std::mutex> guard(lock);
                    problems << text;
                } })
    {
        watcher.setWatchLimit(limit);
    }
    ~Watching()
    {
        watcher.stop();
        if (thread.joinable())
            thread.join();
    }
    void run()
    {
        thread = std::thread([this] { watcher.run(); });
    }
    bool changesAfter(const std::function<void()> &action)
    {
        const int before = changes;
        action();
        return test::waitFor([&] { return changes > before; }, std::chrono::seconds(10));
    }
    std::atomic<int> changes { 0 };
    std::atomic<int> overflows { 0 };
    std::mutex lock;
    QStringList problems;
    FolderWatcher watcher;
    std::thread thread;
};
} // namespace

TEST(FolderWatcher, EveryKindOfChangeInEveryFolderCountsNewFoldersToo)
{
    test::TempProfile profile;
    const QString root = profile.path(QStringLiteral("source"));
    test::writeFile(root + QStringLiteral("/Existing/Deep/IMG_0.JPG"), "x");
    Watching w(root);
    ASSERT_TRUE(w.watcher.start());
    EXPECT_EQ(w.watcher.watchCount(), 3);
    w.run();
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/Existing/Deep/IMG_1.JPG"), "x"); }));
    // A permission fixed on a picture.
    EXPECT_TRUE(w.changesAfter(
        [&] { QFile::setPermissions(root + QStringLiteral("/Existing/Deep/IMG_1.JPG"), QFileDevice::ReadOwner); }));
    // A picture written again in place, and closed.
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/Existing/Deep/IMG_0.JPG"), "again"); }));
    // Hundreds of files made and removed at once (churn): passes at the pacer's bounded rate only,
    // and the picture written after them is still reported.
    const int beforeChurn = w.changes;
    const auto churnBegan = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        test::writeFile(root + QStringLiteral("/Existing/.churn"), "x");
        QFile::remove(root + QStringLiteral("/Existing/.churn"));
    }
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/Existing/IMG_9.JPG"), "x"); }));
    const auto churned = std::chrono::steady_clock::now() - churnBegan;
    EXPECT_LE(w.changes - beforeChurn, 12 + churned / std::chrono::milliseconds(100));
    // A folder made after the start is watched, even one made in a single step with its parents.
    EXPECT_TRUE(w.changesAfter([&] { QDir().mkpath(root + QStringLiteral("/New/Inner")); }));
    ASSERT_TRUE(test::waitFor([&] { return w.watcher.watchCount() == 5; }, std::chrono::seconds(10)));
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/New/Inner/IMG_2.JPG"), "x"); }));
    EXPECT_TRUE(w.changesAfter([&] {
        QFile::rename(root + QStringLiteral("/New/Inner/IMG_2.JPG"), root + QStringLiteral("/New/Inner/IMG_3.JPG"));
    }));
    EXPECT_TRUE(w.changesAfter([&] { QFile::remove(root + QStringLiteral("/New/Inner/IMG_3.JPG")); }));
    // The root going away ends the watch, with a line.
    QDir(root).removeRecursively();
    ASSERT_TRUE(test::waitFor([&] { return w.watcher.watchCount() == 0; }, std::chrono::seconds(10)));
    w.thread.join();
    std::lock_guard<std::mutex> guard(w.lock);
    EXPECT_EQ(w.problems.size(), 1);
    EXPECT_EQ(w.overflows, 0);
}

TEST(ChangePacer, EntriesThatStayAskForAPassAtABoundedRateThoseGoneAgainForNone)
{
    using std::chrono::milliseconds;
    ChangePacer pacer({ milliseconds(10), 2, milliseconds(100), milliseconds(500), 3, milliseconds(500) });
    // Steps: the moment in ms, then +entry (made), -entry (moved away), xentry (deleted), ?1 or ?0
    // (whether a pass is asked for now) or @ms (when one may next be, -1 for never).
    const char *const scenarios[] = {
        // Made and removed again at once: nothing.
        "0+a/x 5-a/x 30?0 30@-1",
        // A picture that stays, once settled; one written under a hidden name and renamed: one request.
        "100+a/y 105?0 105@110 110?1 111?0 200+b/.z.part 201-b/.z.part 201+b/z 211?1",
        // Two requests at once, then one per 100 ms.
        "300+c/1 310?1 311+c/2 321?1 322+c/3 332?0 332@410 410?1",
        // A removal alone asks too, half a second after the last request.
        "500-d/old 500@910 910?1 911@-1",
        // Three deletions within a second: churn. An entry must stay half a second, requests are half
        // a second apart, until two seconds pass without a deletion.
        "1000xe/1 1001xe/2 1002+e/3 1003xe/3 1100+e/4 1200?0 1200@1600 1600?1 1601+e/5 2100?0 2100@2101 2101?1",
        "3100+f/1 3110?1",
    };
    const ChangePacer::Time start = ChangePacer::Clock::now();
    for (const char *scenario : scenarios) {
        for (const QByteArray &step : QByteArray(scenario).split(' ')) {
            SCOPED_TRACE(step.toStdString());
            qsizetype op = 0;
            while (std::isdigit(static_cast<unsigned char>(step[op])))
                ++op;
            const ChangePacer::Time now = start + milliseconds(step.left(op).toInt());
            const QByteArray argument = step.mid(op + 1);
            if (step[op] == '+')
                pacer.added(argument, now);
            else if (step[op] == '-' || step[op] == 'x')
                pacer.removed(argument, now, step[op] == 'x');
            else if (step[op] == '?')
                EXPECT_EQ(pacer.take(now), argument == "1");
            else if (const std::optional<ChangePacer::Time> at = pacer.wakeAt(now))
                EXPECT_EQ((*at - start) / milliseconds(1), argument.toInt());
            else
                EXPECT_EQ(argument, "-1");
        }
    }
}
