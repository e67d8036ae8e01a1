// The event handler called directly (no socket): the preference command's checks, conversions and
// replies, the other events, and what the channel set-up registers.

#include "app/AppController.h"
#include "app/Paths.h"
#include "diag/MessageLog.h"
#include "prefs/PropertyList.h"
#include "scripting/AppleEvent.h"
#include "scripting/CommandClient.h"
#include "scripting/CommandProtocol.h"

#include "FakeOutlets.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <future>
#include <ostream>

using namespace vesk;

namespace vesk {
void PrintTo(const AEDescriptor &value, std::ostream *os)
{
    *os << value.description().toStdString();
}
} // namespace vesk

namespace {

const AEDescriptor kSuccess = AEDescriptor::text(QStringLiteral("COMMAND SUCCESS"));
const AEDescriptor kFailed = AEDescriptor::text(QStringLiteral("COMMAND FAILED"));

struct Fixture {
    Fixture()
    {
        options.store = std::make_shared<PreferenceStore>(paths::preferencesFile());
        options.headless = true;
        AppController::initialize(*options.store, options.factoryDefaultsResource);
        controller = std::make_unique<AppController>(options);
        MessageLog::InitLog(profile.path(QStringLiteral("log.txt")));
    }
    ~Fixture() { MessageLog::CloseLog(); }

    AEDescriptor send(FourCharCode eventClass, FourCharCode eventID, std::optional<QStringList> params = {})
    {
        const AppleEvent event { eventClass, eventID, std::move(params) };
        AppleEventReply reply;
        controller->handleTestAEHandler(&event, &reply);
        return reply.directObject;
    }
    AEDescriptor command(const QStringList &params) { return send(kVeskEventClass, kVeskPreferenceCommand, params); }

    // What the preferences file holds for the key (the store writes it at once).
    std::optional<QVariant> onDisk(const QString &key) const
    {
        const std::optional<QVariant> root = plist::readFile(paths::preferencesFile());
        if (!root || !root->toMap().contains(key))
            return std::nullopt;
        return root->toMap().value(key);
    }

    test::TempProfile profile;
    AppOptions options;
    std::unique_ptr<AppController> controller;
};

QStringList words(const char *a, const char *b, const char *c = nullptr)
{
    QStringList list { QString::fromUtf8(a), QString::fromUtf8(b) };
    if (c)
        list.append(QString::fromUtf8(c));
    return list;
}

AEDescriptor getValueReply(const QString &command, const QString &key, const QString &value)
{
    return AEDescriptor::list({ kSuccess,
        AEDescriptor::list({ AEDescriptor::text(command), AEDescriptor::text(key), AEDescriptor::text(value) }) });
}

} // namespace

TEST(PreferenceCommand, SecondsAreStoredInSinglePrecisionAndReadWithTwoDecimals)
{
    Fixture f;
    const QString key = QStringLiteral("prefSecondsBetweenScans");
    EXPECT_EQ(f.command(words("getValue", "prefSecondsBetweenScans")),
        getValueReply(QStringLiteral("getValue"), key, QStringLiteral("120.00"))); // the factory value

    EXPECT_EQ(f.command(words("setValue", "prefSecondsBetweenScans", "45")), kSuccess);
    EXPECT_EQ(f.onDisk(key), QVariant(45.0));
    EXPECT_EQ(f.command(words("getValue", "prefSecondsBetweenScans")),
        getValueReply(QStringLiteral("getValue"), key, QStringLiteral("45.00")));

    EXPECT_EQ(f.command(words("setValue", "prefSecondsBetweenScans", "7.9")), kSuccess);
    EXPECT_EQ(f.onDisk(key), QVariant(double(7.9f))); // narrowed to single precision, not kept as typed
}

TEST(PreferenceCommand, NumbersThatAreNotGreaterThanZeroOrNotFiniteAreRefusedAndNotStored)
{
    Fixture f;
    for (const char *key : { "prefSecondsBetweenScans", "prefDaysOldBeforeDeleting" }) {
        for (const char *value : { "0", "-5", "abc", "", "  ", "-0.0", "nan", "inf", "1e39", "0x", "1e-50" }) {
            EXPECT_EQ(f.command(words("setValue", key, value)), kFailed) << key << " " << value;
            EXPECT_FALSE(f.onDisk(QString::fromUtf8(key))) << key << " " << value;
        }
        EXPECT_EQ(f.command(words("setValue", key)), kFailed) << key; // no value at all
    }
    // Days are an integer: beyond its range the number is refused rather than wrapped.
    EXPECT_EQ(f.command(words("setValue", "prefDaysOldBeforeDeleting", "3e9")), kFailed);
}

TEST(PreferenceCommand, DaysAreStoredAsTheSinglePrecisionNumberTruncatedTowardZero)
{
    Fixture f;
    const QString key = QStringLiteral("prefDaysOldBeforeDeleting");
    const std::pair<const char *, qlonglong> cases[] = { { "7.9", 7 }, { "30", 30 } };
    for (const auto &[text, days] : cases) {
        EXPECT_EQ(f.command(words("setValue", "prefDaysOldBeforeDeleting", text)), kSuccess) << text;
        const std::optional<QVariant> stored = f.onDisk(key);
        ASSERT_TRUE(stored) << text;
        EXPECT_EQ(stored->typeId(), QMetaType::LongLong) << text;
        EXPECT_EQ(stored->toLongLong(), days) << text;
    }
    EXPECT_EQ(f.command(words("getValue", "prefDaysOldBeforeDeleting")), kFailed); // not readable this way
}

TEST(PreferenceCommand, YesNoKeysTakeYesOrNoInAnyCaseAndStoreTheTextAsSent)
{
    Fixture f;
    for (const char *key : { "prefShowPreviewWhenUploading", "prefDeleteEmptyFtpFolders", "prefAutoSynchronize",
             "prefUseEventName", "prefDoUseDeleteOldPhotos", "prefAutoStartUploadAtStartup" }) {
        EXPECT_EQ(f.command(words("setValue", key, "YES")), kSuccess) << key;
        EXPECT_EQ(f.onDisk(QString::fromUtf8(key)), QVariant(QStringLiteral("YES"))) << key;
        EXPECT_EQ(f.command(words("setValue", key, "nO")), kSuccess) << key;
        EXPECT_EQ(f.onDisk(QString::fromUtf8(key)), QVariant(QStringLiteral("nO"))) << key;
        for (const char *refused : { "true", "1", "y", "yess", "" })
            EXPECT_EQ(f.command(words("setValue", key, refused)), kFailed) << key << " " << refused;
        EXPECT_EQ(f.command(words("setValue", key)), kFailed) << key;
        EXPECT_EQ(f.onDisk(QString::fromUtf8(key)), QVariant(QStringLiteral("nO"))) << key;
        EXPECT_EQ(f.command(words("getValue", key)), kFailed) << key; // yes/no keys cannot be read this way
    }
    EXPECT_FALSE(AppController::isValidYesNoString(std::nullopt));
}

TEST(PreferenceCommand, TextKeysStoreWhatIsSentUnderTheKeyAsSent)
{
    Fixture f;
    EXPECT_EQ(f.command(words("getValue", "userLoginName")), kSuccess); // nothing stored: the bare success
    EXPECT_EQ(f.command(words("setValue", "userLoginName", "ann \xc3\xa9")), kSuccess);
    EXPECT_EQ(f.command(words("GETVALUE", "userloginname")), kSuccess); // read under the key as sent: none there
    EXPECT_EQ(f.command(words("getValue", "userLoginName")),
        getValueReply(QStringLiteral("getValue"), QStringLiteral("userLoginName"), QStringLiteral("ann \u00e9")));

    // Another letter case is accepted and kept apart: the accessors never see it.
    EXPECT_EQ(f.command(words("SETVALUE", "USERLOGINNAME", "bob")), kSuccess);
    EXPECT_EQ(f.onDisk(QStringLiteral("USERLOGINNAME")), QVariant(QStringLiteral("bob")));
    EXPECT_EQ(f.controller->getCurUserLoginName(), QStringLiteral("ann \u00e9"));
    EXPECT_EQ(f.command(words("getvalue", "USERLOGINNAME")),
        getValueReply(QStringLiteral("getvalue"), QStringLiteral("USERLOGINNAME"), QStringLiteral("bob")));

    // Without a value the request is refused and the stored text stays; an empty text clears it.
    EXPECT_EQ(f.command(words("setvalue", "userLoginPassword", "secret")), kSuccess);
    EXPECT_EQ(f.command(words("setValue", "userLoginPassword")), kFailed);
    EXPECT_EQ(f.onDisk(QStringLiteral("userLoginPassword")), QVariant(QStringLiteral("secret")));
    EXPECT_EQ(f.command(words("setValue", "userEnteredEventName", "")), kSuccess);
    EXPECT_EQ(f.command(words("getValue", "userEnteredEventName")),
        getValueReply(QStringLiteral("getValue"), QStringLiteral("userEnteredEventName"), QString()));
}

TEST(PreferenceCommand, KeysOutsideTheTableOtherWordsAndMissingListsDoNothing)
{
    Fixture f;
    test::ConsoleRecorder console;
    EXPECT_EQ(f.command(words("setValue", "prefShowWindowAtStartup", "YES")), kFailed);
    EXPECT_TRUE(console.contains(QStringLiteral("Unsupported keyname=[prefShowWindowAtStartup] and keyValue=[YES]")));
    EXPECT_TRUE(
        console.contains(QStringLiteral("INVALID parameterValue=[YES] for parameterName=[prefShowWindowAtStartup]")));
    EXPECT_FALSE(f.onDisk(QStringLiteral("prefShowWindowAtStartup")));
    EXPECT_EQ(f.command(words("getValue", "prefShowWindowAtStartup")), kFailed);

    const QVariantMap before = f.options.store->userValues();
    EXPECT_EQ(f.command(words("listValues", "userLoginName", "x")), kSuccess);
    EXPECT_EQ(f.command({ QStringLiteral("setValue") }), kFailed); // no key
    EXPECT_EQ(f.send(kVeskEventClass, kVeskPreferenceCommand), kFailed);
    EXPECT_EQ(f.send(kVeskEventClass, kVeskPreferenceCommand, QStringList()), kFailed);
    EXPECT_EQ(f.options.store->userValues(), before);

    // Without a reply event nothing is done at all.
    const AppleEvent event { kVeskEventClass, kVeskPreferenceCommand, words("setValue", "userLoginName", "eve") };
    f.controller->handleTestAEHandler(&event, nullptr);
    EXPECT_FALSE(f.onDisk(QStringLiteral("userLoginName")));
}

TEST(OtherEvents, PauseAndSynchronizeAreAcceptedAndDispatchedOnTheIdAlone)
{
    Fixture f;
    test::ConsoleRecorder console;
    const AEDescriptor accepted = AEDescriptor::text(QStringLiteral("ACCEPTED"));
    EXPECT_EQ(f.send(kVeskEventClass, kVeskPause), accepted);
    EXPECT_TRUE(console.contains(QStringLiteral("forceProcessToPause")));
    EXPECT_EQ(f.send(kVeskEventClass, kVeskSynchronizeNow), accepted);
    EXPECT_TRUE(console.contains(QStringLiteral("ibUserClickedOnSynchronize...")));
    EXPECT_EQ(f.send(kCoreEventClass, kVeskPause), accepted); // the class is not looked at

    EXPECT_TRUE(f.send(kVeskEventClass, fourCharCode("zzzz")).isNone());
    EXPECT_TRUE(console.contains(QStringLiteral("WHAT THE HECK????")));
    f.controller->handleTestAEHandler(nullptr, nullptr); // no event: nothing happens
}

TEST(OtherEvents, QuitAnswersNothingAndQuitsOnlyOnceTheReplyIsOnItsWay)
{
    Fixture f;
    QSignalSpy terminated(f.controller.get(), &AppController::terminated);
    EXPECT_TRUE(f.send(kCoreEventClass, kAEQuitApplication).isNone());
    EXPECT_TRUE(f.controller->fGotAEQuitApplication);
    EXPECT_EQ(terminated.count(), 0); // the channel still has to write the reply
    EXPECT_TRUE(test::waitFor([&] { return terminated.count() == 1; }));
    EXPECT_TRUE(f.controller->isTerminating());
}

TEST(ChannelSetup, SecondLaunchEventsAndTheSocketFileAtQuit)
{
    Fixture f;
    test::FakeWindow window;
    f.controller->ibMainWindow = &window;
    test::ConsoleRecorder console;
    f.controller->setupForAppleEventsForThisApp();
    EXPECT_TRUE(console.contains(QStringLiteral("setupForAppleEventsForThisApp")));
    EXPECT_FALSE(console.contains(QStringLiteral("UNABLE")));
    const QString socket = paths::commandSocketFile();
    ASSERT_TRUE(QFileInfo::exists(socket));

    // The client blocks, so it runs beside the event loop that serves it.
    auto exchange = [&](const CommandRequest &request) {
        auto reply = std::async(std::launch::async,
            [&] { return exchangeCommand(socket, encodeCommandRequest(request), std::chrono::seconds(10)); });
        EXPECT_TRUE(
            test::waitFor([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return reply.get().replyLine;
    };
    EXPECT_EQ(exchange({ kAEMiscStandards, kAEActivate, std::nullopt }), QByteArray("{}"));
    EXPECT_EQ(window.frontCount, 1);

    const QString folder = f.profile.path(QStringLiteral("pictures"));
    EXPECT_TRUE(exchange({ kCoreEventClass, kAEOpenDocuments, QStringList { QStringLiteral("pictures") } })
                    .startsWith(R"({"error":)"));
    EXPECT_EQ(exchange({ kCoreEventClass, kAEOpenDocuments, QStringList { folder } }), QByteArray("{}"));
    EXPECT_TRUE(test::waitFor([&] {
        return test::readText(f.profile.path(QStringLiteral("log.txt")))
            .contains(QStringLiteral("Inside AppController => applicationOpenFile..."));
    }));
    EXPECT_TRUE(exchange({ kVeskEventClass, fourCharCode("nope"), std::nullopt }).startsWith(R"({"error":)"));

    // A second set-up neither fails nor opens a second channel.
    f.controller->setupForAppleEventsForThisApp();
    EXPECT_FALSE(console.contains(QStringLiteral("UNABLE")));

    f.controller->terminate();
    EXPECT_FALSE(QFileInfo::exists(socket));
}

TEST(ChannelSetup, AnotherInstanceListeningMakesTheSetupFailLoudly)
{
    Fixture first;
    first.controller->setupForAppleEventsForThisApp();
    Fixture second; // a new profile; point it at the first one's runtime folder
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(first.profile.path(QStringLiteral("runtime"))));
    test::ConsoleRecorder console;
    second.controller->setupForAppleEventsForThisApp();
    EXPECT_TRUE(console.contains(QStringLiteral("UNABLE setupForAppleEventsForThisApp")));
    EXPECT_TRUE(QFileInfo::exists(paths::commandSocketFile())); // the first one's socket is untouched
}
