// vesk-bench-tight-loop: the floor the upload cycle is measured against. Posts each listed picture
// to the service with the uploader's multipart body (prefix from http/Multipart.h, the file
// streamed with pread, the closing boundary), one after the other on one reused libcurl
// connection, and does nothing else: no scan, no EXIF, no move, no logging.
//
//   vesk-bench-tight-loop --url URL --event NAME --list FILE [--user U] [--password P]
//                         [--transport curl|product]
//
// --transport product posts through the uploader's own HttpTransfer (http/HttpTransfer.h) instead
// of the bare libcurl loop: the difference between the two is the transport's own overhead.
//
// FILE names one picture per line. Prints "start_ms", "end_ms" (epoch milliseconds around the
// loop), "ok" and "failed" counts, the loop's CPU time "user_ms", "sys_ms", and "connections" (new
// connections the bare loop made); exits 1 when any upload failed. For HTTPS with a private CA both
// loops take the CA file from VESK_CA_FILE, as the uploader does.

#include "cycle/CycleNames.h"
#include "http/HttpTransfer.h"
#include "http/Multipart.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Body {
    QByteArray prefix;
    int fd = -1;
    curl_off_t fileSize = 0;
    QByteArray suffix;
    curl_off_t position = 0;
    curl_off_t total = 0;
};

size_t readBody(char *buffer, size_t size, size_t count, void *user)
{
    auto &b = *static_cast<Body *>(user);
    const size_t room = size * count;
    size_t written = 0;
    const curl_off_t prefixEnd = b.prefix.size();
    const curl_off_t fileEnd = prefixEnd + b.fileSize;
    while (written < room && b.position < b.total) {
        size_t n = 0;
        if (b.position < prefixEnd) {
            n = std::min(room - written, static_cast<size_t>(prefixEnd - b.position));
            std::memcpy(buffer + written, b.prefix.constData() + b.position, n);
        } else if (b.position < fileEnd) {
            const curl_off_t offset = b.position - prefixEnd;
            const size_t want = std::min(room - written, static_cast<size_t>(b.fileSize - offset));
            const ssize_t got = ::pread(b.fd, buffer + written, want, static_cast<off_t>(offset));
            if (got <= 0)
                return CURL_READFUNC_ABORT;
            n = static_cast<size_t>(got);
        } else {
            const curl_off_t offset = b.position - fileEnd;
            n = std::min(room - written, static_cast<size_t>(b.suffix.size() - offset));
            std::memcpy(buffer + written, b.suffix.constData() + offset, n);
        }
        written += n;
        b.position += static_cast<curl_off_t>(n);
    }
    return written;
}

int seekBody(void *user, curl_off_t offset, int origin)
{
    auto &b = *static_cast<Body *>(user);
    if (origin != SEEK_SET || offset < 0 || offset > b.total)
        return CURL_SEEKFUNC_FAIL;
    b.position = offset;
    return CURL_SEEKFUNC_OK;
}

size_t keepReply(char *data, size_t size, size_t count, void *user)
{
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

double cpuMs(const timeval &t)
{
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
}

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char **argv)
{
    QString url, event, list;
    QString user = QStringLiteral("photographer");
    QString password = QStringLiteral("s3cret");
    QString transport = QStringLiteral("curl");
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString key = QString::fromLocal8Bit(argv[i]);
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (key == QLatin1String("--url"))
            url = value;
        else if (key == QLatin1String("--event"))
            event = value;
        else if (key == QLatin1String("--list"))
            list = value;
        else if (key == QLatin1String("--user"))
            user = value;
        else if (key == QLatin1String("--password"))
            password = value;
        else if (key == QLatin1String("--transport"))
            transport = value;
    }
    if (url.isEmpty() || event.isEmpty() || list.isEmpty()) {
        std::fputs(
            "usage: vesk-bench-tight-loop --url URL --event NAME --list FILE [--user U] [--password P]\n", stderr);
        return 2;
    }
    QFile listFile(list);
    if (!listFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(list));
        return 2;
    }
    QStringList pictures;
    for (const QByteArray &line : listFile.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            pictures << QFile::decodeName(line.trimmed());

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *easy = curl_easy_init();
    const QByteArray urlBytes = url.toUtf8();
    const QByteArray contentType = "Content-Type: " + vesk::multipartContentType();
    curl_slist *headers = curl_slist_append(nullptr, contentType.constData());
    headers = curl_slist_append(headers, "Expect:");
    const QByteArray suffix = vesk::multipartSuffix();

    const bool product = transport == QLatin1String("product");
    vesk::HttpTransfer productTransfer;
    const vesk::TransferTimeouts timeouts;

    using K = vesk::CycleNames;
    const QByteArray caFile = qgetenv("VESK_CA_FILE");
    long connections = 0;
    int ok = 0;
    int failed = 0;
    struct rusage before { };
    ::getrusage(RUSAGE_SELF, &before);
    const long long start = nowMs();
    for (const QString &path : pictures) {
        // The same record the scan builds, with the values the sample pictures carry.
        vesk::Info record;
        record.insert(K::cDictKeyUser, user);
        record.insert(K::cDictKeyPasswd, password);
        record.insert(K::cDictKeyEventName, event);
        record.insert(K::cDictKeyClientName, QFileInfo(path).completeBaseName());
        record.insert(K::cDictKeyCaptureTime, QStringLiteral("2026-12-06 13:45:00"));
        record.insert(K::cDictKeyMetaData, QString());
        record.insert(K::cDictKeyKobFuseAction, QStringLiteral("upload.upload"));
        record.insert(K::cDictKeyEmails, QStringLiteral("guest@example.com,family@example.com"));
        record.insert(K::cDictKeyOriginalPath,
            QString(QStringLiteral("/Volumes/Card/DCIM/100CANON/") + QFileInfo(path).fileName()));
        record.insert(K::cDictKeyFileName, path);

        Body body;
        body.prefix = vesk::multipartPrefix(record);
        body.suffix = suffix;
        body.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info { };
        if (body.fd < 0 || ::fstat(body.fd, &info) != 0) {
            ++failed;
            if (body.fd >= 0)
                ::close(body.fd);
            continue;
        }
        body.fileSize = info.st_size;
        body.total = body.prefix.size() + body.fileSize + body.suffix.size();

        if (product) {
            vesk::TransferRequest request;
            request.url = urlBytes;
            request.contentType = vesk::multipartContentType();
            request.prefix = body.prefix;
            request.fd = body.fd;
            request.fileSize = body.fileSize;
            request.suffix = body.suffix;
            request.timeouts = timeouts;
            const vesk::TransferOutcome outcome = productTransfer.post(request);
            ::close(body.fd);
            if (!outcome.error && outcome.statusCode == 200 && outcome.body
                && outcome.body->contains("<status>OK</status>")) {
                ++ok;
            } else {
                ++failed;
                std::fprintf(stderr, "failed: %s (HTTP %ld)\n", qPrintable(path), outcome.statusCode);
            }
            continue;
        }

        std::string reply;
        curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, body.total);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, &body);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, seekBody);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &body);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepReply);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
        if (!caFile.isEmpty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
        const CURLcode rc = curl_easy_perform(easy);
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        long made = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &made);
        connections += made;
        ::close(body.fd);
        if (rc == CURLE_OK && status == 200 && reply.find("<status>OK</status>") != std::string::npos) {
            ++ok;
        } else {
            ++failed;
            std::fprintf(stderr, "failed: %s (%s, HTTP %ld)\n", qPrintable(path), curl_easy_strerror(rc), status);
        }
    }
    const long long end = nowMs();
    struct rusage after { };
    ::getrusage(RUSAGE_SELF, &after);
    std::printf("start_ms %lld\nend_ms %lld\nok %d\nfailed %d\nuser_ms %.3f\nsys_ms %.3f\nconnections %ld\n", start,
        end, ok, failed, cpuMs(after.ru_utime) - cpuMs(before.ru_utime), cpuMs(after.ru_stime) - cpuMs(before.ru_stime),
        connections);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    curl_global_cleanup();
    return failed == 0 ? 0 : 1;
}
