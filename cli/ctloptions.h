#pragma once
// vyxctl's command line: global options, the command and its arguments.
#include <string>
#include <vector>

struct CtlOptions {
    std::string host = "127.0.0.1";
    int port = 18000;
    std::string user = "admin";
    // Where the password comes from (ctlpassword.h): at most one of the three options, else the
    // credential "vyx-password", else $VYX_PASSWORD, else the server's default "admin".
    std::string passwordFile;    // --password-file
    std::string passwordCommand; // --password-command
    std::string password;        // -P, which every local user sees in ps
    bool passwordOption = false; // -P was given
    std::string envPassword;     // $VYX_PASSWORD, taken out of the environment at the start
    bool envPasswordSet = false;
    std::string tunnel;    // ssh://user@host[:port]: reach the server through SSH
    std::string sshConfig; // an ssh_config for the tunnels (ssh -F)
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
// (message in error). The user defaults to $VYX_USER; $VYX_PASSWORD is read into envPassword and
// removed from the environment, so that no program vyxctl starts inherits it.
int parseCtlOptions(int argc, char **argv, CtlOptions &options, std::string &error);
const char *ctlUsageText();
