// The connector against the server simulator (vyxsim) on 127.0.0.1: readiness, the parameter UID
// walk, command lines answered in their own order, a Zephron command and its answer.
#include "logcapture.h"
#include "vyxconnector.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

namespace {

bool waitFor(const std::function<bool()> &done, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class VyxsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_root.isValid());
        m_sim.setProgram(QStringLiteral(VYXSIM_PATH));
        m_sim.setArguments(
            {"--port", "0", "--bind", "127.0.0.1", "--root", m_root.path(), "--no-discovery", "--quiet"});
        m_sim.start();
        ASSERT_TRUE(m_sim.waitForStarted(10000));
        ASSERT_TRUE(waitFor([&] { return m_sim.canReadLine(); }, 10000));
        const QByteArray line = m_sim.readLine().trimmed();
        ASSERT_TRUE(line.startsWith("LISTENING ")) << line.constData();
        m_port = line.mid(10).toInt();
    }
    void TearDown() override {
        m_sim.kill();
        m_sim.waitForFinished(5000);
    }

    QTemporaryDir m_root;
    QProcess m_sim;
    int m_port = 0;
};

} // namespace

TEST_F(VyxsimTest, ParametersCommandLinesAndZephron) {
    QObject receiver;
    int ready = 0;
    std::vector<QJsonObject> responses;
    std::vector<std::pair<QString, QString>> replies;
    QStringList zephron;
    QString dbMd5;

    auto connector = std::make_unique<VYXConnector>();
    QObject::connect(connector.get(), &VYXConnector::connectionReady, &receiver, [&] { ++ready; });
    QObject::connect(connector.get(), &VYXConnector::updateParameter, &receiver, [&](QJsonDocument doc) {
        if (doc.object().value("frameScope").toString() == "Response")
            responses.push_back(doc.object());
    });
    QObject::connect(connector.get(), &VYXConnector::commandLineReply, &receiver,
                     [&](QString tag, QString info) { replies.emplace_back(tag, info); });
    QObject::connect(connector.get(), &VYXConnector::VYXZephronMessage, &receiver,
                     [&](QString message) { zephron << message; });
    QObject::connect(connector.get(), &VYXConnector::VYXDatabaseMD5, &receiver,
                     [&](QString md5) { dbMd5 = md5; });

    ASSERT_EQ(connector->Client().Start("127.0.0.1", m_port, "admin", "admin"), 0);
    ASSERT_TRUE(waitFor([&] { return ready > 0; }));

    connector->Client().QueryParametersUID();
    ASSERT_TRUE(waitFor([&] {
        return !responses.empty() && responses.size() == connector->ParameterUids().size();
    })) << responses.size()
        << " of " << connector->ParameterUids().size();
    for (const QJsonObject &o : responses)
        EXPECT_FALSE(o.value("ParameterID").toString().isEmpty());

    connector->CommandReplies().Push("first", "echo hello");
    connector->Client().QueryExecuteCommandLine("echo hello");
    connector->CommandReplies().Push("second", "echo world");
    connector->Client().QueryExecuteCommandLine("echo world");
    ASSERT_TRUE(waitFor([&] { return replies.size() == 2; }));
    EXPECT_EQ(replies[0], std::make_pair(QString("first"), QString("hello")));
    EXPECT_EQ(replies[1], std::make_pair(QString("second"), QString("world")));

    connector->SendZephronCommand("abc");
    ASSERT_TRUE(waitFor([&] { return !zephron.isEmpty(); }));
    EXPECT_EQ(zephron.first(), "ok: abc");

    connector->Client().QueryDbMd5();
    ASSERT_TRUE(waitFor([&] { return !dbMd5.isEmpty(); }));
    EXPECT_EQ(dbMd5.size(), 32);
    EXPECT_EQ(connector->DatabaseMd5(), dbMd5.toUtf8());

    connector.reset(); // while connected
}

TEST_F(VyxsimTest, DownloadThenUploadOfTheSameDatabase) {
    QObject receiver;
    int ready = 0;
    std::vector<QJsonObject> progress;
    auto connector = std::make_unique<VYXConnector>();
    QObject::connect(connector.get(), &VYXConnector::connectionReady, &receiver, [&] { ++ready; });
    QObject::connect(connector.get(), &VYXConnector::InProgress, &receiver, [&](QString json) {
        progress.push_back(QJsonDocument::fromJson(json.toUtf8()).object());
    });
    ASSERT_EQ(connector->Client().Start("127.0.0.1", m_port, "admin", "admin"), 0);
    ASSERT_TRUE(waitFor([&] { return ready > 0; }));

    QTemporaryDir local;
    const std::string file = (local.path() + "/db.sqlite").toStdString();
    auto ended = [&] { return !progress.empty() && progress.back().value("IsEnd").toString() == "true"; };
    ASSERT_EQ(connector->Client().QueryDownloadConfiguration(file, ""), 0);
    ASSERT_TRUE(waitFor(ended));
    EXPECT_EQ(progress.back().value("GetError").toInt(), 0)
        << progress.back().value("GetInfo").toString().toStdString();
    EXPECT_TRUE(progress.back().contains("GetServerBytes"));
    EXPECT_EQ(connector->ClientConfigurationMd5().size(), 32);

    // The same file goes back: the upload ends at the digest check, with nothing sent.
    progress.clear();
    std::string console;
    bool uploadEnded = false;
    {
        LogCapture log("vyx.connector.debug=true");
        ASSERT_EQ(connector->Client().QueryUploadConfiguration(file, 524288), 0);
        uploadEnded = waitFor(ended);
        console = log.Text();
    }
    ASSERT_TRUE(uploadEnded);
    EXPECT_EQ(progress.back().value("GetError").toInt(), 0);
    EXPECT_EQ(progress.back().value("GetPercentage").toString(), "0");
    EXPECT_TRUE(progress.back().contains("GetSentBytes"));
    EXPECT_NE(console.find("Project is the same, no need to update it"), std::string::npos);
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
