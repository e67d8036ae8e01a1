// A reply that trickles in (one byte every half second, fast enough for the stall limit) is given up
// once the reply limit has passed since the request was sent: the picture stays in the source folder
// and is tried again later, and the pictures behind it go meanwhile. A body that takes long to send
// over a slow link is never cut by that limit.

#include "FaultRun.h"

#include <gtest/gtest.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {
struct ReplyLimit {
    ReplyLimit() { qputenv("VESK_HTTP_REPLY_TIMEOUT", "1"); }
    ~ReplyLimit() { qunsetenv("VESK_HTTP_REPLY_TIMEOUT"); }
};
} // namespace

TEST(TrickleReply, TheTrickleIsGivenUpAndTheQueueMovesOn)
{
    const ReplyLimit limit;
    test::FaultRun run({ QStringLiteral("--rule"), QStringLiteral("^A_trickle=trickle") });
    run.stallTimeout = 5; // far above the trickle's two bytes a second: only the reply limit ends it
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const QString trickled = run.addPicture(QStringLiteral("Hall/A_trickle.JPG"), test::InSource, 20);
    run.pictures.back().minUploads = 2;
    for (int i = 1; i <= 3; ++i)
        run.addPicture(QStringLiteral("Hall/B_%1.JPG").arg(i));
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());

    ASSERT_TRUE(run.waitSettled(40s)) << run.inventory().toStdString();
    // Failing alone, it waits 2 s (scaled) before its next attempt, then twice as long.
    const auto retried = [&](double seconds) {
        return QStringLiteral("[retry] Hall/A_trickle.JPG in %1 s").arg(seconds * run.timeScale, 0, 'g', 3);
    };
    EXPECT_TRUE(test::waitFor([&] { return run.programOutput().contains(retried(4)); }, 30s))
        << run.programOutput().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
    EXPECT_TRUE(run.programErrors().contains(QStringLiteral("The reply did not end within 1 s of the request")));
    EXPECT_TRUE(run.programOutput().contains(retried(2)));
    EXPECT_GE(run.uploadsOf(trickled), 2);
}

TEST(TrickleReply, ASlowBodyIsNotCutByTheReplyLimit)
{
    const ReplyLimit limit;
    // A slow link: the service reads the body at 200 Mbit/s, so it takes about 2 s to go, longer than the
    // reply limit; it is larger than the socket buffers, so its last byte leaves only then.
    test::FaultRun run({ QStringLiteral("--rate"), QStringLiteral("204800") });
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("Hall/IMG_1.JPG"), test::InMirror, 1, 48 << 20);
    run.writePreferences();
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(40s)) << run.inventory().toStdString();
    EXPECT_TRUE(run.stopProgram());
    run.verify();
}
