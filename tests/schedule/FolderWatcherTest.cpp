// The folder watcher: every kind of change in every folder below the root, new folders included,
// and a watcher that says so when it can no longer see everything; how its events become passes.

#include "TestSupport.h"

#include "schedule/ChangePacer.h"
#include "schedule/FolderWatcher.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
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
                },
                {}, {}, {}, {} })
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
    // Another program's files, made and removed at once, hundreds of them: passes at the pacer's
    // bounded rate only (ten at once, one more per 100 ms, one a second for removals), and the
    // picture written after them is still reported.
    const int beforeChurn = w.changes;
    const auto churnBegan = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        const QString temporary = root + QStringLiteral("/Existing/.churn-%1").arg(i);
        test::writeFile(temporary, "x");
        QFile::remove(temporary);
    }
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/Existing/IMG_9.JPG"), "x"); }));
    const auto churned = std::chrono::steady_clock::now() - churnBegan;
    EXPECT_LE(
        w.changes - beforeChurn, 10 + churned / std::chrono::milliseconds(100) + churned / std::chrono::seconds(1) + 1);
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
    enum Op { Add, Remove, Delete, Take, Wake };
    const struct {
        int ms;
        Op op;
        const char *path;
        int expected; // Take: 1 when a pass is asked for; Wake: the moment, -1 for none
    } steps[] = {
        // Made and removed again within its settling time: nothing to ask for.
        { 0, Add, "a/x", 0 },
        { 5, Remove, "a/x", 0 },
        { 30, Take, nullptr, 0 },
        { 30, Wake, nullptr, -1 },
        // A picture that stays, once settled.
        { 100, Add, "a/y", 0 },
        { 105, Take, nullptr, 0 },
        { 105, Wake, nullptr, 110 },
        { 110, Take, nullptr, 1 },
        { 111, Take, nullptr, 0 },
        // Written under a hidden name, then renamed: one request, for the name it got.
        { 200, Add, "b/.z.part", 0 },
        { 201, Remove, "b/.z.part", 0 },
        { 201, Add, "b/z", 0 },
        { 211, Take, nullptr, 1 },
        // Two requests at once at most, then one per 100 ms.
        { 300, Add, "c/1", 0 },
        { 310, Take, nullptr, 1 },
        { 311, Add, "c/2", 0 },
        { 321, Take, nullptr, 1 },
        { 322, Add, "c/3", 0 },
        { 332, Take, nullptr, 0 },
        { 332, Wake, nullptr, 410 },
        { 410, Take, nullptr, 1 },
        // A removal alone asks too, half a second after the last request.
        { 500, Remove, "d/old", 0 },
        { 500, Take, nullptr, 0 },
        { 500, Wake, nullptr, 910 },
        { 910, Take, nullptr, 1 },
        { 911, Wake, nullptr, -1 },
        // Three deletions within a second: churn. An entry must then stay half a second, and
        // requests are half a second apart.
        { 1000, Delete, "e/1", 0 },
        { 1001, Delete, "e/2", 0 },
        { 1002, Add, "e/3", 0 },
        { 1003, Delete, "e/3", 0 },
        { 1100, Add, "e/4", 0 },
        { 1200, Take, nullptr, 0 },
        { 1200, Wake, nullptr, 1600 },
        { 1600, Take, nullptr, 1 },
        { 1601, Add, "e/5", 0 },
        { 2100, Take, nullptr, 0 },
        { 2100, Wake, nullptr, 2101 },
        { 2101, Take, nullptr, 1 },
        // Two seconds without deletions end it.
        { 3100, Add, "f/1", 0 },
        { 3110, Take, nullptr, 1 },
    };
    const ChangePacer::Time start = ChangePacer::Clock::now();
    for (const auto &step : steps) {
        SCOPED_TRACE(step.ms);
        const ChangePacer::Time now = start + milliseconds(step.ms);
        switch (step.op) {
        case Add:
            pacer.added(step.path, now);
            break;
        case Remove:
        case Delete:
            pacer.removed(step.path, now, step.op == Delete);
            break;
        case Take:
            EXPECT_EQ(pacer.take(now), step.expected == 1);
            break;
        case Wake: {
            const std::optional<ChangePacer::Time> at = pacer.wakeAt(now);
            EXPECT_EQ(at ? int((*at - start) / milliseconds(1)) : -1, step.expected);
            break;
        }
        }
    }
}
