#pragma once
// The file panels (preference-file export and import, folder choosers) as Qt's own file dialog.
// The controller is the delegate: the prompt follows the selection and the save panel's name
// rules are the controller's. The dialog deletes itself when it has reported its end. Main thread.

#include "app/Outlets.h"

#include <QFileDialog>

#include <functional>

namespace vesk {

class AppController;

class FilePanelDialog : public QFileDialog, public FilePanelOutlet {
    Q_OBJECT
public:
    using DidEnd = std::function<void(int returnCode, const QString &path)>;
    FilePanelDialog(AppController &controller, const FilePanelRequest &request, QWidget *parent, DidEnd didEnd);

    QString title() const override { return fTitle; }
    QString prompt() const override;
    void setPrompt(const QString &prompt) override;
    QString selectedPath() const override { return fSelection; }

public slots:
    void accept() override;

private:
    AppController &fController;
    QString fTitle;
    QString fSelection;
    bool fSave = false;
};

} // namespace vesk
