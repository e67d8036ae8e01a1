#pragma once
// Reading the service's reply: decoding its bytes to text and finding the status word and the
// message in the root element's first two children. Pure functions, callable from any thread;
// hostile input (not XML, empty, deeply nested, very large) yields a value, never a crash.

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace vesk {

struct DecodedReply {
    QString text;
    QByteArray encoding; // the iconv charset used, "UTF-8" when read as UTF-8
};

// The encoding named by the XML declaration at the start of the bytes ("<?xml ... encoding="X"?>"),
// if any.
std::optional<QByteArray> declaredEncoding(const QByteArray &bytes);

// Decodes a reply: a declared encoding other than UTF-8 wins (through iconv) when it converts the
// bytes; otherwise valid UTF-8 is read as UTF-8, and anything else as Mac OS Roman, which maps
// every byte. Always gives text.
DecodedReply decodeReply(const QByteArray &bytes);

// Converts bytes in the given iconv charset to text; nothing when the charset is unknown or the
// bytes are not valid in it.
std::optional<QString> convertFromCharset(const QByteArray &bytes, const char *charset);

// "ERROR" or "Warning", compared without regard to case and without trimming.
bool isFailureStatus(const QString &status);

struct ReplyChild {
    QString node; // the child as XML (shortened for the log)
    QString name; // element name; empty for text, comments and the like
    QString text; // the concatenated text of its descendants (a text or comment node: its own)
};

struct ReplyInterpretation {
    bool parsed = false; // the text parsed as an XML document with a root element
    QString parseError; // the parser's description when it did not
    QByteArray encoding; // how the bytes were decoded
    QString document; // the document as XML (shortened), with ReplyDetail::Log
    int childCount = 0; // children of the root element, whitespace-only text not counted
    std::vector<ReplyChild> children; // the first kMaxDescribedChildren, with ReplyDetail::Log
    std::optional<QString> status; // text of the first child, when there are at least two
    std::optional<QString> message; // text of the second child, likewise

    bool statusSaysFailure() const { return status && isFailureStatus(*status); }
};

enum class ReplyDetail { None, Log };

inline constexpr int kMaxDescribedChildren = 32;
inline constexpr qsizetype kMaxDescribedChars = 8192; // per logged document or node

// Decodes and parses a reply body and reads the status word and the message by position.
ReplyInterpretation interpretReply(const QByteArray &body, ReplyDetail detail = ReplyDetail::None);

} // namespace vesk
