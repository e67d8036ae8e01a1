#pragma once
// The interface elements the controller talks to. The window layer (ui/) implements them with Qt
// widgets; headless there are none, and every outlet pointer is null. Tests use plain fakes.
// Mutating calls run on the main thread only; isVisible() may be called from any thread.

#include <QImage>
#include <QString>

#include <functional>
#include <vector>

namespace vesk {

class ViewOutlet;

class WindowOutlet {
public:
    virtual ~WindowOutlet() = default;
    virtual bool isVisible() const = 0;
    virtual void orderFront() = 0; // show, raise and make key
    virtual void orderBack() = 0; // show behind the other windows
    virtual void close() = 0;
    virtual ViewOutlet *viewWithTag(int) { return nullptr; }
};

class ViewOutlet {
public:
    virtual ~ViewOutlet() = default;
    virtual WindowOutlet *window() const = 0;
    virtual int tag() const { return 0; }
    virtual void setEnabled(bool) { }
    virtual bool isEnabled() const { return true; }
    virtual void setHidden(bool) { }
    virtual void setToolTip(const QString &) { }
    virtual void display() { } // redraw at once
    // A control (button, field, check box...) as opposed to a plain container of other views.
    virtual bool isControl() const { return true; }
    // The direct sub-views, in order; a control's parts are not listed.
    virtual std::vector<ViewOutlet *> subviews() { return {}; }
};

class TextFieldOutlet : public ViewOutlet {
public:
    virtual void setText(const QString &text) = 0;
    virtual QString text() const = 0;
    virtual void setTextColor(bool red) = 0;
};

class ButtonOutlet : public ViewOutlet {
public:
    virtual QString title() const = 0;
    virtual void setTitle(const QString &title) = 0;
    // Two-state buttons: 1 on, 0 off, -1 mixed.
    virtual int state() const { return 0; }
    virtual void setState(int) { }
};

class ProgressOutlet : public ViewOutlet {
public:
    virtual void setIndeterminate(bool) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
};

class ImageViewOutlet : public ViewOutlet {
public:
    virtual void setImage(const QImage &image) = 0;
};

// The login and preference panel.
class PanelOutlet : public WindowOutlet {
public:
    virtual bool displayAsSheet() const = 0;
    virtual void setDisplayAsSheet(bool flag) = 0;
    virtual void makeKeyWindow() = 0; // key, without ordering it front
    // Shows the panel window-modal over the parent; didEnd gets the return code when it ends.
    virtual void beginSheet(WindowOutlet *parent, std::function<void(int)> didEnd) = 0;
    virtual void endSheet(int returnCode) = 0;
};

// A file panel while it is up, as its delegate sees it.
class FilePanelOutlet {
public:
    virtual ~FilePanelOutlet() = default;
    virtual QString title() const = 0;
    virtual QString prompt() const = 0;
    virtual void setPrompt(const QString &prompt) = 0; // the confirm button's title
    virtual QString selectedPath() const = 0; // empty when nothing is selected
};

// What the controller asks of a file panel. A panel with the title sSavePanelTitle is the
// preference-file save panel; every other panel is an open panel.
struct FilePanelRequest {
    bool save = false;
    QString title;
    QString message;
    QString prompt;
    QString directory; // where the panel starts
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool canCreateDirectories = false;
    WindowOutlet *parent = nullptr; // the window it is a sheet on; none: a window of its own
};

// What the windowed front end offers beyond its elements: alerts, sounds and the application's
// visibility. Main thread only.
class UserInterface {
public:
    virtual ~UserInterface() = default;
    // A modal alert; answers 1 (default), 0 (alternate) or -1 (other button).
    virtual int runAlert(const QString &title, const QString &message, const QString &defaultButton,
        const QString &alternateButton, const QString &otherButton)
        = 0;
    virtual void beep() = 0;
    // Starts playing a sound resource (a Qt resource path); answers whether it started.
    virtual bool playSound(const QString &name) = 0;
    virtual void hideApplication() = 0;
    // Shows a file panel and returns at once; didEnd later gets 1 (OK) with the chosen path, or 0
    // (cancel). The controller is the panel's delegate. Answers false when no panel could be made.
    virtual bool beginFilePanel(const FilePanelRequest &, std::function<void(int returnCode, const QString &path)>)
    {
        return false;
    }
};

} // namespace vesk
