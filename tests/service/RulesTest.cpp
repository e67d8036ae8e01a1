// The outcomes that --rule forces, as a client sees them and as the service logs them.

#include "ServiceClient.h"
#include "support/ServiceProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

QStringList picturesUnder(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (path != QStringLiteral("uploads.jsonl"))
            result << path;
    }
    result.sort();
    return result;
}

// One service for the whole program: the rules match on file names, so the tests stay apart.
class ServiceRulesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sService = new ServiceProcess;
        sService->addRule(QStringLiteral("^warn"), QStringLiteral("warning"));
        sService->addRule(QStringLiteral("^fail"), QStringLiteral("error"));
        sService->addRule(QStringLiteral("^boom"), QStringLiteral("http500"));
        sService->addRule(QStringLiteral("^drop"), QStringLiteral("drop"));
        sService->addRule(QStringLiteral("^hang"), QStringLiteral("hang"));
        sService->addRule(QStringLiteral("^slow"), QStringLiteral("slow"));
        sService->addRule(QStringLiteral("\\.(tif|TIF)$"), QStringLiteral("error"));
        ASSERT_TRUE(sService->start()) << sService->errorString().toStdString();
    }
    static void TearDownTestSuite()
    {
        EXPECT_TRUE(sService->stop()) << sService->log().toStdString();
        delete sService;
        sService = nullptr;
    }

    // The record of the upload with this file name.
    static ServiceUpload recordFor(const QString &fileName)
    {
        const QList<ServiceUpload> uploads = sService->uploads();
        for (const ServiceUpload &upload : uploads) {
            if (upload.filename == fileName)
                return upload;
        }
        return {};
    }

    static bool isStored(const QString &fileName)
    {
        for (const QString &path : picturesUnder(sService->storage())) {
            if (path.endsWith(QLatin1Char('/') + fileName))
                return true;
        }
        return false;
    }

    static ServiceProcess *sService;
};

ServiceProcess *ServiceRulesTest::sService = nullptr;

} // namespace

TEST_F(ServiceRulesTest, WarningAnswersWarningAndKeepsNothing)
{
    const Reply reply = postForm(sService->url(), uploaderFields("Rules"), "warn-1.jpg", "W");
    ASSERT_FALSE(reply.transportFailed) << reply.error.toStdString();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.xmlStatus(), QStringLiteral("Warning"));
    EXPECT_FALSE(reply.xmlMessage().isEmpty());
    EXPECT_FALSE(isStored(QStringLiteral("warn-1.jpg")));
    const ServiceUpload upload = recordFor(QStringLiteral("warn-1.jpg"));
    EXPECT_EQ(upload.outcome, QStringLiteral("warning"));
    EXPECT_TRUE(upload.stored.isEmpty());
    EXPECT_EQ(upload.size, 1);
}

TEST_F(ServiceRulesTest, ErrorAnswersErrorAndKeepsNothing)
{
    for (const char *name : { "fail-1.jpg", "picture.TIF" }) {
        const Reply reply = postForm(sService->url(), uploaderFields("Rules"), name, "E");
        EXPECT_EQ(reply.status, 200) << name;
        EXPECT_EQ(reply.xmlStatus(), QStringLiteral("ERROR")) << name;
        EXPECT_FALSE(isStored(QString::fromUtf8(name))) << name;
        EXPECT_EQ(recordFor(QString::fromUtf8(name)).outcome, QStringLiteral("error")) << name;
    }
}

TEST_F(ServiceRulesTest, Http500AnswersStatus500)
{
    const Reply reply = postForm(sService->url(), uploaderFields("Rules"), "boom.jpg", "B");
    ASSERT_FALSE(reply.transportFailed) << reply.error.toStdString();
    EXPECT_EQ(reply.status, 500);
    EXPECT_FALSE(isStored(QStringLiteral("boom.jpg")));
    EXPECT_EQ(recordFor(QStringLiteral("boom.jpg")).outcome, QStringLiteral("http500"));
}

TEST_F(ServiceRulesTest, DropClosesWithoutAnyReply)
{
    const Reply reply = postForm(sService->url(), uploaderFields("Rules"), "drop-1.jpg", "D");
    EXPECT_TRUE(reply.transportFailed);
    EXPECT_EQ(reply.status, 0) << "no HTTP status may arrive";
    EXPECT_TRUE(reply.head.isEmpty()) << reply.head.toStdString();
    EXPECT_FALSE(isStored(QStringLiteral("drop-1.jpg")));
    EXPECT_EQ(recordFor(QStringLiteral("drop-1.jpg")).outcome, QStringLiteral("drop"));

    // Byte for byte: the service reads the whole body, then closes without writing.
    RawConnection connection(sService->port());
    ASSERT_TRUE(
        connection.send(uploaderRequest(sService->port(), uploaderBody(uploaderFields("Rules"), "drop-2.jpg", "D2"))));
    EXPECT_TRUE(connection.closedWithoutReply(20s));
}

TEST_F(ServiceRulesTest, FirstMatchingRuleWinsAndOnlyTheFileNameCounts)
{
    EXPECT_EQ(postForm(sService->url(), uploaderFields("Rules"), "warn-fail.TIF", "X").xmlStatus(),
        QStringLiteral("Warning"));
    // Event and login that look like rules change nothing.
    EXPECT_EQ(postForm(sService->url(), uploaderFields("drop", "hang", "boom"), "plain.jpg", "P").xmlStatus(),
        QStringLiteral("OK"));
    EXPECT_TRUE(isStored(QStringLiteral("plain.jpg")));
    // The pattern is searched within the name, not matched against all of it.
    EXPECT_EQ(postForm(sService->url(), uploaderFields("Rules"), "xwarn.jpg", "X").xmlStatus(), QStringLiteral("OK"));
}

TEST_F(ServiceRulesTest, SlowAnswersNormallyButLate)
{
    RawConnection connection(sService->port());
    ASSERT_TRUE(
        connection.send(uploaderRequest(sService->port(), uploaderBody(uploaderFields("Rules"), "slow-1.jpg", "S"))));
    ASSERT_TRUE(waitFor([] { return !recordFor(QStringLiteral("slow-1.jpg")).outcome.isEmpty(); }, 15s));
    const Reply early = connection.readReply(1s);
    EXPECT_TRUE(early.transportFailed) << "answered at once: " << early.head.toStdString();
    const Reply reply = connection.readReply(20s);
    ASSERT_FALSE(reply.transportFailed) << reply.error.toStdString();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.xmlStatus(), QStringLiteral("OK"));
    EXPECT_TRUE(isStored(QStringLiteral("slow-1.jpg")));
    EXPECT_EQ(recordFor(QStringLiteral("slow-1.jpg")).outcome, QStringLiteral("slow"));
}

TEST_F(ServiceRulesTest, HangNeverAnswersButOthersAreServed)
{
    RawConnection hung(sService->port());
    ASSERT_TRUE(hung.send(uploaderRequest(sService->port(), uploaderBody(uploaderFields("Rules"), "hang-1.jpg", "H"))));
    ASSERT_TRUE(waitFor([] { return recordFor(QStringLiteral("hang-1.jpg")).outcome == QStringLiteral("hang"); }, 15s));

    // More uploads than a small thread pool would have threads, each on a connection of its own.
    for (int i = 0; i < 12; ++i) {
        RawConnection other(sService->port());
        ASSERT_TRUE(other.send(uploaderRequest(
            sService->port(), uploaderBody(uploaderFields("Rules"), "hang-" + QByteArray::number(i) + "x.jpg", "H2"))));
        ASSERT_TRUE(waitFor(
            [i] { return recordFor(QStringLiteral("hang-%1x.jpg").arg(i)).outcome == QStringLiteral("hang"); }, 15s));
    }
    const Reply other = postForm(sService->url(), uploaderFields("Rules"), "after-hang.jpg", "A", 20s);
    ASSERT_FALSE(other.transportFailed) << other.error.toStdString();
    EXPECT_EQ(other.xmlStatus(), QStringLiteral("OK"));
    EXPECT_TRUE(isStored(QStringLiteral("after-hang.jpg")));

    EXPECT_FALSE(isStored(QStringLiteral("hang-1.jpg")));
    const Reply nothing = hung.readReply(300ms);
    EXPECT_TRUE(nothing.transportFailed);
    EXPECT_EQ(nothing.error, QStringLiteral("timed out")) << "the hung connection must stay open";
}

TEST(ServiceHang, StopReleasesHungConnections)
{
    ServiceProcess service;
    service.addRule(QStringLiteral("hang"), QStringLiteral("hang"));
    ASSERT_TRUE(service.start()) << service.errorString().toStdString();
    RawConnection hung(service.port());
    ASSERT_TRUE(hung.send(uploaderRequest(service.port(), uploaderBody(uploaderFields("E"), "hang.jpg", "H"))));
    ASSERT_TRUE(service.waitForUploads(1, 15s));
    EXPECT_TRUE(service.stop()) << service.errorString().toStdString() << service.log().toStdString();
    EXPECT_TRUE(hung.closedWithoutReply(10s));
}
