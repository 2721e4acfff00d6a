#include "simlisting.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// The owner the server's files have; the sandbox's real owner means nothing to a client.
const char kOwner[] = "vyxweb";

struct Entry {
    std::string name;
    struct stat st {};
    std::string target; // of a symbolic link
};

std::string modeText(mode_t m) {
    char t = '-';
    if (S_ISDIR(m))
        t = 'd';
    else if (S_ISLNK(m))
        t = 'l';
    else if (S_ISCHR(m))
        t = 'c';
    else if (S_ISBLK(m))
        t = 'b';
    else if (S_ISFIFO(m))
        t = 'p';
    else if (S_ISSOCK(m))
        t = 's';
    std::string s(1, t);
    const char *rwx = "rwx";
    for (int i = 8; i >= 0; --i)
        s += (m & (1u << i)) ? rwx[(8 - i) % 3] : '-';
    if (m & S_ISUID)
        s[3] = (m & S_IXUSR) ? 's' : 'S';
    if (m & S_ISGID)
        s[6] = (m & S_IXGRP) ? 's' : 'S';
    if (m & S_ISVTX)
        s[9] = (m & S_IXOTH) ? 't' : 'T';
    return s;
}

// GNU ls in the C locale: "Mon dd HH:MM" within six months of now, else "Mon dd  YYYY".
std::string timeText(std::time_t t, std::time_t now) {
    static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&t, &tm);
    const std::time_t halfYear = (365 * 24 * 3600 + 6 * 3600) / 2;
    const bool recent = t <= now + 3600 && now - t < halfYear;
    char out[32];
    if (recent)
        std::snprintf(out, sizeof out, "%s %2d %02d:%02d", months[tm.tm_mon], tm.tm_mday, tm.tm_hour,
                      tm.tm_min);
    else
        std::snprintf(out, sizeof out, "%s %2d  %d", months[tm.tm_mon], tm.tm_mday, tm.tm_year + 1900);
    return out;
}

std::string sizeText(const struct stat &st) {
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return std::to_string(major(st.st_rdev)) + ", " + std::to_string(minor(st.st_rdev));
    return std::to_string(static_cast<unsigned long long>(st.st_size));
}

std::string pad(const std::string &s, size_t width, bool right) {
    if (s.size() >= width)
        return s;
    return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

bool readEntry(const std::string &path, const std::string &name, Entry &e) {
    e.name = name;
    if (lstat(path.c_str(), &e.st) != 0)
        return false;
    if (S_ISLNK(e.st.st_mode)) {
        char buffer[4096];
        ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
        if (n > 0)
            e.target.assign(buffer, size_t(n));
    }
    return true;
}

std::string format(std::vector<Entry> &entries, bool withTotal, std::time_t now) {
    size_t wLinks = 0, wSize = 0;
    unsigned long long blocks = 0;
    for (const Entry &e : entries) {
        wLinks = std::max(wLinks, std::to_string(static_cast<unsigned long>(e.st.st_nlink)).size());
        wSize = std::max(wSize, sizeText(e.st).size());
        blocks += static_cast<unsigned long long>(e.st.st_blocks) / 2; // 512-byte blocks to KiB
    }
    std::string text;
    if (withTotal)
        text = "total " + std::to_string(blocks) + "\n";
    for (const Entry &e : entries) {
        text += modeText(e.st.st_mode) + " " +
                pad(std::to_string(static_cast<unsigned long>(e.st.st_nlink)), wLinks, true) + " " + kOwner +
                " " + kOwner + " " + pad(sizeText(e.st), wSize, true) + " " + timeText(e.st.st_mtime, now) +
                " " + e.name;
        if (!e.target.empty())
            text += " -> " + e.target;
        text += "\n";
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

} // namespace

SimResult simLongListing(const SimSandbox &sandbox, const std::string &clientPath, bool showAll,
                         std::time_t now) {
    const bool top = clientPath.empty() || clientPath == "." || clientPath == "./";
    std::string path, why;
    if (top)
        path = sandbox.filesRoot();
    else if (!sandbox.resolve(clientPath, path, why))
        return {2, "ls: cannot access '" + clientPath + "': " + why};
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return {2, "ls: cannot access '" + clientPath + "': " + std::strerror(errno)};

    std::vector<Entry> entries;
    if (!S_ISDIR(st.st_mode)) {
        Entry e;
        readEntry(path, clientPath, e);
        entries.push_back(e);
        return {0, format(entries, false, now)};
    }

    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path.c_str()), &closedir);
    if (!dir)
        return {2, "ls: cannot open directory '" + clientPath + "': " + std::strerror(errno)};
    while (dirent *d = readdir(dir.get())) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        if (!showAll && name[0] == '.')
            continue;
        Entry e;
        if (readEntry(path + "/" + name, name, e))
            entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    if (showAll) {
        // At the top of the tree ".." is the tree itself, as "/.." is "/" on a server: nothing
        // outside the sandbox shows.
        Entry self, parent;
        readEntry(path, ".", self);
        if (top || !readEntry(path + "/..", "..", parent)) {
            parent = self;
            parent.name = "..";
        }
        entries.insert(entries.begin(), {self, parent});
    }
    return {0, format(entries, true, now)};
}
