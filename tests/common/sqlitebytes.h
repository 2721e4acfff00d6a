#pragma once
// The bytes of an SQLite database file as the vault checks it: a sound header for `pages` pages of
// 4096 bytes, then a pattern of `seed`, so that every seed makes another database. (The vault
// reads the header only; no table is behind it.)
#include <cstdint>
#include <string>

inline std::string sqliteBytes(int pages, unsigned seed) {
    std::string bytes(size_t(pages) * 4096, '\0');
    uint32_t x = seed;
    for (char &c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    const auto be32 = [&bytes](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + size_t(i)] = char(v >> (24 - 8 * i));
    };
    bytes.replace(0, 16, std::string("SQLite format 3\0", 16));
    bytes[16] = 0x10; // page size 4096
    bytes[17] = 0x00;
    bytes[18] = bytes[19] = 1;
    bytes[20] = 0;
    bytes[21] = 64;
    bytes[22] = 32;
    bytes[23] = 32;
    be32(24, 7);               // change counter
    be32(28, uint32_t(pages)); // pages in the file
    be32(92, 7);               // the page count is current
    return bytes;
}
