#pragma once
// The copy of a local file to the server for the page: create the file, append it block by block
// (one block per answer), then compare the server's MD5 with the local file's, hashed off the GUI
// thread (the file may be 2 GiB); the end status carries that digest, so the page need not hash
// the file again. Answers reach the page as `answer` signals, each with the page callback and a
// call expression built here.
//
// It reaches the server through the request functions the bridge hands it (Server), not through
// the connector: the services stay free of the connector and its protocol client, so that the
// layers keep their order and a test can stand in for the server.
#include "journal.h"
#include "remotecopy.h"
#include "workrunner.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class RemoteCopyService : public QObject {
    Q_OBJECT

public:
    // The requests a copy sends; each is true when the request left.
    struct Server {
        // Connected, and not being stopped.
        std::function<bool()> ready;
        std::function<bool(const QString &serverName)> createFile;
        std::function<bool(const QString &serverName, const QString &localPath, qint64 offset, qint64 count)>
            appendData;
        std::function<bool(const QString &serverName)> queryMd5;
        // The answer when a request cannot leave.
        QString notConnected;
    };

    RemoteCopyService(Server server, JournalRecorder journal, QObject *parent = nullptr);

    // Starts a copy: {"status": "copy in progress"} (indented JSON) when the create went out, else
    // empty (a missing local file is not answered; the rest get an error object).
    QString copy(const QString &localPath, const QString &serverName, const QString &callback);

    // The server's answers, routed here by the bridge; `path` is the file the answer names (empty
    // when it names none).
    void fileCreated(const QJsonObject &answer, const QString &path);
    void dataAppended(const QJsonObject &answer, const QString &path);
    void md5Answered(const QString &md5);

    // The steps after each answer (also reachable from the page): the file exists, send its first
    // block; a block is written, send the next or ask for the MD5; compare the server's MD5 with the
    // local file's once that is hashed: {"status": "complete" or "MD5 Error", "md5": the local
    // file's, "serverMd5"}.
    void createDone();
    void appendDone();
    void verify(const QString &serverMd5);
    // The local file is being hashed for the comparison.
    bool comparing() const { return m_work.running(kCompareLane); }

    // The connection is gone: a running copy ends with `reason` (journalled as unknown).
    void abandon(const QString &reason);
    // The user stops the running copy: no block is sent after this, and the page and the journal
    // are told (kCancelled). The server keeps what it had written.
    void cancel();
    static const char kCancelled[];

    RemoteCopy::Stage stage() const { return m_copy.stage(); }
    // {"status": status} and the members of `more` to the callback of the latest copy.
    void tellStatus(const QString &status, const QJsonObject &more = QJsonObject());
    // The page expression of {"status": status} and the members of `more`.
    static QString statusExpression(const QString &status, const QJsonObject &more = QJsonObject());

signals:
    void answer(const QString &callback, const QString &expression);
    // How a copy ended other than complete, for whoever waits on it (the plug-in installation).
    void failed(const QString &reason);
    void damaged(const QString &mismatch);
    void abandoned(const QString &reason);

private:
    // Whether an answer is the one the running copy waits for: the right step, and its file.
    bool answers(const QString &path, RemoteCopy::Stage stage) const;
    void sendNextAppend();
    void fail(const QString &info);
    void compare(const QString &serverMd5, const QString &localMd5);

    static const QString kCompareLane;

    Server m_server;
    JournalRecorder m_journal;
    RemoteCopy m_copy;
    QString m_callback;
    qint64 m_intent = 0;
    WorkRunner m_work{1};
};
