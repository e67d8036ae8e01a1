// The number preferences: what setValue, Import Settings, the earlier uploader's file and the
// administrator's defaults accept and refuse (one table), and what a stored value outside the range does to the purge
// and the timer.

#include "app/AppController.h"
#include "app/Paths.h"
#include "files/CaptureDates.h"
#include "prefs/PropertyList.h"
#include "scripting/AppleEvent.h"

#include "ControllerFixture.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace vesk;

namespace vesk {
class AppControllerTestAccess {
public:
    static int timerInterval(AppController &app) { return app.fRepeatTimer ? app.fRepeatTimer->interval() : -1; }
};
} // namespace vesk

namespace {

const QString kDays = PrefKeys::sPrefDaysOldBeforeDeleting;
const QString kSeconds = PrefKeys::sPrefSecondsBetweenScans;
constexpr double kRefused = -1;

struct Fixture {
    qsizetype logged(const QString &text) const { return c.log().count(text); }
    PreferenceStore &store() { return *c.store; }
    bool setValue(const QString &key, const QString &value)
    {
        const AppleEvent event { kVeskEventClass, kVeskPreferenceCommand,
            QStringList { QStringLiteral("setValue"), key, value } };
        AppleEventReply reply;
        controller->handleTestAEHandler(&event, &reply);
        return reply.directObject == AEDescriptor::text(QStringLiteral("COMMAND SUCCESS"));
    }

    test::TempProfile profile;
    test::ControllerFixture c { [] {
        AppOptions options;
        options.headless = true;
        return options;
    }() };
    std::unique_ptr<AppController> &controller = c.controller;
};

} // namespace

TEST(PreferenceValues, NumbersAreCheckedAlikeBySetValueImportAndTheOldUploadersFile)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        QString key;
        QVariant value; // texts also go through setValue; other types come from files only
        double stored; // kRefused: nothing is stored
    } cases[] = {
        { kDays, QStringLiteral("7.9"), 7 },
        { kDays, QStringLiteral("1"), 1 },
        { kDays, QStringLiteral("36500.9"), 36500 },
        { kDays, QStringLiteral("007"), 7 },
        { kDays, QStringLiteral("0.5"), kRefused },
        { kDays, QStringLiteral("36501"), kRefused },
        { kDays, QStringLiteral("40000"), kRefused },
        { kDays, QStringLiteral("65536"), kRefused },
        { kDays, QStringLiteral("30.99999999999999999999"), 30 },
        { kDays, QByteArray("99999999999999999999"), kRefused }, // bytes: an <integer> in the files
        { kDays, QByteArray("-99999999999999999999"), kRefused },
        { kDays, QStringLiteral("3abc"), kRefused },
        { kDays, QStringLiteral("0x10"), kRefused },
        { kDays, QStringLiteral(" 7"), kRefused },
        { kDays, QStringLiteral("7."), kRefused },
        { kDays, QStringLiteral("1e3"), kRefused },
        { kDays, QStringLiteral("inf"), kRefused },
        { kDays, QStringLiteral(""), kRefused },
        { kDays, 1e30, kRefused },
        { kDays, qlonglong(40000), kRefused },
        { kDays, true, kRefused },
        { kDays, 7.9, 7 },
        { kSeconds, QStringLiteral("45"), 45 },
        { kSeconds, QStringLiteral("12.5"), 12.5 },
        { kSeconds, QStringLiteral("2147483"), 2147483 },
        { kSeconds, QStringLiteral("1"), 1 },
        { kSeconds, QStringLiteral("0.5"), kRefused },
        { kSeconds, QStringLiteral("0.001"), kRefused },
        { kSeconds, QStringLiteral("1e-9"), kRefused },
        { kSeconds, QStringLiteral("-5"), kRefused },
        { kSeconds, QStringLiteral("nan"), kRefused },
        { kSeconds, QStringLiteral("2147483.5"), kRefused },
        { kSeconds, QStringLiteral("45 seconds"), kRefused },
        { kSeconds, nan, kRefused },
        { kSeconds, -5.0, kRefused },
        { kSeconds, 90.0, 90 },
    };
    Fixture f;
    const QString importFile = f.profile.path(QStringLiteral("import.plist"));
    for (const auto &c : cases) {
        const QString text = c.value.toString();
        SCOPED_TRACE(QString(c.key + QStringLiteral(" = ") + text).toStdString());
        auto expectStored = [&](const char *path) {
            SCOPED_TRACE(path);
            if (c.stored == kRefused) {
                EXPECT_FALSE(f.store().hasUserValue(c.key));
                return;
            }
            const std::optional<QVariant> stored = f.store().objectForKey(c.key);
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(stored->toDouble(), c.stored);
            EXPECT_EQ(stored->typeId(), c.key == kDays ? QMetaType::LongLong : QMetaType::Double);
        };
        const bool integer = c.value.typeId() == QMetaType::QByteArray;
        if (c.value.typeId() == QMetaType::QString || integer) {
            f.store().removeObject(c.key);
            EXPECT_EQ(f.setValue(c.key, text), c.stored != kRefused);
            expectStored("setValue");
        }

        // Import: a refused value is left out with a line that quotes it as written, the rest of
        // the file is taken.
        f.store().removeObject(c.key);
        f.store().removeObject(PrefKeys::sUserLoginName);
        const QString refusal = QStringLiteral("The value [%1] of %2 is refused: a number of ").arg(text, c.key);
        const qsizetype refusals = f.logged(refusal);
        QByteArray xml = plist::toXml(QVariantMap {
            { c.key, integer ? QVariant(text) : c.value }, { PrefKeys::sUserLoginName, QStringLiteral("anna") } });
        if (integer)
            xml.replace(QByteArray("<string>" + text.toLatin1() + "</string>"),
                QByteArray("<integer>" + text.toLatin1() + "</integer>"));
        ASSERT_TRUE(test::writeFile(importFile, xml));
        ASSERT_TRUE(f.controller->loadPrefFromFile(importFile));
        expectStored("Import Settings");
        EXPECT_EQ(f.store().stringForKey(PrefKeys::sUserLoginName), QStringLiteral("anna"));
        EXPECT_EQ(f.logged(refusal) - refusals, c.stored == kRefused ? 1 : 0);

        // The earlier uploader's file, copied once.
        f.store().removeObject(c.key);
        f.store().removeObject(PrefKeys::sPrefDoCopyOldFtpPref);
        ASSERT_TRUE(test::writeFile(paths::predecessorPreferencesFile(), xml));
        f.controller->migrateOldFtpPrefs();
        expectStored("the earlier uploader's file");

        // The administrator's defaults: the same check, into the registration layer only.
        ASSERT_TRUE(test::writeFile(f.profile.path(QStringLiteral("xdg/Vesk-FTPUploader/defaults.plist")), xml));
        PreferenceStore everyone { QString() };
        AppController::mergeAdministratorDefaults(everyone);
        EXPECT_EQ(everyone.isAdministratorValue(c.key), c.stored != kRefused);
        EXPECT_EQ(everyone.objectForKey(c.key).value_or(kRefused).toDouble(), c.stored);
        EXPECT_TRUE(everyone.userValues().isEmpty());
    }
}

TEST(PreferenceValues, StoredValuesOutsideTheRangeTurnThePurgeOffAndHoldTheTimerInRange)
{
    Fixture f;
    const QString mirror = f.profile.path(QStringLiteral("mirror"));
    const QString picture = mirror + QStringLiteral("/Roll1/a.jpg");
    f.store().setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirror);
    f.store().setObject(PrefKeys::sPrefUseDoDeleteOldPhotos, true);
    ASSERT_TRUE(test::writeFile(picture, QByteArray::fromHex("ffd8ffe000104a46494600010100000100010000ffd9")));
    const QDateTime made = fileDatesAtPath(picture)->creation;
    ASSERT_TRUE(test::waitFor([&] { return QDateTime::currentDateTime() > made; }));
    // A hand-edited file, or a value that an older version stored without a check.
    for (const QVariant &days : { QVariant(qlonglong(65536)), QVariant(qlonglong(40000)), QVariant(qlonglong(0)),
             QVariant(1e30), QVariant(0.5), QVariant(-3.0), QVariant(QStringLiteral("nan")) }) {
        SCOPED_TRACE(days.toString().toStdString());
        f.store().setObject(kDays, days);
        const qsizetype before = f.logged(QStringLiteral("The old-photo purge is off for this run"));
        f.controller->deleteOldOldPhotosAndFolderIfEmptyWorks();
        EXPECT_TRUE(QFileInfo::exists(picture));
        EXPECT_EQ(f.logged(QStringLiteral("The old-photo purge is off for this run")) - before, 1);
    }

    f.store().setObject(PrefKeys::sPrefAutoSynchronize, true);
    const struct {
        QVariant seconds;
        int intervalMs;
    } timers[] = {
        { 0.001, 1000 }, { -5.0, 1000 }, { std::numeric_limits<double>::quiet_NaN(), 1000 }, { 1e12, 2147483000 },
        { QStringLiteral("45 seconds"), 45000 }, // a stored text is read as before
    };
    for (const auto &t : timers) {
        SCOPED_TRACE(t.seconds.toString().toStdString());
        f.store().setObject(kSeconds, t.seconds);
        const qsizetype before = f.logged(QStringLiteral(" seconds: "));
        for (int i = 0; i < 2; ++i) {
            f.controller->doSetupRetriggerTimer();
            EXPECT_EQ(AppControllerTestAccess::timerInterval(*f.controller), t.intervalMs);
        }
        EXPECT_EQ(f.logged(QStringLiteral(" seconds: ")) - before, t.intervalMs == 45000 ? 0 : 1); // logged once
    }
    f.controller->cancelRetriggerTimer();
}
