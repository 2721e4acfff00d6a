#include "vault.h"

#include <kvt_osfile.h>

#include <cjson/cJSON.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kManifest[] = "manifest.jsonl";
const size_t kMaxRows = 100000;

std::atomic<unsigned> g_partCounter{0};

// Another process (the workbench and a timed vyxctl) may write the same site at once: the
// manifest's read-modify-write is serialised by a lock file, held only for that moment.
class FolderLock {
public:
    explicit FolderLock(const std::string &folder) {
        m_fd = ::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~FolderLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

bool makeFolder(const std::string &path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

bool makeFolders(const std::string &path) {
    for (size_t pos = 1; pos < path.size(); ++pos) {
        if (path[pos] == '/' && !makeFolder(path.substr(0, pos)))
            return false;
    }
    return makeFolder(path);
}

std::string text(cJSON *row, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : std::string();
}

double number(cJSON *row, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

// A file name from the manifest must name a plain file inside the site folder.
bool safeFileName(const std::string &name) {
    return !name.empty() && name.size() < 200 && name[0] != '.' && name.find('/') == std::string::npos;
}

// The copy on disk still is what the manifest says (stat first: a missing file is no error report).
bool intact(const std::string &path, const VaultEntry &e) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == e.size &&
           kvt::kvtMd5File(path) == e.md5;
}

// Copies of the same second keep the manifest's order, which is the order they were added in: the
// later one is the newer.
bool newerFirst(const VaultEntry &a, const VaultEntry &b) {
    return a.time > b.time;
}

} // namespace

Vault::Vault(std::string root) : m_root(std::move(root)) {
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
}

std::string Vault::siteFolder(const std::string &host, int port) {
    std::string out;
    for (char c : host.substr(0, 200)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-';
        out += plain ? char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) : '_';
    }
    if (out.empty() || out[0] == '.')
        out.insert(0, "_");
    return out + "_" + std::to_string(port);
}

std::string Vault::sitePath(const std::string &host, int port) const {
    return m_root + "/" + siteFolder(host, port);
}

std::string Vault::filePath(const VaultEntry &e) const {
    return sitePath(e.host, e.port) + "/" + e.file;
}

bool Vault::isMd5(const std::string &t) {
    return t.size() == 32 && std::all_of(t.begin(), t.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string Vault::timeText(int64_t time) {
    time_t t = time_t(time);
    tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

std::string Vault::ageText(int64_t s) {
    if (s < 0)
        s = 0;
    if (s < 120)
        return std::to_string(s) + " s";
    if (s < 7200)
        return std::to_string(s / 60) + " min";
    if (s < 2 * 86400)
        return std::to_string(s / 3600) + " h";
    return std::to_string(s / 86400) + " days";
}

std::string Vault::partPath(const std::string &host, int port, std::string &error) const {
    const std::string folder = sitePath(host, port);
    if (!makeFolders(folder)) {
        error = "cannot create the vault folder " + folder + ": " + std::strerror(errno);
        return std::string();
    }
    return folder + "/.part-" + std::to_string(::getpid()) + "-" + std::to_string(++g_partCounter);
}

std::vector<VaultEntry> Vault::readManifest(const std::string &folder) const {
    std::vector<VaultEntry> rows;
    std::ifstream in(folder + "/" + kManifest, std::ios::binary);
    if (!in)
        return rows;
    uint64_t total = 0;
    std::string line;
    // Lines are read in bounded pieces: an over-long line is skipped, not held.
    while (rows.size() < kMaxRows && total < kMaxManifestBytes) {
        line.clear();
        bool tooLong = false;
        char c;
        while (in.get(c) && c != '\n') {
            ++total;
            if (line.size() < kMaxLineBytes)
                line += c;
            else
                tooLong = true;
        }
        if (!in && line.empty())
            break;
        ++total;
        if (tooLong || line.empty())
            continue;
        cJSON *row = cJSON_ParseWithLength(line.data(), line.size());
        if (!row)
            continue;
        VaultEntry e;
        e.site = text(row, "site");
        e.host = text(row, "host");
        e.port = int(number(row, "port"));
        e.time = int64_t(number(row, "time"));
        const double size = number(row, "size");
        e.size = size > 0 ? uint64_t(size) : 0;
        e.md5 = text(row, "md5");
        e.version = text(row, "version");
        e.file = text(row, "file");
        e.verified = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(row, "verified"));
        cJSON_Delete(row);
        if (e.time > 0 && isMd5(e.md5) && safeFileName(e.file) && e.port > 0 && e.port < 65536)
            rows.push_back(std::move(e));
    }
    std::reverse(rows.begin(), rows.end());
    std::stable_sort(rows.begin(), rows.end(), newerFirst);
    return rows;
}

bool Vault::writeManifest(const std::string &folder, const std::vector<VaultEntry> &rows,
                          std::string &error) const {
    // Oldest first, as rows are appended; written aside and renamed so a crash leaves the old one.
    std::vector<VaultEntry> ordered(rows.rbegin(), rows.rend());
    std::string body;
    for (const VaultEntry &e : ordered) {
        cJSON *row = cJSON_CreateObject();
        cJSON_AddStringToObject(row, "site", e.site.c_str());
        cJSON_AddStringToObject(row, "host", e.host.c_str());
        cJSON_AddNumberToObject(row, "port", e.port);
        cJSON_AddNumberToObject(row, "time", double(e.time));
        cJSON_AddStringToObject(row, "utc", timeText(e.time).c_str());
        cJSON_AddNumberToObject(row, "size", double(e.size));
        cJSON_AddStringToObject(row, "md5", e.md5.c_str());
        cJSON_AddStringToObject(row, "version", e.version.c_str());
        cJSON_AddStringToObject(row, "file", e.file.c_str());
        cJSON_AddBoolToObject(row, "verified", e.verified);
        char *printed = cJSON_PrintUnformatted(row);
        if (printed)
            body += printed;
        body += '\n';
        cJSON_free(printed);
        cJSON_Delete(row);
    }
    const std::string target = folder + "/" + kManifest;
    const std::string aside = target + ".new";
    FILE *f = std::fopen(aside.c_str(), "wb");
    bool ok = f && std::fwrite(body.data(), 1, body.size(), f) == body.size();
    ok = f && std::fflush(f) == 0 && ::fsync(fileno(f)) == 0 && ok;
    if (f)
        std::fclose(f);
    if (!ok || std::rename(aside.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        ::unlink(aside.c_str());
        return false;
    }
    return true;
}

bool Vault::add(const std::string &site, const std::string &host, int port, const std::string &partFile,
                const std::string &serverMd5, const std::string &version, int64_t time, int keep,
                VaultEntry &out, std::string &error) const {
    const std::string folder = sitePath(host, port);
    struct stat st {};
    if (::stat(partFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "the downloaded file " + partFile + " is missing";
        return false;
    }
    const std::string expected = kvt::kvtLowerHex(serverMd5);
    const std::string md5 = kvt::kvtMd5File(partFile);
    if (md5.empty() || md5 != expected) {
        error = "the copy does not match the server's MD5 (" +
                (md5.empty() ? std::string("unreadable") : md5) + " against " + expected + ")";
        ::unlink(partFile.c_str());
        return false;
    }
    if (!makeFolders(folder)) {
        error = "cannot create the vault folder " + folder + ": " + std::strerror(errno);
        ::unlink(partFile.c_str());
        return false;
    }
    FolderLock lock(folder);
    std::vector<VaultEntry> rows = readManifest(folder);
    std::string stamp = timeText(time);
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    std::string name = stamp + "_" + md5 + ".db";
    for (int n = 1; ::access((folder + "/" + name).c_str(), F_OK) == 0; ++n)
        name = stamp + "_" + md5 + "-" + std::to_string(n) + ".db";
    if (std::rename(partFile.c_str(), (folder + "/" + name).c_str()) != 0) {
        error = "cannot move the copy into " + folder + ": " + std::strerror(errno);
        ::unlink(partFile.c_str());
        return false;
    }
    out = VaultEntry{};
    out.site = site.substr(0, 200);
    out.host = host;
    out.port = port;
    out.time = time;
    out.size = uint64_t(st.st_size);
    out.md5 = md5;
    out.version = version.substr(0, 200);
    out.file = name;
    out.verified = true;
    rows.insert(rows.begin(), out);
    std::stable_sort(rows.begin(), rows.end(), newerFirst);
    if (keep > 0)
        pruneLocked(folder, rows, keep);
    return writeManifest(folder, rows, error);
}

int Vault::pruneLocked(const std::string &folder, std::vector<VaultEntry> &rows, int keep) const {
    // rows are newest first; the newest verified copy survives whatever keep says.
    const auto newestVerified =
        std::find_if(rows.begin(), rows.end(), [](const VaultEntry &e) { return e.verified; });
    const std::string spare = newestVerified != rows.end() ? newestVerified->file : std::string();
    std::vector<VaultEntry> kept;
    int removed = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (int(i) < keep || rows[i].file == spare) {
            kept.push_back(rows[i]);
            continue;
        }
        ::unlink((folder + "/" + rows[i].file).c_str());
        ++removed;
    }
    rows.swap(kept);
    return removed;
}

int Vault::prune(const std::string &host, int port, int keep, std::string &error) const {
    if (keep < 1) {
        error = "the number of copies to keep must be at least 1";
        return -1;
    }
    const std::string folder = sitePath(host, port);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return 0;
    FolderLock lock(folder);
    std::vector<VaultEntry> rows = readManifest(folder);
    // What is on disk decides which copy is verified: a damaged newest copy must not count.
    for (VaultEntry &e : rows)
        e.verified = e.verified && intact(folder + "/" + e.file, e);
    const int removed = pruneLocked(folder, rows, keep);
    if (removed > 0 && !writeManifest(folder, rows, error))
        return -1;
    return removed;
}

std::vector<VaultEntry> Vault::list(const std::string &host, int port, bool recheck) const {
    const std::string folder = sitePath(host, port);
    std::vector<VaultEntry> rows = readManifest(folder);
    if (recheck) {
        for (VaultEntry &e : rows)
            e.verified = e.verified && intact(folder + "/" + e.file, e);
    }
    return rows;
}
