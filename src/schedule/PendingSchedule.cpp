// Interim: relaunch before it is built.
#include "app/AppController.h"
#include "diag/Console.h"

namespace vesk {

void AppController::doRelaunchThisApp()
{
    traceInside(kClassName, __func__);
}

} // namespace vesk
