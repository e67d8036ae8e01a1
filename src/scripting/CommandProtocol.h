#pragma once
// The wire format of the command channel: one JSON request per line, one JSON reply per line.
//   {"class":"vesk","id":"1234","params":["getValue","prefSecondsBetweenScans"]}
//   {"reply":["COMMAND SUCCESS",["getValue","prefSecondsBetweenScans","45.00"]]}   {}   {"error":"..."}
// Built with QtCore only, so that vesk-ctl can share it. Every function takes hostile input.

#include "scripting/AppleEvent.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>

namespace vesk {

// The longest request line accepted, without its line end.
inline constexpr qsizetype kMaxCommandLineBytes = 64 * 1024;

struct CommandRequest {
    FourCharCode eventClass = 0;
    FourCharCode eventID = 0;
    std::optional<QStringList> params; // absent when the request has no "params"

    AppleEvent toAppleEvent() const { return AppleEvent { eventClass, eventID, params }; }
    friend bool operator==(const CommandRequest &, const CommandRequest &) = default;
};

// One line (without its line end) as a request, or the reason it is not one.
struct CommandParseResult {
    std::optional<CommandRequest> request;
    QString error;
};
CommandParseResult parseCommandRequest(QByteArrayView line);

// A request as one line of JSON, without the line end.
QByteArray encodeCommandRequest(const CommandRequest &request);

// Reply lines, without the line end: {"reply":...} for a value, {} for none, {"error":...}.
// A refusal may give its reason beside the reply: {"reply":"COMMAND FAILED","reason":"..."}.
QByteArray encodeReply(const AEDescriptor &reply, const QString &reason = {});
QByteArray encodeError(const QString &message);

// A reply line as the client reads it.
struct ReplyParseResult {
    enum class Kind { Reply, Error, Invalid };
    Kind kind = Kind::Invalid;
    AEDescriptor reply; // Kind::Reply; none for {}
    QString reason; // Kind::Reply: why a refusal refused, when the reply says
    QString error; // Kind::Error: the server's message; Kind::Invalid: why the line was not understood
};
ReplyParseResult parseReplyLine(QByteArrayView line);

} // namespace vesk
