#include "schedule/FolderWatcher.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vesk;

namespace {
struct Watching {
    explicit Watching(const QString &root, int limit = -1)
        : watcher(root, callbacks())
    {
        if (limit >= 0)
            watcher.setWatchLimit(limit);
    }
    ~Watching()
    {
        watcher.stop();
        if (thread.joinable())
            thread.join();
    }
    FolderWatcher::Callbacks callbacks()
    {
        FolderWatcher::Callbacks c;
        c.changed = [this] { ++changes; };
        c.overflow = [this] { ++overflows; };
        c.problem = [this](const QString &text) {
            std::lock_guard<std::mutex> guard(lock);
            problems << text;
        };
        return c;
    }
    void run()
    {
        thread = std::thread([this] { watcher.run(); });
    }
    // Waits until changes arrive after the action.
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

TEST(FolderWatcher, NewFoldersAreWatchedAndEveryKindOfChangeCounts)
{
    test::TempProfile profile;
    const QString root = profile.path(QStringLiteral("source"));
    QDir().mkpath(root + QStringLiteral("/Existing/Deep"));
    Watching w(root);
    ASSERT_TRUE(w.watcher.start());
    EXPECT_EQ(w.watcher.watchCount(), 3);
    w.run();

    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/Existing/Deep/IMG_1.JPG"), "x"); }));
    // A permission fixed on a picture.
    EXPECT_TRUE(w.changesAfter(
        [&] { QFile::setPermissions(root + QStringLiteral("/Existing/Deep/IMG_1.JPG"), QFileDevice::ReadOwner); }));
    // A folder made after the start is watched too, including one made in a single step with its parents.
    EXPECT_TRUE(w.changesAfter([&] { QDir().mkpath(root + QStringLiteral("/New/Inner")); }));
    ASSERT_TRUE(test::waitFor([&] { return w.watcher.watchCount() == 5; }, std::chrono::seconds(10)));
    EXPECT_TRUE(w.changesAfter([&] { test::writeFile(root + QStringLiteral("/New/Inner/IMG_2.JPG"), "x"); }));
    EXPECT_TRUE(w.changesAfter([&] {
        QFile::rename(root + QStringLiteral("/New/Inner/IMG_2.JPG"), root + QStringLiteral("/New/Inner/IMG_3.JPG"));
    }));
    EXPECT_TRUE(w.changesAfter([&] { QFile::remove(root + QStringLiteral("/New/Inner/IMG_3.JPG")); }));
    EXPECT_EQ(w.overflows, 0);
}

TEST(FolderWatcher, TheWatchLimitIsReportedOnceAndTheRestStillWatched)
{
    test::TempProfile profile;
    const QString root = profile.path(QStringLiteral("source"));
    for (int i = 0; i < 5; ++i)
        QDir().mkpath(root + QStringLiteral("/F%1").arg(i));
    Watching w(root, 3);
    ASSERT_TRUE(w.watcher.start());
    EXPECT_EQ(w.watcher.watchCount(), 3);
    std::lock_guard<std::mutex> guard(w.lock);
    ASSERT_EQ(w.problems.size(), 1);
    EXPECT_TRUE(w.problems[0].contains(QStringLiteral("max_user_watches")));
}

TEST(FolderWatcher, LostEventsAskForAFullPass)
{
    test::TempProfile profile;
    const QString root = profile.path(QStringLiteral("source"));
    QDir().mkpath(root + QStringLiteral("/Burst"));
    Watching w(root);
    ASSERT_TRUE(w.watcher.start());
    // More events than the kernel queues, while nobody reads them.
    bool ok = false;
    const int limit = test::readText(QStringLiteral("/proc/sys/fs/inotify/max_queued_events")).trimmed().toInt(&ok);
    if (!ok || limit > 100000)
        GTEST_SKIP() << "the event queue is too large to overflow here";
    const QString file = root + QStringLiteral("/Burst/x");
    test::writeFile(file, "x");
    for (int i = 0; i < limit / 2 + 10; ++i) {
        QFile::rename(file, file + QStringLiteral("y"));
        QFile::rename(file + QStringLiteral("y"), file);
    }
    w.run();
    EXPECT_TRUE(test::waitFor([&] { return w.overflows > 0; }, std::chrono::seconds(20)));
}

TEST(FolderWatcher, ARemovedRootEndsTheWatchWithALine)
{
    test::TempProfile profile;
    const QString root = profile.path(QStringLiteral("source"));
    QDir().mkpath(root + QStringLiteral("/Sub"));
    Watching w(root);
    ASSERT_TRUE(w.watcher.start());
    w.run();
    QDir(root).removeRecursively();
    ASSERT_TRUE(
        test::waitFor([&] { return !w.thread.joinable() || w.watcher.watchCount() == 0; }, std::chrono::seconds(10)));
    w.thread.join();
    std::lock_guard<std::mutex> guard(w.lock);
    EXPECT_EQ(w.problems.size(), 1);
}
