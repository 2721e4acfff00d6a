#pragma once
// vyxctl's command line: global options, the command and its arguments.
#include <string>
#include <vector>

struct CtlOptions {
    std::string host = "127.0.0.1";
    int port = 18000;
    std::string user = "admin";
    std::string password = "admin";
    int timeoutSeconds = 15;
    int heartbeatMs = 0; // 0: the SDK's default heartbeat
    bool json = false;
    bool verbose = false; // the SDK's own console reports go to stderr
    std::string journal;  // journal file that changes are recorded in; empty: none
    std::string site;     // the server's name in the journal; empty: host:port
    std::string command;
    std::vector<std::string> args;
};

// Returns 0 when options holds a command, 1 for --help (usage printed, exit 0), 2 on a usage error
// (message in error). User and password default to $VYX_USER / $VYX_PASSWORD.
int parseCtlOptions(int argc, char **argv, CtlOptions &options, std::string &error);
const char *ctlUsageText();
