#include "vaultindex.h"

#include "vaultcheck.h"

#include <kvt_osfolder.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

const char VaultIndex::kFileName[] = "index.sqlite";

namespace {

const int kLayoutVersion = 1;
const int kBusyTimeoutMs = 5000;

const char *const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS copies ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " site TEXT NOT NULL," // the site's folder name
    " name TEXT NOT NULL,"
    " host TEXT NOT NULL,"
    " port INTEGER NOT NULL,"
    " time INTEGER NOT NULL,"
    " size INTEGER NOT NULL,"
    " md5 TEXT NOT NULL,"
    " version TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " verified INTEGER NOT NULL,"
    " suspect TEXT NOT NULL,"
    " UNIQUE (site, file))",
    "CREATE INDEX IF NOT EXISTS copies_by_site_time ON copies(site, time)",
    "PRAGMA user_version = 1",
};

struct Statement {
    sqlite3_stmt *s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
    void text(int i, const std::string &t) {
        sqlite3_bind_text(s, i, t.c_str(), int(t.size()), SQLITE_TRANSIENT);
    }
    std::string column(int i) const {
        const unsigned char *t = sqlite3_column_text(s, i);
        return t ? reinterpret_cast<const char *>(t) : "";
    }
};

int userVersion(sqlite3 *db) {
    Statement q;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &q.s, nullptr) != SQLITE_OK ||
        sqlite3_step(q.s) != SQLITE_ROW)
        return -1;
    return sqlite3_column_int(q.s, 0);
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

VaultIndex::~VaultIndex() {
    sqlite3_close(m_db);
}

bool VaultIndex::fail(const std::string &what, std::string &error) {
    error = what + " (" + m_path + ")" + (m_db ? std::string(": ") + sqlite3_errmsg(m_db) : std::string());
    if (m_db)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool VaultIndex::exec(const char *sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool VaultIndex::open(const std::string &root, bool create, std::string &error) {
    m_path = root + "/" + kFileName;
    if (!create && !exists(m_path))
        return false;
    if (create && (!kvt::kvtMakePrivateFolders(root) || !kvt::kvtCreatePrivateFile(m_path))) {
        error = "cannot create the vault index " + m_path + ": " + std::strerror(errno);
        return false;
    }
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
        SQLITE_OK)
        return fail("cannot open the vault index", error);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    const int version = userVersion(m_db);
    if (version > kLayoutVersion) {
        error = "the vault index " + m_path + " has layout version " + std::to_string(version) +
                ", newer than this program's (" + std::to_string(kLayoutVersion) + "); it is left alone";
        return false;
    }
    if (version == kLayoutVersion)
        return exec("PRAGMA journal_mode=WAL") || fail("cannot set up the vault index", error);
    if (!exec("PRAGMA journal_mode=WAL") || !exec("BEGIN IMMEDIATE"))
        return fail("cannot set up the vault index", error);
    for (const char *statement : kSchema)
        if (!exec(statement))
            return fail("cannot set up the vault index", error);
    return exec("COMMIT") || fail("cannot set up the vault index", error);
}

bool VaultIndex::copies(const std::string &site, std::vector<VaultEntry> &out, std::string &error) {
    out.clear();
    Statement q;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT name, host, port, time, size, md5, version, file, verified, suspect"
                           " FROM copies WHERE site = ? ORDER BY time DESC, id DESC",
                           -1, &q.s, nullptr) != SQLITE_OK)
        return fail("cannot read the vault index", error);
    q.text(1, site);
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        VaultEntry e;
        e.site = q.column(0);
        e.host = q.column(1);
        e.port = sqlite3_column_int(q.s, 2);
        e.time = sqlite3_column_int64(q.s, 3);
        e.size = uint64_t(sqlite3_column_int64(q.s, 4));
        e.md5 = q.column(5);
        e.version = q.column(6);
        e.file = q.column(7);
        e.verified = sqlite3_column_int(q.s, 8) != 0;
        e.suspect = q.column(9);
        out.push_back(std::move(e));
    }
    return rc == SQLITE_DONE || fail("cannot read the vault index", error);
}

bool VaultIndex::insert(const std::string &site, const VaultEntry &e) {
    Statement q;
    if (sqlite3_prepare_v2(
            m_db,
            "INSERT OR IGNORE INTO copies (site, name, host, port, time, size, md5, version, file,"
            " verified, suspect) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            -1, &q.s, nullptr) != SQLITE_OK)
        return false;
    q.text(1, site);
    q.text(2, e.site);
    q.text(3, e.host);
    sqlite3_bind_int(q.s, 4, e.port);
    sqlite3_bind_int64(q.s, 5, e.time);
    sqlite3_bind_int64(q.s, 6, int64_t(e.size));
    q.text(7, e.md5);
    q.text(8, e.version);
    q.text(9, e.file);
    sqlite3_bind_int(q.s, 10, e.verified ? 1 : 0);
    q.text(11, e.suspect);
    return sqlite3_step(q.s) == SQLITE_DONE;
}

bool VaultIndex::change(const std::string &site, const VaultEntry *added, int keep,
                        const std::set<std::string> &damaged, std::vector<std::string> &removedFiles,
                        std::string &error) {
    removedFiles.clear();
    if (!exec("BEGIN IMMEDIATE"))
        return fail("cannot change the vault index", error);
    if (added && !insert(site, *added))
        return fail("cannot add the copy to the vault index", error);
    if (keep > 0) {
        std::vector<VaultEntry> rows;
        if (!copies(site, rows, error))
            return false;
        for (VaultEntry &e : rows)
            e.verified = e.verified && !damaged.count(e.file);
        Statement remove;
        if (sqlite3_prepare_v2(m_db, "DELETE FROM copies WHERE site = ? AND file = ?", -1, &remove.s,
                               nullptr) != SQLITE_OK)
            return fail("cannot prune the vault index", error);
        for (size_t i : vaultRetentionRemoves(rows, keep)) {
            sqlite3_reset(remove.s);
            remove.text(1, site);
            remove.text(2, rows[i].file);
            if (sqlite3_step(remove.s) != SQLITE_DONE)
                return fail("cannot prune the vault index", error);
            removedFiles.push_back(rows[i].file);
        }
    }
    if (!exec("COMMIT")) {
        removedFiles.clear();
        return fail("cannot change the vault index", error);
    }
    return true;
}

bool VaultIndex::import(const std::string &site, const std::vector<VaultEntry> &rows, std::string &error) {
    if (!exec("BEGIN IMMEDIATE"))
        return fail("cannot import into the vault index", error);
    for (const VaultEntry &e : rows)
        if (!insert(site, e))
            return fail("cannot import into the vault index", error);
    return exec("COMMIT") || fail("cannot import into the vault index", error);
}
