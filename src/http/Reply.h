#pragma once
// Reading the service's reply: decoding its bytes to text and finding the status word and the
// message in the root element's first two children. Pure functions, callable from any thread;
// hostile input (not XML, empty, deeply nested, very large) yields a value, never a crash.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariantMap>

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

// What an answer says before its status word is read.
enum class AnswerKind {
    Taken, // the service's own answer: its status code and words decide
    Away, // 429, 502, 503, 504, or a 200 that is a web page: the service is not there now
    Misdirected, // 401, 403, 404, 405, 407 or a redirect that was not followed: the address or the network is wrong
};

struct AnswerReading {
    AnswerKind kind = AnswerKind::Taken;
    QString line; // for the operator, when not Taken
    bool webPage = false;
    std::optional<double> retryAfterSeconds; // the answer's Retry-After, at most kMaxRetryAfterSeconds
};

inline constexpr double kMaxRetryAfterSeconds = 300;

// A header's value, its name compared without regard to case; empty when absent.
QString headerValue(const QVariantMap &headers, const char *name);
// A body that is a web page (HTML), by its content type or its first tag.
bool isWebPage(const QString &contentType, const QByteArray &body);
// Retry-After in seconds (a number of seconds or an HTTP date, against now), capped; none when absent or unreadable.
std::optional<double> retryAfterSeconds(const QString &value, const QDateTime &now);
// Reads an answer (status code > 0) of the upload to endpoint; redirectUrl: the Location not followed.
AnswerReading readAnswer(long statusCode, const QVariantMap &headers, const QByteArray &body,
    const QByteArray &redirectUrl, const QString &endpoint);
// Whether the answer to a check of the endpoint still says the service is away: a connection that
// cannot be made, 429, 502, 503, 504, a redirect to another host, and, when the service went away
// behind a web page, a web page.
bool checkSaysAway(bool connectionFailed, long statusCode, const QVariantMap &headers, const QByteArray &redirectUrl,
    const QString &endpoint, bool webPageMeansAway);

} // namespace vesk
