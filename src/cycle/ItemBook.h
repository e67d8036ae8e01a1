#pragma once
// What the cycle remembers about single pictures between passes, so that one bad picture never
// stops the ones behind it:
//  - pictures whose transfer failed wait a growing while before they are tried again (the pictures
//    behind them go first);
//  - pictures that the service took (or rejected) but that could not leave the source folder are
//    never sent again while they stay unchanged; only their move is retried. This record is kept on
//    disk, so that a restart does not send them again either.
// Thread-safe.

#include <QDateTime>
#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <set>

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
    struct Failure {
        int count = 0;
        QDateTime nextAttempt;
    };
    struct Unmoved {
        Identity identity;
        Destination where;
    };
    void load();
    void save();
    void eraseFailure(std::map<QString, Failure>::iterator it);

    QString fLedgerFile;
    mutable std::mutex fLock;
    std::map<QString, Failure> fFailures;
    std::set<std::pair<qint64, QString>> fByNextAttempt; // ms since the epoch, path
    QString fLookedAt; // the last failure whose picture was looked for
    std::map<QString, Unmoved> fUnmoved;
    std::set<QString> fNoticed;
};

} // namespace vesk
