#pragma once
// The one set of fake outlets: plain in-memory windows, fields, buttons, panels and a user
// interface that record what the controller asks of them, for tests without any widgets. Text
// fields may be written from any thread; everything else is used on the main thread.

#include "app/Outlets.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace vesk::test {

template <class Window> class FakeWindowOf : public Window {
public:
    bool isVisible() const override { return visible.load(); }
    void orderFront() override
    {
        visible = true;
        ++frontCount;
    }
    void orderBack() override
    {
        visible = true;
        ++backCount;
    }
    void close() override
    {
        visible = false;
        ++closeCount;
    }
    ViewOutlet *viewWithTag(int tag) override
    {
        auto it = tagged.find(tag);
        return it == tagged.end() ? nullptr : it->second;
    }
    std::atomic<bool> visible { true };
    std::atomic<int> frontCount { 0 };
    std::atomic<int> backCount { 0 };
    std::atomic<int> closeCount { 0 };
    std::map<int, ViewOutlet *> tagged;
};

class FakeWindow : public FakeWindowOf<WindowOutlet> {
public:
    explicit FakeWindow(bool onScreen = true) { visible = onScreen; }
};

// The login and preference panel: a window that records its sheets.
class FakePanel : public FakeWindowOf<PanelOutlet> {
public:
    FakePanel() { visible = false; }
    bool displayAsSheet() const override { return sheet; }
    void setDisplayAsSheet(bool flag) override { sheet = flag; }
    void makeKeyWindow() override { }
    void beginSheet(WindowOutlet *window, std::function<void(int)> didEnd) override
    {
        parent = window;
        sheetDidEnd = std::move(didEnd);
        visible = true;
        ++sheetCount;
    }
    void endSheet(int returnCode) override
    {
        std::function<void(int)> didEnd = std::move(sheetDidEnd);
        sheetDidEnd = nullptr;
        visible = false;
        endCodes.push_back(returnCode);
        if (didEnd)
            didEnd(returnCode);
    }
    bool sheet = false;
    int sheetCount = 0;
    WindowOutlet *parent = nullptr;
    std::function<void(int)> sheetDidEnd;
    std::vector<int> endCodes;
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
        {
            std::lock_guard<std::mutex> guard(fLock);
            text_ = value;
            history.append(value);
        }
        if (onSetText)
            onSetText(value);
    }
    QString text() const override
    {
        std::lock_guard<std::mutex> guard(fLock);
        return text_;
    }
    void setTextColor(bool isRed) override { red = isRed; }
    // Every text set so far, oldest first.
    QStringList texts() const
    {
        std::lock_guard<std::mutex> guard(fLock);
        return history;
    }
    QString text_;
    QStringList history;
    std::atomic<bool> red { false };
    std::function<void(const QString &)> onSetText; // runs after each text is set

private:
    mutable std::mutex fLock;
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
    void startAnimation() override
    {
        animating = true;
        ++starts;
    }
    void stopAnimation() override { animating = false; }
    bool indeterminate = false;
    std::atomic<bool> animating { false };
    std::atomic<int> starts { 0 };
};

// A container: its sub-views are entered, it is not itself enabled or disabled.
class FakeGroup : public FakeView<ViewOutlet> {
public:
    using FakeView::FakeView;
    bool isControl() const override { return control; }
    std::vector<ViewOutlet *> subviews() override { return children; }
    bool control = false;
    std::vector<ViewOutlet *> children;
};

// Alerts, sounds and file panels, recorded instead of shown.
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
    bool beginFilePanel(
        const FilePanelRequest &request, std::function<void(int returnCode, const QString &path)> didEnd) override
    {
        requests.push_back(request);
        lastDidEnd = std::move(didEnd);
        return true;
    }
    // Ends the last file panel as the user would.
    void finishPanel(int returnCode, const QString &path)
    {
        auto didEnd = std::move(lastDidEnd);
        lastDidEnd = nullptr;
        if (didEnd)
            didEnd(returnCode, path);
    }
    struct Alert {
        QString title, message, defaultButton, alternateButton, otherButton;
    };
    std::vector<Alert> alerts;
    int answer = 1;
    std::atomic<int> beeps { 0 };
    QStringList sounds;
    bool hidden = false;
    std::vector<FilePanelRequest> requests;
    std::function<void(int, const QString &)> lastDidEnd;
};
using PanelUi = FakeUi;

} // namespace vesk::test
