#include "journalwriter.h"

#include "journalschema.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <strings.h>

namespace vyxjournal {

namespace {

// Cut at kMaxTextLength bytes, not inside a UTF-8 sequence.
std::string cut(const std::string &text) {
    if (text.size() <= size_t(kMaxTextLength))
        return text;
    size_t end = size_t(kMaxTextLength);
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + "\xE2\x80\xA6 (" + std::to_string(text.size() - end) + " bytes cut)";
}

bool withheld(const std::string &name) {
    for (const char *w : kWithheldArguments)
        if (strcasecmp(name.c_str(), w) == 0)
            return true;
    return false;
}

void appendJsonString(std::string &out, const std::string &text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

std::string argumentsJson(const Arguments &arguments) {
    std::string out = "{";
    for (const auto &a : arguments) {
        if (withheld(a.first))
            continue;
        if (out.size() > 1)
            out += ',';
        appendJsonString(out, a.first);
        out += ':';
        appendJsonString(out, cut(a.second));
    }
    return out + "}";
}

// UTC, as Qt writes ISODateWithMs: 2026-12-01T10:00:00.000Z.
std::string nowUtc() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return buffer;
}

std::string newSession() {
    std::random_device random;
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08x-%08x-%08x-%08x", random(), random(), random(), random());
    return buffer;
}

// Owns a prepared statement.
struct Statement {
    sqlite3_stmt *s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
    void bind(int i, const std::string &text) {
        sqlite3_bind_text(s, i, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
    }
};

} // namespace

Writer::Writer(std::string program) : m_program(std::move(program)), m_session(newSession()) {}

Writer::~Writer() {
    sqlite3_close(m_db);
}

bool Writer::fail(const std::string &what) {
    m_error = what + (m_db ? std::string(": ") + sqlite3_errmsg(m_db) : std::string());
    return false;
}

std::string Writer::error() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_error;
}

bool Writer::open(const std::string &path) {
    std::lock_guard<std::mutex> guard(m_lock);
    sqlite3_close(m_db);
    m_db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        fail("the journal " + path + " cannot be opened");
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, 2000);
    Statement wal;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode=WAL", -1, &wal.s, nullptr) != SQLITE_OK ||
        sqlite3_step(wal.s) != SQLITE_ROW ||
        strcasecmp(reinterpret_cast<const char *>(sqlite3_column_text(wal.s, 0)), "wal") != 0)
        return fail("the journal " + path + " cannot be set up (WAL mode)");
    for (const char *statement : kSchema)
        if (sqlite3_exec(m_db, statement, nullptr, nullptr, nullptr) != SQLITE_OK)
            return fail("the journal " + path + " cannot be set up");
    m_error.clear();
    return true;
}

int64_t Writer::intent(const Server &server, const char *kind, const Arguments &arguments) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_db) {
        m_error = "the journal is not open";
        return 0;
    }
    Statement insert;
    if (sqlite3_prepare_v2(m_db, kInsertIntent, -1, &insert.s, nullptr) != SQLITE_OK)
        return fail(std::string("the journal could not record the ") + kind), 0;
    insert.bind(1, m_session);
    insert.bind(2, nowUtc());
    insert.bind(3, m_program);
    insert.bind(4, cut(server.site.empty() ? server.address : server.site));
    insert.bind(5, cut(server.address));
    insert.bind(6, cut(server.user));
    insert.bind(7, kind);
    insert.bind(8, argumentsJson(arguments));
    if (sqlite3_step(insert.s) != SQLITE_DONE)
        return fail(std::string("the journal could not record the ") + kind + " on " + server.address +
                    " before sending it"),
               0;
    return sqlite3_last_insert_rowid(m_db);
}

bool Writer::result(int64_t intent, const char *outcome, const std::string &text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_db || intent <= 0) {
        m_error = "the journal has no such entry";
        return false;
    }
    Statement insert;
    if (sqlite3_prepare_v2(m_db, kInsertResult, -1, &insert.s, nullptr) != SQLITE_OK)
        return fail("the journal could not record a result");
    insert.bind(1, nowUtc());
    insert.bind(2, outcome);
    insert.bind(3, cut(text));
    sqlite3_bind_int64(insert.s, 4, intent);
    if (sqlite3_step(insert.s) != SQLITE_DONE)
        return fail("the journal could not record the result of entry " + std::to_string(intent));
    if (sqlite3_changes(m_db) != 1) {
        m_error = "the journal has no entry " + std::to_string(intent);
        return false;
    }
    return true;
}

} // namespace vyxjournal
