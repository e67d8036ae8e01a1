// Fuzz target: one line of the command channel read as a request. Besides not crashing, the parser
// must answer exactly one of request or error, a request it accepts must survive being written and
// read again unchanged, and its error must reach the client as the same text.

#include "scripting/CommandProtocol.h"

#include <cstddef>
#include <cstdint>

using namespace vesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView line(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const CommandParseResult parsed = parseCommandRequest(line);
    if (parsed.request.has_value() == !parsed.error.isEmpty())
        __builtin_trap();
    if (parsed.request) {
        // Written out, escapes may make the line longer than the limit: only shorter ones must
        // read back.
        const QByteArray written = encodeCommandRequest(*parsed.request);
        if (written.size() > kMaxCommandLineBytes)
            return 0;
        const CommandParseResult again = parseCommandRequest(written);
        if (!again.request || !(*again.request == *parsed.request))
            __builtin_trap();
    } else {
        // The error reply must reach the client as the same text.
        const ReplyParseResult reply = parseReplyLine(encodeError(parsed.error));
        if (reply.kind != ReplyParseResult::Kind::Error || reply.error != parsed.error)
            __builtin_trap();
    }
    return 0;
}
