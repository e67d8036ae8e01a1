// The folder watcher: every kind of change in every folder below the root, new folders included,
// and a watcher that says so when it can no longer see everything.

#include "TestSupport.h"

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
