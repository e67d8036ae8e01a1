// vesk-ftpuploader: the hot-folder uploader. Hands control to the application's event loop.

#include "app/AppController.h"
#include "app/Paths.h"
#include "app/SignalHandler.h"
#include "cycle/Metrics.h"
#include "diag/Console.h"
#include "scripting/CommandClient.h"
#include "scripting/CommandProtocol.h"
#include "scripting/CommandServer.h"
#include "scripting/InstanceLock.h"
#include "ui/DesktopNotifier.h"
#include "ui/widgets/FrontEnd.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSysInfo>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <pwd.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    QString endpoint;
    QString metricsTextfile;
    QString metricsLabel;
    QString folder;
    QString error;
};

// The option of the list that the argument is, given as "--name VALUE" or "--name=VALUE"; null if none.
const char *valueOption(const char *arg, std::initializer_list<const char *> options)
{
    for (const char *option : options) {
        const size_t length = std::strlen(option);
        if (std::strncmp(arg, option, length) == 0 && (arg[length] == '\0' || arg[length] == '='))
            return option;
    }
    return nullptr;
}

// The metrics options; a relaunched instance gets them from the environment.
QString metricsTextfile(const CommandLine &line)
{
    const QString path
        = line.metricsTextfile.isEmpty() ? qEnvironmentVariable("VESK_METRICS_TEXTFILE") : line.metricsTextfile;
    return path.isEmpty() ? path : QFileInfo(path).absoluteFilePath();
}

QString metricsLabel(const CommandLine &line)
{
    if (!line.metricsLabel.isEmpty())
        return line.metricsLabel;
    if (const QString label = qEnvironmentVariable("VESK_METRICS_LABEL"); !label.isEmpty())
        return label;
    const passwd *user = ::getpwuid(::getuid());
    return QStringLiteral("%1@%2").arg(
        user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::getuid()), QSysInfo::machineHostName());
}

CommandLine parseCommandLine(int argc, char **argv)
{
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--headless") == 0) {
            line.headless = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            line.help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            line.version = true;
        } else if (std::strcmp(arg, "--endpoint") == 0) {
            if (i + 1 >= argc) {
                line.error = QStringLiteral("--endpoint needs a URL");
                return line;
            }
            line.endpoint = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strncmp(arg, "--endpoint=", 11) == 0) {
            line.endpoint = QString::fromLocal8Bit(arg + 11);
        } else if (const char *option = valueOption(arg, { "--metrics-textfile", "--metrics-label" })) {
            const char *value = std::strchr(arg, '=') ? std::strchr(arg, '=') + 1 : nullptr;
            if (!value && i + 1 < argc)
                value = argv[++i];
            if (!value || !*value) {
                line.error = QStringLiteral("%1 needs a value").arg(QLatin1String(option));
                return line;
            }
            (std::strcmp(option, "--metrics-label") == 0 ? line.metricsLabel : line.metricsTextfile)
                = QString::fromLocal8Bit(value);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            line.error = QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(arg));
            return line;
        } else if (line.folder.isEmpty()) {
            line.folder = QFile::decodeName(arg);
        } else {
            line.error = QStringLiteral("only one FOLDER may be given");
            return line;
        }
    }
    return line;
}

void printUsage(FILE *stream)
{
    std::fputs("Usage: vesk-ftpuploader [--headless] [--endpoint URL] [--metrics-textfile PATH]\n"
               "                        [--metrics-label LABEL] [FOLDER]\n"
               "\n"
               "Uploads the pictures copied into sub-folders of the source folder to the photo service,\n"
               "then moves each one into the mirror folder (or the problem folder when the service\n"
               "rejects it).\n"
               "\n"
               "  --headless      run without windows (the default when there is no display); status\n"
               "                  lines go to standard output, SIGTERM and SIGINT quit\n"
               "  --endpoint URL  the upload endpoint, an http:// or https:// URL with a host (else\n"
               "                  $VESK_UPLOAD_URL, else the built-in one); another is refused\n"
               "  --metrics-textfile PATH\n"
               "                  keep the figures in PATH (a name ending in .prom) for node_exporter's\n"
               "                  textfile collector: written within 1 s of every outcome, at least\n"
               "                  every 15 s; `vesk-ctl metrics` prints the same\n"
               "  --metrics-label LABEL\n"
               "                  the booth label of every figure (default user@host)\n"
               "  FOLDER          start a pass over this folder once launched\n"
               "  --version       print the version and exit\n"
               "  --help          print this help and exit\n"
               "\n"
               "Only one instance runs per user. A second launch hands its FOLDER to the running one\n"
               "(or, without a FOLDER, brings it to the front) and exits.\n"
               "\n"
               "Exit status: 0 after a normal quit or a hand-over, 1 when the running instance refuses\n"
               "the folder or when the single-instance lock or the command channel cannot be had (a\n"
               "runtime folder that is not the user's own with mode 0700, a socket path over 107 bytes),\n"
               "2 for a bad command line or when the running instance does not answer,\n"
               "$VESK_RELAUNCH_EXIT after a relaunch when it is set.\n",
        stream);
}

bool haveDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// A second launch: the folder (absolute) goes to the running instance as an open-document request;
// without one, the running instance is asked to come to the front. Answers the exit status (1 when
// the running instance refuses the folder).
int handOverToRunningInstance(const vesk::InstanceLock &lock, const QString &folder, bool headless, double timeScale)
{
    using namespace vesk;
    QString name = QStringLiteral(VESK_DISPLAY_NAME);
    if (lock.holderPid() > 0)
        name += QStringLiteral(" (process %1)").arg(lock.holderPid());

    CommandRequest request;
    if (folder.isEmpty()) {
        request.eventClass = kAEMiscStandards;
        request.eventID = kAEActivate;
    } else {
        request.eventClass = kCoreEventClass;
        request.eventID = kAEOpenDocuments;
        request.params = QStringList { folder };
    }
    // The running instance may still be starting: its channel opens a moment after the lock.
    const auto limit = std::chrono::milliseconds(std::llround(10000.0 * timeScale));
    const CommandExchange exchange
        = exchangeCommandWhenListening(paths::commandSocketFile(), encodeCommandRequest(request), limit);
    if (exchange.status != CommandExchange::Status::Answered) {
        std::fprintf(stderr, "vesk-ftpuploader: %s is already running but does not answer: %s\n",
            name.toLocal8Bit().constData(), exchange.error.toLocal8Bit().constData());
        return 2;
    }
    const ReplyParseResult reply = parseReplyLine(exchange.replyLine);
    if (reply.kind != ReplyParseResult::Kind::Reply) {
        std::fprintf(stderr, "vesk-ftpuploader: %s is already running and refused the request: %s\n",
            name.toLocal8Bit().constData(), reply.error.toLocal8Bit().constData());
        return 2;
    }
    const QStringList answer = reply.reply.flattened();
    if (!answer.isEmpty() && answer.first() == QLatin1String("COMMAND FAILED")) {
        std::fprintf(stderr, "vesk-ftpuploader: %s is already running and refused the folder: %s\n",
            name.toLocal8Bit().constData(), reply.reason.toLocal8Bit().constData());
        return 1;
    }
    if (!folder.isEmpty())
        std::printf("%s is already running; the folder %s was handed to it.\n", name.toLocal8Bit().constData(),
            QFile::encodeName(folder).constData());
    else if (headless)
        std::printf("%s is already running.\n", name.toLocal8Bit().constData());
    else
        std::printf("%s is already running; it was brought to the front.\n", name.toLocal8Bit().constData());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The cycle's work moves from thread to thread, one step at a time, so its threads seldom
    // allocate at once: one allocation arena for all of them. An arena per thread held freed memory
    // apart (about 15 MiB more at a backlog of 100,000 pictures; two arenas still 12 MiB more than
    // one when 100,000 pictures had each failed once), with no gain in speed.
    ::mallopt(M_ARENA_MAX, 1);
    vesk::survivePipeWritesWithoutReader();
    const CommandLine line = parseCommandLine(argc, argv);
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "vesk-ftpuploader: %s\n", line.error.toLocal8Bit().constData());
        printUsage(stderr);
        return 2;
    }
    if (line.help) {
        printUsage(stdout);
        return 0;
    }
    if (line.version) {
        std::printf("vesk-ftpuploader %s\n", VESK_VERSION);
        return 0;
    }

    const QString textfile = metricsTextfile(line);
    if (const QString refusal = vesk::metrics::Textfile::refusal(textfile); !textfile.isEmpty() && !refusal.isEmpty()) {
        std::fprintf(stderr, "vesk-ftpuploader: --metrics-textfile: %s\n", refusal.toLocal8Bit().constData());
        return 2;
    }

    // VESK_HEADLESS=1 keeps a relaunched instance headless like the one it replaces.
    const bool headless
        = line.headless || !haveDisplay() || qEnvironmentVariable("VESK_HEADLESS") == QLatin1String("1");
    double timeScale = 1.0;
    bool scaleOk = false;
    const double scale = qEnvironmentVariable("VESK_TIME_SCALE").toDouble(&scaleOk);
    if (scaleOk && scale > 0)
        timeScale = scale;
    const QString folder = line.folder.isEmpty() ? QString() : QFileInfo(line.folder).absoluteFilePath();

    // One instance per user, decided before any window, log or preference is touched. The lock is
    // held until the process ends; its holder replaces a socket file that nobody listens on. Without
    // the lock and the command channel the program does not run: two instances would share folders.
    if (const QByteArray socket = QFile::encodeName(vesk::paths::commandSocketFile());
        static_cast<size_t>(socket.size()) >= sizeof(sockaddr_un::sun_path)) {
        std::fprintf(stderr,
            "vesk-ftpuploader: the command socket's path %s is %lld bytes long; the system allows at most %zu "
            "(%zu with the closing zero): set XDG_RUNTIME_DIR to a shorter folder\n",
            socket.constData(), static_cast<long long>(socket.size()), sizeof(sockaddr_un::sun_path) - 1,
            sizeof(sockaddr_un::sun_path));
        return 1;
    }
    const vesk::InstanceLock instanceLock(vesk::paths::runtimeFolder() + QStringLiteral("/instance.lock"));
    switch (instanceLock.state()) {
    case vesk::InstanceLock::State::Held:
        break;
    case vesk::InstanceLock::State::HeldByOther:
        return handOverToRunningInstance(instanceLock, folder, headless, timeScale);
    case vesk::InstanceLock::State::Unavailable:
        std::fprintf(stderr, "vesk-ftpuploader: cannot make sure that only one instance runs: %s\n",
            instanceLock.error().toLocal8Bit().constData());
        return 1;
    }

    std::unique_ptr<QCoreApplication> app;
    if (headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    if (!headless) {
        // The installed desktop entry and icon: desktops match the windows to them by this name.
        QGuiApplication::setDesktopFileName(QStringLiteral("vesk-ftpuploader"));
        QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vesk-ftpuploader")));
    }
    QCoreApplication::setApplicationName(QStringLiteral(VESK_DISPLAY_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESK_VERSION));

    vesk::AppOptions options;
    options.store = std::make_shared<vesk::PreferenceStore>(vesk::paths::preferencesFile());
    options.headless = headless;
    options.endpoint = line.endpoint;
    options.metricsTextfile = textfile;
    options.metricsLabel = metricsLabel(line);
    options.timeScale = timeScale;

    vesk::AppController::initialize(*options.store, options.factoryDefaultsResource);
    auto controller = std::make_unique<vesk::AppController>(options);
    auto notifier = std::make_unique<vesk::DesktopNotifier>(controller->cycleStatus(), *options.store, timeScale);
    notifier->setNextTry([c = controller.get()]() -> std::optional<QDateTime> {
        const vesk::AppController::StatusReport report = c->statusReport();
        if (report.cycle.awaySince.isValid())
            return report.cycle.nextCheck;
        return report.nextRetry ? report.nextRetry : report.nextPass;
    });
    std::unique_ptr<vesk::FrontEnd> frontEnd;
    if (!headless)
        frontEnd = std::make_unique<vesk::FrontEnd>(*controller);

    vesk::SignalHandler signalHandler([&controller](int) { controller->terminate(); });

    controller->awakeFromNib();
    controller->applicationWillFinishLaunching();
    // Without its command channel nobody could reach this instance, nor see that it runs.
    const bool reachable = controller->findChild<vesk::CommandServer *>(QString(), Qt::FindDirectChildrenOnly);
    if (!reachable)
        std::fprintf(stderr, "vesk-ftpuploader: the command channel cannot be opened (the line above says why)\n");
    if (frontEnd && reachable)
        frontEnd->show();

    QTimer::singleShot(0, controller.get(), [&controller, folder] {
        controller->applicationDidFinishLaunching();
        if (!folder.isEmpty())
            controller->applicationOpenFile(folder);
    });

    const int status = reachable ? QCoreApplication::exec() : 1;
    // After a quit the workers have had their time already: the quit's bound holds.
    if (!controller->stopWorkers(controller->isTerminating() ? 0 : vesk::AppController::kQuitWorkerWaitMs)) {
        // A worker that would not stop may still use the controller: leave both to the exit.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    vesk::disarmQuitWatchdog();
    frontEnd.reset();
    notifier.reset();
    controller.reset();
    return status;
}
