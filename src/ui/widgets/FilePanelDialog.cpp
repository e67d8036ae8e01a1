#include "ui/widgets/FilePanelDialog.h"

#include "app/AppController.h"

#include <QApplication>

namespace vesk {

FilePanelDialog::FilePanelDialog(
    AppController &controller, const FilePanelRequest &request, QWidget *parent, DidEnd didEnd)
    : QFileDialog(parent)
    , fController(controller)
    , fTitle(request.title)
    , fSave(request.save)
{
    setAttribute(Qt::WA_DeleteOnClose);
    // Qt's own dialog everywhere: the platform's would not let the delegate see the selection.
    setOption(QFileDialog::DontUseNativeDialog);
    setWindowTitle(request.message.isEmpty() ? request.title : request.message);
    if (fSave) {
        setAcceptMode(QFileDialog::AcceptSave);
        setFileMode(QFileDialog::AnyFile);
    } else if (request.canChooseDirectories && !request.canChooseFiles) {
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly);
    } else {
        setFileMode(QFileDialog::ExistingFile);
    }
    setOption(QFileDialog::ReadOnly, !fSave && !request.canCreateDirectories);
    if (!request.directory.isEmpty())
        setDirectory(request.directory);
    if (!request.prompt.isEmpty())
        setPrompt(request.prompt);
    setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);

    connect(this, &QFileDialog::currentChanged, this, [this](const QString &path) {
        fSelection = path;
        fController.panelSelectionDidChange(this);
    });
    connect(this, &QFileDialog::directoryEntered, this,
        [this](const QString &directory) { fController.panelDirectoryDidChange(this, directory); });
    connect(this, &QDialog::finished, this, [this, didEnd = std::move(didEnd)](int result) {
        const bool ok = result == QDialog::Accepted;
        const QString path = ok ? selectedFiles().value(0) : QString();
        if (didEnd)
            didEnd(ok ? 1 : 0, path);
    });
}

QString FilePanelDialog::prompt() const
{
    return labelText(QFileDialog::Accept);
}

void FilePanelDialog::setPrompt(const QString &prompt)
{
    setLabelText(QFileDialog::Accept, prompt);
}

void FilePanelDialog::accept()
{
    const QString chosen = selectedFiles().value(0);
    if (fSave && !chosen.isEmpty()) {
        const QFileInfo info(chosen);
        const QString name = fController.panelUserEnteredFilename(this, info.fileName(), true);
        const QString path = info.dir().filePath(name);
        if (!fController.panelIsValidFilename(this, path)) {
            QApplication::beep();
            return;
        }
        if (name != info.fileName())
            selectFile(path);
    } else if (!fController.panelIsValidFilename(this, chosen)) {
        QApplication::beep();
        return;
    }
    QFileDialog::accept();
}

} // namespace vesk
