#pragma once
// TrayIcon: the system tray's icon for the uploader, drawn from a TrayModel: its picture and tool tip
// show the state and the counts, its menu starts with the status line and offers the model's actions,
// a click shows the main window.
// Made only where a system tray exists. Main thread.

#include "ui/TrayModel.h"

#include <QIcon>
#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace vesk {

class TrayIcon : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(TrayModel &model, QObject *parent = nullptr);
    ~TrayIcon() override;

    // The picture for one of the model's icon names: the folder of the application's icon with a
    // badge in the colour of the state.
    static QIcon iconFor(const QString &name);
    // Puts the icon into the tray again (after its window was hidden with the others).
    void reshow();

private:
    void update();

    TrayModel &fModel;
    std::unique_ptr<QMenu> fMenu;
    QList<QAction *> fActions; // in the model's order
    QSystemTrayIcon *fIcon;
};

} // namespace vesk
