#pragma once
// vyxctl's protocol client: the SDK's two-channel client with its console output switched off and
// every event copied into a queue that the main thread drains.
#include "ctlevent.h"

#include <kvt_olmotcpclientvyx.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

class CtlClient : public kvt::kvtOlmoTcpClientVyx {
public:
    CtlClient();
    ~CtlClient() override;

    // Waits until an event arrives or the deadline passes; false on time-out.
    bool next(CtlEvent &out, std::chrono::steady_clock::time_point deadline);

    void OnReady() override;
    void OnConnection(kvt::kvtOlmoTcpClient *channel, int socketState, int connectionState) override;
    void OnRead(const kvt::kvtIOlmoFrame *frame) override;
    void OnDownloadConfiguration(const kvt::kvtDownloadProgress &progress) override;
    void OnUploadConfiguration(const kvt::kvtUploadProgress &progress) override;

private:
    void push(CtlEvent e);

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<CtlEvent> m_events;
};
