#pragma once

#include <string>

struct sqlite3;

namespace vyxjournal {

// One open connection to a journal file: the checks every program makes before it reads or
// writes one. Not thread-safe by itself; its users lock around it.
class JournalFile {
public:
    enum class Mode { Write, Read };

    JournalFile() = default;
    ~JournalFile();
    JournalFile(const JournalFile &) = delete;
    JournalFile &operator=(const JournalFile &) = delete;

    // Write: creates the folder (0700) and the file (0600) when missing, sets WAL and the tables
    // up. Read: opens an existing file read-only. Either refuses a file whose layout is newer than
    // this program's, and changes nothing in it. False with the reason in error.
    bool open(const std::string &path, Mode mode, std::string &error);
    void close();
    sqlite3 *handle() const { return m_db; }
    // The last error of the connection, for a message.
    std::string sqliteError() const;

private:
    bool fail(const std::string &what, std::string &error);
    bool checkLayout(const std::string &path, std::string &error);
    bool setUp(const std::string &path, std::string &error);

    sqlite3 *m_db = nullptr;
};

} // namespace vyxjournal
