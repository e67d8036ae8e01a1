#include "cycle/ItemBook.h"

#include "app/Paths.h"
#include "diag/Console.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <sys/stat.h>

namespace vesk {

std::optional<ItemBook::Identity> ItemBook::identify(const QString &fullPath)
{
    struct stat info { };
    if (::stat(QFile::encodeName(fullPath).constData(), &info) != 0)
        return std::nullopt;
    Identity identity;
    identity.size = static_cast<qint64>(info.st_size);
    identity.modifiedNs = static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    identity.inode = static_cast<quint64>(info.st_ino);
    return identity;
}

ItemBook::ItemBook(QString ledgerFile)
    : fLedgerFile(std::move(ledgerFile))
{
    load();
}

namespace {
// A picture's folder with its final slash, and its name: all that follows it.
std::pair<QByteArray, std::string> splitPath(const QString &fullPath)
{
    const QByteArray path = QFile::encodeName(fullPath);
    const qsizetype nameAt = path.lastIndexOf('/') + 1;
    return { path.left(nameAt), std::string(path.constData() + nameAt, size_t(path.size() - nameAt)) };
}
} // namespace

ItemBook::FailureKey ItemBook::addKey(const QString &fullPath)
{
    auto [folder, name] = splitPath(fullPath);
    auto known = fFolderIds.constFind(folder);
    if (known == fFolderIds.cend()) {
        known = fFolderIds.insert(folder, quint32(fFolderNames.size()));
        fFolderNames.push_back(folder);
    }
    return FailureKey { known.value(), std::move(name) };
}

QString ItemBook::pathOf(const FailureKey &key) const
{
    return QFile::decodeName(fFolderNames.at(key.folder) + QByteArray::fromStdString(key.name));
}

ItemBook::Failures::const_iterator ItemBook::findFailure(const QString &fullPath) const
{
    auto [folder, name] = splitPath(fullPath);
    const auto known = fFolderIds.constFind(folder);
    return known == fFolderIds.cend() ? fFailures.cend() : fFailures.find(FailureKey { known.value(), std::move(name) });
}

double ItemBook::noteTransferFailure(const QString &fullPath, double baseSeconds, double maxSeconds)
{
    std::lock_guard<std::mutex> guard(fLock);
    auto [it, added] = fFailures.try_emplace(addKey(fullPath));
    Failure &failure = it->second;
    if (!added)
        fByNextAttempt.erase({ failure.nextAttemptMs, &*it });
    ++failure.count;
    const double delay = std::min(maxSeconds, baseSeconds * std::pow(2.0, std::min(failure.count - 1, 20)));
    failure.nextAttemptMs = QDateTime::currentMSecsSinceEpoch() + static_cast<qint64>(delay * 1000.0);
    fByNextAttempt.emplace(failure.nextAttemptMs, &*it);
    return delay;
}

void ItemBook::eraseFailure(Failures::const_iterator it)
{
    fByNextAttempt.erase({ it->second.nextAttemptMs, &*it });
    fFailures.erase(it);
    if (fFailures.empty()) {
        // Nothing waits: the folders' names go too.
        fFolderNames.clear();
        fFolderIds.clear();
        fLookedAt.reset();
    }
}

ItemBook::Waiting ItemBook::waitingForRetry()
{
    std::lock_guard<std::mutex> guard(fLock);
    // Pictures that left their folders since their failure are forgotten, a few looked at per call
    // in turn: a call costs the same whether three pictures wait or a whole backlog.
    constexpr size_t kLooksPerCall = 16;
    auto it = fLookedAt ? fFailures.upper_bound(*fLookedAt) : fFailures.begin();
    for (size_t looks = std::min(kLooksPerCall, fFailures.size()); looks > 0; --looks) {
        if (it == fFailures.end())
            it = fFailures.begin();
        fLookedAt = it->first;
        struct stat info { };
        const bool gone = ::lstat(QFile::encodeName(pathOf(it->first)).constData(), &info) != 0
            && (errno == ENOENT || errno == ENOTDIR);
        auto next = std::next(it);
        if (gone)
            eraseFailure(it);
        it = next;
    }
    Waiting waiting;
    waiting.pictures = static_cast<int>(fFailures.size());
    if (!fByNextAttempt.empty())
        waiting.nextTry = QDateTime::fromMSecsSinceEpoch(fByNextAttempt.begin()->first, Qt::UTC);
    return waiting;
}

void ItemBook::makeAllDue()
{
    std::lock_guard<std::mutex> guard(fLock);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    fByNextAttempt.clear();
    for (auto &entry : fFailures) {
        entry.second.nextAttemptMs = now;
        fByNextAttempt.emplace(now, &entry);
    }
}

void ItemBook::forget(const QString &fullPath)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (auto it = findFailure(fullPath); it != fFailures.cend())
        eraseFailure(it);
}

std::optional<QDateTime> ItemBook::retryAfter(const QString &fullPath) const
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = findFailure(fullPath);
    if (it == fFailures.cend() || it->second.nextAttemptMs <= QDateTime::currentMSecsSinceEpoch())
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(it->second.nextAttemptMs, Qt::UTC);
}

int ItemBook::failureCount(const QString &fullPath) const
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = findFailure(fullPath);
    return it == fFailures.cend() ? 0 : it->second.count;
}

void ItemBook::noteUnmoved(const QString &fullPath, Destination where)
{
    const std::optional<Identity> identity = identify(fullPath);
    if (!identity)
        return;
    std::lock_guard<std::mutex> guard(fLock);
    fUnmoved[fullPath] = Unmoved { *identity, where };
    if (auto it = findFailure(fullPath); it != fFailures.cend())
        eraseFailure(it);
    save();
}

std::optional<ItemBook::Destination> ItemBook::unmoved(const QString &fullPath)
{
    std::lock_guard<std::mutex> guard(fLock);
    auto it = fUnmoved.find(fullPath);
    if (it == fUnmoved.end())
        return std::nullopt;
    const std::optional<Identity> identity = identify(fullPath);
    if (!identity || !(*identity == it->second.identity)) {
        fUnmoved.erase(it);
        save();
        return std::nullopt;
    }
    return it->second.where;
}

void ItemBook::clearUnmoved(const QString &fullPath)
{
    std::lock_guard<std::mutex> guard(fLock);
    if (fUnmoved.erase(fullPath))
        save();
}

bool ItemBook::firstNotice(const QString &occasion)
{
    std::lock_guard<std::mutex> guard(fLock);
    // Bounded: a tree that keeps changing is reported again rather than remembered without end.
    if (fNoticed.size() >= 10000)
        fNoticed.clear();
    return fNoticed.insert(occasion).second;
}

void ItemBook::load()
{
    if (fLedgerFile.isEmpty() || !QFileInfo::exists(fLedgerFile))
        return;
    QFile file(fLedgerFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(16 * 1024 * 1024));
    if (!document.isArray()) {
        consoleLog(QStringLiteral("Ignoring the unreadable record of unmoved pictures [%1]").arg(fLedgerFile));
        return;
    }
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        const QString path = object.value(QStringLiteral("path")).toString();
        if (path.isEmpty())
            continue;
        Unmoved entry;
        entry.identity.size = static_cast<qint64>(object.value(QStringLiteral("size")).toDouble(-1));
        entry.identity.modifiedNs = object.value(QStringLiteral("modifiedNs")).toString().toLongLong();
        entry.identity.inode = object.value(QStringLiteral("inode")).toString().toULongLong();
        entry.where = object.value(QStringLiteral("destination")).toString() == QLatin1String("problem")
            ? Destination::Problem
            : Destination::Mirror;
        fUnmoved[path] = entry;
    }
}

void ItemBook::save()
{
    if (fLedgerFile.isEmpty())
        return;
    QJsonArray array;
    for (const auto &[path, entry] : fUnmoved) {
        array.append(QJsonObject {
            { QStringLiteral("path"), path },
            { QStringLiteral("size"), static_cast<double>(entry.identity.size) },
            { QStringLiteral("modifiedNs"), QString::number(entry.identity.modifiedNs) },
            { QStringLiteral("inode"), QString::number(entry.identity.inode) },
            { QStringLiteral("destination"),
                entry.where == Destination::Problem ? QStringLiteral("problem") : QStringLiteral("mirror") },
        });
    }
    paths::makeFolder(QFileInfo(fLedgerFile).absolutePath(), 0700);
    QSaveFile file(fLedgerFile);
    if (file.open(QIODevice::WriteOnly)) {
        // Like the other state files: the paths of the user's pictures are for the user alone.
        ::fchmod(file.handle(), 0600);
        file.write(QJsonDocument(array).toJson(QJsonDocument::Compact));
        file.commit();
    }
}

} // namespace vesk
