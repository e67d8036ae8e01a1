#pragma once
// Readable descriptions of values for the console log, in the platform's property-list style:
// {\n    key = value;\n} for records and (\n    a,\n    b\n) for lists. Password entries are masked.

#include <QString>
#include <QVariant>

namespace vesk {

QString describe(const QVariant &value, int indent = 0);

} // namespace vesk
