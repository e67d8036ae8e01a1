#include "ui/widgets/FrontEnd.h"

#include "app/AppController.h"
#include "ui/widgets/WidgetOutlets.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>

namespace vesk {

template <class Outlet, class Widget> Outlet *FrontEnd::make(Widget *widget, WidgetWindow *window)
{
    auto outlet = std::make_unique<Outlet>(widget, window);
    Outlet *raw = outlet.get();
    fOutlets.push_back(std::move(outlet));
    return raw;
}

FrontEnd::FrontEnd(AppController &controller)
    : fController(controller)
    , fMainWindow(std::make_unique<QMainWindow>())
{
    Ui::MainWindow ui;
    ui.setupUi(fMainWindow.get());
    fMainWindowOutlet = std::make_unique<WidgetWindow>(fMainWindow.get());
    WidgetWindow *window = fMainWindowOutlet.get();

    fController.fUi = this;
    fController.ibMainWindow = window;
    fController.ibUploadMainPath = make<WidgetTextField>(ui.ibUploadMainPath, window);
    fController.ibLoginName = make<WidgetTextField>(ui.ibLoginName, window);
    fController.ibSourceFolderPath = make<WidgetTextField>(ui.ibSourceFolderPath, window);
    fController.ibFileNameField = make<WidgetTextField>(ui.ibFileNameField, window);
    fController.ibUploadFileStatusField = make<WidgetTextField>(ui.ibUploadFileStatusField, window);
    fController.ibFTPCallbackStatusField = make<WidgetTextField>(ui.ibFTPCallbackStatusField, window);
    fController.ibProgressBar = make<WidgetProgress>(ui.ibProgressBar, window);
    fController.ibPauseResumeButton = make<WidgetButton>(ui.ibPauseResumeButton, window);

    AppController *c = &fController;
    connect(ui.synchronizeButton, &QPushButton::clicked, c, [c] { c->ibUserClickedOnSynchronize(); });
    connect(ui.synchronizeAgainButton, &QPushButton::clicked, c, [c] { c->ibClickedOnSynchronizeAgain(); });
    ButtonOutlet *pause = fController.ibPauseResumeButton;
    connect(ui.ibPauseResumeButton, &QPushButton::clicked, c, [c, pause] { c->ibClickedOnHalt(pause); });
    connect(ui.quitButton, &QPushButton::clicked, c, [c] { c->ibClickedOnQuit(nullptr); });
}

FrontEnd::~FrontEnd()
{
    fController.fUi = nullptr;
}

void FrontEnd::show()
{
    fMainWindowOutlet->orderFront();
}

int FrontEnd::runAlert(const QString &title, const QString &message, const QString &defaultButton,
    const QString &alternateButton, const QString &otherButton)
{
    QMessageBox box(fMainWindow.get());
    box.setWindowTitle(title);
    box.setText(title);
    box.setInformativeText(message);
    QAbstractButton *defaultChoice
        = box.addButton(defaultButton.isEmpty() ? QStringLiteral("OK") : defaultButton, QMessageBox::AcceptRole);
    QAbstractButton *alternateChoice
        = alternateButton.isEmpty() ? nullptr : box.addButton(alternateButton, QMessageBox::RejectRole);
    QAbstractButton *otherChoice
        = otherButton.isEmpty() ? nullptr : box.addButton(otherButton, QMessageBox::ActionRole);
    box.setDefaultButton(qobject_cast<QPushButton *>(defaultChoice));
    box.exec();
    QAbstractButton *clicked = box.clickedButton();
    if (clicked && clicked == alternateChoice)
        return 0;
    if (clicked && clicked == otherChoice)
        return -1;
    return 1;
}

void FrontEnd::beep()
{
    QApplication::beep();
}

bool FrontEnd::playSound(const QString &)
{
    return false;
}

void FrontEnd::hideApplication()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->hide();
}

} // namespace vesk
