#include "diag/ShellRunner.h"

#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace vesk;

namespace {
QString makeScript(const test::TempProfile &profile, const QString &name, const QByteArray &body)
{
    const QString path = profile.path(QStringLiteral("libexec/") + name);
    test::writeFile(path, QByteArray("#!/bin/sh\n") + body);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}
} // namespace

TEST(ShellRunner, ReturnsTheWholeOutputOfAChattyProgramUntrimmed)
{
    // Far more than a pipe holds: the runner must read while the program runs.
    const auto output = runShellScript2(QStringLiteral("/bin/sh"),
        QStringList { QStringLiteral("-c"),
            QStringLiteral("head -c 300000 /dev/zero | tr '\\0' a; printf '\\nend\\n'; exit 3") });
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->size(), 300000 + 5);
    EXPECT_TRUE(output->endsWith(QStringLiteral("\nend\n")));
}

TEST(ShellRunner, MissingProgramsAndNonUtf8OutputGiveNoText)
{
    EXPECT_FALSE(runShellScript2(QStringLiteral("/nonexistent/program"), std::nullopt).has_value());
    EXPECT_FALSE(runShellScript2(QString(), std::nullopt).has_value());
    EXPECT_FALSE(runShellScript2(
        QStringLiteral("/bin/sh"), QStringList { QStringLiteral("-c"), QStringLiteral("printf '\\377\\376'") })
                     .has_value());
}

TEST(ShellRunner, AuxiliaryProgramsAreFoundAndNotConnectedMeansFalse)
{
    test::TempProfile profile;
    makeScript(profile, QStringLiteral("fine.sh"), "echo all good; exit 1\n");
    makeScript(profile, QStringLiteral("offline.sh"), "echo 'Network is NOT CONNECTED'\n");
    qputenv("VESK_LIBEXEC_DIR", QFile::encodeName(profile.path(QStringLiteral("libexec"))));
    test::ConsoleRecorder console;
    EXPECT_TRUE(runShellScript(QStringLiteral("fine.sh"), std::nullopt)); // the exit status does not matter
    EXPECT_TRUE(console.contains(QStringLiteral("Task failed.")));
    EXPECT_FALSE(runShellScript(QStringLiteral("offline.sh"), QStringList { QStringLiteral("x") }));
    EXPECT_TRUE(console.contains(QStringLiteral("THERE IS NO INTERNET CONNECTION on ftp shell level...")));
    EXPECT_FALSE(runShellScript(QStringLiteral("not-shipped.sh"), std::nullopt));
    EXPECT_TRUE(
        console.contains(QStringLiteral("runShellScript FAILED => UNABLE to find script named: [not-shipped.sh]!")));
    qunsetenv("VESK_LIBEXEC_DIR");
    // The reveal script ships compiled in; it is found even with no file beside the program.
    EXPECT_TRUE(runShellScript(QStringLiteral("revealInFinder.sh"), QStringList { QStringLiteral("/nonexistent") }));
}
