#include "ui/widgets/WidgetOutlets.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextEdit>

namespace vesk {

WidgetWindow::WidgetWindow(QWidget *window)
    : fWindow(window)
{
    if (fWindow) {
        fVisible = fWindow->isVisible();
        fWindow->installEventFilter(this);
    }
}

bool WidgetWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == fWindow) {
        if (event->type() == QEvent::Show)
            fVisible = true;
        else if (event->type() == QEvent::Hide)
            fVisible = false;
    }
    return QObject::eventFilter(watched, event);
}

void WidgetWindow::orderFront()
{
    if (!fWindow)
        return;
    fWindow->show();
    fWindow->raise();
    fWindow->activateWindow();
}

void WidgetWindow::orderBack()
{
    if (!fWindow)
        return;
    fWindow->show();
    fWindow->lower();
}

void WidgetWindow::close()
{
    if (fWindow)
        fWindow->hide();
}

ViewOutlet *WidgetWindow::viewWithTag(int tag)
{
    for (auto &[widget, outlet] : fOutlets) {
        if (widget && widget->property("tag").toInt() == tag)
            return outlet;
    }
    return nullptr;
}

void WidgetTextField::setText(const QString &text)
{
    if (auto *label = qobject_cast<QLabel *>(fWidget.data()))
        label->setText(text);
    else if (auto *edit = qobject_cast<QLineEdit *>(fWidget.data()))
        edit->setText(text);
}

QString WidgetTextField::text() const
{
    if (auto *label = qobject_cast<QLabel *>(fWidget.data()))
        return label->text();
    if (auto *edit = qobject_cast<QLineEdit *>(fWidget.data()))
        return edit->text();
    return {};
}

void WidgetTextField::setTextColor(bool red)
{
    fRed = red;
    if (!fWidget)
        return;
    QPalette palette = fWidget->palette();
    const QColor color = red ? QColor(Qt::red) : QColor(Qt::black);
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    fWidget->setPalette(palette);
}

QString WidgetButton::title() const
{
    auto *button = qobject_cast<QAbstractButton *>(fWidget.data());
    return button ? button->text() : QString();
}

void WidgetButton::setTitle(const QString &title)
{
    if (auto *button = qobject_cast<QAbstractButton *>(fWidget.data()))
        button->setText(title);
}

int WidgetButton::state() const
{
    auto *button = qobject_cast<QAbstractButton *>(fWidget.data());
    return button && button->isChecked() ? 1 : 0;
}

void WidgetButton::setState(int state)
{
    if (auto *button = qobject_cast<QAbstractButton *>(fWidget.data()))
        button->setChecked(state != 0);
}

void WidgetProgress::setIndeterminate(bool flag)
{
    if (auto *bar = qobject_cast<QProgressBar *>(fWidget.data()))
        bar->setRange(0, flag ? 0 : 100);
}

void WidgetProgress::startAnimation()
{
    setIndeterminate(true);
}

void WidgetProgress::stopAnimation()
{
    if (auto *bar = qobject_cast<QProgressBar *>(fWidget.data())) {
        bar->setRange(0, 100);
        bar->setValue(0);
    }
}

void WidgetImageView::setImage(const QImage &image)
{
    auto *label = qobject_cast<QLabel *>(fWidget.data());
    if (!label || image.isNull())
        return;
    const QSize box = label->size().isValid() && !label->size().isEmpty() ? label->size() : QSize(240, 180);
    label->setPixmap(QPixmap::fromImage(image).scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

bool WidgetGroup::isControl() const
{
    QWidget *widget = fWidget.data();
    return qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget)
        || qobject_cast<QAbstractSpinBox *>(widget) || qobject_cast<QComboBox *>(widget)
        || qobject_cast<QAbstractSlider *>(widget) || qobject_cast<QLabel *>(widget)
        || qobject_cast<QTextEdit *>(widget) || qobject_cast<QPlainTextEdit *>(widget)
        || qobject_cast<QProgressBar *>(widget);
}

std::vector<ViewOutlet *> WidgetGroup::subviews()
{
    std::vector<ViewOutlet *> result;
    if (!fWidget || isControl())
        return result;
    for (QObject *child : fWidget->children()) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (!widget || widget->isWindow())
            continue;
        std::unique_ptr<WidgetGroup> &outlet = fSubviews[widget];
        if (!outlet)
            outlet = std::make_unique<WidgetGroup>(widget, nullptr);
        result.push_back(outlet.get());
    }
    return result;
}

} // namespace vesk
