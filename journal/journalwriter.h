#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace vyxjournal {

// The server a record is about: its name (the address when empty), host:port, and the user.
struct Server {
    std::string site;
    std::string address;
    std::string user;
};

using Arguments = std::vector<std::pair<std::string, std::string>>;

// Appends intents and results to a journal file (the layout of journalschema.h) without Qt, for
// vyxctl and other programs without a window. One Writer may be used from several threads.
class Writer {
public:
    // `program` names the writer in every record.
    explicit Writer(std::string program);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Opens or creates the file (not its folder) in WAL mode and sets up the tables. False with
    // error() set when that fails.
    bool open(const std::string &path);
    // The intent's id, or 0 with error() set. Withheld argument names are dropped, long values cut.
    int64_t intent(const Server &server, const char *kind, const Arguments &arguments);
    // False with error() set when the result could not be written (or `intent` is 0).
    bool result(int64_t intent, const char *outcome, const std::string &text);
    std::string error() const;

private:
    bool fail(const std::string &what);

    mutable std::mutex m_lock;
    std::string m_program;
    std::string m_session;
    std::string m_error;
    sqlite3 *m_db = nullptr;
};

} // namespace vyxjournal
