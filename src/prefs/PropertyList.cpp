#include "prefs/PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/stat.h>

namespace vesk::plist {

namespace {
constexpr int kMaxDepth = 64;
// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kAppleEpochOffset = 978307200;

struct PlistDeleter {
    void operator()(plist_t node) const
    {
        if (node)
            plist_free(node);
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

QVariant fromNode(plist_t node, int depth)
{
    if (!node || depth > kMaxDepth)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return QVariant(static_cast<qlonglong>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *value = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING)
            plist_get_string_val(node, &value);
        else
            plist_get_key_val(node, &value);
        QString text = QString::fromUtf8(value ? value : "");
        std::free(value);
        return QVariant(text);
    }
    case PLIST_DATA: {
        char *value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        QByteArray bytes(value ? value : "", value ? static_cast<qsizetype>(length) : 0);
        std::free(value);
        return QVariant(bytes);
    }
    case PLIST_DATE: {
        int32_t seconds = 0, micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        const qint64 ms = (static_cast<qint64>(seconds) + kAppleEpochOffset) * 1000 + micros / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            QVariant item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (item.isValid())
                list.append(item);
        }
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return QVariant(map);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            QVariant item = fromNode(value, depth + 1);
            if (item.isValid())
                map.insert(QString::fromUtf8(key), item);
            std::free(key);
        }
        std::free(iter);
        return QVariant(map);
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant(static_cast<qlonglong>(value));
    }
    default:
        return {};
    }
}

plist_t toNode(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Float:
    case QMetaType::Double:
        return plist_new_real(value.toDouble());
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kAppleEpochOffset * 1000;
        const qint64 seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        const qint64 micros = (ms - seconds * 1000) * 1000;
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
            return nullptr;
        return plist_new_date(static_cast<int32_t>(seconds), static_cast<int32_t>(micros));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QVariant &item : value.toList()) {
            if (plist_t child = toNode(item))
                plist_array_append_item(array, child);
        }
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (plist_t child = toNode(it.value()))
                plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    default:
        return nullptr;
    }
}

// libplist ends the process (a failed assertion) when a text that holds a NUL character is read
// from it; an XML list can carry one as a raw byte, a binary list as U+0000. Its XML form shows them.
bool holdsNulCharacter(plist_t root)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const bool found = xml && std::memchr(xml, 0, length) != nullptr;
    plist_to_xml_free(xml);
    return found;
}

// libplist saturates an integer beyond 64 bits, and reads "-99999999999999999999" as 1. Such an
// integer of an XML list is kept as the text it was written as: no number check accepts it, and a
// log line quotes it as it stands in the file.
QByteArray keepOversizedIntegersAsText(QByteArray xml)
{
    static const QByteArray open = "<integer>", close = "</integer>";
    for (qsizetype at = xml.indexOf(open); at >= 0; at = xml.indexOf(open, at + 1)) {
        const qsizetype end = xml.indexOf(close, at + open.size());
        if (end < 0)
            break;
        const QByteArray text = xml.mid(at + open.size(), end - at - open.size()).trimmed();
        const QByteArray digits = text.startsWith('-') || text.startsWith('+') ? text.mid(1) : text;
        bool fits = false;
        text.toLongLong(&fits, 10);
        if (fits || digits.isEmpty()
            || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        xml.replace(at, end + close.size() - at, QByteArray("<string>" + text + "</string>"));
    }
    return xml;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
} // namespace

std::optional<QVariant> parse(const QByteArray &bytes, QString *error)
{
    if (bytes.isEmpty()) {
        setError(error, QStringLiteral("the file is empty"));
        return std::nullopt;
    }
    if (bytes.size() > std::numeric_limits<int32_t>::max()) {
        setError(error, QStringLiteral("the file is too large"));
        return std::nullopt;
    }
    const bool binary = plist_is_binary(bytes.constData(), static_cast<uint32_t>(bytes.size())) != 0;
    if (!binary && !bytes.contains("<plist")) {
        setError(error, QStringLiteral("not a property list"));
        return std::nullopt;
    }
    const QByteArray input = binary || !bytes.contains("<integer>") ? bytes : keepOversizedIntegersAsText(bytes);
    plist_t root = nullptr;
    plist_from_memory(input.constData(), static_cast<uint32_t>(input.size()), &root);
    PlistPtr holder(root);
    if (!root) {
        setError(error,
            binary ? QStringLiteral("damaged binary property list") : QStringLiteral("malformed XML property list"));
        return std::nullopt;
    }
    if (holdsNulCharacter(root)) {
        setError(error, QStringLiteral("a text of the property list holds a NUL character"));
        return std::nullopt;
    }
    QVariant value = fromNode(root, 0);
    if (!value.isValid()) {
        setError(error, QStringLiteral("unsupported property list content"));
        return std::nullopt;
    }
    return value;
}

std::optional<QVariant> readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, file.errorString());
        return std::nullopt;
    }
    // Preference files and annotations are small; refuse absurd sizes instead of reading them whole.
    constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;
    if (file.size() > kMaxFileSize) {
        setError(error, QStringLiteral("the file is too large"));
        return std::nullopt;
    }
    return parse(file.readAll(), error);
}

QByteArray toXml(const QVariant &value)
{
    PlistPtr root(toNode(value));
    if (!root)
        root.reset(plist_new_dict());
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    QByteArray bytes(xml ? xml : "", xml ? static_cast<qsizetype>(length) : 0);
    plist_to_xml_free(xml);
    return bytes;
}

bool writeXmlFileAtomically(const QString &path, const QVariant &value, unsigned mode, QString *error)
{
    const QByteArray bytes = toXml(value);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, file.errorString());
        return false;
    }
    // Restrict the temporary file before anything is written into it.
    ::fchmod(file.handle(), static_cast<mode_t>(mode));
    if (file.write(bytes) != bytes.size()) {
        setError(error, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, file.errorString());
        return false;
    }
    return true;
}

} // namespace vesk::plist
