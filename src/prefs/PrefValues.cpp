#include "prefs/PrefValues.h"

#include "prefs/PrefKeys.h"

#include <QRegularExpression>

#include <cmath>

namespace vesk::prefvalues {

std::optional<double> strictNumber(const QVariant &value)
{
    double number = 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
        number = value.toDouble();
        break;
    case QMetaType::QString: {
        static const QRegularExpression pattern(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
        const QString text = value.toString();
        if (!pattern.match(text).hasMatch())
            return std::nullopt;
        bool ok = false;
        number = text.toDouble(&ok); // digits and a point only: the C locale's reading
        if (!ok)
            return std::nullopt;
        break;
    }
    default:
        return std::nullopt;
    }
    if (!std::isfinite(number))
        return std::nullopt;
    return number;
}

std::optional<qint64> daysOldBeforeDeleting(const QVariant &value)
{
    const std::optional<double> number = strictNumber(value);
    if (!number)
        return std::nullopt;
    double days = std::trunc(*number);
    if (value.typeId() == QMetaType::QString) {
        // Cut from the text itself: read as a double, 30.99999999999999999999 would be 31.
        bool ok = false;
        days = double(value.toString().section(QLatin1Char('.'), 0, 0).toLongLong(&ok));
        if (!ok)
            return std::nullopt;
    }
    if (days < double(kMinDaysOld) || days > double(kMaxDaysOld))
        return std::nullopt;
    return static_cast<qint64>(days);
}

std::optional<double> secondsBetweenScans(const QVariant &value)
{
    const std::optional<double> number = strictNumber(value);
    if (!number || *number < kMinSecondsBetweenScans || *number > kMaxSecondsBetweenScans)
        return std::nullopt;
    return number;
}

std::optional<QVariant> checkedValue(const QString &key, const QVariant &value, QString *why)
{
    auto refused = [&](const char *rule) -> std::optional<QVariant> {
        if (why)
            *why
                = QStringLiteral("The value [%1] of %2 is refused: %3").arg(value.toString(), key, QLatin1String(rule));
        return std::nullopt;
    };
    if (key == PrefKeys::sPrefDaysOldBeforeDeleting) {
        if (const std::optional<qint64> days = daysOldBeforeDeleting(value))
            return QVariant(qlonglong(*days));
        return refused("a number of days from 1 to 36500 is needed");
    }
    if (key == PrefKeys::sPrefSecondsBetweenScans) {
        if (const std::optional<double> seconds = secondsBetweenScans(value))
            return QVariant(*seconds);
        return refused("a number of seconds from 1 to 2147483 is needed");
    }
    return value;
}

} // namespace vesk::prefvalues
