#include "UploadHarness.h"

#include "TestSupport.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace vesk::test {

UploadHarness::UploadHarness(const QString &endpoint)
{
    // Observers that register before the client's, as the controller's do.
    for (const auto &[name, counter] : { std::pair { cNotification_UploadDone, &UploadRun::done },
             std::pair { cNotification_UploadSuccess, &UploadRun::success },
             std::pair { cNotification_UploadFail, &UploadRun::fail } })
        fCenter.addObserver(this, name, [this, counter](const Notification &n) { observe(n, counter); });
    fClient = std::make_unique<HttpController>(fCenter, endpoint);
}

UploadHarness::~UploadHarness()
{
    if (fPending.valid()) {
        fClient->cancel();
        fPending.wait();
    }
    fClient.reset();
    fCenter.removeObserver(this);
}

void UploadHarness::observe(const Notification &note, int UploadRun::*counter)
{
    std::lock_guard<std::mutex> guard(fLock);
    ++(fRun.*counter);
    fObserverThreads.push_back(std::this_thread::get_id());
    if (note.object != fClient.get())
        ADD_FAILURE() << "posted with another object than the client";
    if (note.userInfo && counter != &UploadRun::done) {
        fRun.outcome = *note.userInfo;
        fRun.resultWasSeparate = fRun.resultWasSeparate && note.userInfo != fItem;
    }
}

void UploadHarness::start(const InfoRef &item)
{
    {
        std::lock_guard<std::mutex> guard(fLock);
        fRun = UploadRun {};
        fItem = item;
        fObserverThreads.clear();
    }
    fPending = std::async(std::launch::async, [this, item] {
        fCenter.post(cNotification_UploadStart, this, item);
        return std::make_pair(std::this_thread::get_id(), !item || item->isEmpty());
    });
}

UploadRun UploadHarness::finish(std::chrono::seconds limit)
{
    const bool ready = fPending.wait_for(limit) == std::future_status::ready;
    if (!ready) {
        ADD_FAILURE() << "the upload did not return within " << limit.count() << " s";
        fClient->cancel();
    }
    const auto [worker, empty] = fPending.get();
    std::lock_guard<std::mutex> guard(fLock);
    fRun.finished = ready;
    fRun.itemEmptyAfter = empty;
    for (const std::thread::id &thread : fObserverThreads)
        fRun.onPostingThread = fRun.onPostingThread && thread == worker;
    return fRun;
}

UploadRun UploadHarness::upload(const InfoRef &item, std::chrono::seconds limit)
{
    start(item);
    return finish(limit);
}

QString UploadHarness::writePicture(const QString &name, const QByteArray &bytes)
{
    const QString path = fDir.path() + QLatin1Char('/') + name;
    EXPECT_TRUE(writeFile(path, bytes)) << path.toStdString();
    return path;
}

InfoRef makeItem(const QString &picture, bool withOptional)
{
    using K = CycleNames;
    Info item { { K::cDictKeyUser, QStringLiteral("anna") }, { K::cDictKeyPasswd, QStringLiteral("s3cret") },
        { K::cDictKeyEventName, QStringLiteral("Gala 2026") }, { K::cDictKeyClientName, QStringLiteral("Studio Nord") },
        { K::cDictKeyCaptureTime, QStringLiteral("2026-12-06 13:45:00") },
        { K::cDictKeyMetaData, QStringLiteral("Table 7") }, { K::cDictKeyKobFuseAction, QStringLiteral("upload.add") },
        { K::cDictKeyFileName, picture },
        { K::cDictKeyCurItem, QString(QStringLiteral("Table7/") + QFileInfo(picture).fileName()) },
        { K::cDictKeyLocalRootFolder, QFileInfo(picture).absolutePath() } };
    if (withOptional) {
        item.insert(K::cDictKeyEmails, QStringLiteral("a@example.org,b@example.org"));
        item.insert(K::cDictKeyOriginalPath, QStringLiteral("/Volumes/Card/DCIM/IMG_0001.JPG"));
    }
    return makeInfo(item);
}

} // namespace vesk::test
