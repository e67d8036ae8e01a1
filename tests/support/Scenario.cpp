#include "Scenario.h"

#include "prefs/PropertyList.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk::test {

namespace {

struct Entry {
    QByteArray path; // native, as the file system has it
    QString relative; // for messages
    bool regular = false;
};

// Every entry below the folder, links not followed; names kept as raw bytes so that a name that
// is not valid UTF-8 can still be opened.
void listTree(const QByteArray &folder, const QString &relative, std::vector<Entry> &out, int depth = 0)
{
    DIR *dir = depth > 32 ? nullptr : ::opendir(folder.constData());
    if (!dir)
        return;
    while (dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = folder + '/' + name;
        const QString rel = (relative.isEmpty() ? QString() : relative + QLatin1Char('/')) + QString::fromUtf8(name);
        struct stat info { };
        if (::lstat(path.constData(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            listTree(path, rel, out, depth + 1);
        else
            out.push_back(Entry { path, rel, S_ISREG(info.st_mode) });
    }
    ::closedir(dir);
}

QString sha256OfNative(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), size_t(buffer.size()))) > 0)
        hash.addData(QByteArrayView(buffer.constData(), n));
    ::close(fd);
    return n < 0 ? QString() : QString::fromLatin1(hash.result().toHex());
}

QString placeNames(unsigned places)
{
    QStringList names;
    for (const auto &[place, name] : { std::pair { InSource, "source" }, std::pair { InMirror, "mirror" },
             std::pair { InProblem, "problem folder" }, std::pair { Gone, "nowhere" } }) {
        if (places & place)
            names << QLatin1String(name);
    }
    return names.join(QStringLiteral(" or "));
}

} // namespace

QString sha256OfFile(const QString &path)
{
    return sha256OfNative(QFile::encodeName(path));
}

Scenario::Scenario(const QStringList &serviceArguments)
    : service(serviceArguments)
    , source(profile.path(QStringLiteral("source")))
    , mirror(profile.path(QStringLiteral("mirror")))
    , problem(profile.path(QStringLiteral("Problem Folder")))
{
    QDir().mkpath(source);
    QDir().mkpath(mirror);
}

QByteArray Scenario::pictureBytes(const QString &label, qint64 size)
{
    if (fSample.isEmpty()) {
        // One real picture with EXIF and an annotation; every picture of the run is it plus bytes
        // of its own after the image data.
        QTemporaryDir samples;
        const int status = QProcess::execute(buildBinFolder() + QStringLiteral("/vesk-sample-pictures"),
            { QStringLiteral("--out"), samples.path(), QStringLiteral("--count"), QStringLiteral("1"),
                QStringLiteral("--folders"), QStringLiteral("0"), QStringLiteral("--date"),
                QStringLiteral("2025:06:01 12:00:00") });
        QFile sample(samples.path() + QStringLiteral("/IMG_0001.JPG"));
        if (status != 0 || !sample.open(QIODevice::ReadOnly))
            ADD_FAILURE() << "vesk-sample-pictures did not make a sample picture";
        else
            fSample = sample.readAll();
    }
    QByteArray bytes = fSample + "\n--" + label.toUtf8() + "--\n";
    QByteArray block = QCryptographicHash::hash(label.toUtf8(), QCryptographicHash::Sha256);
    while (bytes.size() < size) {
        bytes += block;
        block = QCryptographicHash::hash(block, QCryptographicHash::Sha256);
    }
    if (size > 0)
        bytes.truncate(size);
    return bytes;
}

QString Scenario::addPicture(const QString &relative, unsigned allowed, int maxUploads, qint64 size)
{
    const QByteArray bytes = pictureBytes(relative, size);
    EXPECT_TRUE(writeFile(sourcePath(relative), bytes)) << relative.toStdString();
    return trackContent(relative, bytes, allowed, maxUploads);
}

QString Scenario::trackContent(
    const QString &label, const QByteArray &bytes, unsigned allowed, int maxUploads, bool keepsName)
{
    pictures.push_back(TrackedPicture { label, sha256Of(bytes), bytes.size(), allowed, maxUploads, 0, keepsName });
    return pictures.back().sha256;
}

QString Scenario::trackFile(const QString &relative, unsigned allowed, int maxUploads)
{
    const QString sha = sha256OfFile(sourcePath(relative));
    EXPECT_FALSE(sha.isEmpty()) << relative.toStdString();
    pictures.push_back(
        TrackedPicture { relative, sha, QFileInfo(sourcePath(relative)).size(), allowed, maxUploads, 0, true });
    return sha;
}

void Scenario::trackEntry(const QString &relative, unsigned allowed)
{
    pictures.push_back(TrackedPicture { relative, QString(), 0, allowed, 0, 0, true });
}

void Scenario::writePreferences(const QVariantMap &extra)
{
    QVariantMap preferences {
        { QStringLiteral("prefLocalSourceUploadFolder"), source },
        { QStringLiteral("prefLocalMasterMirrorSiteFolder"), mirror },
        { QStringLiteral("userLoginName"), QStringLiteral("photographer") },
        { QStringLiteral("userLoginPassword"), QStringLiteral("s3cret") },
        { QStringLiteral("userEnteredEventName"), QStringLiteral("Fault Night") },
        { QStringLiteral("prefAutoSynchronize"), false },
        { QStringLiteral("prefShowPreviewWhenUploading"), false },
    };
    preferences.insert(extra);
    QDir().mkpath(profile.path(QStringLiteral("config/Vesk-FTPUploader")));
    EXPECT_TRUE(plist::writeXmlFileAtomically(
        profile.path(QStringLiteral("config/Vesk-FTPUploader/preferences.plist")), preferences, 0600));
}

std::vector<Scenario::Seen> Scenario::snapshot() const
{
    std::vector<Seen> seen;
    for (const unsigned place : { InSource, InMirror, InProblem }) {
        std::vector<Entry> entries;
        listTree(QFile::encodeName(place == InSource ? source
                         : place == InMirror         ? mirror
                                                     : problem),
            QString(), entries);
        for (const Entry &entry : entries) {
            QString sha;
            struct stat info { };
            if (entry.regular && ::stat(entry.path.constData(), &info) == 0) {
                // A file is hashed again only when it is another file or has changed.
                const QByteArray key = QByteArray(reinterpret_cast<const char *>(&info.st_ino), sizeof info.st_ino)
                    + QByteArray(reinterpret_cast<const char *>(&info.st_size), sizeof info.st_size)
                    + QByteArray(reinterpret_cast<const char *>(&info.st_mtim), sizeof info.st_mtim)
                    + QByteArray(reinterpret_cast<const char *>(&info.st_ctim), sizeof info.st_ctim);
                auto &[known, hash] = fHashes[entry.path];
                if (known != key || hash.isEmpty()) {
                    known = key;
                    hash = sha256OfNative(entry.path);
                }
                sha = hash;
            }
            seen.push_back(Seen { place, entry.relative, sha });
        }
    }
    return seen;
}

std::vector<const Scenario::Seen *> Scenario::locate(const TrackedPicture &picture, const std::vector<Seen> &seen)
{
    std::vector<const Seen *> found;
    for (const Seen &entry : seen) {
        if (picture.sha256.isEmpty() ? entry.sha256.isEmpty() && entry.relative == picture.label
                                     : entry.sha256 == picture.sha256)
            found.push_back(&entry);
    }
    return found;
}

bool Scenario::settled() const
{
    const std::vector<Seen> seen = snapshot();
    for (const TrackedPicture &picture : pictures) {
        const std::vector<const Seen *> found = locate(picture, seen);
        if (!(picture.allowed & (InSource | Gone)) && (found.size() != 1 || !(found.front()->place & picture.allowed)))
            return false;
    }
    return true;
}

bool Scenario::waitSettled(std::chrono::milliseconds limit)
{
    waitFor([this] { return settled() || !gaveUp().isEmpty(); }, limit);
    if (settled())
        return true;
    if (const QString reason = gaveUp(); !reason.isEmpty())
        ADD_FAILURE() << reason.toStdString();
    return false;
}

int Scenario::uploadsOf(const QString &sha256) const
{
    int count = 0;
    for (const ServiceUpload &upload : service.uploads())
        count += upload.sha256 == sha256;
    return count;
}

QString Scenario::shaOf(const QString &label) const
{
    for (const TrackedPicture &picture : pictures) {
        if (picture.label == label)
            return picture.sha256;
    }
    return {};
}

QString Scenario::inventory() const
{
    QString text;
    const std::vector<Seen> seen = snapshot();
    for (const TrackedPicture &picture : pictures) {
        QStringList where;
        for (const Seen *found : locate(picture, seen))
            where << placeNames(found->place) + QStringLiteral(": ") + found->relative;
        text += QStringLiteral("  %1 -> %2 (uploads %3)\n")
                    .arg(picture.label, where.isEmpty() ? QStringLiteral("MISSING") : where.join(QStringLiteral(", ")))
                    .arg(picture.sha256.isEmpty() ? 0 : uploadsOf(picture.sha256));
    }
    return text;
}

void Scenario::verify()
{
    const QList<ServiceUpload> uploads = service.uploads();
    std::map<QString, const TrackedPicture *> bySha;
    for (const TrackedPicture &picture : pictures) {
        if (!picture.sha256.isEmpty()) {
            EXPECT_EQ(bySha.count(picture.sha256), 0u) << "two pictures of the scenario have the same bytes";
            bySha[picture.sha256] = &picture;
        }
    }
    const std::string where = inventory().toStdString();
    const std::vector<Seen> seen = snapshot();
    for (const TrackedPicture &picture : pictures) {
        SCOPED_TRACE(picture.label.toStdString());
        const std::vector<const Seen *> found = locate(picture, seen);
        if (!found.empty() || !(picture.allowed & Gone)) {
            ASSERT_EQ(found.size(), 1u) << "every picture is in exactly one place:\n" << where;
        }
        const Seen at = found.empty() ? Seen { Gone, QString(), picture.sha256 } : *found.front();
        EXPECT_TRUE(at.place & picture.allowed)
            << "in the " << placeNames(at.place).toStdString() << " at " << at.relative.toStdString()
            << ", expected in the " << placeNames(picture.allowed).toStdString() << "\n"
            << where;
        if (picture.keepsName && !found.empty()) {
            EXPECT_EQ(at.relative, picture.label) << "found under another name";
        }
        if (picture.sha256.isEmpty())
            continue;
        int sent = 0;
        int taken = 0;
        for (const ServiceUpload &upload : uploads) {
            if (upload.sha256 != picture.sha256)
                continue;
            ++sent;
            if (upload.outcome == QLatin1String("ok") || upload.outcome == QLatin1String("slow")) {
                ++taken;
                EXPECT_EQ(upload.size, picture.size);
                EXPECT_EQ(sha256OfFile(upload.stored), picture.sha256) << "the service's copy is not whole";
            }
        }
        EXPECT_LE(sent, picture.maxUploads) << "sent too often:\n" << where;
        EXPECT_GE(sent, picture.minUploads) << where;
        if (at.place == InMirror) {
            EXPECT_GE(taken, 1) << "in the mirror, but the service never took it:\n" << where;
        }
    }
    // Nothing reached the service that is not one of the pictures, whole.
    for (const ServiceUpload &upload : uploads)
        EXPECT_EQ(bySha.count(upload.sha256), 1u)
            << "the service received bytes of no picture: " << upload.filename.toStdString() << " (" << upload.size
            << " bytes, " << upload.outcome.toStdString() << ")";
}

} // namespace vesk::test
