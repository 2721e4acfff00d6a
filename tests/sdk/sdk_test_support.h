#ifndef SDK_TEST_SUPPORT_H
#define SDK_TEST_SUPPORT_H

// Helpers shared by the platform layer tests: a recorder of error reports and
// a polling wait with a generous bound.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvt_error.h"

namespace sdktest {

// Records every report (through the callback output) while it lives; the console stays quiet.
class ReportRecorder {
public:
    ReportRecorder() : m_savedOutputs(kvt::kvtErrorOutputs), m_savedCallback(kvt::kvtErrorCallback) {
        std::lock_guard<std::mutex> guard(lock());
        records().clear();
        kvt::kvtErrorCallback = &ReportRecorder::record;
        kvt::kvtErrorOutputs = kvt::kvtErrorOutputCallback;
    }
    ~ReportRecorder() {
        kvt::kvtErrorOutputs = m_savedOutputs;
        kvt::kvtErrorCallback = m_savedCallback;
    }

    struct Record {
        int number;
        std::string text;
    };

    std::vector<Record> All() const {
        std::lock_guard<std::mutex> guard(lock());
        return records();
    }
    size_t Count() const { return All().size(); }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock());
        records().clear();
    }
    // Number of reports whose text contains the given piece.
    size_t CountContaining(const std::string &piece) const {
        size_t count = 0;
        for (const Record &r : All())
            count += r.text.find(piece) != std::string::npos ? 1 : 0;
        return count;
    }
    bool Has(const std::string &piece) const { return CountContaining(piece) > 0; }
    std::string Last() const {
        std::vector<Record> all = All();
        return all.empty() ? std::string() : all.back().text;
    }

private:
    static std::mutex &lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<Record> &records() {
        static std::vector<Record> r;
        return r;
    }
    static void record(const kvt::kvtError &error) {
        std::lock_guard<std::mutex> guard(lock());
        records().push_back({error.GetNumber(), error.GetText()});
    }

    uint32_t m_savedOutputs;
    kvt::kvtErrorCallbackFunction m_savedCallback;
};

// Polls the condition every 5 ms until it holds or the bound runs out.
inline bool WaitUntil(const std::function<bool()> &condition, int boundMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

inline std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

} // namespace sdktest

#endif
