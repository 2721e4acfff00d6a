#include "kvt_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <unistd.h>

#include "kvt_error.h"

namespace kvt {

namespace {

// The sink and its owner change together; reports read both under this lock, then call
// the sink without it.
std::mutex &sinkLock() {
    static std::mutex lock;
    return lock;
}

// Keeps each report of the default sink whole and its colour from leaking into another.
std::mutex &consoleLock() {
    static std::mutex lock;
    return lock;
}

kvtLogSinkFunction g_sink = nullptr; // guarded by sinkLock(); nullptr is the default sink
void *g_owner = nullptr;             // guarded by sinkLock()
std::atomic<int> g_minimum{static_cast<int>(kvtLogLevel::Warning)};

bool useColour() {
    if (kvtErrorConsoleColour >= 0)
        return kvtErrorConsoleColour != 0;
    return isatty(STDOUT_FILENO) == 1;
}

const char *colourFor(kvtLogLevel level) {
    switch (level) {
    case kvtLogLevel::Debug:
    case kvtLogLevel::Info:
        return "\033[37m"; // light grey
    case kvtLogLevel::Warning:
        return "\033[33m"; // yellow
    case kvtLogLevel::Error:
        break;
    }
    return "\033[31m"; // red
}

void consoleSink(void *, kvtLogLevel level, const std::string &text) {
    std::lock_guard<std::mutex> guard(consoleLock());
    const bool colour = useColour();
    if (colour)
        fputs(colourFor(level), stdout);
    fputs(text.c_str(), stdout);
    if (colour)
        fputs("\033[0m", stdout);
    fflush(stdout);
}

} // namespace

const char *to_string(kvtLogLevel level) {
    switch (level) {
    case kvtLogLevel::Debug:
        return "debug";
    case kvtLogLevel::Info:
        return "info";
    case kvtLogLevel::Warning:
        return "warning";
    case kvtLogLevel::Error:
        break;
    }
    return "error";
}

kvtLogLevel kvtLogLevelOfError(int number) {
    if (number == kvtInfo)
        return kvtLogLevel::Debug;
    if (number == kvtWarning)
        return kvtLogLevel::Warning;
    return kvtLogLevel::Error;
}

void kvtLogSetSink(kvtLogSinkFunction sink, void *owner, kvtLogLevel minimum) {
    std::lock_guard<std::mutex> guard(sinkLock());
    g_sink = sink;
    g_owner = owner;
    g_minimum.store(static_cast<int>(minimum));
}

bool kvtLogWants(kvtLogLevel level) {
    return static_cast<int>(level) >= g_minimum.load(std::memory_order_relaxed);
}

void kvtLogWrite(kvtLogLevel level, const std::string &text) {
    if (!kvtLogWants(level))
        return;
    kvtLogSinkFunction sink;
    void *owner;
    {
        std::lock_guard<std::mutex> guard(sinkLock());
        sink = g_sink;
        owner = g_owner;
    }
    (sink ? sink : consoleSink)(owner, level, text);
}

void kvtLogPrintf(kvtLogLevel level, const char *format, ...) {
    if (!kvtLogWants(level))
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    kvtLogWrite(level, text);
}

} // namespace kvt
