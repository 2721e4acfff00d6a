#pragma once
// Command-line settings of the server simulator, including its fault injection switches.
#include <cstdint>
#include <string>

struct SimFaults {
    bool refuseLogin = false;   // answer every login with "authentication failed"
    bool reportFull = false;    // answer every login with "client limit reached"
    unsigned silentAfter = 0;   // the first client past N command frames gets nothing more (0 = off)
    unsigned closeAfter = 0;    // after N command frames both channels of a client are closed
    unsigned corruptEvery = 0;  // every Nth frame sent after login has a wrong checksum
    bool hugeLength = false;    // payload answers announce a length far beyond what follows
    unsigned slowMs = 0;        // every answer leaves N ms late
    int downloadFail = 0;       // 2..4: every configuration download ends with this value
    int64_t stallDownload = -1; // a download stops sending after this many data bytes (-1 = off)
    uint32_t fileLimit = 0;     // appends write no file past this many bytes, answering err 0 (0 = off)
    uint32_t dropAnswer = 0;    // the first answer with this command code is never sent (0 = off)
    bool wrongFileMd5 = false;  // a file's MD5 is answered as that of an empty file
};

struct SimOptions {
    std::string bind = "127.0.0.1";
    int port = 18000;
    std::string root; // sandbox folder; empty = default location
    std::string user = "admin";
    std::string password = "admin";
    bool passwordOnCommandLine = false; // --password: every local user sees it in ps
    std::string serverVersion;          // the answer to the version query; empty: vyxsim's own
    std::string usersFile;
    std::string paramsFile;
    std::string name = "vyxsim";
    unsigned maxClients = 8;
    uint32_t dbMaxSize = 64u * 1024u * 1024u;
    uint32_t dbInitialSize = 65536;
    bool live = false;
    uint32_t paramsCount = 0; // a synthetic table of this many parameters (0 = built-in table)
    uint32_t liveRate = 0;    // value changes pushed per second over the table (0 = off)
    bool liveFlood = false;   // push changes as fast as the clients read them
    bool discovery = true;
    bool quiet = false;
    SimFaults faults;
};

// Parses argv into options. Returns 0 to run, 1 after printing help (exit 0), 2 on a usage error
// (message in error).
int parseSimOptions(int argc, char **argv, SimOptions &options, std::string &error);

const char *simUsageText();

// Default sandbox: $XDG_DATA_HOME/vyxsim, ~/.local/share/vyxsim, or a folder under the temp dir.
std::string defaultSimRoot();
