#include "journalfile.h"

#include "journalschema.h"

#include <kvt_osfolder.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace vyxjournal {

namespace {

// Another program may hold the file for a moment (a writer in WAL mode, a reader): waited for this
// long before a write counts as failed.
const int kBusyTimeoutMs = 2000;

std::string folderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// One value of a statement that yields one row.
bool scalar(sqlite3 *db, const char *sql, std::string &value) {
    sqlite3_stmt *s = nullptr;
    bool ok = sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW;
    if (ok) {
        const unsigned char *text = sqlite3_column_text(s, 0);
        value = text ? reinterpret_cast<const char *>(text) : "";
    }
    sqlite3_finalize(s);
    return ok;
}

} // namespace

JournalFile::~JournalFile() {
    close();
}

void JournalFile::close() {
    sqlite3_close(m_db);
    m_db = nullptr;
}

std::string JournalFile::sqliteError() const {
    return m_db ? sqlite3_errmsg(m_db) : "not open";
}

bool JournalFile::fail(const std::string &what, std::string &error) {
    error = what + (m_db ? std::string(": ") + sqlite3_errmsg(m_db) : std::string());
    close();
    return false;
}

bool JournalFile::open(const std::string &path, Mode mode, std::string &error) {
    close();
    if (mode == Mode::Write) {
        const std::string folder = folderOf(path);
        if (!folder.empty() && !kvt::kvtMakePrivateFolders(folder)) {
            error = "the folder " + folder + " cannot be created: " + std::strerror(errno);
            return false;
        }
        // Created here, not by SQLite, so that it is its owner's alone (its WAL files follow it).
        if (!kvt::kvtCreatePrivateFile(path)) {
            error = "the journal " + path + " cannot be created: " + std::strerror(errno);
            return false;
        }
    }
    const int flags = mode == Mode::Write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr) !=
        SQLITE_OK)
        return fail("the journal " + path + " cannot be opened", error);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (!checkLayout(path, error))
        return false;
    return mode == Mode::Read || setUp(path, error);
}

// A layout newer than this program's is left alone: stamping it with an older version would make
// the newer program take it for something it is not.
bool JournalFile::checkLayout(const std::string &path, std::string &error) {
    std::string version;
    if (!scalar(m_db, "PRAGMA user_version", version))
        return fail("the journal " + path + " cannot be read", error);
    const int found = std::atoi(version.c_str());
    if (found <= kSchemaVersion)
        return true;
    close();
    error = "the journal " + path + " has layout version " + std::to_string(found) +
            ", newer than this program's (" + std::to_string(kSchemaVersion) +
            "): it was written by a newer vyxdesk or vyxctl; nothing is written to it";
    return false;
}

bool JournalFile::setUp(const std::string &path, std::string &error) {
    // WAL: readers (the Journal view, an export) never block the writer, and a crash mid-write
    // leaves the file whole.
    std::string walMode;
    if (!scalar(m_db, "PRAGMA journal_mode=WAL", walMode) || strcasecmp(walMode.c_str(), "wal") != 0)
        return fail("the journal " + path + " cannot be set up (WAL mode)", error);
    // The layout is made and stamped in one step, after the version is read again under the lock:
    // another program may have set it up in between.
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("the journal " + path + " cannot be set up", error);
    if (!checkLayout(path, error))
        return false;
    for (const char *statement : kSchema) {
        if (sqlite3_exec(m_db, statement, nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return fail("the journal " + path + " cannot be set up", error);
        }
    }
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("the journal " + path + " cannot be set up", error);
    return true;
}

} // namespace vyxjournal
