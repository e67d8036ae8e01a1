// A picture that disappears between the scan that found it and its upload (the operator deletes it,
// another program moves it away): nothing is sent for it, it lands in no folder, and the
// pictures behind it go. In process, so that the deletion comes at exactly that moment: an observer
// of the upload start registered after the controller's and before the HTTP client's.

#include "CycleHarness.h"

#include "cycle/CycleNames.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>

using namespace vesk;
using test::CycleHarness;

TEST(VanishingPicture, DeletedBetweenScanAndUploadIsNotSentAndDoesNotStopTheQueue)
{
    CycleHarness h;
    h.writeValidPreferences();
    const QByteArray doomed = h.picture(QStringLiteral("Table/IMG_1.JPG"));
    const QByteArray second = h.picture(QStringLiteral("Table/IMG_2.JPG"));
    const QByteArray third = h.picture(QStringLiteral("Other/IMG_3.JPG"));

    AppOptions options;
    options.headless = true;
    options.endpoint = h.service.url();
    options.timeScale = 0.02;
    h.create(options);
    h.controller->awakeFromNib(); // the controller's observers
    std::atomic<int> removed { 0 };
    std::atomic<int> starts { 0 };
    const int token = 0;
    h.controller->defaultCenter().addObserver(
        &token, CycleNames::cNotification_UploadStart, [&](const Notification &note) {
            ++starts;
            const QString file
                = note.userInfo ? note.userInfo->value(CycleNames::cDictKeyFileName).toString() : QString();
            if (file.endsWith(QLatin1String("/IMG_1.JPG")) && QFile::remove(file))
                ++removed;
        });
    h.controller->applicationWillFinishLaunching(); // the HTTP client's observers come after ours

    ASSERT_TRUE(h.controller->applicationOpenFile(h.source));
    ASSERT_TRUE(test::waitFor([&] {
        return QFileInfo::exists(h.mirrorPath(QStringLiteral("Table/IMG_2.JPG")))
            && QFileInfo::exists(h.mirrorPath(QStringLiteral("Other/IMG_3.JPG")));
    })) << h.console.lines().join(QLatin1Char('\n')).right(4000).toStdString();
    ASSERT_TRUE(h.waitIdle());
    h.controller->defaultCenter().removeObserver(&token);

    EXPECT_EQ(removed.load(), 1);
    EXPECT_EQ(starts.load(), 3);
    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 2);
    for (const auto &upload : uploads)
        EXPECT_NE(upload.sha256, test::sha256Of(doomed));
    EXPECT_EQ(uploads[0].sha256, test::sha256Of(third)); // "Other" before "Table"
    EXPECT_EQ(uploads[1].sha256, test::sha256Of(second));
    EXPECT_FALSE(QFileInfo::exists(h.mirrorPath(QStringLiteral("Table/IMG_1.JPG"))));
    EXPECT_FALSE(QFileInfo::exists(h.problemPath(QStringLiteral("Table/IMG_1.JPG"))));
    EXPECT_FALSE(QFileInfo::exists(h.sourcePath(QStringLiteral("Table/IMG_1.JPG"))));
    EXPECT_TRUE(h.console.contains(QStringLiteral("Error in Reading the Contents of file at path:")));
}
