// Two-channel client: readiness and relation, connection events, the heartbeat
// rule and every request of the command set as it arrives at the server.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include <unistd.h>
#include <vector>

#include "kvt_error.h"
#include "kvt_olmotcpclientvyx.h"
#include "olmo_fakeserver.h"
#include "olmo_vyxevents.h"

using namespace kvt;
using olmotest::MakeFrame;
using olmotest::OlmoFakeServer;
using olmotest::VyxEvents;
using olmotest::WaitFor;

namespace {

// Lets a test deliver a channel's ready event a second time, as happens when
// both channels see each other ready at the same moment.
class ReadyProbe : public kvtOlmoTcpClientVyx {
public:
    void ReadyAgainFromMonitor() { monitor_OnReady(this, &GetMonitorChannel()); }
    void ReadyAgainFromCommand() { command_OnReady(this, &GetCommandChannel()); }
};

class OlmoVyx : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.Start(), 0);
        events.Attach(client);
        client.SetHeartBeatPeriod(60000); // no time-stamp queries unless a test wants them
    }
    void TearDown() override {
        client.Stop();
        server.Stop();
    }
    int Start() { return client.Start("127.0.0.1", server.Port(), "admin", "secret"); }
    // Requests are accepted only once the client is ready.
    int StartReady() {
        const int r = Start();
        return r != 0 ? r : WaitFor([&] { return client.IsReady(); }) ? 0 : -1;
    }
    std::vector<kvtOlmoFrame> Requests(uint32_t skipCode = CmdQuerySystemTimeStamp) {
        std::vector<kvtOlmoFrame> out;
        for (auto &f : server.Commands())
            if (f.GetCode() != skipCode && f.GetCode() != CmdRelation)
                out.push_back(f);
        return out;
    }
    size_t CountCode(uint32_t code) {
        size_t n = 0;
        for (auto &f : server.Commands())
            n += f.GetCode() == code;
        return n;
    }

    OlmoFakeServer server;
    ReadyProbe client;
    VyxEvents events;
};

} // namespace

TEST_F(OlmoVyx, ReadyOnceWithRelationFrameCarryingMonitorId) {
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1 && CountCode(CmdRelation) == 1; }));
    EXPECT_TRUE(client.IsReady());
    EXPECT_EQ(client.GetUser(), "admin");
    kvtOlmoFrame relation;
    for (auto &f : server.Commands())
        if (f.GetCode() == CmdRelation)
            relation = f;
    EXPECT_EQ(relation.GetKind(), kvtOlmoKindWrite);
    EXPECT_EQ(relation.GetType(), kvtTypeULong);
    EXPECT_EQ(relation.GetAsULong(), OlmoFakeServer::MonitorId);
    EXPECT_TRUE(events.HasConnection(&client.GetCommandChannel(), 0, 0));
    EXPECT_TRUE(events.HasConnection(&client.GetMonitorChannel(), 0, 0));
}

TEST_F(OlmoVyx, SimultaneousReadinessIsAnnouncedOnce) {
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1 && CountCode(CmdRelation) == 1; }));
    // Both channels seeing the other ready: the second announcement is dropped.
    client.ReadyAgainFromMonitor();
    client.ReadyAgainFromCommand();
    client.QueryServerVersion(); // a marker sent after anything the extra events could queue
    ASSERT_TRUE(WaitFor([&] { return CountCode(CmdQueryServerVersion) == 1; }));
    EXPECT_EQ(events.ready, 1);
    EXPECT_EQ(CountCode(CmdRelation), 1u);
    // A new readiness after a restart is announced again.
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 2 && CountCode(CmdRelation) == 2; }));
}

TEST_F(OlmoVyx, RefusalReachesOwnerAsConnectionState) {
    server.SetAuthMode(OlmoFakeServer::AuthRefused);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] {
        return events.HasConnection(&client.GetCommandChannel(), 0, 2) &&
               events.HasConnection(&client.GetMonitorChannel(), 0, 2);
    }));
    EXPECT_EQ(events.ready, 0);
    EXPECT_FALSE(client.IsReady());
}

TEST_F(OlmoVyx, ClientLimitReachesOwnerAsConnectionState) {
    server.SetAuthMode(OlmoFakeServer::AuthLimit);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] {
        return events.HasConnection(&client.GetCommandChannel(), 0, 1) &&
               events.HasConnection(&client.GetMonitorChannel(), 0, 1);
    }));
    EXPECT_EQ(events.ready, 0);
}

TEST_F(OlmoVyx, RequestsBeforeReadinessAreRefusedNotQueued) {
    server.SetAuthDelay(300);
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(client.QueryParameterValue(1), kvtErrorNotConnected);
    EXPECT_EQ(client.QueryDbMd5(), kvtErrorNotConnected);
    EXPECT_EQ(client.QueryDownloadConfiguration(
                  ::testing::TempDir() + "never_" + std::to_string(getpid()) + ".db", ""),
              kvtErrorNotConnected);
    EXPECT_EQ(client.QueryFrame(new kvtOlmoFrame()), kvtErrorNotConnected);
    EXPECT_EQ(client.GetCommandChannel().GetQueuedCount(), 0u);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1; }));
    EXPECT_EQ(client.QueryParameterValue(2), 0);
    ASSERT_TRUE(WaitFor([&] { return Requests().size() == 1; }));
    EXPECT_EQ(Requests()[0].GetCode(), 2u);
    // Nothing sent before the relation frame.
    EXPECT_EQ(server.Commands()[0].GetCode(), uint32_t(CmdRelation));
}

TEST_F(OlmoVyx, MonitorFramesReachOnRead) {
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1 && server.HasMonitor(); }));
    server.SendFrameToMonitor(
        MakeFrame(kvtOlmoKindWrite, 4711, [](kvtOlmoFrame &f) { f.SetAsFloat(21.5f); }));
    ASSERT_TRUE(WaitFor([&] { return events.reads == 1; }));
    float v = 0;
    events.Frames()[0].GetAsFloat(&v);
    EXPECT_EQ(v, 21.5f);
    EXPECT_EQ(events.Frames()[0].GetCode(), 4711u);
}

TEST_F(OlmoVyx, QueryParameterValueWireBytes) {
    ASSERT_EQ(StartReady(), 0);
    EXPECT_EQ(client.QueryParameterValue(0x12345), 0);
    ASSERT_TRUE(WaitFor([&] { return Requests().size() == 1; }));
    const kvtOlmoFrame f = Requests()[0];
    const uint8_t *b = f.GetBuffer();
    EXPECT_EQ(std::vector<uint8_t>(b, b + 9),
              (std::vector<uint8_t>{0x70, 0x50, 0x34, 0x12, 0x45, 0x23, 0x01, 0x00,
                                    0x70 ^ 0x50 ^ 0x34 ^ 0x12 ^ 0x45 ^ 0x23 ^ 0x01}));
}

TEST_F(OlmoVyx, EveryRequestHasItsKindCodeAndValue) {
    struct Case {
        const char *name;
        std::function<int()> call;
        uint8_t kind;
        uint32_t code;
        uint8_t type;
        std::function<void(const kvtOlmoFrame &)> check;
    };
    auto uintIs = [](uint32_t v) { return [v](const kvtOlmoFrame &f) { EXPECT_EQ(f.GetAsUInt(), v); }; };
    auto ucharIs = [](unsigned v) { return [v](const kvtOlmoFrame &f) { EXPECT_EQ(f.GetAsUChar(), v); }; };
    auto textIs = [](std::string v) {
        return [v](const kvtOlmoFrame &f) { EXPECT_EQ(std::string(f.GetAsString()), v); };
    };
    auto dataIs = [](std::vector<uint8_t> v) {
        return [v](const kvtOlmoFrame &f) {
            ASSERT_EQ(f.GetDataLength(), v.size());
            EXPECT_EQ(std::vector<uint8_t>(f.GetAsData(), f.GetAsData() + v.size()), v);
        };
    };
    const std::vector<uint8_t> bytes = {1, 2, 3};
    kvtOlmoTcpClientVyx &c = client;
    const std::vector<Case> cases = {
        {"QueryParametersUID", [&] { return c.QueryParametersUID(); }, 0, 1010001, 1,
         [](const kvtOlmoFrame &f) { EXPECT_FALSE(f.GetAsBool()); }},
        {"QueryParameterConfiguration", [&] { return c.QueryParameterConfiguration(9); }, 0, 1010002, 7,
         uintIs(9)},
        {"QueryParameterUIConfiguration", [&] { return c.QueryParameterUIConfiguration(10); }, 0, 1010004, 7,
         uintIs(10)},
        {"QueryUserUI", [&] { return c.QueryUserUI("k"); }, 0, 1010005, 12, textIs("k")},
        {"QuerySendUserUI", [&] { return c.QuerySendUserUI("u", "ab"); }, 1, 1010005, 12,
         textIs("{\"key\":\"u\",\"base64\":\"YWI=\"}")},
        {"QueryDbMd5", [&] { return c.QueryDbMd5(); }, 0, 1010007, 3, ucharIs(0)},
        {"QueryDbMaxSize", [&] { return c.QueryDbMaxSize(); }, 0, 1010008, 3, ucharIs(0)},
        {"QueryClientLevel", [&] { return c.QueryClientLevel(); }, 0, 1010009, 3, ucharIs(0)},
        {"QueryFolderDelete", [&] { return c.QueryFolderDelete("/a"); }, 1, 1010010, 12, textIs("/a")},
        {"QueryFolderCreate", [&] { return c.QueryFolderCreate("/b"); }, 1, 1010011, 12, textIs("/b")},
        {"QueryFileDelete", [&] { return c.QueryFileDelete("/c"); }, 1, 1010012, 12, textIs("/c")},
        {"QueryFileCreate", [&] { return c.QueryFileCreate("/d"); }, 1, 1010013, 12, textIs("/d")},
        {"QueryFileMd5", [&] { return c.QueryFileMd5("/e"); }, 0, 1010015, 12, textIs("/e")},
        {"QueryDbChange", [&] { return c.QueryDbChange("m5", "f"); }, 1, 1010016, 12,
         textIs("{\"md5\":\"m5\",\"file\":\"f\"}")},
        {"QueryParameterReady", [&] { return c.QueryParameterReady(11); }, 0, 1010018, 7, uintIs(11)},
        {"QueryClientsCount", [&] { return c.QueryClientsCount(); }, 0, 1010019, 3, ucharIs(0)},
        {"QuerySystemTimeStamp", [&] { return c.QuerySystemTimeStamp(); }, 0, 1010021, 3, ucharIs(0)},
        {"SendBroadcastMessage", [&] { return c.SendBroadcastMessage("hi <b>", 3); }, 1, 1010022, 12,
         textIs("<message level=\"3\"><![CDATA[hi <b>]]></message>")},
        {"QueryParameterSettings", [&] { return c.QueryParameterSettings(12); }, 0, 1010023, 7, uintIs(12)},
        {"QueryExecuteCommandLine", [&] { return c.QueryExecuteCommandLine("ls -l"); }, 1, 1010024, 12,
         textIs("ls -l")},
        {"SendBroadcastData", [&] { return c.SendBroadcastData("data"); }, 1, 1010025, 12, textIs("data")},
        {"QueryServerVersion", [&] { return c.QueryServerVersion(); }, 0, 1010028, 3, ucharIs(0)},
        {"QueryParameterCustomData", [&] { return c.QueryParameterCustomData(13); }, 0, 1010029, 7,
         uintIs(13)},
        {"QueryEnableRawBusMessage", [&] { return c.QueryEnableRawBusMessage(); }, 0, 1010030, 3, ucharIs(0)},
        {"SendEnableRawBusMessage", [&] { return c.SendEnableRawBusMessage(1); }, 1, 1010030, 3, ucharIs(1)},
        {"SendZephronFrame", [&] { return c.SendZephronFrame(bytes.data(), 3, false); }, 1, 1010033, 13,
         dataIs(bytes)},
        {"SendZephronFrame physical", [&] { return c.SendZephronFrame(bytes.data(), 3, true); }, 3, 1010033,
         13, dataIs(bytes)},
        {"QueryProjectJson", [&] { return c.QueryProjectJson(); }, 0, 1010034, 3, ucharIs(0)},
        {"QueryEnableLogClients", [&] { return c.QueryEnableLogClients(); }, 0, 1010035, 3, ucharIs(0)},
        {"SendEnableLogClients", [&] { return c.SendEnableLogClients(1); }, 1, 1010035, 3, ucharIs(1)},
        {"QueryParameterValue", [&] { return c.QueryParameterValue(77); }, 0, 77, 7, uintIs(77)},
        {"SendParameterValueAsByte", [&] { return c.SendParameterValueAsByte(78, 200, false); }, 1, 78, 3,
         ucharIs(200)},
        {"SendParameterValueAsByte physical", [&] { return c.SendParameterValueAsByte(78, 201, true); }, 3,
         78, 3, ucharIs(201)},
        {"SendParameterValueAsFloat", [&] { return c.SendParameterValueAsFloat(79, 1.25f, true); }, 3, 79, 10,
         [](const kvtOlmoFrame &f) {
             float v = 0;
             f.GetAsFloat(&v);
             EXPECT_EQ(v, 1.25f);
         }},
        {"SendParameterValueAsUint", [&] { return c.SendParameterValueAsUint(80, 123456, false); }, 1, 80, 7,
         uintIs(123456)},
        {"SendParameterValueAsString", [&] { return c.SendParameterValueAsString(81, "on", false); }, 1, 81,
         12, textIs("on")},
        {"SendParameterValueAsArray", [&] { return c.SendParameterValueAsArray(82, bytes.data(), 3, true); },
         3, 82, 13, dataIs(bytes)},
    };
    ASSERT_EQ(StartReady(), 0);
    for (const Case &k : cases)
        EXPECT_EQ(k.call(), 0) << k.name;
    ASSERT_TRUE(WaitFor([&] { return Requests(0).size() == cases.size(); }, 20000));
    auto got = Requests(0);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(got[i].GetKind(), cases[i].kind);
        EXPECT_EQ(got[i].GetCode(), cases[i].code);
        EXPECT_EQ(got[i].GetType(), cases[i].type);
        EXPECT_TRUE(got[i].IsChecksumValid());
        cases[i].check(got[i]);
    }
}

TEST_F(OlmoVyx, QueryFileAppendDataBlockLayoutAndLimits) {
    const std::string path = ::testing::TempDir() + "olmo_append_source_" + std::to_string(getpid()) + ".bin";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs("0123456789", f);
    std::fclose(f);
    ASSERT_EQ(StartReady(), 0);
    EXPECT_EQ(client.QueryFileAppendData("srv", path, 3, 4), 0);
    EXPECT_NE(client.QueryFileAppendData(std::string(300, 'n'), path, 0, 4), 0);
    EXPECT_NE(client.QueryFileAppendData("srv", path + ".missing", 0, 4), 0);
    ASSERT_TRUE(WaitFor([&] { return Requests().size() == 1; }));
    const kvtOlmoFrame got = Requests()[0];
    EXPECT_EQ(got.GetCode(), 1010014u);
    EXPECT_EQ(got.GetKind(), kvtOlmoKindWrite);
    const uint8_t *d = got.GetAsData();
    ASSERT_EQ(got.GetDataLength(), 8u);
    EXPECT_EQ(d[0], 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(d) + 1, 7), "srv3456");
    std::remove(path.c_str());
}

TEST_F(OlmoVyx, HeartbeatWithoutAnyFrameNeverResets) {
    server.SetAnswerTimeStamps(false);
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(10);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return CountCode(CmdQuerySystemTimeStamp) >= 10; }));
    EXPECT_EQ(server.AuthCount(true), 1);
    EXPECT_EQ(events.ready, 1);
}

TEST_F(OlmoVyx, HeartbeatKeepsALiveConnection) {
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(100);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return CountCode(CmdQuerySystemTimeStamp) >= 15; }));
    EXPECT_EQ(server.AuthCount(true), 1);
    EXPECT_GE(events.reads, 1);
}

TEST_F(OlmoVyx, SilentMonitorIsRebuiltOnceAndThenKept) {
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(50);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.reads >= 1; })); // one answer: the monitor has spoken
    server.SetAnswerTimeStamps(false);
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(true) == 2 && events.ready == 2; }));
    EXPECT_EQ(server.AuthCount(false), 2);
    // The server answers again: the rebuilt connection must not be torn down again.
    server.SetAnswerTimeStamps(true);
    const size_t seen = CountCode(CmdQuerySystemTimeStamp);
    ASSERT_TRUE(WaitFor([&] { return CountCode(CmdQuerySystemTimeStamp) >= seen + 15; }));
    EXPECT_EQ(server.AuthCount(true), 2);
}

TEST_F(OlmoVyx, DeadMonitorAfterInvalidDataIsRebuiltByHeartbeat) {
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(50);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.reads >= 1; }));
    std::vector<uint8_t> huge = {0xD2, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    for (int i = 0; i < 8; ++i)
        huge[8] ^= huge[i];
    server.SendToMonitor(huge);
    ASSERT_TRUE(WaitFor([&] { return events.HasConnection(&client.GetMonitorChannel(), 0, 7); }));
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(true) == 2 && events.ready == 2; }));
}

TEST_F(OlmoVyx, StopRestoresIdle) {
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1; }));
    EXPECT_EQ(client.Stop(), 0);
    EXPECT_FALSE(client.IsReady());
    EXPECT_EQ(client.GetCommandChannel().GetQueuedCount(), 0u);
}

TEST_F(OlmoVyx, LostServerIsNotReadyUntilARestartOnTheSamePortIsReadyAgain) {
    client.SetHeartBeatPeriod(200);
    ASSERT_EQ(StartReady(), 0);
    const uint16_t port = server.Port();
    server.Stop();
    // Not ready at once, and the closes carry a failure state, never 0.
    ASSERT_TRUE(WaitFor([&] { return !client.IsReady(); }));
    ASSERT_TRUE(WaitFor([&] {
        return events.HasConnection(&client.GetMonitorChannel(), 2,
                                    int(kvtOlmoConnectionState::ClosedByHost));
    }));
    EXPECT_FALSE(events.HasConnection(&client.GetMonitorChannel(), 2, 0));
    EXPECT_FALSE(events.HasConnection(&client.GetCommandChannel(), 2, 0));
    EXPECT_EQ(client.QueryParameterValue(5), kvtErrorNotConnected);
    EXPECT_EQ(client.GetCommandChannel().GetQueuedCount(), 0u);
    EXPECT_EQ(events.ready, 1);
    // The client keeps trying by itself: a server on the same port gets it ready again,
    // with a fresh ready event and relation frame.
    OlmoFakeServer again;
    ASSERT_EQ(again.Start(port), port);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 2 && client.IsReady(); }, 20000));
    EXPECT_EQ(client.QueryParameterValue(5), 0);
    ASSERT_TRUE(WaitFor([&] {
        size_t relation = 0, value = 0;
        for (auto &f : again.Commands()) {
            relation += f.GetCode() == CmdRelation;
            value += f.GetCode() == 5u;
        }
        return relation == 1 && value == 1;
    }));
    client.Stop();
    again.Stop();
}

TEST_F(OlmoVyx, SilenceIsReportedAsTimeOutAndNotReadyUntilRebuilt) {
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(50);
    ASSERT_EQ(StartReady(), 0);
    ASSERT_TRUE(WaitFor([&] { return events.reads >= 1; }));
    server.SetAnswerTimeStamps(false);
    ASSERT_TRUE(WaitFor([&] {
        return events.HasConnection(&client.GetMonitorChannel(), 0, int(kvtOlmoConnectionState::TimeOut));
    }));
    EXPECT_TRUE(WaitFor([&] {
        return events.HasConnection(&client.GetMonitorChannel(), 2, int(kvtOlmoConnectionState::TimeOut));
    }));
    server.SetAnswerTimeStamps(true);
    ASSERT_TRUE(WaitFor([&] { return events.ready >= 2 && client.IsReady(); }));
}

// Readiness belongs to one connection: a start, a restart and a rebuild by the heartbeat each
// begin a new generation, and being ready "at" an earlier one is false from then on.
TEST_F(OlmoVyx, EachStartAndRebuildIsANewGenerationThatReadinessBelongsTo) {
    EXPECT_EQ(client.GetGeneration(), 0u);
    EXPECT_FALSE(client.IsReadyAt(0));
    ASSERT_EQ(StartReady(), 0);
    EXPECT_EQ(client.GetGeneration(), 1u);
    EXPECT_TRUE(client.IsReadyAt(1));
    EXPECT_FALSE(client.IsReadyAt(2));

    ASSERT_EQ(StartReady(), 0);
    EXPECT_EQ(client.GetGeneration(), 2u);
    EXPECT_FALSE(client.IsReadyAt(1));
    EXPECT_TRUE(client.IsReadyAt(2));

    // A heartbeat rebuilds only a connection that has shown life before it fell silent.
    client.SetHeartBeatPeriod(20);
    client.SetHeartBeatTimeOut(50);
    ASSERT_TRUE(WaitFor([&] { return events.reads >= 1; }));
    server.SetAnswerTimeStamps(false);
    ASSERT_TRUE(WaitFor([&] { return client.GetGeneration() > 2; }));
    EXPECT_FALSE(client.IsReadyAt(2));
    server.SetAnswerTimeStamps(true);
    ASSERT_TRUE(WaitFor([&] { return client.IsReady(); }));
    const uint64_t rebuilt = client.GetGeneration();
    EXPECT_TRUE(client.IsReadyAt(rebuilt));

    client.Stop();
    EXPECT_FALSE(client.IsReadyAt(rebuilt));
}

// A server that is going down or not up yet may end the connection in the middle of the log-in:
// that is a lost connection, rebuilt until the server answers, not a refused log-in.
TEST_F(OlmoVyx, ALogInCutOffByTheServerIsTriedAgainUntilReady) {
    server.SetAuthMode(OlmoFakeServer::AuthHangUp);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(false) + server.AuthCount(true) >= 1; }));
    server.SetAuthMode(OlmoFakeServer::AuthOk);
    EXPECT_TRUE(WaitFor([&] { return client.IsReady(); }, 20000));
    EXPECT_EQ(events.ready, 1);
}

TEST_F(OlmoVyx, RepeatedValueQueriesWaitOnceEach) {
    ASSERT_EQ(StartReady(), 0);
    ASSERT_TRUE(WaitFor([&] { return CountCode(CmdRelation) == 1; }));
    // Three rounds over the same identifiers, as repeated identifier lists cause: the send
    // queue never holds a second query for an identifier whose query still waits.
    for (int round = 0; round < 3; ++round) {
        for (int id = 1; id <= 300; ++id)
            ASSERT_EQ(client.QueryParameterValue(id), 0);
        EXPECT_LE(client.GetCommandChannel().GetQueuedCount(), 300u);
    }
}
