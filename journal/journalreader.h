#pragma once

#include "journalfile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vyxjournal {

// Which intents to read back: empty members select everything.
struct Filter {
    std::string site;
    std::string kind;
    std::string fromUtc; // records at or after this UTC time text
    std::string toUtc;   // records before this UTC time text
    int64_t limit = 0;   // 0: every record
};

// An intent with its outcome, as the Journal view and the exports show it.
struct Entry {
    int64_t id = 0;
    std::string time;
    std::string program;
    std::string site;
    std::string address;
    std::string user;
    std::string kind;
    std::string arguments; // a JSON object text
    std::string completed; // the result's time; empty without a result
    std::string outcome;   // the result's, or pending / unknown without one
    std::string result;
};

// Reads a journal file, read-only; never changes it.
class Reader {
public:
    // Intents of `session` that have no result read as pending, those of other sessions as unknown.
    explicit Reader(std::string session = std::string());

    // False with error() set when the file cannot be read or has a newer layout.
    bool open(const std::string &path);
    const std::string &error() const { return m_error; }

    // Every matching intent, newest first, handed to `each` one at a time (nothing is gathered
    // here); `each` returns false to stop. False with error() set when the read failed.
    bool forEach(const Filter &filter, const std::function<bool(const Entry &)> &each);
    // The sites named in the journal, sorted.
    std::vector<std::string> sites();

private:
    std::string m_session;
    std::string m_error;
    JournalFile m_file;
};

} // namespace vyxjournal
