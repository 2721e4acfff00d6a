// One Olmo channel against the scripted loopback server: authentication,
// sending order, stopping, and what the reader does with odd input.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "kvt_error.h"
#include "kvt_olmotcpclient.h"
#include "olmo_fakeserver.h"

using namespace kvt;
using olmotest::MakeFrame;
using olmotest::OlmoFakeServer;
using olmotest::WaitFor;

namespace {

// Everything a channel tells its owner.
struct Events {
    std::mutex lock;
    int ready = 0;
    std::vector<std::pair<int, int>> connection; // socket state, connection state
    std::vector<std::pair<int, std::string>> auth;
    std::vector<kvtOlmoFrame> frames;

    static void OnReady(void *o, kvtOlmoTcpClient *) {
        auto *e = static_cast<Events *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->ready++;
    }
    static void OnConnection(void *o, kvtOlmoTcpClient *, int s, int c) {
        auto *e = static_cast<Events *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->connection.emplace_back(s, c);
    }
    static void OnAuth(void *o, kvtOlmoTcpClient *, int state, const char *text) {
        auto *e = static_cast<Events *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->auth.emplace_back(state, text);
    }
    static void OnRead(void *o, kvtOlmoTcpClient *, const kvtIOlmoFrame *f) {
        auto *e = static_cast<Events *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->frames.push_back(*static_cast<const kvtOlmoFrame *>(f));
    }
    void Attach(kvtOlmoTcpClient &c) { c.SetCallbacks(this, OnReady, OnConnection, OnAuth, OnRead); }

    int Ready() {
        std::lock_guard<std::mutex> l(lock);
        return ready;
    }
    size_t AuthCount() {
        std::lock_guard<std::mutex> l(lock);
        return auth.size();
    }
    std::pair<int, std::string> Auth(size_t i) {
        std::lock_guard<std::mutex> l(lock);
        return auth.at(i);
    }
    size_t FrameCount() {
        std::lock_guard<std::mutex> l(lock);
        return frames.size();
    }
    kvtOlmoFrame Frame(size_t i) {
        std::lock_guard<std::mutex> l(lock);
        return frames.at(i);
    }
    bool HasConnection(int s, int c) {
        std::lock_guard<std::mutex> l(lock);
        for (auto &p : connection)
            if (p.first == s && p.second == c)
                return true;
        return false;
    }
};

class OlmoChannel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.Start(), 0);
        events.Attach(client);
    }
    void TearDown() override {
        client.Stop();
        server.Stop();
    }
    int Start(bool monitor, const std::string &password = "secret") {
        return client.Start("127.0.0.1", server.Port(), monitor, "admin", password);
    }
    OlmoFakeServer server;
    kvtOlmoTcpClient client;
    Events events;
};

kvtOlmoFrame Param(uint32_t id, uint32_t value) {
    return MakeFrame(kvtOlmoKindWrite, id, [value](kvtOlmoFrame &f) { f.SetAsUInt(value); });
}

} // namespace

TEST_F(OlmoChannel, AuthenticationPayloadIsMaskedUserBarPassword) {
    ASSERT_EQ(Start(false), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1; }));
    EXPECT_EQ(server.LastAuthPlain(), "admin|secret");
    EXPECT_EQ(server.LastAuthPayloadSize(), 12u);
    EXPECT_EQ(client.GetClientId(), OlmoFakeServer::CommandId);
    EXPECT_TRUE(client.IsReady());
    EXPECT_TRUE(client.IsCommandChannel());
    EXPECT_EQ(client.GetUser(), "admin");
    EXPECT_EQ(events.Auth(0), std::make_pair(0, std::string("Authentication success")));
    EXPECT_TRUE(events.HasConnection(0, 3));
    EXPECT_EQ(server.AuthCount(false), 1);
}

TEST_F(OlmoChannel, EmptyPasswordStillSendsTheBar) {
    ASSERT_EQ(Start(true, ""), 0);
    ASSERT_TRUE(WaitFor([&] { return events.AuthCount() == 1; }));
    EXPECT_EQ(server.LastAuthPlain(), "admin|");
    EXPECT_EQ(server.LastAuthPayloadSize(), 6u);
    EXPECT_EQ(events.Auth(0).first, 2); // the server refuses the wrong password
    EXPECT_EQ(server.AuthCount(true), 1);
}

TEST_F(OlmoChannel, AuthenticationAnswers) {
    struct Case {
        OlmoFakeServer::AuthMode mode;
        int state;
        const char *text;
    };
    const Case cases[] = {
        {OlmoFakeServer::AuthLimit, 1, "Authentication success but max clients reached"},
        {OlmoFakeServer::AuthRefused, 2, "Authentication failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Events e;
        kvtOlmoTcpClient channel;
        e.Attach(channel);
        server.SetAuthMode(c.mode);
        ASSERT_EQ(channel.Start("127.0.0.1", server.Port(), true, "admin", "secret"), 0);
        ASSERT_TRUE(WaitFor([&] { return e.AuthCount() == 1; }));
        EXPECT_EQ(e.Auth(0), std::make_pair(c.state, std::string(c.text)));
        EXPECT_FALSE(channel.IsReady());
        EXPECT_EQ(e.Ready(), 0);
        channel.Stop();
    }
}

TEST_F(OlmoChannel, AnswerWithAnotherCodeIsIgnored) {
    server.SetAuthMode(OlmoFakeServer::AuthWrongCode);
    ASSERT_EQ(Start(false), 0);
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(false) == 1; }));
    // The answer has been read once the connector thread has finished; the channel stays connected without a
    // worker.
    client.PushFrame(new kvtOlmoFrame(Param(5, 5)));
    EXPECT_FALSE(WaitFor([&] { return server.CommandCount() > 0; }, 300));
    EXPECT_EQ(events.AuthCount(), 0u);
    EXPECT_EQ(events.Ready(), 0);
    EXPECT_FALSE(client.IsReady());
}

// A log-in whose exchange fails (no answer in time, or the server ends the connection) is reported
// as a failed log-in, as the server's refusal is; unlike a refusal, the channel then closes with
// the reason, so that its owner sees a lost connection and tries again.
TEST_F(OlmoChannel, AFailedLogInExchangeClosesTheChannelARefusalDoesNot) {
    struct Case {
        OlmoFakeServer::AuthMode mode;
        const char *text;
        int closedWith; // connection state of the close; -1: no close
    };
    const Case cases[] = {
        {OlmoFakeServer::AuthSilent, "Can not receive Authnetication response",
         int(kvtOlmoConnectionState::TimeOut)},
        {OlmoFakeServer::AuthHangUp, "Can not receive Authnetication response",
         int(kvtOlmoConnectionState::ClosedByHost)},
        {OlmoFakeServer::AuthRefused, "Authentication failed", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Events e;
        kvtOlmoTcpClient channel;
        e.Attach(channel);
        channel.SetSocketTimeOut(200);
        server.SetAuthMode(c.mode);
        ASSERT_EQ(channel.Start("127.0.0.1", server.Port(), true, "admin", "secret"), 0);
        ASSERT_TRUE(WaitFor([&] { return e.AuthCount() == 1; }));
        EXPECT_EQ(e.Auth(0), std::make_pair(2, std::string(c.text)));
        if (c.closedWith >= 0)
            EXPECT_TRUE(WaitFor([&] { return e.HasConnection(2, c.closedWith); }));
        else
            EXPECT_FALSE(
                WaitFor([&] { return e.HasConnection(2, int(kvtOlmoConnectionState::AuthFailed)); }, 300));
        EXPECT_FALSE(channel.IsReady());
        channel.Stop();
    }
}

TEST_F(OlmoChannel, StopDuringSilentAuthenticationReturnsAndDropsQueue) {
    server.SetAuthMode(OlmoFakeServer::AuthSilent);
    ASSERT_EQ(Start(false), 0);
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(false) == 1; }));
    for (int i = 0; i < 3; ++i)
        client.PushFrame(new kvtOlmoFrame(Param(i, i)));
    client.PushFrame(nullptr);
    EXPECT_EQ(client.GetQueuedCount(), 3u);
    EXPECT_EQ(client.Stop(), 0); // does not wait for the 30 s receive time-out
    EXPECT_EQ(client.GetQueuedCount(), 0u);
    EXPECT_EQ(server.CommandCount(), 0u);
}

TEST_F(OlmoChannel, FramesQueuedBeforeReadinessAreSentInOrder) {
    server.SetAuthDelay(200);
    ASSERT_EQ(Start(false), 0);
    for (uint32_t i = 0; i < 6; ++i)
        client.PushFrame(new kvtOlmoFrame(Param(100 + i, i)));
    EXPECT_EQ(events.Ready(), 0);
    ASSERT_TRUE(WaitFor([&] { return server.CommandCount() == 6; }));
    auto got = server.Commands();
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i].GetCode(), 100 + i);
        EXPECT_EQ(got[i].GetAsUInt(), i);
    }
    EXPECT_EQ(client.GetQueuedCount(), 0u);
}

TEST_F(OlmoChannel, StopDropsQueuedFramesAndRestartSendsOnlyNewOnes) {
    server.SetAuthMode(OlmoFakeServer::AuthRefused);
    ASSERT_EQ(Start(false), 0);
    ASSERT_TRUE(WaitFor([&] { return events.AuthCount() == 1; }));
    client.PushFrame(new kvtOlmoFrame(Param(1, 1)));
    client.PushFrame(new kvtOlmoFrame(Param(2, 2)));
    client.Stop();
    EXPECT_EQ(client.GetQueuedCount(), 0u);
    server.SetAuthMode(OlmoFakeServer::AuthOk);
    ASSERT_EQ(Start(false), 0);
    client.PushFrame(new kvtOlmoFrame(Param(3, 3)));
    ASSERT_TRUE(WaitFor([&] { return server.CommandCount() == 1; }));
    EXPECT_EQ(server.Commands()[0].GetCode(), 3u);
}

TEST_F(OlmoChannel, EmptyTextFrameIsCompleteAtNineBytes) {
    ASSERT_EQ(Start(true), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1 && server.HasMonitor(); }));
    // A text header announcing no payload is complete at 9 bytes.
    std::vector<uint8_t> empty = {0xC2, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0};
    empty[8] = empty[0] ^ empty[1] ^ empty[2] ^ empty[3];
    server.SendToMonitor(empty);
    server.SendFrameToMonitor(
        MakeFrame(kvtOlmoKindResponse, 1010007, [](kvtOlmoFrame &f) { f.SetAsString("abc"); }));
    ASSERT_TRUE(WaitFor([&] { return events.FrameCount() == 2; }));
    EXPECT_EQ(events.Frame(0).GetBufferLength(), 9u);
    EXPECT_EQ(events.Frame(0).GetType(), kvtTypeString);
    EXPECT_STREQ(events.Frame(1).GetAsString(), "abc");
    EXPECT_TRUE(client.IsReady());
}

TEST_F(OlmoChannel, BadHeaderChecksumClosesTheChannelAsInvalidData) {
    ASSERT_EQ(Start(true), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1 && server.HasMonitor(); }));
    // A data frame whose header announces 18 payload bytes, with a broken checksum. Its
    // payload holds two well-formed parameter headers: a reader that skips only the bad
    // header would deliver them as frames.
    std::vector<uint8_t> payload = olmotest::FrameBytes(Param(7, 7));
    const auto second = olmotest::FrameBytes(Param(8, 8));
    payload.insert(payload.end(), second.begin(), second.end());
    auto bad = olmotest::FrameBytes(MakeFrame(kvtOlmoKindResponse, 1010006, [&](kvtOlmoFrame &f) {
        f.SetAsData(payload.data(), static_cast<uint32_t>(payload.size()));
    }));
    bad[8] ^= 0xFF;
    server.SendToMonitor(bad);
    ASSERT_TRUE(WaitFor([&] { return events.HasConnection(2, int(kvtOlmoConnectionState::InvalidData)); }));
    EXPECT_TRUE(events.HasConnection(0, int(kvtOlmoConnectionState::InvalidData)));
    EXPECT_FALSE(client.IsReady());
    EXPECT_EQ(events.FrameCount(), 0u);
}

TEST_F(OlmoChannel, ServerCloseEndsMonitorWithClosedByHost) {
    ASSERT_EQ(Start(true), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1 && server.HasMonitor(); }));
    server.CloseMonitor();
    // The close carries the failure, and the channel is no longer ready.
    ASSERT_TRUE(WaitFor([&] { return events.HasConnection(2, 8); }));
    EXPECT_TRUE(events.HasConnection(0, 8));
    EXPECT_FALSE(events.HasConnection(2, 0));
    EXPECT_FALSE(client.IsReady());
}

TEST_F(OlmoChannel, OwnStopReportsTheCloseWithTheStopReason) {
    for (kvtOlmoConnectionState reason :
         {kvtOlmoConnectionState::ClosedByClient, kvtOlmoConnectionState::TimeOut}) {
        ASSERT_EQ(Start(true), 0);
        ASSERT_TRUE(WaitFor([&] { return events.Ready() >= 1 && client.IsReady(); }));
        client.Stop(reason);
        EXPECT_TRUE(events.HasConnection(2, int(reason))) << to_string(reason);
        EXPECT_FALSE(events.HasConnection(2, 0));
        EXPECT_FALSE(events.HasConnection(
            0, int(kvtOlmoConnectionState::SocketError))); // our own close is no socket error
    }
}

TEST_F(OlmoChannel, ServerCloseEndsCommandChannelOnNextSend) {
    ASSERT_EQ(Start(false), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1; }));
    server.CloseCommand();
    // Keep sending until the sender notices the closed peer.
    ASSERT_TRUE(WaitFor([&] {
        client.PushFrame(new kvtOlmoFrame(Param(1, 1)));
        return events.HasConnection(2, 8) || events.HasConnection(2, 4);
    }));
    EXPECT_TRUE(events.HasConnection(0, 8) || events.HasConnection(0, 4));
    EXPECT_FALSE(client.IsReady());
}

TEST_F(OlmoChannel, HugeAnnouncedLengthIsInvalidDataWithoutAllocating) {
    ASSERT_EQ(Start(true), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1 && server.HasMonitor(); }));
    // A data header announcing 0xF0000000 payload bytes.
    std::vector<uint8_t> huge = {0xD2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0};
    for (int i = 0; i < 8; ++i)
        huge[8] ^= huge[i];
    server.SendToMonitor(huge);
    ASSERT_TRUE(WaitFor([&] { return events.HasConnection(2, 7); }));
    EXPECT_TRUE(events.HasConnection(0, 7));
    EXPECT_EQ(events.FrameCount(), 0u);
}

TEST_F(OlmoChannel, PayloadAtTheBoundIsAccepted) {
    ASSERT_EQ(Start(true), 0);
    ASSERT_TRUE(WaitFor([&] { return events.Ready() == 1 && server.HasMonitor(); }));
    std::vector<uint8_t> block(1 << 20, 0x5A);
    server.SendFrameToMonitor(MakeFrame(kvtOlmoKindResponse, 1010006, [&](kvtOlmoFrame &f) {
        f.SetAsData(block.data(), static_cast<uint32_t>(block.size()));
    }));
    ASSERT_TRUE(WaitFor([&] { return events.FrameCount() == 1; }));
    EXPECT_EQ(events.Frame(0).GetDataLength(), block.size());
    EXPECT_EQ(events.Frame(0).GetAsData()[block.size() - 1], 0x5A);
}

TEST_F(OlmoChannel, SendQueueIsBoundedInFramesAndBytes) {
    // Nothing is started, so nothing drains the queue.
    for (size_t i = 0; i < kvtOlmoMaxQueuedFrames; ++i)
        ASSERT_EQ(client.PushFrame(new kvtOlmoFrame(Param(1, 1))), 0);
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(2, 2))), kvtErrorOutOfRange);
    EXPECT_EQ(client.GetQueuedCount(), kvtOlmoMaxQueuedFrames);
    client.Stop();
    EXPECT_EQ(client.GetQueuedCount(), 0u);

    const std::vector<uint8_t> block(4u << 20, 1);
    size_t accepted = 0;
    for (; accepted < 32; ++accepted) {
        auto *f = new kvtOlmoFrame(MakeFrame(kvtOlmoKindWrite, 1010014, [&](kvtOlmoFrame &fr) {
            fr.SetAsData(block.data(), static_cast<uint32_t>(block.size()));
        }));
        if (client.PushFrame(f) != 0)
            break;
    }
    EXPECT_EQ(accepted, kvtOlmoMaxQueuedBytes / (block.size() + kvtOlmoHeaderSize));
    // Small frames still fit beside the big ones until the byte bound.
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(3, 3))), 0);
}

TEST_F(OlmoChannel, ARequestStillWaitingIsNotQueuedTwice) {
    server.SetAuthDelay(300);
    ASSERT_EQ(Start(false), 0);
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(5, 0)), 5), 0);
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(5, 0)), 5), 0);
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(6, 0)), 6), 0);
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(5, 1))), 0); // no key: always queued
    EXPECT_EQ(client.GetQueuedCount(), 3u);
    // Once sent, the same request may be queued again.
    ASSERT_TRUE(WaitFor([&] { return server.CommandCount() == 3; }));
    EXPECT_EQ(client.PushFrame(new kvtOlmoFrame(Param(5, 0)), 5), 0);
    ASSERT_TRUE(WaitFor([&] { return server.CommandCount() == 4; }));
}

// The connection states' numbers and texts reach the page, which compares the texts.
TEST(OlmoVocabulary, ConnectionStateNumbersAndTexts) {
    const struct {
        kvtOlmoConnectionState state;
        int number;
        const char *text;
    } cases[] = {{kvtOlmoConnectionState::Ok, 0, "ConnectionState_Ok"},
                 {kvtOlmoConnectionState::MaxClients, 1, "Max client reached"},
                 {kvtOlmoConnectionState::AuthFailed, 2, "Authentication failed"},
                 {kvtOlmoConnectionState::Connecting, 3, "Connecting"},
                 {kvtOlmoConnectionState::SocketError, 4, "Socket error"},
                 {kvtOlmoConnectionState::TimeOut, 5, "Timeout"},
                 {kvtOlmoConnectionState::TooSlow, 6, "Too slow"},
                 {kvtOlmoConnectionState::InvalidData, 7, "Invalid data"},
                 {kvtOlmoConnectionState::ClosedByHost, 8, "Closed from host"},
                 {kvtOlmoConnectionState::ClosedByClient, 9, "Closed by client"},
                 {kvtOlmoConnectionState(10), 10, ""},
                 {kvtOlmoConnectionState(-1), -1, ""}};
    for (const auto &c : cases) {
        EXPECT_EQ(static_cast<int>(c.state), c.number);
        EXPECT_EQ(to_string(c.state), c.text) << c.number;
    }
}

// Read results keep the socket's numbers beside the frame's own; transfer errors keep the values
// that progress records (and the page) show.
TEST(OlmoVocabulary, ReadResultsAndTransferErrors) {
    const struct {
        kvtOlmoReadResult result;
        int number;
        const char *text;
    } reads[] = {{kvtOlmoReadResult::Ok, 0, "ok"},
                 {kvtOlmoReadResult::SocketError, static_cast<int>(kvtSocketResult::Error), "socket error"},
                 {kvtOlmoReadResult::TimeOut, static_cast<int>(kvtSocketResult::TimeOut), "time-out"},
                 {kvtOlmoReadResult::Closed, static_cast<int>(kvtSocketResult::Closed), "closed by the peer"},
                 {kvtOlmoReadResult::TooLarge, -5, "frame too large"},
                 {kvtOlmoReadResult::BadChecksum, -6, "header checksum wrong"}};
    for (const auto &r : reads) {
        EXPECT_EQ(static_cast<int>(r.result), r.number);
        EXPECT_EQ(to_string(r.result), r.text);
    }
    const struct {
        kvtTransferError error;
        int number;
        const char *text;
    } transfers[] = {{kvtTransferError::None, 0, "none"},
                     {kvtTransferError::DigestMismatch, 1, "digest mismatch"},
                     {kvtTransferError::Failed, 2, "failed"},
                     {kvtTransferError::ServerReadError, 3, "server read error"},
                     {kvtTransferError::ServerShutdown, 4, "server shut down"},
                     {kvtTransferError::TimedOut, 100, "timed out"},
                     {kvtTransferError::Interrupted, 101, "interrupted"},
                     {kvtTransferError(17), 17, "server error 17"}};
    for (const auto &t : transfers) {
        EXPECT_EQ(static_cast<int>(t.error), t.number);
        EXPECT_EQ(to_string(t.error), t.text);
    }
}

static_assert(!std::is_convertible<kvtOlmoReadResult, int>::value, "a read result is not a byte count");
static_assert(!std::is_convertible<kvtTransferError, uint32_t>::value,
              "a transfer error is not a byte count");

// Which events end a channel and which are a refused login: the client, vyxctl and the fleet
// backup all decide by these.
TEST(OlmoVocabulary, LossesAndRefusedLogins) {
    using S = kvtSocketState;
    using C = kvtOlmoConnectionState;
    const struct {
        S socket;
        C connection;
        bool loss;
        bool refused;
    } cases[] = {
        {S::Connected, C::Ok, false, false},           {S::Connected, C::MaxClients, false, true},
        {S::Connected, C::AuthFailed, false, true},    {S::Connected, C::Connecting, false, false},
        {S::Connected, C::SocketError, true, false},   {S::Connected, C::TimeOut, true, false},
        {S::Connected, C::TooSlow, true, false},       {S::Connected, C::InvalidData, true, false},
        {S::Connected, C::ClosedByHost, true, false},  {S::Connected, C::ClosedByClient, false, false},
        {S::Unreachable, C::Connecting, false, false}, {S::Closed, C::ClosedByClient, true, false},
        {S::Closed, C::AuthFailed, true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(to_string(c.socket) + " / " + to_string(c.connection));
        EXPECT_EQ(kvtOlmoIsLoss(c.socket, c.connection), c.loss);
        EXPECT_EQ(kvtOlmoIsRefusedLogin(c.socket, c.connection), c.refused);
    }
}
