#include "journalwriter.h"

#include "journalschema.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

namespace vyxjournal {

namespace {

// UTC with milliseconds: 2026-12-01T10:00:00.000Z.
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

// A random (version 4) UUID: 8-4-4-4-12 lower-case hexadecimal digits.
std::string newSession() {
    std::random_device random;
    unsigned char b[16];
    for (unsigned char &byte : b)
        byte = static_cast<unsigned char>(random());
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2],
                  b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
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

bool Writer::fail(const std::string &what) {
    m_error = what + (m_file.handle() ? ": " + m_file.sqliteError() : std::string());
    return false;
}

std::string Writer::error() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_error;
}

bool Writer::isOpen() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_file.handle() != nullptr;
}

bool Writer::open(const std::string &path) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string error;
    if (!m_file.open(path, JournalFile::Mode::Write, error)) {
        m_error = error;
        return false;
    }
    m_error.clear();
    return true;
}

// Under m_lock. The intent's id, or 0.
int64_t Writer::insertIntent(const Intent &intent) {
    Statement insert;
    if (sqlite3_prepare_v2(m_file.handle(), kInsertIntent, -1, &insert.s, nullptr) != SQLITE_OK)
        return fail("the journal could not record the " + intent.kind), 0;
    const Server &server = intent.server;
    insert.bind(1, m_session);
    insert.bind(2, nowUtc());
    insert.bind(3, m_program);
    insert.bind(4, cutText(server.site.empty() ? server.address : server.site));
    insert.bind(5, cutText(server.address));
    insert.bind(6, cutText(server.user));
    insert.bind(7, intent.kind);
    insert.bind(8, cleanArguments(intent.argumentsJson));
    if (sqlite3_step(insert.s) != SQLITE_DONE)
        return fail("the journal could not record the " + intent.kind + " on " + server.address +
                    " before sending it"),
               0;
    return sqlite3_last_insert_rowid(m_file.handle());
}

int64_t Writer::intent(const Server &server, const char *kind, const Arguments &arguments) {
    return intentJson(server, kind, argumentsJson(arguments));
}

int64_t Writer::intentJson(const Server &server, const char *kind, const std::string &argumentsJson) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_file.handle()) {
        m_error = "the journal is not open";
        return 0;
    }
    return insertIntent(Intent{server, kind, argumentsJson});
}

std::vector<int64_t> Writer::intents(const std::vector<Intent> &batch) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<int64_t> ids;
    if (!m_file.handle()) {
        m_error = "the journal is not open";
        return ids;
    }
    sqlite3 *db = m_file.handle();
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("the journal could not record the " + std::to_string(batch.size()) + " intents");
        return ids;
    }
    for (const Intent &i : batch) {
        const int64_t id = insertIntent(i);
        if (id == 0) {
            const std::string why = m_error;
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            m_error = why + "; none of the " + std::to_string(batch.size()) + " intents was written";
            return {};
        }
        ids.push_back(id);
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("the journal could not record the " + std::to_string(batch.size()) + " intents");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return {};
    }
    return ids;
}

bool Writer::result(int64_t intent, const char *outcome, const std::string &text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_file.handle() || intent <= 0) {
        m_error = "the journal has no such entry";
        return false;
    }
    Statement insert;
    if (sqlite3_prepare_v2(m_file.handle(), kInsertResult, -1, &insert.s, nullptr) != SQLITE_OK)
        return fail("the journal could not record a result");
    insert.bind(1, nowUtc());
    insert.bind(2, outcome);
    insert.bind(3, cutText(text));
    sqlite3_bind_int64(insert.s, 4, intent);
    if (sqlite3_step(insert.s) != SQLITE_DONE)
        return fail("the journal could not record the result (" + std::string(outcome) + ") of entry " +
                    std::to_string(intent));
    if (sqlite3_changes(m_file.handle()) != 1) {
        m_error = "the journal could not record the result (" + std::string(outcome) + ") of entry " +
                  std::to_string(intent) + ": no such entry";
        return false;
    }
    return true;
}

} // namespace vyxjournal
