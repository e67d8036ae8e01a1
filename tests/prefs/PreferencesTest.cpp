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
    EXPECT_FALSE(
        plist::parse(QByteArray("<plist><dict><key>a</key><string>/a\0b</string></dict></plist>", 63), &error));
    EXPECT_EQ(error, QStringLiteral("a text of the property list holds a NUL character"));
}
