#pragma once

#include "journalfile.h"
#include "journaltext.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vyxjournal {

// The server a record is about: its name (the address when empty), host:port, and the user.
struct Server {
    std::string site;
    std::string address;
    std::string user;
};

// One intent of a batch; the arguments as a JSON object text.
struct Intent {
    Server server;
    std::string kind;
    std::string argumentsJson;
};

// Appends intents and results to a journal file (the layout of journalschema.h). The one writer of
// the journal, for the manager and for vyxctl: withheld arguments are dropped and long texts cut
// here, whoever records. One Writer may be used from several threads.
class Writer {
public:
    // `program` names the writer in every record.
    explicit Writer(std::string program);
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Opens or creates the file (and its folder) in WAL mode and sets up the tables. False with
    // error() set when that fails, or when the file has a newer layout.
    bool open(const std::string &path);
    bool isOpen() const;
    // This run's session: its intents without a result are pending, not unknown.
    const std::string &session() const { return m_session; }

    // The intent's id, or 0 with error() set.
    int64_t intent(const Server &server, const char *kind, const Arguments &arguments);
    int64_t intentJson(const Server &server, const char *kind, const std::string &argumentsJson);
    // Every intent of the batch in one transaction: all of them are written, or none. Their ids in
    // order, or an empty list with error() set.
    std::vector<int64_t> intents(const std::vector<Intent> &batch);
    // False with error() set when the result could not be written (or `intent` is 0).
    bool result(int64_t intent, const char *outcome, const std::string &text);
    std::string error() const;

private:
    int64_t insertIntent(const Intent &intent);
    bool fail(const std::string &what);

    mutable std::mutex m_lock;
    std::string m_program;
    std::string m_session;
    std::string m_error;
    JournalFile m_file;
};

} // namespace vyxjournal
