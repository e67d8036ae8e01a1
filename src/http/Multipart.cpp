#include "http/Multipart.h"

#include "cycle/CycleNames.h"

namespace vesk {

namespace {

void appendSeparator(QByteArray &body)
{
    body += "\r\n--";
    body += kMultipartBoundary;
    body += "\r\n";
}

void appendField(QByteArray &body, const char *name, const QByteArray &value)
{
    appendSeparator(body);
    body += "Content-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    // A text holding the delimiter line (a file name can) would end its part early and take the
    // picture out of the request: its line breaks are written the way the file name's are.
    const QByteArray delimiter = QByteArray("\r\n--") + kMultipartBoundary;
    if (value.contains(delimiter)) {
        QByteArray escaped = value;
        escaped.replace('\r', "%0D");
        escaped.replace('\n', "%0A");
        body += escaped;
    } else {
        body += value;
    }
}

QByteArray text(const Info &record, const QString &key)
{
    return record.value(key).toString().toUtf8();
}

} // namespace

QByteArray multipartContentType()
{
    return QByteArray("multipart/form-data; boundary=") + kMultipartBoundary;
}

QByteArray multipartPrefix(const Info &record)
{
    using K = CycleNames;
    QByteArray body;
    body.reserve(1024);
    appendField(body, "username", text(record, K::cDictKeyUser));
    appendField(body, "password", text(record, K::cDictKeyPasswd));
    appendField(body, "event", text(record, K::cDictKeyEventName));
    appendField(body, "client", text(record, K::cDictKeyClientName));
    appendField(body, "capturetime", text(record, K::cDictKeyCaptureTime));
    appendField(body, "metadata", text(record, K::cDictKeyMetaData));
    appendField(body, "fuseaction", text(record, K::cDictKeyKobFuseAction));
    if (record.contains(K::cDictKeyEmails))
        appendField(body, "emails", text(record, K::cDictKeyEmails));
    if (record.contains(K::cDictKeyOriginalPath))
        appendField(body, "localfilelocation", text(record, K::cDictKeyOriginalPath));
    appendField(body, "Submit", QByteArrayLiteral("Upload"));

    const QString path = record.value(K::cDictKeyFileName).toString();
    appendSeparator(body);
    body += "Content-Disposition: form-data; name=\"imgfile\"; filename=\"";
    body += dispositionFileName(path).toUtf8();
    body += "\"\r\nContent-Type: ";
    body += pictureContentType(path).toUtf8();
    body += "\r\n\r\n";
    return body;
}

QByteArray multipartSuffix()
{
    return QByteArray("\r\n--") + kMultipartBoundary + "--\r\n";
}

QString lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    if (slash < 0)
        return path.left(end);
    if (slash == 0 && end == 1)
        return path.left(1); // the root folder itself
    return path.mid(slash + 1, end - slash - 1);
}

QString pictureContentType(const QString &path)
{
    const QString name = lastPathComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool isPng = dot > 0 && name.mid(dot + 1).compare(QLatin1String("png"), Qt::CaseInsensitive) == 0;
    return isPng ? QStringLiteral("image/png") : QStringLiteral("image/jpeg");
}

QString dispositionFileName(const QString &path)
{
    QString name = lastPathComponent(path);
    name.replace(QLatin1Char('"'), QLatin1String("%22"));
    name.replace(QLatin1Char('\r'), QLatin1String("%0D"));
    name.replace(QLatin1Char('\n'), QLatin1String("%0A"));
    return name;
}

} // namespace vesk
