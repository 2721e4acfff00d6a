// TCP socket against loopback peers: connect steps, transfers with their
// negative codes, time-outs, options, and closing from another thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <type_traits>

#include <sys/socket.h>
#include <unistd.h>

#include "kvt_ostcpsocket.h"
#include "loopback_server.h"
#include "sdk_test_support.h"

using namespace kvt;
using sdktest::LoopbackServer;
using sdktest::MsSince;
using sdktest::ReportRecorder;
using sdktest::WaitUntil;

namespace {

// The connect sequence of the reconnect loop, with a bound on the pending polls.
bool Connect(kvtOsTcpSocket &socket, const std::string &address, uint16_t port) {
    const kvtSocketResult result = socket.OpenAsyncBegin(address, port);
    if (result == kvtSocketResult::Pending) {
        for (int i = 0; i < 10 && socket.IsConnectPending(1000); ++i) {
        }
    } else if (result != kvtSocketResult::Ok) {
        return false;
    }
    socket.OpenAsyncEnd();
    return socket.IsConnected();
}

void PeerSend(int fd, const std::string &bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

class SocketTest : public ::testing::Test {
protected:
    // Connects m_socket to m_server and accepts the peer.
    void ConnectPair() {
        ASSERT_NE(m_server.Port(), 0);
        ASSERT_TRUE(Connect(m_socket, "127.0.0.1", m_server.Port()));
        m_peer = m_server.Accept();
        ASSERT_GE(m_peer, 0);
    }

    // The highest report number seen (-1 for none): kvtInfo means notes only.
    int WorstReport() const {
        int worst = -1;
        for (const ReportRecorder::Record &r : m_reports.All())
            worst = std::max(worst, r.number);
        return worst;
    }

    ReportRecorder m_reports;
    LoopbackServer m_server;
    kvtOsTcpSocket m_socket;
    int m_peer = -1;
};

} // namespace

TEST_F(SocketTest, ConnectsInTwoStepsAndNamesBothEnds) {
    EXPECT_TRUE(m_socket.IsValid());
    EXPECT_FALSE(m_socket.IsConnected());
    EXPECT_EQ(m_socket.GetType(), 1);
    EXPECT_EQ(m_socket.GetConnectionTime(), 0u);
    ConnectPair();
    EXPECT_TRUE(m_socket.HasNoError());
    EXPECT_EQ(m_socket.GetPeerName(), "127.0.0.1:" + std::to_string(m_server.Port()));
    EXPECT_EQ(m_socket.GetName().rfind("127.0.0.1:", 0), 0u) << m_socket.GetName();
    EXPECT_LT(m_socket.GetConnectionTime(), 5u);
    EXPECT_NE(m_socket.GetSocket(), kvtInvalidSocket);
    EXPECT_FALSE(m_socket.IsConnectPending(0)) << "a connected socket has no pending connect";
    EXPECT_EQ(m_reports.Count(), 0u) << m_reports.Last();
}

TEST_F(SocketTest, PortInAddressOverridesPortArgument) {
    const std::string port = std::to_string(m_server.Port());
    // Blanks around the host and the port are ignored. No name is resolved here: a machine may lack
    // "localhost" in its hosts file.
    const std::string addresses[] = {"127.0.0.1:" + port, " 127.0.0.1 : " + port, "127.0.0.1 :" + port};
    for (const std::string &address : addresses) {
        kvtOsTcpSocket socket;
        ASSERT_TRUE(Connect(socket, address, sdktest::RefusingPort())) << address;
        EXPECT_EQ(socket.GetPeerName(), "127.0.0.1:" + port) << address;
        EXPECT_GE(m_server.Accept(), 0);
    }
}

TEST_F(SocketTest, UnresolvableHostReportsAndReturns10) {
    for (const char *address : {"nohost.invalid", "nohost.invalid:18000", "", "  :18000"}) {
        m_reports.Clear();
        EXPECT_EQ(m_socket.OpenAsyncBegin(address, 18000), kvtSocketResult::Error) << address;
        EXPECT_EQ(m_reports.CountContaining("Custom Message - : gethostbyname failed"), 1u) << address;
        EXPECT_TRUE(m_reports.Has("Function ------- : kvt::kvtOsTcpSocket::OpenAsyncBegin"));
        EXPECT_FALSE(m_socket.IsConnected());
    }
}

TEST_F(SocketTest, RefusedConnectLeavesSocketUnconnected) {
    EXPECT_FALSE(Connect(m_socket, "127.0.0.1", sdktest::RefusingPort()));
    EXPECT_FALSE(m_socket.IsConnected());
}

TEST_F(SocketTest, PeerClosingAfterFourOfNineBytesGivesClosed) {
    ConnectPair();
    PeerSend(m_peer, "abcd");
    m_server.CloseAccepted(m_peer);
    kvtByte buffer[9] = {0};
    int received = -1;
    EXPECT_EQ(m_socket.Receive(buffer, 9, &received), kvtSocketResult::Closed);
    EXPECT_EQ(received, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 4), "abcd");
    EXPECT_FALSE(m_socket.IsConnected());
    EXPECT_FALSE(m_socket.IsValid()) << "the socket is closed";
    EXPECT_EQ(m_reports.Count(), 0u) << m_reports.Last();
}

TEST_F(SocketTest, ReceiveTimeOutGivesTimeOutWithoutReport) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetReceiveTimeOut(200));
    PeerSend(m_peer, "xy");
    kvtByte buffer[9];
    int received = -1;
    EXPECT_EQ(m_socket.Receive(buffer, 9, &received), kvtSocketResult::TimeOut);
    EXPECT_EQ(received, 2);
    EXPECT_TRUE(m_socket.IsConnected()) << "a time-out keeps the connection";
    EXPECT_EQ(m_reports.Count(), 0u) << m_reports.Last();
}

TEST_F(SocketTest, SendAndReceiveWholeBuffers) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetReceiveTimeOut(10000));
    ASSERT_TRUE(m_socket.SetSendTimeOut(10000));
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    // The peer echoes everything back from its own thread.
    std::thread echo([&] {
        std::string got;
        char piece[4096];
        while (got.size() < data.size()) {
            ssize_t n = ::recv(m_peer, piece, sizeof(piece), 0);
            if (n <= 0)
                break;
            got.append(piece, static_cast<size_t>(n));
        }
        ::send(m_peer, got.data(), got.size(), MSG_NOSIGNAL);
    });
    EXPECT_EQ(m_socket.Send(reinterpret_cast<const kvtByte *>(data.data()), static_cast<int>(data.size())),
              kvtSocketResult::Ok);
    std::string back(data.size(), '\0');
    int received = 0;
    EXPECT_EQ(
        m_socket.Receive(reinterpret_cast<kvtByte *>(&back[0]), static_cast<int>(back.size()), &received),
        kvtSocketResult::Ok);
    echo.join();
    EXPECT_EQ(received, static_cast<int>(data.size()));
    EXPECT_TRUE(back == data);
    EXPECT_EQ(m_socket.Receive(nullptr, 0), kvtSocketResult::Ok);
}

TEST_F(SocketTest, UnconnectedTransfersReportSocketIsClose) {
    kvtByte buffer[4] = {1, 2, 3, 4};
    int received = 99;
    EXPECT_EQ(m_socket.Receive(buffer, 4, &received), kvtSocketResult::Error);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(m_socket.Send(buffer, 4), kvtSocketResult::Error);
    EXPECT_FALSE(m_socket.IsReadyToReceive(0));
    EXPECT_FALSE(m_socket.IsReadyToSend(0));
    EXPECT_EQ(m_reports.CountContaining("Custom Message - : Socket is close."), 4u);
    EXPECT_TRUE(m_reports.Has("Function ------- : kvt::kvtOsTcpSocket::Receive"));
    EXPECT_TRUE(m_reports.Has("Function ------- : kvt::kvtOsTcpSocket::Send"));
    EXPECT_TRUE(m_reports.Has("kvtError Number : 10\nNetwork communication error."));
}

TEST_F(SocketTest, CloseIsIdempotentAndGettersReportWithoutSocket) {
    EXPECT_EQ(m_socket.Close(), 0);
    EXPECT_EQ(m_socket.Close(), 0);
    EXPECT_EQ(m_reports.Count(), 0u) << "closing an unconnected socket skips the shutdown";
    EXPECT_FALSE(m_socket.IsValid());
    EXPECT_EQ(m_socket.GetSocket(), kvtInvalidSocket);
    EXPECT_EQ(m_socket.GetPeerName(), "");
    EXPECT_EQ(m_socket.GetName(), "");
    EXPECT_EQ(m_socket.GetReceiveTimeOut(), 0u);
    EXPECT_FALSE(m_socket.SetKeepAlive(true));
    EXPECT_FALSE(m_socket.HasNoError());
    EXPECT_EQ(m_socket.GetConnectionTime(), 0u);
    EXPECT_EQ(m_reports.CountContaining("Custom Message - : Socket is invalid."), 6u);
    EXPECT_EQ(m_socket.SetNonBlocking(true), 10);
    EXPECT_TRUE(m_reports.Has("Custom Message - : Invalid socket"));
    // A connect after Close makes a new socket.
    ConnectPair();
    EXPECT_EQ(m_socket.Close(), 0);
    EXPECT_EQ(m_socket.Close(), 0);
}

TEST_F(SocketTest, OptionsRoundTrip) {
    ConnectPair();
    const uint32_t timeOuts[] = {0, 1500, 30000};
    for (uint32_t ms : timeOuts) {
        EXPECT_TRUE(m_socket.SetReceiveTimeOut(ms));
        EXPECT_EQ(m_socket.GetReceiveTimeOut(), ms);
        EXPECT_TRUE(m_socket.SetSendTimeOut(ms));
        EXPECT_EQ(m_socket.GetSendTimeOut(), ms);
    }
    EXPECT_TRUE(m_socket.SetKeepAlive(true));
    EXPECT_TRUE(m_socket.GetKeepAlive());
    EXPECT_TRUE(m_socket.SetKeepAlive(false));
    EXPECT_FALSE(m_socket.GetKeepAlive());
    EXPECT_EQ(m_reports.Count(), 0u) << m_reports.Last();
}

TEST_F(SocketTest, ReadinessAndBytesWaiting) {
    EXPECT_EQ(m_socket.GetReceiveAvailable(), -1);
    ConnectPair();
    EXPECT_EQ(m_socket.GetReceiveAvailable(), 0);
    EXPECT_FALSE(m_socket.IsReadyToReceive(0));
    EXPECT_TRUE(m_socket.IsReadyToSend(1000));
    PeerSend(m_peer, "12345");
    EXPECT_TRUE(m_socket.IsReadyToReceive(10000));
    ASSERT_TRUE(WaitUntil([&] { return m_socket.GetReceiveAvailable() == 5; }));
    kvtByte buffer[5];
    EXPECT_EQ(m_socket.Receive(buffer, 5), kvtSocketResult::Ok);
    EXPECT_EQ(m_socket.GetReceiveAvailable(), 0);
    EXPECT_EQ(m_reports.Count(), 0u) << m_reports.Last();
}

TEST_F(SocketTest, FlushReceiveDiscardsWaitingBytesAndKeepsTimeOut) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetReceiveTimeOut(4000));
    PeerSend(m_peer, "0123456789");
    ASSERT_TRUE(WaitUntil([&] { return m_socket.GetReceiveAvailable() == 10; }));
    int count = -1;
    EXPECT_EQ(m_socket.FlushReceive(300, &count), 0);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(m_socket.GetReceiveAvailable(), 0);
    EXPECT_EQ(m_socket.GetReceiveTimeOut(), 4000u);
}

TEST_F(SocketTest, CloseFromAnotherThreadUnblocksReceive) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetReceiveTimeOut(0)); // no time-out: only Close can end the wait
    auto receive = std::async(std::launch::async, [&] {
        kvtByte buffer[16];
        int received = 0;
        return m_socket.Receive(buffer, 16, &received);
    });
    // Whether Close comes before or during the Receive, the Receive must end.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_socket.Close(), 0);
    ASSERT_EQ(receive.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "Receive still blocked";
    const kvtSocketResult result = receive.get();
    EXPECT_TRUE(result == kvtSocketResult::Closed || result == kvtSocketResult::Error) << to_string(result);
    EXPECT_FALSE(m_socket.IsValid());
    EXPECT_LE(WorstReport(), kvtInfo) << "a close asked for here is no failure: " << m_reports.Last();
}

TEST_F(SocketTest, CloseFromAnotherThreadUnblocksSend) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetSendTimeOut(0)); // no time-out; the peer never reads
    auto send = std::async(std::launch::async, [&] {
        std::string block(1 << 20, 's');
        kvtSocketResult result = kvtSocketResult::Ok;
        while (result == kvtSocketResult::Ok)
            result = m_socket.Send(reinterpret_cast<const kvtByte *>(block.data()),
                                   static_cast<int>(block.size()));
        return result;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_socket.Close(), 0);
    ASSERT_EQ(send.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "Send still blocked";
    EXPECT_NE(send.get(), kvtSocketResult::Ok);
    EXPECT_LE(WorstReport(), kvtInfo) << "a close asked for here is no failure: " << m_reports.Last();
}

// Every call after this side closed a connection says "Socket is close." as a note; on a socket
// that was never connected the same words stay an error (see UnconnectedTransfersReportSocketIsClose).
TEST_F(SocketTest, CallsAfterOurOwnCloseAreNotes) {
    ConnectPair();
    EXPECT_EQ(m_socket.Close(), 0);
    kvtByte buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(m_socket.Receive(buffer, 4), kvtSocketResult::Error);
    EXPECT_EQ(m_socket.Send(buffer, 4), kvtSocketResult::Error);
    EXPECT_FALSE(m_socket.IsReadyToReceive(0));
    EXPECT_FALSE(m_socket.IsReadyToSend(0));
    EXPECT_EQ(m_reports.CountContaining("Socket is close."), 4u);
    EXPECT_EQ(WorstReport(), kvtInfo) << m_reports.Last();
    // A new connection attempt forgets the close: its failures are errors again.
    ASSERT_EQ(m_socket.Reset(), 0);
    m_reports.Clear();
    EXPECT_EQ(m_socket.Send(buffer, 4), kvtSocketResult::Error);
    EXPECT_EQ(WorstReport(), kvtErrorNetwork);
}

TEST_F(SocketTest, PeerCloseMakesSocketReadyToReceive) {
    ConnectPair();
    m_server.CloseAccepted(m_peer);
    EXPECT_TRUE(m_socket.IsReadyToReceive(10000)) << "an orderly close is readable";
    kvtByte byte;
    EXPECT_EQ(m_socket.Receive(&byte, 1), kvtSocketResult::Closed);
}

TEST_F(SocketTest, PortOutsideRangeIsRefused) {
    EXPECT_EQ(m_socket.OpenAsyncBegin("127.0.0.1:70000", 1), kvtSocketResult::Error);
    EXPECT_TRUE(m_reports.Has("Custom Message - : Invalid port 70000"));
    EXPECT_FALSE(m_socket.IsConnected());
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithoutSignal) {
    ConnectPair();
    ASSERT_TRUE(m_socket.SetSendTimeOut(5000));
    m_server.CloseAccepted(m_peer);
    std::string block(65536, 'z');
    kvtSocketResult result = kvtSocketResult::Ok;
    // The first sends may still be accepted by the kernel; a later one sees the reset.
    for (int i = 0; i < 200 && result == kvtSocketResult::Ok; ++i)
        result =
            m_socket.Send(reinterpret_cast<const kvtByte *>(block.data()), static_cast<int>(block.size()));
    EXPECT_EQ(result, kvtSocketResult::Error);
    EXPECT_TRUE(m_reports.Has("Custom Message - : send error\nWindows Error "));
    EXPECT_EQ(WorstReport(), kvtErrorNetwork) << "a peer that goes away under a send is a failure";
}

TEST(kvtOsSocketLibraryTest, ObjectsHoldTheLibraryReference) {
    int before = kvtSocketLibraryReferences();
    {
        kvtOsTcpSocket first;
        kvtOsTcpSocket second;
        EXPECT_EQ(kvtSocketLibraryReferences(), before + 2);
    }
    EXPECT_EQ(kvtSocketLibraryReferences(), before);
}

// The numbers are those of the owner callbacks; the state texts are the ones the page compares.
TEST(kvtSocketVocabularyTest, NumbersAndTexts) {
    const struct {
        kvtSocketResult result;
        int number;
        const char *text;
    } results[] = {{kvtSocketResult::Ok, 0, "ok"},
                   {kvtSocketResult::Error, -1, "error"},
                   {kvtSocketResult::TimeOut, -2, "time-out"},
                   {kvtSocketResult::Closed, -3, "closed by the peer"},
                   {kvtSocketResult::Pending, -4, "pending"},
                   {kvtSocketResult(-9), -9, "socket result -9"}};
    for (const auto &r : results) {
        EXPECT_EQ(static_cast<int>(r.result), r.number);
        EXPECT_EQ(to_string(r.result), r.text);
    }
    const struct {
        kvtSocketState state;
        int number;
        const char *text;
    } states[] = {{kvtSocketState::Connected, 0, "Connected"},
                  {kvtSocketState::Unreachable, 1, "Can Not Reach The Host"},
                  {kvtSocketState::Closed, 2, "Closed"},
                  {kvtSocketState(3), 3, ""}};
    for (const auto &s : states) {
        EXPECT_EQ(static_cast<int>(s.state), s.number);
        EXPECT_EQ(to_string(s.state), s.text);
    }
}

// A failed transfer can no longer pass for a length: the result is its own type, the count an
// out-parameter (ReceiveTimeOutGivesTimeOutWithoutReport checks how far a failed receive got).
static_assert(!std::is_convertible<kvtSocketResult, int>::value, "a socket result is not a byte count");
