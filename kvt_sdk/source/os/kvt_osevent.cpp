#include "kvt_osevent.h"

#include <chrono>

namespace kvt {

kvtOsEvent::kvtOsEvent() : m_bSignaled(false) {}

kvtOsEvent::~kvtOsEvent() = default;

bool kvtOsEvent::Signal() {
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_bSignaled = true;
    }
    m_Condition.notify_all();
    return true;
}

bool kvtOsEvent::Reset() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_bSignaled = false;
    return true;
}

bool kvtOsEvent::IsSignaled() {
    return Wait(0);
}

bool kvtOsEvent::Wait(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (ms == kvtInfinite) {
        m_Condition.wait(lock, [this] { return m_bSignaled; });
        return true;
    }
    return m_Condition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bSignaled; });
}

} // namespace kvt
