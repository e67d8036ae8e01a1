#include "cycle/WriterCheck.h"

#include "TestSupport.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk;

TEST(WriterCheck, AFileOpenForWritingIsBusyUntilClosed)
{
    test::TempProfile profile;
    const QString path = profile.path(QStringLiteral("IMG.JPG"));
    // Another process keeps the picture open while it writes it in chunks.
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec 3>'%1'; printf first >&3; read line; printf second >&3; exec 3>&-; echo closed")
                .arg(path) });
    ASSERT_TRUE(writer.waitForStarted());
    ASSERT_TRUE(test::waitFor([&] { return QFile(path).size() == 5; }));
    EXPECT_EQ(checkWriter(path, 0.0), WriterState::Busy);
    writer.write("go\n");
    ASSERT_TRUE(writer.waitForReadyRead(10000));
    ASSERT_TRUE(writer.waitForFinished(10000));
    EXPECT_EQ(checkWriter(path, 0.0), WriterState::Idle);
}

TEST(WriterCheck, MissingFilesAndOldCopiesAreToldApart)
{
    test::TempProfile profile;
    EXPECT_EQ(checkWriter(profile.path(QStringLiteral("gone.jpg"))), WriterState::Missing);

    // "cp -p" gives the copy an old modification time, but the copy is still seen as fresh by its
    // change time when no lease can tell; with a lease it is simply not being written.
    const QString original = profile.path(QStringLiteral("old.jpg"));
    test::writeFile(original, "picture");
    struct timespec old[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    ::utimensat(AT_FDCWD, QFile::encodeName(original).constData(), old, 0);
    const QString copy = profile.path(QStringLiteral("copy.jpg"));
    ASSERT_EQ(vesk::test::runProgram(QStringLiteral("cp"), { QStringLiteral("-p"), original, copy }), 0);
    EXPECT_EQ(checkWriter(copy, 0.0), WriterState::Idle);
}
