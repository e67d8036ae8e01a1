#pragma once
// HttpController: the HTTP upload client. One instance, created at launch; it sends one picture per
// "UploadStartNotification" on the posting thread and classifies the outcome.

#include "cycle/NotificationCenter.h"

#include <QString>

namespace vesk {

class HttpController {
public:
    HttpController(NotificationCenter &center, QString endpoint);
    ~HttpController();
    HttpController(const HttpController &) = delete;
    HttpController &operator=(const HttpController &) = delete;

    static constexpr const char *kClassName = "HttpController";

    // Cuts off the transfer in progress, if any, and refuses new ones. Any thread.
    void cancel();

    const QString &endpoint() const { return fEndpoint; }

private:
    NotificationCenter &fCenter;
    QString fEndpoint;
};

} // namespace vesk
