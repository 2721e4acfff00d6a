#pragma once

#include <QString>

// The operation log "log.txt": project, listing and download operations add one line each.
// The file is opened and closed for every line so that it survives a crash and can be read
// while the program runs.
class OperationLog {
public:
    // `directory` empty: "log.txt" in the process's current directory at the time of each line
    // (so changing the working path moves the log).
    explicit OperationLog(const QString &directory = QString());

    void append(const QString &text) const;

    // The file the next line goes to.
    QString filePath() const;

private:
    QString m_directory;
};

// One line to "log.txt" in the current directory.
void appendLog(const QString &text);
