// vesk-ftpuploader: the hot-folder uploader. Hands control to the application's event loop.

#include "app/AppController.h"
#include "app/Paths.h"
#include "app/SignalHandler.h"
#include "diag/Console.h"
#include "ui/widgets/FrontEnd.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    QString endpoint;
    QString folder;
    QString error;
};

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
    std::fputs("Usage: vesk-ftpuploader [--headless] [--endpoint URL] [FOLDER]\n"
               "\n"
               "Uploads the pictures copied into sub-folders of the source folder to the photo service,\n"
               "then moves each one into the mirror folder (or the problem folder when the service\n"
               "rejects it).\n"
               "\n"
               "  --headless      run without windows (the default when there is no display); status\n"
               "                  lines go to standard output, SIGTERM and SIGINT quit\n"
               "  --endpoint URL  the upload endpoint (else $VESK_UPLOAD_URL, else the built-in one)\n"
               "  FOLDER          start a pass over this folder once launched\n"
               "  --version       print the version and exit\n"
               "  --help          print this help and exit\n"
               "\n"
               "Exit status: 0 after a normal quit, 2 for a bad command line.\n",
        stream);
}

bool haveDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char **argv)
{
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

    // VESK_HEADLESS=1 keeps a relaunched instance headless like the one it replaces.
    const bool headless = line.headless || !haveDisplay() || qEnvironmentVariable("VESK_HEADLESS") == QLatin1String("1");
    std::unique_ptr<QCoreApplication> app;
    if (headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral(VESK_DISPLAY_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESK_VERSION));

    vesk::AppOptions options;
    options.store = std::make_shared<vesk::PreferenceStore>(vesk::paths::preferencesFile());
    options.headless = headless;
    options.endpoint = line.endpoint;
    bool scaleOk = false;
    const double scale = qEnvironmentVariable("VESK_TIME_SCALE").toDouble(&scaleOk);
    if (scaleOk && scale > 0)
        options.timeScale = scale;

    vesk::AppController::initialize(*options.store, options.factoryDefaultsResource);
    auto controller = std::make_unique<vesk::AppController>(options);
    std::unique_ptr<vesk::FrontEnd> frontEnd;
    if (!headless)
        frontEnd = std::make_unique<vesk::FrontEnd>(*controller);

    vesk::SignalHandler signalHandler([&controller](int) { controller->terminate(); });

    controller->awakeFromNib();
    controller->applicationWillFinishLaunching();
    if (frontEnd)
        frontEnd->show();

    const QString folder = line.folder.isEmpty() ? QString() : QFileInfo(line.folder).absoluteFilePath();
    QTimer::singleShot(0, controller.get(), [&controller, folder] {
        controller->applicationDidFinishLaunching();
        if (!folder.isEmpty())
            controller->applicationOpenFile(folder);
    });

    const int status = QCoreApplication::exec();
    if (!controller->stopWorkers()) {
        // A worker that would not stop may still use the controller: leave both to the exit.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    frontEnd.reset();
    controller.reset();
    return status;
}
