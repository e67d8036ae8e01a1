#pragma once
// The one controller fixture: an AppController in the current TempProfile (declare one first) on a
// preference store with the factory defaults registered, its message log in the profile, and, with
// windows (not headless), the fake user interface. Tests wire further fake outlets themselves.

#include "FakeOutlets.h"
#include "TestSupport.h"

#include "app/AppController.h"

#include <memory>

namespace vesk::test {

class ControllerFixture {
public:
    // Without create, the controller is made later by create().
    explicit ControllerFixture(AppOptions options = {}, bool create = true);
    ~ControllerFixture();
    ControllerFixture(const ControllerFixture &) = delete;
    ControllerFixture &operator=(const ControllerFixture &) = delete;

    void create(AppOptions options);
    AppController *operator->() const { return controller.get(); }
    AppController &operator*() const { return *controller; }
    void set(const QString &key, const QVariant &value) { store->setObject(key, value); }
    // Folders, login, password and event: everything a pass needs.
    void setValidSettings(const QString &source, const QString &mirror);
    QString log() const; // the message log so far

    std::shared_ptr<PreferenceStore> store;
    std::unique_ptr<AppController> controller;
    FakeUi ui;
    ConsoleRecorder console;
};

} // namespace vesk::test
