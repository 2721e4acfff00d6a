#include "journalreader.h"

#include "journalschema.h"

#include <sqlite3.h>

namespace vyxjournal {

namespace {

std::string column(sqlite3_stmt *s, int i) {
    const unsigned char *text = sqlite3_column_text(s, i);
    return text ? std::string(reinterpret_cast<const char *>(text), size_t(sqlite3_column_bytes(s, i)))
                : std::string();
}

struct Statement {
    sqlite3_stmt *s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

} // namespace

Reader::Reader(std::string session) : m_session(std::move(session)) {}

bool Reader::open(const std::string &path) {
    m_error.clear();
    return m_file.open(path, JournalFile::Mode::Read, m_error);
}

bool Reader::forEach(const Filter &filter, const std::function<bool(const Entry &)> &each) {
    if (!m_file.handle()) {
        m_error = "the journal is not open";
        return false;
    }
    std::string sql = "SELECT i.id, i.time, i.program, i.site, i.address, i.user, i.kind, i.arguments,"
                      " i.session, r.time, r.outcome, r.result FROM journal i"
                      " LEFT JOIN journal r ON r.intent = i.id AND r.entry = 'result'"
                      " WHERE i.entry = 'intent'";
    std::vector<std::string> binds;
    const auto where = [&](const std::string &value, const char *condition) {
        if (value.empty())
            return;
        sql += condition;
        binds.push_back(value);
    };
    where(filter.site, " AND i.site = ?");
    where(filter.kind, " AND i.kind = ?");
    where(filter.fromUtc, " AND i.time >= ?");
    where(filter.toUtc, " AND i.time < ?");
    sql += " ORDER BY i.id DESC LIMIT ?";
    Statement query;
    if (sqlite3_prepare_v2(m_file.handle(), sql.c_str(), -1, &query.s, nullptr) != SQLITE_OK) {
        m_error = "the journal cannot be read: " + m_file.sqliteError();
        return false;
    }
    int index = 1;
    for (const std::string &b : binds)
        sqlite3_bind_text(query.s, index++, b.c_str(), int(b.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(query.s, index, filter.limit > 0 ? filter.limit : -1);
    int rc;
    while ((rc = sqlite3_step(query.s)) == SQLITE_ROW) {
        Entry e;
        e.id = sqlite3_column_int64(query.s, 0);
        e.time = column(query.s, 1);
        e.program = column(query.s, 2);
        e.site = column(query.s, 3);
        e.address = column(query.s, 4);
        e.user = column(query.s, 5);
        e.kind = column(query.s, 6);
        e.arguments = column(query.s, 7);
        e.completed = column(query.s, 9);
        if (sqlite3_column_type(query.s, 10) == SQLITE_NULL)
            e.outcome =
                column(query.s, 8) == m_session && !m_session.empty() ? kOutcomePending : kOutcomeUnknown;
        else
            e.outcome = column(query.s, 10);
        e.result = column(query.s, 11);
        if (!each(e))
            return true;
    }
    if (rc != SQLITE_DONE) {
        m_error = "the journal cannot be read: " + m_file.sqliteError();
        return false;
    }
    return true;
}

std::vector<std::string> Reader::sites() {
    std::vector<std::string> out;
    Statement query;
    if (!m_file.handle() ||
        sqlite3_prepare_v2(m_file.handle(),
                           "SELECT DISTINCT site FROM journal WHERE entry = 'intent' ORDER BY site", -1,
                           &query.s, nullptr) != SQLITE_OK)
        return out;
    while (sqlite3_step(query.s) == SQLITE_ROW)
        out.push_back(column(query.s, 0));
    return out;
}

} // namespace vyxjournal
