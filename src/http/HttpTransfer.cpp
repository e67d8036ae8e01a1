#include "http/HttpTransfer.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QRegularExpression>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

CURLcode gGlobalInitResult = CURLE_OK;

// curl_global_init is not thread-safe itself; call it once, whichever thread uploads first.
CURLcode ensureCurlGlobal()
{
    static std::once_flag once;
    std::call_once(once, [] { gGlobalInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return gGlobalInitResult;
}

long secondsFromEnvironment(const char *name, long fallback)
{
    bool ok = false;
    const long value = qEnvironmentVariable(name).trimmed().toLong(&ok);
    return ok && value > 0 ? value : fallback;
}

constexpr qsizetype kMaxHeaderBytes = qsizetype(256) * 1024;

// The state of one exchange, shared with curl's callbacks.
struct Exchange {
    const TransferRequest *request = nullptr;
    curl_off_t position = 0; // next body byte to hand to curl
    curl_off_t total = 0;
    bool fileShrank = false;
    int readErrno = 0;
    bool endless = false;
    QByteArray body;
    qint64 received = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    qsizetype headerBytes = 0;
    const std::atomic<bool> *cancelled = nullptr;
    // The reply limit: counted from the moment curl reports the whole body sent.
    std::chrono::seconds replyLimit { 60 };
    std::optional<std::chrono::steady_clock::time_point> bodySentAt;
    bool replyTimedOut = false;
};

size_t copyFrom(const QByteArray &source, curl_off_t offset, char *buffer, size_t room)
{
    const size_t n = std::min(room, static_cast<size_t>(source.size() - offset));
    std::memcpy(buffer, source.constData() + offset, n);
    return n;
}

// Hands curl the next body bytes: the prefix, then the file read in place, then the suffix.
size_t readBody(char *buffer, size_t size, size_t count, void *user)
{
    auto &x = *static_cast<Exchange *>(user);
    const TransferRequest &request = *x.request;
    const curl_off_t prefixEnd = request.prefix.size();
    const curl_off_t fileEnd = prefixEnd + request.fileSize;
    const size_t room = size * count;
    size_t written = 0;
    while (written < room && x.position < x.total) {
        size_t n = 0;
        if (x.position < prefixEnd) {
            n = copyFrom(request.prefix, x.position, buffer + written, room - written);
        } else if (x.position < fileEnd) {
            const curl_off_t offset = x.position - prefixEnd;
            const size_t want = std::min(room - written, static_cast<size_t>(request.fileSize - offset));
            const ssize_t got = ::pread(request.fd, buffer + written, want, static_cast<off_t>(offset));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                x.readErrno = errno;
                return CURL_READFUNC_ABORT;
            }
            if (got == 0) {
                // Fewer bytes than announced: never let the service see half a picture.
                x.fileShrank = true;
                return CURL_READFUNC_ABORT;
            }
            n = static_cast<size_t>(got);
        } else {
            n = copyFrom(request.suffix, x.position - fileEnd, buffer + written, room - written);
        }
        written += n;
        x.position += static_cast<curl_off_t>(n);
    }
    return written;
}

// curl rewinds the body when it has to send the request again, for example when a kept
// connection turns out to have been closed by the service.
int seekBody(void *user, curl_off_t offset, int origin)
{
    auto &x = *static_cast<Exchange *>(user);
    if (origin != SEEK_SET || offset < 0 || offset > x.total)
        return CURL_SEEKFUNC_FAIL;
    x.position = offset;
    return CURL_SEEKFUNC_OK;
}

size_t writeReply(char *data, size_t size, size_t count, void *user)
{
    auto &x = *static_cast<Exchange *>(user);
    const size_t n = size * count;
    x.received += static_cast<qint64>(n);
    if (x.received > kMaxDrainedReplyBytes) {
        x.endless = true;
        return 0; // curl ends the transfer with a write error
    }
    const qsizetype room = kMaxReplyBytes - x.body.size();
    if (room > 0)
        x.body.append(data, std::min(room, static_cast<qsizetype>(n)));
    return n; // the rest is drained and dropped
}

size_t writeHeader(char *data, size_t size, size_t count, void *user)
{
    auto &x = *static_cast<Exchange *>(user);
    const size_t n = size * count;
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(n)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new status line: an interim (100) or earlier response is over.
        x.headers.clear();
        x.headerBytes = 0;
        return n;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || x.headerBytes + line.size() > kMaxHeaderBytes)
        return n;
    x.headerBytes += line.size();
    x.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
    return n;
}

int reportProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto &x = *static_cast<Exchange *>(user);
    if (x.cancelled->load())
        return 1;
    if (x.request->progress)
        x.request->progress(uploaded, x.total);
    // A request sent again (a kept connection that had closed) starts its body afresh.
    if (uploaded < x.total) {
        x.bodySentAt.reset();
        return 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!x.bodySentAt)
        x.bodySentAt = now;
    if (now - *x.bodySentAt < x.replyLimit)
        return 0;
    x.replyTimedOut = true;
    return 1;
}

constexpr qint64 kMaxCaFileBytes = 1024 * 1024;

// Where the CAs come from, for messages, or why the ones named cannot be used.
struct Authorities {
    QString from;
    QString refused;
};

// A CA file named by the environment: read here, once, and only when it is a regular file of at most
// 1 MiB, so that neither libcurl nor OpenSSL ever opens the path (a FIFO or a device there would hold
// the upload, and the quit, for ever). Empty with *why set when it cannot be used.
QByteArray readCaFile(const QByteArray &path, QString *why)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot be opened: %1").arg(qt_error_string(errno));
        return {};
    }
    struct stat info { };
    QByteArray bytes;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = QStringLiteral("is not a regular file");
    } else if (info.st_size > kMaxCaFileBytes) {
        *why = QStringLiteral("is larger than 1 MiB");
    } else {
        bytes.resize(kMaxCaFileBytes + 1);
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                *why = QStringLiteral("cannot be read: %1").arg(qt_error_string(errno));
            if (n <= 0)
                break;
            got += n;
        }
        bytes.truncate(got);
        if (got > kMaxCaFileBytes)
            *why = QStringLiteral("is larger than 1 MiB");
        else if (why->isEmpty() && got == 0)
            *why = QStringLiteral("is empty");
    }
    ::close(fd);
    return why->isEmpty() ? bytes : QByteArray();
}

// A CA folder is read by OpenSSL itself, one hashed name (8 hex digits, a point, an optional r, a
// number) at a time during the handshake: it is used only when it is a folder and each such name
// that exists is a regular file (a link to one, as c_rehash makes them, is fine). Empty, or why not.
QString refusedCaFolder(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOTDIR ? QStringLiteral("is not a folder")
                                : QStringLiteral("cannot be opened: %1").arg(qt_error_string(errno));
    DIR *folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return QStringLiteral("cannot be read: %1").arg(qt_error_string(errno));
    }
    static const QRegularExpression hashed(QStringLiteral("^[0-9a-f]{8}\\.r?[0-9]+$"));
    QString refused;
    while (const dirent *entry = ::readdir(folder)) {
        const QString name = QFile::decodeName(entry->d_name);
        struct stat info { };
        if (!hashed.match(name).hasMatch() || ::fstatat(fd, entry->d_name, &info, 0) != 0 || S_ISREG(info.st_mode))
            continue;
        refused = QStringLiteral("holds %1, which is not a regular file").arg(name);
        break;
    }
    ::closedir(folder);
    return refused;
}

// Verification stays as libcurl has it (the chain and the host name are checked); only where the CAs
// come from changes.
Authorities applyCertificateAuthorities(CURL *easy)
{
    Authorities authorities;
    QString &from = authorities.from;
    for (const char *name : { "VESK_CA_FILE", "CURL_CA_BUNDLE", "SSL_CERT_FILE" }) {
        const QByteArray file = qgetenv(name);
        if (file.isEmpty())
            continue;
        from = QStringLiteral("%1 (%2)").arg(QFile::decodeName(file), QLatin1String(name));
        QString why;
        const QByteArray bytes = readCaFile(file, &why);
        if (!why.isEmpty()) {
            authorities.refused = from + QLatin1Char(' ') + why;
            return authorities;
        }
        curl_blob blob { const_cast<char *>(bytes.constData()), static_cast<size_t>(bytes.size()), CURL_BLOB_COPY };
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        // The system's CA folder would still vouch for public certificates: the file replaces both.
        curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char *>(nullptr));
        break;
    }
    if (const QByteArray folder = qgetenv("SSL_CERT_DIR"); !folder.isEmpty()) {
        const QString named = QStringLiteral("the folder %1 (SSL_CERT_DIR)").arg(QFile::decodeName(folder));
        if (const QString why = refusedCaFolder(folder); !why.isEmpty()) {
            authorities.refused = named + QLatin1Char(' ') + why;
            return authorities;
        }
        curl_easy_setopt(easy, CURLOPT_CAPATH, folder.constData());
        from += (from.isEmpty() ? QStringLiteral("the system's CA file and ") : QStringLiteral(" and ")) + named;
    }
    if (from.isEmpty())
        from = QStringLiteral("the system's CAs; a private CA is named with VESK_CA_FILE");
    return authorities;
}

QString describeCode(CURLcode code, const QString &detail)
{
    const QString text = QString::fromUtf8(curl_easy_strerror(code));
    return detail.isEmpty() ? text : text + QStringLiteral(" (") + detail + QLatin1Char(')');
}

TransferOutcome failure(CURLcode code, const QString &description)
{
    TransferOutcome outcome;
    outcome.error = TransferError { static_cast<int>(code), description };
    return outcome;
}

} // namespace

TransferTimeouts TransferTimeouts::fromEnvironment()
{
    TransferTimeouts timeouts;
    timeouts.connectSeconds = secondsFromEnvironment("VESK_HTTP_CONNECT_TIMEOUT", timeouts.connectSeconds);
    timeouts.stallSeconds = secondsFromEnvironment("VESK_HTTP_STALL_TIMEOUT", timeouts.stallSeconds);
    timeouts.replySeconds = secondsFromEnvironment("VESK_HTTP_REPLY_TIMEOUT", timeouts.replySeconds);
    return timeouts;
}

HttpTransfer::HttpTransfer()
{
    // At once rather than in the first upload, which would wait for the TLS library to load its
    // configuration and tables.
    ensureCurlGlobal();
}

HttpTransfer::~HttpTransfer()
{
    std::lock_guard<std::mutex> guard(fLock);
    if (fEasy)
        curl_easy_cleanup(static_cast<CURL *>(fEasy));
}

void HttpTransfer::cancel()
{
    fCancelled = true;
}

TransferOutcome HttpTransfer::post(const TransferRequest &request)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (fCancelled.load())
        return failure(CURLE_ABORTED_BY_CALLBACK, QStringLiteral("The upload was cancelled"));
    if (const CURLcode init = ensureCurlGlobal(); init != CURLE_OK)
        return failure(init, describeCode(init, QStringLiteral("curl could not be initialised")));
    if (!fEasy)
        fEasy = curl_easy_init();
    CURL *easy = static_cast<CURL *>(fEasy);
    if (!easy)
        return failure(CURLE_FAILED_INIT, describeCode(CURLE_FAILED_INIT, {}));
    // Back to the default options; the handle keeps its open connection.
    curl_easy_reset(easy);
    Authorities authorities;
    if (request.url.left(8).toLower() == "https://") {
        authorities = applyCertificateAuthorities(easy);
        if (!authorities.refused.isEmpty()) {
            TransferOutcome outcome = failure(CURLE_SSL_CACERT_BADFILE,
                QStringLiteral("The CAs to check the service's certificate cannot be used: %1")
                    .arg(authorities.refused));
            outcome.error->certificate = true;
            return outcome;
        }
    }

    Exchange x;
    x.request = &request;
    x.total = static_cast<curl_off_t>(request.prefix.size() + request.fileSize + request.suffix.size());
    x.cancelled = &fCancelled;
    x.replyLimit = std::chrono::seconds(request.timeouts.replySeconds);

    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, QByteArray("Content-Type: " + request.contentType).constData());
    headers = curl_slist_append(headers, "Expect:"); // no "Expect: 100-continue" round trip

    curl_easy_setopt(easy, CURLOPT_URL, request.url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // the caller decides which redirects to follow
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (request.headOnly) {
        x.total = 0;
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        // A service may send a body after all; the connection must not carry it into the next request.
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, x.total);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, &x);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, seekBody);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &x);
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, writeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, reportProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, request.timeouts.connectSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, request.timeouts.stallSeconds);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);

    const CURLcode rc = curl_easy_perform(easy);
    long statusCode = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &statusCode);
    char *redirect = nullptr; // curl's own string, valid until the handle's next use
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &redirect);
    const QByteArray redirectUrl(redirect);
    double connectSeconds = 0; // 0 while no connection was made
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME, &connectSeconds);

    // Nothing in the handle may point at this frame or at the freed list once we return.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, static_cast<char *>(nullptr));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist *>(nullptr));
    curl_slist_free_all(headers);

    if (x.fileShrank)
        return failure(CURLE_READ_ERROR, QStringLiteral("The picture became shorter while it was being sent"));
    if (x.readErrno != 0)
        return failure(CURLE_READ_ERROR,
            QStringLiteral("The picture could not be read while it was being sent: %1")
                .arg(qt_error_string(x.readErrno)));
    if (x.endless)
        return failure(rc,
            describeCode(
                rc, QStringLiteral("The reply went on past %1 bytes and was given up").arg(kMaxDrainedReplyBytes)));
    if (x.replyTimedOut)
        return failure(CURLE_OPERATION_TIMEDOUT,
            QStringLiteral("The reply did not end within %1 s of the request being sent")
                .arg(request.timeouts.replySeconds));
    if (rc == CURLE_ABORTED_BY_CALLBACK && fCancelled.load())
        return failure(rc, QStringLiteral("The upload was cancelled"));
    if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE) {
        const QString detail = QString::fromUtf8(errorBuffer).trimmed();
        TransferOutcome outcome = failure(rc,
            QStringLiteral("%1: %2 (checked against %3)")
                .arg(rc == CURLE_PEER_FAILED_VERIFICATION
                        ? QStringLiteral("The service's certificate was not accepted")
                        : QStringLiteral("The CAs to check the service's certificate cannot be used"),
                    detail.isEmpty() ? describeCode(rc, {}) : detail, authorities.from));
        outcome.error->certificate = true;
        return outcome;
    }
    if (rc != CURLE_OK) {
        TransferOutcome outcome = failure(rc, describeCode(rc, QString::fromUtf8(errorBuffer).trimmed()));
        outcome.error->beforeRequest = rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST
            || rc == CURLE_COULDNT_RESOLVE_PROXY || rc == CURLE_SSL_CONNECT_ERROR
            || (rc == CURLE_OPERATION_TIMEDOUT && connectSeconds <= 0);
        return outcome;
    }

    TransferOutcome outcome;
    outcome.statusCode = statusCode;
    if (statusCode > 0) {
        for (const auto &[name, value] : std::as_const(x.headers)) {
            const QString key = QString::fromLatin1(name);
            const QString text = QString::fromLatin1(value);
            const auto existing = outcome.headers.constFind(key);
            outcome.headers.insert(
                key, existing == outcome.headers.cend() ? text : existing->toString() + QStringLiteral(", ") + text);
        }
        outcome.body = std::move(x.body);
        outcome.bodyBytesReceived = x.received;
        outcome.redirectUrl = redirectUrl;
    }
    return outcome;
}

TransferOutcome HttpTransfer::head(const QByteArray &url, const TransferTimeouts &timeouts)
{
    TransferRequest request;
    request.url = url;
    request.timeouts = timeouts;
    request.headOnly = true;
    return post(request);
}

} // namespace vesk
