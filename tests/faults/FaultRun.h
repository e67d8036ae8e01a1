#pragma once
// One fault scenario against the real program: a private profile with source, mirror and problem
// folders, the substitute photo service, the uploader started headless as a separate process (so
// that it can be killed), and the pictures of the scenario, each remembered by its content so that
// every one can be accounted for at the end, wherever it went and whatever its name became.

#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QProcess>
#include <QVariantMap>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

namespace vesk::test {

// Where a picture may be when the scenario is over.
enum Place : unsigned {
    InSource = 1u << 0,
    InMirror = 1u << 1,
    InProblem = 1u << 2,
};

struct TrackedPicture {
    QString label; // for messages: the relative path it was written under
    QString sha256; // empty for entries that are not regular files (tracked by their path)
    qint64 size = 0;
    unsigned allowed = InMirror; // Place bits
    int maxUploads = 1; // records of its bytes at the service, whatever the outcome
    int minUploads = 0;
    bool keepsName = true; // found under its own relative path wherever it is
};

class FaultRun {
public:
    explicit FaultRun(const QStringList &serviceArguments = {});
    ~FaultRun();
    FaultRun(const FaultRun &) = delete;
    FaultRun &operator=(const FaultRun &) = delete;

    // A picture with EXIF data and bytes of its own (size at least the sample's size), written
    // under source/relative and tracked. Returns its SHA-256.
    QString addPicture(const QString &relative, unsigned allowed = InMirror, int maxUploads = 1, qint64 size = 0);
    // Tracks bytes that the test wrote itself under a name that the label need not be.
    QString trackContent(
        const QString &label, const QByteArray &bytes, unsigned allowed, int maxUploads = 1, bool keepsName = true);
    // Tracks whatever regular file the test wrote itself at source/relative.
    QString trackFile(const QString &relative, unsigned allowed, int maxUploads = 1);
    // Tracks an entry that is not a regular file (a FIFO, a link) by its relative path, which it keeps
    // wherever it goes.
    void trackEntry(const QString &relative, unsigned allowed = InSource);
    // The bytes a picture would get (tests that write the file themselves).
    QByteArray pictureBytes(const QString &label, qint64 size = 0);

    // Writes the preferences: folders, login, event; auto-synchronize off unless extra says otherwise.
    void writePreferences(const QVariantMap &extra = {});

    // Starts vesk-ftpuploader --headless --endpoint <service> <source>, with the time scale and the
    // HTTP time-outs of the run; output is appended to files of the run.
    bool startProgram();
    // SIGTERM and a bounded wait; true when it ended by itself with status 0.
    bool stopProgram(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // SIGKILL, and waits until it is gone.
    void killProgram();
    bool programRunning() const;
    QString programOutput() const; // standard output of every start so far
    QString programErrors() const; // standard error (the console) of every start so far

    // Bounded wait until every tracked picture that must leave the source folder has left it.
    bool waitSettled(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Checks the accounting with gtest expectations: every tracked picture is in exactly one of its
    // allowed places, byte-identical; a mirrored picture reached the service whole; upload counts
    // are within their bounds; every record the service made is of a tracked picture's bytes.
    void verify();
    // One line per tracked picture and where it is (for failure messages).
    QString inventory() const;

    int uploadsOf(const QString &sha256) const;
    QString shaOf(const QString &label) const;

    // A command the program runs under (for example setpriv with fewer capabilities), and further
    // environment variables for it.
    QStringList programWrapper;
    QMap<QString, QString> programEnvironment;

    double timeScale = 0.02;
    int connectTimeout = 2;
    int stallTimeout = 1;

    TempProfile profile;
    ServiceProcess service;
    QString source, mirror, problem;
    std::vector<TrackedPicture> pictures;

private:
    struct Found {
        unsigned place;
        QString relative;
    };
    struct Seen {
        unsigned place;
        QString relative;
        QString sha256; // empty for anything but a regular file
    };
    // Everything in the three folders now; file contents are hashed once per version of a file.
    std::vector<Seen> snapshot() const;
    static std::vector<Found> locate(const TrackedPicture &picture, const std::vector<Seen> &seen);
    bool settled() const;
    struct HashedVersion {
        qint64 size, modifiedNs, changedNs;
        quint64 inode;
        QString sha256;
    };
    mutable std::map<QByteArray, HashedVersion> fHashes;

    std::unique_ptr<QProcess> fProgram;
    QByteArray fSample;
};

// SHA-256 of a regular file's bytes (lower-case hexadecimal); empty when it cannot be read.
QString sha256OfFile(const QString &path);

} // namespace vesk::test
