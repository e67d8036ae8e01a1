// The settings a pass needs, checked before it starts and when the panel is saved.

#include "ControllerFixture.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace vesk;

TEST(Validation, EverySettingAPassNeedsIsChecked)
{
    struct Case {
        const char *what;
        const char *key; // set to value ("endpoint": the upload address); nullptr: all valid
        QVariant value; // invalid QVariant: removed
        const char *logged; // a line of the message log, or the console's when it starts with '!'
    };
    const Case cases[] = {
        { "all in place", nullptr, {}, nullptr },
        { "the event placeholder", "userEnteredEventName", QStringLiteral("TURNONCHECKBOXIFUSINGTHISOPTION"),
            "!fCurEventName is turnOnCheckBoxIfUsingThisOption??????" },
        { "no password", "userLoginPassword", QString(), "!fCurPassword is NOT set or Blank??????" },
        { "no mirror", "prefLocalMasterMirrorSiteFolder", QVariant(),
            "] ==> Local Master Mirror Folder Has NOT Been Selected Yet..." },
        { "a file for a mirror", "prefLocalMasterMirrorSiteFolder", QStringLiteral("file"),
            "Local Master Mirror Folder is NOT a Valid FOLDER: [" },
        { "no source", "prefLocalSourceUploadFolder", QVariant(),
            "Local Source Upload Folder Has NOT Been Selected Yet..." },
        { "an address that is not http", "endpoint", QStringLiteral("htp:/host/x"),
            "The service address [htp:/host/x] is refused: it is not an absolute http or https address" },
        { "an address without a host", "endpoint", QStringLiteral("https:/index.php"),
            "[https:/index.php] is refused" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::TempProfile profile;
        const bool address = c.key && qstrcmp(c.key, "endpoint") == 0;
        AppOptions options;
        options.endpoint = address ? c.value.toString() : QString();
        test::ControllerFixture f(options);
        f.setValidSettings(profile.path(QStringLiteral("source")), profile.path(QStringLiteral("mirror")));
        test::writeFile(profile.path(QStringLiteral("file")), "x");
        if (c.key && !address && c.value.isValid())
            f.set(QLatin1String(c.key),
                c.value.toString() == QLatin1String("file") ? profile.path(QStringLiteral("file")) : c.value);
        else if (c.key && !address)
            f.store->removeObject(QLatin1String(c.key));
        EXPECT_EQ(f->validateUserInfoBeforeUploading(std::nullopt), c.logged == nullptr);
        EXPECT_EQ(f.ui.beeps, c.logged ? 1 : 0);
        EXPECT_EQ(f->statusReport().state == QLatin1String("settings refused"), c.logged != nullptr);
        if (c.logged) {
            const bool onConsole = c.logged[0] == '!';
            EXPECT_TRUE(onConsole ? f.console.contains(QLatin1String(c.logged + 1))
                                  : f.log().contains(QLatin1String(c.logged)));
        }
    }
    // The folder argument replaces the stored source folder; "~" is expanded.
    test::TempProfile profile;
    test::ControllerFixture f;
    f.setValidSettings(profile.path(QStringLiteral("source")), profile.path(QStringLiteral("mirror")));
    QDir().mkpath(profile.path(QStringLiteral("home/other")));
    EXPECT_TRUE(f->validateUserInfoBeforeUploading(QStringLiteral("~/other")));
    EXPECT_FALSE(f->validateUserInfoBeforeUploading(profile.path(QStringLiteral("nowhere"))));
    EXPECT_EQ(f->curEventName(), QStringLiteral("Wedding"));
}
