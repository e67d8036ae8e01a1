#pragma once
// HttpController: the HTTP upload client. One instance, created at launch and kept until quit. It
// sends one picture per "UploadStartNotification", on the thread that posted it, and classifies
// the outcome; its one curl handle keeps the connection to the service between uploads.

#include "cycle/CycleNames.h"
#include "cycle/NotificationCenter.h"
#include "http/HttpTransfer.h"

#include <QString>
#include <QUrl>

namespace vesk {

class HttpController : public CycleNames {
public:
    // Registers the client's four observers on the center; the destructor removes them.
    HttpController(NotificationCenter &center, QString endpoint);
    ~HttpController();
    HttpController(const HttpController &) = delete;
    HttpController &operator=(const HttpController &) = delete;

    static constexpr const char *kClassName = "HttpController";
    static inline const QString kDefaultEndpoint = QStringLiteral("http://upload.vesk-photos.example/index.php");

    // The endpoint to use: the given one unless empty, else $VESK_UPLOAD_URL, else kDefaultEndpoint.
    static QString resolveEndpoint(const QString &option);
    // Why the address cannot be uploaded to (it is not an absolute http or https URL with a host);
    // empty when it can.
    static QString endpointRefusal(const QString &endpoint);

    // Observers. Each runs on the posting thread; the upload blocks it until the whole outcome
    // chain (done, then success or failure) has run.
    void handleNotification_UploadStart(const Notification &note);
    void handleNotification_UploadStart(const Notification *note);
    void handleNotification_UploadDone(const Notification &note);
    void handleNotification_UploadSuccess(const Notification &note);
    void handleNotification_UploadFail(const Notification &note);
    void handleNotification_ScanFolder(const Notification &note);
    void applicationWillTerminate(const Notification &note);
    void connectionDidFailWithError(const QVariantMap &error);

    // A notification is unwrapped to its record; a record is used directly.
    void doRunHttpUploaderInThread(const Notification &note);
    void doRunHttpUploaderInThread(const InfoRef &info);

    // Sends the picture the item record names, posts "UploadDoneNotification" with the result
    // record and then empties the item record. Blocks for the whole transfer. Always true.
    bool doRunHttpUploaderWithInfo(const InfoRef &info);

    // Cuts off the transfer in progress, if any, and refuses new ones (at quit). Any thread.
    void cancel();

    const QString &endpoint() const { return fEndpoint; }
    // Told the bytes sent of each upload's body as it goes. Set before the first upload.
    void setProgressReport(std::function<void(qint64 sent, qint64 total)> report) { fProgress = std::move(report); }

    // Whether an upload redirected from one URL to the other is sent there again: only to the same
    // host name (letter case aside), on the same port and scheme, or from http to https on any port.
    static bool mayFollowRedirect(const QUrl &from, const QUrl &to);
    static constexpr int kMaxRedirects = 5;

private:
    // Posts the request, and again wherever a 307 or 308 reply sends it, within mayFollowRedirect
    // and kMaxRedirects. Any other reply, and a redirect not followed, is the outcome.
    TransferOutcome postFollowingRedirects(TransferRequest &request);
    void recordExchange(const TransferOutcome &outcome, Info &result) const;
    void postUploadDone(const InfoRef &result);

    NotificationCenter &fCenter;
    QString fEndpoint;
    HttpTransfer fTransfer;
    std::function<void(qint64 sent, qint64 total)> fProgress;
};

} // namespace vesk
