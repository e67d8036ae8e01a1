#include "FaultRun.h"

#include "prefs/PropertyList.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/prctl.h>
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
    if (depth > 32)
        return;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = folder + '/' + name;
        const QString rel
            = relative.isEmpty() ? QString::fromUtf8(name) : relative + QLatin1Char('/') + QString::fromUtf8(name);
        struct stat info { };
        if (::lstat(path.constData(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            listTree(path, rel, out, depth + 1);
            continue;
        }
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
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), n));
    }
    ::close(fd);
    return ok ? QString::fromLatin1(hash.result().toHex()) : QString();
}

QString placeName(unsigned place)
{
    switch (place) {
    case InSource:
        return QStringLiteral("source");
    case InMirror:
        return QStringLiteral("mirror");
    case InProblem:
        return QStringLiteral("problem folder");
    }
    return QStringLiteral("?");
}

QString allowedNames(unsigned allowed)
{
    QStringList names;
    for (const unsigned place : { InSource, InMirror, InProblem }) {
        if (allowed & place)
            names << placeName(place);
    }
    return names.join(QStringLiteral(" or "));
}

} // namespace

QString sha256OfFile(const QString &path)
{
    return sha256OfNative(QFile::encodeName(path));
}

FaultRun::FaultRun(const QStringList &serviceArguments)
    : service(serviceArguments)
{
    source = profile.path(QStringLiteral("source"));
    mirror = profile.path(QStringLiteral("mirror"));
    problem = profile.path(QStringLiteral("Problem Folder"));
    QDir().mkpath(source);
    QDir().mkpath(mirror);

    // One real picture with EXIF and an annotation; every picture of the run is it plus bytes of
    // its own after the image data.
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

FaultRun::~FaultRun()
{
    if (programRunning())
        killProgram();
}

QByteArray FaultRun::pictureBytes(const QString &label, qint64 size)
{
    QByteArray bytes = fSample;
    bytes += "\n--" + label.toUtf8() + "--\n";
    QByteArray block = QCryptographicHash::hash(label.toUtf8(), QCryptographicHash::Sha256);
    while (bytes.size() < size) {
        bytes += block;
        block = QCryptographicHash::hash(block, QCryptographicHash::Sha256);
    }
    if (size > 0 && bytes.size() > size)
        bytes.truncate(size);
    return bytes;
}

QString FaultRun::addPicture(const QString &relative, unsigned allowed, int maxUploads, qint64 size)
{
    const QByteArray bytes = pictureBytes(relative, size);
    EXPECT_TRUE(writeFile(source + QLatin1Char('/') + relative, bytes)) << relative.toStdString();
    pictures.push_back(TrackedPicture { relative, sha256Of(bytes), bytes.size(), allowed, maxUploads, 0, true });
    return pictures.back().sha256;
}

QString FaultRun::trackContent(
    const QString &label, const QByteArray &bytes, unsigned allowed, int maxUploads, bool keepsName)
{
    pictures.push_back(TrackedPicture { label, sha256Of(bytes), bytes.size(), allowed, maxUploads, 0, keepsName });
    return pictures.back().sha256;
}

QString FaultRun::trackFile(const QString &relative, unsigned allowed, int maxUploads)
{
    const QString path = source + QLatin1Char('/') + relative;
    const QString sha = sha256OfFile(path);
    EXPECT_FALSE(sha.isEmpty()) << relative.toStdString();
    pictures.push_back(TrackedPicture { relative, sha, QFileInfo(path).size(), allowed, maxUploads, 0, true });
    return sha;
}

void FaultRun::trackEntry(const QString &relative, unsigned allowed)
{
    pictures.push_back(TrackedPicture { relative, QString(), 0, allowed, 0, 0, true });
}

void FaultRun::writePreferences(const QVariantMap &extra)
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
    for (auto it = extra.begin(); it != extra.end(); ++it)
        preferences.insert(it.key(), it.value());
    QDir().mkpath(profile.path(QStringLiteral("config/Vesk-FTPUploader")));
    EXPECT_TRUE(plist::writeXmlFileAtomically(
        profile.path(QStringLiteral("config/Vesk-FTPUploader/preferences.plist")), preferences, 0600));
}

bool FaultRun::startProgram()
{
    fProgram = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("VESK_TIME_SCALE"), QString::number(timeScale));
    env.insert(QStringLiteral("VESK_HTTP_CONNECT_TIMEOUT"), QString::number(connectTimeout));
    env.insert(QStringLiteral("VESK_HTTP_STALL_TIMEOUT"), QString::number(stallTimeout));
    for (auto it = programEnvironment.cbegin(); it != programEnvironment.cend(); ++it)
        env.insert(it.key(), it.value());
    fProgram->setProcessEnvironment(env);
    fProgram->setStandardOutputFile(profile.path(QStringLiteral("program.out")), QIODevice::Append);
    fProgram->setStandardErrorFile(profile.path(QStringLiteral("program.err")), QIODevice::Append);
    // A test that dies takes the program with it.
    fProgram->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QStringList command = programWrapper;
    command << buildBinFolder() + QStringLiteral("/vesk-ftpuploader") << QStringLiteral("--headless")
            << QStringLiteral("--endpoint") << service.url() << source;
    fProgram->start(command.takeFirst(), command);
    return fProgram->waitForStarted(10000);
}

bool FaultRun::programRunning() const
{
    return fProgram && fProgram->state() != QProcess::NotRunning;
}

bool FaultRun::stopProgram(std::chrono::milliseconds limit)
{
    if (!programRunning())
        return false;
    ::kill(static_cast<pid_t>(fProgram->processId()), SIGTERM);
    if (!fProgram->waitForFinished(int(limit.count()))) {
        killProgram();
        return false;
    }
    return fProgram->exitStatus() == QProcess::NormalExit && fProgram->exitCode() == 0;
}

void FaultRun::killProgram()
{
    if (!programRunning())
        return;
    ::kill(static_cast<pid_t>(fProgram->processId()), SIGKILL);
    fProgram->waitForFinished(10000);
}

QString FaultRun::programOutput() const
{
    return readText(profile.path(QStringLiteral("program.out")));
}

QString FaultRun::programErrors() const
{
    return readText(profile.path(QStringLiteral("program.err")));
}

std::vector<FaultRun::Seen> FaultRun::snapshot() const
{
    std::vector<Seen> seen;
    for (const unsigned place : { InSource, InMirror, InProblem }) {
        const QString root = place == InSource ? source : place == InMirror ? mirror : problem;
        std::vector<Entry> entries;
        listTree(QFile::encodeName(root), QString(), entries);
        for (const Entry &entry : entries) {
            QString sha;
            struct stat info { };
            if (entry.regular && ::stat(entry.path.constData(), &info) == 0) {
                const qint64 modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
                const qint64 changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
                HashedVersion &known = fHashes[entry.path];
                if (known.sha256.isEmpty() || known.size != info.st_size || known.modifiedNs != modified
                    || known.changedNs != changed || known.inode != info.st_ino) {
                    known = HashedVersion { info.st_size, modified, changed, info.st_ino, sha256OfNative(entry.path) };
                }
                sha = known.sha256;
            }
            seen.push_back(Seen { place, entry.relative, sha });
        }
    }
    return seen;
}

std::vector<FaultRun::Found> FaultRun::locate(const TrackedPicture &picture, const std::vector<Seen> &seen)
{
    std::vector<Found> found;
    for (const Seen &entry : seen) {
        const bool match = picture.sha256.isEmpty() ? entry.sha256.isEmpty() && entry.relative == picture.label
                                                    : entry.sha256 == picture.sha256;
        if (match)
            found.push_back(Found { entry.place, entry.relative });
    }
    return found;
}

bool FaultRun::settled() const
{
    const std::vector<Seen> seen = snapshot();
    for (const TrackedPicture &picture : pictures) {
        if (picture.allowed & InSource)
            continue;
        const std::vector<Found> found = locate(picture, seen);
        if (found.size() != 1 || !(found.front().place & picture.allowed))
            return false;
    }
    return true;
}

bool FaultRun::waitSettled(std::chrono::milliseconds limit)
{
    // A program that died will not settle anything: say so at once.
    waitFor([this] { return settled() || (fProgram && !programRunning()); }, limit);
    if (fProgram && !programRunning())
        ADD_FAILURE() << "the program ended: "
                      << (fProgram->exitStatus() == QProcess::CrashExit ? "crashed" : "exit status ")
                      << fProgram->exitCode() << "\n"
                      << programErrors().right(3000).toStdString();
    return settled();
}

int FaultRun::uploadsOf(const QString &sha256) const
{
    int count = 0;
    for (const ServiceUpload &upload : service.uploads())
        count += upload.sha256 == sha256;
    return count;
}

QString FaultRun::shaOf(const QString &label) const
{
    for (const TrackedPicture &picture : pictures) {
        if (picture.label == label)
            return picture.sha256;
    }
    return {};
}

QString FaultRun::inventory() const
{
    QString text;
    const std::vector<Seen> seen = snapshot();
    for (const TrackedPicture &picture : pictures) {
        QStringList where;
        for (const Found &found : locate(picture, seen))
            where << placeName(found.place) + QStringLiteral(": ") + found.relative;
        text += QStringLiteral("  %1 -> %2 (uploads %3)\n")
                    .arg(picture.label, where.isEmpty() ? QStringLiteral("MISSING") : where.join(QStringLiteral(", ")))
                    .arg(picture.sha256.isEmpty() ? 0 : uploadsOf(picture.sha256));
    }
    return text;
}

void FaultRun::verify()
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
        const std::vector<Found> found = locate(picture, seen);
        ASSERT_EQ(found.size(), 1u) << "every picture is in exactly one place:\n" << where;
        const Found &at = found.front();
        EXPECT_TRUE(at.place & picture.allowed)
            << "in the " << placeName(at.place).toStdString() << " at " << at.relative.toStdString()
            << ", expected in the " << allowedNames(picture.allowed).toStdString() << "\n"
            << where;
        if (picture.keepsName) {
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
