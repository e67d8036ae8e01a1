#include "ControllerFixture.h"

#include "app/Paths.h"
#include "diag/MessageLog.h"

#include <QDir>

namespace vesk::test {

ControllerFixture::ControllerFixture(AppOptions options, bool create)
    : store(std::make_shared<PreferenceStore>(paths::preferencesFile()))
{
    AppController::initialize(*store, options.factoryDefaultsResource);
    MessageLog::InitLog();
    if (create)
        this->create(std::move(options));
}

ControllerFixture::~ControllerFixture()
{
    if (controller)
        controller->stopWorkers();
    controller.reset();
    MessageLog::CloseLog();
}

void ControllerFixture::create(AppOptions options)
{
    if (controller)
        controller->stopWorkers();
    controller.reset();
    options.store = store;
    controller = std::make_unique<AppController>(options);
    if (!options.headless)
        controller->fUi = &ui;
}

void ControllerFixture::setValidSettings(const QString &source, const QString &mirror)
{
    QDir().mkpath(source);
    QDir().mkpath(mirror);
    set(PrefKeys::sPrefLocalSourceUploadFolder, source);
    set(PrefKeys::sPrefLocalMasterMirrorSiteFolder, mirror);
    set(PrefKeys::sUserLoginName, QStringLiteral("ann"));
    set(PrefKeys::sUserLoginPassword, QStringLiteral("secret"));
    set(PrefKeys::sPrefUserEnteredEventName, QStringLiteral("Wedding"));
}

QString ControllerFixture::log() const
{
    flushRepeatedLines(true); // with the counts held back so far; the next of each is written in full
    return readText(MessageLog::currentPath());
}

} // namespace vesk::test
