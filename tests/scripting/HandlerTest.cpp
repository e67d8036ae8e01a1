// The event handler called directly (no socket): the preference command's words, conversions and
// replies, and the other events.

#include "ControllerFixture.h"

#include "app/Paths.h"
#include "prefs/PropertyList.h"
#include "scripting/AppleEvent.h"

#include <QDir>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <ostream>

using namespace vesk;

namespace vesk {
void PrintTo(const AEDescriptor &value, std::ostream *os)
{
    *os << value.description().toStdString();
}
} // namespace vesk

namespace {

AEDescriptor send(AppController &controller, FourCharCode eventClass, FourCharCode eventID,
    std::optional<QStringList> params = std::nullopt, QString *reason = nullptr)
{
    const AppleEvent event { eventClass, eventID, std::move(params) };
    AppleEventReply reply;
    controller.handleTestAEHandler(&event, &reply);
    if (reason)
        *reason = reply.reason;
    return reply.directObject;
}

// What the preferences file holds for the key (the store writes it at once).
std::optional<QVariant> onDisk(const QString &key)
{
    const QVariantMap root = plist::readFile(paths::preferencesFile()).value_or(QVariant()).toMap();
    return root.contains(key) ? std::optional(root.value(key)) : std::nullopt;
}

} // namespace

TEST(PreferenceCommand, WordsRepliesAndWhatIsStored)
{
    test::TempProfile profile;
    AppOptions options;
    options.headless = true;
    test::ControllerFixture f(options);
    const std::optional<QVariant> unchanged; // the key's stored value is whatever it was
    const QVariant none; // nothing stored under the key
    struct Case {
        QStringList words;
        const char *reply; // "S" success, "F" failure, else getValue's value
        std::optional<QVariant> stored;
        std::string reason = {}; // a refusal's reason holds this text
        FourCharCode id = kVeskPreferenceCommand;
    };
    const auto w = [](std::initializer_list<const char *> words) {
        QStringList list;
        for (const char *word : words)
            list << QString::fromUtf8(word);
        return list;
    };
    // The folders command: both folders at once, with the checks of a folder in its role.
    const QString home = QDir::homePath();
    for (const char *folder : { "hot/cam1", "uploaded", "Problem Folder" })
        ASSERT_TRUE(QDir().mkpath(home + QLatin1Char('/') + QLatin1String(folder)));
    const auto at = [&](const char *source, const char *mirror) {
        return QStringList { home + QLatin1String(source), home + QLatin1String(mirror) };
    };
    const Case cases[] = {
        { at("/hot", "/uploaded"), "S", unchanged, "", kVeskFolders },
        { at("/hot", "/missing"), "F", unchanged, "[" + home.toStdString() + "/missing] is not a folder",
            kVeskFolders },
        { at("/hot", "/hot/cam1"), "F", unchanged, "inside", kVeskFolders },
        { at("/uploaded", "/uploaded"), "F", unchanged, "same", kVeskFolders },
        { at("", "/uploaded"), "F", unchanged, "home folder", kVeskFolders },
        { at("/hot", "").mid(0, 1), "F", unchanged, "two absolute paths", kVeskFolders },
        { w({ "hot", "uploaded" }), "F", unchanged, "two absolute paths", kVeskFolders },
        { w({ "setValue", "prefLocalSourceUploadFolder", "/tmp" }), "F", unchanged, "vesk-ctl folders SOURCE MIRROR" },
        { w({ "getValue", "prefSecondsBetweenScans" }), "120.00", none }, // the factory value
        { w({ "setValue", "prefSecondsBetweenScans", "45" }), "S", 45.0 },
        { w({ "getValue", "prefSecondsBetweenScans" }), "45.00", 45.0 },
        // A plain decimal number, nothing before or after it, stored in single precision.
        { w({ "setValue", "prefSecondsBetweenScans", " \t12.5s" }), "F", 45.0, "from 1 to 2147483" },
        { w({ "setValue", "prefSecondsBetweenScans", "7.9" }), "S", double(7.9f) },
        { w({ "setValue", "prefDaysOldBeforeDeleting", "7.9" }), "S", qlonglong(7) },
        { w({ "setValue", "prefDaysOldBeforeDeleting", "3e9" }), "F", qlonglong(7) },
        { w({ "getValue", "prefDaysOldBeforeDeleting" }), "F", unchanged },
        { w({ "setValue", "prefAutoSynchronize", "nO" }), "S", QStringLiteral("nO") },
        { w({ "setValue", "prefDoUseDeleteOldPhotos", "YES" }), "S", QStringLiteral("YES") },
        { w({ "setValue", "prefDoUseDeleteOldPhotos", "true" }), "F", QStringLiteral("YES") },
        { w({ "getValue", "prefAutoSynchronize" }), "F", unchanged },
        { w({ "getValue", "userLoginName" }), "S", none }, // nothing stored: the bare success
        { w({ "setValue", "userLoginName", "ann \xc3\xa9" }), "S", QStringLiteral("ann \u00e9") },
        { w({ "GetValue", "userLoginName" }), "ann \xc3\xa9", unchanged },
        { w({ "setValue", "userLoginName" }), "F", QStringLiteral("ann \u00e9") }, // a cut command never wipes it
        { w({ "SETVALUE", "USERLOGINNAME", "bob" }), "S", QStringLiteral("bob") }, // kept apart under its own key
        { w({ "setValue", "userEnteredEventName", "" }), "S", QString() },
        { w({ "setValue", "prefShowWindowAtStartup", "YES" }), "F", none },
        { w({ "listValues", "userLoginName", "x" }), "S", unchanged },
        { w({ "setValue" }), "F", unchanged },
        { {}, "F", unchanged },
    };
    for (const char *refused : { "0", "-5", "abc", "", "-0.0", "nan", "inf", "1e39", "0x", "1e-50" }) {
        for (const char *key : { "prefSecondsBetweenScans", "prefDaysOldBeforeDeleting" }) {
            EXPECT_EQ(send(*f, kVeskEventClass, kVeskPreferenceCommand, w({ "setValue", key, refused })),
                AEDescriptor::text(QStringLiteral("COMMAND FAILED")))
                << key << " " << refused;
            EXPECT_FALSE(onDisk(QLatin1String(key))) << key;
        }
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.join(QLatin1Char(' ')).toStdString());
        const QString reply = QString::fromUtf8(c.reply);
        const AEDescriptor expected = reply == QLatin1String("S")
            ? AEDescriptor::text(QStringLiteral("COMMAND SUCCESS"))
            : reply == QLatin1String("F") ? AEDescriptor::text(QStringLiteral("COMMAND FAILED"))
                                          : AEDescriptor::list({ AEDescriptor::text(QStringLiteral("COMMAND SUCCESS")),
                                              AEDescriptor::list({ AEDescriptor::text(c.words.value(0)),
                                                  AEDescriptor::text(c.words.value(1)), AEDescriptor::text(reply) }) });
        QString reason;
        EXPECT_EQ(send(*f, kVeskEventClass, c.id, c.words.isEmpty() ? std::nullopt : std::optional(c.words), &reason),
            expected);
        EXPECT_TRUE(reason.contains(QString::fromStdString(c.reason))) << reason.toStdString();
        if (c.words.size() >= 2) {
            EXPECT_EQ(reason.isEmpty(), reply != QLatin1String("F")) << reason.toStdString();
        }
        if (c.stored) {
            EXPECT_EQ(onDisk(c.words.value(1)), c.stored->isValid() ? c.stored : std::nullopt);
        }
    }
    EXPECT_EQ(f->getCurUserLoginName(), QStringLiteral("ann \u00e9")); // the accessors never see "USERLOGINNAME"
    EXPECT_EQ(onDisk(QStringLiteral("prefLocalSourceUploadFolder")), QVariant(home + QStringLiteral("/hot")));
    EXPECT_EQ(onDisk(QStringLiteral("prefLocalMasterMirrorSiteFolder")), QVariant(home + QStringLiteral("/uploaded")));
}
