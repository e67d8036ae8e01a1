#pragma once
// Drives one HttpController the way the cycle does: its own notification center with observers
// that register before the client (as the controller's do), uploads posted from a worker thread
// and waited for with a bound.

#include "cycle/CycleNames.h"
#include "cycle/NotificationCenter.h"
#include "http/HttpController.h"

#include <QTemporaryDir>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vesk::test {

struct UploadRun {
    bool finished = false; // the post returned within the bound
    int done = 0;
    int success = 0;
    int fail = 0;
    bool onPostingThread = true; // every observer ran on the thread that posted the start
    bool itemEmptyAfter = false; // the item record was empty once the post had returned
    bool resultWasSeparate = true; // the outcome record was not the item record
    Info outcome; // the record as the success or failure observers saw it
    bool failed() const { return fail == 1 && success == 0; }
    bool succeeded() const { return success == 1 && fail == 0; }
};

class UploadHarness : public CycleNames {
public:
    explicit UploadHarness(const QString &endpoint);
    ~UploadHarness();

    // Posts "UploadStartNotification" with the item from a worker and waits for it to return.
    UploadRun upload(const InfoRef &item, std::chrono::seconds limit = std::chrono::seconds(40));
    // The same, without waiting: the run is read with finish().
    void start(const InfoRef &item);
    UploadRun finish(std::chrono::seconds limit = std::chrono::seconds(40));

    HttpController &client() { return *fClient; }
    NotificationCenter &center() { return fCenter; }

    // A picture file in the harness's temporary folder.
    QString writePicture(const QString &name, const QByteArray &bytes);
    QString folder() const { return fDir.path(); }

private:
    void observe(const Notification &note, int UploadRun::*counter);

    QTemporaryDir fDir;
    NotificationCenter fCenter;
    std::unique_ptr<HttpController> fClient;
    std::mutex fLock;
    UploadRun fRun;
    InfoRef fItem;
    std::vector<std::thread::id> fObserverThreads;
    std::future<std::pair<std::thread::id, bool>> fPending; // the posting thread, item empty after
};

// An item record as the scan builds it, naming the given picture.
InfoRef makeItem(const QString &picture, bool withOptional);

} // namespace vesk::test
