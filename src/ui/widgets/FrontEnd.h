#pragma once
// The windowed front end: builds the windows from their interface descriptions, hands their
// elements to the controller as outlets and routes their actions to it. Main thread.

#include "app/Outlets.h"

#include <QObject>

#include <memory>
#include <vector>

class QMainWindow;

namespace vesk {

class AppController;
class WidgetWindow;

class FrontEnd : public QObject, public UserInterface {
    Q_OBJECT
public:
    explicit FrontEnd(AppController &controller);
    ~FrontEnd() override;

    void show();
    QMainWindow *mainWindow() const { return fMainWindow.get(); }

    int runAlert(const QString &title, const QString &message, const QString &defaultButton,
        const QString &alternateButton, const QString &otherButton) override;
    void beep() override;
    bool playSound(const QString &name) override;
    void hideApplication() override;

private:
    template <class Outlet, class Widget> Outlet *make(Widget *widget, WidgetWindow *window);

    AppController &fController;
    std::unique_ptr<QMainWindow> fMainWindow;
    std::unique_ptr<WidgetWindow> fMainWindowOutlet;
    std::vector<std::unique_ptr<ViewOutlet>> fOutlets;
};

} // namespace vesk
