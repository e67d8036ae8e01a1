#include "app/AppController.h"
#include "app/Paths.h"
#include "prefs/PropertyList.h"

#include "StderrCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace vesk;

namespace {

struct Fixture {
    explicit Fixture(const QString &factory = QStringLiteral(":/FactoryDefault.plist"))
    {
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        AppController::initialize(*options.store, factory);
        controller = std::make_unique<AppController>(options);
    }
    PreferenceStore &store() { return *options.store; }
    test::TempProfile profile;
    AppOptions options;
    std::unique_ptr<AppController> controller;
};

QByteArray binaryPlist(const QVariantMap &values)
{
    plist_t dict = plist_new_dict();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it.value().typeId() == QMetaType::QString)
            plist_dict_set_item(
                dict, it.key().toUtf8().constData(), plist_new_string(it.value().toString().toUtf8().constData()));
        else
            plist_dict_set_item(dict, it.key().toUtf8().constData(), plist_new_real(it.value().toDouble()));
    }
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    QByteArray result(bytes, static_cast<qsizetype>(length));
    plist_to_bin_free(bytes);
    plist_free(dict);
    return result;
}

} // namespace

TEST(Accessors, FlagWithoutAnyValueIsMaterialisedAsFalse)
{
    Fixture f;
    // The factory defaults know prefAutoSynchronize; take it away to see the fresh-user rule.
    Fixture bare(QStringLiteral("/nonexistent/FactoryDefault.plist"));
    EXPECT_FALSE(bare.store().objectForKey(PrefKeys::sPrefAutoSynchronize).has_value());
    EXPECT_FALSE(bare.controller->getDoAutoSynchronize());
    ASSERT_TRUE(bare.store().hasUserValue(PrefKeys::sPrefAutoSynchronize));
    EXPECT_FALSE(bare.store().userValues().value(PrefKeys::sPrefAutoSynchronize).toBool());
    // A flag the user stored as text is read with the platform's conversion and left alone.
    bare.store().setObject(PrefKeys::sPrefAutoSynchronize, QStringLiteral("YES"));
    EXPECT_TRUE(bare.controller->getDoAutoSynchronize());
    EXPECT_EQ(bare.store().userValues().value(PrefKeys::sPrefAutoSynchronize).toString(), QStringLiteral("YES"));
    // A factory value is read but never copied into the user's settings.
    EXPECT_TRUE(f.controller->getDoAutoSynchronize());
    EXPECT_FALSE(f.store().hasUserValue(PrefKeys::sPrefAutoSynchronize));
}

TEST(Accessors, ProblemFolderIsASiblingOfTheMirror)
{
    Fixture f;
    EXPECT_FALSE(f.controller->getLocalProblemUploadFolder().has_value());
    const std::pair<QString, QString> cases[] = {
        { QStringLiteral("/Users/a/Mirror"), QStringLiteral("/Users/a/Problem Folder") },
        { QStringLiteral("/Users/a/Mirror/"), QStringLiteral("/Users/a/Problem Folder") },
        { QStringLiteral("/Mirror"), QStringLiteral("/Problem Folder") },
        { QStringLiteral("Mirror"), QStringLiteral("Problem Folder") },
    };
    for (const auto &[mirror, problem] : cases) {
        f.store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirror);
        EXPECT_EQ(f.controller->getLocalProblemUploadFolder(), problem) << mirror.toStdString();
    }
}

TEST(Accessors, FixedAnswersAndNumberObjects)
{
    Fixture f;
    f.store().setObject(PrefKeys::sPrefUseEventName, false);
    f.store().setObject(PrefKeys::sPrefCreateEncapsulatingFolder, true);
    EXPECT_TRUE(f.controller->getUseEventName());
    EXPECT_FALSE(f.controller->getPrefDoEncapsulate());

    test::ConsoleRecorder console;
    f.store().setObject(PrefKeys::sPrefSecondsBetweenScans, 90.5);
    EXPECT_DOUBLE_EQ(f.controller->getPrefSecondsBetweenScans()->toDouble(), 90.5);
    EXPECT_TRUE(console.contains(QStringLiteral("getPrefSecondsBetweenScans returned [90.500]")));
    f.store().setObject(PrefKeys::sPrefDaysOldBeforeDeleting, 5);
    EXPECT_EQ(f.controller->getPrefDaysOldBeforeDeleting()->toInt(), 5);
    EXPECT_TRUE(console.contains(QStringLiteral("sPrefDaysOldBeforeDeleting returned [05]")));

    Fixture bare(QStringLiteral("/nonexistent/FactoryDefault.plist"));
    console.clear();
    EXPECT_FALSE(bare.controller->getPrefSecondsBetweenScans().has_value());
    EXPECT_TRUE(console.contains(QStringLiteral("getPrefSecondsBetweenScans returned [0.000]")));
    EXPECT_FALSE(bare.controller->getKobFuseAction().has_value());
}

TEST(Accessors, LoginCopiesKeepStartValuesUntilALoginIsStored)
{
    Fixture f;
    {
        test::StderrCapture err;
        f.controller->getCurrentLoginInfo();
        EXPECT_TRUE(err.text().contains(QStringLiteral("Using Factory default for curUserLoginName\n")));
        EXPECT_TRUE(err.text().contains(QStringLiteral("Using Factory default for curUserLoginPassword\n")));
    }
    EXPECT_EQ(f.controller->curUserName(), QStringLiteral("testing"));
    EXPECT_EQ(f.controller->curPassword(), QStringLiteral("quokkas"));
    f.store().setObject(PrefKeys::sUserLoginName, QString());
    f.store().setObject(PrefKeys::sUserLoginPassword, QStringLiteral("secret"));
    f.controller->getCurrentLoginInfo();
    EXPECT_EQ(f.controller->curUserName(), QString());
    EXPECT_EQ(f.controller->curPassword(), QStringLiteral("secret"));

    test::ConsoleRecorder console;
    f.controller->getUserEnteredEventName(); // the factory's placeholder is taken as stored
    EXPECT_EQ(f.controller->curEventName(), PrefKeys::sEventNamePlaceholder);
    f.store().setObject(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Wedding"));
    f.controller->getUserEnteredEventName();
    EXPECT_EQ(f.controller->curEventName(), QStringLiteral("Wedding"));
    EXPECT_TRUE(console.contains(QStringLiteral("Using Event Name = [Wedding]")));
}

TEST(Migration, CopiesExactlyTheListedKeysOnceFromXmlOrBinaryFiles)
{
    for (const bool binary : { false, true }) {
        Fixture f;
        const QVariantMap old {
            { PrefKeys::sUserLoginName, QStringLiteral("olduser") },
            { PrefKeys::sPrefSecondsBetweenScans, 45.0 },
            { PrefKeys::sPrefKobFuseAction, QStringLiteral("upload.zentrova") },
            { QStringLiteral("somethingElse"), QStringLiteral("x") },
        };
        ASSERT_TRUE(
            test::writeFile(paths::predecessorPreferencesFile(), binary ? binaryPlist(old) : plist::toXml(old)));
        f.store().setObject(PrefKeys::sPrefLocalSourceUploadFolder, QStringLiteral("/kept"));

        test::ConsoleRecorder console;
        f.controller->migrateOldFtpPrefs();
        EXPECT_TRUE(console.contains(QStringLiteral("Need to Copy OLD Ftp Prefs from: [")));
        const QVariantMap user = PreferenceStore(paths::preferencesFile()).userValues();
        EXPECT_EQ(user.value(PrefKeys::sUserLoginName).toString(), QStringLiteral("olduser"));
        EXPECT_DOUBLE_EQ(user.value(PrefKeys::sPrefSecondsBetweenScans).toDouble(), 45.0);
        EXPECT_TRUE(user.value(PrefKeys::sPrefDoCopyOldFtpPref).toBool());
        EXPECT_EQ(user.value(PrefKeys::sPrefLocalSourceUploadFolder).toString(), QStringLiteral("/kept"));
        EXPECT_FALSE(user.contains(PrefKeys::sPrefKobFuseAction));
        EXPECT_FALSE(user.contains(QStringLiteral("somethingElse")));
        EXPECT_EQ(user.size(), 4);

        console.clear();
        f.store().setObject(PrefKeys::sUserLoginName, QStringLiteral("changed"));
        f.controller->migrateOldFtpPrefs();
        EXPECT_TRUE(console.contains(QStringLiteral("ALREADY Copied OLD Ftp Prefs...")));
        EXPECT_EQ(f.store().stringForKey(PrefKeys::sUserLoginName), QStringLiteral("changed"));
    }
}

TEST(Migration, MissingCorruptOrUnwantedOldFilesChangeNothing)
{
    {
        Fixture f;
        test::ConsoleRecorder console;
        f.controller->migrateOldFtpPrefs();
        EXPECT_TRUE(console.contains(QStringLiteral("NO OLD ftp-uploader.plist to copy...")));
        EXPECT_FALSE(f.store().hasUserValue(PrefKeys::sPrefDoCopyOldFtpPref));
    }
    {
        Fixture f;
        ASSERT_TRUE(
            test::writeFile(paths::predecessorPreferencesFile(), QByteArray("<plist><dict><key>userLoginName")));
        test::ConsoleRecorder console;
        f.controller->migrateOldFtpPrefs();
        EXPECT_EQ(console.count(QStringLiteral("cannot be read")), 1);
        EXPECT_TRUE(f.store().userValues().isEmpty());
    }
    {
        Fixture f(QStringLiteral("/nonexistent/FactoryDefault.plist"));
        ASSERT_TRUE(test::writeFile(paths::predecessorPreferencesFile(),
            plist::toXml(QVariantMap { { PrefKeys::sUserLoginName, QStringLiteral("x") } })));
        test::ConsoleRecorder console;
        f.controller->migrateOldFtpPrefs();
        EXPECT_TRUE(console.contains(QStringLiteral("This version does NOT have pref = [prefDoCopyOldFtpPref]")));
        EXPECT_TRUE(f.store().userValues().isEmpty());
    }
}

TEST(FactoryDefaults, UnreadableOrWrongTypedResourceLeavesNoFactoryLayer)
{
    test::TempProfile profile;
    const QString wrongType = profile.path(QStringLiteral("factory.plist"));
    ASSERT_TRUE(test::writeFile(wrongType, plist::toXml(QVariantList { 1, 2 })));
    for (const QString &resource : { QStringLiteral("/nonexistent.plist"), wrongType }) {
        PreferenceStore store(profile.path(QStringLiteral("p.plist")));
        test::ConsoleRecorder console;
        AppController::setupFactoryDefaults(store, resource);
        EXPECT_TRUE(console.contains(QStringLiteral("userDefaultsValuesDict == NIL!!!!")));
        EXPECT_TRUE(store.dictionaryRepresentation().isEmpty());
    }
    // The shipped resource carries what the migration and the event-name check rely on.
    PreferenceStore store(profile.path(QStringLiteral("q.plist")));
    AppController::setupFactoryDefaults(store, QStringLiteral(":/FactoryDefault.plist"));
    EXPECT_EQ(store.objectForKey(PrefKeys::sPrefDoCopyOldFtpPref), QVariant(false));
    EXPECT_EQ(store.stringForKey(PrefKeys::sPrefUserEnteredEventName), PrefKeys::sEventNamePlaceholder);
}
