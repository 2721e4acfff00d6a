#ifndef OLMO_FAKESERVER_H
#define OLMO_FAKESERVER_H

// A scripted Olmo server on loopback for tests and benchmarks: accepts command
// and monitor channels, checks the authentication payload, answers requests
// (time stamp, configuration download and upload) and can inject faults.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvt_olmoframe.h"

namespace olmotest {

std::vector<uint8_t> FrameBytes(const kvt::kvtOlmoFrame &frame);
// A frame built like the client builds them: value, then kind and code.
kvt::kvtOlmoFrame MakeFrame(uint8_t kind, uint32_t code, const std::function<void(kvt::kvtOlmoFrame &)> &set);

// Polls cond every few milliseconds until it holds or ms pass.
bool WaitFor(const std::function<bool()> &cond, int ms = 10000);

class OlmoFakeServer {
public:
    // Authentication answer: 0 accepted, 1 client limit, 2 refused; Silent sends nothing,
    // WrongCode answers with another code, HangUp ends the connection instead of answering (a
    // server going down or not up yet).
    enum AuthMode {
        AuthOk = 0,
        AuthLimit = 1,
        AuthRefused = 2,
        AuthSilent = 3,
        AuthWrongCode = 4,
        AuthHangUp = 5
    };

    // Called for every frame the command channel delivers after authentication.
    // Return true when handled; otherwise the built-in behaviour answers.
    typedef std::function<bool(OlmoFakeServer &server, const kvt::kvtOlmoFrame &request)> Handler;

    OlmoFakeServer(const std::string &user = "admin", const std::string &password = "secret");
    ~OlmoFakeServer();

    uint16_t Start(uint16_t port = 0); // listens on 127.0.0.1 at port, or a free one
    void Stop();
    uint16_t Port() const { return m_uPort; }

    // Scripting (set before the client connects).
    void SetAuthMode(AuthMode mode) { m_AuthMode = mode; }
    void SetHandler(Handler handler);
    // Holds every authentication answer back for ms milliseconds.
    void SetAuthDelay(int ms) { m_iAuthDelay = ms; }
    void SetAnswerTimeStamps(bool on) { m_bAnswerTimeStamps = on; }
    // Built-in database behind the download and upload answers.
    void SetDatabase(const std::string &content);
    std::string GetDatabase();
    void SetDbMaxSize(uint32_t size) { m_uMaxSize = size; }
    void SetDownloadBlockSize(uint32_t size) { m_uBlockSize = size; }
    void SetWrongDbMd5(bool on) { m_bWrongMd5 = on; }            // announce a digest that does not match
    void SetDownloadRefusal(uint8_t code) { m_uRefusal = code; } // 2..4: answer with that end value
    // Frames sent on the monitor channel right before each download data block.
    void SetInjectDuringDownload(const std::vector<uint8_t> &bytes);

    // Monitor channel output (raw bytes, as they go on the wire).
    bool SendToMonitor(const std::vector<uint8_t> &bytes);
    bool SendFrameToMonitor(const kvt::kvtOlmoFrame &frame) { return SendToMonitor(FrameBytes(frame)); }
    void Reply(uint8_t type, uint32_t code, const std::function<void(kvt::kvtOlmoFrame &)> &set);
    void CloseMonitor();
    void CloseCommand();

    // What the server saw.
    std::vector<kvt::kvtOlmoFrame> Commands(); // frames received on command channels, in order
    size_t CommandCount();
    int AuthCount(bool monitor); // authentication requests per channel kind
    std::string LastAuthPlain(); // last payload, unmasked
    size_t LastAuthPayloadSize();
    std::vector<uint32_t> AppendSizes(); // data bytes of each append request
    bool HasMonitor();

    static constexpr uint32_t MonitorId = 0x0A0B0C0D;
    static constexpr uint32_t CommandId = 0x01020304;

private:
    void accept_loop();
    void serve(int fd, uint64_t order);
    bool read_frame(int fd, kvt::kvtOlmoFrame *frame);
    bool write_all(int fd, const std::vector<uint8_t> &bytes);
    bool builtin(const kvt::kvtOlmoFrame &request);
    std::shared_ptr<const std::string> database(std::string *md5);
    void answer_download(const kvt::kvtOlmoFrame &request);
    void answer_upload(const kvt::kvtOlmoFrame &request);
    void send_data_block(uint32_t code, const char *data, size_t n);

    std::string m_strUser, m_strPassword;
    int m_iListen = -1;
    uint16_t m_uPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_Accept;

    std::mutex m_Lock; // everything below
    std::vector<std::thread> m_Threads;
    std::vector<int> m_Fds;
    int m_iMonitor = -1;
    // Accept order of the connections, and of the monitor answers go to: a client that gave up a
    // connection may have its authentication read after that of the connection that replaced it.
    uint64_t m_uAccepted = 0;
    uint64_t m_uMonitorOrder = 0;
    int m_iCommand = -1;
    std::mutex m_MonitorWrite; // one writer at a time on the monitor channel
    std::vector<kvt::kvtOlmoFrame> m_Commands;
    int m_iAuthMonitor = 0, m_iAuthCommand = 0;
    std::string m_strLastAuth;
    size_t m_uLastAuthSize = 0;
    std::vector<uint32_t> m_AppendSizes;
    Handler m_Handler;
    std::shared_ptr<const std::string> m_pDatabase; // shared with running answers, never copied
    std::string m_strDatabaseMd5;
    std::string m_strUploaded;
    std::vector<uint8_t> m_Inject;

    std::atomic<int> m_AuthMode{AuthOk};
    std::atomic<int> m_iAuthDelay{0};
    std::atomic<bool> m_bAnswerTimeStamps{true};
    std::atomic<uint32_t> m_uMaxSize{64u * 1024u * 1024u};
    std::atomic<uint32_t> m_uBlockSize{1024u * 1024u};
    std::atomic<bool> m_bWrongMd5{false};
    std::atomic<uint8_t> m_uRefusal{0};
};

} // namespace olmotest

#endif
