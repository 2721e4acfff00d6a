#ifndef KVT_OSFOLDER_H
#define KVT_OSFOLDER_H

#include <string>

namespace kvt {

// Private files on the local disk: journals, backup copies and their index hold a site's
// configuration, so whatever this side creates for them is its owner's alone.

// Creates `path` and its missing parents, each new folder for its owner only (0700); folders that
// exist keep their mode. True when `path` is a folder afterwards.
bool kvtMakePrivateFolders(const std::string &path);
// Creates `path` as an empty file for its owner only (0600) when it does not exist yet. True when
// it is a regular file afterwards.
bool kvtCreatePrivateFile(const std::string &path);
// Makes a rename or a creation in the folder that holds `path` durable (fsync of the folder): a
// file published by a rename is on the disk under its new name only after this.
bool kvtSyncFolderOf(const std::string &path);

} // namespace kvt

#endif
