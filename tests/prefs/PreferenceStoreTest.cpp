#include "prefs/PreferenceStore.h"
#include "prefs/PropertyList.h"

#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace vesk;

namespace {

mode_t fileMode(const QString &path)
{
    struct stat info { };
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

} // namespace

TEST(PreferenceStore, UserValuesWinOverFactoryValuesAndPersistPrivately)
{
    test::TempProfile profile;
    const QString file = profile.path(QStringLiteral("config/prefs.plist"));
    {
        PreferenceStore store(file);
        store.registerDefaults({ { QStringLiteral("a"), 1 }, { QStringLiteral("b"), QStringLiteral("factory") } });
        EXPECT_EQ(store.integerForKey(QStringLiteral("a")), 1);
        EXPECT_FALSE(store.hasUserValue(QStringLiteral("a")));
        ASSERT_TRUE(store.setObject(QStringLiteral("b"), QStringLiteral("mine")));
        EXPECT_EQ(store.stringForKey(QStringLiteral("b")), QStringLiteral("mine"));
    }
    EXPECT_EQ(fileMode(file), 0600u);
    PreferenceStore reread(file);
    EXPECT_EQ(reread.stringForKey(QStringLiteral("b")), QStringLiteral("mine"));
    // The factory layer is never written to the user's file.
    EXPECT_FALSE(reread.objectForKey(QStringLiteral("a")).has_value());
}

TEST(PreferenceStore, ConversionsFollowThePlatformRules)
{
    test::TempProfile profile;
    PreferenceStore store(profile.path(QStringLiteral("p.plist")));
    struct Case {
        QVariant value;
        bool flag;
        double number;
    };
    const Case cases[] = {
        { QStringLiteral("YES"), true, 0 },
        { QStringLiteral("no"), false, 0 },
        { QStringLiteral("true"), true, 0 },
        { QStringLiteral("  007"), true, 7 },
        { QStringLiteral("0"), false, 0 },
        { QStringLiteral("12.5abc"), true, 12.5 },
        { QStringLiteral("abc"), false, 0 },
        { 3, true, 3 },
        { 0.0, false, 0 },
        { true, true, 1 },
        { QByteArray("x"), false, 0 },
    };
    for (const Case &c : cases) {
        store.setObject(QStringLiteral("k"), c.value);
        EXPECT_EQ(store.boolForKey(QStringLiteral("k")), c.flag) << c.value.toString().toStdString();
        EXPECT_DOUBLE_EQ(store.doubleForKey(QStringLiteral("k")), c.number) << c.value.toString().toStdString();
    }
    store.setObject(QStringLiteral("n"), 7.9);
    EXPECT_EQ(store.integerForKey(QStringLiteral("n")), 7);
    EXPECT_EQ(store.stringForKey(QStringLiteral("n")), QStringLiteral("7.9"));
    store.setObject(QStringLiteral("d"), QByteArray("data"));
    EXPECT_FALSE(store.stringForKey(QStringLiteral("d")).has_value());
    EXPECT_FALSE(store.stringForKey(QStringLiteral("missing")).has_value());
}

TEST(PreferenceStore, BrokenFileIsKeptAndNotOverwrittenUntilSomethingChanges)
{
    test::TempProfile profile;
    const QString file = profile.path(QStringLiteral("config/prefs.plist"));
    for (const QByteArray &junk : { QByteArray("not a property list"),
             QByteArray("<plist><array><string>x</string></array></plist>"), QByteArray("bplist00\xff\xff\xff", 11) }) {
        ASSERT_TRUE(test::writeFile(file, junk));
        QFile::remove(file + QStringLiteral(".broken"));
        test::ConsoleRecorder console;
        {
            PreferenceStore store(file);
            EXPECT_TRUE(store.userValues().isEmpty());
            EXPECT_EQ(console.count(QStringLiteral("cannot be used")), 1);
            // Reading leaves the file alone.
            store.boolForKey(QStringLiteral("x"));
            QFile original(file);
            ASSERT_TRUE(original.open(QIODevice::ReadOnly));
            EXPECT_EQ(original.readAll(), junk);
            original.close();
            // The first change keeps the broken file beside the new one.
            store.setObject(QStringLiteral("x"), true);
        }
        QFile kept(file + QStringLiteral(".broken"));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), junk);
        EXPECT_TRUE(PreferenceStore(file).boolForKey(QStringLiteral("x")));
    }
}

TEST(PreferenceStore, ConcurrentReadersAndWritersSeeWholeValues)
{
    test::TempProfile profile;
    const QString file = profile.path(QStringLiteral("prefs.plist"));
    PreferenceStore store(file);
    store.registerDefaults({ { QStringLiteral("flag"), false } });
    std::atomic<bool> done { false };
    std::atomic<int> badReads { 0 };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                const auto value = store.stringForKey(QStringLiteral("text"));
                if (value && !value->startsWith(QLatin1String("value-")))
                    ++badReads;
                store.boolForKey(QStringLiteral("flag"));
            }
        });
    }
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i)
            store.setObject(QStringLiteral("text"), QStringLiteral("value-%1").arg(i));
    });
    std::thread materialiser([&] {
        for (int i = 0; i < 100; ++i)
            store.setObject(QStringLiteral("other-%1").arg(i % 7), i);
    });
    writer.join();
    materialiser.join();
    done = true;
    for (auto &reader : readers)
        reader.join();
    EXPECT_EQ(badReads, 0);
    // The file holds the newest values of both writers.
    PreferenceStore reread(file);
    EXPECT_EQ(reread.stringForKey(QStringLiteral("text")), QStringLiteral("value-99"));
    EXPECT_EQ(reread.integerForKey(QStringLiteral("other-1")), 99);
}

TEST(PropertyList, RoundTripsEveryTypeAndRejectsJunk)
{
    const QVariantMap value {
        { QStringLiteral("bool"), true },
        { QStringLiteral("int"), qlonglong(-5) },
        { QStringLiteral("real"), 90.5 },
        { QStringLiteral("text"), QStringLiteral("caf\u00e9 <&>") },
        { QStringLiteral("data"), QByteArray("\x00\x01\x02", 3) },
        { QStringLiteral("list"), QVariantList { 1, QStringLiteral("two") } },
        { QStringLiteral("dict"), QVariantMap { { QStringLiteral("inner"), false } } },
    };
    const auto parsed = plist::parse(plist::toXml(value));
    ASSERT_TRUE(parsed.has_value());
    const QVariantMap back = parsed->toMap();
    EXPECT_EQ(back.value(QStringLiteral("bool")).toBool(), true);
    EXPECT_EQ(back.value(QStringLiteral("int")).toLongLong(), -5);
    EXPECT_DOUBLE_EQ(back.value(QStringLiteral("real")).toDouble(), 90.5);
    EXPECT_EQ(back.value(QStringLiteral("text")).toString(), QStringLiteral("caf\u00e9 <&>"));
    EXPECT_EQ(back.value(QStringLiteral("data")).toByteArray(), QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(back.value(QStringLiteral("list")).toList().size(), 2);
    EXPECT_FALSE(back.value(QStringLiteral("dict")).toMap().value(QStringLiteral("inner")).toBool());

    for (const QByteArray &junk : { QByteArray(), QByteArray("hello"), QByteArray("<plist><dict><key>a</key>"),
             QByteArray("bplist00"), QByteArray("<?xml version=\"1.0\"?><notplist/>") })
        EXPECT_FALSE(plist::parse(junk).has_value()) << junk.constData();
}

TEST(PropertyList, ATextHoldingANulCharacterIsRefusedInsteadOfEndingTheProcess)
{
    // libplist asserts on such texts: read naively, a picture's annotation or an imported
    // preference file would take the program down.
    const QByteArray inString("<plist><dict><key>OriginalPath</key><string>/a\0b</string></dict></plist>", 72);
    const QByteArray inKey("<plist><dict><key>Origin\0alPath</key><string>/ab</string></dict></plist>", 72);
    // Binary, {"k\0\u00e9": "a\0\u00e9"}: both texts in UTF-16, holding U+0000.
    const QByteArray binary = QByteArray::fromHex("62706c6973743030d1010263006b000000e9630061000000e9080b1200000000"
                                                  "00000101000000000000000300000000000000000000000000000019");
    for (const QByteArray &bytes : { inString, binary }) {
        QString error;
        EXPECT_FALSE(plist::parse(bytes, &error).has_value());
        EXPECT_EQ(error, QStringLiteral("a text of the property list holds a NUL character"));
    }
    // A raw NUL byte in an XML key ends the key there: harmless.
    EXPECT_TRUE(plist::parse(inKey).has_value());
    // The same lists without the NUL character are fine.
    QByteArray clean = inString;
    clean.remove(clean.indexOf('\0'), 1);
    EXPECT_EQ(plist::parse(clean)->toMap().value(QStringLiteral("OriginalPath")), QStringLiteral("/ab"));
}
