#ifndef KVT_OSEVENT_H
#define KVT_OSEVENT_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kvt {

// Wait time that never runs out.
const unsigned kvtInfinite = 0xFFFFFFFFu;

// Manual-reset event: stays signalled until Reset; starts not signalled.
class kvtOsEvent {
public:
    kvtOsEvent();
    ~kvtOsEvent();
    kvtOsEvent(const kvtOsEvent &) = delete;
    kvtOsEvent &operator=(const kvtOsEvent &) = delete;

    bool Signal();
    bool Reset();
    bool IsSignaled();
    // True when the event is (or becomes) signalled within ms milliseconds (kvtInfinite: no limit).
    bool Wait(unsigned ms);

private:
    std::mutex m_Mutex;
    std::condition_variable m_Condition;
    bool m_bSignaled;
};

} // namespace kvt

#endif
