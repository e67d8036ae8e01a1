#include "PhotoService.h"

#include "MultipartParser.h"
#include "ServiceLog.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocale>
#include <QUrl>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace vesk::service {

namespace {

constexpr size_t kBodyChunk = 64 * 1024;
constexpr size_t kMaxFieldBytes = 8 * 1024 * 1024; // all text fields of one upload together
constexpr qsizetype kMaxListed = 1000;
constexpr std::chrono::milliseconds kTrickleGap { 500 }; // between the bytes of a "trickle" reply
const char kXmlType[] = "text/xml; charset=utf-8";
const char kTextType[] = "text/plain; charset=utf-8";

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Escapes markup and replaces the characters that XML 1.0 cannot carry, so the reply always parses.
QString xmlEscaped(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '&')
            result += QStringLiteral("&amp;");
        else if (u == '<')
            result += QStringLiteral("&lt;");
        else if (u == '>')
            result += QStringLiteral("&gt;");
        else if (u == '"')
            result += QStringLiteral("&quot;");
        else if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xfffe || u == 0xffff)
            result += QLatin1Char('?');
        else
            result += c;
    }
    return result;
}

QString htmlEscaped(const QString &text)
{
    return xmlEscaped(text);
}

QString isoTime(qint64 epochMs)
{
    return QDateTime::fromMSecsSinceEpoch(epochMs, Qt::UTC).toString(Qt::ISODateWithMs);
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

const char *statusFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
    case Outcome::Slow:
    case Outcome::Trickle:
        return "OK";
    case Outcome::Warning:
        return "Warning";
    case Outcome::Error:
        return "ERROR";
    case Outcome::Http500:
    case Outcome::Drop:
    case Outcome::Hang:
    case Outcome::Redirect307:
    case Outcome::Redirect302:
    case Outcome::Http404:
    case Outcome::Http429:
    case Outcome::Http502:
    case Outcome::Http503:
    case Outcome::Html200:
        break;
    }
    return nullptr;
}

// The status of the outcomes that answer with a bare HTTP status; 0 for the others.
int httpStatusFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Http404:
        return 404;
    case Outcome::Http429:
        return 429;
    case Outcome::Http502:
        return 502;
    case Outcome::Http503:
        return 503;
    default:
        return 0;
    }
}

// What arrives while the body is read.
struct Reception {
    enum class Part { None, Field, Picture, Ignored };

    std::map<std::string, std::string> fields;
    Part part = Part::None;
    std::string fieldName;
    std::string fieldValue;
    size_t fieldBytes = 0;
    bool sawPicture = false;
    std::string fileName; // as sent
    std::unique_ptr<IncomingFile> picture;
    QString storeError;
    bool tooLarge = false;

    std::string field(const char *name) const
    {
        const auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second;
    }
};

} // namespace

std::string replyXml(const char *status, const QString &message)
{
    const QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><status>")
        + QLatin1String(status) + QStringLiteral("</status><message>") + xmlEscaped(message)
        + QStringLiteral("</message></response>");
    return xml.toStdString();
}

PhotoService::PhotoService(const ServiceOptions &options, UploadStore &store)
    : fOptions(options)
    , fStore(store)
{ }

void PhotoService::handle(const HttpRequest &request, HttpExchange &exchange)
{
    const QString where = fromUtf8(request.peer) + QLatin1Char(' ') + fromUtf8(request.method) + QLatin1Char(' ')
        + fromUtf8(request.target);
    if (request.path == "/index.php" || request.path == kRedirectedPath) {
        if (request.method == "POST")
            return upload(request, exchange, request.path == kRedirectedPath);
        if (request.method == "HEAD") { // an uploader asking whether the service is there
            exchange.respond(200, kTextType, {});
            logLine(where + QStringLiteral(" -> 200"));
            return;
        }
        exchange.respond(405, kTextType, "Uploads are POSTed to /index.php\n", { { "Allow", "POST, HEAD" } });
        logLine(where + QStringLiteral(" -> 405"));
        return;
    }
    if (request.method == "GET" && request.path == "/") {
        listing(request, exchange);
        logLine(where + QStringLiteral(" -> 200"));
        return;
    }
    if (request.method == "GET" && request.path.rfind("/files/", 0) == 0) {
        storedFile(request, exchange);
        return;
    }
    exchange.respond(404, kTextType, "Not Found\n");
    logLine(where + QStringLiteral(" -> 404"));
}

void PhotoService::upload(const HttpRequest &request, HttpExchange &exchange, bool redirected)
{
    const QString where = fromUtf8(request.peer) + QStringLiteral(" POST ") + fromUtf8(request.target);
    const std::string contentType = request.header("content-type");
    const auto boundary = headerParameter(contentType, "boundary");
    if (headerMainValue(contentType) != "multipart/form-data" || !boundary || boundary->empty()) {
        exchange.respond(400, kTextType, "Expected a multipart/form-data body with a boundary\n");
        logLine(where + QStringLiteral(" -> 400: not a multipart/form-data body"));
        return;
    }

    Reception in;
    MultipartParser parser(*boundary);
    parser.onPartBegin = [&](const PartHeader &part) {
        // The first file part is the picture; the uploader names it imgfile.
        if (!in.sawPicture && (part.hasFilename || part.name == "imgfile")) {
            in.picture = fStore.createIncoming(in.storeError);
            if (!in.picture)
                return false;
            in.sawPicture = true;
            in.fileName = part.filename;
            in.part = Reception::Part::Picture;
        } else if (part.hasFilename || part.name == "imgfile") {
            in.part = Reception::Part::Ignored;
        } else {
            in.part = Reception::Part::Field;
            in.fieldName = part.name;
            in.fieldValue.clear();
        }
        return true;
    };
    parser.onPartData = [&](const char *data, size_t size) {
        switch (in.part) {
        case Reception::Part::Picture:
            if (in.picture->write(data, size))
                return true;
            in.storeError = QStringLiteral("cannot write ") + in.picture->path();
            return false;
        case Reception::Part::Field:
            in.fieldBytes += size;
            if (in.fieldBytes > kMaxFieldBytes) {
                in.tooLarge = true;
                return false;
            }
            in.fieldValue.append(data, size);
            return true;
        case Reception::Part::Ignored:
        case Reception::Part::None:
            break;
        }
        return true;
    };
    parser.onPartEnd = [&] {
        if (in.part == Reception::Part::Field)
            in.fields[in.fieldName] = std::move(in.fieldValue);
        in.part = Reception::Part::None;
        return true;
    };

    std::vector<char> buffer(kBodyChunk);
    qint64 bodyBytes = 0;
    for (;;) {
        const ssize_t n = exchange.readBody(buffer.data(), buffer.size());
        if (n < 0) {
            // The client went away or fell silent: whatever arrived is thrown away, and nothing is logged.
            in.picture.reset();
            exchange.drop();
            logLine(where + QStringLiteral(" abandoned: the body broke off after ") + QString::number(bodyBytes)
                + QStringLiteral(" bytes; nothing stored"));
            return;
        }
        if (n == 0)
            break;
        bodyBytes += n;
        if (!parser.feed(buffer.data(), size_t(n)))
            break;
    }
    if (in.picture && !parser.hasFailed() && !in.picture->finish())
        in.storeError = QStringLiteral("cannot write ") + in.picture->path();
    const bool received = in.storeError.isEmpty() && !in.tooLarge && parser.isComplete();
    if (!received)
        in.picture.reset(); // gone before the answer, so a client that sees it finds no trace of the body
    if (!in.storeError.isEmpty()) {
        exchange.respond(500, kTextType, "The service could not write the picture\n");
        logLine(where + QStringLiteral(" -> 500: ") + in.storeError);
        return;
    }
    if (in.tooLarge) {
        exchange.respond(413, kTextType, "Form fields too large\n");
        logLine(where + QStringLiteral(" -> 413: form fields too large"));
        return;
    }
    if (!parser.isComplete()) {
        const QString why = parser.hasFailed() ? QString::fromStdString(parser.error())
                                               : QStringLiteral("the closing boundary is missing");
        exchange.respond(400, kTextType, "Malformed multipart body: " + why.toStdString() + '\n');
        logLine(where + QStringLiteral(" -> 400: malformed multipart body: ") + why);
        return;
    }
    const qint64 completedMs = nowMs();
    if (!in.sawPicture) {
        exchange.respond(200, kXmlType, replyXml("ERROR", QStringLiteral("No picture in the request")));
        logLine(where + QStringLiteral(" -> ERROR: no picture in the request"));
        return;
    }

    const QString originalName = fromUtf8(in.fileName);
    const QString eventValue = fromUtf8(in.field("event"));
    const Rule *rule = fOptions.ruleFor(in.fileName);
    const bool redirectRule = rule && (rule->outcome == Outcome::Redirect307 || rule->outcome == Outcome::Redirect302);
    if (redirected && redirectRule)
        rule = nullptr; // sent on by a redirect rule: taken here like any upload
    if (rule && !ruleApplies(*rule, in.fileName))
        rule = nullptr;
    Outcome outcome = rule ? rule->outcome : Outcome::Ok;
    QString message;
    if (!rule && !fOptions.acceptsLogin(in.field("username"), in.field("password"))) {
        outcome = Outcome::Error;
        message = QStringLiteral("Unknown login or wrong password");
    }

    const QString eventFolder = safeEventName(eventValue);
    QString stored;
    if (message.isEmpty() && (outcome == Outcome::Ok || outcome == Outcome::Slow || outcome == Outcome::Trickle)) {
        QString error;
        stored = fStore.commit(*in.picture, eventFolder, safeFileName(originalName), error);
        if (stored.isEmpty()) {
            logLine(where + QStringLiteral(" could not store the picture: ") + error);
            outcome = Outcome::Error;
            message = QStringLiteral("The service could not store ") + originalName;
        }
    }
    const qint64 size = in.picture->size();
    const QString sha256 = in.picture->sha256Hex();
    in.picture.reset(); // a stored picture has moved; any other goes now, before the answer

    if (message.isEmpty()) {
        switch (outcome) {
        case Outcome::Ok:
        case Outcome::Slow:
        case Outcome::Trickle:
            message = QStringLiteral("Received ") + originalName + QStringLiteral(" for event ") + eventValue;
            break;
        case Outcome::Warning:
            message = QStringLiteral("Received ") + originalName + QStringLiteral(" with a warning; it was not kept");
            break;
        case Outcome::Error:
            message = QStringLiteral("The service refused ") + originalName;
            break;
        case Outcome::Http500:
            message = QStringLiteral("Internal Server Error");
            break;
        case Outcome::Drop:
            message = QStringLiteral("Connection closed without a reply");
            break;
        case Outcome::Hang:
            message = QStringLiteral("No reply until the service stops");
            break;
        case Outcome::Redirect307:
        case Outcome::Redirect302:
            message = QStringLiteral("Sent on to ") + QLatin1String(kRedirectedPath);
            break;
        case Outcome::Http404:
        case Outcome::Http429:
        case Outcome::Http502:
        case Outcome::Http503:
            message = QStringLiteral("HTTP status %1 by rule").arg(httpStatusFor(outcome));
            break;
        case Outcome::Html200:
            message = QStringLiteral("A web page instead of the service's reply");
            break;
        }
    }

    QJsonObject fields;
    for (const auto &[name, value] : in.fields)
        fields.insert(fromUtf8(name), fromUtf8(value));
    const char *status = statusFor(outcome);
    QJsonObject record {
        { QStringLiteral("time"), isoTime(completedMs) },
        { QStringLiteral("receivedMs"), qint64(request.receivedMs) },
        { QStringLiteral("completedMs"), completedMs },
        { QStringLiteral("fields"), fields },
        { QStringLiteral("filename"), originalName },
        { QStringLiteral("event"), eventFolder },
        { QStringLiteral("stored"), stored.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(stored) },
        { QStringLiteral("size"), size },
        { QStringLiteral("sha256"), sha256 },
        { QStringLiteral("outcome"), QLatin1String(outcomeName(outcome)) },
        { QStringLiteral("status"), status ? QJsonValue(QLatin1String(status)) : QJsonValue(QJsonValue::Null) },
        { QStringLiteral("message"), message },
        { QStringLiteral("peer"), fromUtf8(request.peer) },
    };
    if (rule)
        record.insert(QStringLiteral("rule"), fromUtf8(rule->pattern));
    QString logError;
    if (!fStore.appendRecord(record, logError))
        logLine(where + QStringLiteral(" could not log the upload: ") + logError);

    const QString summary = where + QStringLiteral(" ") + quoted(originalName) + QStringLiteral(" event ")
        + quoted(eventValue) + QStringLiteral(", ") + QString::number(size) + QStringLiteral(" bytes");
    switch (outcome) {
    case Outcome::Ok:
    case Outcome::Warning:
    case Outcome::Error:
        exchange.respond(200, kXmlType, replyXml(status, message));
        logLine(summary + QStringLiteral(" -> ") + QLatin1String(status) + QStringLiteral(": ") + message
            + (stored.isEmpty() ? QString() : QStringLiteral(" (") + stored + QLatin1Char(')')));
        return;
    case Outcome::Slow:
        logLine(summary + QStringLiteral(" -> slow: answering in ") + QString::number(fSlowDelay.count())
            + QStringLiteral(" ms (") + stored + QLatin1Char(')'));
        if (!exchange.pause(fSlowDelay)) {
            exchange.drop();
            return;
        }
        exchange.respond(200, kXmlType, replyXml(status, message));
        return;
    case Outcome::Trickle:
        logLine(summary + QStringLiteral(" -> trickle: answering one byte every ")
            + QString::number(kTrickleGap.count()) + QStringLiteral(" ms (") + stored + QLatin1Char(')'));
        exchange.respondTrickling(200, kXmlType, replyXml(status, message), kTrickleGap);
        return;
    case Outcome::Http500:
        exchange.respond(500, kTextType, "Internal Server Error\n");
        logLine(summary + QStringLiteral(" -> 500 by rule"));
        return;
    case Outcome::Drop:
        logLine(summary + QStringLiteral(" -> dropped without a reply"));
        exchange.drop();
        return;
    case Outcome::Hang:
        logLine(summary + QStringLiteral(" -> hanging without a reply until the service stops"));
        exchange.holdUntilStop();
        exchange.drop();
        return;
    case Outcome::Redirect307:
    case Outcome::Redirect302: {
        const int code = outcome == Outcome::Redirect307 ? 307 : 302;
        exchange.respond(code, kTextType, message.toStdString() + '\n', { { "Location", kRedirectedPath } });
        logLine(summary + QStringLiteral(" -> %1 to ").arg(code) + QLatin1String(kRedirectedPath));
        return;
    }
    case Outcome::Http404:
    case Outcome::Http429:
    case Outcome::Http502:
    case Outcome::Http503: {
        const int code = httpStatusFor(outcome);
        HttpHeaders extra;
        if (outcome == Outcome::Http429 || outcome == Outcome::Http503)
            extra.emplace_back("Retry-After", "1");
        exchange.respond(code, kTextType, message.toStdString() + '\n', extra);
        logLine(summary + QStringLiteral(" -> %1 by rule").arg(code));
        return;
    }
    case Outcome::Html200:
        exchange.respond(200, "text/html; charset=utf-8",
            "<!DOCTYPE html>\n<html><head><title>Welcome</title></head><body><h1>Welcome to the venue's "
            "Wi-Fi</h1><p>Accept the terms to go on.</p><form method=\"post\"><button>Accept</button></form>"
            "</body></html>\n");
        logLine(summary + QStringLiteral(" -> 200 with a web page by rule"));
        return;
    }
}

bool PhotoService::ruleApplies(const Rule &rule, const std::string &fileName)
{
    if (rule.times == 0)
        return true;
    std::lock_guard<std::mutex> guard(fCountLock);
    int &answered = fRuleCounts[{ &rule, fileName }];
    if (answered >= rule.times)
        return false;
    ++answered;
    return true;
}

void PhotoService::listing(const HttpRequest &, HttpExchange &exchange)
{
    QList<QJsonObject> records = fStore.records();
    std::reverse(records.begin(), records.end());
    const QString root = fStore.root() + QLatin1Char('/');
    QString rows;
    for (qsizetype i = 0; i < records.size() && i < kMaxListed; ++i) {
        const QJsonObject &record = records.at(i);
        const QString stored = record.value(QStringLiteral("stored")).toString();
        QString name = htmlEscaped(record.value(QStringLiteral("filename")).toString());
        if (stored.startsWith(root)) {
            QString link = QStringLiteral("/files");
            for (const QString &segment : stored.mid(root.size()).split(QLatin1Char('/')))
                link += QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(segment));
            name = QStringLiteral("<a href=\"") + link + QStringLiteral("\">") + name + QStringLiteral("</a>");
        }
        rows += QStringLiteral("<tr><td>")
            + htmlEscaped(record.value(QStringLiteral("fields")).toObject().value(QStringLiteral("event")).toString())
            + QStringLiteral("</td><td>") + name + QStringLiteral("</td><td class=\"n\">")
            + QLocale::c().toString(record.value(QStringLiteral("size")).toInteger()) + QStringLiteral("</td><td>")
            + htmlEscaped(record.value(QStringLiteral("time")).toString()) + QStringLiteral("</td><td>")
            + htmlEscaped(record.value(QStringLiteral("outcome")).toString()) + QStringLiteral("</td></tr>\n");
    }
    const QString page = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                        "<title>Received pictures</title><style>"
                                        "body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
                                        "td,th{padding:.3em .8em;border-bottom:1px solid #ddd;text-align:left}"
                                        ".n{text-align:right}</style></head><body>\n<h1>Received pictures</h1>\n<p>")
        + QString::number(records.size()) + QStringLiteral(" uploads, newest first, stored in ")
        + htmlEscaped(fStore.root())
        + QStringLiteral("</p>\n<table><tr><th>Event</th><th>File</th><th>Size</th><th>Received</th>"
                         "<th>Outcome</th></tr>\n")
        + rows + QStringLiteral("</table></body></html>\n");
    exchange.respond(200, "text/html; charset=utf-8", page.toStdString());
}

void PhotoService::storedFile(const HttpRequest &request, HttpExchange &exchange)
{
    const QString where = fromUtf8(request.peer) + QStringLiteral(" GET ") + fromUtf8(request.target);
    const QList<QByteArray> segments = QByteArray::fromStdString(request.path.substr(7)).split('/');
    QString path;
    if (segments.size() == 2) {
        const QString event = QString::fromUtf8(QByteArray::fromPercentEncoding(segments.at(0)));
        const QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(segments.at(1)));
        // Only names the store itself could have made lead anywhere: no "..", no hidden files.
        if (!event.isEmpty() && !name.isEmpty() && safeEventName(event) == event && safeFileName(name) == name)
            path = fStore.root() + QLatin1Char('/') + event + QLatin1Char('/') + name;
    }
    const QFileInfo info(path);
    if (path.isEmpty() || info.isSymLink() || !info.isFile()) {
        exchange.respond(404, kTextType, "Not Found\n");
        logLine(where + QStringLiteral(" -> 404"));
        return;
    }
    const QString suffix = info.suffix().toLower();
    const char *type = (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) ? "image/jpeg"
        : suffix == QLatin1String("png")                                                   ? "image/png"
                                                                                           : "application/octet-stream";
    if (!exchange.respondWithFile(type, QFile::encodeName(path).toStdString())) {
        exchange.respond(404, kTextType, "Not Found\n");
        logLine(where + QStringLiteral(" -> 404"));
        return;
    }
    logLine(where + QStringLiteral(" -> 200"));
}

} // namespace vesk::service
