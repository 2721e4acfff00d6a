#include "vaultcheck.h"

#include <cstring>
#include <fstream>

namespace {

const char kSqliteMagic[] = "SQLite format 3"; // and its terminating zero: 16 bytes
const size_t kHeaderBytes = 100;

uint32_t bigEndian(const unsigned char *p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Reads the first bytes of the file; fewer when it is shorter.
std::string head(const std::string &path, size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string out(bytes, '\0');
    in.read(&out[0], std::streamsize(bytes));
    out.resize(size_t(in.gcount()));
    return out;
}

bool hasMagic(const std::string &h) {
    return h.size() >= sizeof kSqliteMagic && std::memcmp(h.data(), kSqliteMagic, sizeof kSqliteMagic) == 0;
}

// The problem with an SQLite file's header, or an empty text.
std::string sqliteHeaderProblem(const std::string &h, uint64_t size) {
    if (h.size() < kHeaderBytes)
        return "the copy is cut short: " + std::to_string(size) + " bytes are less than an SQLite header";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(h.data());
    const uint32_t field = bigEndian(p + 16, 2);
    const uint32_t pageSize = field == 1 ? 65536 : field;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        return "the copy's SQLite header is damaged (page size " + std::to_string(field) + ")";
    // The page count in the header counts only while the header says it is current.
    const uint32_t pages = bigEndian(p + 28, 4);
    const bool countIsCurrent = pages != 0 && bigEndian(p + 24, 4) == bigEndian(p + 92, 4);
    const uint64_t expected = countIsCurrent ? uint64_t(pages) * pageSize : 0;
    if (expected > size)
        return "the copy is cut short: its SQLite header announces " + std::to_string(expected) +
               " bytes, the file has " + std::to_string(size);
    if (size % pageSize != 0)
        return "the copy is cut short: " + std::to_string(size) + " bytes are not whole SQLite pages of " +
               std::to_string(pageSize);
    return std::string();
}

} // namespace

bool vaultLooksLikeSqlite(const std::string &path) {
    return hasMagic(head(path, sizeof kSqliteMagic));
}

std::string vaultSuspicion(const std::string &path, uint64_t size, bool siteKeepsSqlite) {
    if (size == 0)
        return "the copy is empty (0 bytes)";
    const std::string h = head(path, kHeaderBytes);
    if (hasMagic(h))
        return sqliteHeaderProblem(h, size);
    if (siteKeepsSqlite)
        return "the copy is not an SQLite database, as this site's earlier copies are";
    return std::string();
}

namespace {

// The verified copy before the newest one, for the size comparison; null when there is none.
const VaultEntry *previousVerified(const std::vector<VaultEntry> &copies) {
    for (size_t i = 1; i < copies.size(); ++i)
        if (copies[i].verified)
            return &copies[i];
    return nullptr;
}

bool dropsBelowHalf(const VaultEntry &newer, const VaultEntry &older) {
    return newer.size * 2 < older.size;
}

} // namespace

std::string vaultAttention(const std::vector<VaultEntry> &copies) {
    if (copies.empty())
        return std::string();
    const VaultEntry &newest = copies.front();
    if (!newest.suspect.empty())
        return "the newest copy is suspect: " + newest.suspect;
    const VaultEntry *before = previousVerified(copies);
    if (before && dropsBelowHalf(newest, *before))
        return "the newest copy (" + std::to_string(newest.size) +
               " bytes) is less than half the size of the verified copy before it (" +
               std::to_string(before->size) + " bytes)";
    return std::string();
}

std::vector<size_t> vaultRetentionRemoves(const std::vector<VaultEntry> &copies, int keep) {
    std::vector<size_t> removes;
    if (keep < 1)
        return removes;
    std::vector<bool> kept(copies.size(), false);
    int verifiedKept = 0;
    size_t lastKeptVerified = copies.size();
    for (size_t i = 0; i < copies.size(); ++i) {
        if (int(i) < keep)
            kept[i] = true;
        if (copies[i].verified && verifiedKept < keep) {
            kept[i] = true;
            ++verifiedKept;
            lastKeptVerified = i;
        }
    }
    if (verifiedKept == 0)
        return removes;
    // A shrunken newest verified copy does not push out the full one it shrank from.
    for (size_t i = lastKeptVerified + 1; i < copies.size(); ++i) {
        if (!copies[i].verified)
            continue;
        if (dropsBelowHalf(copies[lastKeptVerified], copies[i]))
            kept[i] = true;
        break;
    }
    for (size_t i = 0; i < copies.size(); ++i)
        if (!kept[i])
            removes.push_back(i);
    return removes;
}
