#include "http/HttpController.h"
#include "cycle/CycleStatus.h"

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/Describe.h"
#include "files/OpenedPicture.h"
#include "files/PictureMetadata.h"
#include "http/Multipart.h"
#include "http/Reply.h"
#include "http/ServiceProbe.h"

#include <QFile>

#include <curl/curl.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

constexpr qsizetype kMaxLoggedReplyBytes = 8192;
constexpr qint64 kMaxBoundaryReadAhead = qint64(32) << 20;

// The picture, open for the length of one upload.
class PictureFile {
public:
    PictureFile() = default;
    PictureFile(const PictureFile &) = delete;
    PictureFile &operator=(const PictureFile &) = delete;
    ~PictureFile()
    {
        if (fFd >= 0)
            ::close(fFd);
    }

    // Opens a regular file for reading; on failure, reason() says why.
    bool open(const QString &path)
    {
        if (path.isEmpty()) {
            fReason = QStringLiteral("no file name was given");
            return false;
        }
        fNative = QFile::encodeName(path);
        // O_NONBLOCK: opening a FIFO must not wait for a writer.
        fFd = ::open(fNative.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fFd < 0) {
            fReason = qt_error_string(errno);
            return false;
        }
        if (::fstat(fFd, &fBefore) != 0) {
            fReason = qt_error_string(errno);
            return false;
        }
        if (S_ISDIR(fBefore.st_mode)) {
            fReason = qt_error_string(EISDIR);
            return false;
        }
        if (!S_ISREG(fBefore.st_mode)) {
            fReason = QStringLiteral("not a regular file");
            return false;
        }
        return true;
    }

    // Takes the picture the scan holds open: the very file it chose, wherever its path leads now.
    bool adopt(const OpenedPicture &picture)
    {
        fOpened = &picture;
        if (picture.fd() < 0) {
            fReason = qt_error_string(picture.readError());
            return false;
        }
        if (!picture.isStillNamed()) {
            fReason = QStringLiteral("it is no longer in its folder");
            return false;
        }
        fFd = ::fcntl(picture.fd(), F_DUPFD_CLOEXEC, 0);
        if (fFd < 0 || ::fstat(fFd, &fBefore) != 0) {
            fReason = qt_error_string(errno);
            return false;
        }
        return true;
    }

    int fd() const { return fFd; }
    qint64 size() const { return static_cast<qint64>(fBefore.st_size); }
    const QString &reason() const { return fReason; }

    // Whether the file at the path is still the one that was opened, with the same size and times.
    bool isUnchanged() const
    {
        struct stat now { };
        if (fOpened ? !fOpened->isStillNamed() || ::fstat(fFd, &now) != 0 : ::stat(fNative.constData(), &now) != 0)
            return false;
        return now.st_dev == fBefore.st_dev && now.st_ino == fBefore.st_ino && now.st_size == fBefore.st_size
            && now.st_mtim.tv_sec == fBefore.st_mtim.tv_sec && now.st_mtim.tv_nsec == fBefore.st_mtim.tv_nsec
            && now.st_ctim.tv_sec == fBefore.st_ctim.tv_sec && now.st_ctim.tv_nsec == fBefore.st_ctim.tv_nsec;
    }

private:
    int fFd = -1;
    QByteArray fNative;
    const OpenedPicture *fOpened = nullptr;
    struct stat fBefore { };
    QString fReason;
};

QString operationLine(const char *prefix, const char *operation, const char *suffix = "...")
{
    return QLatin1String(prefix) + QLatin1String(HttpController::kClassName) + QStringLiteral(" => ")
        + QLatin1String(operation) + QLatin1String(suffix);
}

// The outcome of a start that carried no item record: nothing can be sent, but the cycle still
// waits for one outcome, a failure.
InfoRef recordWithoutItem()
{
    return makeInfo({ { CycleNames::cDictKeyHttpCustomStatus, QStringLiteral("Warning") },
        { CycleNames::cDictKeyHttpCustomMessage, QStringLiteral("The upload was started without an upload record") } });
}

} // namespace

HttpController::HttpController(NotificationCenter &center, QString endpoint)
    : fCenter(center)
    , fEndpoint(std::move(endpoint))
{
    fCenter.addObserver(
        this, cNotification_UploadStart, [this](const Notification &n) { handleNotification_UploadStart(n); });
    fCenter.addObserver(
        this, cNotification_UploadDone, [this](const Notification &n) { handleNotification_UploadDone(n); });
    fCenter.addObserver(
        this, cNotification_UploadSuccess, [this](const Notification &n) { handleNotification_UploadSuccess(n); });
    fCenter.addObserver(
        this, cNotification_UploadFail, [this](const Notification &n) { handleNotification_UploadFail(n); });
    // While the helper reads a picture's metadata, the scan thread looks through the picture for
    // the request's boundary: the upload then finds it done. A large picture is left for the
    // upload itself, whose time its sending dominates anyway.
    setWhileMetadataIsRead([](int fd) {
        struct stat info { };
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxBoundaryReadAhead)
            prepareBoundaryForPicture(fd);
    });
    startPictureMetadataReader();
    const TransferTimeouts timeouts = TransferTimeouts::fromEnvironment();
    consoleLog(QStringLiteral("Uploading to %1 (connect time-out %2 s, stall time-out %3 s)")
                   .arg(fEndpoint)
                   .arg(timeouts.connectSeconds)
                   .arg(timeouts.stallSeconds));
    if (QUrl(fEndpoint).scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0)
        myNSLog(QStringLiteral("Warning: the upload endpoint %1 is plain http: the login and password go over the "
                               "network unencrypted")
                    .arg(fEndpoint));
}

HttpController::~HttpController()
{
    setWhileMetadataIsRead({});
    fCenter.removeObserver(this);
}

QString HttpController::resolveEndpoint(const QString &option)
{
    if (!option.isEmpty())
        return option;
    const QString fromEnvironment = qEnvironmentVariable("VESK_UPLOAD_URL");
    return fromEnvironment.isEmpty() ? kDefaultEndpoint : fromEnvironment;
}

QString HttpController::endpointRefusal(const QString &endpoint)
{
    const QUrl url(endpoint, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty())
        return {};
    return QStringLiteral("The service address [%1] is refused: it is not an absolute http or https address with a "
                          "host")
        .arg(endpoint);
}

void HttpController::cancel()
{
    fTransfer.cancel();
}

void HttpController::handleNotification_UploadStart(const Notification &note)
{
    handleNotification_UploadStart(&note);
}

void HttpController::handleNotification_UploadStart(const Notification *note)
{
    traceInside(kClassName, __func__);
    if (!note) {
        consoleLog(QStringLiteral("\n\nUnknown Notification Info inside %1::%2:\n%3\n\n")
                       .arg(QLatin1String(kClassName), QLatin1String(__func__), QStringLiteral("(null)")));
        return;
    }
    doRunHttpUploaderInThread(*note);
}

void HttpController::doRunHttpUploaderInThread(const Notification &note)
{
    traceInside(kClassName, __func__);
    if (!note.userInfo && note.button) {
        consoleLog(
            QStringLiteral("Unknown Class Type Found: [%1] with the info:\n").arg(QStringLiteral("ButtonOutlet")));
        postUploadDone(recordWithoutItem());
        return;
    }
    doRunHttpUploaderWithInfo(note.userInfo);
}

void HttpController::doRunHttpUploaderInThread(const InfoRef &info)
{
    traceInside(kClassName, __func__);
    if (!info) {
        consoleLog(operationLine("Passed NO Info to ", __func__));
        return;
    }
    doRunHttpUploaderWithInfo(info);
}

bool HttpController::doRunHttpUploaderWithInfo(const InfoRef &info)
{
    traceInside(kClassName, __func__);
    if (!info) {
        consoleLog(operationLine("Passed NIL Info to ", __func__));
        postUploadDone(recordWithoutItem());
        consoleLog(operationLine("EXITING  ", __func__));
        return true;
    }
    consoleLog(describe(QVariant(*info)));
    const Info item = *info;
    if (!item.contains(cDictKeyEmails))
        consoleLog(operationLine("", __func__, "...edEmails is NIL????"));
    if (!item.contains(cDictKeyOriginalPath))
        consoleLog(operationLine("", __func__, "...edOriginalPath is NIL????"));

    const QString path = item.value(cDictKeyFileName).toString();
    PictureFile picture;
    const OpenedPictureRef opened = item.value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
    const bool readable = opened ? picture.adopt(*opened) : picture.open(path);
    InfoRef result = makeInfo(item);
    if (!readable) {
        consoleLog(QStringLiteral("Error in Reading the Contents of file at path:\n%1\n\n").arg(path));
        // An unreadable picture is a failure the service never saw: "Warning" makes the outcome a
        // failure that parks the picture in the problem folder, so it neither lands in the mirror
        // as if uploaded nor blocks the pictures behind it.
        result->insert(cDictKeyHttpCustomStatus, QStringLiteral("Warning"));
        result->insert(cDictKeyHttpCustomMessage,
            QStringLiteral("Cannot read the picture file %1: %2").arg(path, picture.reason()));
    } else {
        TransferRequest request;
        request.url = fEndpoint.toUtf8();
        const QByteArray boundary = boundaryForPreparedPicture(picture.fd(), picture.size());
        if (boundary != kMultipartBoundary)
            consoleLog(
                QStringLiteral("The picture holds the request's usual boundary; it goes with the boundary %1: %2")
                    .arg(QString::fromLatin1(boundary), path));
        request.contentType = multipartContentType(boundary);
        request.prefix = multipartPrefix(item, boundary);
        request.fd = picture.fd();
        request.fileSize = picture.size();
        request.suffix = multipartSuffix(boundary);
        request.timeouts = TransferTimeouts::fromEnvironment();
        request.progress = fProgress;
        consoleLog(operationLine("Inside ", __func__, "... Start to sendSynchronousRequest"));
        TransferOutcome outcome = postFollowingRedirects(request);
        if (!outcome.error && !picture.isUnchanged()) {
            // Whatever the service answered, it may hold a picture that is not the file's present
            // content; a transport error leaves the picture for a later pass.
            consoleLog(
                QStringLiteral("The picture changed while it was being sent; the reply (status %1) is set aside: %2")
                    .arg(outcome.statusCode)
                    .arg(path));
            outcome.statusCode = 0;
            outcome.headers.clear();
            outcome.body.reset();
            outcome.error.emplace(
                TransferError { CURLE_READ_ERROR, QStringLiteral("The picture changed while it was being sent") });
        }
        recordExchange(outcome, *result);
    }

    postUploadDone(result);
    info->clear();
    consoleLog(operationLine("EXITING  ", __func__));
    return true;
}

bool HttpController::mayFollowRedirect(const QUrl &from, const QUrl &to)
{
    const QString fromScheme = from.scheme().toLower();
    const QString toScheme = to.scheme().toLower();
    const auto defaultPort = [](const QString &scheme) { return scheme == QLatin1String("https") ? 443 : 80; };
    if (!from.isValid() || !to.isValid() || to.host().isEmpty()
        || from.host().compare(to.host(), Qt::CaseInsensitive) != 0)
        return false;
    if (fromScheme == QLatin1String("http") && toScheme == QLatin1String("https"))
        return true;
    return fromScheme == toScheme && (fromScheme == QLatin1String("http") || fromScheme == QLatin1String("https"))
        && from.port(defaultPort(fromScheme)) == to.port(defaultPort(toScheme));
}

TransferOutcome HttpController::postFollowingRedirects(TransferRequest &request)
{
    for (int hops = 0;; ++hops) {
        TransferOutcome outcome = fTransfer.post(request);
        if (outcome.error || (outcome.statusCode != 307 && outcome.statusCode != 308))
            return outcome;
        // 307 and 308 keep the method and the body: the whole request goes again. Other redirects
        // would make the POST a GET, and a picture the service never got would count as sent.
        const QUrl from = QUrl::fromEncoded(request.url);
        const QUrl to = QUrl::fromEncoded(outcome.redirectUrl);
        QString refusal;
        if (outcome.redirectUrl.isEmpty())
            refusal = QStringLiteral("it names no new address");
        else if (hops == kMaxRedirects)
            refusal = QStringLiteral("it is redirection number %1").arg(hops + 1);
        else if (!mayFollowRedirect(from, to))
            refusal = QStringLiteral("only the same host is followed, and never from https to http");
        if (!refusal.isEmpty()) {
            myNSLog(QStringLiteral("The service redirected the upload (%1) from %2 to %3; not followed: %4")
                        .arg(outcome.statusCode)
                        .arg(QString::fromUtf8(request.url), QString::fromUtf8(outcome.redirectUrl), refusal));
            return outcome;
        }
        myNSLog(QStringLiteral("The service redirected the upload (%1) from %2 to %3; sending it there again")
                    .arg(outcome.statusCode)
                    .arg(QString::fromUtf8(request.url), QString::fromUtf8(outcome.redirectUrl)));
        request.url = outcome.redirectUrl;
    }
}

void HttpController::postUploadDone(const InfoRef &result)
{
    fCenter.post(cNotification_UploadDone, this, result);
}

void HttpController::recordExchange(const TransferOutcome &outcome, Info &result) const
{
    if (outcome.body) {
        const QByteArray &body = *outcome.body;
        QString shown = decodeReply(body.left(kMaxLoggedReplyBytes)).text;
        if (body.size() > kMaxLoggedReplyBytes)
            shown += QStringLiteral("\n... (%1 more bytes not shown)").arg(body.size() - kMaxLoggedReplyBytes);
        consoleLog(QStringLiteral("========== returnData May Contain Error: \n%1\n=========\n\n").arg(shown));
        if (outcome.bodyBytesReceived > body.size())
            consoleLog(QStringLiteral("The reply was cut: only its first %1 of %2 bytes were kept")
                           .arg(body.size())
                           .arg(outcome.bodyBytesReceived));
    } else {
        consoleLog(QStringLiteral("========== sendSynchronousRequest returned [<NIL>]\n\n"));
    }

    const bool haveResponse = outcome.statusCode > 0;
    if (haveResponse) {
        result.insert(cDictKeyHttpStatusCode, static_cast<qlonglong>(outcome.statusCode));
        consoleLog(QStringLiteral("====> ReturningResponse.statusCode:\n%1\n").arg(outcome.statusCode));
        if (outcome.headers.isEmpty())
            consoleLog(QStringLiteral("====> the ReturningResponse dictionary: <NIL>\n\n"));
        else
            consoleLog(QStringLiteral("====> the ReturningResponse dictionary: %1\n\n").arg(describe(outcome.headers)));
    } else {
        consoleLog(QStringLiteral("NO Response returned from sendSynchronousRequest???"));
    }

    if (outcome.error) {
        const QVariantMap error { { QStringLiteral("domain"), QStringLiteral("curl") },
            { QStringLiteral("code"), outcome.error->code },
            { QStringLiteral("localizedDescription"), outcome.error->description },
            { QStringLiteral("userInfo"), QVariantMap { { QStringLiteral("url"), fEndpoint } } } };
        consoleLog(QStringLiteral("====> the error is:\n%1\n\n").arg(describe(error)));
        result.insert(cDictKeyHttpError, error);
        if (outcome.error->certificate) // the operator has to act: say it where they look later
            myNSLog(QStringLiteral("Not sent, HTTPS failed: %1 [%2]")
                        .arg(outcome.error->description, result.value(cDictKeyFileName).toString()));
        if (outcome.error->beforeRequest)
            result.insert(cDictKeyHttpServiceAway,
                QStringLiteral("The service cannot be reached: %1; the pictures wait").arg(outcome.error->description));
    }

    if (haveResponse) {
        result.insert(cDictKeyHttpResponse,
            QVariantMap { { QStringLiteral("statusCode"), static_cast<qlonglong>(outcome.statusCode) },
                { QStringLiteral("headers"), outcome.headers } });
    }

    if (!outcome.body)
        return;
    result.insert(cDictKeyHttpReturnData, *outcome.body);

    // An answer that is not the service's own says nothing about the picture: its words are not read.
    const AnswerReading answer
        = readAnswer(outcome.statusCode, outcome.headers, *outcome.body, outcome.redirectUrl, fEndpoint);
    if (answer.kind != AnswerKind::Taken) {
        consoleLog(answer.line);
        result.insert(
            answer.kind == AnswerKind::Away ? cDictKeyHttpServiceAway : cDictKeyHttpAddressProblem, answer.line);
        if (answer.retryAfterSeconds)
            result.insert(cDictKeyHttpRetryAfter, *answer.retryAfterSeconds);
        if (answer.webPage)
            result.insert(cDictKeyHttpWebPage, true);
        return;
    }

    const ReplyInterpretation reply = interpretReply(*outcome.body, ReplyDetail::Log);
    if (!reply.parsed) {
        consoleLog(QStringLiteral("responseString converted to xmlDoc with Error: [%1]\n\n").arg(reply.parseError));
        return;
    }
    consoleLog(QStringLiteral("myXmlDoc:%1\n").arg(reply.document));
    consoleLog(QStringLiteral("myXmlDoc contains [%1] children").arg(reply.childCount));
    for (int i = 0; i < static_cast<int>(reply.children.size()); ++i) {
        const ReplyChild &child = reply.children.at(static_cast<size_t>(i));
        consoleLog(QStringLiteral("NSXMLNode child[%1] = [%2]").arg(i).arg(child.node));
        consoleLog(QStringLiteral("attribute at child[%1] = [%2]")
                       .arg(i)
                       .arg(child.name.isEmpty() ? QStringLiteral("(null)") : child.name));
        consoleLog(QStringLiteral("info at child[%1] = [%2]").arg(i).arg(child.text));
    }
    if (reply.childCount > static_cast<int>(reply.children.size()))
        consoleLog(QStringLiteral("... %1 further children not shown")
                       .arg(reply.childCount - static_cast<int>(reply.children.size())));

    if (reply.childCount < 2) {
        consoleLog(QStringLiteral("NOT GETTING Enough data back from Response??????"));
        return;
    }
    result.insert(cDictKeyHttpCustomStatus, *reply.status);
    result.insert(cDictKeyHttpCustomMessage, *reply.message);
}

void HttpController::handleNotification_UploadDone(const Notification &note)
{
    traceInside(kClassName, __func__);
    bool failed = false;
    if (const InfoRef &record = note.userInfo) {
        if (record->contains(cDictKeyHttpError)) {
            const QVariant userInfo = record->value(cDictKeyHttpError).toMap().value(QStringLiteral("userInfo"));
            consoleLog(QStringLiteral("cDictKeyHttpError = [%1]").arg(describe(userInfo)));
            failed = true;
        }
        if (record->contains(cDictKeyHttpServiceAway) || record->contains(cDictKeyHttpAddressProblem))
            failed = true; // a web page with status 200 too
        if (record->contains(cDictKeyHttpCustomError)) {
            consoleLog(
                QStringLiteral("cDictKeyHttpCustomError = [%1]").arg(describe(record->value(cDictKeyHttpCustomError))));
            failed = true;
        }
        if (record->contains(cDictKeyHttpCustomStatus)
            && isFailureStatus(record->value(cDictKeyHttpCustomStatus).toString()))
            failed = true;
        if (record->contains(cDictKeyHttpStatusCode)) {
            const qlonglong code = record->value(cDictKeyHttpStatusCode).toLongLong();
            if (code != 200) {
                consoleLog(QStringLiteral("HTTP Status Code is [%1]").arg(code));
                failed = true;
            }
        }
    }
    fCenter.post(failed ? cNotification_UploadFail : cNotification_UploadSuccess, this, note.userInfo);
}

void HttpController::handleNotification_UploadSuccess(const Notification &)
{
    traceInside(kClassName, __func__);
}

void HttpController::handleNotification_UploadFail(const Notification &)
{
    traceInside(kClassName, __func__);
}

void HttpController::handleNotification_ScanFolder(const Notification &)
{
    traceInside(kClassName, __func__);
}

void HttpController::applicationWillTerminate(const Notification &)
{
    traceInside(kClassName, __func__);
}

void HttpController::connectionDidFailWithError(const QVariantMap &)
{
    traceInside(kClassName, __func__);
}

void AppController::createHttpController()
{
    fHttpController = std::make_unique<HttpController>(fCenter, HttpController::resolveEndpoint(fOptions.endpoint));
    fServiceProbe = std::make_unique<ServiceProbe>(
        fHttpController->endpoint(), fOptions.timeScale,
        [this](const ServiceProbe::State &state) {
            fStatus->serviceAwayChanged(state.since, state.nextCheck, state.reason);
        },
        [this](std::chrono::milliseconds away) {
            const QString line = QStringLiteral("The service answers again after %1 s away; the pictures go on")
                                     .arg(double(away.count()) / 1000.0, 0, 'f', 1);
            myNSLog(line);
            ibUpdateFTPCallbackStatusTextField(line);
            reportProgress("back", fHttpController->endpoint());
            requestReopen();
        });
    fHttpController->setProgressReport([status = fStatus](qint64 sent, qint64 total) { status->sending(sent, total); });
}

void AppController::cancelTransfers()
{
    if (fHttpController)
        fHttpController->cancel();
    if (fServiceProbe)
        fServiceProbe->stop();
}

bool AppController::serviceIsAway() const
{
    return fServiceProbe && fServiceProbe->isAway();
}

} // namespace vesk
