// Handler tests: frames are built here byte by byte and handed to the connector's OnRead, as the
// monitor reader thread would.
#include "kvt_olmoframe.h"
#include "kvt_olmotcpclient.h"
#include "kvt_zephronframe.h"
#include "logcapture.h"
#include "vyxconnector.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDomDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QThread>

#include <cstring>
#include <map>
#include <memory>

using kvt::kvtOlmoFrame;

namespace {

enum Kind : uint8_t { Read = 0, Write = 1, Response = 2, Physical = 3 };

// Wire bytes of one Olmo frame: word (code, type, kind), value or length, XOR checksum, payload.
std::unique_ptr<kvtOlmoFrame> wireFrame(uint8_t kind, uint8_t type, uint32_t code, uint32_t value,
                                        const QByteArray &payload = QByteArray()) {
    QByteArray wire(9, '\0');
    const uint32_t word = (code << 12) | (uint32_t(type) << 4) | kind;
    const uint32_t field = payload.isEmpty() ? value : uint32_t(payload.size());
    for (int i = 0; i < 4; ++i) {
        wire[i] = char(word >> (8 * i));
        wire[4 + i] = char(field >> (8 * i));
    }
    uint8_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum ^= uint8_t(wire[i]);
    wire[8] = char(sum);
    wire += payload;
    auto frame = std::make_unique<kvtOlmoFrame>();
    frame->adjust_buffer(uint32_t(wire.size()));
    std::memcpy(frame->GetMutableBuffer(), wire.constData(), size_t(wire.size()));
    return frame;
}

std::unique_ptr<kvtOlmoFrame> textFrame(uint8_t kind, uint32_t code, const QByteArray &text) {
    return wireFrame(kind, 12, code, 0, text + QByteArray(1, '\0'));
}

std::unique_ptr<kvtOlmoFrame> dataFrame(uint8_t kind, uint32_t code, const QByteArray &bytes) {
    return wireFrame(kind, 13, code, 0, bytes);
}

QByteArray uidBytes(std::initializer_list<uint32_t> uids) {
    QByteArray bytes;
    for (uint32_t uid : uids)
        for (int i = 0; i < 4; ++i)
            bytes += char(uid >> (8 * i));
    return bytes;
}

QByteArray zephronBytes(const QByteArray &text, uint16_t code = 0) {
    auto frame = kvt::kvtZephronFrame::Build(1, 0, code, reinterpret_cast<const uint8_t *>(text.constData()),
                                             uint32_t(text.size()));
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
}

// Records what the handlers send back to the server instead of queueing real frames.
class RecordingConnector : public VYXConnector {
public:
    std::vector<uint32_t> queried;
    std::vector<std::pair<QByteArray, QByteArray>> sentUserUI;
    QByteArray user = "admin";

protected:
    void queryParameterValue(uint32_t uid) override { queried.push_back(uid); }
    void sendUserUI(const QByteArray &u, const QByteArray &xml) override { sentUserUI.emplace_back(u, xml); }
    QByteArray loggedInUser() override { return user; }
};

// One spy per outgoing signal, to check that exactly the expected one fired.
struct Spies {
    explicit Spies(VYXConnector *c) {
        const char *const names[] = {SIGNAL(InProgress(QString)),
                                     SIGNAL(updateParameter(QJsonDocument)),
                                     SIGNAL(VYXFolderCreated(QString)),
                                     SIGNAL(VYXFolderDeleted(QString)),
                                     SIGNAL(VYXFileCreate(QString)),
                                     SIGNAL(VYXFileDeleted(QString)),
                                     SIGNAL(VYXFileAppend(QString)),
                                     SIGNAL(VYXFileMD5(QString)),
                                     SIGNAL(VYXCommandLineExecuted(QString)),
                                     SIGNAL(VYXDatabaseMD5(QString)),
                                     SIGNAL(VYXMessageReceived(QString)),
                                     SIGNAL(VYXZephronMessage(QString)),
                                     SIGNAL(commandLineReply(QString, QString))};
        for (const char *name : names)
            spies[QByteArray(name).mid(1)] = std::make_unique<QSignalSpy>(c, name);
    }
    QSignalSpy &operator[](const char *signature) { return *spies.at(QByteArray(signature)); }
    int total() const {
        int n = 0;
        for (const auto &s : spies)
            n += s.second->count();
        return n;
    }
    std::map<QByteArray, std::unique_ptr<QSignalSpy>> spies;
};

const QByteArray kInfoAnswer = R"({"err":0,"info":"done \"quoted\" <b>","file":"/tmp/x","md5":"ab"})";

} // namespace

TEST(ConnectorDispatch, EachResponseRowEmitsItsSignalWithItsPayload) {
    struct Row {
        uint32_t code;
        QByteArray text;
        const char *signal;
        QString payload;
    } rows[] = {
        {kvt::CmdQueryFolderDelete, kInfoAnswer, "VYXFolderDeleted(QString)", "done \"quoted\" <b>"},
        {kvt::CmdQueryFolderCreate, kInfoAnswer, "VYXFolderCreated(QString)", "done \"quoted\" <b>"},
        {kvt::CmdQueryFileDelete, kInfoAnswer, "VYXFileDeleted(QString)", "done \"quoted\" <b>"},
        {kvt::CmdQueryFileCreate, kInfoAnswer, "VYXFileCreate(QString)", "done \"quoted\" <b>"},
        {kvt::CmdQueryFileAppendData, kInfoAnswer, "VYXFileAppend(QString)", "done \"quoted\" <b>"},
        {kvt::CmdQueryExecuteCommandLine, kInfoAnswer, "VYXCommandLineExecuted(QString)",
         "done \"quoted\" <b>"},
        {kvt::CmdQueryFolderCreate, "not json", "VYXFolderCreated(QString)", ""},
        {kvt::CmdQueryFileMd5, "0123abcd", "VYXFileMD5(QString)", "0123abcd"},
        {kvt::CmdQueryDbMd5, "feedface", "VYXDatabaseMD5(QString)", "feedface"},
        {kvt::CmdSendBroadcastData, "emitter|hello \"x\"", "VYXMessageReceived(QString)",
         "emitter|hello \"x\""},
    };
    for (const Row &row : rows) {
        RecordingConnector connector;
        Spies spies(&connector);
        connector.OnRead(textFrame(Response, row.code, row.text).get());
        ASSERT_EQ(spies[row.signal].count(), 1) << row.code << " " << row.signal;
        EXPECT_EQ(spies[row.signal].at(0).at(0).toString(), row.payload) << row.code;
        const int extra = row.code == kvt::CmdQueryExecuteCommandLine ? 1 : 0; // also commandLineReply
        EXPECT_EQ(spies.total(), 1 + extra) << row.code;
    }
}

TEST(ConnectorDispatch, ResponseOnlyRowsIgnoreOtherKindsWithoutFallingThrough) {
    const uint32_t codes[] = {kvt::CmdQueryParametersUID,
                              kvt::CmdQueryParameterConfiguration,
                              kvt::CmdQueryParameterUIConfiguration,
                              kvt::CmdQueryUserUI,
                              kvt::CmdQueryDbMd5,
                              kvt::CmdQueryDbMaxSize,
                              kvt::CmdQueryClientLevel,
                              kvt::CmdQueryFolderDelete,
                              kvt::CmdQueryFolderCreate,
                              kvt::CmdQueryFileDelete,
                              kvt::CmdQueryFileCreate,
                              kvt::CmdQueryFileAppendData,
                              kvt::CmdQueryFileMd5,
                              kvt::CmdQueryDbChange,
                              kvt::CmdQueryExecuteCommandLine};
    for (uint32_t code : codes) {
        for (uint8_t kind : {Read, Write, Physical}) {
            RecordingConnector connector;
            Spies spies(&connector);
            connector.CommandReplies().Push("pending");
            connector.OnRead(textFrame(kind, code, kInfoAnswer).get());
            EXPECT_EQ(spies.total(), 0) << code << " kind " << int(kind);
            EXPECT_TRUE(connector.sentUserUI.empty());
            EXPECT_EQ(connector.CommandReplies().Count(), 1); // a non-answer does not consume a request
        }
    }
}

TEST(ConnectorDispatch, SilentRowsRememberTheirValues) {
    RecordingConnector connector;
    Spies spies(&connector);
    connector.OnRead(wireFrame(Response, 9, kvt::CmdQueryDbMaxSize, 123456).get());
    connector.OnRead(wireFrame(Response, 3, kvt::CmdQueryClientLevel, 7).get());
    connector.OnRead(textFrame(Response, kvt::CmdQueryDbMd5, "abcdef").get());
    connector.OnRead(wireFrame(Write, 3, kvt::CmdSystemReload, 0).get());
    connector.OnRead(textFrame(Response, kvt::CmdQueryDbChange, kInfoAnswer).get());
    connector.OnRead(textFrame(Response, kvt::CmdQueryParameterConfiguration, "{}").get());
    EXPECT_EQ(connector.DatabaseMaxSize(), 123456);
    EXPECT_EQ(connector.ClientLevel(), 7);
    EXPECT_EQ(connector.DatabaseMd5(), QByteArray("abcdef"));
    EXPECT_EQ(spies.total(), 1); // only the database MD5 is forwarded
}

TEST(ConnectorParameters, ValueTextByTypeAndScopeByKind) {
    float f = 12.5f;
    uint32_t fbits;
    std::memcpy(&fbits, &f, 4);
    double d = 1.5;
    QByteArray dbytes(reinterpret_cast<const char *>(&d), 8);
    struct Row {
        std::unique_ptr<kvtOlmoFrame> frame;
        QString value;
        QString scope; // "-" when absent
    };
    std::vector<Row> rows;
    rows.push_back({wireFrame(Read, 3, 4711, 200), "200", "Read"});
    rows.push_back({wireFrame(Write, 7, 4711, 4000000000u), "4000000000", "Write"});
    rows.push_back({wireFrame(Response, 9, 4711, 77), "77", "Response"});
    rows.push_back({wireFrame(Physical, 10, 4711, fbits), "12.5", "Physical"});
    rows.push_back({textFrame(Write, 4711, "h\xC3\xA9llo"), QString::fromUtf8("h\xC3\xA9llo"), "Write"});
    rows.push_back({wireFrame(Write, 11, 4711, 0, dbytes), "", "Write"});
    rows.push_back({wireFrame(5, 7, 4711, 1), "1", "-"});
    rows.push_back({dataFrame(Write, 4711, "\x01\x02"), "", "Write"});
    for (auto &row : rows) {
        RecordingConnector connector;
        QSignalSpy spy(&connector, SIGNAL(updateParameter(QJsonDocument)));
        connector.OnRead(row.frame.get());
        ASSERT_EQ(spy.count(), 1);
        const QJsonObject o = spy.at(0).at(0).value<QJsonDocument>().object();
        EXPECT_EQ(o.value("ParameterID").toString(), "4711");
        EXPECT_EQ(o.value("value").toString(), row.value);
        if (row.scope == "-") {
            EXPECT_FALSE(o.contains("frameScope"));
            EXPECT_EQ(o.size(), 2);
        } else {
            EXPECT_EQ(o.value("frameScope").toString(), row.scope);
        }
    }
}

TEST(ConnectorParameters, UnterminatedTextStaysInsideTheFrame) {
    RecordingConnector connector;
    QSignalSpy spy(&connector, SIGNAL(updateParameter(QJsonDocument)));
    connector.OnRead(wireFrame(Write, 12, 99, 0, "abc").get()); // no NUL at the end
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<QJsonDocument>().object().value("value").toString(), "abc");
}

TEST(ConnectorParameterUids, SecondResponseQueriesEveryUidSoFar) {
    RecordingConnector connector;
    connector.OnRead(dataFrame(Response, kvt::CmdQueryParametersUID, uidBytes({1, 2, 3})).get());
    EXPECT_EQ(connector.queried, (std::vector<uint32_t>{1, 2, 3}));
    connector.queried.clear();
    connector.OnRead(dataFrame(Response, kvt::CmdQueryParametersUID, uidBytes({4, 5, 6}) + "\x07").get());
    EXPECT_EQ(connector.queried, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(connector.ParameterUids().size(), 6u);

    connector.queried.clear(); // not type 13: nothing new, but the known UIDs are queried
    connector.OnRead(wireFrame(Response, 7, kvt::CmdQueryParametersUID, 1).get());
    EXPECT_EQ(connector.queried.size(), 6u);
}

TEST(ConnectorParameterUids, RepeatedListDoesNotGrow) {
    RecordingConnector connector;
    for (int i = 0; i < 3; ++i)
        connector.OnRead(dataFrame(Response, kvt::CmdQueryParametersUID, uidBytes({10, 11, 10})).get());
    EXPECT_EQ(connector.ParameterUids(), (std::vector<uint32_t>{10, 11}));
    EXPECT_EQ(connector.queried.size(), 6u);
}

TEST(ConnectorUserInterface, MainGetsTheIconAndTheDocumentGoesBack) {
    RecordingConnector connector;
    connector.OnRead(textFrame(Response, kvt::CmdQueryUserUI, "<ui><main><page/></main></ui>").get());
    ASSERT_EQ(connector.sentUserUI.size(), 1u);
    EXPECT_EQ(connector.sentUserUI[0].first, QByteArray("admin"));
    QDomDocument sent;
    ASSERT_TRUE(sent.setContent(connector.sentUserUI[0].second));
    const QDomElement icon = sent.documentElement().firstChildElement("main").lastChildElement();
    EXPECT_EQ(icon.tagName(), "icon");
    EXPECT_EQ(icon.attribute("color"), "0xFF0000");
    EXPECT_EQ(icon.attribute("index"), "34");
    EXPECT_EQ(icon.attribute("pid"), "1");
    EXPECT_EQ(icon.attribute("mode"), "0");
    EXPECT_EQ(icon.attribute("iid"), "100000");
    EXPECT_TRUE(icon.firstChild().isCDATASection());
    EXPECT_EQ(icon.text(), "Olmo");
}

TEST(ConnectorUserInterface, WithoutMainTheDocumentGoesBackUnchanged) {
    RecordingConnector connector;
    const QByteArray xml = "<ui><other a=\"1\">text</other></ui>";
    connector.OnRead(textFrame(Response, kvt::CmdQueryUserUI, xml).get());
    ASSERT_EQ(connector.sentUserUI.size(), 1u);
    QDomDocument original, sent;
    original.setContent(xml);
    sent.setContent(connector.sentUserUI[0].second);
    EXPECT_EQ(sent.toString(1), original.toString(1));
}

// The reader threads have small stacks; a document nested 30,000 deep must neither exhaust one
// (DOM building, rendering and freeing recurse per level) nor go back to the server.
TEST(ConnectorUserInterface, DeeplyNestedDocumentIsRefused) {
    RecordingConnector connector;
    const QByteArray deep = QByteArray("<a>").repeated(30000) + QByteArray("</a>").repeated(30000);
    QByteArray atLimit =
        "<ui><main>" + QByteArray("<b>").repeated(62) + QByteArray("</b>").repeated(62) + "</main></ui>";
    std::unique_ptr<QThread> reader(QThread::create([&] {
        connector.OnRead(textFrame(Response, kvt::CmdQueryUserUI, deep).get());
        connector.OnRead(textFrame(Response, kvt::CmdQueryUserUI, atLimit).get());
    }));
    reader->setStackSize(kvt::kvtOlmoWorkerStackSize); // as the monitor reader's
    reader->start();
    ASSERT_TRUE(reader->wait(60000));
    ASSERT_EQ(connector.sentUserUI.size(), 1u); // only the one within 64 levels
    EXPECT_TRUE(connector.sentUserUI[0].second.contains("<icon"));
}

TEST(ConnectorUserInterface, JsonAnswerToTheWriteSendsNothing) {
    RecordingConnector connector;
    connector.OnRead(
        textFrame(Response, kvt::CmdQueryUserUI, R"({"key":"admin","err":0,"info":"ok"})").get());
    EXPECT_TRUE(connector.sentUserUI.empty());
}

TEST(ConnectorZephron, TextMessageIsEmittedRaw) {
    RecordingConnector connector;
    QSignalSpy spy(&connector, SIGNAL(VYXZephronMessage(QString)));
    connector.OnRead(dataFrame(Physical, kvt::CmdSendZephronFrame, zephronBytes("say \"hi\"")).get());
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "say \"hi\"");
    EXPECT_EQ(VYXConnector::ZephronFeedbackText(spy.at(0).at(0).toString()), "say |||hi|||");
}

TEST(ConnectorZephron, BadFramesAreDroppedSilently) {
    QByteArray corrupt = zephronBytes("abc");
    corrupt[22] = 'X';
    QByteArray noNul = zephronBytes("abc");
    std::vector<std::pair<const char *, std::unique_ptr<kvtOlmoFrame>>> cases;
    cases.emplace_back("payload CRC", dataFrame(Write, kvt::CmdSendZephronFrame, corrupt));
    cases.emplace_back("code not 0", dataFrame(Write, kvt::CmdSendZephronFrame, zephronBytes("abc", 5)));
    cases.emplace_back("no payload", dataFrame(Write, kvt::CmdSendZephronFrame, zephronBytes("")));
    cases.emplace_back("truncated", dataFrame(Write, kvt::CmdSendZephronFrame, zephronBytes("abc").left(22)));
    cases.emplace_back("short", dataFrame(Write, kvt::CmdSendZephronFrame, "\x01\x02\x03"));
    cases.emplace_back("no data", wireFrame(Write, 13, kvt::CmdSendZephronFrame, 0));
    cases.emplace_back("text type", textFrame(Write, kvt::CmdSendZephronFrame, "abc"));
    for (auto &c : cases) {
        RecordingConnector connector;
        Spies spies(&connector);
        connector.OnRead(c.second.get());
        EXPECT_EQ(spies.total(), 0) << c.first;
    }
}

TEST(ConnectorZephron, CommandFrameAndHelpers) {
    const QByteArray abc = VYXConnector::BuildZephronCommand("abc");
    const QByteArray expected = QByteArray::fromHex("000000000000000000000000010000030000001084616263"
                                                    "3897");
    EXPECT_EQ(abc.toHex(), expected.toHex());
    const QByteArray empty = VYXConnector::BuildZephronCommand("");
    EXPECT_EQ(empty.size(), 23);
    EXPECT_EQ(empty.right(2), QByteArray(2, '\0'));
    EXPECT_EQ(VYXConnector::BusDebugFlag("TRUE"), 1);
    EXPECT_EQ(VYXConnector::BusDebugFlag("true"), 1);
    EXPECT_EQ(VYXConnector::BusDebugFlag("yes"), 0);
}

TEST(ConnectorCommandLine, TwoRequestsBeforeTheFirstAnswerEachGetTheirOwnAnswerOnce) {
    RecordingConnector connector;
    QSignalSpy replies(&connector, SIGNAL(commandLineReply(QString, QString)));
    connector.CommandReplies().Push("console");
    connector.CommandReplies().Push("guardian");
    connector.OnRead(textFrame(Response, kvt::CmdQueryExecuteCommandLine, R"({"info":"first"})").get());
    connector.OnRead(textFrame(Response, kvt::CmdQueryExecuteCommandLine, R"({"info":"second"})").get());
    connector.OnRead(textFrame(Response, kvt::CmdQueryExecuteCommandLine, R"({"info":"stray"})").get());
    ASSERT_EQ(replies.count(), 3);
    EXPECT_EQ(replies.at(0).at(0).toString(), "console");
    EXPECT_EQ(replies.at(0).at(1).toString(), "first");
    EXPECT_EQ(replies.at(1).at(0).toString(), "guardian");
    EXPECT_EQ(replies.at(1).at(1).toString(), "second");
    EXPECT_EQ(replies.at(2).at(0).toString(), ""); // nobody asked
    EXPECT_EQ(connector.CommandReplies().Count(), 0);
}

TEST(ConnectorConnection, StateTextsAndChannelLetter) {
    EXPECT_EQ(VYXConnector::SocketStateText(0), "Connected");
    EXPECT_EQ(VYXConnector::SocketStateText(1), "Can Not Reach The Host");
    EXPECT_EQ(VYXConnector::SocketStateText(2), "Closed");
    EXPECT_EQ(VYXConnector::SocketStateText(7), "");
    EXPECT_EQ(VYXConnector::SocketStateText(-1), "");
    const char *texts[] = {"ConnectionState_Ok", "Max client reached", "Authentication failed",
                           "Connecting",         "Socket error",       "Timeout",
                           "Too slow",           "Invalid data",       "Closed from host",
                           "Closed by client"};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(VYXConnector::ConnectionStateText(i), texts[i]);
    EXPECT_EQ(VYXConnector::ConnectionStateText(10), "");

    RecordingConnector connector;
    QSignalSpy spy(&connector, SIGNAL(connectionState(QString, QString, QString, quint64)));
    connector.OnConnection(nullptr, VYXConnector::ConnectionStateText(0), VYXConnector::SocketStateText(7));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "R");
    EXPECT_EQ(spy.at(0).at(1).toString(), "ConnectionState_Ok");
    EXPECT_EQ(spy.at(0).at(2).toString(), "");
    // A client never started is at generation 0.
    EXPECT_EQ(spy.at(0).at(3).toULongLong(), 0u);
}

TEST(ConnectorProgress, DownloadJsonAndRememberedMd5) {
    kvt::kvtDownloadProgress p;
    p.active = false;
    p.serverBytes = 1000;
    p.receivedBytes = 125;
    p.fraction = 0.125f;
    p.error = 0;
    p.info = "Donwload \"End\"";
    p.clientFile = "/tmp/db";
    p.clientMd5 = "aa";
    p.serverMd5 = "aa";
    RecordingConnector connector;
    QSignalSpy spy(&connector, SIGNAL(InProgress(QString)));
    connector.OnDownloadConfiguration(&p);
    ASSERT_EQ(spy.count(), 1);
    const QJsonObject o = QJsonDocument::fromJson(spy.at(0).at(0).toString().toUtf8()).object();
    EXPECT_EQ(o.value("IsEnd"), QJsonValue("true")); // a string, not a JSON boolean
    EXPECT_EQ(o.value("GetError"), QJsonValue(0));
    EXPECT_EQ(o.value("GetInfo").toString(), "Donwload \"End\"");
    EXPECT_EQ(o.value("GetServerBytes"), QJsonValue("1000"));
    EXPECT_EQ(o.value("GetReceivedBytes"), QJsonValue("125"));
    EXPECT_EQ(o.value("GetPercentage"), QJsonValue("12.5"));
    EXPECT_EQ(o.value("GetClientFile").toString(), "/tmp/db");
    EXPECT_FALSE(o.contains("GetSentBytes"));
    EXPECT_FALSE(o.contains("GetClientBytes"));
    EXPECT_EQ(o.size(), 9);
    EXPECT_EQ(connector.ClientConfigurationMd5(), QByteArray("aa"));

    p.error = 1; // a failed download keeps the last good digest
    p.clientMd5 = "bb";
    connector.OnDownloadConfiguration(&p);
    EXPECT_EQ(connector.ClientConfigurationMd5(), QByteArray("aa"));
    p.active = true; // still running: reported, nothing remembered
    p.error = 0;
    connector.OnDownloadConfiguration(&p);
    EXPECT_EQ(connector.ClientConfigurationMd5(), QByteArray("aa"));
    EXPECT_EQ(spy.count(), 3);
    EXPECT_EQ(QJsonDocument::fromJson(spy.at(2).at(0).toString().toUtf8()).object().value("IsEnd"),
              QJsonValue("false"));
}

TEST(ConnectorProgress, UploadJson) {
    kvt::kvtUploadProgress p;
    p.active = false;
    p.fraction = 1.0f;
    p.clientBytes = 1000000;
    p.sentBytes = 1000000;
    RecordingConnector connector;
    QSignalSpy spy(&connector, SIGNAL(InProgress(QString)));
    connector.OnUploadConfiguration(&p);
    ASSERT_EQ(spy.count(), 1);
    const QJsonObject o = QJsonDocument::fromJson(spy.at(0).at(0).toString().toUtf8()).object();
    EXPECT_EQ(o.value("GetPercentage"), QJsonValue("100"));
    EXPECT_EQ(o.value("GetClientBytes"), QJsonValue("1000000"));
    EXPECT_EQ(o.value("GetSentBytes"), QJsonValue("1000000"));
    EXPECT_FALSE(o.contains("GetServerBytes"));
    EXPECT_EQ(o.size(), 9);
}

TEST(ConnectorProgress, UploadVerdictInTheLog) {
    struct Row {
        bool active;
        float fraction;
        int error;
        const char *clientMd5;
        const char *serverMd5;
        const char *expected;
    } rows[] = {
        {false, 0.0f, 0, "a", "b", "Upload precentage 0\nProject is the same, no need to update it\n"},
        {false, 1.0f, 0, "ABCdef", "abcDEF", "Upload precentage 100\nProject uploaded with success\n"},
        {false, 1.0f, 2, "abc", "abd",
         "Upload precentage 100\nMD5 do not match with server and client\nError why\n"},
        {true, 0.5f, 2, "abc", "abc",
         "Upload precentage 50\nMD5 do not match with server and client\nError why\n"},
        {true, 0.5f, 0, "abc", "abd", "Upload precentage 50\n"},
    };
    for (const Row &row : rows) {
        kvt::kvtUploadProgress p;
        p.active = row.active;
        p.fraction = row.fraction;
        p.error = row.error;
        p.clientMd5 = row.clientMd5;
        p.serverMd5 = row.serverMd5;
        p.info = "why";
        LogCapture log("vyx.connector.debug=true");
        VYXConnector::PrintUploadVerdict(p);
        EXPECT_EQ(log.Text(), row.expected);
    }
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
