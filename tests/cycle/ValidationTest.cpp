#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/MessageLog.h"

#include "FakeOutlets.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace vesk;

namespace {
struct Fixture {
    Fixture()
    {
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        AppController::initialize(*options.store, options.factoryDefaultsResource);
        controller = std::make_unique<AppController>(options);
        controller->fUi = &ui;
        QDir().mkpath(profile.path(QStringLiteral("source")));
        QDir().mkpath(profile.path(QStringLiteral("mirror")));
        MessageLog::InitLog(profile.path(QStringLiteral("log.txt")));
    }
    ~Fixture() { MessageLog::CloseLog(); }
    void set(const QString &key, const QVariant &value) { options.store->setObject(key, value); }
    void setAllValid()
    {
        set(PrefKeys::sPrefLocalSourceUploadFolder, profile.path(QStringLiteral("source")));
        set(PrefKeys::sPrefLocalMasterMirrorSiteFolder, profile.path(QStringLiteral("mirror")));
        set(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Wedding"));
        set(PrefKeys::sUserLoginName, QStringLiteral("ann"));
        set(PrefKeys::sUserLoginPassword, QStringLiteral("pw"));
    }
    QString log() const { return test::readText(profile.path(QStringLiteral("log.txt"))); }
    test::TempProfile profile;
    AppOptions options;
    test::FakeUi ui;
    std::unique_ptr<AppController> controller;
};
} // namespace

TEST(Validation, AllInPlacePassesWithoutABeep)
{
    Fixture f;
    f.setAllValid();
    EXPECT_TRUE(f.controller->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_EQ(f.ui.beeps, 0);
    EXPECT_EQ(f.controller->curEventName(), QStringLiteral("Wedding"));
    EXPECT_EQ(f.controller->curUserName(), QStringLiteral("ann"));
    // The folder argument replaces the stored source folder; a "~" is expanded for the test only.
    QDir().mkpath(f.profile.path(QStringLiteral("home/other")));
    EXPECT_TRUE(f.controller->validateUserInfoBeforeUploading(QStringLiteral("~/other")));
}

TEST(Validation, EventPlaceholderInAnyCaseOrBlankFails)
{
    for (const QString &event : { QStringLiteral("turnOnCheckBoxIfUsingThisOption"),
             QStringLiteral("TURNONCHECKBOXIFUSINGTHISOPTION"), QString() }) {
        Fixture f;
        f.setAllValid();
        f.set(PrefKeys::sPrefUserEnteredEventName, event);
        test::ConsoleRecorder console;
        EXPECT_FALSE(f.controller->validateUserInfoBeforeUploading(std::nullopt));
        EXPECT_EQ(f.ui.beeps, 1);
        EXPECT_TRUE(console.contains(event.isEmpty()
                ? QStringLiteral("fCurEventName is BLANK??????")
                : QStringLiteral("fCurEventName is turnOnCheckBoxIfUsingThisOption??????")));
    }
}

TEST(Validation, MissingMirrorAndEmptyPasswordReportBothAndSkipTheEvent)
{
    Fixture f;
    f.setAllValid();
    f.options.store->removeObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder);
    f.set(PrefKeys::sUserLoginPassword, QString());
    f.set(PrefKeys::sPrefUserEnteredEventName, QString());
    test::ConsoleRecorder console;
    EXPECT_FALSE(f.controller->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_EQ(f.ui.beeps, 1);
    EXPECT_TRUE(f.log().contains(QStringLiteral("] ==> Local Master Mirror Folder Has NOT Been Selected Yet...")));
    EXPECT_TRUE(console.contains(QStringLiteral("fCurPassword is NOT set or Blank??????")));
    EXPECT_FALSE(console.contains(QStringLiteral("fCurEventName")));
}

TEST(Validation, PlainFilesAreNotFoldersAndMessagesNameTheirKind)
{
    Fixture f;
    f.setAllValid();
    test::writeFile(f.profile.path(QStringLiteral("file")), "x");
    f.set(PrefKeys::sPrefLocalMasterMirrorSiteFolder, f.profile.path(QStringLiteral("file")));
    EXPECT_FALSE(f.controller->validateUserInfoBeforeUploading(f.profile.path(QStringLiteral("nowhere"))));
    EXPECT_TRUE(f.log().contains(QStringLiteral("Local Master Mirror Folder is NOT a Valid FOLDER: [%1]")
                                     .arg(f.profile.path(QStringLiteral("file")))));
    EXPECT_TRUE(f.log().contains(QStringLiteral("Local Source Upload Folder is NOT a Valid FOLDER: [%1]")
                                     .arg(f.profile.path(QStringLiteral("nowhere")))));
    f.options.store->removeObject(PrefKeys::sPrefLocalSourceUploadFolder);
    EXPECT_FALSE(f.controller->validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_TRUE(f.log().contains(QStringLiteral("Local Source Upload Folder Has NOT Been Selected Yet...")));
}

TEST(LoginSave, ClosesThePanelOrEndsItsSheetOnlyWhenValid)
{
    Fixture f;
    test::FakePanel panel;
    panel.visible = true;
    f.controller->ibLoginPanel = &panel;

    f.controller->saveLoginInfo(); // nothing valid yet: two beeps, the panel stays
    EXPECT_EQ(f.ui.beeps, 2);
    EXPECT_TRUE(panel.visible);

    f.setAllValid();
    panel.sheet = true;
    f.controller->saveLoginInfo();
    EXPECT_EQ(panel.endCodes, std::vector<int> { 1 });
    panel.visible = true;
    panel.sheet = false;
    f.controller->saveLoginInfo();
    EXPECT_FALSE(panel.visible);
}
