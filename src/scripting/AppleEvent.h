#pragma once
// The events of the command channel as plain values: a four-character class and ID, the event's
// direct object (a list of texts), and the reply's direct object (nothing, a text, or a list that
// may nest). Built with QtCore only, so that vesk-ctl can share it.

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace vesk {

// A four-character code held as a 32-bit number, first character in the high byte, as the
// platform's OSType is.
using FourCharCode = quint32;

constexpr FourCharCode fourCharCode(const char (&code)[5])
{
    return (FourCharCode(static_cast<unsigned char>(code[0])) << 24)
        | (FourCharCode(static_cast<unsigned char>(code[1])) << 16)
        | (FourCharCode(static_cast<unsigned char>(code[2])) << 8) | FourCharCode(static_cast<unsigned char>(code[3]));
}

// The four characters, first character first.
QString fourCharText(FourCharCode code);
// The four bytes as the number lies in memory (reversed on a little-endian machine).
QByteArray fourCharBytesInMemory(FourCharCode code);
// The code of a text of exactly four printable ASCII characters; none for anything else.
std::optional<FourCharCode> fourCharCodeFromText(const QString &text);

inline constexpr FourCharCode kVeskEventClass = fourCharCode("vesk");
inline constexpr FourCharCode kVeskSynchronizeNow = fourCharCode("upnw");
inline constexpr FourCharCode kVeskPause = fourCharCode("paus");
inline constexpr FourCharCode kVeskResume = fourCharCode("resm");
inline constexpr FourCharCode kVeskRetryNow = fourCharCode("rtry");
inline constexpr FourCharCode kVeskPreferenceCommand = fourCharCode("1234");
inline constexpr FourCharCode kCoreEventClass = fourCharCode("aevt");
inline constexpr FourCharCode kAEQuitApplication = fourCharCode("quit");
inline constexpr FourCharCode kAEOpenDocuments = fourCharCode("odoc");
inline constexpr FourCharCode kAEAnswer = fourCharCode("ansr");
inline constexpr FourCharCode kAEMiscStandards = fourCharCode("misc");
inline constexpr FourCharCode kAEActivate = fourCharCode("actv");
// The status request and the event stream ('vesk-ctl status', 'vesk-ctl events').
inline constexpr FourCharCode kVeskStatus = fourCharCode("stat");
inline constexpr FourCharCode kVeskEvents = fourCharCode("evts");
// The figures in the Prometheus text format ('vesk-ctl metrics'): one text reply.
inline constexpr FourCharCode kVeskMetrics = fourCharCode("metr");
// Both folders at once ('vesk-ctl folders SOURCE MIRROR').
inline constexpr FourCharCode kVeskFolders = fourCharCode("fldr");

// A reply value: nothing, a text, or a list of values.
class AEDescriptor {
public:
    enum class Kind { None, Text, List };

    AEDescriptor() = default;
    static AEDescriptor text(const QString &text);
    static AEDescriptor list(std::vector<AEDescriptor> items = {});

    Kind kind() const { return fKind; }
    bool isNone() const { return fKind == Kind::None; }
    bool isText() const { return fKind == Kind::Text; }
    bool isList() const { return fKind == Kind::List; }
    const QString &stringValue() const { return fText; }
    const std::vector<AEDescriptor> &items() const { return fItems; }
    void append(AEDescriptor item) { fItems.push_back(std::move(item)); }

    // Every text of the value, depth first (a nested list contributes its texts in place).
    QStringList flattened() const;
    // For the console: 'utxt'("a") for a text, [ ... ] for a list, 'null'() for nothing.
    QString description() const;

    friend bool operator==(const AEDescriptor &a, const AEDescriptor &b)
    {
        return a.fKind == b.fKind && a.fText == b.fText && a.fItems == b.fItems;
    }

private:
    Kind fKind = Kind::None;
    QString fText;
    std::vector<AEDescriptor> fItems;
};

// An incoming event. The direct object is absent when the sender gave none.
struct AppleEvent {
    FourCharCode eventClass = 0;
    FourCharCode eventID = 0;
    std::optional<QStringList> directObject;
};

// The reply event; the handler puts its answer into the direct object, or says in the error text
// why the request could not be served (the channel then answers with an error).
struct AppleEventReply {
    FourCharCode eventClass = kCoreEventClass;
    FourCharCode eventID = kAEAnswer;
    AEDescriptor directObject;
    QString reason; // why the answer is a refusal, for the asker; the answer's words stay as they are
    QString errorString;
};

} // namespace vesk
