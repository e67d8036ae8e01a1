#include "CycleHarness.h"

#include "app/Paths.h"
#include "diag/MessageLog.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>

#include <stdexcept>

namespace vesk::test {

CycleHarness::CycleHarness(const QStringList &serviceArguments)
    : service(serviceArguments)
{
    source = profile.path(QStringLiteral("source"));
    mirror = profile.path(QStringLiteral("mirror"));
    problem = profile.path(QStringLiteral("Problem Folder"));
    QDir().mkpath(source);
    QDir().mkpath(mirror);
    if (!service.start())
        throw std::runtime_error("the photo service did not start: " + service.errorString().toStdString());
    store = std::make_shared<PreferenceStore>(paths::preferencesFile());
}

CycleHarness::~CycleHarness()
{
    if (controller)
        controller->stopWorkers();
    controller.reset();
    MessageLog::CloseLog();
}

void CycleHarness::writeValidPreferences()
{
    store->setObject(PrefKeys::sPrefLocalSourceUploadFolder, source);
    store->setObject(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirror);
    store->setObject(PrefKeys::sUserLoginName, QStringLiteral("ann"));
    store->setObject(PrefKeys::sUserLoginPassword, QStringLiteral("secret"));
    store->setObject(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Wedding"));
    store->setObject(PrefKeys::sPrefAutoSynchronize, false);
}

void CycleHarness::launch(double timeScale)
{
    AppOptions options;
    options.store = store;
    options.headless = true;
    options.endpoint = service.url();
    options.timeScale = timeScale;
    AppController::initialize(*store, options.factoryDefaultsResource);
    controller = std::make_unique<AppController>(options);
    controller->awakeFromNib();
    controller->applicationWillFinishLaunching();
}

QByteArray CycleHarness::picture(const QString &relative, int size)
{
    QByteArray bytes = QCryptographicHash::hash(relative.toUtf8(), QCryptographicHash::Sha256);
    while (bytes.size() < size)
        bytes += bytes;
    bytes.truncate(size);
    writeFile(sourcePath(relative), bytes);
    return bytes;
}

void CycleHarness::pass()
{
    controller->requestReopen();
}

bool CycleHarness::idle() const
{
    const int longLived = controller->gIsInWatchFolderInstaller ? 1 : 0;
    return !controller->gIsScanning && !controller->gStartedUploadProcess && !controller->gInsideOpenFile
        && controller->liveWorkerCount() <= longLived;
}

bool CycleHarness::waitIdle(std::chrono::milliseconds limit)
{
    // Idle must hold on two looks in a row: a pass hands over to the next through a new worker.
    return waitFor([this] { return idle() && (QCoreApplication::processEvents(), idle()); }, limit);
}

QString CycleHarness::log() const
{
    return readText(MessageLog::defaultPath());
}

} // namespace vesk::test
