// Interim: the command channel before it is built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::setupForAppleEventsForThisApp()
{
    consoleLog(QStringLiteral("setupForAppleEventsForThisApp\n"));
}

} // namespace vesk
