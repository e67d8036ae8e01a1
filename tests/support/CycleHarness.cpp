#include "CycleHarness.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <stdexcept>

namespace vesk::test {

CycleHarness::CycleHarness(const QStringList &serviceArguments)
    : Scenario(serviceArguments)
    , ControllerFixture(AppOptions {}, false)
{
    if (!service.start())
        throw std::runtime_error("the photo service did not start: " + service.errorString().toStdString());
}

void CycleHarness::writeValidPreferences()
{
    setValidSettings(source, mirror);
    set(PrefKeys::sPrefAutoSynchronize, false);
}

void CycleHarness::launch(double timeScale)
{
    AppOptions options;
    options.headless = true;
    options.endpoint = service.url();
    options.timeScale = timeScale;
    create(options);
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

} // namespace vesk::test
