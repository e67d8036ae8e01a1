#pragma once
// HttpTransfer: one libcurl easy handle that posts upload requests, keeping its connection open
// between them. post() blocks the calling thread; cancel() may be called from any thread.
// HTTPS certificates are always verified (libcurl's checks of the chain and of the host name). The
// first of VESK_CA_FILE, CURL_CA_BUNDLE and SSL_CERT_FILE names a CA file that replaces the system's
// CAs, for a private service; SSL_CERT_DIR names a CA folder (hashed names, as c_rehash makes them).
// libcurl reads none of these variables itself: post() does, for every https request. The CA file is
// read whole, only when it is a regular file of at most 1 MiB; the folder is used only when each hashed
// name in it is a regular file. Anything else fails the request (a certificate failure).

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

namespace vesk {

// Time-outs of a transfer, in seconds: a connection must be made within connectSeconds, and a
// transfer moving fewer than one byte per second for stallSeconds is given up (this also ends a
// service that takes the body and never answers). The reply must be complete within replySeconds
// of the last body byte sent (a reply that trickles in would otherwise hold the queue for ever);
// the time spent sending the body does not count, so a slow uplink is never cut.
struct TransferTimeouts {
    long connectSeconds = 10;
    long stallSeconds = 30;
    long replySeconds = 60;

    // The defaults, overridden by VESK_HTTP_CONNECT_TIMEOUT, VESK_HTTP_STALL_TIMEOUT and
    // VESK_HTTP_REPLY_TIMEOUT (whole seconds, greater than zero).
    static TransferTimeouts fromEnvironment();
};

// The most of a reply body that is kept; the rest is read and dropped, up to kMaxDrainedReplyBytes
// in all, past which a reply that does not end is given up as a transport error.
inline constexpr qsizetype kMaxReplyBytes = qsizetype(4) * 1024 * 1024;
inline constexpr qint64 kMaxDrainedReplyBytes = 256LL * 1024 * 1024;

struct TransferRequest {
    QByteArray url;
    QByteArray contentType; // value of the Content-Type header
    QByteArray prefix; // body bytes before the file
    int fd = -1; // the picture, open for reading; read with pread, so its offset does not matter
    qint64 fileSize = 0; // bytes of the file announced in the body's length
    QByteArray suffix; // body bytes after the file
    TransferTimeouts timeouts;
    bool headOnly = false; // a HEAD of the url instead of the POST (the body fields are not used)
    // Told the body bytes sent so far of the whole body, as curl reports progress (curl's thread).
    std::function<void(qint64 sent, qint64 total)> progress;
};

struct TransferError {
    int code = 0; // a CURLcode
    QString description; // curl's text for the code with its details, or what went wrong locally
    bool certificate = false; // the service's certificate was refused, or the CAs named could not be used
    // The service got none of the request: no connection (refused, timed out, a name or a proxy that
    // cannot be reached) or a TLS set-up that failed for a reason other than the certificate.
    bool beforeRequest = false;
};

struct TransferOutcome {
    long statusCode = 0; // 0: no HTTP response came back
    QVariantMap headers; // header name -> value of the final response
    std::optional<QByteArray> body; // present when a response came back, even empty
    qint64 bodyBytesReceived = 0; // may exceed body->size() when the reply was cut
    QByteArray redirectUrl; // of a redirect reply: its Location made absolute; redirects are not followed
    std::optional<TransferError> error;
};

class HttpTransfer {
public:
    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer &) = delete;
    HttpTransfer &operator=(const HttpTransfer &) = delete;

    // Sends one POST and waits for the whole reply or a failure. A transport failure, a file that
    // became shorter than announced while it was read, and a cancel all end in outcome.error,
    // with no response and no body.
    TransferOutcome post(const TransferRequest &request);
    // A HEAD of the url with the same settings (proxy, CAs, time-outs) as post(); the connection is
    // not kept.
    TransferOutcome head(const QByteArray &url, const TransferTimeouts &timeouts);

    // Ends a transfer in progress as soon as curl next reports progress, and makes every later
    // post() fail at once. Any thread.
    void cancel();
    bool isCancelled() const { return fCancelled.load(); }

private:
    void *fEasy = nullptr; // CURL*, used under fLock
    std::mutex fLock;
    std::atomic<bool> fCancelled { false };
};

} // namespace vesk
