#pragma once
// One copy in the backup vault, as its index holds it. Qt-free.
#include <cstdint>
#include <string>

struct VaultEntry {
    std::string site; // the site's display name when the copy was made
    std::string host;
    int port = 0;
    int64_t time = 0; // seconds since the epoch (UTC)
    uint64_t size = 0;
    std::string md5;       // lower-case hexadecimal
    std::string version;   // the server's version text, empty when unknown
    std::string file;      // name inside the site folder
    bool verified = false; // matched the server's digest and passed the vault's checks (and, after a
                           // check, the disk)
    std::string suspect;   // why the copy is no backup although it matched the server's digest
};
