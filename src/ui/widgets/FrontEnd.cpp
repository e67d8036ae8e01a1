#include "ui/widgets/FrontEnd.h"

#include "app/AppController.h"
#include "ui/TrayModel.h"
#include "ui/widgets/FilePanelDialog.h"
#include "ui/widgets/PrefBindings.h"
#include "ui/widgets/TrayIcon.h"
#include "ui/widgets/WidgetOutlets.h"
#include "ui/widgets/newNSPanel.h"
#include "ui_MainWindow.h"
#include "ui_PreferencePanel.h"
#include "ui_UtilityWindow.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace vesk {

namespace {
// The first sound player found on the system, or none.
QString findSoundPlayer()
{
    for (const char *name : { "paplay", "pw-play", "aplay" }) {
        const QString path = QStandardPaths::findExecutable(QLatin1String(name));
        if (!path.isEmpty())
            return path;
    }
    return {};
}

void keepSpaceWhenHidden(QWidget *widget)
{
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}
} // namespace

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
    , fMainForm(std::make_unique<Ui::MainWindow>())
{
    // Closing the panel or the utility window must never end an unattended uploader.
    QApplication::setQuitOnLastWindowClosed(false);
    fController.fUi = this;
    buildMainWindow();
    buildPanel();
    buildUtilityWindow();
    fStatusTimer = new QTimer(this);
    connect(fStatusTimer, &QTimer::timeout, this, &FrontEnd::refreshStatus);
    fStatusTimer->start(1000);
    connect(&fController.cycleStatus(), &CycleStatus::event, this, &FrontEnd::refreshStatus);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        fTrayModel = std::make_unique<TrayModel>(fController);
        fTray = std::make_unique<TrayIcon>(*fTrayModel);
        connect(fTrayModel.get(), &TrayModel::showWindowRequested, this, [this] {
            fApplicationHidden = false;
            fMainWindowOutlet->orderFront();
        });
    }
}

FrontEnd::~FrontEnd()
{
    // The windows go before this object does: no more window events for it.
    for (QWidget *window :
        { static_cast<QWidget *>(fMainWindow.get()), static_cast<QWidget *>(fPanel.get()), fUtilWindow.get() })
        window->removeEventFilter(this);
    fTray.reset();
    fTrayModel.reset();
    if (fController.fUi == this)
        fController.fUi = nullptr;
    // The controller outlives the windows: leave it no dangling outlet.
    fController.ibMainWindow = nullptr;
    fController.ibVersion = nullptr;
    fController.ibCopyright = nullptr;
    fController.ibMacOSVersion = nullptr;
    fController.ibMainWindowLocalSourcePath = nullptr;
    fController.ibMainWindowLocalMirrorSitePath = nullptr;
    fController.ibLoginPanel = nullptr;
    fController.ibChangeablePrefView = nullptr;
    fController.ibOpenPrefButton = nullptr;
    fController.ibProgressPanel = nullptr;
    fController.ibUploadMainPath = nullptr;
    fController.ibLoginName = nullptr;
    fController.ibSourceFolderPath = nullptr;
    fController.ibFileNameField = nullptr;
    fController.ibUploadFileStatusField = nullptr;
    fController.ibFTPCallbackStatusField = nullptr;
    fController.ibProgressBar = nullptr;
    fController.ibImageView = nullptr;
    fController.ibPauseResumeButton = nullptr;
    fController.ibUtilWindow = nullptr;
    fController.ibUtilFunctionName = nullptr;
    fController.ibUtilStatus = nullptr;
    fController.ibUtilProgressBar = nullptr;
    fPanel.reset();
}

void FrontEnd::buildMainWindow()
{
    Ui::MainWindow &ui = *fMainForm;
    ui.setupUi(fMainWindow.get());
    fMainWindowOutlet = std::make_unique<WidgetWindow>(fMainWindow.get());
    WidgetWindow *window = fMainWindowOutlet.get();
    keepSpaceWhenHidden(ui.ibProgressBar);
    keepSpaceWhenHidden(ui.pictureProgressBar);
    ui.pictureProgressBar->hide();
    // Drops on the folder fields are drops on the window: an open request, not text.
    ui.ibMainWindowLocalSourcePath->setAcceptDrops(false);
    ui.ibMainWindowLocalMirrorSitePath->setAcceptDrops(false);
    fMainBindings = new PrefBindings(fController.store(), fMainWindow.get(), this);
    watchWindowEvents(fMainWindow.get());

    AppController &c = fController;
    c.ibMainWindow = window;
    // The main window is also the window that shows the upload's progress.
    c.ibProgressPanel = window;
    c.ibVersion = make<WidgetTextField>(ui.ibVersion, window);
    c.ibCopyright = make<WidgetTextField>(ui.ibCopyright, window);
    c.ibMacOSVersion = make<WidgetTextField>(ui.ibMacOSVersion, window);
    c.ibMainWindowLocalSourcePath = make<WidgetTextField>(ui.ibMainWindowLocalSourcePath, window);
    c.ibMainWindowLocalMirrorSitePath = make<WidgetTextField>(ui.ibMainWindowLocalMirrorSitePath, window);
    c.ibUploadMainPath = make<WidgetTextField>(ui.ibUploadMainPath, window);
    c.ibLoginName = make<WidgetTextField>(ui.ibLoginName, window);
    c.ibSourceFolderPath = make<WidgetTextField>(ui.ibSourceFolderPath, window);
    c.ibFileNameField = make<WidgetTextField>(ui.ibFileNameField, window);
    c.ibUploadFileStatusField = make<WidgetTextField>(ui.ibUploadFileStatusField, window);
    c.ibFTPCallbackStatusField = make<WidgetTextField>(ui.ibFTPCallbackStatusField, window);
    c.ibProgressBar = make<WidgetProgress>(ui.ibProgressBar, window);
    c.ibImageView = make<WidgetImageView>(ui.ibImageView, window);
    c.ibPauseResumeButton = make<WidgetButton>(ui.ibPauseResumeButton, window);
    c.ibOpenPrefButton = make<WidgetButton>(ui.ibOpenPrefButton, window);
    ButtonOutlet *changeSource = make<WidgetButton>(ui.changeSourceButton, window);
    ButtonOutlet *changeMirror = make<WidgetButton>(ui.changeMirrorButton, window);

    AppController *controller = &fController;
    connect(ui.synchronizeButton, &QPushButton::clicked, controller,
        [controller] { controller->ibUserClickedOnSynchronize(); });
    connect(ui.synchronizeAgainButton, &QPushButton::clicked, controller,
        [controller] { controller->ibClickedOnSynchronizeAgain(); });
    ButtonOutlet *pause = c.ibPauseResumeButton;
    connect(ui.ibPauseResumeButton, &QPushButton::clicked, controller,
        [controller, pause] { controller->ibClickedOnHalt(pause); });
    ButtonOutlet *openPref = c.ibOpenPrefButton;
    connect(ui.ibOpenPrefButton, &QPushButton::clicked, controller,
        [controller, openPref] { controller->ibClickedOnOpenPref(openPref); });
    connect(ui.quitButton, &QPushButton::clicked, controller, [controller] { controller->ibClickedOnQuit(nullptr); });
    connect(ui.changeSourceButton, &QPushButton::clicked, controller,
        [controller, changeSource] { controller->ibClickedOnChangeLocalSourceFolder(changeSource); });
    connect(ui.changeMirrorButton, &QPushButton::clicked, controller,
        [controller, changeMirror] { controller->ibClickedOnChangeLocalMirrorSiteFolder(changeMirror); });
    connect(ui.revealSourceButton, &QPushButton::clicked, controller,
        [controller] { controller->ibClickedOnRevealFinder1(); });
    connect(ui.revealMirrorButton, &QPushButton::clicked, controller,
        [controller] { controller->ibClickedOnRevealFinder2(); });
    connect(ui.retryNowButton, &QPushButton::clicked, controller, [controller] { controller->ibClickedOnRetryNow(); });
    connect(ui.revealProblemButton, &QPushButton::clicked, controller,
        [controller] { controller->ibClickedOnRevealProblemFolder(); });

    connect(ui.actionOpen, &QAction::triggered, controller, [controller] { controller->ibMenuCmd_Open(); });
    connect(ui.actionPreferences, &QAction::triggered, controller, [controller, openPref] {
        // Through the button, so that the menu follows the same rules (disabled while waiting).
        if (openPref->isEnabled())
            controller->ibClickedOnOpenPref(openPref);
    });
    connect(ui.actionRetryNow, &QAction::triggered, controller, [controller] { controller->ibClickedOnRetryNow(); });
    connect(ui.actionRelaunch, &QAction::triggered, this, [this] { confirmRelaunch(); });
    connect(ui.actionReportProblem, &QAction::triggered, controller, [controller] { controller->sendMailCocoa(); });
    connect(ui.actionQuit, &QAction::triggered, controller, [controller] { controller->ibClickedOnQuit(nullptr); });
}

void FrontEnd::buildPanel()
{
    fPanel = std::make_unique<newNSPanel>(fController.store());
    Ui::PreferencePanel &ui = fPanel->form();
    WidgetWindow *window = fPanel->windowOutlet();
    watchWindowEvents(fPanel.get());

    AppController &c = fController;
    c.ibLoginPanel = fPanel.get();
    c.ibChangeablePrefView = make<WidgetGroup>(ui.ibChangeablePrefView, window);
    ButtonOutlet *lock = make<WidgetButton>(ui.ibLockButton, window);
    make<WidgetTextField>(ui.versionField, window);
    ButtonOutlet *chooseSource = make<WidgetButton>(ui.chooseSourceButton, window);
    ButtonOutlet *chooseMirror = make<WidgetButton>(ui.chooseMirrorButton, window);
    ButtonOutlet *exportButton = make<WidgetButton>(ui.exportButton, window);
    ButtonOutlet *importButton = make<WidgetButton>(ui.importButton, window);

    AppController *controller = &fController;
    connect(ui.ibLockButton, &QAbstractButton::clicked, controller,
        [controller, lock] { controller->ibClickedOnLockIcon(lock); });
    connect(ui.saveAndCloseButton, &QPushButton::clicked, controller,
        [controller] { controller->ibClickedOnSaveAndClose(); });
    connect(ui.chooseSourceButton, &QPushButton::clicked, controller,
        [controller, chooseSource] { controller->ibClickedOnChangeLocalSourceFolder(chooseSource); });
    connect(ui.chooseMirrorButton, &QPushButton::clicked, controller,
        [controller, chooseMirror] { controller->ibClickedOnChangeLocalMirrorSiteFolder(chooseMirror); });
    connect(ui.exportButton, &QPushButton::clicked, controller,
        [controller, exportButton] { controller->ibSavePrefToFile(exportButton); });
    connect(ui.importButton, &QPushButton::clicked, controller,
        [controller, importButton] { controller->ibLoadPrefFromFile(importButton); });
    connect(
        fPanel.get(), &newNSPanel::willBeginSheet, controller, [controller] { controller->windowWillBeginSheet(); });
}

void FrontEnd::buildUtilityWindow()
{
    fUtilWindow = std::make_unique<QWidget>(nullptr, Qt::Window);
    fUtilForm = std::make_unique<Ui::UtilityWindow>();
    fUtilForm->setupUi(fUtilWindow.get());
    fUtilWindowOutlet = std::make_unique<WidgetWindow>(fUtilWindow.get());
    WidgetWindow *window = fUtilWindowOutlet.get();
    watchWindowEvents(fUtilWindow.get());

    AppController &c = fController;
    c.ibUtilWindow = window;
    c.ibUtilFunctionName = make<WidgetTextField>(fUtilForm->ibUtilFunctionName, window);
    c.ibUtilStatus = make<WidgetTextField>(fUtilForm->ibUtilStatus, window);
    c.ibUtilProgressBar = make<WidgetProgress>(fUtilForm->ibUtilProgressBar, window);
}

void FrontEnd::watchWindowEvents(QWidget *window)
{
    window->installEventFilter(this);
}

void FrontEnd::show()
{
    if (fApplicationHidden)
        return;
    fMainWindowOutlet->orderFront();
    // The panel asked for at start-up stays in front of the main window.
    if (fPanel->isVisible())
        fPanel->orderFront();
}

void FrontEnd::refreshStatus()
{
    if (!fMainWindow->isVisible())
        return;
    const AppController::StatusReport report = fController.statusReport();
    const CycleStatus::Snapshot &cycle = report.cycle;
    Ui::MainWindow &ui = *fMainForm;
    ui.sendingToField->setText(report.host.isEmpty() ? QStringLiteral("(no service address)") : report.host);
    // The waiting pictures as last counted (by a status request or the metrics), never walked here.
    const QString waiting = cycle.lastCount.readable ? QStringLiteral("%1%2 waiting")
                                                           .arg(cycle.lastCount.pictures)
                                                           .arg(QLatin1String(cycle.lastCount.complete ? "" : "+"))
                                                     : QStringLiteral("waiting not counted yet");
    ui.countsField->setText(QStringLiteral("%1 uploaded since start, %2, %3 waiting for a retry, %4 put in the "
                                           "problem folder, %5 uploaded but not moved")
                                .arg(report.uploaded)
                                .arg(waiting)
                                .arg(report.waitingForRetry)
                                .arg(report.parked)
                                .arg(cycle.totals.uploadedNotMoved));
    ui.lastUploadField->setText(cycle.totals.lastUpload.isValid()
            ? QLocale().toString(cycle.totals.lastUpload, QLocale::ShortFormat)
            : QStringLiteral("none since start"));
    // The picture on its way: bytes sent of its request, with the speed and the time left once known.
    const bool sending = !cycle.picture.isEmpty() && cycle.pictureTotal > 0;
    ui.pictureProgressBar->setVisible(sending);
    if (sending) {
        const double seconds = double(cycle.pictureSince.msecsTo(QDateTime::currentDateTime())) / 1000;
        const double rate = seconds > 0.5 ? double(cycle.pictureSent) / seconds : 0;
        QString text = QStringLiteral("%p %");
        if (cycle.pictureSent >= cycle.pictureTotal)
            text += QStringLiteral(" - sent, waiting for the service's answer");
        else if (rate > 0)
            text += QStringLiteral(" - %1 kB/s, %2 s left")
                        .arg(rate / 1000, 0, 'f', 0)
                        .arg(std::ceil(double(cycle.pictureTotal - cycle.pictureSent) / rate), 0, 'f', 0);
        ui.pictureProgressBar->setValue(int(cycle.pictureSent * 1000 / cycle.pictureTotal));
        ui.pictureProgressBar->setFormat(text);
    }
    ui.timeLeftField->setText(TrayModel::timeLeftLine(report));
    bool current = false;
    ui.lastProblemField->setText(TrayModel::problemLine(report, QDateTime::currentDateTime(), &current));
    QPalette palette = ui.lastProblemField->palette();
    palette.setColor(
        QPalette::WindowText, current ? QColor(Qt::red) : QApplication::palette().color(QPalette::WindowText));
    ui.lastProblemField->setPalette(palette);
    ui.revealProblemButton->setEnabled(report.problemFolder.has_value());
    // A refusal stays in the status line, red, until the settings are accepted: a window that was
    // hidden when the settings were checked shows it too.
    TextFieldOutlet *status = fController.ibFTPCallbackStatusField;
    const QString refusal = AppController::settingsRefusedLine(cycle.lastError);
    if (cycle.settingsRefused && status && status->text() != refusal) {
        status->setTextColor(true);
        status->setText(refusal);
    }
}

void FrontEnd::refreshBindings()
{
    fMainBindings->refresh();
    fPanel->bindings().refresh();
}

bool FrontEnd::eventFilter(QObject *watched, QEvent *event)
{
    const bool isMain = watched == fMainWindow.get();
    switch (event->type()) {
    case QEvent::WindowActivate:
        fController.postWindowBecameKey();
        if (isMain) {
            if (fTrayModel)
                fTrayModel->windowShown();
            fController.postWindowBecameMain();
            fMainBindings->refresh();
            refreshStatus();
        }
        break;
    case QEvent::Move:
        fController.windowDidMove();
        break;
    case QEvent::Close:
        fController.windowWillClose();
        if (isMain && fTray && !fController.isTerminating()) {
            // With a tray icon to bring it back, closing the main window only hides it.
            event->ignore();
            fMainWindow->hide();
            return true;
        }
        if (isMain && !fClosingForQuit && !fController.isTerminating()) {
            // Closing the main window quits, the way Quit does.
            fClosingForQuit = true;
            event->ignore();
            QMetaObject::invokeMethod(
                &fController, [controller = &fController] { controller->ibClickedOnQuit(nullptr); },
                Qt::QueuedConnection);
            return true;
        }
        break;
    case QEvent::DragEnter:
        if (isMain) {
            auto *drag = static_cast<QDragEnterEvent *>(event);
            if (drag->mimeData()->hasUrls()) {
                drag->acceptProposedAction();
                return true;
            }
        }
        break;
    case QEvent::Drop:
        if (isMain) {
            auto *drop = static_cast<QDropEvent *>(event);
            QStringList paths;
            for (const QUrl &url : drop->mimeData()->urls())
                paths.append(url.isLocalFile() ? url.toLocalFile() : url.toString());
            drop->acceptProposedAction();
            fController.openDroppedItems(paths);
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

QWidget *FrontEnd::widgetFor(WindowOutlet *window) const
{
    if (!window)
        return nullptr;
    if (auto *panel = dynamic_cast<newNSPanel *>(window))
        return panel;
    if (auto *widgetWindow = dynamic_cast<WidgetWindow *>(window))
        return widgetWindow->widget();
    return nullptr;
}

int FrontEnd::runAlert(const QString &title, const QString &message, const QString &defaultButton,
    const QString &alternateButton, const QString &otherButton)
{
    QWidget *parent = fPanel->isVisible() ? static_cast<QWidget *>(fPanel.get()) : fMainWindow.get();
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
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

bool FrontEnd::playSound(const QString &name)
{
    static const QString player = findSoundPlayer();
    if (player.isEmpty())
        return false;
    if (!fSoundFolder) {
        fSoundFolder = std::make_unique<QTemporaryDir>();
        if (!fSoundFolder->isValid())
            return false;
    }
    // The players read files, not Qt resources: play a private copy.
    const QString copy = fSoundFolder->filePath(QFileInfo(name).fileName());
    if (!QFileInfo::exists(copy) && !QFile::copy(name, copy))
        return false;
    QProcess process;
    process.setProgram(player);
    process.setArguments(QStringList { copy });
    return process.startDetached();
}

void FrontEnd::hideApplication()
{
    fApplicationHidden = true;
    for (QWidget *widget : QApplication::topLevelWidgets())
        widget->hide();
    // The tray icon's own window was among them: the icon stays, it is how the windows come back.
    if (fTray)
        fTray->reshow();
}

bool FrontEnd::beginFilePanel(
    const FilePanelRequest &request, std::function<void(int returnCode, const QString &path)> didEnd)
{
    auto *dialog = new FilePanelDialog(fController, request, widgetFor(request.parent),
        [this, didEnd = std::move(didEnd)](int returnCode, const QString &path) {
            if (didEnd)
                didEnd(returnCode, path);
            // A folder or a whole preference file may have changed: every field shows the store.
            refreshBindings();
        });
    dialog->open();
    return true;
}

void FrontEnd::confirmRelaunch()
{
    const int answer = runAlert(QStringLiteral("Relaunch Vesk-FTPUploader?"),
        QStringLiteral("The uploader quits and starts again at once. A picture that is being uploaded stays in "
                       "the source folder and is sent again after the restart."),
        QStringLiteral("Relaunch"), QStringLiteral("Cancel"), QString());
    if (answer == 1)
        fController.doRelaunchThisApp();
}

} // namespace vesk
