#pragma once
// The backup vault: one folder per site under a root, each holding its configuration copies named
// by date and MD5, and a manifest with one JSON row per copy. Shared by vyxctl and the workbench,
// so both read and write the same layout. Qt-free.
#include <cstdint>
#include <string>
#include <vector>

struct VaultEntry {
    std::string site; // the site's display name when the copy was made
    std::string host;
    int port = 0;
    int64_t time = 0; // seconds since the epoch (UTC)
    uint64_t size = 0;
    std::string md5;       // lower-case hexadecimal
    std::string version;   // the server's version text, empty when unknown
    std::string file;      // name inside the site folder
    bool verified = false; // the copy's MD5 matched the server's digest (and, after a check, the disk)
};

class Vault {
public:
    explicit Vault(std::string root);

    const std::string &root() const { return m_root; }

    // The folder name of a site: its address and port, with anything but letters, digits, '.' and
    // '-' replaced, so that a host name or an IPv6 address makes one harmless path element.
    static std::string siteFolder(const std::string &host, int port);
    std::string sitePath(const std::string &host, int port) const;

    // A fresh name for a download in progress inside the site folder (created on demand); empty
    // with error set when the folder cannot be made.
    std::string partPath(const std::string &host, int port, std::string &error) const;

    // Moves a finished download into the vault under its date-and-MD5 name and adds its manifest
    // row. serverMd5 is the digest the server announced: the file is hashed again and must match.
    // keep > 0 applies the retention afterwards. False with error set (the part file is removed).
    bool add(const std::string &site, const std::string &host, int port, const std::string &partFile,
             const std::string &serverMd5, const std::string &version, int64_t time, int keep,
             VaultEntry &out, std::string &error) const;

    // The site's copies, newest first. recheck hashes every file again and marks missing or
    // changed ones unverified (the manifest is not rewritten for that).
    std::vector<VaultEntry> list(const std::string &host, int port, bool recheck = false) const;

    // Keeps the newest `keep` copies and removes the rest, but never the newest verified copy.
    // Returns the number removed, -1 on error.
    int prune(const std::string &host, int port, int keep, std::string &error) const;

    // Full path of an entry's file.
    std::string filePath(const VaultEntry &e) const;

    static std::string timeText(int64_t time);   // 2026-12-01T09:30:00Z
    static std::string ageText(int64_t seconds); // "3 h", "12 days"
    static bool isMd5(const std::string &text);

    // Bounds on what is read back from a manifest that may have been damaged or tampered with.
    static constexpr uint64_t kMaxManifestBytes = 8u * 1024u * 1024u;
    static constexpr size_t kMaxLineBytes = 4096;

private:
    std::vector<VaultEntry> readManifest(const std::string &folder) const;
    bool writeManifest(const std::string &folder, const std::vector<VaultEntry> &rows,
                       std::string &error) const;
    int pruneLocked(const std::string &folder, std::vector<VaultEntry> &rows, int keep) const;

    std::string m_root;
};
