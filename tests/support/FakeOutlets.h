#pragma once
// Plain in-memory outlets for tests of the controller without any widgets.

#include "app/Outlets.h"

#include <QStringList>

#include <atomic>
#include <map>
#include <vector>

namespace vesk::test {

class FakeWindow : public WindowOutlet {
public:
    explicit FakeWindow(bool onScreen = true)
        : visible(onScreen)
    { }
    bool isVisible() const override { return visible.load(); }
    void orderFront() override
    {
        visible = true;
        ++frontCount;
    }
    void orderBack() override { visible = true; }
    void close() override { visible = false; }
    ViewOutlet *viewWithTag(int tag) override
    {
        auto it = tagged.find(tag);
        return it == tagged.end() ? nullptr : it->second;
    }
    std::atomic<bool> visible;
    int frontCount = 0;
    std::map<int, ViewOutlet *> tagged;
};

template <class Interface> class FakeView : public Interface {
public:
    explicit FakeView(FakeWindow *window = nullptr, int tag = 0)
        : fWindow(window)
        , fTag(tag)
    {
        if (window && tag)
            window->tagged[tag] = this;
    }
    WindowOutlet *window() const override { return fWindow; }
    int tag() const override { return fTag; }
    void setEnabled(bool flag) override { enabled = flag; }
    bool isEnabled() const override { return enabled; }
    void setHidden(bool flag) override { hidden = flag; }
    void setToolTip(const QString &text) override { toolTip = text; }
    bool enabled = true;
    bool hidden = false;
    QString toolTip;

private:
    FakeWindow *fWindow;
    int fTag;
};

class FakeTextField : public FakeView<TextFieldOutlet> {
public:
    using FakeView::FakeView;
    void setText(const QString &value) override
    {
        text_ = value;
        history.append(value);
    }
    QString text() const override { return text_; }
    void setTextColor(bool isRed) override { red = isRed; }
    QString text_;
    QStringList history;
    bool red = false;
};

class FakeButton : public FakeView<ButtonOutlet> {
public:
    using FakeView::FakeView;
    QString title() const override { return title_; }
    void setTitle(const QString &value) override { title_ = value; }
    int state() const override { return state_; }
    void setState(int value) override { state_ = value; }
    QString title_ = QStringLiteral("Pause");
    int state_ = 0;
};

class FakeProgress : public FakeView<ProgressOutlet> {
public:
    using FakeView::FakeView;
    void setIndeterminate(bool flag) override { indeterminate = flag; }
    void startAnimation() override { animating = true; }
    void stopAnimation() override { animating = false; }
    bool indeterminate = false;
    bool animating = false;
};

class FakeUi : public UserInterface {
public:
    int runAlert(const QString &title, const QString &message, const QString &defaultButton,
        const QString &alternateButton, const QString &otherButton) override
    {
        alerts.push_back({ title, message, defaultButton, alternateButton, otherButton });
        return answer;
    }
    void beep() override { ++beeps; }
    bool playSound(const QString &name) override
    {
        sounds.append(name);
        return true;
    }
    void hideApplication() override { hidden = true; }
    struct Alert {
        QString title, message, defaultButton, alternateButton, otherButton;
    };
    std::vector<Alert> alerts;
    int answer = 1;
    std::atomic<int> beeps { 0 };
    QStringList sounds;
    bool hidden = false;
};

} // namespace vesk::test
