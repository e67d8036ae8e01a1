#pragma once
// The windowed front end: builds the main window, the login and preference panel and the utility
// window from their interface descriptions, hands their elements to the controller as outlets and
// routes their actions and window events to it. It also answers the controller's requests for
// alerts, sounds, file panels and hiding. Main thread.

#include "app/Outlets.h"

#include <QObject>
#include <QPointer>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class QMainWindow;
class QTimer;
class QWidget;

namespace Ui {
class MainWindow;
class UtilityWindow;
} // namespace Ui

namespace vesk {

class AppController;
class PrefBindings;
class TrayIcon;
class TrayModel;
class WidgetWindow;
class newNSPanel;

class FrontEnd : public QObject, public UserInterface {
    Q_OBJECT
public:
    explicit FrontEnd(AppController &controller);
    ~FrontEnd() override;

    // Shows the main window after launching, unless the application was hidden meanwhile.
    void show();
    QMainWindow *mainWindow() const { return fMainWindow.get(); }
    Ui::MainWindow &mainForm() const { return *fMainForm; }
    newNSPanel *panel() const { return fPanel.get(); }
    QWidget *utilityWindow() const { return fUtilWindow.get(); }
    // Shows the store's current values in every bound field of every window.
    void refreshBindings();
    // Shows the cycle's own figures beside the status lines: where the pictures go, the counts, the
    // last upload, and a refusal of the settings in red. On each event of the cycle and every second.
    void refreshStatus();

    int runAlert(const QString &title, const QString &message, const QString &defaultButton,
        const QString &alternateButton, const QString &otherButton) override;
    void beep() override;
    bool playSound(const QString &name) override;
    void hideApplication() override;
    bool beginFilePanel(
        const FilePanelRequest &request, std::function<void(int returnCode, const QString &path)> didEnd) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    template <class Outlet, class Widget> Outlet *make(Widget *widget, WidgetWindow *window);
    void buildMainWindow();
    void buildPanel();
    void buildUtilityWindow();
    void watchWindowEvents(QWidget *window);
    QWidget *widgetFor(WindowOutlet *window) const;
    void confirmRelaunch();

    AppController &fController;
    std::unique_ptr<QMainWindow> fMainWindow;
    std::unique_ptr<Ui::MainWindow> fMainForm;
    std::unique_ptr<WidgetWindow> fMainWindowOutlet;
    std::unique_ptr<newNSPanel> fPanel;
    std::unique_ptr<QWidget> fUtilWindow;
    std::unique_ptr<Ui::UtilityWindow> fUtilForm;
    std::unique_ptr<WidgetWindow> fUtilWindowOutlet;
    PrefBindings *fMainBindings = nullptr;
    std::vector<std::unique_ptr<ViewOutlet>> fOutlets;
    QTimer *fStatusTimer = nullptr;
    bool fApplicationHidden = false;
    bool fClosingForQuit = false;
    // Sound resources are played from private copies in here.
    std::unique_ptr<QTemporaryDir> fSoundFolder;
    // Where a system tray exists: the icon, and closing the main window only hides it.
    std::unique_ptr<TrayModel> fTrayModel;
    std::unique_ptr<TrayIcon> fTray;
};

} // namespace vesk
