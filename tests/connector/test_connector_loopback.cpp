// The connector against a minimal Olmo server on 127.0.0.1: login on both channels, readiness,
// a parameter change, a command line with its answer, and tear-down while connected.
#include "vyxconnector.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> encode(uint8_t kind, uint8_t type, uint32_t code, uint32_t value,
                            const std::string &payload) {
    std::vector<uint8_t> wire(9, 0);
    const uint32_t word = (code << 12) | (uint32_t(type) << 4) | kind;
    const uint32_t field = payload.empty() ? value : uint32_t(payload.size());
    for (int i = 0; i < 4; ++i) {
        wire[i] = uint8_t(word >> (8 * i));
        wire[4 + i] = uint8_t(field >> (8 * i));
    }
    for (int i = 0; i < 8; ++i)
        wire[8] ^= wire[i];
    wire.insert(wire.end(), payload.begin(), payload.end());
    return wire;
}

bool readAll(int fd, uint8_t *out, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, out, n, 0);
        if (r <= 0)
            return false;
        out += r;
        n -= size_t(r);
    }
    return true;
}

bool sendAll(int fd, const std::vector<uint8_t> &bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

struct Received {
    uint8_t kind = 0, type = 0;
    uint32_t code = 0;
    std::string payload;
};

bool readFrame(int fd, Received *f) {
    uint8_t h[9];
    if (!readAll(fd, h, 9))
        return false;
    const uint32_t word = uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
    const uint32_t field = uint32_t(h[4]) | uint32_t(h[5]) << 8 | uint32_t(h[6]) << 16 | uint32_t(h[7]) << 24;
    f->kind = word & 0x0F;
    f->type = (word >> 4) & 0xFF;
    f->code = word >> 12;
    f->payload.clear();
    if (f->type > 10 && field > 0) {
        if (field > (1u << 20))
            return false;
        f->payload.resize(field);
        return readAll(fd, reinterpret_cast<uint8_t *>(&f->payload[0]), field);
    }
    return true;
}

// Accepts both channels, authenticates them, sends one parameter change once the relation frame
// arrives, and answers command lines on the monitor channel.
class FakeServer {
public:
    FakeServer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ::listen(m_listen, 4);
        m_thread = std::thread([this] { run(); });
    }
    ~FakeServer() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_clients)
            ::close(fd);
        ::close(m_listen);
    }
    int port() const { return m_port; }

private:
    void run() {
        int monitor = -1;
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (int fd : m_clients)
                fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                m_clients.push_back(::accept(m_listen, nullptr, nullptr));
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                const int fd = fds[i].fd;
                Received f;
                if (!readFrame(fd, &f)) {
                    m_clients.erase(std::find(m_clients.begin(), m_clients.end(), fd));
                    ::close(fd);
                    if (fd == monitor)
                        monitor = -1;
                    break;
                }
                if (f.code == 1000001 || f.code == 1000002) {
                    if (f.code == 1000001)
                        monitor = fd;
                    const std::string ok{'\0', char(m_nextId++), '\0', '\0', '\0'};
                    sendAll(fd, encode(2, 13, f.code, 0, ok));
                } else if (f.code == 1000003 && monitor >= 0) {
                    sendAll(monitor, encode(1, 7, 4242, 77, ""));
                } else if (f.code == 1010024 && monitor >= 0) {
                    const std::string cmd(f.payload.c_str());
                    sendAll(monitor, encode(2, 12, 1010024, 0,
                                            "{\"err\":0,\"cmd\":\"" + cmd + "\",\"info\":\"ran " + cmd +
                                                "\"}" + std::string(1, '\0')));
                }
            }
        }
    }

    int m_listen = -1;
    int m_port = 0;
    int m_nextId = 1;
    std::vector<int> m_clients;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

bool waitFor(const std::function<bool()> &done, int ms = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace

TEST(ConnectorLoopback, ReadyParameterCommandLineAndTearDownWhileConnected) {
    FakeServer server;
    QObject receiver; // lives on this thread, so the connector's signals arrive queued
    int ready = 0;
    QJsonObject parameter;
    QStringList states;
    std::vector<std::pair<QString, QString>> replies;

    auto connector = std::make_unique<VYXConnector>();
    QObject::connect(connector.get(), &VYXConnector::connectionReady, &receiver, [&] { ++ready; });
    QObject::connect(connector.get(), &VYXConnector::updateParameter, &receiver,
                     [&](QJsonDocument doc) { parameter = doc.object(); });
    QObject::connect(
        connector.get(), &VYXConnector::connectionState, &receiver,
        [&](QString type, QString state, QString socket) { states << type + "/" + state + "/" + socket; });
    QObject::connect(connector.get(), &VYXConnector::commandLineReply, &receiver,
                     [&](QString tag, QString info) { replies.emplace_back(tag, info); });

    ASSERT_EQ(connector->Client().Start("127.0.0.1", server.port(), "admin", "secret"), 0);
    ASSERT_TRUE(waitFor([&] { return ready > 0 && !parameter.isEmpty(); }));
    EXPECT_EQ(parameter.value("ParameterID").toString(), "4242");
    EXPECT_EQ(parameter.value("value").toString(), "77");
    EXPECT_EQ(parameter.value("frameScope").toString(), "Write");
    EXPECT_TRUE(states.contains("C/ConnectionState_Ok/Connected")) << states.join(",").toStdString();
    EXPECT_TRUE(states.contains("R/ConnectionState_Ok/Connected")) << states.join(",").toStdString();

    connector->CommandReplies().Push("console", "uptime");
    connector->CommandReplies().Push("guardian", "status");
    connector->Client().QueryExecuteCommandLine("uptime");
    connector->Client().QueryExecuteCommandLine("status");
    ASSERT_TRUE(waitFor([&] { return replies.size() == 2; }));
    EXPECT_EQ(replies[0], std::make_pair(QString("console"), QString("ran uptime")));
    EXPECT_EQ(replies[1], std::make_pair(QString("guardian"), QString("ran status")));

    // Destroyed while both channels are up: the client's threads end before the members go.
    connector->CommandReplies().Push("never answered");
    connector.reset();
}

TEST(ConnectorLoopback, StoppingDropsPendingCommandLineRequests) {
    FakeServer server;
    QObject receiver;
    int ready = 0;
    VYXConnector connector;
    QObject::connect(&connector, &VYXConnector::connectionReady, &receiver, [&] { ++ready; });
    ASSERT_EQ(connector.Client().Start("127.0.0.1", server.port(), "admin", "secret"), 0);
    ASSERT_TRUE(waitFor([&] { return ready > 0; }));
    connector.CommandReplies().Push("lost");
    connector.Client().Stop();
    EXPECT_EQ(connector.CommandReplies().Count(), 0);
}

TEST(ConnectorLoopback, AClosedChannelIsReportedWithItsFailureNeverAsOk) {
    auto server = std::make_unique<FakeServer>();
    QObject receiver;
    int ready = 0;
    QStringList states;
    VYXConnector connector;
    QObject::connect(&connector, &VYXConnector::connectionReady, &receiver, [&] { ++ready; });
    QObject::connect(
        &connector, &VYXConnector::connectionState, &receiver,
        [&](QString type, QString state, QString socket) { states << type + "/" + state + "/" + socket; });
    ASSERT_EQ(connector.Client().Start("127.0.0.1", server->port(), "admin", "secret"), 0);
    ASSERT_TRUE(waitFor([&] { return ready > 0; }));
    server.reset(); // the server goes away with both connections
    ASSERT_TRUE(waitFor([&] {
        return states.contains("R/Closed from host/Closed") &&
               !states.filter(QRegularExpression("^C/.*/Closed$")).isEmpty();
    })) << states.join(",").toStdString();
    EXPECT_FALSE(connector.Client().IsReady());
    for (const QString &s : states.filter(QRegularExpression("/Closed$")))
        EXPECT_FALSE(s.contains("ConnectionState_Ok")) << s.toStdString();
    connector.Client().Stop();
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
