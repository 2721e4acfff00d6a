#pragma once
// One vyxctl run against a server: connect and log in on both channels, then hand the command its
// events. A command that only reads may ask to be repeated after the heartbeat rebuilt the
// connection; any other command fails when the connection is lost.
#include "ctlclient.h"
#include "ctloptions.h"
#include "ctloutput.h"

#include "sshtunnel.h"

#include <deque>
#include <functional>
#include <string>

class CtlSession {
public:
    enum Wait { Got, TimedOut, Lost };

    CtlSession(const CtlOptions &options, CtlOutput &output);

    // 0 when both channels are ready, else exit code 3 (reason printed). With a tunnel, the
    // channels go through it.
    int connect();
    using Deadline = std::chrono::steady_clock::time_point;
    // The time-out from now on.
    Deadline deadline() const;
    // The next frame or transfer progress before the deadline.
    Wait wait(CtlEvent &event, Deadline until);
    // The next event within a fixed number of milliseconds.
    Wait waitFor(CtlEvent &event, int milliseconds);
    // Called again, after a reconnection, for commands that can safely repeat their requests.
    void setResend(std::function<void()> resend) { m_resend = std::move(resend); }
    CtlClient &client() { return m_client; }
    const std::string &lostReason() const { return m_lost; }

    static std::string connectionText(int connectionState);
    static std::string socketText(int socketState);

private:
    // With a tunnel, host and port become its local end; false (reason printed) when it does not open.
    bool openTunnel(std::string &host, int &port);

    const CtlOptions &m_options;
    CtlOutput &m_output;
    SshTunnel m_tunnel; // outlives the client, which is stopped first
    CtlClient m_client;
    std::function<void()> m_resend;
    static constexpr size_t kMaxEarlyEvents = 4096;
    std::deque<CtlEvent> m_early; // frames that came before the connection was ready (bounded)
    size_t m_earlyDropped = 0;
    std::string m_lost;
    bool m_reconnecting = false;
};
