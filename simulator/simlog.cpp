#include "simlog.h"

#include "terminaltext.h"

#include <atomic>
#include <cstdio>
#include <ctime>

namespace {
std::atomic<bool> g_quiet{false};
}

void SimLog::setQuiet(bool quiet) {
    g_quiet = quiet;
}

void SimLog::line(const std::string &text) {
    if (g_quiet)
        return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    // Control characters from clients must not reach the terminal raw.
    const size_t kMaxText = 300;
    std::string clean = terminalSafe(text.substr(0, kMaxText), false);
    if (text.size() > kMaxText)
        clean += "...";
    std::fprintf(stderr, "vyxsim %s.%03ld %s\n", stamp, ts.tv_nsec / 1000000, clean.c_str());
}
