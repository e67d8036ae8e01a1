#pragma once
// The storage folder: each picture under <root>/<event>/<name>, written to a temporary file first and moved
// into place once complete, and the upload log uploads.jsonl beside the event folders. Any thread.

#include <QJsonObject>
#include <QList>
#include <QString>

#include "Sha256.h"

#include <cstddef>
#include <memory>
#include <mutex>

namespace vesk::service {

// A picture being received: a temporary file in the storage folder, removed again unless committed.
class IncomingFile {
public:
    ~IncomingFile();
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;

    // Appends bytes and feeds them to the SHA-256; false when they did not all reach the file.
    bool write(const char *data, size_t size);
    // Closes the file and ends the SHA-256; false when the data could not be written out.
    bool finish();
    qint64 size() const { return fSize; }
    // Lower-case hexadecimal SHA-256 of everything written, once finished.
    const QString &sha256Hex() const { return fSha256; }
    const QString &path() const { return fPath; }

private:
    friend class UploadStore;
    IncomingFile(int fd, QString path);
    int fFd = -1;
    QString fPath;
    bool fCommitted = false;
    qint64 fSize = 0;
    Sha256 fHash;
    QString fSha256;
};

class UploadStore {
public:
    explicit UploadStore(const QString &root);

    // Creates the folder and removes temporary files that an interrupted run left behind.
    bool prepare(QString &error);
    const QString &root() const { return fRoot; }
    QString logPath() const;

    std::unique_ptr<IncomingFile> createIncoming(QString &error);
    // Moves a finished file to <root>/<event>/<name>, numbering the name when that file exists already, so an
    // earlier picture is never replaced. Event and name must be safe already. Answers the final path, or an
    // empty text with the reason in error.
    QString commit(IncomingFile &file, const QString &event, const QString &fileName, QString &error);

    // Appends the record as one JSON line, written whole and before any other record.
    bool appendRecord(const QJsonObject &record, QString &error);
    // Every record in the log, oldest first; lines that are not JSON objects are skipped.
    QList<QJsonObject> records() const;

private:
    QString fRoot;
    unsigned fFileMode = 0644;
    mutable std::mutex fLock; // serialises commits and the log
};

// A folder name for the event: control characters, slashes and backslashes become "_", blanks around it
// go, leading dots become "_", long names are shortened; an empty name becomes "_".
QString safeEventName(const QString &event);
// The same for a file name, after dropping any folder part ("../../x.jpg" becomes "x.jpg"); the extension
// survives shortening.
QString safeFileName(const QString &fileName);
// "IMG.JPG" numbered 2 is "IMG (2).JPG"; number 1 is the name itself.
QString numberedName(const QString &name, int number);

} // namespace vesk::service
