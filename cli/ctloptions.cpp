#include "ctloptions.h"

#include "secretsource.h"
#include "sshtunnel.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool parseInt(const std::string &text, long minValue, long maxValue, int &out) {
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minValue || v > maxValue)
        return false;
    out = int(v);
    return true;
}

} // namespace

const char *ctlUsageText() {
    return "Usage: vyxctl [-H host] [-p port] [-u user] [--password-file FILE] [-t seconds] [--json] COMMAND "
           "[ARGS]\n"
           "Commands:\n"
           "  discover [--seconds N]        servers answering the discovery query (default 5 s)\n"
           "  ping                          log in, print client ids, server version and time stamp\n"
           "  params                        every parameter with its type and value\n"
           "  get ID                        one parameter value\n"
           "  set ID string|float|byte|uint VALUE\n"
           "  watch [--seconds N] [--bus] [--log]\n"
           "                                print what the server sends (until Ctrl-C or N s);\n"
           "                                --bus/--log switch on raw bus and log messages\n"
           "  download FILE                 the configuration database into FILE (MD5-verified)\n"
           "  upload FILE                   FILE as the new configuration database\n"
           "  db-md5                        MD5 of the server's configuration database\n"
           "  mkdir PATH | rmdir PATH | rm PATH\n"
           "  put LOCAL REMOTE              copy a file to the server (MD5-verified)\n"
           "  md5 REMOTE                    MD5 of a file on the server\n"
           "  exec COMMAND-LINE             run a command line on the server, print its answer\n"
           "  broadcast TEXT                send a text to the other clients\n"
           "  zephron TEXT                  send a Zephron bus command, print answers within -t\n"
           "  bus-debug on|off              switch the server's raw bus messages\n"
           "  fleet backup --sites FILE --vault DIR [--parallel N] [--keep N]\n"
           "                                back up every site of FILE into the vault, N at a time\n"
           "  fleet status --sites FILE [--vault DIR] [--max-age DAYS]\n"
           "                                reachability (no login) and newest backup of each site\n"
           "Options:\n"
           "  -H, --host HOST        server address (default 127.0.0.1)\n"
           "  -p, --port PORT        server port (default 18000)\n"
           "  -u, --user USER        login (default $VYX_USER or admin)\n"
           "  --password-file FILE   the password: the first line of FILE, which only you may read\n"
           "  --password-command CMD the password: the first line CMD prints (secret-tool lookup ...)\n"
           "  -P, --password TEXT    the password; every local user sees it in ps\n"
           "                         Without these: the systemd credential vyx-password, then\n"
           "                         $VYX_PASSWORD (with a warning), then admin. fleet takes none of\n"
           "                         them: each site names its own in the sites file.\n"
           "  --tunnel ssh://USER@HOST[:PORT]\n"
           "                         reach the server through SSH (key login): -H is then the\n"
           "                         server's address as HOST sees it\n"
           "  --ssh-config FILE      the ssh_config for tunnels (default: your own)\n"
           "  -t, --timeout SECONDS  wait for the connection and for each answer (default 15)\n"
           "  --json                 one JSON object per line on stdout\n"
           "  --heartbeat MS         heartbeat period and time-out in milliseconds (default 5000)\n"
           "  -v, --verbose          show the protocol library's warnings and errors on stderr\n"
           "  --journal FILE         record each change (set, download, upload, mkdir, rmdir, rm, put,\n"
           "                         exec, zephron, fleet backup) in the journal FILE before it is sent,\n"
           "                         then its result\n"
           "  --site NAME            the server's name in the journal (default host:port)\n"
           "Exit codes: 0 success, 1 operation failed (fleet: any site failed, or status found a site\n"
           "unreachable or its backup too old), 2 usage error, 3 could not connect or log in,\n"
           "4 the journal could not be written (with --journal: nothing is sent then).\n";
}

// long: one line per option, in the order of the usage text; a table would only move the lines.
int parseCtlOptions(int argc, char **argv, CtlOptions &o, std::string &error) {
    if (const char *u = std::getenv("VYX_USER"))
        o.user = u;
    o.envPasswordSet = takeSecretFromEnvironment("VYX_PASSWORD", o.envPassword);
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a.empty() || a[0] != '-' || a == "-")
            break;
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-h" || a == "--help")
            return 1;
        if (a == "--json") {
            o.json = true;
            continue;
        }
        if (a == "-v" || a == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value for " + a;
            return 2;
        }
        std::string v = argv[++i];
        if (a == "-H" || a == "--host") {
            o.host = v;
        } else if (a == "-p" || a == "--port") {
            if (!parseInt(v, 1, 65535, o.port)) {
                error = "invalid port: " + v;
                return 2;
            }
        } else if (a == "-u" || a == "--user") {
            o.user = v;
        } else if (a == "-P" || a == "--password") {
            o.password = v;
            o.passwordOption = true;
        } else if (a == "--password-file") {
            o.passwordFile = v;
        } else if (a == "--password-command") {
            o.passwordCommand = v;
        } else if (a == "--tunnel") {
            SshDestination through;
            if (!parseSshUrl(v, through, error))
                return 2;
            o.tunnel = v;
        } else if (a == "--ssh-config") {
            o.sshConfig = v;
        } else if (a == "-t" || a == "--timeout") {
            if (!parseInt(v, 1, 86400, o.timeoutSeconds)) {
                error = "invalid time-out: " + v;
                return 2;
            }
        } else if (a == "--journal") {
            o.journal = v;
        } else if (a == "--site") {
            o.site = v;
        } else if (a == "--heartbeat") {
            if (!parseInt(v, 100, 600000, o.heartbeatMs)) {
                error = "invalid heartbeat: " + v;
                return 2;
            }
        } else {
            error = "unknown option: " + a;
            return 2;
        }
    }
    if (int(o.passwordOption) + int(!o.passwordFile.empty()) + int(!o.passwordCommand.empty()) > 1) {
        error = "give one of -P, --password-file and --password-command";
        return 2;
    }
    if (i >= argc) {
        error = "no command given";
        return 2;
    }
    o.command = argv[i++];
    for (; i < argc; ++i) {
        o.args.push_back(argv[i]);
        // The fleet commands are often run from timers, with their options after the command.
        if (o.command == "fleet" && o.args.back() == "--json")
            o.json = true;
    }
    return 0;
}
