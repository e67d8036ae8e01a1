#include "http/Reply.h"

#include <QStringDecoder>
#include <QUrl>

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iconv.h>

namespace vesk {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isUtf8Name(const QByteArray &name)
{
    const QByteArray lower = name.toLower();
    return lower == "utf-8" || lower == "utf8";
}

// Names that replies use for Mac OS Roman but glibc does not know.
QByteArray iconvCharset(const QByteArray &declared)
{
    const QByteArray lower = declared.toLower();
    if (lower == "x-mac-roman" || lower == "macroman" || lower == "mac-roman" || lower == "macos-roman"
        || lower == "x-mac")
        return QByteArrayLiteral("MACINTOSH");
    return declared;
}

class BoundedWriter : public pugi::xml_writer {
public:
    explicit BoundedWriter(qsizetype limit)
        : fLimit(limit)
    { }
    void write(const void *data, size_t size) override
    {
        const qsizetype room = fLimit - fBytes.size();
        if (room <= 0 || static_cast<size_t>(room) < size)
            fCut = true;
        if (room > 0)
            fBytes.append(static_cast<const char *>(data), std::min<qsizetype>(room, static_cast<qsizetype>(size)));
    }
    QString text() const
    {
        QString result = QString::fromUtf8(fBytes);
        if (fCut)
            result += QStringLiteral("...");
        return result;
    }

private:
    qsizetype fLimit;
    QByteArray fBytes;
    bool fCut = false;
};

QString describeNode(const pugi::xml_node &node)
{
    BoundedWriter writer(kMaxDescribedChars);
    node.print(writer, "", pugi::format_raw);
    return writer.text();
}

// The text of all text and CDATA nodes below the node, in document order. Iterative, so that a
// deeply nested reply cannot exhaust the stack.
QString descendantText(const pugi::xml_node &node)
{
    if (node.type() != pugi::node_element && node.type() != pugi::node_document)
        return QString::fromUtf8(node.value());
    QByteArray text;
    pugi::xml_node current = node.first_child();
    while (current) {
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata)
            text += current.value();
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != node && !current.next_sibling())
            current = current.parent();
        if (current == node)
            break;
        current = current.next_sibling();
    }
    return QString::fromUtf8(text);
}

} // namespace

std::optional<QByteArray> declaredEncoding(const QByteArray &bytes)
{
    qsizetype pos = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (pos < bytes.size() && isSpace(bytes.at(pos)))
        ++pos;
    if (bytes.mid(pos, 5) != "<?xml" || pos + 5 >= bytes.size() || !isSpace(bytes.at(pos + 5)))
        return std::nullopt;
    const qsizetype end = bytes.indexOf("?>", pos);
    if (end < 0 || end - pos > 1024)
        return std::nullopt;
    const QByteArray declaration = bytes.mid(pos + 5, end - pos - 5);
    qsizetype at = declaration.indexOf("encoding");
    if (at < 0)
        return std::nullopt;
    at += 8;
    while (at < declaration.size() && isSpace(declaration.at(at)))
        ++at;
    if (at >= declaration.size() || declaration.at(at) != '=')
        return std::nullopt;
    ++at;
    while (at < declaration.size() && isSpace(declaration.at(at)))
        ++at;
    if (at >= declaration.size() || (declaration.at(at) != '"' && declaration.at(at) != '\''))
        return std::nullopt;
    const char quote = declaration.at(at);
    const qsizetype close = declaration.indexOf(quote, at + 1);
    if (close < 0 || close == at + 1)
        return std::nullopt;
    // A blank name would make iconv use the locale's character set.
    const QByteArray name = declaration.mid(at + 1, close - at - 1).trimmed();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

std::optional<QString> convertFromCharset(const QByteArray &bytes, const char *charset)
{
    iconv_t cd = ::iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) // NOLINT(performance-no-int-to-ptr): iconv's failure value
        return std::nullopt;
    QByteArray out;
    out.reserve(bytes.size() + bytes.size() / 2 + 16);
    std::array<char, 16384> chunk {};
    char *in = const_cast<char *>(bytes.constData()); // iconv's interface is not const-correct
    size_t inLeft = static_cast<size_t>(bytes.size());
    bool ok = true;
    for (bool flushing = false;;) {
        char *outPtr = chunk.data();
        size_t outLeft = chunk.size();
        const size_t rc = flushing ? ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                   : ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        out.append(chunk.data(), static_cast<qsizetype>(chunk.size() - outLeft));
        if (rc == static_cast<size_t>(-1)) {
            if (error == E2BIG)
                continue;
            ok = false; // EILSEQ or a sequence cut off at the end
            break;
        }
        if (flushing)
            break;
        flushing = true;
    }
    ::iconv_close(cd);
    if (!ok)
        return std::nullopt;
    return QString::fromUtf8(out);
}

DecodedReply decodeReply(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        if (auto text = convertFromCharset(bytes, "UTF-16"))
            return { std::move(*text), QByteArrayLiteral("UTF-16") };
    }
    if (const auto declared = declaredEncoding(bytes); declared && !isUtf8Name(*declared)) {
        const QByteArray charset = iconvCharset(*declared);
        if (auto text = convertFromCharset(bytes, charset.constData()))
            return { std::move(*text), charset };
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return { std::move(text), QByteArrayLiteral("UTF-8") };
    if (auto roman = convertFromCharset(bytes, "MACINTOSH"))
        return { std::move(*roman), QByteArrayLiteral("MACINTOSH") };
    return { QString::fromLatin1(bytes), QByteArrayLiteral("ISO-8859-1") };
}

bool isFailureStatus(const QString &status)
{
    return status.compare(QLatin1String("ERROR"), Qt::CaseInsensitive) == 0
        || status.compare(QLatin1String("Warning"), Qt::CaseInsensitive) == 0;
}

ReplyInterpretation interpretReply(const QByteArray &body, ReplyDetail detail)
{
    ReplyInterpretation result;
    DecodedReply decoded = decodeReply(body);
    result.encoding = decoded.encoding;
    const QByteArray utf8 = decoded.text.toUtf8();
    decoded.text.clear();

    pugi::xml_document doc;
    const unsigned options = pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype;
    const pugi::xml_parse_result parsed
        = doc.load_buffer(utf8.constData(), static_cast<size_t>(utf8.size()), options, pugi::encoding_utf8);
    if (!parsed) {
        result.parseError = QStringLiteral("%1 at offset %2")
                                .arg(QString::fromUtf8(parsed.description()))
                                .arg(static_cast<qlonglong>(parsed.offset));
        return result;
    }
    const pugi::xml_node root = doc.document_element();
    if (!root) {
        result.parseError = QStringLiteral("No document element found");
        return result;
    }
    result.parsed = true;
    if (detail == ReplyDetail::Log) {
        BoundedWriter writer(kMaxDescribedChars);
        doc.save(writer, "", pugi::format_raw);
        result.document = writer.text();
    }

    int index = 0;
    for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling(), ++index) {
        const bool wantText = index < 2 || (detail == ReplyDetail::Log && index < kMaxDescribedChildren);
        if (!wantText)
            continue;
        ReplyChild entry;
        entry.text = descendantText(child);
        if (detail == ReplyDetail::Log) {
            entry.node = describeNode(child);
            entry.name = QString::fromUtf8(child.name());
        }
        result.children.push_back(std::move(entry));
    }
    result.childCount = index;
    if (result.childCount >= 2) {
        result.status = result.children.at(0).text;
        result.message = result.children.at(1).text;
    }
    if (detail == ReplyDetail::None)
        result.children.clear();
    return result;
}

QString headerValue(const QVariantMap &headers, const char *name)
{
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.key().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return it.value().toString();
    }
    return {};
}

namespace {

QString statusText(long code)
{
    static const std::pair<long, const char *> reasons[]
        = { { 401, "Unauthorized" }, { 403, "Forbidden" }, { 404, "Not Found" }, { 405, "Method Not Allowed" },
              { 407, "Proxy Authentication Required" }, { 429, "Too Many Requests" }, { 502, "Bad Gateway" },
              { 503, "Service Unavailable" }, { 504, "Gateway Timeout" } };
    for (const auto &[number, reason] : reasons) {
        if (number == code)
            return QStringLiteral("%1 %2").arg(code).arg(QLatin1String(reason));
    }
    return QString::number(code);
}

bool isGatewayAnswer(long code)
{
    return code == 429 || code == 502 || code == 503 || code == 504;
}

bool isRedirect(long code)
{
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

} // namespace

bool isWebPage(const QString &contentType, const QByteArray &body)
{
    const QString type = contentType.section(QLatin1Char(';'), 0, 0).trimmed();
    if (type.compare(QLatin1String("text/html"), Qt::CaseInsensitive) == 0
        || type.compare(QLatin1String("application/xhtml+xml"), Qt::CaseInsensitive) == 0)
        return true;
    QByteArray start = body.left(512);
    if (start.startsWith("\xEF\xBB\xBF"))
        start.remove(0, 3);
    start = start.trimmed().toLower();
    return start.startsWith("<!doctype html") || start.startsWith("<html");
}

std::optional<double> retryAfterSeconds(const QString &value, const QDateTime &now)
{
    const QString text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    double seconds = text.toDouble(&isNumber);
    if (!isNumber) {
        // An HTTP date ends in "GMT", which Qt's reader wants as an offset.
        QString date = text;
        if (date.endsWith(QLatin1String(" GMT")))
            date = date.chopped(4) + QStringLiteral(" +0000");
        const QDateTime when = QDateTime::fromString(date, Qt::RFC2822Date);
        if (!when.isValid())
            return std::nullopt;
        seconds = double(now.msecsTo(when)) / 1000.0;
    }
    return std::clamp(seconds, 0.0, kMaxRetryAfterSeconds);
}

AnswerReading readAnswer(long statusCode, const QVariantMap &headers, const QByteArray &body,
    const QByteArray &redirectUrl, const QString &endpoint)
{
    AnswerReading reading;
    if (isGatewayAnswer(statusCode)) {
        reading.kind = AnswerKind::Away;
        reading.line
            = QStringLiteral("The service answered %1: it is away, the pictures wait").arg(statusText(statusCode));
        reading.retryAfterSeconds
            = retryAfterSeconds(headerValue(headers, "Retry-After"), QDateTime::currentDateTimeUtc());
    } else if (statusCode == 200 && isWebPage(headerValue(headers, "Content-Type"), body)) {
        reading.kind = AnswerKind::Away;
        reading.webPage = true;
        reading.line = QStringLiteral(
            "The network answers with a web page instead of the service's reply: a hotspot login? The pictures wait");
    } else if (statusCode == 401 || statusCode == 403 || statusCode == 404 || statusCode == 405 || statusCode == 407) {
        reading.kind = AnswerKind::Misdirected;
        reading.line = QStringLiteral("The service address answered %1: check the address %2")
                           .arg(statusText(statusCode), endpoint);
    } else if (isRedirect(statusCode)) {
        reading.kind = AnswerKind::Misdirected;
        const QString host = QUrl::fromEncoded(redirectUrl).host();
        reading.line = QStringLiteral("The network answers with a redirect to %1: a hotspot login?")
                           .arg(host.isEmpty() ? QStringLiteral("no address") : host);
    }
    return reading;
}

bool checkSaysAway(bool connectionFailed, long statusCode, const QVariantMap &headers, const QByteArray &redirectUrl,
    const QString &endpoint, bool webPageMeansAway)
{
    if (connectionFailed || isGatewayAnswer(statusCode))
        return true;
    if (isRedirect(statusCode))
        return QUrl::fromEncoded(redirectUrl).host().compare(QUrl(endpoint).host(), Qt::CaseInsensitive) != 0;
    return webPageMeansAway && statusCode == 200 && isWebPage(headerValue(headers, "Content-Type"), {});
}

} // namespace vesk
