#pragma once
// Clients for the service tests: libcurl for ordinary form posts (what curl -F sends) and a plain socket for
// requests that must go out byte for byte, in part, or without waiting for the reply.

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>

namespace vesk::test {

struct Reply {
    long status = 0; // 0 when no HTTP status arrived
    QByteArray head;
    QByteArray body;
    bool transportFailed = false; // the exchange broke before a whole reply arrived
    QString error;

    // The <status> and <message> of the service's XML reply.
    QString xmlStatus() const;
    QString xmlMessage() const;
};

struct FormField {
    QByteArray name;
    QByteArray value;
};

// POSTs the fields and a file part named imgfile, as curl -F does.
Reply postForm(const QString &url, const QList<FormField> &fields, const QByteArray &fileName,
    const QByteArray &content, std::chrono::milliseconds timeout = std::chrono::seconds(20),
    const QList<QByteArray> &extraHeaders = {});
Reply getUrl(const QString &url, std::chrono::milliseconds timeout = std::chrono::seconds(20));

extern const QByteArray kUploaderBoundary;
// The uploader's body byte for byte: a CR LF, the text fields, then the picture as imgfile.
QByteArray uploaderBody(const QList<FormField> &fields, const QByteArray &fileName, const QByteArray &content);
// A whole POST /index.php request carrying that body.
QByteArray uploaderRequest(int port, const QByteArray &body);
// The uploader's usual fields, with the event and login given.
QList<FormField> uploaderFields(
    const QByteArray &event, const QByteArray &login = "photographer", const QByteArray &password = "secret");

// One TCP connection to 127.0.0.1.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool isConnected() const { return fFd >= 0; }
    bool send(const QByteArray &bytes);
    // Reads one reply (head and a Content-Length body). A connection that closes or stays silent first gives
    // a transport failure.
    Reply readReply(std::chrono::milliseconds timeout);
    // Whether the service closed the connection within the time, without sending anything.
    bool closedWithoutReply(std::chrono::milliseconds timeout);
    void close();

private:
    bool fill(std::chrono::steady_clock::time_point deadline);
    int fFd = -1;
    QByteArray fPending;
    bool fClosedByPeer = false;
};

} // namespace vesk::test
