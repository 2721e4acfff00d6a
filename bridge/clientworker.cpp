#include "clientworker.h"

ClientWorker::~ClientWorker() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void ClientWorker::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_stopping)
            return;
        m_jobs.push_back(std::move(job));
        if (!m_thread.joinable())
            m_thread = std::thread(&ClientWorker::run, this);
    }
    m_wake.notify_one();
}

bool ClientWorker::busy() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_running || !m_jobs.empty();
}

void ClientWorker::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_running = true;
        }
        job();
        std::lock_guard<std::mutex> lock(m_lock);
        m_running = false;
    }
}
