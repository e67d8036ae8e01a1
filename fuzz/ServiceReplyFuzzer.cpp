// Fuzz target: a reply body from the photo service, decoded and read as the HTTP client reads it.
// Besides not crashing: the log detail never changes the verdict, the status and the message are
// there exactly when the root has two children, and what is kept for the log stays bounded.

#include "http/Reply.h"

#include <cstddef>
#include <cstdint>

using namespace vesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (decodeReply(body).encoding.isEmpty())
        __builtin_trap();

    const ReplyInterpretation logged = interpretReply(body, ReplyDetail::Log);
    const ReplyInterpretation plain = interpretReply(body, ReplyDetail::None);
    if (logged.parsed != plain.parsed || logged.childCount != plain.childCount || logged.status != plain.status
        || logged.message != plain.message || logged.encoding != plain.encoding)
        __builtin_trap();
    if (!logged.parsed && (logged.childCount != 0 || logged.status || logged.parseError.isEmpty()))
        __builtin_trap();
    if ((logged.childCount >= 2) != (logged.status.has_value() && logged.message.has_value()))
        __builtin_trap();
    if (logged.children.size() > static_cast<size_t>(kMaxDescribedChildren)
        || logged.children.size() > static_cast<size_t>(logged.childCount) || !plain.children.empty())
        __builtin_trap();
    // Bounded in UTF-8 bytes, with "..." after a cut.
    if (logged.document.toUtf8().size() > kMaxDescribedChars + 3)
        __builtin_trap();
    for (const ReplyChild &child : logged.children) {
        if (child.node.toUtf8().size() > kMaxDescribedChars + 3)
            __builtin_trap();
    }
    if (logged.statusSaysFailure() != (logged.status && isFailureStatus(*logged.status)))
        __builtin_trap();
    return 0;
}
