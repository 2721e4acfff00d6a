#include "simdatabase.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int kPageSize = 4096;
// Payload that fits the overflow pages of this many pages, with room to spare for the row's own.
const int kBytesPerPage = 4000;

std::vector<unsigned char> pattern(size_t n, uint32_t seed) {
    std::vector<unsigned char> bytes(n);
    uint32_t state = seed * 2654435761u + 0x12345678u;
    for (unsigned char &b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

int pageCount(sqlite3 *db) {
    sqlite3_stmt *s = nullptr;
    int pages = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        pages = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return pages;
}

// One row; SQLITE_DONE, SQLITE_FULL when the file may not grow, or another code.
int insertRow(sqlite3 *db, int id, size_t bytes) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO settings (id, name, value) VALUES (?, ?, ?)", -1, &s, nullptr) !=
        SQLITE_OK)
        return SQLITE_ERROR;
    const std::vector<unsigned char> value = pattern(bytes, uint32_t(id));
    const std::string name = "setting " + std::to_string(id);
    sqlite3_bind_int(s, 1, id);
    sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 3, value.data(), int(value.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s);
    sqlite3_finalize(s);
    return rc;
}

// Grows the file to exactly `target` pages where it can: large rows first, small ones near the
// end, then empty tables of one page each.
bool fill(sqlite3 *db, int target) {
    int id = 0;
    int tables = 0;
    for (int pages = pageCount(db); pages >= 0 && pages < target; pages = pageCount(db)) {
        const int left = target - pages;
        const int rc = insertRow(db, ++id, left > 2 ? size_t(left - 2) * kBytesPerPage : 64);
        if (rc == SQLITE_DONE)
            continue;
        if (rc != SQLITE_FULL)
            return false;
        const std::string table = "CREATE TABLE spare" + std::to_string(++tables) + " (x)";
        if (sqlite3_exec(db, table.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            break;
    }
    return pageCount(db) >= 2;
}

} // namespace

bool simWriteInitialDatabase(const std::string &path, uint32_t size, std::string &error) {
    const std::string aside = path + ".new";
    std::remove(aside.c_str());
    sqlite3 *raw = nullptr;
    const int opened =
        sqlite3_open_v2(aside.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(raw, sqlite3_close);
    const int target = std::max(2, int(size / kPageSize));
    const std::string setup =
        "PRAGMA page_size = " + std::to_string(kPageSize) +
        "; PRAGMA synchronous = OFF; PRAGMA max_page_count = " + std::to_string(target) +
        "; CREATE TABLE settings (id INTEGER PRIMARY KEY, name TEXT NOT NULL, value BLOB)";
    bool ok = opened == SQLITE_OK &&
              sqlite3_exec(db.get(), setup.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              fill(db.get(), target);
    if (!ok)
        error = std::string("cannot write the database: ") + sqlite3_errmsg(db.get());
    db.reset();
    if (ok && std::rename(aside.c_str(), path.c_str()) != 0) {
        error = "cannot put the database in place";
        ok = false;
    }
    if (!ok)
        std::remove(aside.c_str());
    return ok;
}
