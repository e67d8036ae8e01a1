// Interim: the moves and the housekeeping before they are built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

bool AppController::moveFileToPath(const QString &, const QString &)
{
    return false;
}
bool AppController::moveFileToPath(const QString &, const QString &, bool, bool)
{
    return false;
}
bool AppController::moveFileToPath(const QString &, const QString &, const std::optional<QString> &, bool, bool)
{
    return false;
}
void AppController::doSetupDeleteOldPhotosThread()
{
    traceInside(kClassName, __func__);
}
void AppController::deleteOldOldPhotosAndFolderIfEmptyWorks()
{
    traceInside(kClassName, __func__);
}
void AppController::deleteFolderIfEmpty(const std::optional<QString> &, bool, const std::optional<QDateTime> &)
{
    traceInside(kClassName, __func__);
}
void AppController::deleteFolderIfEmpty(const std::optional<QString> &, bool)
{
    traceInside(kClassName, __func__);
}
void AppController::deleteOLDFolderIfEmpty(const std::optional<QString> &, bool, qint16)
{
    traceInside(kClassName, __func__);
}
void AppController::ibDeleteLocalFtpFolderIfEmpty()
{
    traceInside(kClassName, __func__);
}

} // namespace vesk
