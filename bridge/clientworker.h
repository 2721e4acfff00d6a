#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One thread that runs the protocol client's slow operations (start, stop, an upload's first
// reading of its file) one after the other, in the order given, so the GUI thread never waits
// for a connector thread, a name look-up or a whole file.
class ClientWorker {
public:
    ClientWorker() = default;
    // Jobs not yet started are dropped; the running one is waited for.
    ~ClientWorker();

    ClientWorker(const ClientWorker &) = delete;
    ClientWorker &operator=(const ClientWorker &) = delete;

    void post(std::function<void()> job);
    // True while a job runs or waits.
    bool busy() const;

private:
    void run();

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread;
};
