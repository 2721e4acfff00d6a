#pragma once
// One-line log messages on stderr, stamped with the time; silenced by --quiet.
#include <string>

class SimLog {
public:
    static void setQuiet(bool quiet);
    static void line(const std::string &text);
};
