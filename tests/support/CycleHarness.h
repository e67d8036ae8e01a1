#pragma once
// A whole uploader in the test process: the scenario's folders, service and pictures (Scenario),
// with the controller (ControllerFixture) launched headless against the service, and waits on what
// the cycle does. The service is running once it is constructed.

#include "ControllerFixture.h"
#include "Scenario.h"

namespace vesk::test {

class CycleHarness : public Scenario, public ControllerFixture {
public:
    explicit CycleHarness(const QStringList &serviceArguments = {});

    // Stores the preferences a pass needs (folders, login "ann", event "Wedding"); auto-synchronize off.
    void writeValidPreferences();
    // Creates the controller and runs the launch steps up to (not including) did-finish-launching.
    void launch(double timeScale = 0.02);

    // A picture with distinct bytes (not tracked); returns the bytes written.
    QByteArray picture(const QString &relative, int size = 4096);

    // Asks for a pass over the source folder, as the buttons and timers do (through a re-open).
    void pass();
    // No scan, upload or opening under way and no worker but the long-lived watcher running.
    bool idle() const;
    bool waitIdle(std::chrono::milliseconds limit = std::chrono::seconds(30));
    int uploadCount() const { return service.uploads().size(); }
};

} // namespace vesk::test
