#pragma once
// What the vault checks of a copy beyond its MD5: a copy that matches the server's digest is still
// no backup when it is empty, or not the kind of file the server keeps. Qt-free.
#include "vaultentry.h"

#include <cstdint>
#include <string>
#include <vector>

// True when the file begins with the SQLite header's text.
bool vaultLooksLikeSqlite(const std::string &path);

// Why the copy at `path` (of `size` bytes) is suspect, or an empty text when it is not.
// siteKeepsSqlite: the site's earlier verified copies are SQLite databases, so this one must be one
// too. A copy that calls itself SQLite must have a sound header whatever the site kept before.
std::string vaultSuspicion(const std::string &path, uint64_t size, bool siteKeepsSqlite);

// Why a site needs a look, from its copies (newest first): its newest copy is suspect, or less
// than half the size of the verified copy before it. Empty when neither.
std::string vaultAttention(const std::vector<VaultEntry> &copies);

// Which copies retention removes (indexes into `copies`, newest first): it counts verified copies
// only and keeps the newest `keep` of them, the newest `keep` copies whatever they are (so that a
// suspect newest copy stays to be looked at), and the verified copy a size drop is measured
// against. With no verified copy at all it removes nothing. keep < 1 removes nothing.
std::vector<size_t> vaultRetentionRemoves(const std::vector<VaultEntry> &copies, int keep);
