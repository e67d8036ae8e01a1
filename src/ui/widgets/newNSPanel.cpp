#include "ui/widgets/newNSPanel.h"

#include "diag/Console.h"
#include "ui/widgets/PrefBindings.h"
#include "ui/widgets/WidgetOutlets.h"
#include "ui_PreferencePanel.h"

#include <QPainter>
#include <QPainterPath>

namespace vesk {

namespace {
// A padlock drawn for the lock button: closed when off, the shackle swung open when on.
QPixmap lockPixmap(bool open, int size, const QColor &color)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;
    const QRectF body(2 * unit, 7 * unit, 10 * unit, 8 * unit);
    QPen pen(color, 1.6 * unit);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    QPainterPath shackle;
    const qreal left = open ? 8 * unit : 4 * unit;
    const qreal width = 6 * unit;
    shackle.moveTo(left, 7 * unit);
    shackle.lineTo(left, 4.5 * unit);
    shackle.arcTo(QRectF(left, 1 * unit, width, 7 * unit), 180, -180);
    shackle.lineTo(left + width, open ? 5 * unit : 7 * unit);
    painter.drawPath(shackle);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRoundedRect(body, 1.5 * unit, 1.5 * unit);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(7 * unit, 10.5 * unit), 1.2 * unit, 1.2 * unit);
    return pixmap;
}

QIcon lockIcon(const QColor &color)
{
    QIcon icon;
    for (int size : { 16, 24, 32, 48 }) {
        icon.addPixmap(lockPixmap(false, size, color), QIcon::Normal, QIcon::Off);
        icon.addPixmap(lockPixmap(true, size, color), QIcon::Normal, QIcon::On);
    }
    return icon;
}
} // namespace

newNSPanel::newNSPanel(PreferenceStore &store, QWidget *parent)
    : QDialog(parent)
    , fForm(std::make_unique<Ui::PreferencePanel>())
{
    traceInside("newNSPanel", "init");
    fForm->setupUi(this);
    fWindowOutlet = std::make_unique<WidgetWindow>(this);
    fBindings = new PrefBindings(store, this, this);
    fForm->ibLockButton->setIcon(lockIcon(palette().color(QPalette::ButtonText)));
    connect(fForm->ibLockButton, &QAbstractButton::toggled, this, [this] { updateLockTitle(); });
    updateLockTitle();
}

newNSPanel::~newNSPanel() = default;

void newNSPanel::updateLockTitle()
{
    fForm->ibLockButton->setText(fForm->ibLockButton->isChecked() ? tr("Click the lock to prevent further changes.")
                                                                  : tr("Click the lock to make changes."));
}

bool newNSPanel::isVisible() const
{
    return fWindowOutlet->isVisible();
}

void newNSPanel::orderFront()
{
    fWindowOutlet->orderFront();
}

void newNSPanel::orderBack()
{
    fWindowOutlet->orderBack();
}

void newNSPanel::close()
{
    hide();
}

ViewOutlet *newNSPanel::viewWithTag(int tag)
{
    return fWindowOutlet->viewWithTag(tag);
}

void newNSPanel::makeKeyWindow()
{
    if (QDialog::isVisible())
        activateWindow();
}

void newNSPanel::beginSheet(WindowOutlet *parent, std::function<void(int)> didEnd)
{
    QWidget *parentWidget = nullptr;
    if (auto *window = dynamic_cast<WidgetWindow *>(parent))
        parentWidget = window->widget();
    else if (auto *panel = dynamic_cast<QWidget *>(parent))
        parentWidget = panel;
    if (parentWidget == this)
        parentWidget = nullptr;
    emit willBeginSheet();
    // A sheet belongs to its window: modal for that window only, centred over it.
    hide();
    setParent(parentWidget, windowFlags());
    setWindowModality(parentWidget ? Qt::WindowModal : Qt::ApplicationModal);
    fSheetDidEnd = std::move(didEnd);
    show();
    raise();
    activateWindow();
}

void newNSPanel::endSheet(int returnCode)
{
    std::function<void(int)> didEnd = std::move(fSheetDidEnd);
    fSheetDidEnd = nullptr;
    hide();
    setWindowModality(Qt::NonModal);
    if (parentWidget())
        setParent(nullptr, windowFlags());
    if (didEnd)
        didEnd(returnCode);
}

void newNSPanel::reject()
{
    if (fSheetDidEnd)
        endSheet(0);
    else
        QDialog::reject();
}

void newNSPanel::showEvent(QShowEvent *event)
{
    // Whatever changed the settings meanwhile (an import, a script), the panel shows it now.
    fBindings->refresh();
    QDialog::showEvent(event);
}

} // namespace vesk
