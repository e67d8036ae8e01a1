// Replays every seed of a fuzz corpus through its fuzz target: no crash (the target traps when one
// of its checks fails), and no hang.

#include <QDir>

#include "app/TimedWait.h"
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(FuzzCorpus, EverySeedPassesTheTargetInBoundedTime)
{
    const QDir corpus(QStringLiteral(VESK_CORPUS_DIR));
    const QStringList seeds = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_GE(seeds.size(), 5) << "corpus missing: " << VESK_CORPUS_DIR;
    for (const QString &seed : seeds) {
        QFile file(corpus.filePath(seed));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << seed.toStdString();
        const QByteArray bytes = file.readAll();

        // A hung seed cannot be stopped: report it and end the program instead of waiting forever.
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        std::thread worker([&] {
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
            std::lock_guard<std::mutex> guard(lock);
            finished = true;
            done.notify_all();
        });
        std::unique_lock<std::mutex> guard(lock);
        if (!vesk::timedWait(done, guard, std::chrono::seconds(30), [&] { return finished; })) {
            ADD_FAILURE() << "seed " << seed.toStdString() << " did not finish within 30 s";
            std::fflush(nullptr);
            std::_Exit(1);
        }
        guard.unlock();
        worker.join();
    }
}
