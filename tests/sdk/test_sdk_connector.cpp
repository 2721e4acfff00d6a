// Reconnecting socket connector: attempt outcomes, pauses, connect time-out and stopping.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "kvt_ostcpsocketconnector.h"
#include "loopback_server.h"
#include "sdk_test_support.h"

using namespace kvt;
using sdktest::LoopbackServer;
using sdktest::MsSince;
using sdktest::ReportRecorder;
using sdktest::WaitUntil;

namespace {

const char *const kExitNote =
    "Info : Exit kvtOsTcpSocketConnector::thread[FILE:kvt_sdk/source/os/kvt_ostcpsocketconnector]"
    "[FUNCTION:kvt::kvtOsTcpSocketConnector::thread]";

class RecordingConnector : public kvtOsTcpSocketConnector {
public:
    struct Outcome {
        int state; // the socket state's number
        uint32_t tick;
    };

    explicit RecordingConnector(kvtOsTcpSocket *socket) : kvtOsTcpSocketConnector(socket) {}
    ~RecordingConnector() override { Stop(); }

    void OnTcpSocketConnector(kvtSocketState state) override {
        std::lock_guard<std::mutex> guard(m_outcomesLock);
        m_outcomes.push_back({static_cast<int>(state), kvtOsGetTickCount()});
    }

    std::vector<Outcome> Outcomes() {
        std::lock_guard<std::mutex> guard(m_outcomesLock);
        return m_outcomes;
    }
    size_t Count() { return Outcomes().size(); }
    kvtOsThread *Thread() { return m_pThread; }

private:
    std::mutex m_outcomesLock;
    std::vector<Outcome> m_outcomes;
};

// A loopback listener whose accept queue is full, so that further connects stay pending:
// the kernel drops their handshake instead of refusing it.
class SilentServer {
public:
    SilentServer() : m_server(0) {
        m_filler.OpenAsyncBegin("127.0.0.1", m_server.Port());
        for (int i = 0; i < 10 && m_filler.IsConnectPending(1000); ++i) {
        }
        m_filler.OpenAsyncEnd();
    }
    uint16_t Port() const { return m_server.Port(); }

    // True when a connect to this server really stays pending on this system.
    bool HoldsConnectsPending() {
        if (!m_filler.IsConnected())
            return false;
        kvtOsTcpSocket probe;
        return probe.OpenAsyncBegin("127.0.0.1", Port()) == kvtSocketResult::Pending &&
               probe.IsConnectPending(300);
    }

private:
    LoopbackServer m_server;
    kvtOsTcpSocket m_filler;
};

} // namespace

TEST(kvtOsTcpSocketConnectorTest, StartWithoutSocketReturns7) {
    ReportRecorder reports;
    RecordingConnector connector(nullptr);
    EXPECT_EQ(connector.Start(), 7);
    EXPECT_EQ(connector.Thread(), nullptr);
    ASSERT_EQ(reports.Count(), 1u);
    EXPECT_TRUE(
        reports.Has("Custom Message - : m_pSo == 0, can not start reconnect thre with invalid argument"));
    EXPECT_TRUE(reports.Has("Function ------- : kvt::kvtOsTcpSocketConnector::Start"));
    EXPECT_EQ(connector.Stop(), 0);
}

TEST(kvtOsTcpSocketConnectorTest, ConnectTimeOutRule) {
    const struct {
        uint32_t configured;
        unsigned used;
    } cases[] = {{0, 10000}, {1, 1000}, {500, 1000}, {999, 1000}, {1000, 1000}, {2500, 2500}, {30000, 30000}};
    for (const auto &c : cases)
        EXPECT_EQ(kvtOsTcpSocketConnector::EffectiveTimeOut(c.configured), c.used) << c.configured;
    EXPECT_EQ(kvtConnectorPollMs, 1000u);
    EXPECT_EQ(kvtConnectorRetryPauseMs, 1000u);
}

TEST(kvtOsTcpSocketConnectorTest, SettingsAreKept) {
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    EXPECT_EQ(connector.GetAddress(), "");
    EXPECT_EQ(connector.GetPort(), 0);
    EXPECT_EQ(connector.GetConnectTimeOut(), 0u);
    connector.SetConnection("10.0.0.5", 18000, 500);
    EXPECT_EQ(connector.GetAddress(), "10.0.0.5");
    EXPECT_EQ(connector.GetPort(), 18000);
    EXPECT_EQ(connector.GetConnectTimeOut(), 500u);
}

TEST(kvtOsTcpSocketConnectorTest, ConnectsAndEndsItsThread) {
    ReportRecorder reports;
    LoopbackServer server;
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    connector.SetConnection("127.0.0.1:" + std::to_string(server.Port()), 1, 0);
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Count() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !connector.Thread()->IsRunning(); }));
    EXPECT_EQ(connector.Outcomes()[0].state, 0);
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_GE(server.Accept(), 0);
    EXPECT_EQ(reports.CountContaining(kExitNote), 1u);
    EXPECT_EQ(connector.Count(), 1u);

    // Starting again drops the connection and makes it anew.
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Count() == 2; }));
    EXPECT_EQ(connector.Outcomes()[1].state, 0);
    EXPECT_GE(server.Accept(), 0);
    EXPECT_TRUE(socket.IsConnected());
}

TEST(kvtOsTcpSocketConnectorTest, RefusedPortGivesOneFailurePerAttemptWithPauses) {
    ReportRecorder reports;
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    connector.SetConnection("127.0.0.1", sdktest::RefusingPort(), 0);
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Count() >= 3; }, 30000));
    EXPECT_EQ(connector.Stop(), 0);
    std::vector<RecordingConnector::Outcome> outcomes = connector.Outcomes();
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(outcomes[i].state, 1);
        if (i > 0) {
            EXPECT_GE(outcomes[i].tick - outcomes[i - 1].tick, kvtConnectorRetryPauseMs - 2)
                << "attempt " << i;
        }
    }
    EXPECT_EQ(connector.Count(), outcomes.size()) << "no outcome after Stop";
    EXPECT_EQ(reports.CountContaining(kExitNote), 1u);
    EXPECT_FALSE(socket.IsConnected());
}

// A host that never resolves fails every attempt the same way: the outage is reported once, at
// its first attempt, and the retries only as notes.
TEST(kvtOsTcpSocketConnectorTest, AnOutageIsReportedOnceNotPerAttempt) {
    ReportRecorder reports;
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    connector.SetConnection("nosuch.invalid", 18000, 0);
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Count() >= 4; }, 30000));
    connector.Stop();
    // The first attempt's failures ("gethostbyname failed", then the end of the attempt), none after.
    size_t failures = 0;
    for (const ReportRecorder::Record &r : reports.All())
        failures += r.number >= kvtWarning ? 1 : 0;
    EXPECT_GE(failures, 1u);
    EXPECT_LE(failures, 2u) << reports.Last();
    EXPECT_EQ(reports.CountContaining("gethostbyname failed"), connector.Count());
}

TEST(kvtOsTcpSocketConnectorTest, StopDuringPendingAttemptReturnsWithinAboutASecond) {
    SilentServer silent;
    if (!silent.HoldsConnectsPending())
        GTEST_SKIP() << "this system does not keep a connect to a full listener pending";
    ReportRecorder reports;
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    connector.SetConnection("127.0.0.1", silent.Port(), 0);
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Thread()->HasRun(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the attempt begin its wait

    // Start while connecting keeps the running attempt.
    kvtOsThread *running = connector.Thread();
    EXPECT_EQ(connector.Start(), 0);
    EXPECT_EQ(connector.Thread(), running);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connector.Stop(), 0);
    EXPECT_LT(MsSince(start), 3000) << "Stop waits at most for the current one-second wait";
    EXPECT_EQ(connector.Thread(), nullptr);
    EXPECT_EQ(connector.Count(), 0u) << "no outcome for an attempt ended by Stop";
    EXPECT_EQ(reports.CountContaining(kExitNote), 1u);
    EXPECT_FALSE(socket.IsConnected());
}

TEST(kvtOsTcpSocketConnectorTest, SilentHostFailsAfterTheConnectTimeOut) {
    SilentServer silent;
    if (!silent.HoldsConnectsPending())
        GTEST_SKIP() << "this system does not keep a connect to a full listener pending";
    ReportRecorder reports;
    kvtOsTcpSocket socket;
    RecordingConnector connector(&socket);
    connector.SetConnection("127.0.0.1", silent.Port(), 500); // raised to 1000
    const uint32_t begin = kvtOsGetTickCount();
    ASSERT_EQ(connector.Start(), 0);
    ASSERT_TRUE(WaitUntil([&] { return connector.Count() >= 2; }, 30000));
    connector.Stop();
    std::vector<RecordingConnector::Outcome> outcomes = connector.Outcomes();
    ASSERT_GE(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].state, 1);
    EXPECT_EQ(outcomes[1].state, 1);
    // One attempt: the first one-second wait plus the one-second limit; then the pause.
    const uint32_t attemptMs = kvtConnectorPollMs + kvtOsTcpSocketConnector::EffectiveTimeOut(500);
    EXPECT_GE(outcomes[0].tick - begin, attemptMs - 5);
    EXPECT_GE(outcomes[1].tick - outcomes[0].tick, attemptMs + kvtConnectorRetryPauseMs - 5);
}
