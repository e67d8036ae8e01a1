// Fuzz target: one reply line as vesk-ctl reads it. A reply it accepts must survive being written
// and read again unchanged.

#include "scripting/CommandProtocol.h"

#include <cstddef>
#include <cstdint>

using namespace vesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView line(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const ReplyParseResult parsed = parseReplyLine(line);
    if (parsed.kind == ReplyParseResult::Kind::Reply) {
        (void)parsed.reply.flattened();
        const ReplyParseResult again = parseReplyLine(encodeReply(parsed.reply));
        if (again.kind != ReplyParseResult::Kind::Reply || !(again.reply == parsed.reply))
            __builtin_trap();
    }
    return 0;
}
