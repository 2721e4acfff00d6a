#include "ctlclient.h"

CtlClient::CtlClient() = default;

CtlClient::~CtlClient() {
    // Threads must be gone before the queue they write into.
    Stop();
}

void CtlClient::push(CtlEvent e) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(std::move(e));
    }
    m_wake.notify_one();
}

bool CtlClient::next(CtlEvent &out, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_wake.wait_until(guard, deadline, [this] { return !m_events.empty(); }))
        return false;
    out = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

void CtlClient::OnReady() {
    CtlEvent e;
    e.type = CtlEvent::Ready;
    push(std::move(e));
}

void CtlClient::OnConnection(kvt::kvtOlmoTcpClient *channel, int socketState, int connectionState) {
    CtlEvent e;
    e.type = CtlEvent::Connection;
    e.commandChannel = channel && channel->IsCommandChannel();
    e.socketState = socketState;
    e.connectionState = connectionState;
    push(std::move(e));
}

void CtlClient::OnRead(const kvt::kvtIOlmoFrame *frame) {
    if (!frame)
        return;
    CtlEvent e;
    e.type = CtlEvent::Frame;
    e.frame.reset(frame->Clone());
    if (e.frame)
        push(std::move(e));
}

void CtlClient::OnDownloadConfiguration(const kvt::kvtDownloadProgress &progress) {
    CtlEvent e;
    e.type = CtlEvent::Download;
    e.download = progress;
    push(std::move(e));
}

void CtlClient::OnUploadConfiguration(const kvt::kvtUploadProgress &progress) {
    CtlEvent e;
    e.type = CtlEvent::Upload;
    e.upload = progress;
    push(std::move(e));
}
