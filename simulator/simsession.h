#pragma once
// One accepted TCP connection: its role after login, its byte buffers and its fault counters.
#include <kvt_olmoframe.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class SimSession {
public:
    enum Role { Pending, Monitor, Command };
    enum Extract { NeedMore, Frame, Skipped, TooLarge };

    SimSession(int fd, std::string peer) : fd(fd), peer(std::move(peer)) {}

    // Takes the next whole frame off the input: Frame (in out), Skipped (a header with a wrong
    // checksum: 9 bytes dropped), NeedMore, or TooLarge (a payload beyond the bound was announced).
    Extract extract(kvt::kvtOlmoFrame &out);
    void queue(std::string bytes, uint64_t dueMs);
    bool hasDueOutput(uint64_t nowMs) const;
    // Writes what is due without blocking; false when the peer is gone.
    bool flush(uint64_t nowMs);
    std::string label() const;

    int fd;
    std::string peer;
    Role role = Pending;
    bool loggedIn = false;
    uint32_t clientId = 0;
    std::string user;
    uint32_t pairedMonitor = 0; // command channel: the client id of its monitor channel
    bool rawBus = false;
    bool logClients = false;
    unsigned commandFrames = 0;
    bool silent = false;
    bool closeWhenFlushed = false;
    bool closed = false;
    std::vector<std::string> waitingForRelation;
    std::string input;
    size_t inputPos = 0;
    size_t outputBytes = 0;

private:
    struct Out {
        uint64_t due;
        std::string bytes;
    };
    static constexpr size_t kJoinBelow = 64 * 1024;
    std::deque<Out> m_output;
    size_t m_outputPos = 0;
};
