#ifndef KVT_OSSOCKET_DECL_H
#define KVT_OSSOCKET_DECL_H

#include <cstdint>

namespace kvt {

typedef int kvtSocketHandle;
const kvtSocketHandle kvtInvalidSocket = -1;

// Negative results of Receive, Send and OpenAsyncBegin.
enum kvtSocketResult : int {
    kvtSocketError = -1,    // not connected, or the platform reported an error
    kvtSocketTimeOut = -2,  // the send or receive time-out ran out
    kvtSocketClosed = -3,   // the peer closed the connection; the socket has been closed
    kvtSocketPending = -4   // the connect has been started and is still in progress
};

// Process-wide socket library reference. POSIX sockets need no start-up, so
// these only count the holders.
void ___kvt___init___wsocket___dll();
void ___kvt___term___wsocket___dll();
int kvtSocketLibraryReferences();

}  // namespace kvt

#endif
