#include "ServiceClient.h"

#include <curl/curl.h>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk::test {

const QByteArray kUploaderBoundary = "0xKhTmLbOuNdArY";

namespace {

size_t collect(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, qsizetype(size * count));
    return size * count;
}

QString between(const QByteArray &text, const QByteArray &open, const QByteArray &close)
{
    const qsizetype start = text.indexOf(open);
    const qsizetype end = start < 0 ? -1 : text.indexOf(close, start);
    if (end < 0)
        return {};
    return QString::fromUtf8(text.mid(start + open.size(), end - start - open.size()));
}

Reply perform(CURL *curl, const QString &url, std::chrono::milliseconds timeout)
{
    Reply reply;
    const QByteArray address = url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.head);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    if (code != CURLE_OK) {
        reply.transportFailed = true;
        reply.error = QString::fromUtf8(curl_easy_strerror(code));
    }
    return reply;
}

} // namespace

QString Reply::xmlStatus() const
{
    return between(body, "<status>", "</status>");
}

QString Reply::xmlMessage() const
{
    return between(body, "<message>", "</message>");
}

Reply postForm(const QString &url, const QList<FormField> &fields, const QByteArray &fileName,
    const QByteArray &content, std::chrono::milliseconds timeout, const QList<QByteArray> &extraHeaders)
{
    CURL *curl = curl_easy_init();
    curl_mime *form = curl_mime_init(curl);
    for (const FormField &field : fields) {
        curl_mimepart *part = curl_mime_addpart(form);
        curl_mime_name(part, field.name.constData());
        curl_mime_data(part, field.value.constData(), size_t(field.value.size()));
    }
    curl_mimepart *picture = curl_mime_addpart(form);
    curl_mime_name(picture, "imgfile");
    curl_mime_filename(picture, fileName.constData());
    curl_mime_type(picture, "image/jpeg");
    curl_mime_data(picture, content.constData(), size_t(content.size()));
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
    curl_slist *headers = nullptr;
    for (const QByteArray &header : extraHeaders)
        headers = curl_slist_append(headers, header.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    Reply reply = perform(curl, url, timeout);
    curl_slist_free_all(headers);
    curl_mime_free(form);
    curl_easy_cleanup(curl);
    return reply;
}

Reply getUrl(const QString &url, std::chrono::milliseconds timeout)
{
    CURL *curl = curl_easy_init();
    Reply reply = perform(curl, url, timeout);
    curl_easy_cleanup(curl);
    return reply;
}

QByteArray uploaderBody(const QList<FormField> &fields, const QByteArray &fileName, const QByteArray &content)
{
    const QByteArray delimiter = "\r\n--" + kUploaderBoundary + "\r\n";
    QByteArray body = delimiter;
    for (const FormField &field : fields)
        body += "Content-Disposition: form-data; name=\"" + field.name + "\"\r\n\r\n" + field.value + delimiter;
    body += "Content-Disposition: form-data; name=\"imgfile\"; filename=\"" + fileName
        + "\"\r\nContent-Type: image/jpeg\r\n\r\n";
    body += content;
    body += "\r\n--" + kUploaderBoundary + "--\r\n";
    return body;
}

QByteArray uploaderRequest(int port, const QByteArray &body)
{
    return "POST /index.php HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nContent-Type: multipart/form-data; boundary=" + kUploaderBoundary
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QList<FormField> uploaderFields(const QByteArray &event, const QByteArray &login, const QByteArray &password)
{
    return {
        { "username", login },
        { "password", password },
        { "event", event },
        { "client", "Vesk-FTPUploader 1.0 (Linux)" },
        { "capturetime", "2026:06:14 15:02:33" },
        { "metadata", "" },
        { "fuseaction", "upload" },
        { "Submit", "Upload" },
    };
}

RawConnection::RawConnection(int port)
{
    fFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fFd >= 0 && ::connect(fFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        close();
}

RawConnection::~RawConnection()
{
    close();
}

void RawConnection::close()
{
    if (fFd >= 0)
        ::close(fFd);
    fFd = -1;
}

bool RawConnection::send(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (fFd >= 0 && left > 0) {
        const ssize_t n = ::send(fFd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= size_t(n);
    }
    return fFd >= 0;
}

bool RawConnection::fill(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    if (fFd < 0 || fClosedByPeer)
        return false;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    pollfd p { fFd, POLLIN, 0 };
    if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::recv(fFd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        fClosedByPeer = true;
        return false;
    }
    fPending.append(buffer, n);
    return true;
}

Reply RawConnection::readReply(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Reply reply;
    qsizetype headEnd = -1;
    while ((headEnd = fPending.indexOf("\r\n\r\n")) < 0) {
        if (!fill(deadline)) {
            reply.transportFailed = true;
            reply.error = fClosedByPeer ? QStringLiteral("closed") : QStringLiteral("timed out");
            return reply;
        }
    }
    reply.head = fPending.left(headEnd + 4);
    const QList<QByteArray> lines = reply.head.split('\n');
    reply.status = lines.value(0).split(' ').value(1).toLong();
    qsizetype length = 0;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    while (fPending.size() < headEnd + 4 + length) {
        if (!fill(deadline)) {
            reply.transportFailed = true;
            reply.error = QStringLiteral("body cut short");
            return reply;
        }
    }
    reply.body = fPending.mid(headEnd + 4, length);
    fPending.remove(0, headEnd + 4 + length);
    return reply;
}

bool RawConnection::closedWithoutReply(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) { }
    return fClosedByPeer && fPending.isEmpty();
}

} // namespace vesk::test
