#include "simcommandlines.h"

namespace {

const char kGuardian[] = "/nalrio/bin/nalrio_guardian";
const char kGateway[] = "/home/nalrio/bin/knxd.sh";
const size_t kCatLimit = 65536;

std::string join(const std::vector<std::string>& words, size_t from)
{
    std::string out;
    for (size_t i = from; i < words.size(); ++i)
        out += (i > from ? " " : "") + words[i];
    return out;
}

} // namespace

std::vector<std::string> SimCommandLines::split(const std::string& line)
{
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

SimResult SimCommandLines::run(const std::string& commandLine)
{
    // The texts the manager sends verbatim.
    if (commandLine == "kill $(pidof mono)")
        return {0, "logic process restarted"};
    if (commandLine == "chown vyxweb:vyxweb logic/ -R")
        return {0, "ownership of logic/ changed to vyxweb:vyxweb"};
    return runWords(split(commandLine));
}

SimResult SimCommandLines::runWords(const std::vector<std::string>& w)
{
    if (w.empty())
        return {1, "empty command line"};
    const std::string& cmd = w[0];
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
    if (cmd == "ls" && w.size() <= 2)
        return m_sandbox.listFolder(w.size() == 2 ? w[1] : std::string());
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
    return {1, cmd + ": command not found"};
}

// "tar -xzf ARCHIVE [-C DIR]" (or "tar xzf ..."): the unpacking is simulated by making the target
// folder; the archive must exist in the sandbox.
SimResult SimCommandLines::unpack(const std::vector<std::string>& w)
{
    if (w.size() < 3 || (w[1] != "-xzf" && w[1] != "xzf" && w[1] != "-xf" && w[1] != "xf"))
        return {1, "tar: only \"tar -xzf ARCHIVE [-C FOLDER]\" is available"};
    const std::string& archive = w[2];
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
