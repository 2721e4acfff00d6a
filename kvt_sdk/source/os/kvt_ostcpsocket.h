#ifndef KVT_OSTCPSOCKET_H
#define KVT_OSTCPSOCKET_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kvt_ossocket_decl.h"

struct in_addr;

namespace kvt {

// Host name or dotted address to the IPv4 address a client socket connects to: the address itself,
// or the resolver's first IPv4 answer. Names under ".invalid" never resolve and are not looked up.
// False when there is none.
bool kvtOsResolveIPv4(const std::string &host, struct in_addr *address);

typedef unsigned char kvtByte;

// Receive buffer asked for on every client socket (the kernel doubles it for its bookkeeping).
const int kvtOsTcpReceiveBufferBytes = 256 * 1024;

class kvtIOsTcpSocket {
public:
    virtual ~kvtIOsTcpSocket() {}
    virtual kvtSocketHandle GetSocket() = 0;
    virtual int32_t GetType() = 0;
    virtual bool IsConnected() = 0;
    virtual bool IsValid() = 0;
    virtual bool HasNoError() = 0;
    virtual std::string GetName() = 0;
    virtual std::string GetPeerName() = 0;
    virtual unsigned GetConnectionTime() = 0;
    virtual bool SetKeepAlive(bool on) = 0;
    virtual bool GetKeepAlive() = 0;
    virtual bool SetReceiveTimeOut(uint32_t ms) = 0;
    virtual uint32_t GetReceiveTimeOut() = 0;
    virtual bool SetSendTimeOut(uint32_t ms) = 0;
    virtual uint32_t GetSendTimeOut() = 0;
    virtual bool IsReadyToReceive(unsigned ms) = 0;
    virtual int FlushReceive(unsigned ms, int *count = nullptr) = 0;
    // Ok once every byte moved; *received counts the bytes taken also when it fails.
    virtual kvtSocketResult Receive(kvtByte *buffer, int length, int *received = nullptr) = 0;
    virtual bool IsReadyToSend(unsigned ms) = 0;
    // Ok once every byte went out.
    virtual kvtSocketResult Send(const kvtByte *data, int length) = 0;
    virtual int Close() = 0;
};

// IPv4 TCP client socket: two-step non-blocking connect, then blocking
// transfers under the socket's send and receive time-outs.
//
// Close may be called from another thread while a Send or Receive blocks:
// it shuts the connection down (which wakes the blocked call) and the
// descriptor is closed only once no call uses it any more, so a new socket
// can never receive the same descriptor number under a running call.
class kvtOsTcpSocket : public kvtIOsTcpSocket {
public:
    kvtOsTcpSocket();
    ~kvtOsTcpSocket() override;
    kvtOsTcpSocket(const kvtOsTcpSocket &) = delete;
    kvtOsTcpSocket &operator=(const kvtOsTcpSocket &) = delete;

    kvtSocketHandle GetSocket() override;
    int32_t GetType() override;
    bool IsConnected() override;
    bool IsValid() override;
    bool HasNoError() override;
    std::string GetName() override;
    std::string GetPeerName() override;
    unsigned GetConnectionTime() override;
    bool SetKeepAlive(bool on) override;
    bool GetKeepAlive() override;
    bool SetReceiveTimeOut(uint32_t ms) override;
    uint32_t GetReceiveTimeOut() override;
    bool SetSendTimeOut(uint32_t ms) override;
    uint32_t GetSendTimeOut() override;
    bool IsReadyToReceive(unsigned ms) override;
    int FlushReceive(unsigned ms, int *count = nullptr) override;
    kvtSocketResult Receive(kvtByte *buffer, int length, int *received = nullptr) override;
    bool IsReadyToSend(unsigned ms) override;
    kvtSocketResult Send(const kvtByte *data, int length) override;
    int Close() override;

    // Address: dotted IPv4 address or host name, optionally "host:port" (that port wins).
    // Ok when connected at once, Pending while the connect goes on, Error (reported) otherwise.
    kvtSocketResult OpenAsyncBegin(const std::string &address, uint16_t port);
    // Ends the connect step; Ok also when it did not connect (IsConnected tells), Error (reported)
    // when the socket failed.
    kvtSocketResult OpenAsyncEnd();
    bool IsConnectPending(unsigned ms);
    int Reset();
    int SetNonBlocking(bool on);

    // While set, a connect that fails (no such host, refused, reset) is reported as a note: the
    // reconnect loop sets it after its first failure, so an outage is reported once, not per attempt.
    void SetConnectFailuresQuiet(bool quiet) { m_bQuietConnect.store(quiet); }

    // Bytes that a Receive could take at once without blocking; -1 without a
    // connected socket. Never blocks and reports nothing.
    int GetReceiveAvailable();

private:
    enum : uint32_t { FlagCreated = 0x1, FlagConnecting = 0x2, FlagConnected = 0x4 };

    // The native descriptor with the number of calls using it. Close retires it;
    // it is closed when its last use ends. Fields guarded by m_Lock.
    struct Descriptor {
        explicit Descriptor(int fd) : m_iFd(fd) {}
        ~Descriptor();
        int m_iFd;
        int m_iUsers = 0;
        bool m_bRetired = false;
    };
    typedef std::shared_ptr<Descriptor> DescriptorPtr;

    // One call's use of the current descriptor: the number cannot be closed
    // (and handed to a new socket) while a call still works on it.
    class Lease {
    public:
        explicit Lease(kvtOsTcpSocket *owner, bool connectedOnly = false);
        ~Lease() { Reset(); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        explicit operator bool() const { return m_pDescriptor != nullptr; }
        int Fd() const { return m_iFd; }
        const DescriptorPtr &Get() const { return m_pDescriptor; }
        void Reset();

    private:
        kvtOsTcpSocket *m_pOwner;
        DescriptorPtr m_pDescriptor;
        int m_iFd;
    };

    // Ends one use; closes a retired descriptor at its last use. Returns -1 when
    // nothing was closed, 0 when closed, or close's error number.
    int endUse(const DescriptorPtr &descriptor);
    bool waitReady(short events, unsigned ms, const char *function);
    bool setTimeOut(int option, uint32_t ms, const char *function);
    uint32_t getTimeOut(int option, const char *function);
    std::string addressText(bool peer, const char *function);
    kvtSocketResult closeAfterPeerClosed(const char *function);
    // "Socket is close." for a call without a connection: a note when this side closed the
    // socket (an orderly stop races its own reader or sender), an error otherwise.
    void reportNotConnected(const char *function, int line);
    bool closedHere();

    std::mutex m_Lock; // guards the fields below, never held across a socket call
    uint32_t m_uFlags;
    DescriptorPtr m_pSocket;
    uint32_t m_uConnectionStart;
    int32_t m_iType;
    bool m_bClosedHere = false; // Close ended a connection (or an attempt); cleared by Reset
    std::atomic<bool> m_bQuietConnect{false};
};

} // namespace kvt

#endif
