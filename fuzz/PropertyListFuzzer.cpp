// Fuzz target: a property list (XML or binary), as preference files, the predecessor's preferences,
// the strings tables and the picture annotation are read. Besides not crashing: a refusal says why,
// and whatever is accepted can be written as XML and read back as the same value (imported
// preferences are written to the preference file, which must still open at the next launch).

#include "prefs/PropertyList.h"

#include <cstddef>
#include <cstdint>

using namespace vesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<QVariant> value = plist::parse(bytes, &error);
    if (!value) {
        if (error.isEmpty())
            __builtin_trap();
        return 0;
    }
    const QByteArray written = plist::toXml(*value);
    const std::optional<QVariant> again = plist::parse(written);
    if (!again || plist::toXml(*again) != written)
        __builtin_trap();
    return 0;
}
