// The Olmo frame reader fed from a socket with any bytes (headers, lengths, checksums, payloads),
// each frame it yields going through the monitor steps as the reader thread hands it over,
// with a configuration download, an upload, both or neither running. The first input byte
// chooses the transfers; the rest is what the "server" sends on the monitor channel.
#include "kvt_olmotcpclientvyx.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kvt {

struct kvtOlmoFuzzAccess {
    static kvtOsTcpSocket &socket(kvtOlmoTcpClient &channel) { return channel.m_Socket; }
    static void monitorStep(kvtOlmoTcpClientVyx &client, const kvtIOlmoFrame *frame) {
        client.read_frame(frame);
    }
};

} // namespace kvt

namespace {

using kvt::kvtOlmoFuzzAccess;

int g_listener = -1;
uint16_t g_port = 0;
std::string g_dir;

bool sendAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/fuzz_olmo.XXXXXX";
    g_dir = mkdtemp(pattern);
    FILE *upload = std::fopen((g_dir + "/upload.db").c_str(), "wb");
    for (int i = 0; i < 3000; ++i)
        std::fputc(i & 0xff, upload);
    std::fclose(upload);

    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(g_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(g_listener, 4) != 0 ||
        ::getsockname(g_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("fuzz_olmo: loopback listener");
        std::abort();
    }
    g_port = ntohs(address.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t transfers = data[0];
    kvt::kvtOlmoTcpClientVyx client;
    if (transfers & 1)
        client.QueryDownloadConfiguration(g_dir + "/download.db", "");
    if (transfers & 2)
        client.QueryUploadConfiguration(g_dir + "/upload.db", 1024);

    kvt::kvtOlmoTcpClient &monitor = client.GetMonitorChannel();
    kvt::kvtOsTcpSocket &socket = kvtOlmoFuzzAccess::socket(monitor);
    const kvt::kvtSocketResult begun = socket.OpenAsyncBegin("127.0.0.1", g_port);
    if (begun == kvt::kvtSocketResult::Pending) {
        for (int i = 0; i < 10 && socket.IsConnectPending(1000); ++i) {
        }
    }
    socket.OpenAsyncEnd();
    const int server = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0 || !socket.IsConnected()) {
        std::fprintf(stderr, "fuzz_olmo: no loopback connection\n");
        std::abort();
    }
    sendAll(server, data + 1, size - 1);
    ::shutdown(server, SHUT_WR);

    // As the monitor reader: a frame with a bad checksum is skipped, any failure ends the channel.
    for (int frames = 0; frames < 100000; ++frames) {
        kvt::kvtOlmoFrame frame;
        int received = 0;
        if (monitor.ReadFrame(&frame, &received) != kvt::kvtOlmoReadResult::Ok)
            break;
        kvtOlmoFuzzAccess::monitorStep(client, &frame);
    }
    ::close(server);
    socket.Close();
    return 0;
}
