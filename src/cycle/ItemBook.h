#pragma once
// What the cycle remembers about single pictures between passes, so that one bad picture never
// stops the ones behind it:
//  - pictures whose transfer failed wait a growing while before they are tried again (the pictures
//    behind them go first);
//  - pictures that the service took (or rejected) but that could not leave the source folder are
//    never sent again while they stay unchanged; only their move is retried. This record is kept on
//    disk, so that a restart does not send them again either.
// Thread-safe.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vesk {

class ItemBook {
public:
    enum class Destination { Mirror, Problem };

    struct Identity {
        qint64 size = -1;
        qint64 modifiedNs = 0;
        quint64 inode = 0;
        bool operator==(const Identity &) const = default;
    };
    static std::optional<Identity> identify(const QString &fullPath);

    // ledgerFile: where the unmoved pictures are kept; empty keeps them in memory only.
    explicit ItemBook(QString ledgerFile = {});

    // Transfer failures, keyed by the picture's full path. Answers the seconds until the picture
    // may be tried again: baseSeconds, doubled at each failure in a row, at most maxSeconds.
    double noteTransferFailure(const QString &fullPath, double baseSeconds, double maxSeconds);
    // Every picture waiting for a retry may go now (its count stays).
    void makeAllDue();
    void forget(const QString &fullPath);
    // When the picture may be tried again; none when it may be tried now.
    std::optional<QDateTime> retryAfter(const QString &fullPath) const;
    int failureCount(const QString &fullPath) const;
    // The pictures waiting for a retry, and the earliest retry among them. A picture that has left
    // its folder since its failure is forgotten here.
    struct Waiting {
        int pictures = 0;
        std::optional<QDateTime> nextTry;
    };
    Waiting waitingForRetry();

    // Pictures done with, waiting to be moved.
    void noteUnmoved(const QString &fullPath, Destination where);
    // The destination of an unmoved picture that is still the same file; a picture that changed
    // since is dropped from the ledger (it is a new picture and goes up again).
    std::optional<Destination> unmoved(const QString &fullPath);
    void clearUnmoved(const QString &fullPath);

    // True the first time it is given this occasion (for an entry passed over: its path, change
    // time and mode), so that what stays the same is reported once, not every pass.
    bool firstNotice(const QString &occasion);

private:
    // A failed picture, by its folder and its name in it: a folder's path is kept once for all its
    // pictures, and most pictures' names fit in the string itself. A backlog of 100,000 pictures
    // that all failed once costs some 15 MB rather than 30.
    struct FailureKey {
        quint32 folder = 0; // in fFolderNames
        std::string name;
        auto operator<=>(const FailureKey &) const = default;
    };
    struct Failure {
        qint64 nextAttemptMs = 0; // since the epoch
        int count = 0;
    };
    using Failures = std::map<FailureKey, Failure>;
    using Scheduled = std::pair<qint64, const Failures::value_type *>;
    struct ByTime {
        bool operator()(const Scheduled &a, const Scheduled &b) const
        {
            return a.first != b.first ? a.first < b.first : std::less<const void *>()(a.second, b.second);
        }
    };
    struct Unmoved {
        Identity identity;
        Destination where;
    };
    void load();
    void save();
    FailureKey addKey(const QString &fullPath); // its folder remembered
    QString pathOf(const FailureKey &key) const;
    Failures::const_iterator findFailure(const QString &fullPath) const;
    void eraseFailure(Failures::const_iterator it);

    QString fLedgerFile;
    mutable std::mutex fLock;
    std::vector<QByteArray> fFolderNames;
    QHash<QByteArray, quint32> fFolderIds;
    Failures fFailures;
    std::set<Scheduled, ByTime> fByNextAttempt;
    std::optional<FailureKey> fLookedAt; // the last failure whose picture was looked for
    std::map<QString, Unmoved> fUnmoved;
    std::set<QString> fNoticed;
};

} // namespace vesk
