#pragma once
// A whole uploader in the test process: a private profile with source and mirror folders, the
// controller launched headless against the real substitute service on loopback, and waits on what
// the cycle does.

#include "ServiceProcess.h"
#include "TestSupport.h"

#include "app/AppController.h"

#include <memory>

namespace vesk::test {

class CycleHarness {
public:
    explicit CycleHarness(const QStringList &serviceArguments = {});
    ~CycleHarness();

    // Writes the preferences a pass needs (folders, login, event); auto-synchronize off.
    void writeValidPreferences();
    // Creates the controller and runs the launch steps up to (not including) did-finish-launching.
    void launch(double timeScale = 0.02);

    QString sourcePath(const QString &relative) const { return source + QLatin1Char('/') + relative; }
    QString mirrorPath(const QString &relative) const { return mirror + QLatin1Char('/') + relative; }
    QString problemPath(const QString &relative) const { return problem + QLatin1Char('/') + relative; }
    // A picture with distinct bytes; returns the bytes written.
    QByteArray picture(const QString &relative, int size = 4096);

    // Asks for a pass over the source folder, as the buttons and timers do (through a re-open).
    void pass();
    // No scan, upload or opening under way and no worker but the long-lived watcher running.
    bool idle() const;
    bool waitIdle(std::chrono::milliseconds limit = std::chrono::seconds(30));
    int uploadCount() const { return service.uploads().size(); }
    QString log() const;

    TempProfile profile;
    ServiceProcess service;
    QString source, mirror, problem;
    std::shared_ptr<PreferenceStore> store;
    std::unique_ptr<AppController> controller;
    ConsoleRecorder console;
};

} // namespace vesk::test
