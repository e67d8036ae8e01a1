// AppController: the localised alert panel and the language choice.

#include "ui/Alerts.h"

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "prefs/PropertyList.h"

#include <QFileInfo>
#include <QSet>

#include <mutex>

namespace vesk {

QStringList userLanguageList()
{
    QStringList raw;
    const QString language = qEnvironmentVariable("LANGUAGE");
    if (!language.isEmpty())
        raw = language.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const char *name : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty()) {
            raw.append(value);
            break;
        }
    }
    QStringList codes;
    for (const QString &entry : raw) {
        QString code = entry.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
        code = code.section(QLatin1Char('_'), 0, 0).section(QLatin1Char('-'), 0, 0).toLower();
        if (code.isEmpty() || code == QLatin1String("c") || code == QLatin1String("posix"))
            continue;
        if (!codes.contains(code))
            codes.append(code);
    }
    return codes;
}

QString getPreferredLanguage(const QStringList &languages)
{
    if (languages.isEmpty())
        return QStringLiteral("English");
    const QString first = languages.first();
    if (first == QLatin1String("en"))
        return QStringLiteral("English");
    if (first == QLatin1String("es"))
        return QStringLiteral("Spanish");
    consoleLog(QStringLiteral("NOT translated = %1").arg(first));
    return first;
}

QString getPreferredLanguage()
{
    return getPreferredLanguage(userLanguageList());
}

namespace {
// Once per language and process: the operator learns why the alerts are in English.
void reportLanguageWithoutTable(const QString &language)
{
    static std::mutex lock;
    static QSet<QString> reported;
    std::lock_guard<std::mutex> guard(lock);
    if (reported.contains(language))
        return;
    reported.insert(language);
    MessageLog::LogMessage(
        QStringLiteral("No alert texts in the language %1: alerts are shown in English").arg(language), true);
}

// Fills the "%@" placeholders of a message in order.
QString formatMessage(const QString &format, const QString &arg1, const QString &arg2)
{
    QString result;
    int used = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format.at(i) == QLatin1Char('%') && i + 1 < format.size() && format.at(i + 1) == QLatin1Char('@')) {
            result += used == 0 ? arg1 : (used == 1 ? arg2 : QString());
            ++used;
            ++i;
        } else {
            result += format.at(i);
        }
    }
    return result;
}
} // namespace

int AppController::myNSRunAlertPanel(
    const QString &tableName, const QString &key, const QString &arg1, const QString &arg2)
{
    int answer = -2;
    // The table of the user's language, then the English one: an alert in English tells the operator
    // more than the panel that no text was found.
    const QString language = getPreferredLanguage();
    QStringList languages { language };
    if (language != QLatin1String("English"))
        languages << QStringLiteral("English");
    bool haveTable = false;
    QVariant entry;
    for (const QString &candidate : std::as_const(languages)) {
        const QString file = fOptions.stringsFolder + QLatin1Char('/') + candidate + QStringLiteral(".lproj/")
            + tableName + QStringLiteral(".strings");
        const std::optional<QVariant> table = QFileInfo::exists(file) ? plist::readFile(file) : std::nullopt;
        if (!table || table->typeId() != QMetaType::QVariantMap) {
            if (candidate != QLatin1String("English"))
                reportLanguageWithoutTable(candidate);
            continue;
        }
        haveTable = true;
        entry = table->toMap().value(key);
        if (entry.isValid())
            break;
    }

    auto show = [this](const QString &title, const QString &message, const QString &defaultButton,
                    const QString &alternateButton, const QString &otherButton) {
        if (fUi)
            return fUi->runAlert(title, message, defaultButton, alternateButton, otherButton);
        // Headless there is no panel: the operator finds the alert in the message log.
        myNSLog(QStringLiteral("ALERT: %1 %2").arg(title, message));
        return -2;
    };

    if (!haveTable || !entry.isValid()) {
        myPrintf("WHAT???");
        if (!haveTable)
            myPrintf("myTestDictionary is nil");
        else
            myPrintf("mySubDictionary is nil");
        show(QStringLiteral("Unable to Find Resource For:"),
            QStringLiteral("name.strings = \"%1\"\rkey = \"%2\"").arg(tableName, key), QStringLiteral("OK"), QString(),
            QString());
        return -2;
    }
    myPrintf("YES Found my dictionary1!!!\n");
    if (entry.typeId() != QMetaType::QVariantMap) {
        consoleLog(QStringLiteral("myTestDictionary count: Caught exception name = %1")
                       .arg(QStringLiteral("NSInvalidArgumentException")));
        return -2;
    }
    const QVariantMap texts = entry.toMap();
    auto text = [&texts](const char *name) {
        const QVariant value = texts.value(QLatin1String(name));
        return value.typeId() == QMetaType::QString ? value.toString() : QString();
    };
    QString title = text("title");
    if (title.isEmpty())
        title = QStringLiteral("NO INFO");
    QString message = text("mesg");
    if (message.isEmpty())
        message = QStringLiteral("(No Further Info Given)");
    QString defaultButton = text("defaultButton");
    if (defaultButton.isEmpty())
        defaultButton = QStringLiteral("OK");
    answer = show(
        title, formatMessage(message, arg1, arg2), defaultButton, text("alternateButton"), text("otherAltButton"));
    return answer;
}

void AppController::closeCurrentAlert()
{
    // No alert is ever kept open by the controller, so there is nothing to close.
    traceInside(kClassName, __func__);
}

void AppController::beep()
{
    if (fUi)
        performOnMainThread([ui = fUi] { ui->beep(); }, false);
}

} // namespace vesk
