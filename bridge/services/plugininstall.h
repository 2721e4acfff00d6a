#pragma once
// The installation of a plug-in on the server: copy the archive (through the remote copy, whose
// status answers the page follows); once the page reports it unpacked, hand the files to the web
// user, remove the archive and restart the logic process, each command line after the answer to
// the one before.
//
// Command lines go out through the function the bridge hands it (Server), so that they share the
// bridge's command-line queue with the rest (their answers are routed by tag, and journalled,
// there); the bridge calls back the step that follows each answer. Like the remote copy, it stays
// free of the connector.
#include "journal.h"

#include <QObject>
#include <QString>

#include <functional>

class RemoteCopyService;

class PluginInstall : public QObject {
    Q_OBJECT

public:
    // The command lines of the chain; the answers of Ownership and ArchiveRemoval move it on.
    enum class Step { Ownership, ArchiveRemoval, LogicRestart };

    struct Server {
        // Connected, and not being stopped.
        std::function<bool()> ready;
        std::function<void(Step step, const QString &commandLine)> commandLine;
    };

    // Stops the server's logic process, which a supervisor starts again; also sent before an
    // upload, so that the process does not hold the database while it is replaced.
    static const char kStopLogicCommand[];
    // Starts it again through the server's guardian tool: offered after a restore that stopped
    // the logic and then failed.
    static const char kStartLogicCommand[];

    PluginInstall(RemoteCopyService &copy, Server server, JournalRecorder journal, QObject *parent = nullptr);

    // Copies the archive to the server as plugin.tar.gz; the copy's reports go to
    // `statusCallback`, the end of the whole installation to `completeCallback`.
    void install(const QString &archive, const QString &statusCallback, const QString &completeCallback);
    // The page unpacked the archive on the server.
    void extracted();
    // The answers to the ownership change and to the archive removal.
    void ownershipChanged();
    void archiveRemoved();
    // The logic restart is on its way: the installation is complete.
    void finish(const QString &info);

signals:
    void answer(const QString &callback, const QString &expression);

private:
    RemoteCopyService &m_copy;
    Server m_server;
    JournalRecorder m_journal;
    QString m_completeCallback;
    qint64 m_intent = 0;
};
