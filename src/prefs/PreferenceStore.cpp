#include "prefs/PreferenceStore.h"

#include "app/Paths.h"
#include "diag/Console.h"
#include "prefs/PropertyList.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdlib>

namespace vesk {

namespace {
// Reads the leading decimal number of a text as strtod does: leading blanks skipped, conversion
// stops at the first character that does not belong to the number, no number gives 0.
double leadingNumber(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::strtod(bytes.constData(), nullptr);
}

bool textAsBool(const QString &text)
{
    // The platform's rule: skip blanks, a sign and leading zeros; Y, y, T, t or a digit 1-9 is true.
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        ++i;
    while (i < text.size() && text.at(i) == QLatin1Char('0'))
        ++i;
    if (i >= text.size())
        return false;
    const QChar c = text.at(i);
    return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') || c == QLatin1Char('t')
        || (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
}

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}
} // namespace

PreferenceStore::PreferenceStore(QString filePath)
    : fFilePath(std::move(filePath))
{
    if (fFilePath.isEmpty() || !QFileInfo::exists(fFilePath))
        return;
    QString error;
    std::optional<QVariant> loaded = plist::readFile(fFilePath, &error);
    if (loaded && loaded->typeId() == QMetaType::QVariantMap) {
        fUser = loaded->toMap();
        return;
    }
    if (loaded)
        error = QStringLiteral("its root is not a dictionary");
    consoleLog(QStringLiteral("Preferences file [%1] cannot be used (%2): starting from the factory defaults; "
                              "the file is kept as [%1.broken]")
                   .arg(fFilePath, error));
    fKeepBrokenFile = true;
}

void PreferenceStore::registerDefaults(const QVariantMap &defaults)
{
    std::unique_lock<std::shared_mutex> guard(fLock);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        fRegistered.insert(it.key(), it.value());
}

void PreferenceStore::registerAdministratorDefaults(const QVariantMap &defaults)
{
    std::unique_lock<std::shared_mutex> guard(fLock);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        fRegistered.insert(it.key(), it.value());
        fAdministratorKeys.insert(it.key());
    }
}

bool PreferenceStore::isAdministratorValue(const QString &key) const
{
    std::shared_lock<std::shared_mutex> guard(fLock);
    return fAdministratorKeys.contains(key) && !fUser.contains(key);
}

std::optional<QVariant> PreferenceStore::objectForKey(const QString &key) const
{
    std::shared_lock<std::shared_mutex> guard(fLock);
    auto it = fUser.constFind(key);
    if (it != fUser.cend())
        return it.value();
    it = fRegistered.constFind(key);
    if (it != fRegistered.cend())
        return it.value();
    return std::nullopt;
}

bool PreferenceStore::hasUserValue(const QString &key) const
{
    std::shared_lock<std::shared_mutex> guard(fLock);
    return fUser.contains(key);
}

bool PreferenceStore::toBool(const std::optional<QVariant> &value)
{
    if (!value)
        return false;
    if (isNumber(*value))
        return value->toDouble() != 0.0;
    if (value->typeId() == QMetaType::QString)
        return textAsBool(value->toString());
    return false;
}

double PreferenceStore::toDouble(const std::optional<QVariant> &value)
{
    if (!value)
        return 0.0;
    if (isNumber(*value))
        return value->toDouble();
    if (value->typeId() == QMetaType::QString)
        return leadingNumber(value->toString());
    return 0.0;
}

qint64 PreferenceStore::toInteger(const std::optional<QVariant> &value)
{
    if (!value)
        return 0;
    if (value->typeId() == QMetaType::LongLong || value->typeId() == QMetaType::Int
        || value->typeId() == QMetaType::ULongLong || value->typeId() == QMetaType::UInt)
        return value->toLongLong();
    const double number = toDouble(value);
    if (!std::isfinite(number))
        return 0;
    if (number >= 9.2e18 || number <= -9.2e18)
        return number > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return static_cast<qint64>(number); // truncation toward zero
}

std::optional<QString> PreferenceStore::toString(const std::optional<QVariant> &value)
{
    if (!value)
        return std::nullopt;
    if (value->typeId() == QMetaType::QString)
        return value->toString();
    if (value->typeId() == QMetaType::Bool)
        return value->toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (isNumber(*value))
        return value->toString();
    return std::nullopt;
}

bool PreferenceStore::boolForKey(const QString &key) const
{
    return toBool(objectForKey(key));
}

double PreferenceStore::doubleForKey(const QString &key) const
{
    return toDouble(objectForKey(key));
}

float PreferenceStore::floatForKey(const QString &key) const
{
    return static_cast<float>(toDouble(objectForKey(key)));
}

qint64 PreferenceStore::integerForKey(const QString &key) const
{
    return toInteger(objectForKey(key));
}

std::optional<QString> PreferenceStore::stringForKey(const QString &key) const
{
    return toString(objectForKey(key));
}

bool PreferenceStore::setObject(const QString &key, const QVariant &value)
{
    {
        std::unique_lock<std::shared_mutex> guard(fLock);
        fUser.insert(key, value);
    }
    return writeFile();
}

bool PreferenceStore::removeObject(const QString &key)
{
    {
        std::unique_lock<std::shared_mutex> guard(fLock);
        if (!fUser.remove(key))
            return true;
    }
    return writeFile();
}

QVariantMap PreferenceStore::dictionaryRepresentation() const
{
    std::shared_lock<std::shared_mutex> guard(fLock);
    QVariantMap merged = fRegistered;
    for (auto it = fUser.cbegin(); it != fUser.cend(); ++it)
        merged.insert(it.key(), it.value());
    return merged;
}

QVariantMap PreferenceStore::userValues() const
{
    std::shared_lock<std::shared_mutex> guard(fLock);
    return fUser;
}

bool PreferenceStore::synchronize()
{
    return writeFile();
}

bool PreferenceStore::writeFile()
{
    if (fFilePath.isEmpty())
        return false;
    std::lock_guard<std::mutex> fileGuard(fFileLock);
    if (fKeepBrokenFile) {
        const QString broken = fFilePath + QStringLiteral(".broken");
        QFile::remove(broken);
        QFile::copy(fFilePath, broken);
        fKeepBrokenFile = false;
    }
    QVariantMap snapshot;
    {
        std::shared_lock<std::shared_mutex> guard(fLock);
        snapshot = fUser;
    }
    paths::makeFolder(QFileInfo(fFilePath).absolutePath(), 0700);
    QString error;
    if (!plist::writeXmlFileAtomically(fFilePath, snapshot, 0600, &error)) {
        consoleLog(QStringLiteral("Unable to write the preferences file [%1]: %2").arg(fFilePath, error));
        return false;
    }
    return true;
}

} // namespace vesk
