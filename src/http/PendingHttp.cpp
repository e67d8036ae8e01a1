// Interim: the upload client before the transfer is built.
#include "app/AppController.h"
#include "http/HttpController.h"

namespace vesk {

HttpController::HttpController(NotificationCenter &center, QString endpoint)
    : fCenter(center)
    , fEndpoint(std::move(endpoint))
{ }

HttpController::~HttpController() = default;

void HttpController::cancel() { }

void AppController::createHttpController()
{
    fHttpController = std::make_unique<HttpController>(fCenter, fOptions.endpoint);
}

void AppController::cancelTransfers()
{
    if (fHttpController)
        fHttpController->cancel();
}

} // namespace vesk
