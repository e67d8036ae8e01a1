#include "diag/Describe.h"

#include <QDateTime>

namespace vesk {

namespace {
QString quoteIfNeeded(const QString &text)
{
    bool plain = !text.isEmpty();
    for (QChar c : text) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('.') || c == QLatin1Char('/'))) {
            plain = false;
            break;
        }
    }
    if (plain)
        return text;
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}
} // namespace

QString describe(const QVariant &value, int indent)
{
    const QString pad(indent * 4, QLatin1Char(' '));
    const QString innerPad((indent + 1) * 4, QLatin1Char(' '));
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QString text = QStringLiteral("{\n");
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            // Logs end up in journals and bug reports: passwords never appear in them.
            const bool secret = it.key() == QLatin1String("edPasswd") || it.key() == QLatin1String("userLoginPassword")
                || it.key() == QLatin1String("password");
            text += innerPad + quoteIfNeeded(it.key()) + QStringLiteral(" = ")
                + (secret ? QStringLiteral("\"********\"") : describe(it.value(), indent + 1)) + QStringLiteral(";\n");
        }
        return text + pad + QLatin1Char('}');
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        QString text = QStringLiteral("(\n");
        for (qsizetype i = 0; i < list.size(); ++i)
            text += innerPad + describe(list.at(i), indent + 1)
                + (i + 1 < list.size() ? QStringLiteral(",\n") : QStringLiteral("\n"));
        return text + pad + QLatin1Char(')');
    }
    case QMetaType::QString:
        return quoteIfNeeded(value.toString());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return QStringLiteral("<%1 bytes>").arg(bytes.size());
    }
    case QMetaType::QDateTime:
        return value.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::UnknownType:
        return QStringLiteral("(null)");
    default:
        return value.toString();
    }
}

} // namespace vesk
