#pragma once
// TrayModel: what the tray icon shows and offers, kept apart from the widget so that it can be
// checked where no system tray exists: the icon's name, tool tip and the menu's status line, from the
// controller's status, and the menu's actions, which take the same paths as the main window's
// buttons. Its texts for the main window (the last problem and what follows from it, the time left)
// are made here too, by pure functions of the status. Main thread.

#include "app/AppController.h"

#include <QList>
#include <QObject>
#include <QString>

class QTimer;

namespace vesk {

class TrayModel : public QObject {
    Q_OBJECT

public:
    enum class Action {
        Status,
        ShowWindow,
        Synchronize,
        RetryNow,
        PauseResume,
        OpenMirrorFolder,
        OpenProblemFolder,
        Quit
    };
    struct MenuItem {
        Action action;
        QString text;
        bool enabled = true;
    };

    // What the tray says, from the status at a moment.
    struct Circumstances {
        AppController::StatusReport report;
        QDateTime now;
        QStringList missingSettings; // what is still to be set up, as AppController::missingSettings()
        int parkedWhenShown = 0; // the parked count when the main window was last shown
    };
    struct Look {
        // "idle" (the tick: the last pass ended clean, the settings are valid), "waiting" (idle, nothing
        // to tell yet), "uploading", "paused" or "problem".
        QString iconName;
        QString toolTip;
        QString statusLine; // the menu's first line
    };
    static Look look(const Circumstances &now);
    // The window's line about the last problem and what follows from it; current is false once its
    // cause is gone.
    static QString problemLine(const AppController::StatusReport &report, const QDateTime &now, bool *current);
    // The time the waiting pictures take at the rate of the last minute, or why there is no estimate.
    static QString timeLeftLine(const AppController::StatusReport &report);

    explicit TrayModel(AppController &controller, QObject *parent = nullptr);

    const QString &iconName() const { return fLook.iconName; }
    const QString &toolTip() const { return fLook.toolTip; }
    const QList<MenuItem> &menu() const { return fMenu; }

    void trigger(Action action);
    // Reads the status again; called on every event of the cycle and once a second.
    void refresh();
    // The main window was shown: the pictures parked until now have been seen.
    void windowShown();

signals:
    void changed();
    void showWindowRequested();

private:
    AppController &fController;
    QTimer *fTimer;
    Look fLook;
    QList<MenuItem> fMenu;
    int fParkedWhenShown = 0;
};

} // namespace vesk
