// Olmo protocol benchmark: frame encode/decode against memcpy, monitor
// reception rate through a real loopback channel, and a configuration download
// against a plain loopback copy of the same bytes and against their MD5 (a verified
// download can beat neither). Ends with one RESULT line per goal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvt_olmoframe.h"
#include "kvt_olmotcpclientvyx.h"
#include "kvt_osfile.h"
#include "olmo_fakeserver.h"

using namespace kvt;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

volatile uint64_t g_sink = 0;

// Runs body repeatedly for about ms milliseconds; gives seconds per call.
template <typename Body> double time_per_call(Body body, int ms = 400) {
    for (int i = 0; i < 3; ++i)
        body(); // warm up
    uint64_t calls = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 16; ++i)
            body();
        calls += 16;
        elapsed = seconds_since(start);
    } while (elapsed * 1000 < ms);
    return elapsed / static_cast<double>(calls);
}

// ---------------------------------------------------------------- frames

double bench_frames() {
    std::printf("== frame encode / decode\n");
    // Inline value.
    const double encInline = time_per_call([] {
        kvtOlmoFrame f;
        f.SetAsUInt(0x12345678);
        f.SetKind(kvtOlmoKindWrite);
        f.SetCode(4711);
        g_sink += f.GetBuffer()[8];
    });
    kvtOlmoFrame inlineWire;
    inlineWire.SetAsUInt(0x12345678);
    inlineWire.SetKind(kvtOlmoKindWrite);
    inlineWire.SetCode(4711);
    const double decInline = time_per_call([&] {
        kvtOlmoFrame f;
        std::memcpy(f.GetMutableBuffer(), inlineWire.GetBuffer(), 9);
        if (f.IsChecksumValid() && f.reinterpret_frame())
            g_sink += f.GetAsUInt();
    });
    uint8_t small[9];
    const double cpyInline = time_per_call([&] {
        std::memcpy(small, inlineWire.GetBuffer(), 9);
        g_sink += small[8];
    });
    std::printf("inline frame   encode %8.1f ns  decode %8.1f ns  memcpy(9) %6.1f ns\n", encInline * 1e9,
                decInline * 1e9, cpyInline * 1e9);

    // 512 KiB data frames.
    const uint32_t n = 512 * 1024;
    std::vector<uint8_t> payload(n);
    for (uint32_t i = 0; i < n; ++i)
        payload[i] = static_cast<uint8_t>(i * 31);
    kvtOlmoFrame wire;
    wire.SetAsData(payload.data(), n);
    wire.SetKind(kvtOlmoKindResponse);
    wire.SetCode(CmdQueryDownloadConfiguration);
    const double enc = time_per_call([&] {
        kvtOlmoFrame f;
        f.SetAsData(payload.data(), n);
        f.SetKind(kvtOlmoKindResponse);
        f.SetCode(CmdQueryDownloadConfiguration);
        g_sink += f.GetBuffer()[n];
    });
    // Decoding as the reader does: header into a fresh frame, size it, then the payload.
    const double dec = time_per_call([&] {
        kvtOlmoFrame f;
        std::memcpy(f.GetMutableBuffer(), wire.GetBuffer(), 9);
        if (!f.IsChecksumValid() || f.reinterpret_frame())
            return;
        std::memcpy(f.GetMutableBuffer() + 9, wire.GetBuffer() + 9, f.GetDataLength());
        g_sink += f.GetAsData()[n - 1];
    });
    std::vector<uint8_t> target(wire.GetBufferLength());
    const double cpy = time_per_call([&] {
        std::memcpy(target.data(), wire.GetBuffer(), wire.GetBufferLength());
        g_sink += target[n];
    });
    const double mb = wire.GetBufferLength() / 1048576.0;
    std::printf("512 KiB frame  encode %8.1f us (%6.0f MiB/s)  decode %8.1f us (%6.0f MiB/s)  memcpy %8.1f "
                "us (%6.0f MiB/s)\n",
                enc * 1e6, mb / enc, dec * 1e6, mb / dec, cpy * 1e6, mb / cpy);
    const double ratio = cpy / dec;
    std::printf("decode / memcpy bandwidth: %.2f\n", ratio);
    return ratio;
}

// ---------------------------------------------------------------- monitor reception

class QuietClient : public kvtOlmoTcpClientVyx {
public:
    void OnRead(const kvtIOlmoFrame *) override {}
    void OnConnection(kvtOlmoTcpClient *, int, int) override {}
    void OnReady() override {}
    void OnDownloadConfiguration(const kvtDownloadProgress &) override {}
};

std::atomic<uint64_t> g_reads{0};
std::atomic<bool> g_downloadEnded{false};
std::atomic<int> g_downloadError{0};
// When the download's end was reported: its time is taken there, not when the poll sees it.
std::atomic<Clock::rep> g_downloadEndTime{0};
// When the server saw the MD5 query and the download request that a download starts with.
std::atomic<Clock::rep> g_md5QueryTime{0};
std::atomic<Clock::rep> g_requestTime{0};

double seconds_between(Clock::rep from, Clock::rep to) {
    return std::chrono::duration<double>(Clock::duration(to - from)).count();
}
void count_read(void *, const kvtIOlmoFrame *) {
    g_reads++;
}
void note_download(void *, const kvtDownloadProgress *p) {
    if (p->IsEnd()) {
        g_downloadError = p->GetError();
        g_downloadEndTime = Clock::now().time_since_epoch().count();
        g_downloadEnded = true;
    }
}

// Connects with both counting callbacks and no heartbeat within a run; returns once both
// channels are up.
void connect_quiet(QuietClient &client, olmotest::OlmoFakeServer &server) {
    client.SetCallbacks(nullptr, nullptr, nullptr, count_read, note_download, nullptr);
    client.SetHeartBeatPeriod(600000);
    client.Start("127.0.0.1", server.Port(), "admin", "secret");
    olmotest::WaitFor([&] { return client.IsReady() && server.HasMonitor(); });
}

double bench_monitor() {
    std::printf("== monitor reception\n");
    olmotest::OlmoFakeServer server;
    server.Start();
    QuietClient client;
    connect_quiet(client, server);
    const int frames = 300000;
    std::vector<uint8_t> burst;
    burst.reserve(frames * 9);
    for (int i = 0; i < frames; ++i) {
        auto b = olmotest::FrameBytes(olmotest::MakeFrame(kvtOlmoKindWrite, 1000 + (i % 500),
                                                          [i](kvtOlmoFrame &f) { f.SetAsUInt(i); }));
        burst.insert(burst.end(), b.begin(), b.end());
    }
    g_reads = 0;
    const auto start = Clock::now();
    std::thread sender([&] { server.SendToMonitor(burst); });
    const bool all =
        olmotest::WaitFor([&] { return g_reads.load() >= static_cast<uint64_t>(frames); }, 30000);
    const double elapsed = seconds_since(start);
    sender.join();
    const double rate = g_reads.load() / elapsed;
    std::printf("%llu of %d parameter frames in %.3f s: %.0f frames/s%s\n",
                static_cast<unsigned long long>(g_reads.load()), frames, elapsed, rate,
                all ? "" : " (incomplete)");
    client.Stop();
    server.Stop();
    return rate;
}

// ---------------------------------------------------------------- download against plain copy

// Plain copy: the same bytes over a loopback TCP connection into a file.
double plain_copy(const std::string &data, const std::string &path) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    int out = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(out, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int in = ::accept(listener, nullptr, nullptr);
    const auto start = Clock::now();
    std::thread sender([&] {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n =
                ::send(out, data.data() + done, std::min<size_t>(1 << 20, data.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::shutdown(out, SHUT_WR);
    });
    FILE *f = std::fopen(path.c_str(), "wb");
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = ::recv(in, buffer.data(), buffer.size(), 0)) > 0)
        std::fwrite(buffer.data(), 1, static_cast<size_t>(n), f);
    // A download counts only once its bytes are on the disk; the copy it is measured against too.
    std::fflush(f);
    ::fsync(fileno(f));
    std::fclose(f);
    const double elapsed = seconds_since(start);
    sender.join();
    ::close(in);
    ::close(out);
    ::close(listener);
    return elapsed;
}

// MD5 of bytes already in memory: the least a verified download has to compute.
double md5_time(const std::string &data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const auto start = Clock::now();
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    const double elapsed = seconds_since(start);
    g_sink += digest[0];
    return elapsed;
}

struct DownloadFigures {
    double vsPlain = 0; // plain copy time over download time
    double vsBound = 0; // download throughput over the lower of plain copy and MD5 throughput
};

DownloadFigures bench_download() {
    std::printf("== configuration download\n");
    const size_t size = 64u * 1024u * 1024u;
    std::string db(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        db[i] = static_cast<char>(x >> 16);
    }
    const std::string dir = "/tmp";
    const std::string plainPath = dir + "/bench_protocol_plain.bin";
    const std::string downloadPath = dir + "/bench_protocol_download.db";

    olmotest::OlmoFakeServer server;
    server.SetDatabase(db);
    server.SetDownloadBlockSize(512 * 1024);
    server.SetHandler([](olmotest::OlmoFakeServer &, const kvtOlmoFrame &request) {
        const Clock::rep now = Clock::now().time_since_epoch().count();
        if (request.GetCode() == CmdQueryDbMd5)
            g_md5QueryTime = now;
        else if (request.GetCode() == CmdQueryDownloadConfiguration)
            g_requestTime = now;
        return false; // answered as usual
    });
    server.Start();
    QuietClient client;
    connect_quiet(client, server);

    double best = 1e9, bestPlain = 1e9, bestVerified = 1e9, bestMd5 = 1e9;
    double bestQueryDelay = 1e9, bestRequestDelay = 1e9, bestFromRequest = 1e9;
    for (int round = 0; round < 5; ++round) {
        bestMd5 = std::min(bestMd5, md5_time(db));
        const double plain = plain_copy(db, plainPath);
        bestPlain = std::min(bestPlain, plain);
        // The same copy followed by an MD5 of the received file, the check a download must make.
        const auto hashStart = Clock::now();
        g_sink += kvtMd5File(plainPath).size();
        bestVerified = std::min(bestVerified, plain + seconds_since(hashStart));
        g_downloadEnded = false;
        const Clock::rep start = Clock::now().time_since_epoch().count();
        client.QueryDownloadConfiguration(downloadPath, "");
        olmotest::WaitFor([&] { return g_downloadEnded.load(); }, 60000);
        best = std::min(best, seconds_between(start, g_downloadEndTime));
        bestQueryDelay = std::min(bestQueryDelay, seconds_between(start, g_md5QueryTime));
        bestRequestDelay = std::min(bestRequestDelay, seconds_between(g_md5QueryTime, g_requestTime));
        bestFromRequest = std::min(bestFromRequest, seconds_between(g_requestTime, g_downloadEndTime));
    }
    const double mb = size / 1048576.0;
    std::printf("plain loopback copy %.3f s (%.0f MiB/s), download %.3f s (%.0f MiB/s), error %d\n",
                bestPlain, mb / bestPlain, best, mb / best, g_downloadError.load());
    std::printf("plain copy plus MD5 of the file %.3f s: download / verified copy %.2f\n", bestVerified,
                bestVerified / best);
    // The slower of the two is the bound: the download must both carry and hash every byte.
    const double bound = std::max(bestPlain, bestMd5);
    std::printf("MD5 of the bytes in memory %.3f s (%.0f MiB/s): download / bound %.2f\n", bestMd5,
                mb / bestMd5, bound / best);
    // Where the rest goes: the MD5 query leaves at once, the request follows after the sender's
    // pause, and from the request on the download races the MD5.
    std::printf("MD5 query reached the server after %.1f ms, the download request %.1f ms later "
                "(the sender's pause); from the request on: %.3f s, bound / that %.2f\n",
                bestQueryDelay * 1000, bestRequestDelay * 1000, bestFromRequest, bound / bestFromRequest);
    client.Stop();
    server.Stop();
    std::remove(plainPath.c_str());
    std::remove(downloadPath.c_str());
    return {bestPlain / best, bound / best};
}

} // namespace

int main(int argc, char **argv) {
    // One part alone: frames, monitor or download.
    const std::string only = argc > 1 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    const double decode = only.empty() || only == "frames" ? bench_frames() : 0;
    std::fflush(stdout);
    const double rate = only.empty() || only == "monitor" ? bench_monitor() : 0;
    std::fflush(stdout);
    const DownloadFigures download =
        only.empty() || only == "download" ? bench_download() : DownloadFigures{};
    std::printf("RESULT decode_vs_memcpy %.2f goal >= 0.5\n", decode);
    std::printf("RESULT monitor_frames_per_s %.0f goal >= 50000\n", rate);
    std::printf("RESULT download_vs_plain_copy %.2f goal >= 0.6\n", download.vsPlain);
    std::printf("RESULT download_vs_md5_bound %.2f goal >= 0.85\n", download.vsBound);
    return 0;
}
