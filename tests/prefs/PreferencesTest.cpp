// The preference store, its values and files, the factory defaults and the accessors the cycle
// reads, and the one-time copy of a predecessor's settings.

#include "ControllerFixture.h"

#include "app/Paths.h"
#include "prefs/PropertyList.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vesk;

TEST(Preferences, TheShippedFactoryDefaultsAreTheSafeOnes)
{
    test::TempProfile profile;
    test::ControllerFixture c;
    AppController &a = *c.controller;
    // Nothing is deleted and nothing restarts unless the user asks for it.
    EXPECT_FALSE(a.getPrefUseDoDeleteOldPhotos());
    EXPECT_FALSE(a.getPrefAutoQuitAndRelaunchPerIteration());
    EXPECT_FALSE(a.getPrefDeleteEmptyFtpFolders());
    EXPECT_FALSE(a.getAutoStartUploadAtStartup());
    EXPECT_FALSE(a.getPrefDeleteServerItemFirst());
    EXPECT_TRUE(a.getDoAutoSynchronize());
    EXPECT_TRUE(a.getPrefShowPreviewWhenUploading());
    EXPECT_TRUE(a.getPrefShowWindowAtStartup());
    EXPECT_EQ(a.getPrefSecondsBetweenScans(), QVariant(120.0));
    EXPECT_EQ(a.getPrefDaysOldBeforeDeleting()->toInt(), 30);
    EXPECT_EQ(c.store->stringForKey(PrefKeys::sPrefUserEnteredEventName), PrefKeys::sEventNamePlaceholder);
    EXPECT_FALSE(a.getKobFuseAction());
    // A factory value is read but never copied into the user's settings.
    EXPECT_TRUE(c.store->userValues().isEmpty());
}

TEST(Preferences, UserValuesPersistPrivatelyAndConvertAsThePlatformDoes)
{
    test::TempProfile profile;
    const QString file = profile.path(QStringLiteral("config/prefs.plist"));
    {
        PreferenceStore store(file);
        store.registerDefaults({ { QStringLiteral("a"), 1 } });
        ASSERT_TRUE(store.setObject(QStringLiteral("b"), QStringLiteral("mine")));
        struct Case {
            QVariant value;
            bool flag;
            double number;
        };
        const Case cases[] = { { QStringLiteral("YES"), true, 0 }, { QStringLiteral("no"), false, 0 },
            { QStringLiteral("true"), true, 0 }, { QStringLiteral("  007"), true, 7 },
            { QStringLiteral("0"), false, 0 }, { QStringLiteral("12.5abc"), true, 12.5 },
            { QStringLiteral("abc"), false, 0 }, { 3, true, 3 }, { 0.0, false, 0 }, { true, true, 1 },
            { QByteArray("x"), false, 0 } };
        for (const Case &c : cases) {
            store.setObject(QStringLiteral("k"), c.value);
            EXPECT_EQ(store.boolForKey(QStringLiteral("k")), c.flag) << c.value.toString().toStdString();
            EXPECT_DOUBLE_EQ(store.doubleForKey(QStringLiteral("k")), c.number) << c.value.toString().toStdString();
        }
        store.setObject(QStringLiteral("n"), 7.9);
        EXPECT_EQ(store.integerForKey(QStringLiteral("n")), 7);
    }
    struct stat info { };
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    PreferenceStore reread(file);
    EXPECT_EQ(reread.stringForKey(QStringLiteral("b")), QStringLiteral("mine"));
    EXPECT_FALSE(reread.objectForKey(QStringLiteral("a"))); // the factory layer is never written
}

TEST(Preferences, ABrokenFileIsKeptUntilSomethingChanges)
{
    test::TempProfile profile;
    const QString file = profile.path(QStringLiteral("config/prefs.plist"));
    for (const QByteArray &junk : { QByteArray("not a property list"),
             QByteArray("<plist><array><string>x</string></array></plist>"), QByteArray("bplist00\xff\xff\xff", 11) }) {
        ASSERT_TRUE(test::writeFile(file, junk));
        QFile::remove(file + QStringLiteral(".broken"));
        {
            PreferenceStore store(file);
            EXPECT_TRUE(store.userValues().isEmpty());
            store.boolForKey(QStringLiteral("x"));
            EXPECT_EQ(test::readBytes(file), junk); // reading leaves the file alone
            store.setObject(QStringLiteral("x"), true);
        }
        EXPECT_EQ(test::readBytes(file + QStringLiteral(".broken")), junk);
        EXPECT_TRUE(PreferenceStore(file).boolForKey(QStringLiteral("x")));
    }
    // A text holding a NUL character is refused rather than handed to libplist, which asserts on it.
    QString error;
    static constexpr char kWithNul[] = "<plist><dict><key>a</key><string>/a\0b</string></dict></plist>";
    EXPECT_FALSE(plist::parse(QByteArray(kWithNul, sizeof kWithNul - 1), &error));
    EXPECT_EQ(error, QStringLiteral("a text of the property list holds a NUL character"));
}

TEST(Preferences, TheAdministratorsDefaultsAndCredentialSitBetweenTheFactoryAndTheUser)
{
    test::TempProfile profile;
    const auto at = [&](const char *relative) { return profile.path(QString::fromUtf8(relative)); };
    // The first folder of the list that holds the file counts; a relative entry is no folder.
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(QStringLiteral("xdg:%1:%2:%3").arg(at("none"), at("a"), at("b"))));
    const QVariantMap administrator { { PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Gala") },
        { PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("~/Events/Hot") },
        { PrefKeys::sPrefSecondsBetweenScans, QStringLiteral("0.5") },
        { PrefKeys::sUserLoginPassword, QStringLiteral("readable by all") },
        { PrefKeys::sPrefAutoSynchronize, false } };
    ASSERT_TRUE(test::writeFile(at("a/Vesk-FTPUploader/defaults.plist"), plist::toXml(administrator)));
    ASSERT_TRUE(test::writeFile(at("b/Vesk-FTPUploader/defaults.plist"),
        plist::toXml(QVariantMap { { PrefKeys::sUserLoginName, QStringLiteral("b") } })));
    test::ControllerFixture c;
    AppController &a = *c.controller;
    const PreferenceStore &store = *c.store;
    EXPECT_EQ(store.stringForKey(PrefKeys::sPrefUserEnteredEventName), QStringLiteral("Gala"));
    EXPECT_EQ(a.getLocalSourceUploadFolder(), at("home/Events/Hot"));
    EXPECT_FALSE(a.getDoAutoSynchronize());
    EXPECT_EQ(a.getPrefSecondsBetweenScans(), QVariant(120.0)); // refused: the factory value stays
    EXPECT_FALSE(store.objectForKey(PrefKeys::sUserLoginPassword));
    EXPECT_FALSE(store.objectForKey(PrefKeys::sUserLoginName));
    EXPECT_EQ(c.console.count(QStringLiteral(" is refused: a number of seconds")), 1);
    EXPECT_EQ(c.console.count(QStringLiteral("hold a password: it is ignored")), 1);
    EXPECT_TRUE(store.isAdministratorValue(PrefKeys::sPrefUserEnteredEventName));
    c.set(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Mine")); // the user's own value wins
    EXPECT_EQ(store.stringForKey(PrefKeys::sPrefUserEnteredEventName), QStringLiteral("Mine"));
    EXPECT_EQ(store.userValues().keys(), QStringList { PrefKeys::sPrefUserEnteredEventName });

    // The service manager's credential wins over the stored password, is logged once, and is never
    // written anywhere: neither into the preferences nor into an export.
    c.set(PrefKeys::sUserLoginPassword, QStringLiteral("stored"));
    EXPECT_EQ(a.passwordSource(), QStringLiteral("from the preferences"));
    ASSERT_TRUE(test::writeFile(at("credentials/vesk-password"), "from the credential\n"));
    for (int i = 0; i < 2; ++i) {
        a.getCurrentLoginInfo();
        EXPECT_EQ(a.curPassword(), QStringLiteral("from the credential"));
    }
    EXPECT_EQ(c.log().count(QStringLiteral("; it wins over the stored one")), 1);
    EXPECT_EQ(a.passwordSource(), QStringLiteral("from a credential"));
    const QString exported = at("export.plist");
    ASSERT_TRUE(a.savePrefToFile(exported));
    for (const QString &file : { exported, store.filePath() })
        EXPECT_FALSE(test::readText(file).contains(QStringLiteral("from the credential"))) << file.toStdString();
    // It counts for the settings check: no stored password is needed.
    c.setValidSettings(at("source"), at("mirror"));
    c.store->removeObject(PrefKeys::sUserLoginPassword);
    EXPECT_TRUE(a.validateUserInfoBeforeUploading(std::nullopt));
    EXPECT_EQ(a.curPassword(), QStringLiteral("from the credential"));
}
