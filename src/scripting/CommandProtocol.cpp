#include "scripting/CommandProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace vesk {

namespace {

const QString kClassField = QStringLiteral("class");
const QString kIdField = QStringLiteral("id");
const QString kParamsField = QStringLiteral("params");
const QString kReplyField = QStringLiteral("reply");
const QString kErrorField = QStringLiteral("error");
const QString kReasonField = QStringLiteral("reason");

// Texts end up in the preferences file, an XML property list, and in log lines: no control
// characters there but tab, line feed and carriage return, and only well-formed UTF-16.
bool isStorableText(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u == 0xFFFE || u == 0xFFFF)
            return false;
    }
    return text.isValidUtf16();
}

// A text from the request, safe to quote in an error message.
QString quotable(const QString &text)
{
    QString shown;
    for (const QChar c : text.left(64))
        shown += c.unicode() < 0x20 || c.isSurrogate() ? QChar(u'?') : c;
    return shown;
}

CommandParseResult failure(const QString &error)
{
    return CommandParseResult { std::nullopt, error };
}

std::optional<FourCharCode> codeField(const QJsonObject &object, const QString &name, QString *error)
{
    const auto it = object.constFind(name);
    if (it == object.constEnd()) {
        *error = QStringLiteral("missing \"%1\"").arg(name);
        return std::nullopt;
    }
    std::optional<FourCharCode> code;
    if (it->isString())
        code = fourCharCodeFromText(it->toString());
    if (!code)
        *error = QStringLiteral("\"%1\" must be a text of four printable ASCII characters").arg(name);
    return code;
}

QJsonValue toJson(const AEDescriptor &value)
{
    switch (value.kind()) {
    case AEDescriptor::Kind::None:
        return QJsonValue(QJsonValue::Null);
    case AEDescriptor::Kind::Text:
        return value.stringValue();
    case AEDescriptor::Kind::List:
        break;
    }
    QJsonArray array;
    for (const AEDescriptor &item : value.items())
        array.append(toJson(item));
    return array;
}

std::optional<AEDescriptor> fromJson(const QJsonValue &value)
{
    if (value.isString())
        return AEDescriptor::text(value.toString());
    if (!value.isArray())
        return std::nullopt;
    AEDescriptor list = AEDescriptor::list();
    const QJsonArray array = value.toArray();
    for (const QJsonValue &item : array) {
        std::optional<AEDescriptor> converted = fromJson(item);
        if (!converted)
            return std::nullopt;
        list.append(std::move(*converted));
    }
    return list;
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

CommandParseResult parseCommandRequest(QByteArrayView line)
{
    if (line.size() > kMaxCommandLineBytes)
        return failure(QStringLiteral("request longer than %1 bytes").arg(kMaxCommandLineBytes));
    if (line.trimmed().isEmpty())
        return failure(QStringLiteral("empty request"));

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(
            QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return failure(QStringLiteral("a request is a JSON object"));
    const QJsonObject object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key() != kClassField && it.key() != kIdField && it.key() != kParamsField)
            return failure(QStringLiteral("unknown field \"%1\"").arg(quotable(it.key())));
    }

    CommandRequest request;
    QString error;
    const std::optional<FourCharCode> eventClass = codeField(object, kClassField, &error);
    if (!eventClass)
        return failure(error);
    const std::optional<FourCharCode> eventID = codeField(object, kIdField, &error);
    if (!eventID)
        return failure(error);
    request.eventClass = *eventClass;
    request.eventID = *eventID;

    const auto params = object.constFind(kParamsField);
    if (params != object.constEnd()) {
        if (!params->isArray())
            return failure(QStringLiteral("\"params\" must be a list of texts"));
        QStringList texts;
        const QJsonArray array = params->toArray();
        for (const QJsonValue &item : array) {
            if (!item.isString())
                return failure(QStringLiteral("\"params\" must be a list of texts"));
            if (!isStorableText(item.toString())) {
                return failure(QStringLiteral(
                    "\"params\" texts may not hold control characters (but tab and line ends) or broken UTF-16"));
            }
            texts.append(item.toString());
        }
        request.params = texts;
    }
    return CommandParseResult { request, QString() };
}

QByteArray encodeCommandRequest(const CommandRequest &request)
{
    QJsonObject object;
    object.insert(kClassField, fourCharText(request.eventClass));
    object.insert(kIdField, fourCharText(request.eventID));
    if (request.params)
        object.insert(kParamsField, QJsonArray::fromStringList(*request.params));
    return compact(object);
}

QByteArray encodeReply(const AEDescriptor &reply, const QString &reason)
{
    QJsonObject object;
    if (!reply.isNone())
        object.insert(kReplyField, toJson(reply));
    if (!reason.isEmpty())
        object.insert(kReasonField, reason);
    return compact(object);
}

QByteArray encodeError(const QString &message)
{
    QJsonObject object;
    object.insert(kErrorField, message);
    return compact(object);
}

ReplyParseResult parseReplyLine(QByteArrayView line)
{
    ReplyParseResult result;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        result.error = QStringLiteral("the reply is not a JSON object");
        return result;
    }
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        result.kind = ReplyParseResult::Kind::Reply;
        return result;
    }
    if (object.size() == 1 && object.contains(kErrorField) && object.value(kErrorField).isString()) {
        result.kind = ReplyParseResult::Kind::Error;
        result.error = object.value(kErrorField).toString();
        return result;
    }
    const bool hasReason = object.value(kReasonField).isString();
    if (object.size() == (hasReason ? 2 : 1) && object.contains(kReplyField)) {
        if (std::optional<AEDescriptor> reply = fromJson(object.value(kReplyField))) {
            result.kind = ReplyParseResult::Kind::Reply;
            result.reply = std::move(*reply);
            result.reason = object.value(kReasonField).toString();
            return result;
        }
    }
    result.error = QStringLiteral("the reply has an unknown form");
    return result;
}

} // namespace vesk
