#include "ctlsession.h"

#include "ctlpassword.h"

using Clock = std::chrono::steady_clock;

CtlSession::CtlSession(const CtlOptions &options, CtlOutput &output)
    : m_options(options), m_output(output), m_tunnel(options.sshConfig) {}

using kvt::kvtOlmoConnectionState;
using kvt::kvtSocketState;

namespace {

bool refusedLogin(const CtlEvent &e) {
    return kvt::kvtOlmoIsRefusedLogin(kvtSocketState(e.socketState),
                                      kvtOlmoConnectionState(e.connectionState));
}

} // namespace

// The user's words for the states (the page has its own texts, kvt::to_string).
std::string CtlSession::connectionText(int c) {
    switch (kvtOlmoConnectionState(c)) {
    case kvtOlmoConnectionState::Ok:
        return "logged in";
    case kvtOlmoConnectionState::MaxClients:
        return "server has reached its client limit";
    case kvtOlmoConnectionState::AuthFailed:
        return "authentication failed";
    case kvtOlmoConnectionState::Connecting:
        return "connecting";
    case kvtOlmoConnectionState::SocketError:
        return "socket error";
    case kvtOlmoConnectionState::TimeOut:
        return "time-out while sending";
    case kvtOlmoConnectionState::TooSlow:
        return "connection too slow";
    case kvtOlmoConnectionState::InvalidData:
        return "invalid data";
    case kvtOlmoConnectionState::ClosedByHost:
        return "closed by the server";
    case kvtOlmoConnectionState::ClosedByClient:
        return "closed by this client";
    }
    return "connection state " + std::to_string(c);
}

std::string CtlSession::socketText(int s) {
    switch (kvtSocketState(s)) {
    case kvtSocketState::Connected:
        return "connected";
    case kvtSocketState::Unreachable:
        return "host unreachable";
    case kvtSocketState::Closed:
        return "closed";
    }
    return "socket state " + std::to_string(s);
}

int CtlSession::connect() {
    if (m_options.heartbeatMs > 0) {
        m_client.SetHeartBeatTimeOut(m_options.heartbeatMs);
        m_client.SetHeartBeatPeriod(unsigned(m_options.heartbeatMs));
    }
    // A transfer without an answer ends in the client (with its reason) within the time-out.
    m_client.SetTransferTimeOut(unsigned(m_options.timeoutSeconds) * 1000u);
    const std::string where = m_options.host + ":" + std::to_string(m_options.port);
    std::string password;
    if (!ctlPassword(m_options, m_output, password))
        return 3;
    std::string host = m_options.host;
    int port = m_options.port;
    if (!openTunnel(host, port))
        return 3;
    if (m_client.Start(host, port, m_options.user, password) != 0) {
        m_output.fail("could not connect to " + where + ": the client did not start");
        return 3;
    }
    std::string last = "no answer";
    const auto deadline = Clock::now() + std::chrono::seconds(m_options.timeoutSeconds);
    CtlEvent e;
    while (m_client.next(e, deadline)) {
        if (e.type == CtlEvent::Ready)
            return 0;
        if (e.type != CtlEvent::Connection) {
            // What a server says before the connection is ready is kept for the command, up to a
            // bound: a server that floods the monitor channel meanwhile cannot make us hoard it.
            if (m_early.size() < kMaxEarlyEvents)
                m_early.push_back(std::move(e));
            else if (m_earlyDropped++ == 0)
                m_output.note("more than " + std::to_string(kMaxEarlyEvents) +
                              " frames before the connection was ready; later ones are dropped");
            continue;
        }
        if (refusedLogin(e)) {
            m_output.fail("could not log in to " + where + ": " + connectionText(e.connectionState));
            return 3;
        }
        last = kvtSocketState(e.socketState) == kvtSocketState::Unreachable
                   ? socketText(e.socketState)
                   : connectionText(e.connectionState) + " (" + socketText(e.socketState) + ")";
    }
    // Both channels may be up even though the ready event was missed by a hair.
    if (m_client.IsReady())
        return 0;
    m_output.fail("could not connect to " + where + " within " + std::to_string(m_options.timeoutSeconds) +
                  " s: " + last);
    return 3;
}

bool CtlSession::openTunnel(std::string &host, int &port) {
    if (m_options.tunnel.empty())
        return true;
    std::string error;
    if (!m_tunnel.start(m_options.tunnel, host, port, m_options.timeoutSeconds * 1000, error)) {
        m_output.fail("could not connect to " + host + ":" + std::to_string(port) +
                      " through the tunnel: " + error);
        return false;
    }
    host = "127.0.0.1";
    port = m_tunnel.localPort();
    return true;
}

CtlSession::Deadline CtlSession::deadline() const {
    return Clock::now() + std::chrono::seconds(m_options.timeoutSeconds);
}

CtlSession::Wait CtlSession::waitFor(CtlEvent &event, int milliseconds) {
    return wait(event, Clock::now() + std::chrono::milliseconds(milliseconds));
}

CtlSession::Wait CtlSession::wait(CtlEvent &e, Deadline until) {
    if (!m_early.empty()) {
        e = std::move(m_early.front());
        m_early.pop_front();
        return Got;
    }
    // Heartbeat answers arrive all the time, so the deadline is the caller's and never slides.
    while (m_client.next(e, until)) {
        switch (e.type) {
        case CtlEvent::Frame:
        case CtlEvent::Download:
        case CtlEvent::Upload:
            return Got;
        case CtlEvent::Ready:
            if (m_reconnecting) {
                m_reconnecting = false;
                m_output.note("connection rebuilt");
                if (m_resend)
                    m_resend();
            }
            break;
        case CtlEvent::Connection: {
            const bool failed =
                refusedLogin(e) ||
                kvt::kvtOlmoIsLoss(kvtSocketState(e.socketState), kvtOlmoConnectionState(e.connectionState));
            if (!failed)
                break;
            m_lost = (e.commandChannel ? "command channel: " : "monitor channel: ") +
                     connectionText(e.connectionState);
            if (!m_resend)
                return Lost;
            if (!m_reconnecting)
                m_output.note("connection lost (" + m_lost + "), waiting for it to be rebuilt");
            m_reconnecting = true;
            break;
        }
        }
    }
    return TimedOut;
}
