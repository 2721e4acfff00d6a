#pragma once
// The simulator's network side: one poll loop over the listening socket, the discovery sockets and
// every client connection. Logins, channel pairing and the fault switches live here; the meaning
// of each command lives in SimHandler.
#include "simdiscovery.h"
#include "simhandler.h"
#include "simoptions.h"
#include "simrouter.h"
#include "simsession.h"
#include "simusers.h"

#include <map>
#include <memory>
#include <vector>

#include <poll.h>

class SimServer : public SimRouter {
public:
    SimServer(const SimOptions &options, const SimUsers &users, SimSandbox &sandbox,
              SimParameters &parameters);
    ~SimServer() override;

    // Runs until SIGINT or SIGTERM; the result is the process exit code.
    int run();

    void reply(SimSession &command, std::string frame) override;
    void pushAll(std::string frame) override;
    void relayOthers(SimSession &command, std::string frame) override;
    unsigned clientCount() const override;

private:
    static void installSignalHandlers();
    bool listen();
    // The sockets the loop waits on: listening, discovery, and every client (for output when due).
    void fillPollSet(std::vector<pollfd> &fds, uint64_t now) const;
    void handleReady(const std::vector<pollfd> &fds);
    // Sends what is due; a client whose output failed or was flushed before closing is marked closed.
    void flushSessions(uint64_t now);
    void acceptAll();
    void readFrom(SimSession &s);
    void onFrame(SimSession &s, kvt::kvtOlmoFrame &f);
    void login(SimSession &s, const kvt::kvtOlmoFrame &f);
    void relation(SimSession &s, const kvt::kvtOlmoFrame &f);
    void sendTo(SimSession &target, std::string frame);
    void closeClient(SimSession &command);
    SimSession *monitorOf(uint32_t clientId);
    void tick();
    // Pushes the live changes that are due; returns how long poll may wait for the next ones.
    int pushLive(uint64_t now);
    void dropClosed();

    const SimOptions &m_options;
    const SimUsers &m_users;
    SimHandler m_handler;
    SimDiscovery m_discovery;
    int m_listen = -1;
    int m_port = 0;
    std::map<int, std::unique_ptr<SimSession>> m_sessions;
    uint32_t m_nextClientId = 1;
    uint64_t m_framesSent = 0;
    unsigned m_ticks = 0;
    uint64_t m_liveStart = 0;
    uint64_t m_livePushed = 0;
    uint64_t m_liveToClients = 0; // live changes made while a client listened
    bool m_liveStopReported = false;
    bool m_silenceUsed = false;
    bool m_answerDropped = false;
};
