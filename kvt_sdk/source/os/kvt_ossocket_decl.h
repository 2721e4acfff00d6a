#ifndef KVT_OSSOCKET_DECL_H
#define KVT_OSSOCKET_DECL_H

#include <cstdint>
#include <string>

namespace kvt {

typedef int kvtSocketHandle;
const kvtSocketHandle kvtInvalidSocket = -1;

// Outcome of Receive, Send and OpenAsyncBegin. Never a byte count: a transfer gives its bytes
// through an out-parameter, so a failure cannot be taken for a length.
enum class kvtSocketResult : int {
    Ok = 0,
    Error = -1,   // not connected, or the platform reported an error
    TimeOut = -2, // the send or receive time-out ran out
    Closed = -3,  // the peer closed the connection; the socket has been closed
    Pending = -4  // the connect has been started and is still in progress
};
// "ok", "error", "time-out", "closed by the peer", "pending"; "socket result N" otherwise.
std::string to_string(kvtSocketResult result);

// Socket state of every connection event. The numbers and texts reach the page.
enum class kvtSocketState : int { Connected = 0, Unreachable = 1, Closed = 2 };
// "Connected", "Can Not Reach The Host", "Closed"; "" for any other value.
std::string to_string(kvtSocketState state);

// Process-wide socket library reference. POSIX sockets need no start-up, so
// these only count the holders.
void ___kvt___init___wsocket___dll();
void ___kvt___term___wsocket___dll();
int kvtSocketLibraryReferences();

} // namespace kvt

#endif
