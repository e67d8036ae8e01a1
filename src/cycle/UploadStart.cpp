// AppController: letting a found picture through and marking its upload as started.

#include "app/AppController.h"
#include "diag/Console.h"
#include "diag/MessageLog.h"
#include "files/OpenedPicture.h"

#include <QImageReader>

namespace vesk {

void AppController::handleNotification_PrepareUploadStart(const Notification &note)
{
    traceInside(kClassName, __func__);
    if (gStartedUploadProcess) {
        MessageLog::LogMessage(QStringLiteral("Inside %1 => %2... => An Upload Process Already in Progress...")
                                   .arg(QLatin1String(kClassName), QLatin1String(__func__)));
        return;
    }
    fCenter.post(cNotification_UploadStart, this, note.userInfo);
}

void AppController::handleNotification_UploadStart(const Notification &note)
{
    traceInside(kClassName, __func__);
    setStartedUploadProcess(true);
    const Info info = note.userInfo ? *note.userInfo : Info();
    watchUploadStarted(info);
    if (info.contains(cDictKeyCurItem))
        ibUpdateFileNameField(info.value(cDictKeyCurItem).toString());
    else
        consoleLog(QStringLiteral("handleNotification_UploadStart got bad itemToMove = nil..."));
    // The window shows the name in a field of its own; the status line names the picture itself.
    const QString uploading = QStringLiteral("Uploading...");
    reportStatusLine(
        "upload", QString(uploading + QLatin1Char(' ') + info.value(cDictKeyCurItem).toString()).trimmed());
    ibUpdateNSTextField(ibUploadFileStatusField, uploading, false, false);
    performOnMainThread([this] { ibUpdateProgressBar(QStringLiteral("YES")); });

    ImageViewOutlet *view = ibImageView;
    if (view && getPrefShowPreviewWhenUploading()) {
        // Decoded at preview size, so a huge picture costs no more memory than a small one.
        // The picture being sent, through the scan's descriptor, not whatever its path leads to now.
        const OpenedPictureRef opened = info.value(cDictKeyOpenedPicture).value<OpenedPictureRef>();
        QImageReader reader(opened ? opened->readPath() : info.value(cDictKeyFileName).toString());
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.isValid() && (size.width() > 800 || size.height() > 800))
            reader.setScaledSize(size.scaled(800, 800, Qt::KeepAspectRatio));
        const QImage image = reader.read();
        if (!image.isNull())
            performOnMainThread([view, image] {
                view->setImage(image);
                view->display();
            });
    }
}

} // namespace vesk
