#include "ui/widgets/TrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>

namespace vesk {

namespace {
QPixmap drawIcon(const QString &name, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    // The folder of the application's icon.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xc4, 0x7f, 0x22));
    painter.drawRoundedRect(QRectF(4, 10, 56, 44), 4, 4);
    QLinearGradient front(0, 22, 0, 54);
    front.setColorAt(0, QColor(0xf8, 0xc7, 0x5e));
    front.setColorAt(1, QColor(0xe3, 0x9a, 0x2f));
    painter.setBrush(front);
    painter.drawRoundedRect(QRectF(3, 22, 58, 32), 4, 4);
    // The badge.
    QColor colour(0x60, 0x7d, 0x8b); // idle
    if (name == QLatin1String("uploading"))
        colour = QColor(0x1c, 0x5c, 0xc2);
    else if (name == QLatin1String("paused"))
        colour = QColor(0x75, 0x75, 0x75);
    else if (name == QLatin1String("problem"))
        colour = QColor(0xc6, 0x28, 0x28);
    const QRectF badge(30, 30, 32, 32);
    painter.setBrush(colour);
    painter.setPen(QPen(Qt::white, 2.5));
    painter.drawEllipse(badge);
    painter.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    if (name == QLatin1String("uploading")) {
        painter.drawLine(QPointF(46, 55), QPointF(46, 38));
        painter.drawPolyline(QPolygonF({ QPointF(38.5, 45), QPointF(46, 37.5), QPointF(53.5, 45) }));
    } else if (name == QLatin1String("paused")) {
        painter.drawLine(QPointF(41, 39), QPointF(41, 53));
        painter.drawLine(QPointF(51, 39), QPointF(51, 53));
    } else if (name == QLatin1String("problem")) {
        painter.drawLine(QPointF(46, 38), QPointF(46, 48));
        painter.drawPoint(QPointF(46, 54.5));
    } else if (name == QLatin1String("waiting")) {
        // The hands of a clock: idle, with nothing to tell yet.
        painter.drawPolyline(QPolygonF({ QPointF(46, 37.5), QPointF(46, 46), QPointF(53, 46) }));
    } else {
        painter.drawPolyline(QPolygonF({ QPointF(38.5, 46.5), QPointF(44, 52), QPointF(54, 40.5) }));
    }
    return pixmap;
}
} // namespace

QIcon TrayIcon::iconFor(const QString &name)
{
    QIcon icon;
    for (const int size : { 16, 22, 24, 32, 48, 64 })
        icon.addPixmap(drawIcon(name, size));
    return icon;
}

TrayIcon::TrayIcon(TrayModel &model, QObject *parent)
    : QObject(parent)
    , fModel(model)
    , fMenu(std::make_unique<QMenu>())
    , fIcon(new QSystemTrayIcon(this))
{
    fIcon->setContextMenu(fMenu.get());
    connect(fIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            fModel.trigger(TrayModel::Action::ShowWindow);
    });
    connect(&fModel, &TrayModel::changed, this, &TrayIcon::update);
    update();
    fIcon->show();
}

TrayIcon::~TrayIcon()
{
    fIcon->hide();
}

void TrayIcon::reshow()
{
    fIcon->hide();
    fIcon->show();
}

void TrayIcon::update()
{
    fIcon->setIcon(iconFor(fModel.iconName()));
    fIcon->setToolTip(fModel.toolTip());
    // The menu keeps its actions; only their texts and states follow the model.
    const QList<TrayModel::MenuItem> &items = fModel.menu();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const TrayModel::MenuItem &item = items.at(i);
        if (i == fActions.size()) {
            if (item.action == TrayModel::Action::Quit || item.action == TrayModel::Action::OpenMirrorFolder)
                fMenu->addSeparator();
            fActions.append(fMenu->addAction(item.text));
            connect(fActions.last(), &QAction::triggered, this, [this, which = item.action] { fModel.trigger(which); });
            if (item.action == TrayModel::Action::Status)
                fMenu->addSeparator();
        }
        QAction *action = fActions.at(i);
        action->setText(item.text);
        action->setEnabled(item.enabled);
    }
}

} // namespace vesk
