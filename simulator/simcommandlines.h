#pragma once
// Answers the command lines clients ask the server to run. Nothing is ever handed to a shell: a
// fixed table knows the command texts the manager sends and a few harmless commands that work on
// the sandbox; everything else is answered "not available in the simulator".
#include "simsandbox.h"

#include <string>
#include <vector>

class SimCommandLines {
public:
    explicit SimCommandLines(SimSandbox &sandbox) : m_sandbox(sandbox) {}

    SimResult run(const std::string &commandLine);

    // Splits on blanks; single and double quotes group words (no other shell syntax).
    static std::vector<std::string> split(const std::string &line);

private:
    SimResult runWords(const std::vector<std::string> &words);
    SimResult unpack(const std::vector<std::string> &words);
    SimResult list(const std::vector<std::string> &words);
    static SimResult status(const std::string &line);

    SimSandbox &m_sandbox;
    bool m_gatewayRunning = false;
};
