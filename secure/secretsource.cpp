#include "secretsource.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// A command prints more than a password line only by mistake; past this it is stopped.
const size_t kMaxCommandOutput = 64 * 1024;

std::string firstLine(const std::string &text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Reads the first line of an open secret, at most kMaxSecretBytes; closes fd.
bool readOpenSecret(int fd, const std::string &what, std::string &secret, std::string &error) {
    char buffer[kMaxSecretBytes + 1];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) {
        error = "cannot read " + what + ": " + std::strerror(errno);
        return false;
    }
    const std::string text(buffer, size_t(n));
    if (size_t(n) > kMaxSecretBytes && text.find('\n') == std::string::npos) {
        error = what + " is too long";
        return false;
    }
    secret = firstLine(text);
    return true;
}

// Opens a regular file that is not a symbolic link; ownerOnly also wants it to be ours and 0600.
int openSecret(const std::string &path, const std::string &what, bool ownerOnly, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "cannot open " + what + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = what + " is not a regular file";
        return -1;
    }
    if (ownerOnly && ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid())) {
        ::close(fd);
        error = what + " must belong to you and be readable by you alone (chmod 600)";
        return -1;
    }
    return fd;
}

bool validCredentialName(const std::string &name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool needsShell(const std::string &command) {
    return command.find_first_of("|&;<>()$`\\\"'*?[]#~=%{}\n") != std::string::npos;
}

std::vector<std::string> words(const std::string &command) {
    std::vector<std::string> out;
    size_t pos = command.find_first_not_of(" \t");
    while (pos != std::string::npos) {
        const size_t end = command.find_first_of(" \t", pos);
        out.push_back(command.substr(pos, end == std::string::npos ? end : end - pos));
        pos = end == std::string::npos ? end : command.find_first_not_of(" \t", end);
    }
    return out;
}

// The command as a child with its standard output on a pipe; the pid, or -1 with error set.
pid_t spawnCommand(const std::string &command, int &readEnd, std::string &error) {
    std::vector<std::string> args =
        needsShell(command) ? std::vector<std::string>{"/bin/sh", "-c", command} : words(command);
    if (args.empty()) {
        error = "the password command is empty";
        return -1;
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        error = "cannot run the password command " + args[0] + ": " + std::strerror(rc);
        return -1;
    }
    readEnd = pipeFds[0];
    return pid;
}

// Reads the child's output until it closes it; false when it is too long or too late.
bool readOutput(int fd, std::string &out, std::chrono::steady_clock::time_point until, std::string &error) {
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            error = "the password command did not finish in time";
            return false;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        out.append(buffer, size_t(n));
        if (out.size() > kMaxCommandOutput) {
            error = "the password command printed too much";
            return false;
        }
    }
}

} // namespace

bool readSecretFile(const std::string &path, std::string &secret, std::string &error) {
    const std::string what = "the password file " + path;
    const int fd = openSecret(path, what, true, error);
    return fd >= 0 && readOpenSecret(fd, what, secret, error);
}

std::string credentialsDirectory() {
    const char *dir = std::getenv("CREDENTIALS_DIRECTORY");
    return dir && *dir == '/' ? std::string(dir) : std::string();
}

bool readCredentialFile(const std::string &path, std::string &secret, std::string &error) {
    const std::string what = "the credential " + path;
    const int fd = openSecret(path, what, false, error);
    return fd >= 0 && readOpenSecret(fd, what, secret, error);
}

bool readCredential(const std::string &name, std::string &secret, std::string &error) {
    if (!validCredentialName(name)) {
        error = "\"" + name + "\" is not a credential name";
        return false;
    }
    const std::string dir = credentialsDirectory();
    if (dir.empty()) {
        error = "no systemd credentials here ($CREDENTIALS_DIRECTORY is not set)";
        return false;
    }
    return readCredentialFile(dir + "/" + name, secret, error);
}

bool runPasswordCommand(const std::string &command, std::string &secret, std::string &error,
                        int timeoutSeconds) {
    int fd = -1;
    const pid_t pid = spawnCommand(command, fd, error);
    if (pid < 0)
        return false;
    std::string out;
    const bool read =
        readOutput(fd, out, std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds), error);
    ::close(fd);
    if (!read)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!read)
        return false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = WIFEXITED(status)
                    ? "the password command exited with " + std::to_string(WEXITSTATUS(status))
                    : "the password command was killed by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    const std::string line = firstLine(out);
    if (line.size() > kMaxSecretBytes) {
        error = "the password command printed a line that is too long";
        return false;
    }
    secret = line;
    return true;
}

bool takeSecretFromEnvironment(const char *name, std::string &secret) {
    char *value = std::getenv(name);
    if (!value)
        return false;
    secret = value;
    // The value lies right after "NAME=" in the one string the environment holds for it.
    char *entry = value - std::strlen(name) - 1;
    ::unsetenv(name);
    std::memset(entry, 0, std::strlen(entry));
    return true;
}
