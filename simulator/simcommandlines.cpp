#include "simcommandlines.h"

#include "simlisting.h"

#include <ctime>

namespace {

const char kGuardian[] = "/nalrio/bin/nalrio_guardian";
const char kGateway[] = "/home/nalrio/bin/knxd.sh";
const size_t kCatLimit = 65536;

std::string join(const std::vector<std::string> &words, size_t from) {
    std::string out;
    for (size_t i = from; i < words.size(); ++i)
        out += (i > from ? " " : "") + words[i];
    return out;
}

} // namespace

std::vector<std::string> SimCommandLines::split(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

SimResult SimCommandLines::run(const std::string &commandLine) {
    // The texts the manager sends verbatim.
    if (commandLine == "kill $(pidof mono)")
        return {0, "logic process restarted"};
    if (commandLine == "chown vyxweb:vyxweb logic/ -R")
        return {0, "ownership of logic/ changed to vyxweb:vyxweb"};
    return runWords(split(commandLine));
}

SimResult SimCommandLines::runWords(const std::vector<std::string> &w) {
    if (w.empty())
        return {1, "empty command line"};
    const std::string &cmd = w[0];
    if (cmd == kGuardian)
        return {0, "guardian: " + (w.size() > 1 ? join(w, 1) : std::string("status")) + ": ok"};
    if (cmd == kGateway && w.size() >= 2 && w[1] == "start") {
        m_gatewayRunning = true;
        return {0, "knxd started" + (w.size() > 2 ? " (" + join(w, 2) + ")" : std::string())};
    }
    if (cmd == kGateway && w.size() == 2 && w[1] == "stop") {
        bool was = m_gatewayRunning;
        m_gatewayRunning = false;
        return {0, was ? "knxd stopped" : "knxd was not running"};
    }
    if (cmd == "echo")
        return {0, join(w, 1)};
    if (cmd == "ls")
        return list(w);
    if (cmd == "cat" && w.size() == 2)
        return m_sandbox.readText(w[1], kCatLimit);
    if (cmd == "rm" && w.size() == 2) {
        SimResult r = m_sandbox.deleteFile(w[1]);
        if (r.err == 0)
            r.info = "removed " + w[1];
        return r;
    }
    if (cmd == "tar")
        return unpack(w);
    if (cmd == "md5sum" && w.size() == 2) {
        const std::string md5 = m_sandbox.fileMd5(w[1]);
        if (md5.empty())
            return {1, "md5sum: " + w[1] + ": No such file"};
        return {0, md5 + "  " + w[1]};
    }
    if (cmd == "mkdir" && (w.size() == 2 || (w.size() == 3 && w[1] == "-p")))
        return m_sandbox.createFolder(w.back());
    if (cmd == "rmdir" && w.size() == 2)
        return m_sandbox.deleteFolder(w[1]);
    if (w.size() == 1 &&
        (cmd == "pwd" || cmd == "whoami" || cmd == "hostname" || cmd == "date" || cmd == "uptime"))
        return status(cmd);
    if (cmd == "uname" &&
        (w.size() == 1 || (w.size() == 2 && (w[1] == "-a" || w[1] == "-r" || w[1] == "-m"))))
        return status(join(w, 0));
    return {1, cmd + ": not available in the simulator (it answers ls, cat, echo, rm, mkdir, rmdir, md5sum, "
                     "tar -xzf, pwd, whoami, hostname, uname, date, uptime and the manager's own commands)"};
}

// "ls [-l] [-a] [PATH]": the names only, or the long format of GNU ls.
SimResult SimCommandLines::list(const std::vector<std::string> &w) {
    bool longFormat = false, all = false;
    std::string path;
    bool havePath = false;
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string &a = w[i];
        if (a.size() > 1 && a[0] == '-') {
            for (size_t k = 1; k < a.size(); ++k) {
                if (a[k] == 'l')
                    longFormat = true;
                else if (a[k] == 'a')
                    all = true;
                else
                    return {2, "ls: option -" + std::string(1, a[k]) +
                                   " is not available in the simulator (only -l and -a)"};
            }
        } else if (!havePath) {
            path = a;
            havePath = true;
        } else {
            return {2, "ls: the simulator lists one path at a time"};
        }
    }
    if (longFormat)
        return simLongListing(m_sandbox, path, all, std::time(nullptr));
    return m_sandbox.listFolder(path);
}

// Status commands answer for the simulated server, never for the machine the simulator runs on.
SimResult SimCommandLines::status(const std::string &line) {
    if (line == "pwd")
        return {0, "/home/vyxweb"};
    if (line == "whoami")
        return {0, "vyxweb"};
    if (line == "hostname")
        return {0, "vyxsim"};
    if (line == "uptime")
        return {0, "up, simulated server"};
    if (line == "date") {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        char out[64];
        std::strftime(out, sizeof out, "%a %b %e %H:%M:%S UTC %Y", &tm);
        return {0, out};
    }
    if (line == "uname -r")
        return {0, "vyxsim"};
    if (line == "uname -m")
        return {0, "x86_64"};
    if (line == "uname -a")
        return {0, "Linux vyxsim vyxsim #1 SMP x86_64 GNU/Linux (simulated)"};
    return {0, "Linux"};
}

// "tar -xzf ARCHIVE [-C DIR]" (or "tar xzf ..."): the unpacking is simulated by making the target
// folder; the archive must exist in the sandbox.
SimResult SimCommandLines::unpack(const std::vector<std::string> &w) {
    if (w.size() < 3 || (w[1] != "-xzf" && w[1] != "xzf" && w[1] != "-xf" && w[1] != "xf"))
        return {1, "tar: only \"tar -xzf ARCHIVE [-C FOLDER]\" is available"};
    const std::string &archive = w[2];
    std::string target = "logic";
    if (w.size() == 5 && w[3] == "-C")
        target = w[4];
    else if (w.size() != 3)
        return {1, "tar: only \"tar -xzf ARCHIVE [-C FOLDER]\" is available"};
    std::string path, why;
    if (!m_sandbox.resolve(archive, path, why))
        return {2, "tar: " + why};
    if (!m_sandbox.exists(archive))
        return {2, "tar: " + archive + ": Cannot open: No such file or directory"};
    SimResult r = m_sandbox.createFolder(target);
    if (r.err != 0)
        return {2, "tar: " + r.info};
    return {0, archive + " extracted into " + target + "/"};
}
