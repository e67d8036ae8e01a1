#pragma once
// Property lists (XML or binary) to and from QVariant: bool, qlonglong, double, QString,
// QByteArray, QDateTime, QVariantList and QVariantMap.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace vesk::plist {

// Parses an XML or binary property list. None (with a reason in *error) for anything else.
// Structures nested deeper than a sane limit are cut off rather than recursed into.
std::optional<QVariant> parse(const QByteArray &bytes, QString *error = nullptr);

// Reads a whole file and parses it; none when the file cannot be read or parsed.
std::optional<QVariant> readFile(const QString &path, QString *error = nullptr);

// The value as an XML property list document. Values of other types are left out.
QByteArray toXml(const QVariant &value);

// Writes the value as an XML property list through a temporary file that replaces the target, so
// a reader never sees half a file. The new file gets the given permissions (e.g. 0600).
bool writeXmlFileAtomically(const QString &path, const QVariant &value, unsigned mode, QString *error = nullptr);

} // namespace vesk::plist
