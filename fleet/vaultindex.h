#pragma once
// The vault's index: one SQLite file at the vault's root with a row per copy, shared by every
// program that writes the vault (the workbench and a timed vyxctl may write at once). WAL, a busy
// time-out, and one transaction per change. Qt-free.
#include "vaultentry.h"

#include <set>
#include <string>
#include <vector>

struct sqlite3;

class VaultIndex {
public:
    VaultIndex() = default;
    ~VaultIndex();
    VaultIndex(const VaultIndex &) = delete;
    VaultIndex &operator=(const VaultIndex &) = delete;

    static const char kFileName[];

    // Opens <root>/index.sqlite. create: the root (0700) and the file (0600) are made when missing;
    // otherwise a missing index is false with error left empty. A layout newer than this program's
    // is refused.
    bool open(const std::string &root, bool create, std::string &error);

    // A site's copies (site: its folder name), newest first: by time, and in the order they were
    // added within one second.
    bool copies(const std::string &site, std::vector<VaultEntry> &out, std::string &error);

    // In one transaction: adds `added` (when not null), then, when keep > 0, removes the rows that
    // retention removes, counting the files in `damaged` as unverified. The files of the removed
    // rows are given back for deleting after the commit: a row never outlives its file.
    bool change(const std::string &site, const VaultEntry *added, int keep,
                const std::set<std::string> &damaged, std::vector<std::string> &removedFiles,
                std::string &error);

    // Rows of an earlier manifest, in one transaction; a row already there (same file) is kept.
    bool import(const std::string &site, const std::vector<VaultEntry> &rows, std::string &error);

private:
    bool fail(const std::string &what, std::string &error);
    bool exec(const char *sql);
    bool insert(const std::string &site, const VaultEntry &e);

    sqlite3 *m_db = nullptr;
    std::string m_path;
};
