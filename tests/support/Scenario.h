#pragma once
// The base of the end-to-end tests, with the real program (FaultRun) or a controller in process
// (CycleHarness): a private profile with source, mirror and problem folders, the substitute photo
// service, and the pictures of the scenario, each remembered by its bytes so that every one can be
// accounted for at the end, wherever it went and whatever its name became.

#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QVariantMap>

#include <chrono>
#include <map>
#include <vector>

namespace vesk::test {

// Where a picture may be when the scenario is over.
enum Place : unsigned {
    InSource = 1u << 0,
    InMirror = 1u << 1,
    InProblem = 1u << 2,
    Gone = 1u << 3, // may be nowhere: bytes the scenario replaced while they were on their way
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

class Scenario {
public:
    explicit Scenario(const QStringList &serviceArguments = {});
    virtual ~Scenario() = default;
    Scenario(const Scenario &) = delete;
    Scenario &operator=(const Scenario &) = delete;

    QString sourcePath(const QString &relative) const { return source + QLatin1Char('/') + relative; }
    QString mirrorPath(const QString &relative) const { return mirror + QLatin1Char('/') + relative; }
    QString problemPath(const QString &relative) const { return problem + QLatin1Char('/') + relative; }

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
    // The bytes a picture would get (tests that write the file themselves): a real picture made by
    // vesk-sample-pictures, then bytes of the label's own.
    QByteArray pictureBytes(const QString &label, qint64 size = 0);

    // Writes the preferences file: folders, login, event; auto-synchronize and preview off unless
    // extra says otherwise.
    void writePreferences(const QVariantMap &extra = {});

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

    TempProfile profile;
    ServiceProcess service;
    QString source, mirror, problem;
    std::vector<TrackedPicture> pictures;

protected:
    // Why nothing will settle any more (the program has ended); empty while it still may.
    virtual QString gaveUp() const { return {}; }

private:
    struct Seen {
        unsigned place;
        QString relative;
        QString sha256; // empty for anything but a regular file
    };
    // Everything in the three folders now; file contents are hashed once per version of a file.
    std::vector<Seen> snapshot() const;
    static std::vector<const Seen *> locate(const TrackedPicture &picture, const std::vector<Seen> &seen);
    bool settled() const;
    mutable std::map<QByteArray, std::pair<QByteArray, QString>> fHashes; // path -> (stat key, sha)
    QByteArray fSample;
};

// SHA-256 of a regular file's bytes (lower-case hexadecimal); empty when it cannot be read.
QString sha256OfFile(const QString &path);

} // namespace vesk::test
