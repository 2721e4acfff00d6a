#pragma once
// How command handling reaches the clients; implemented by the server, which owns the sessions.
#include <functional>
#include <string>

class SimSession;

class SimRouter {
public:
    virtual ~SimRouter() = default;
    // To the monitor channel paired with this command channel (held back until the pair exists).
    virtual void reply(SimSession &command, std::string frame) = 0;
    // To the monitor channel of every client.
    virtual void pushAll(std::string frame) = 0;
    // To the monitor channel of every client but the sender.
    virtual void relayOthers(SimSession &command, std::string frame) = 0;
    virtual unsigned clientCount() const = 0;
};
