#pragma once
// newNSPanel: the login and preference panel. Shown either as a sheet (a window-modal dialog over
// the window that asked for it, ended with a return code) or as an ordinary window. Its fields are
// bound to the preference store and show the store's values each time it appears. Main thread.

#include "app/Outlets.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class PreferencePanel;
}

namespace vesk {

class PreferenceStore;
class PrefBindings;
class WidgetWindow;

class newNSPanel : public QDialog, public PanelOutlet {
    Q_OBJECT
public:
    explicit newNSPanel(PreferenceStore &store, QWidget *parent = nullptr);
    ~newNSPanel() override;

    Ui::PreferencePanel &form() const { return *fForm; }
    WidgetWindow *windowOutlet() const { return fWindowOutlet.get(); }
    PrefBindings &bindings() const { return *fBindings; }

    // PanelOutlet
    bool displayAsSheet() const override { return fDisplayAsSheet; }
    void setDisplayAsSheet(bool flag) override { fDisplayAsSheet = flag; }
    bool isVisible() const override;
    void orderFront() override;
    void orderBack() override;
    void close() override;
    ViewOutlet *viewWithTag(int tag) override;
    void makeKeyWindow() override;
    void beginSheet(WindowOutlet *parent, std::function<void(int)> didEnd) override;
    void endSheet(int returnCode) override;
    bool isSheetUp() const { return static_cast<bool>(fSheetDidEnd); }

signals:
    void willBeginSheet();

public slots:
    // Escape and the window's close button end a sheet (return code 0) instead of only hiding it.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void updateLockTitle();

    bool fDisplayAsSheet = false;
    std::unique_ptr<Ui::PreferencePanel> fForm;
    std::unique_ptr<WidgetWindow> fWindowOutlet;
    PrefBindings *fBindings = nullptr;
    std::function<void(int)> fSheetDidEnd;
};

} // namespace vesk
