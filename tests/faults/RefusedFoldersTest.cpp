// Folders the program must never work in: the home folder as source or mirror, a source and a
// mirror that overlap, a mirror inside the program's own folders, and a mirror or problem folder
// that someone else owns or may write to. The program refuses them with a line in the status and the
// log, sends and moves nothing, and neither its start-up removal of empty folders, its purge nor its
// removal at quit touch them. An open-document request for such a folder is answered with an error.
// The preferences file, which holds the password, is tightened to its owner at start.

#include "FaultRun.h"

#include "cycle/ItemBook.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

using namespace vesk;
using namespace std::chrono_literals;

namespace {

// An empty folder last changed days ago: the start-up removal takes such folders from the source.
void makeOldEmptyFolder(const QString &path)
{
    ASSERT_TRUE(QDir().mkpath(path));
    const timespec old { ::time(nullptr) - 5 * 86400, 0 };
    const timespec times[2] = { old, old };
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

mode_t modeOf(const QString &path)
{
    struct stat info { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

int ctl(const QStringList &arguments)
{
    return test::runProgram(test::buildBinFolder() + QStringLiteral("/vesk-ctl"), arguments);
}

// What another user made of the mirror before the start.
enum class Opened { No, Owner, AccessList };

struct Scenario {
    const char *name;
    const char *source; // relative to the run's profile; null: the run's own source folder
    const char *mirror; // likewise
    const char *refusal; // what the status line says; %1 source, %2 mirror
    Opened opened = Opened::No;
};

// An access list giving the user 65534 write access, in the kernel's format.
bool letAnotherUserWrite(const QString &folder)
{
    const unsigned char list[] = { 2, 0, 0, 0, /* owner */ 1, 0, 7, 0, 0xff, 0xff, 0xff, 0xff, /* 65534 */ 2, 0, 7, 0,
        0xfe, 0xff, 0, 0, /* group */ 4, 0, 5, 0, 0xff, 0xff, 0xff, 0xff, /* mask */ 0x10, 0, 7, 0, 0xff, 0xff, 0xff,
        0xff, /* other */ 0x20, 0, 5, 0, 0xff, 0xff, 0xff, 0xff };
    return ::setxattr(QFile::encodeName(folder).constData(), "system.posix_acl_access", list, sizeof list, 0) == 0;
}

class RefusedFolders : public ::testing::TestWithParam<Scenario> { };

} // namespace

TEST_P(RefusedFolders, NothingIsSentMovedOrRemoved)
{
    const Scenario &s = GetParam();
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    const QString home = run.profile.path(QStringLiteral("home"));
    if (s.source)
        run.source = run.profile.path(QLatin1String(s.source));
    const QString mirror = s.mirror ? run.profile.path(QLatin1String(s.mirror)) : run.mirror;
    ASSERT_TRUE(QDir().mkpath(mirror));
    if (s.opened == Opened::Owner && ::geteuid() != 0)
        GTEST_SKIP() << "a folder of another user needs root, to hand it over with chown";
    ASSERT_TRUE(s.opened != Opened::Owner || ::chown(QFile::encodeName(mirror).constData(), 65534, 65534) == 0);
    if (s.opened == Opened::AccessList && !letAnotherUserWrite(mirror))
        GTEST_SKIP() << "the file system keeps no access lists";
    run.addPicture(QStringLiteral("cam1/IMG_1.JPG"), test::InSource, 0);
    // What the housekeeping of a refused folder would remove: an old empty folder (start-up removal of
    // the source, the purge's removal of the mirror) and an empty sub-folder (removal at quit).
    makeOldEmptyFolder(home + QStringLiteral("/Documents"));
    makeOldEmptyFolder(run.source + QStringLiteral("/cam1/Empty"));
    run.writePreferences({ { QStringLiteral("prefLocalSourceUploadFolder"), run.source },
        { QStringLiteral("prefLocalMasterMirrorSiteFolder"), mirror },
        { QStringLiteral("prefDoUseDeleteOldPhotos"), true }, { QStringLiteral("prefDeleteEmptyFtpFolders"), true } });
    ASSERT_TRUE(run.startProgram());

    const QString expected = QStringLiteral("[error] ")
        + QString::fromUtf8(s.refusal).replace(QStringLiteral("%1"), run.source).replace(QStringLiteral("%2"), mirror);
    EXPECT_TRUE(test::waitFor([&] { return run.programOutput().contains(expected); }))
        << expected.toStdString() << "\n"
        << run.programOutput().right(2000).toStdString();
    EXPECT_TRUE(test::waitFor([&] {
        const QString console = run.programErrors();
        return console.contains(QStringLiteral("The old-photo purge does not run. "))
            || console.contains(QStringLiteral("doSetupDeleteOldPhotosThread - Done..."));
    }));
    EXPECT_EQ(ctl({ QStringLiteral("upnw") }), 0); // still ACCEPTED, and refused again
    EXPECT_TRUE(test::waitFor([&] { return run.programOutput().count(expected) >= 2; }));
    EXPECT_TRUE(run.stopProgram());

    EXPECT_TRUE(QFileInfo(home + QStringLiteral("/Documents")).isDir());
    EXPECT_TRUE(QFileInfo(run.source + QStringLiteral("/cam1/Empty")).isDir());
    run.verify();
}

INSTANTIATE_TEST_SUITE_P(Folders, RefusedFolders,
    ::testing::Values(
        Scenario { "SourceIsHome", "home", nullptr, "The source folder [%1] is refused: it is the home folder" },
        Scenario {
            "MirrorIsHomeWithThePurgeOn", nullptr, "home", "The mirror folder [%2] is refused: it is the home folder" },
        Scenario { "SourceIsTheMirror", "source", "source",
            "The source folder [%1] and the mirror folder [%2] are refused: they are the same folder" },
        Scenario { "MirrorInsideTheSource", "source", "source/Uploaded",
            "The source folder [%1] and the mirror folder [%2] are refused: the mirror folder lies inside the "
            "source folder" },
        Scenario { "MirrorInsideTheProgramsConfiguration", nullptr, "config/Vesk-FTPUploader/mirror",
            "The mirror folder [%2] is refused: it lies inside the program's own configuration folder" },
        Scenario { "MirrorOfAnotherUser", nullptr, nullptr,
            "The mirror folder [%2] is refused: it belongs to another user (uid 65534)", Opened::Owner },
        Scenario { "MirrorWritableThroughItsAccessList", nullptr, nullptr,
            "The mirror folder [%2] is refused: its access list lets another user (uid 65534) write to it",
            Opened::AccessList }),
    [](const ::testing::TestParamInfo<Scenario> &param) { return std::string(param.param.name); });

TEST(RefusedFolders, AnOpenDocumentRequestForARefusedFolderIsAnsweredWithAnError)
{
    test::FaultRun run;
    ASSERT_TRUE(run.service.start()) << run.service.errorString().toStdString();
    run.addPicture(QStringLiteral("cam1/IMG_1.JPG"));
    const QString home = run.profile.path(QStringLiteral("home"));
    ASSERT_TRUE(test::writeFile(home + QStringLiteral("/cam1/IMG_2.JPG"), run.pictureBytes(QStringLiteral("home"))));
    run.writePreferences();
    const QString preferences = run.profile.path(QStringLiteral("config/Vesk-FTPUploader/preferences.plist"));
    ASSERT_EQ(::chmod(QFile::encodeName(preferences).constData(), 0644), 0);
    ASSERT_TRUE(run.startProgram());
    ASSERT_TRUE(run.waitSettled(30s)) << run.inventory().toStdString();

    // The file holds the password: tightened at start, and said so once.
    EXPECT_EQ(modeOf(preferences), 0600u);
    EXPECT_EQ(run.programErrors().count(QStringLiteral("holds the password but was readable by others")), 1);

    EXPECT_EQ(ctl({ QStringLiteral("open"), home }), 1);
    EXPECT_EQ(test::runProgram(
                  test::buildBinFolder() + QStringLiteral("/vesk-ftpuploader"), { QStringLiteral("--headless"), home }),
        1); // a second launch with the folder
    // A folder it may work in, handed over relative by a second launch, is the one scanned, not the
    // stored source folder.
    const QByteArray latePicture = run.pictureBytes(QStringLiteral("cam9/IMG_9.JPG"));
    ASSERT_TRUE(test::writeFile(run.profile.path(QStringLiteral("late/cam9/IMG_9.JPG")), latePicture));
    run.trackContent(QStringLiteral("cam9/IMG_9.JPG"), latePicture, test::InMirror);
    EXPECT_EQ(test::runCapturing(test::programPath(), { QStringLiteral("--headless"), QStringLiteral("late") },
                  test::environmentWithoutDisplay(), run.profile.root())
                  .exitCode,
        0);
    EXPECT_TRUE(test::waitFor([&] { return QFile::exists(run.mirrorPath(QStringLiteral("cam9/IMG_9.JPG"))); }));
    EXPECT_EQ(ctl({ QStringLiteral("paus") }), 0);
    EXPECT_TRUE(run.stopProgram());
    EXPECT_EQ(run.programOutput().count(QStringLiteral("is refused: it is the home folder")), 2);
    EXPECT_TRUE(QFile::exists(home + QStringLiteral("/cam1/IMG_2.JPG")));
    run.verify(); // nothing of the home folder reached the service

    // The ledger of unmoved pictures is the owner's alone too.
    const QString ledger = run.profile.path(QStringLiteral("state/ledger.json"));
    ItemBook(ledger).noteUnmoved(run.mirror + QStringLiteral("/cam1/IMG_1.JPG"), ItemBook::Destination::Mirror);
    EXPECT_EQ(modeOf(ledger), 0600u);
}
