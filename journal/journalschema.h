#pragma once

// The journal of changes made to servers: one SQLite file that the manager and vyxctl both append
// to, through the one writer of this folder (journalwriter.h). Plain C++, no Qt.
//
// Every change is two rows. The intent row is written before the request leaves; the result row,
// which names its intent, is written when the answer arrives. An intent that never got a result
// row (the program crashed or was killed in between) reads back as "outcome unknown". Rows are
// never changed or deleted: triggers refuse UPDATE and DELETE.
namespace vyxjournal {

// Version of the layout below, kept in PRAGMA user_version.
constexpr int kSchemaVersion = 1;

// Run one statement at a time, in order, when the file is opened.
constexpr const char *kSchema[] = {
    "CREATE TABLE IF NOT EXISTS journal ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " entry TEXT NOT NULL CHECK (entry IN ('intent', 'result')),"
    " intent INTEGER REFERENCES journal(id),"
    " session TEXT NOT NULL,"
    " time TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " site TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " user TEXT NOT NULL,"
    " kind TEXT NOT NULL,"
    " arguments TEXT NOT NULL,"
    " outcome TEXT NOT NULL,"
    " result TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS journal_by_intent ON journal(intent)",
    "CREATE TRIGGER IF NOT EXISTS journal_no_update BEFORE UPDATE ON journal"
    " BEGIN SELECT RAISE(ABORT, 'the journal is append-only'); END",
    "CREATE TRIGGER IF NOT EXISTS journal_no_delete BEFORE DELETE ON journal"
    " BEGIN SELECT RAISE(ABORT, 'the journal is append-only'); END",
    "PRAGMA user_version = 1",
};

// Parameters: session, time, program, site, address, user, kind, arguments (a JSON object).
constexpr const char kInsertIntent[] =
    "INSERT INTO journal (entry, intent, session, time, program, site, address, user, kind, arguments,"
    " outcome, result) VALUES ('intent', NULL, ?, ?, ?, ?, ?, ?, ?, ?, 'intent', '')";

// Parameters: time, outcome, result, intent id. Copies the intent's server, user and kind so that a
// result row reads on its own; inserts nothing when the id names no intent.
constexpr const char kInsertResult[] =
    "INSERT INTO journal (entry, intent, session, time, program, site, address, user, kind, arguments,"
    " outcome, result) SELECT 'result', id, session, ?, program, site, address, user, kind, '{}', ?, ?"
    " FROM journal WHERE id = ? AND entry = 'intent'";

// The outcomes a result row holds. An intent without a result reads as kOutcomeUnknown when it
// belongs to another session (that program ended without an answer), as kOutcomePending in the
// session still running.
constexpr const char kOutcomeSucceeded[] = "succeeded";
constexpr const char kOutcomeFailed[] = "failed";
// Sent, and the server answers nothing for this kind of request.
constexpr const char kOutcomeSent[] = "sent";
constexpr const char kOutcomeUnknown[] = "unknown";
constexpr const char kOutcomePending[] = "pending";

// The kinds of action.
constexpr const char kKindParameterWrite[] = "parameter-write";
constexpr const char kKindCommandLine[] = "command-line";
constexpr const char kKindFolderCreate[] = "folder-create";
constexpr const char kKindFolderDelete[] = "folder-delete";
constexpr const char kKindFileDelete[] = "file-delete";
constexpr const char kKindFileCopy[] = "file-copy";
constexpr const char kKindPluginInstall[] = "plugin-install";
// Sending a configuration database to the server (a restore).
constexpr const char kKindConfigurationUpload[] = "configuration-upload";
// Downloading the server's configuration database (a backup).
constexpr const char kKindBackup[] = "backup";
constexpr const char kKindZephronCommand[] = "zephron-command";
constexpr const char kKindGatewayStart[] = "gateway-start";
constexpr const char kKindGatewayStop[] = "gateway-stop";

constexpr const char *kKinds[] = {
    kKindParameterWrite, kKindCommandLine,    kKindFolderCreate,  kKindFolderDelete,
    kKindFileDelete,     kKindFileCopy,       kKindPluginInstall, kKindConfigurationUpload,
    kKindBackup,         kKindZephronCommand, kKindGatewayStart,  kKindGatewayStop,
};

// Argument names that are never written, whatever a caller passes: secrets and file contents.
constexpr const char *kWithheldArguments[] = {"password", "secret",   "passphrase",
                                              "content",  "contents", "data"};

// Texts longer than this are cut (with a mark) before they are written: a record stays a record.
constexpr int kMaxTextLength = 2000;

} // namespace vyxjournal
