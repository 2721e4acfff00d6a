#include "olmo_fakeserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "kvt_olmocodes.h"
#include "kvt_osfile.h"

using namespace kvt;

namespace olmotest {

std::vector<uint8_t> FrameBytes(const kvtOlmoFrame &frame) {
    return std::vector<uint8_t>(frame.GetBuffer(), frame.GetBuffer() + frame.GetBufferLength());
}

kvtOlmoFrame MakeFrame(uint8_t kind, uint32_t code, const std::function<void(kvtOlmoFrame &)> &set) {
    kvtOlmoFrame f;
    if (set)
        set(f);
    f.SetKind(kind);
    f.SetCode(code);
    return f;
}

bool WaitFor(const std::function<bool()> &cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

OlmoFakeServer::OlmoFakeServer(const std::string &user, const std::string &password)
    : m_strUser(user), m_strPassword(password) {}

OlmoFakeServer::~OlmoFakeServer() {
    Stop();
}

uint16_t OlmoFakeServer::Start(uint16_t port) {
    m_iListen = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(m_iListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(m_iListen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(m_iListen, 16) != 0) {
        ::close(m_iListen);
        m_iListen = -1;
        return 0;
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_iListen, reinterpret_cast<sockaddr *>(&addr), &len);
    m_uPort = ntohs(addr.sin_port);
    m_bStop = false;
    m_Accept = std::thread([this] { accept_loop(); });
    return m_uPort;
}

void OlmoFakeServer::Stop() {
    if (m_iListen < 0)
        return;
    m_bStop = true;
    if (m_Accept.joinable())
        m_Accept.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (int fd : m_Fds)
            ::shutdown(fd, SHUT_RDWR);
        threads.swap(m_Threads);
    }
    for (auto &t : threads)
        t.join();
    ::close(m_iListen);
    m_iListen = -1;
}

void OlmoFakeServer::accept_loop() {
    while (!m_bStop) {
        pollfd p{m_iListen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        int fd = ::accept(m_iListen, nullptr, nullptr);
        if (fd < 0)
            continue;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Fds.push_back(fd);
        const uint64_t order = ++m_uAccepted;
        m_Threads.emplace_back([this, fd, order] { serve(fd, order); });
    }
}

bool OlmoFakeServer::write_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {
bool recv_all(int fd, uint8_t *p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, p + done, n - done, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}
} // namespace

bool OlmoFakeServer::read_frame(int fd, kvtOlmoFrame *frame) {
    frame->adjust_buffer(9);
    if (!recv_all(fd, frame->GetMutableBuffer(), 9))
        return false;
    if (frame->reinterpret_frame())
        return true;
    const uint32_t n = frame->GetBufferLength() - 9;
    return n == 0 || recv_all(fd, frame->GetMutableBuffer() + 9, n);
}

void OlmoFakeServer::serve(int fd, uint64_t order) {
    kvtOlmoFrame auth;
    if (!read_frame(fd, &auth))
        return;
    const bool monitor = auth.GetCode() == CmdAuthenticationMonitor;
    std::string plain;
    if (auth.GetType() == kvtTypeData) {
        const char *d = reinterpret_cast<const char *>(auth.GetAsData());
        plain = kvtOlmoMaskCredentials(std::string(d, auth.GetBufferLength() - kvtOlmoHeaderSize));
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        (monitor ? m_iAuthMonitor : m_iAuthCommand)++;
        m_strLastAuth = plain;
        m_uLastAuthSize = auth.GetBufferLength() - 9;
    }
    if (m_iAuthDelay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_iAuthDelay.load()));
    int mode = m_AuthMode.load();
    if (plain != m_strUser + "|" + m_strPassword && mode == AuthOk)
        mode = AuthRefused;
    if (mode == AuthHangUp) {
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
    if (mode == AuthSilent) {
        uint8_t b;
        while (::recv(fd, &b, 1, 0) > 0) {
        }
        return;
    }
    const uint32_t id = monitor ? MonitorId : CommandId;
    uint8_t answer[5] = {static_cast<uint8_t>(mode == AuthWrongCode ? 0 : mode), uint8_t(id),
                         uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24)};
    const uint32_t code = mode == AuthWrongCode ? auth.GetCode() + 7 : auth.GetCode();
    kvtOlmoFrame response =
        MakeFrame(kvtOlmoKindResponse, code, [&](kvtOlmoFrame &f) { f.SetAsData(answer, 5); });
    if (monitor) {
        // Register the monitor before the answer, so nothing sent afterwards is lost; never in
        // place of a monitor that connected later.
        std::lock_guard<std::mutex> lock(m_MonitorWrite);
        if (mode == AuthOk) {
            std::lock_guard<std::mutex> lock2(m_Lock);
            if (order > m_uMonitorOrder) {
                m_iMonitor = fd;
                m_uMonitorOrder = order;
            }
        }
        write_all(fd, FrameBytes(response));
    } else {
        write_all(fd, FrameBytes(response));
        if (mode == AuthOk) {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_iCommand = fd;
        }
    }
    if (mode != AuthOk || monitor) {
        uint8_t b;
        while (::recv(fd, &b, 1, 0) > 0) {
        }
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_iMonitor == fd)
            m_iMonitor = -1;
        return;
    }
    kvtOlmoFrame request;
    while (read_frame(fd, &request)) {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Commands.push_back(request);
            handler = m_Handler;
        }
        if (handler && handler(*this, request))
            continue;
        builtin(request);
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_iCommand == fd)
        m_iCommand = -1;
}

bool OlmoFakeServer::SendToMonitor(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> write(m_MonitorWrite);
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        fd = m_iMonitor;
    }
    return fd >= 0 && write_all(fd, bytes);
}

void OlmoFakeServer::Reply(uint8_t type, uint32_t code, const std::function<void(kvtOlmoFrame &)> &set) {
    (void)type;
    SendFrameToMonitor(MakeFrame(kvtOlmoKindResponse, code, set));
}

void OlmoFakeServer::CloseMonitor() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_iMonitor >= 0)
        ::shutdown(m_iMonitor, SHUT_RDWR);
    m_iMonitor = -1;
}

void OlmoFakeServer::CloseCommand() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_iCommand >= 0)
        ::shutdown(m_iCommand, SHUT_RDWR);
    m_iCommand = -1;
}

void OlmoFakeServer::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Handler = std::move(handler);
}

void OlmoFakeServer::SetDatabase(const std::string &content) {
    auto db = std::make_shared<const std::string>(content);
    const std::string md5 = kvtMd5Hex(db->data(), db->size());
    std::lock_guard<std::mutex> lock(m_Lock);
    m_pDatabase = db;
    m_strDatabaseMd5 = md5;
}

std::string OlmoFakeServer::GetDatabase() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_pDatabase ? *m_pDatabase : std::string();
}

std::shared_ptr<const std::string> OlmoFakeServer::database(std::string *md5) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_pDatabase) {
        m_pDatabase = std::make_shared<const std::string>();
        m_strDatabaseMd5 = kvtMd5Hex("", 0);
    }
    *md5 = m_strDatabaseMd5;
    return m_pDatabase;
}

void OlmoFakeServer::SetInjectDuringDownload(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Inject = bytes;
}

std::vector<kvtOlmoFrame> OlmoFakeServer::Commands() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Commands;
}

size_t OlmoFakeServer::CommandCount() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Commands.size();
}

int OlmoFakeServer::AuthCount(bool monitor) {
    std::lock_guard<std::mutex> lock(m_Lock);
    return monitor ? m_iAuthMonitor : m_iAuthCommand;
}

std::string OlmoFakeServer::LastAuthPlain() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_strLastAuth;
}

size_t OlmoFakeServer::LastAuthPayloadSize() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_uLastAuthSize;
}

std::vector<uint32_t> OlmoFakeServer::AppendSizes() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_AppendSizes;
}

bool OlmoFakeServer::HasMonitor() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_iMonitor >= 0;
}

// ---------------------------------------------------------------- built-in answers

namespace {
std::string json_answer(int err, const std::string &info, const std::string &file,
                        const std::string &extra = "") {
    return "{\"err\":" + std::to_string(err) + ",\"info\":\"" + info + "\",\"file\":\"" + file + "\"" +
           extra + "}";
}
std::string md5_of(const std::string &s) {
    return kvtMd5Hex(s.data(), s.size());
}
} // namespace

bool OlmoFakeServer::builtin(const kvtOlmoFrame &request) {
    switch (request.GetCode()) {
    case CmdQuerySystemTimeStamp:
        if (m_bAnswerTimeStamps)
            Reply(kvtTypeULong, CmdQuerySystemTimeStamp, [](kvtOlmoFrame &f) { f.SetAsULong(123456); });
        return true;
    case CmdQueryDbMd5: {
        std::string md5;
        database(&md5);
        if (m_bWrongMd5)
            md5 = std::string(32, '0');
        Reply(kvtTypeString, CmdQueryDbMd5, [&](kvtOlmoFrame &f) { f.SetAsString(md5); });
        return true;
    }
    case CmdQueryDbMaxSize:
        Reply(kvtTypeULong, CmdQueryDbMaxSize, [this](kvtOlmoFrame &f) { f.SetAsULong(m_uMaxSize); });
        return true;
    case CmdQueryDownloadConfiguration:
        answer_download(request);
        return true;
    case CmdQueryFileDelete:
    case CmdQueryFileAppendData:
    case CmdQueryFileMd5:
    case CmdQueryDbChange:
        answer_upload(request);
        return true;
    default:
        return false;
    }
}

void OlmoFakeServer::answer_download(const kvtOlmoFrame &request) {
    std::string md5;
    const std::shared_ptr<const std::string> keep = database(&md5);
    const std::string &db = *keep;
    const uint8_t refusal = m_uRefusal;
    auto end = [this](uint8_t v) {
        Reply(kvtTypeUChar, CmdQueryDownloadConfiguration, [v](kvtOlmoFrame &f) { f.SetAsUChar(v); });
    };
    if (refusal)
        return end(refusal);
    if (std::string(request.GetAsString()) == md5)
        return end(1);
    Reply(kvtTypeULong, CmdQueryDownloadConfiguration,
          [&](kvtOlmoFrame &f) { f.SetAsULong(static_cast<uint32_t>(db.size())); });
    std::vector<uint8_t> inject;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        inject = m_Inject;
    }
    const size_t block = m_uBlockSize;
    for (size_t off = 0; off < db.size(); off += block) {
        if (!inject.empty())
            SendToMonitor(inject);
        const size_t n = std::min(block, db.size() - off);
        send_data_block(CmdQueryDownloadConfiguration, db.data() + off, n);
    }
    end(0);
}

void OlmoFakeServer::send_data_block(uint32_t code, const char *data, size_t n) {
    // Header, then the payload straight from the database: no copy of the block.
    uint32_t word = code << 12 | uint32_t(kvtTypeData) << 4 | kvtOlmoKindResponse;
    const uint32_t length = static_cast<uint32_t>(n);
    uint8_t header[9] = {uint8_t(word),         uint8_t(word >> 8),    uint8_t(word >> 16),
                         uint8_t(word >> 24),   uint8_t(length),       uint8_t(length >> 8),
                         uint8_t(length >> 16), uint8_t(length >> 24), 0};
    for (int i = 0; i < 8; ++i)
        header[8] ^= header[i];
    std::lock_guard<std::mutex> write(m_MonitorWrite);
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        fd = m_iMonitor;
    }
    if (fd < 0)
        return;
    if (::send(fd, header, sizeof header, MSG_NOSIGNAL | MSG_MORE) != static_cast<ssize_t>(sizeof header))
        return;
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::send(fd, data + done, n - done, MSG_NOSIGNAL);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            return;
        }
        done += static_cast<size_t>(r);
    }
}

void OlmoFakeServer::answer_upload(const kvtOlmoFrame &request) {
    const uint32_t code = request.GetCode();
    std::string answer;
    if (code == CmdQueryFileDelete) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_strUploaded.clear();
        answer = json_answer(0, "File deleted", request.GetAsString());
    } else if (code == CmdQueryFileAppendData) {
        const uint8_t *d = request.GetAsData();
        const uint32_t total = request.GetBufferLength() - 9;
        const uint32_t nameLength = d ? d[0] : 0;
        if (!d || total < 1 + nameLength)
            return;
        const std::string name(reinterpret_cast<const char *>(d) + 1, nameLength);
        const uint32_t n = total - 1 - nameLength;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_strUploaded.append(reinterpret_cast<const char *>(d) + 1 + nameLength, n);
            m_AppendSizes.push_back(n);
        }
        answer = json_answer(0, "Data appended", name, ",\"wrotebytes\":" + std::to_string(n));
    } else if (code == CmdQueryFileMd5) {
        std::string md5;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            md5 = md5_of(m_strUploaded);
        }
        Reply(kvtTypeString, CmdQueryFileMd5, [&](kvtOlmoFrame &f) { f.SetAsString(md5); });
        return;
    } else {
        std::string md5;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_pDatabase = std::make_shared<const std::string>(m_strUploaded);
            md5 = md5_of(m_strUploaded);
            m_strDatabaseMd5 = md5;
        }
        answer = json_answer(0, "Database changed", ".pokayoka", ",\"md5\":\"" + md5 + "\"");
    }
    Reply(kvtTypeString, code, [&](kvtOlmoFrame &f) { f.SetAsString(answer); });
}

} // namespace olmotest
