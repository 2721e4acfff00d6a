#pragma once
// The vault's earlier index: one JSON row per copy in "manifest.jsonl" in each site folder. Read
// once, to import it into the SQLite index. Qt-free.
#include "vaultentry.h"

#include <cstddef>
#include <functional>
#include <string>

// The file name of an earlier index in a site folder, and what it is renamed to once imported.
extern const char kVaultManifest[];
extern const char kVaultManifestImported[];
// A line longer than this is skipped, not held.
constexpr size_t kVaultManifestMaxLine = 4096;

// Calls `row` for every sound row of the manifest in `folder`, in the order of the file (oldest
// first), reading one line at a time; damaged rows are skipped. False when there is no manifest.
bool readVaultManifest(const std::string &folder, const std::function<void(const VaultEntry &)> &row);

// A file name from an index must name a plain file inside the site folder.
bool vaultSafeFileName(const std::string &name);
