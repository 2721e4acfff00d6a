#include "kvt_ostcpsocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "kvt_error.h"
#include "kvt_osthread.h"

namespace kvt {

namespace {

const char *const kSourceFile = "kvt_sdk/source/os/kvt_ostcpsocket";

int report(int number, const std::string &message, const char *function, int line) {
    return kvtErrorReport(kvtError(number, message, kSourceFile, function, line));
}

// Message with the platform's text for the error that just happened.
std::string withError(const char *message, int error) {
    return std::string(message) + "\nWindows Error " + kvtErrorWindowsToString(error);
}

std::string trimBlanks(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           strcasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

// A failure already reported under its number.
kvtSocketResult failed(int) {
    return kvtSocketResult::Error;
}

bool isTimeOut(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

} // namespace

bool kvtOsResolveIPv4(const std::string &host, struct in_addr *address) {
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        return true;
    if (host.empty() || endsWith(host, ".invalid") || endsWith(host, ".invalid."))
        return false;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    *address = reinterpret_cast<struct sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

kvtOsTcpSocket::Descriptor::~Descriptor() {
    if (m_iFd >= 0)
        ::close(m_iFd);
}

kvtOsTcpSocket::Lease::Lease(kvtOsTcpSocket *owner, bool connectedOnly)
    : m_pOwner(owner), m_iFd(kvtInvalidSocket) {
    std::lock_guard<std::mutex> guard(owner->m_Lock);
    if (!owner->m_pSocket || (connectedOnly && !(owner->m_uFlags & FlagConnected)))
        return;
    m_pDescriptor = owner->m_pSocket;
    ++m_pDescriptor->m_iUsers;
    m_iFd = m_pDescriptor->m_iFd;
}

void kvtOsTcpSocket::Lease::Reset() {
    if (!m_pDescriptor)
        return;
    m_pOwner->endUse(m_pDescriptor);
    m_pDescriptor.reset();
    m_iFd = kvtInvalidSocket;
}

int kvtOsTcpSocket::endUse(const DescriptorPtr &descriptor) {
    int handle = -1;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (--descriptor->m_iUsers == 0 && descriptor->m_bRetired && descriptor->m_iFd >= 0) {
            handle = descriptor->m_iFd;
            descriptor->m_iFd = -1;
        }
    }
    if (handle < 0)
        return -1;
    if (::close(handle) != 0 && errno != EINTR)
        return errno;
    return 0;
}

kvtOsTcpSocket::kvtOsTcpSocket() : m_uFlags(0), m_uConnectionStart(0), m_iType(1) {
    ___kvt___init___wsocket___dll();
    if (Reset() != 0)
        report(kvtErrorNetwork, "Can not reset socket", "kvt::kvtOsTcpSocket::kvtOsTcpSocket", __LINE__);
}

kvtOsTcpSocket::~kvtOsTcpSocket() {
    if (Close() != 0)
        report(kvtErrorNetwork, "Can not close socket", "kvt::kvtOsTcpSocket::~kvtOsTcpSocket", __LINE__);
    ___kvt___term___wsocket___dll();
}

kvtSocketHandle kvtOsTcpSocket::GetSocket() {
    Lease fd(this);
    return fd ? fd.Fd() : kvtInvalidSocket;
}

int32_t kvtOsTcpSocket::GetType() {
    return m_iType;
}

bool kvtOsTcpSocket::IsConnected() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return (m_uFlags & FlagConnected) != 0;
}

bool kvtOsTcpSocket::IsValid() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_pSocket != nullptr;
}

int kvtOsTcpSocket::Reset() {
    if (Close() != 0)
        return report(kvtErrorNetwork, "Can not close socket", "kvt::kvtOsTcpSocket::Reset", __LINE__);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return report(kvtErrorNetwork, withError("Can not create socket", errno),
                      "kvt::kvtOsTcpSocket::Reset", __LINE__);
    // A bounded receive buffer: bytes waiting in the kernel are frames the reader has yet to see,
    // and autotuning lets them grow to megabytes, which a flooding server keeps full: the newest
    // values would reach the reader seconds late. Set before connecting, so the window fits it.
    const int receiveBuffer = kvtOsTcpReceiveBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    std::lock_guard<std::mutex> guard(m_Lock);
    m_pSocket = std::make_shared<Descriptor>(fd);
    m_uFlags |= FlagCreated;
    m_bClosedHere = false;
    return 0;
}

int kvtOsTcpSocket::Close() {
    DescriptorPtr descriptor;
    bool connected;
    int handle;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        descriptor.swap(m_pSocket);
        connected = (m_uFlags & (FlagConnected | FlagConnecting)) != 0;
        if (connected)
            m_bClosedHere = true;
        m_uFlags = 0;
        m_uConnectionStart = 0;
        if (!descriptor)
            return 0;
        descriptor->m_bRetired = true;
        ++descriptor->m_iUsers; // our own use, so that nobody closes it under the shutdown
        handle = descriptor->m_iFd;
    }
    int result = 0;
    // Shutting down wakes any call still blocked on this descriptor in another thread.
    if (connected && ::shutdown(handle, SHUT_RDWR) != 0 && errno != ENOTCONN)
        result = report(kvtErrorNetwork, withError("shutdown(...) failed", errno),
                        "kvt::kvtOsTcpSocket::Close", __LINE__);
    // Closed now when no other call uses it, otherwise when the last one ends.
    int closeError = endUse(descriptor);
    if (closeError > 0)
        result = report(kvtErrorNetwork, withError("closesocket(...) failed", closeError),
                        "kvt::kvtOsTcpSocket::Close", __LINE__);
    return result;
}

int kvtOsTcpSocket::SetNonBlocking(bool on) {
    Lease fd(this);
    if (!fd)
        return report(kvtErrorNetwork, "Invalid socket", "kvt::kvtOsTcpSocket::SetNonBlocking", __LINE__);
    int flags = fcntl(fd.Fd(), F_GETFL, 0);
    if (flags < 0 || fcntl(fd.Fd(), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) < 0)
        return report(kvtErrorNetwork, withError("Can not set socket blocking state", errno),
                      "kvt::kvtOsTcpSocket::SetNonBlocking", __LINE__);
    return 0;
}

kvtSocketResult kvtOsTcpSocket::OpenAsyncBegin(const std::string &address, uint16_t port) {
    const char *const function = "kvt::kvtOsTcpSocket::OpenAsyncBegin";
    uint32_t flags;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        flags = m_uFlags;
    }
    if ((flags & FlagConnected) || flags == 0 || (flags & FlagConnecting)) {
        int result = Reset();
        if (result != 0)
            return failed(report(kvtErrorNetwork, "Can not reset socket", function, __LINE__));
    }
    if (SetNonBlocking(true) != 0)
        return failed(report(kvtErrorFailed, "Can not set non blocking socket", function, __LINE__));

    std::string host = address;
    size_t colon = address.find(':');
    if (colon != std::string::npos) {
        host = trimBlanks(address.substr(0, colon));
        std::string portText = address.substr(colon + 1);
        portText = portText.substr(0, portText.find(':'));
        long value = strtol(portText.c_str(), nullptr, 10);
        if (value < 0 || value > 65535)
            return failed(report(kvtErrorNetwork, "Invalid port " + portText, function, __LINE__));
        port = static_cast<uint16_t>(value);
    }

    struct sockaddr_in target;
    memset(&target, 0, sizeof(target));
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (!kvtOsResolveIPv4(host, &target.sin_addr))
        return failed(report(m_bQuietConnect.load() ? kvtInfo : kvtErrorNetwork, "gethostbyname failed",
                             function, __LINE__));

    Lease fd(this);
    if (!fd)
        return failed(report(kvtErrorNetwork, "Invalid socket", function, __LINE__));
    if (::connect(fd.Fd(), reinterpret_cast<struct sockaddr *>(&target), sizeof(target)) == 0)
        return kvtSocketResult::Ok;
    int error = errno;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_uFlags |= FlagConnecting;
    }
    if (error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN)
        return kvtSocketResult::Pending;
    return failed(report(m_bQuietConnect.load() ? kvtInfo : kvtErrorNetwork,
                         withError("Can not connect socket", error), function, __LINE__));
}

bool kvtOsTcpSocket::IsConnectPending(unsigned ms) {
    if (IsConnected())
        return false;
    Lease fd(this);
    if (!fd)
        return false;
    struct pollfd entry = {fd.Fd(), POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, ms > 0x7FFFFFFFu ? -1 : static_cast<int>(ms));
    } while (ready < 0 && errno == EINTR);
    int pending = 0;
    socklen_t size = sizeof(pending);
    bool read = ::getsockopt(fd.Fd(), SOL_SOCKET, SO_ERROR, &pending, &size) == 0;
    return read && ready == 0;
}

kvtSocketResult kvtOsTcpSocket::OpenAsyncEnd() {
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_uFlags &= ~static_cast<uint32_t>(FlagConnecting);
    }
    Lease fd(this);
    if (!fd)
        return kvtSocketResult::Ok;
    char byte;
    ssize_t peeked = ::recv(fd.Fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    bool connected = peeked > 0;
    if (peeked < 0) {
        int error = errno;
        if (!isTimeOut(error)) {
            report(m_bQuietConnect.load() ? kvtInfo : kvtErrorNetwork, withError("recv error", error),
                   "kvt::kvtOsTcpSocket::OpenAsyncEnd", __LINE__);
            return kvtSocketResult::Error;
        }
        // Nothing to read also while the connect is still under way: only a known peer means connected.
        struct sockaddr_in peer;
        socklen_t size = sizeof(peer);
        connected = ::getpeername(fd.Fd(), reinterpret_cast<struct sockaddr *>(&peer), &size) == 0;
    }
    if (connected) {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_pSocket == fd.Get()) {
            m_uFlags |= FlagConnected;
            m_uConnectionStart = kvtOsGetTickCount() / 1000;
        }
    }
    if (SetNonBlocking(false) != 0)
        return failed(report(kvtErrorFailed, "Can not set non blocking socket",
                             "kvt::kvtOsTcpSocket::OpenAsyncEnd", __LINE__));
    return kvtSocketResult::Ok;
}

bool kvtOsTcpSocket::closedHere() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_bClosedHere;
}

void kvtOsTcpSocket::reportNotConnected(const char *function, int line) {
    report(closedHere() ? kvtInfo : kvtErrorNetwork, "Socket is close.", function, line);
}

kvtSocketResult kvtOsTcpSocket::closeAfterPeerClosed(const char *function) {
    if (Close() != 0)
        report(kvtErrorNetwork, "Can not close socket", function, __LINE__);
    return kvtSocketResult::Closed;
}

kvtSocketResult kvtOsTcpSocket::Send(const kvtByte *data, int length) {
    const char *const function = "kvt::kvtOsTcpSocket::Send";
    Lease fd(this, true);
    if (!fd) {
        reportNotConnected(function, __LINE__);
        return kvtSocketResult::Error;
    }
    if (length < 0 || (data == nullptr && length > 0)) {
        report(kvtErrorInvalidArgument, "pData == 0 or length < 0", function, __LINE__);
        return kvtSocketResult::Error;
    }
    int done = 0;
    while (done < length) {
        ssize_t sent = ::send(fd.Fd(), data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<int>(sent);
            continue;
        }
        if (sent == 0) {
            fd.Reset();
            return closeAfterPeerClosed(function);
        }
        int error = errno;
        if (error == EINTR)
            continue;
        if (isTimeOut(error))
            return kvtSocketResult::TimeOut;
        // A send that our own Close cut short (it shuts the connection down under it) is no failure.
        report(closedHere() ? kvtInfo : kvtErrorNetwork, withError("send error", error), function, __LINE__);
        return kvtSocketResult::Error;
    }
    return kvtSocketResult::Ok;
}

kvtSocketResult kvtOsTcpSocket::Receive(kvtByte *buffer, int length, int *received) {
    const char *const function = "kvt::kvtOsTcpSocket::Receive";
    if (received != nullptr)
        *received = 0;
    Lease fd(this, true);
    if (!fd) {
        reportNotConnected(function, __LINE__);
        return kvtSocketResult::Error;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        report(kvtErrorInvalidArgument, "o_pBuffer == 0 or length < 0", function, __LINE__);
        return kvtSocketResult::Error;
    }
    int done = 0;
    while (done < length) {
        ssize_t got = ::recv(fd.Fd(), buffer + done, static_cast<size_t>(length - done), 0);
        if (got > 0) {
            done += static_cast<int>(got);
            if (received != nullptr)
                *received += static_cast<int>(got);
            continue;
        }
        if (got == 0) {
            fd.Reset();
            return closeAfterPeerClosed(function);
        }
        int error = errno;
        if (error == EINTR)
            continue;
        if (isTimeOut(error))
            return kvtSocketResult::TimeOut;
        report(closedHere() ? kvtInfo : kvtErrorNetwork, withError("recv error", error), function, __LINE__);
        return kvtSocketResult::Error;
    }
    return kvtSocketResult::Ok;
}

bool kvtOsTcpSocket::waitReady(short events, unsigned ms, const char *function) {
    Lease fd(this, true);
    if (!fd) {
        reportNotConnected(function, __LINE__);
        return false;
    }
    struct pollfd entry = {fd.Fd(), events, 0};
    int ready = ::poll(&entry, 1, ms > 0x7FFFFFFFu ? -1 : static_cast<int>(ms));
    if (ready < 0) {
        if (errno == EINTR)
            return false;
        report(kvtErrorNetwork, withError("select(...) failed", errno), function, __LINE__);
        return false;
    }
    return ready > 0 && (entry.revents & (events | POLLHUP | POLLERR)) != 0;
}

bool kvtOsTcpSocket::IsReadyToReceive(unsigned ms) {
    return waitReady(POLLIN, ms, "kvt::kvtOsTcpSocket::IsReadyToReceive");
}

bool kvtOsTcpSocket::IsReadyToSend(unsigned ms) {
    return waitReady(POLLOUT, ms, "kvt::kvtOsTcpSocket::IsReadyToSend");
}

int kvtOsTcpSocket::GetReceiveAvailable() {
    Lease fd(this, true);
    if (!fd)
        return -1;
    int available = 0;
    if (::ioctl(fd.Fd(), FIONREAD, &available) != 0)
        return -1;
    return available;
}

int kvtOsTcpSocket::FlushReceive(unsigned ms, int *count) {
    const char *const function = "kvt::kvtOsTcpSocket::FlushReceive";
    unsigned t = ms == 0 ? 1 : ms;
    if (count != nullptr)
        *count = 0;
    uint32_t remembered = GetReceiveTimeOut();
    if (!SetReceiveTimeOut(t))
        return report(kvtErrorNetwork, "Can not set receive timeout", function, __LINE__);
    const uint32_t begin = kvtOsGetTickCount();
    while (kvtOsGetTickCount() - begin < t && IsReadyToReceive(t)) {
        kvtByte byte;
        Lease fd(this);
        ssize_t got = fd ? ::recv(fd.Fd(), &byte, 1, 0) : -1;
        if (got <= 0) {
            report(kvtErrorNetwork, "while receiving data", function, __LINE__);
            break;
        }
        if (count != nullptr)
            ++*count;
    }
    if (!SetReceiveTimeOut(remembered))
        return report(kvtErrorNetwork, "Can not set receive timeout", function, __LINE__);
    return 0;
}

bool kvtOsTcpSocket::HasNoError() {
    const char *const function = "kvt::kvtOsTcpSocket::HasNoError";
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return false;
    }
    int pending = 0;
    socklen_t size = sizeof(pending);
    if (::getsockopt(fd.Fd(), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        report(kvtErrorNetwork, withError("getsockopt(...) failed", errno), function, __LINE__);
        return false;
    }
    return pending == 0;
}

bool kvtOsTcpSocket::SetKeepAlive(bool on) {
    const char *const function = "kvt::kvtOsTcpSocket::SetKeepAlive";
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return false;
    }
    int value = on ? 1 : 0;
    if (::setsockopt(fd.Fd(), SOL_SOCKET, SO_KEEPALIVE, &value, sizeof(value)) != 0) {
        report(kvtErrorNetwork, withError("setsockopt(...) failed", errno), function, __LINE__);
        return false;
    }
    return true;
}

bool kvtOsTcpSocket::GetKeepAlive() {
    const char *const function = "kvt::kvtOsTcpSocket::GetKeepAlive";
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return false;
    }
    int value = 0;
    socklen_t size = sizeof(value);
    if (::getsockopt(fd.Fd(), SOL_SOCKET, SO_KEEPALIVE, &value, &size) != 0) {
        report(kvtErrorNetwork, withError("getsockopt(...) failed", errno), function, __LINE__);
        return false;
    }
    return value == 1;
}

bool kvtOsTcpSocket::setTimeOut(int option, uint32_t ms, const char *function) {
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return false;
    }
    struct timeval value;
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(fd.Fd(), SOL_SOCKET, option, &value, sizeof(value)) != 0) {
        report(kvtErrorNetwork, withError("setsockopt(...) failed", errno), function, __LINE__);
        return false;
    }
    return true;
}

uint32_t kvtOsTcpSocket::getTimeOut(int option, const char *function) {
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return 0;
    }
    struct timeval value;
    socklen_t size = sizeof(value);
    if (::getsockopt(fd.Fd(), SOL_SOCKET, option, &value, &size) != 0) {
        report(kvtErrorNetwork, withError("getsockopt(...) failed", errno), function, __LINE__);
        return 0;
    }
    return static_cast<uint32_t>(value.tv_sec * 1000 + value.tv_usec / 1000);
}

bool kvtOsTcpSocket::SetReceiveTimeOut(uint32_t ms) {
    return setTimeOut(SO_RCVTIMEO, ms, "kvt::kvtOsTcpSocket::SetReceiveTimeOut");
}

uint32_t kvtOsTcpSocket::GetReceiveTimeOut() {
    return getTimeOut(SO_RCVTIMEO, "kvt::kvtOsTcpSocket::GetReceiveTimeOut");
}

bool kvtOsTcpSocket::SetSendTimeOut(uint32_t ms) {
    return setTimeOut(SO_SNDTIMEO, ms, "kvt::kvtOsTcpSocket::SetSendTimeOut");
}

uint32_t kvtOsTcpSocket::GetSendTimeOut() {
    return getTimeOut(SO_SNDTIMEO, "kvt::kvtOsTcpSocket::GetSendTimeOut");
}

std::string kvtOsTcpSocket::addressText(bool peer, const char *function) {
    Lease fd(this);
    if (!fd) {
        report(kvtErrorNetwork, "Socket is invalid.", function, __LINE__);
        return std::string();
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    socklen_t size = sizeof(address);
    int result = peer ? ::getpeername(fd.Fd(), reinterpret_cast<struct sockaddr *>(&address), &size)
                      : ::getsockname(fd.Fd(), reinterpret_cast<struct sockaddr *>(&address), &size);
    if (result != 0) {
        report(kvtErrorNetwork,
               withError(peer ? "getpeername(...) failed" : "getsockname(...) failed", errno), function,
               __LINE__);
        return std::string();
    }
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string kvtOsTcpSocket::GetName() {
    return addressText(false, "kvt::kvtOsTcpSocket::GetName");
}

std::string kvtOsTcpSocket::GetPeerName() {
    return addressText(true, "kvt::kvtOsTcpSocket::GetPeerName");
}

unsigned kvtOsTcpSocket::GetConnectionTime() {
    uint32_t start;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (!m_pSocket) {
            start = UINT32_MAX;
        } else {
            start = m_uConnectionStart;
        }
    }
    if (start == UINT32_MAX) {
        report(kvtErrorNetwork, "Socket is invalid.", "kvt::kvtOsTcpSocket::GetConnectionTime", __LINE__);
        return 0;
    }
    if (start == 0)
        return 0;
    return kvtOsGetTickCount() / 1000 - start;
}

} // namespace kvt
