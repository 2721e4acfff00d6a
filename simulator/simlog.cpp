#include "simlog.h"

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
    std::string clean;
    clean.reserve(text.size() < 300 ? text.size() : 300);
    for (char c : text) {
        if (clean.size() >= 300) {
            clean += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        clean += (u < 0x20 || u == 0x7F) ? '.' : c;
    }
    std::fprintf(stderr, "vyxsim %s.%03ld %s\n", stamp, ts.tv_nsec / 1000000, clean.c_str());
}
