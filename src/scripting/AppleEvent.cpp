#include "scripting/AppleEvent.h"

#include <cstring>

namespace vesk {

QString fourCharText(FourCharCode code)
{
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text += QLatin1Char(static_cast<char>((code >> shift) & 0xFF));
    return text;
}

QByteArray fourCharBytesInMemory(FourCharCode code)
{
    char bytes[sizeof code];
    std::memcpy(bytes, &code, sizeof code);
    return QByteArray(bytes, sizeof bytes);
}

std::optional<FourCharCode> fourCharCodeFromText(const QString &text)
{
    if (text.size() != 4)
        return std::nullopt;
    FourCharCode code = 0;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return std::nullopt;
        code = (code << 8) | c.unicode();
    }
    return code;
}

AEDescriptor AEDescriptor::text(const QString &text)
{
    AEDescriptor d;
    d.fKind = Kind::Text;
    d.fText = text;
    return d;
}

AEDescriptor AEDescriptor::list(std::vector<AEDescriptor> items)
{
    AEDescriptor d;
    d.fKind = Kind::List;
    d.fItems = std::move(items);
    return d;
}

QStringList AEDescriptor::flattened() const
{
    QStringList texts;
    if (fKind == Kind::Text)
        texts.append(fText);
    for (const AEDescriptor &item : fItems)
        texts += item.flattened();
    return texts;
}

QString AEDescriptor::description() const
{
    switch (fKind) {
    case Kind::None:
        return QStringLiteral("'null'()");
    case Kind::Text:
        return QStringLiteral("'utxt'(\"%1\")").arg(fText);
    case Kind::List:
        break;
    }
    QStringList parts;
    for (const AEDescriptor &item : fItems)
        parts.append(item.description());
    return parts.isEmpty() ? QStringLiteral("[ ]") : QStringLiteral("[ %1 ]").arg(parts.join(QStringLiteral(", ")));
}

} // namespace vesk
