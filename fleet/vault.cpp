#include "vault.h"

#include "vaultcheck.h"
#include "vaultindex.h"
#include "vaultmanifest.h"

#include <kvt_osfile.h>
#include <kvt_osfolder.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> g_partCounter{0};

bool isFile(const std::string &path, uint64_t *size = nullptr) {
    struct stat st {};
    const bool file = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (file && size)
        *size = uint64_t(st.st_size);
    return file;
}

// The copy on disk still is what the index says (stat first: a missing file is no error report).
// Stops early, and answers false, once *cancel holds.
bool intact(const std::string &path, const VaultEntry &e, const std::atomic<bool> *cancel = nullptr) {
    uint64_t size = 0;
    const kvt::kvtMd5Watch watch = [cancel](uint64_t) { return !(cancel && cancel->load()); };
    return isFile(path, &size) && size == e.size && kvt::kvtMd5File(path, false, watch) == e.md5;
}

std::string copyName(const std::string &folder, int64_t time, const std::string &md5) {
    std::string stamp = Vault::timeText(time);
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    std::string name = stamp + "_" + md5 + ".db";
    for (int n = 1; ::access((folder + "/" + name).c_str(), F_OK) == 0; ++n)
        name = stamp + "_" + md5 + "-" + std::to_string(n) + ".db";
    return name;
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

std::string Vault::attention(const std::vector<VaultEntry> &copies) {
    return vaultAttention(copies);
}

std::string Vault::partPath(const std::string &host, int port, std::string &error) const {
    const std::string folder = sitePath(host, port);
    if (!kvt::kvtMakePrivateFolders(folder)) {
        error = "cannot create the vault folder " + folder + ": " + std::strerror(errno);
        return std::string();
    }
    return folder + "/.part-" + std::to_string(::getpid()) + "-" + std::to_string(++g_partCounter);
}

void Vault::importManifest(const std::string &host, int port) const {
    const std::string folder = sitePath(host, port);
    std::vector<VaultEntry> rows;
    bool sqlite = false;
    const bool found = readVaultManifest(folder, [&](const VaultEntry &row) {
        VaultEntry e = row;
        uint64_t size = 0;
        // A row without its file would offer a copy that is gone.
        if (!isFile(folder + "/" + e.file, &size))
            return;
        e.suspect = e.verified ? vaultSuspicion(folder + "/" + e.file, size, sqlite)
                               : std::string("not verified when it was made");
        e.verified = e.suspect.empty();
        if (e.verified)
            sqlite = vaultLooksLikeSqlite(folder + "/" + e.file);
        rows.push_back(std::move(e));
    });
    if (!found)
        return;
    VaultIndex index;
    std::string error;
    if (!index.open(m_root, true, error) || !index.import(siteFolder(host, port), rows, error))
        return; // tried again at the next look; the rows are imported only once all the same
    const std::string manifest = folder + "/" + kVaultManifest;
    if (std::rename(manifest.c_str(), (folder + "/" + kVaultManifestImported).c_str()) == 0)
        kvt::kvtSyncFolderOf(manifest);
}

std::vector<VaultEntry> Vault::indexed(const std::string &host, int port) const {
    importManifest(host, port);
    std::vector<VaultEntry> rows;
    VaultIndex index;
    std::string error;
    if (index.open(m_root, false, error))
        index.copies(siteFolder(host, port), rows, error);
    return rows;
}

bool Vault::keepsSqlite(const std::vector<VaultEntry> &copies) const {
    for (const VaultEntry &e : copies)
        if (e.verified && isFile(filePath(e)))
            return vaultLooksLikeSqlite(filePath(e));
    return false;
}

void Vault::removeFiles(const std::string &folder, const std::vector<std::string> &files) const {
    for (const std::string &f : files)
        ::unlink((folder + "/" + f).c_str());
    if (!files.empty())
        kvt::kvtSyncFolderOf(folder + "/.");
}

bool Vault::add(const std::string &site, const std::string &host, int port, const std::string &partFile,
                const std::string &serverMd5, const std::string &version, int64_t time, int keep,
                VaultEntry &out, std::string &error, const std::string &writtenMd5) const {
    const std::string folder = sitePath(host, port);
    uint64_t size = 0;
    if (!isFile(partFile, &size)) {
        error = "the downloaded file " + partFile + " is missing";
        return false;
    }
    const std::string expected = kvt::kvtLowerHex(serverMd5);
    // The download hashed what it wrote: the file is not read a second time for it.
    const std::string md5 = writtenMd5.empty() ? kvt::kvtMd5File(partFile) : kvt::kvtLowerHex(writtenMd5);
    if (md5.empty() || md5 != expected) {
        error = "the copy does not match the server's MD5 (" +
                (md5.empty() ? std::string("unreadable") : md5) + " against " + expected + ")";
        ::unlink(partFile.c_str());
        return false;
    }
    if (!kvt::kvtMakePrivateFolders(folder)) {
        error = "cannot create the vault folder " + folder + ": " + std::strerror(errno);
        ::unlink(partFile.c_str());
        return false;
    }
    out = VaultEntry{};
    out.site = site.substr(0, 200);
    out.host = host;
    out.port = port;
    out.time = time;
    out.size = size;
    out.md5 = md5;
    out.version = version.substr(0, 200);
    out.suspect = vaultSuspicion(partFile, size, keepsSqlite(indexed(host, port)));
    out.verified = out.suspect.empty();
    out.file = copyName(folder, time, md5);
    const std::string target = folder + "/" + out.file;
    ::chmod(partFile.c_str(), 0600);
    if (std::rename(partFile.c_str(), target.c_str()) != 0) {
        error = "cannot move the copy into " + folder + ": " + std::strerror(errno);
        ::unlink(partFile.c_str());
        return false;
    }
    kvt::kvtSyncFolderOf(target);
    VaultIndex index;
    std::vector<std::string> removed;
    if (!index.open(m_root, true, error) ||
        !index.change(siteFolder(host, port), &out, keep, {}, removed, error)) {
        // Not in the index: the file would be an orphan nobody offers.
        ::unlink(target.c_str());
        return false;
    }
    removeFiles(folder, removed);
    return true;
}

int Vault::prune(const std::string &host, int port, int keep, std::string &error,
                 const std::atomic<bool> *cancel) const {
    if (keep < 1) {
        error = "the number of copies to keep must be at least 1";
        return -1;
    }
    const std::string folder = sitePath(host, port);
    // What is on disk decides which copy is verified: a damaged newest copy must not count.
    std::set<std::string> damaged;
    for (const VaultEntry &e : indexed(host, port)) {
        if (e.verified && !intact(folder + "/" + e.file, e, cancel))
            damaged.insert(e.file);
        if (cancel && cancel->load()) {
            error = "cancelled";
            return -1;
        }
    }
    VaultIndex index;
    std::vector<std::string> removed;
    if (!index.open(m_root, false, error))
        return error.empty() ? 0 : -1;
    if (!index.change(siteFolder(host, port), nullptr, keep, damaged, removed, error))
        return -1;
    removeFiles(folder, removed);
    return int(removed.size());
}

std::vector<VaultEntry> Vault::list(const std::string &host, int port, bool recheck) const {
    const std::string folder = sitePath(host, port);
    std::vector<VaultEntry> rows;
    for (VaultEntry &e : indexed(host, port)) {
        const std::string path = folder + "/" + e.file;
        if (!isFile(path))
            continue; // gone: never offered
        if (recheck)
            e.verified = e.verified && intact(path, e);
        rows.push_back(std::move(e));
    }
    return rows;
}
