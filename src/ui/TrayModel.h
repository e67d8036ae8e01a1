#pragma once
// TrayModel: what the tray icon shows and offers, kept apart from the widget so that it can be
// checked where no system tray exists: the icon's name and tool tip, from the controller's status,
// and the menu's actions, which take the same paths as the main window's buttons. Main thread.

#include <QList>
#include <QObject>
#include <QString>

class QTimer;

namespace vesk {

class AppController;

class TrayModel : public QObject {
    Q_OBJECT

public:
    enum class Action { ShowWindow, Synchronize, RetryNow, PauseResume, Quit };
    struct MenuItem {
        Action action;
        QString text;
        bool enabled = true;
    };

    explicit TrayModel(AppController &controller, QObject *parent = nullptr);

    // "idle", "uploading", "paused" or "problem".
    const QString &iconName() const { return fIconName; }
    const QString &toolTip() const { return fToolTip; }
    const QList<MenuItem> &menu() const { return fMenu; }

    void trigger(Action action);
    // Reads the status again; called on every event of the cycle and once a second.
    void refresh();

signals:
    void changed();
    void showWindowRequested();

private:
    AppController &fController;
    QTimer *fTimer;
    QString fIconName;
    QString fToolTip;
    QList<MenuItem> fMenu;
};

} // namespace vesk
