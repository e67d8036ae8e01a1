#include "cycle/NotificationCenter.h"
#include "app/AppController.h"
#include "app/Paths.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vesk;

TEST(NotificationCenter, ObserversRunInOrderOnThePostingThreadAndMayPostAgain)
{
    NotificationCenter center;
    QStringList calls;
    int owner1 = 0, owner2 = 0;
    center.addObserver(&owner1, QStringLiteral("A"), [&](const Notification &note) {
        calls << QStringLiteral("first A");
        note.userInfo->insert(QStringLiteral("seen"), true);
        center.post(QStringLiteral("B"), &owner1, note.userInfo);
        // The nested post has completed before the outer observer goes on.
        calls << QStringLiteral("first A after B");
    });
    center.addObserver(
        &owner2, QStringLiteral("A"), [&](const Notification &) { calls << QStringLiteral("second A"); });
    center.addObserver(&owner2, QStringLiteral("B"), [&](const Notification &note) {
        calls << QStringLiteral("B");
        // A handler may register while a post is under way; it joins later posts only.
        center.addObserver(&owner2, QStringLiteral("C"), [&](const Notification &) { calls << QStringLiteral("C"); });
        note.userInfo->clear(); // the last consumer empties the shared record
    });

    InfoRef info = makeInfo({ { QStringLiteral("k"), 1 } });
    center.post(QStringLiteral("A"), nullptr, info);
    EXPECT_EQ(calls,
        (QStringList { QStringLiteral("first A"), QStringLiteral("B"), QStringLiteral("first A after B"),
            QStringLiteral("second A") }));
    EXPECT_TRUE(info->isEmpty());

    center.removeObserver(&owner1);
    calls.clear();
    center.post(QStringLiteral("A"), nullptr, makeInfo());
    EXPECT_EQ(calls, QStringList { QStringLiteral("second A") });

    std::thread::id observed;
    center.addObserver(
        &owner1, QStringLiteral("T"), [&](const Notification &) { observed = std::this_thread::get_id(); });
    std::thread poster([&] { center.post(QStringLiteral("T"), nullptr); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(observed, posterId);
}

TEST(CycleFlags, SettersAndTheRescanCounter)
{
    test::TempProfile profile;
    AppOptions options;
    options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
    AppController controller(options);
    for (int i = 0; i < 3; ++i)
        controller.setNeedsToRescan(true);
    EXPECT_EQ(controller.gNeedsToRescan.load(), 3);
    controller.setNeedsToRescan(false);
    EXPECT_EQ(controller.gNeedsToRescan.load(), 0);

    // Counting from many threads loses nothing.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                controller.setNeedsToRescan(true);
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(controller.gNeedsToRescan.load(), 4000);

    controller.setDidHaltProcess(true);
    controller.setWantsToHaltProcess(true);
    controller.setStartedUploadProcess(true);
    EXPECT_TRUE(controller.gDidHaltProcess && controller.gWantsToHaltProcess && controller.gStartedUploadProcess);
    EXPECT_EQ(controller.defaultCenter().observerCount(CycleNames::cNotification_ScanFolder), 0u);
    controller.awakeFromNib();
    // The controller's fourteen observers are wired when its window loads.
    for (const QString &name :
        { CycleNames::cNotification_ScanFolder, CycleNames::cNotification_CleanUpAfterCompleteLoop,
            CycleNames::cNotification_WatcherItemChanged, CycleNames::cNotification_UploadProcessPaused })
        EXPECT_EQ(controller.defaultCenter().observerCount(name), 1u) << name.toStdString();
}
