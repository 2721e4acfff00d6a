#pragma once
// The backup vault: one folder per site under a root, each holding its configuration copies named
// by date and MD5, and an SQLite index at the root with a row per copy. Shared by vyxctl and the
// workbench, so both read and write the same layout. Qt-free; one Vault may be used from several
// threads (each call opens the index for itself).
//
// What a copy must be to count as a backup ("verified"): its MD5 matches the server's digest, it
// is not empty, and it is a sound SQLite file where the site's database is SQLite. A copy that
// matches the server but fails the rest is kept as "suspect": it shows what the server had, but
// retention does not count it.
#include "vaultentry.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class Vault {
public:
    explicit Vault(std::string root);

    const std::string &root() const { return m_root; }

    // The folder name of a site: its address and port, with anything but letters, digits, '.' and
    // '-' replaced, so that a host name or an IPv6 address makes one harmless path element.
    static std::string siteFolder(const std::string &host, int port);
    std::string sitePath(const std::string &host, int port) const;

    // A fresh name for a download in progress inside the site folder (created on demand, for its
    // owner only); empty with error set when the folder cannot be made.
    std::string partPath(const std::string &host, int port, std::string &error) const;

    // Moves a finished download into the vault under its date-and-MD5 name and adds its row, as a
    // verified or a suspect copy (out.suspect says why). serverMd5 is the digest the server
    // announced; the file's own digest must match it. writtenMd5 is that digest as the download
    // computed it over the bytes it wrote (its end record's); when empty, the file is hashed here.
    // keep > 0 applies the retention in the same transaction; the files it removes go after the
    // commit. False with error set (the part file is removed).
    bool add(const std::string &site, const std::string &host, int port, const std::string &partFile,
             const std::string &serverMd5, const std::string &version, int64_t time, int keep,
             VaultEntry &out, std::string &error, const std::string &writtenMd5 = std::string()) const;

    // The site's copies whose file is there, newest first. recheck hashes every file again and
    // marks changed ones unverified (the index is not changed for that).
    std::vector<VaultEntry> list(const std::string &host, int port, bool recheck = false) const;

    // Retention on its own (see vaultRetentionRemoves): the newest `keep` verified copies stay, and
    // never fewer than one; what is on disk decides which copy is verified, so every verified copy
    // is hashed again. Returns the number removed, -1 on error. Once *cancel holds it stops between
    // two pieces of a file and removes nothing (-1, error "cancelled").
    int prune(const std::string &host, int port, int keep, std::string &error,
              const std::atomic<bool> *cancel = nullptr) const;

    // Why the site needs a look (its newest copy is suspect or shrank below half of the verified
    // copy before it), from list(); empty when it does not.
    static std::string attention(const std::vector<VaultEntry> &copies);

    // Full path of an entry's file.
    std::string filePath(const VaultEntry &e) const;

    static std::string timeText(int64_t time);   // 2026-12-01T09:30:00Z
    static std::string ageText(int64_t seconds); // "3 h", "12 days"
    static bool isMd5(const std::string &text);

private:
    // Imports the site folder's earlier manifest once, if it has one.
    void importManifest(const std::string &host, int port) const;
    // Whether the site's database is SQLite: its newest verified copy is.
    bool keepsSqlite(const std::vector<VaultEntry> &copies) const;
    std::vector<VaultEntry> indexed(const std::string &host, int port) const;
    void removeFiles(const std::string &folder, const std::vector<std::string> &files) const;

    std::string m_root;
};
