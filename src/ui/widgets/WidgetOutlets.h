#pragma once
// Outlets backed by Qt widgets. Each wraps one widget, which it does not own.

#include "app/Outlets.h"

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

class QAbstractButton;
class QLabel;
class QProgressBar;

namespace vesk {

// A top-level window. Its visibility is mirrored in an atomic so that workers may ask for it.
class WidgetWindow : public QObject, public WindowOutlet {
    Q_OBJECT
public:
    explicit WidgetWindow(QWidget *window);
    bool isVisible() const override { return fVisible.load(); }
    void orderFront() override;
    void orderBack() override;
    void close() override;
    ViewOutlet *viewWithTag(int tag) override;
    QWidget *widget() const { return fWindow; }

    // Registers the outlet of a child widget, so that viewWithTag can find it.
    void adopt(QWidget *child, ViewOutlet *outlet) { fOutlets[child] = outlet; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> fWindow;
    std::atomic<bool> fVisible { false };
    std::map<QWidget *, ViewOutlet *> fOutlets;
};

// Shared behaviour of outlets for a child widget of a window.
template <class Interface> class WidgetView : public Interface {
public:
    WidgetView(QWidget *widget, WidgetWindow *window)
        : fWidget(widget)
        , fWindow(window)
    {
        if (fWindow)
            fWindow->adopt(widget, this);
    }
    WindowOutlet *window() const override { return fWindow; }
    int tag() const override { return fWidget ? fWidget->property("tag").toInt() : 0; }
    // A control marked "prefNoEffect" stays disabled: its setting is kept, but nothing reads it.
    void setEnabled(bool flag) override
    {
        if (fWidget)
            fWidget->setEnabled(flag && !fWidget->property("prefNoEffect").toBool());
    }
    bool isEnabled() const override { return fWidget && fWidget->isEnabled(); }
    void setHidden(bool flag) override
    {
        if (fWidget)
            fWidget->setHidden(flag);
    }
    void setToolTip(const QString &text) override
    {
        if (fWidget)
            fWidget->setToolTip(text);
    }
    void display() override
    {
        if (fWidget)
            fWidget->repaint();
    }
    QWidget *widget() const { return fWidget; }

protected:
    QPointer<QWidget> fWidget;
    WidgetWindow *fWindow;
};

// A QLabel or QLineEdit showing a status text.
class WidgetTextField : public WidgetView<TextFieldOutlet> {
public:
    using WidgetView::WidgetView;
    void setText(const QString &text) override;
    QString text() const override;
    void setTextColor(bool red) override;
    bool isRed() const { return fRed; }

private:
    bool fRed = false;
};

class WidgetButton : public WidgetView<ButtonOutlet> {
public:
    using WidgetView::WidgetView;
    QString title() const override;
    void setTitle(const QString &title) override;
    int state() const override;
    void setState(int state) override;
};

class WidgetProgress : public WidgetView<ProgressOutlet> {
public:
    using WidgetView::WidgetView;
    void setIndeterminate(bool flag) override;
    void startAnimation() override;
    void stopAnimation() override;
};

class WidgetImageView : public WidgetView<ImageViewOutlet> {
public:
    using WidgetView::WidgetView;
    void setImage(const QImage &image) override;
};

// Any widget seen as a view among views: a control (button, field, label, spin box...) or a
// container whose child widgets are its sub-views. Outlets for the sub-views are made on demand and
// kept; they belong to no window.
class WidgetGroup : public WidgetView<ViewOutlet> {
public:
    using WidgetView::WidgetView;
    bool isControl() const override;
    std::vector<ViewOutlet *> subviews() override;

private:
    std::map<QWidget *, std::unique_ptr<WidgetGroup>> fSubviews;
};

} // namespace vesk
