// vesk-photo-service: a stand-in for the photo-sharing service, for the demonstration, the tests and the
// benchmarks. It listens on 127.0.0.1 only and ends cleanly on SIGTERM or SIGINT.

#include "HttpServer.h"
#include "PhotoService.h"
#include "ServiceLog.h"
#include "ServiceOptions.h"
#include "SocketStream.h"
#include "UploadStore.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>

#include <pthread.h>

using namespace vesk::service;

int main(int argc, char *argv[])
{
    // The termination signals are taken by sigwait below; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vesk-photo-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESK_VERSION));

    ServiceOptions options;
    QString message;
    switch (parseCommandLine(QCoreApplication::arguments(), options, message)) {
    case CommandLine::Help:
    case CommandLine::Version:
        std::fputs(message.toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Invalid:
        std::fprintf(stderr, "vesk-photo-service: %s\nTry 'vesk-photo-service --help' for more information.\n",
            message.toLocal8Bit().constData());
        return 2;
    case CommandLine::Run:
        break;
    }

    std::shared_ptr<const TlsContext> tls;
    if (!options.tlsCertificate.isEmpty()) {
        std::string error;
        tls = TlsContext::load(QFile::encodeName(options.tlsCertificate).toStdString(),
            QFile::encodeName(options.tlsKey).toStdString(), error);
        if (!tls) {
            std::fprintf(stderr, "vesk-photo-service: %s\nTry 'vesk-photo-service --help' for more information.\n",
                error.c_str());
            return 2;
        }
    }

    UploadStore store(options.storage);
    if (!store.prepare(message)) {
        std::fprintf(stderr, "vesk-photo-service: %s\n", message.toLocal8Bit().constData());
        return 1;
    }
    PhotoService service(options, store);
    HttpServer server(
        [&service](const HttpRequest &request, HttpExchange &exchange) { service.handle(request, exchange); },
        [](const std::string &line) { logLine(QString::fromStdString(line)); });
    server.setTls(tls);
    server.setLinkModel({ std::chrono::milliseconds(options.latencyMs), options.rateKbit });
    std::string error;
    const int port = server.listen(options.port, error);
    if (port < 0) {
        std::fprintf(stderr, "vesk-photo-service: %s\n", error.c_str());
        return 1;
    }
    logLine(QStringLiteral("storing pictures in ") + store.root() + QStringLiteral(", ")
        + (options.checkLogins ? QString::number(options.users.size()) + QStringLiteral(" logins accepted")
                               : QStringLiteral("every login accepted"))
        + QStringLiteral(", ") + QString::number(options.rules.size()) + QStringLiteral(" rules")
        + (options.latencyMs > 0 || options.rateKbit > 0
                ? QStringLiteral(", link model: latency %1 ms, rate %2")
                      .arg(options.latencyMs)
                      .arg(options.rateKbit > 0 ? QString::number(options.rateKbit) + QStringLiteral(" kbit/s")
                                                : QStringLiteral("unlimited"))
                : QString()));
    std::printf("listening on %s://127.0.0.1:%d\n", tls ? "https" : "http", port);
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) { }
    logLine(QStringLiteral("stopping on ") + QLatin1String(received == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    return 0;
}
