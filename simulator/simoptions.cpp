#include "simoptions.h"

#include "kvt_olmocodes.h"
#include "secretsource.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const unsigned long long kMaxParamsCount = 100000;
const unsigned long long kMaxLiveRate = 50000;

bool parseUnsigned(const char *text, unsigned long long maxValue, unsigned long long &out) {
    if (!text || !*text || *text == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > maxValue)
        return false;
    out = v;
    return true;
}

} // namespace

const char *simUsageText() {
    return "Usage: vyxsim [options]\n"
           "  --bind ADDR          listen address (default 127.0.0.1)\n"
           "  --port N             TCP port (default 18000; 0 picks a free port and prints\n"
           "                       \"LISTENING <port>\" as the first line on stdout)\n"
           "  --root DIR           sandbox folder (database, file tree)\n"
           "  --user NAME          login name (default admin)\n"
           "  --password-file FILE login password: the first line of FILE, which only you may\n"
           "                       read (chmod 600)\n"
           "  --password TEXT      login password (default admin); every local user sees it in ps\n"
           "  --users FILE         user list, one \"user:password\" a line ('#' comments)\n"
           "  --max-clients N      clients allowed at once (default 8)\n"
           "  --params FILE        parameter table as JSON instead of the built-in one\n"
           "  --db-max-size BYTES  largest configuration database accepted (default 67108864)\n"
           "  --db-size BYTES      size of the SQLite database generated when none exists, in whole\n"
           "                       pages of 4096 bytes (default 65536)\n"
           "  --name NAME          server name in discovery answers (default vyxsim)\n"
           "  --server-version TEXT  the answer to the version query (default \"vyxsim <version>\")\n"
           "  --live               a few parameters change by themselves every second\n"
           "  --params-count N     a synthetic table of N parameters of mixed types (1..100000)\n"
           "                       instead of the built-in one\n"
           "  --live-rate R        push R value changes per second spread over the table\n"
           "                       (1..50000), or \"max\": as fast as the clients read them;\n"
           "                       SIGUSR1 stops them and prints \"LIVE_STOPPED <changes sent>\",\n"
           "                       then \"VALUE <id> <value>\" for every parameter and \"END\"\n"
           "  --no-discovery       do not answer discovery queries\n"
           "  --quiet              no log lines on stderr\n"
           "Fault injection:\n"
           "  --refuse-login       refuse every login\n"
           "  --report-full        answer every login with \"client limit reached\"\n"
           "  --silent-after N     the first client to send more than N command frames gets\n"
           "                       nothing more on that connection (a reconnect cures it)\n"
           "  --close-after N      after N command frames, close that client's connections\n"
           "  --corrupt-every N    corrupt the checksum of every Nth frame sent\n"
           "  --huge-length        payload answers announce a huge length\n"
           "  --slow MS            delay every answer by MS milliseconds\n"
           "  --download-fail V    end every configuration download with value V (2, 3 or 4)\n"
           "  --stall-download N   a download stops after N data bytes and never ends (0: right\n"
           "                       after announcing its length)\n"
           "  --file-limit N       appends write no file past N bytes (a short write, err 0)\n"
           "  --drop-answer CODE   the first answer with command code CODE is never sent\n"
           "  --wrong-file-md5     answer every file MD5 query with the MD5 of an empty file\n";
}

std::string defaultSimRoot() {
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg)
        return std::string(xdg) + "/vyxsim";
    const char *home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/share/vyxsim";
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/vyxsim-" + std::to_string(getuid());
}

// long: one line per option, in the order of the usage text; a table would only move the lines.
int parseSimOptions(int argc, char **argv, SimOptions &o, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *&out) -> bool {
            if (i + 1 >= argc) {
                error = "missing value for " + a;
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](unsigned long long minV, unsigned long long maxV, unsigned long long &out) -> bool {
            const char *v = nullptr;
            if (!value(v))
                return false;
            if (!parseUnsigned(v, maxV, out) || out < minV) {
                error = "invalid number for " + a + ": " + v + " (expected " + std::to_string(minV) + ".." +
                        std::to_string(maxV) + ")";
                return false;
            }
            return true;
        };
        const char *s = nullptr;
        unsigned long long n = 0;
        if (a == "-h" || a == "--help")
            return 1;
        else if (a == "--bind") {
            if (!value(s))
                return 2;
            o.bind = s;
        } else if (a == "--port") {
            if (!number(0, 65535, n))
                return 2;
            o.port = int(n);
        } else if (a == "--root") {
            if (!value(s))
                return 2;
            o.root = s;
        } else if (a == "--user") {
            if (!value(s))
                return 2;
            o.user = s;
        } else if (a == "--password") {
            if (!value(s))
                return 2;
            o.password = s;
            o.passwordOnCommandLine = true;
        } else if (a == "--password-file") {
            if (!value(s) || !readSecretFile(s, o.password, error))
                return 2;
            o.passwordOnCommandLine = false;
        } else if (a == "--server-version") {
            if (!value(s))
                return 2;
            o.serverVersion = s;
        } else if (a == "--users") {
            if (!value(s))
                return 2;
            o.usersFile = s;
        } else if (a == "--params") {
            if (!value(s))
                return 2;
            o.paramsFile = s;
        } else if (a == "--name") {
            if (!value(s))
                return 2;
            o.name = s;
        } else if (a == "--max-clients") {
            if (!number(1, 1000, n))
                return 2;
            o.maxClients = unsigned(n);
        } else if (a == "--db-max-size") {
            if (!number(0, 0xFFFFFFFFull, n))
                return 2;
            o.dbMaxSize = uint32_t(n);
        } else if (a == "--db-size") {
            if (!number(0, 64ull << 20, n))
                return 2;
            o.dbInitialSize = uint32_t(n);
        } else if (a == "--live")
            o.live = true;
        else if (a == "--params-count") {
            if (!number(1, kMaxParamsCount, n))
                return 2;
            o.paramsCount = uint32_t(n);
        } else if (a == "--live-rate") {
            if (i + 1 < argc && std::strcmp(argv[i + 1], "max") == 0) {
                ++i;
                o.liveFlood = true;
                o.liveRate = 0;
            } else {
                if (!number(1, kMaxLiveRate, n)) {
                    if (!error.empty() && error.back() == ')')
                        error.insert(error.size() - 1, " or max");
                    return 2;
                }
                o.liveRate = uint32_t(n);
                o.liveFlood = false;
            }
        } else if (a == "--no-discovery")
            o.discovery = false;
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--refuse-login")
            o.faults.refuseLogin = true;
        else if (a == "--report-full")
            o.faults.reportFull = true;
        else if (a == "--silent-after") {
            if (!number(1, 1u << 30, n))
                return 2;
            o.faults.silentAfter = unsigned(n);
        } else if (a == "--close-after") {
            if (!number(1, 1u << 30, n))
                return 2;
            o.faults.closeAfter = unsigned(n);
        } else if (a == "--corrupt-every") {
            if (!number(1, 1u << 30, n))
                return 2;
            o.faults.corruptEvery = unsigned(n);
        } else if (a == "--huge-length")
            o.faults.hugeLength = true;
        else if (a == "--slow") {
            if (!number(0, 600000, n))
                return 2;
            o.faults.slowMs = unsigned(n);
        } else if (a == "--stall-download") {
            if (!number(0, 0xFFFFFFFFull, n))
                return 2;
            o.faults.stallDownload = int64_t(n);
        } else if (a == "--file-limit") {
            if (!number(1, 0xFFFFFFFFull, n))
                return 2;
            o.faults.fileLimit = uint32_t(n);
        } else if (a == "--wrong-file-md5")
            o.faults.wrongFileMd5 = true;
        else if (a == "--drop-answer") {
            if (!number(1, kvt::kvtOlmoMaxParameterId, n))
                return 2;
            o.faults.dropAnswer = uint32_t(n);
        } else if (a == "--download-fail") {
            if (!number(2, 4, n))
                return 2;
            o.faults.downloadFail = int(n);
        } else {
            error = "unknown option: " + a;
            return 2;
        }
    }
    if (o.paramsCount && !o.paramsFile.empty()) {
        error = "--params and --params-count exclude each other";
        return 2;
    }
    if (o.root.empty())
        o.root = defaultSimRoot();
    return 0;
}
