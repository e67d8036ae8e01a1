#pragma once
// The photo-sharing service's pages: the upload on POST /index.php, the list of received pictures on GET /
// and the stored pictures under /files/. Runs on the server's connection threads, several at a time.

#include "HttpServer.h"
#include "ServiceOptions.h"
#include "UploadStore.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace vesk::service {

class PhotoService {
public:
    // Both must outlive the service.
    PhotoService(const ServiceOptions &options, UploadStore &store);

    void handle(const HttpRequest &request, HttpExchange &exchange);

    // How long the "slow" outcome waits before it answers.
    void setSlowDelay(std::chrono::milliseconds delay) { fSlowDelay = delay; }

private:
    // redirected: the request came to the address a redirect rule sends uploads to.
    void upload(const HttpRequest &request, HttpExchange &exchange, bool redirected);
    void listing(const HttpRequest &request, HttpExchange &exchange);
    void storedFile(const HttpRequest &request, HttpExchange &exchange);
    // Whether the rule still applies to this request for the file name; counts the request when it does.
    bool ruleApplies(const Rule &rule, const std::string &fileName);

    const ServiceOptions &fOptions;
    UploadStore &fStore;
    std::chrono::milliseconds fSlowDelay { 5000 };
    std::mutex fCountLock; // guards fRuleCounts
    std::map<std::pair<const Rule *, std::string>, int> fRuleCounts; // requests answered by a counted rule
};

// Where the redirect rules send an upload; it is taken there as on /index.php.
inline constexpr const char *kRedirectedPath = "/redirected/index.php";

// The reply body: <?xml ...?><response><status>S</status><message>M</message></response>, M escaped.
std::string replyXml(const char *status, const QString &message);

} // namespace vesk::service
